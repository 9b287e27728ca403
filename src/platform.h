// What differs between POSIX systems and Windows: the command line, the
// console, and the file operations behind reading the source and writing the
// target. Each system has its own implementation file, chosen by the build;
// names are UTF-8 on this side of the interface on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

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

// The target, opened for writing the way the system resolves its path, so
// that the system's own rules on links apply.
struct Target {
    Handle handle = kNoHandle;
    bool regular = false;    // a regular file, which can be replaced; else written through
    bool created = false;    // this run made it where nothing was
    std::string path;        // as given
    std::string final_path;  // where the file really lies; empty when unknown
};

// Opens `path` for writing without truncating it, creating it when missing
// as the shell's `>` would; false when the system refuses, or when the file
// is the one standard output already writes to. Until close_target(), an
// interrupt removes a target this run created.
bool open_target(const char* path, Target& target);

// Writes `image` to a device or pipe target; a reader that went away is a failure.
bool write_through(const Target& target, std::span<const std::uint8_t> image);

// Writes `image` over the target file itself under an exclusive lock, waiting
// a few seconds at most for another writer: sized first, then written from
// its start, synced.
bool write_in_place(const Target& target, std::span<const std::uint8_t> image);

// Closes the target. After a failure, removes a target this run created if
// the path still names that file and nobody else filled it.
void close_target(Target& target, bool succeeded);

// A new file beside the target that disappears unless committed, also when
// an interrupt or termination signal ends the process first. One at a time.
class PendingFile {
public:
    explicit PendingFile(const std::string& final_path);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // done when the file was created; refused when the folder takes no new
    // file but the target itself may still be written.
    Step created() const { return created_; }
    bool valid() const { return created_ == Step::done; }
    const std::string& path() const { return path_; }

    // Gives the new file everything the target has that a replacement would
    // otherwise drop; refused when it cannot carry all of it.
    Step carry_over(const Target& target);

    bool write(std::span<const std::uint8_t> image);

    // Syncs and closes the file, then puts it in the target's place, if the
    // target is still the file that was opened.
    Step commit(Target& target);

private:
    std::string path_;
    Handle handle_ = kNoHandle;
    Step created_ = Step::failed;
    bool committed_ = false;
};

}  // namespace vork::platform
