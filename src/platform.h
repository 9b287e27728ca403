// What differs between POSIX systems and Windows: the command line, the
// console, and the file operations behind reading the source and writing the
// target. Each system has its own implementation, chosen by the build; names
// are UTF-8 on this side of the interface on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "failure.h"

namespace vork::platform {

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

// How one step of writing the target went.
enum class Step {
    done,
    refused,  // not done, for a reason that writing the target in place gets around
    failed,   // not done; the target is as it was
};

// Returns the command line as UTF-8 strings, program name first; `argc`
// becomes their count. POSIX hands the bytes it got through unchanged;
// Windows carries a name that is not valid UTF-16 through exactly (WTF-8).
const char* const* utf8_arguments(int& argc, char* argv[]);

// Readies the console and the process for a run, changing nothing that
// would outlive it.
void console_begin();

// Whether `stream` is an interactive terminal or console.
bool is_terminal(std::FILE* stream);

// Writes the UTF-8 `text` to `out`: on a Windows console as the characters
// it means, whatever the console's code page; elsewhere as bytes.
void write_text(std::FILE* out, std::string_view text);

// Opens `path` for reading; kNoHandle when it cannot be opened or is a directory.
Handle open_for_reading(const char* path);

// Reads up to `into.size()` bytes; returns how many, 0 at the end, -1 on error.
long read_some(Handle file, std::span<std::uint8_t> into);

void close(Handle file);

// Why the last operation above that failed did; Reason::none when it gave no reason.
Failure last_failure();

// The target, opened for writing the way the system resolves its path, so
// that the system's own rules on links apply; then found in its folder,
// which every later step works from, whatever happens to the names on the
// way there meanwhile.
struct Target {
    Handle handle = kNoHandle;
    Handle folder = kNoHandle;  // the folder that held it when opened (POSIX); kNoHandle: unknown
    std::string folder_path;    // that folder, as it was reached
    std::string name;           // the file's name in that folder; empty when unknown
    std::uint64_t id[2] = {};   // what tells this file from any other on its system
    bool regular = false;       // a regular file, replaced or written in place; else written to
    bool named = false;         // it had a name when opened: write into it only while it still has
    bool created = false;       // this run made it where nothing was
    bool replaceable = false;   // a new file may take its place: one name, in a folder known to
                                // let go of the files made in it
    std::string path;           // as given
    std::string leftover;       // a file this run made beside it and could not remove again
};

// Opens `path` for writing without truncating it, creating it when missing
// as the shell's `>` would, and waiting a few seconds at most on another
// program that holds a lease on it; false when the system refuses, or when
// the file is the one standard output already writes to. Until
// close_target(), an interrupt removes a target this run created.
bool open_target(const char* path, Target& target);

// Writes `image` to a device or pipe target; a reader that went away is a failure.
bool write_through(const Target& target, std::span<const std::uint8_t> image);

// Writes `image` over the target file itself, only while it is the file its
// folder holds under its name, under an exclusive lock taken within a few
// seconds: the image's room reserved first, so that a full disk changes
// nothing; then written from its start, cut to its size, synced and checked.
bool write_in_place(Target& target, std::span<const std::uint8_t> image);

// Closes the target. After a failure, removes a target this run created if
// its folder still holds that file under its name and nobody else filled it.
void close_target(Target& target, bool succeeded);

// A new file in the target's folder, which disappears unless committed,
// also when an interrupt or termination signal ends the process first (and,
// where the system has unnamed files, however the process ends). One at a time.
class PendingFile {
public:
    explicit PendingFile(Target& target);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // done when the file was made; refused when the folder takes no new
    // file but the target itself may still be written.
    Step created() const { return created_; }

    // Gives the new file everything the target has that a replacement would
    // otherwise drop; refused when it cannot carry all of it.
    Step carry_over();

    bool write(std::span<const std::uint8_t> image);

    // Syncs the file and puts it in the place of whatever the target's
    // folder holds under the target's name now: the last writer wins, as
    // with two `mv`. Refused when the folder will not take it there but the
    // target is still the file that was opened.
    Step commit();

private:
    Target& target_;
    std::string name_;           // its name in the target's folder, once it has one
    Handle handle_ = kNoHandle;
    Step created_ = Step::failed;
    bool committed_ = false;
};

}  // namespace vork::platform
