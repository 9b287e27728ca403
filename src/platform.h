// What differs between POSIX systems and Windows: the command line, the
// console, reading the source, and the small calls the target's policy
// (target.cpp) is built from. Each system has its own implementation, chosen
// by the build; names are UTF-8 on this side of the interface on every system.
// Every call that can fail hands back its failure; none keeps one for later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "failure.h"

namespace vork::platform {

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

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

// Opens `path` for reading into `file`; a folder is refused.
Result open_for_reading(const char* path, Handle& file);

// Opens `path` for reading into `file` only if it is a regular file,
// never waiting on what it is (a FIFO without a writer); `regular` false,
// and nothing left open, when it is not.
Result open_regular_for_reading(const char* path, Handle& file, bool& regular);

// Reads up to `into.size()` bytes into `into`; `got` is how many, 0 at the end.
Result read_some(Handle file, std::span<std::uint8_t> into, std::size_t& got);

void close(Handle file);

// Whether the paths `a` and `b` lead to one file once the system has
// resolved both (links followed, any of its names); false when either
// leads to none.
bool same_file(const char* a, const char* b);

// The part of `path` after its folders (and, on Windows, its drive), as
// the system splits it.
std::string_view base_name(std::string_view path);

// ---- The target's calls. Each does one thing and says whether it did.

// The target as opened: its file, its folder, its name there; a system's own.
struct Target;
struct TargetCloser {
    void operator()(Target* target) const;  // closes its file and folder
};
using TargetPtr = std::unique_ptr<Target, TargetCloser>;

// A new file beside the target, which vanishes unless it takes the
// target's place; a system's own.
struct NewFile;
struct NewFileCloser {
    void operator()(NewFile* file) const;  // closes it; a name it has stays
};
using NewFilePtr = std::unique_ptr<NewFile, NewFileCloser>;

// What the open found at the path.
struct TargetFacts {
    bool regular = false;       // a regular file; else a device or pipe, written through
    bool created = false;       // this open made it where nothing was
    bool other_names = false;   // another name holds it too, which would keep the old contents
    bool folder_lets_go = false;  // the folder that holds it under its name was found, and a
                                  // name made there can be removed again
    bool lock_held_through_move = false;  // a lock on it lasts until a new file has its name,
                                          // its own file kept open through the move
};

// What tells one state of a file from another: which file it is, its size,
// and the times the system sets whenever it changes.
struct FileState {
    std::uint64_t id[2] = {};
    std::uint64_t size = 0;
    std::int64_t changed[2] = {};
    bool operator==(const FileState&) const = default;
};

// Opens `path` for writing without truncating it, creating it when missing
// as the shell's `>` would, with the system's own rules on links and shared
// folders; waits a few seconds at most on another program's lease. Refused
// when it is standard output's own file. Until the target is closed, an
// interrupt removes a target this open created. With `readable`, for
// reading too, so that the target can be read before it is rewritten.
Result open_target(const char* path, TargetPtr& target, TargetFacts& facts, bool readable = false);

// Reads up to `into.size()` bytes of the target, opened readable, from
// `offset`; `got` is how many, 0 at the end.
Result read_at(Target& target, std::span<std::uint8_t> into, std::uint64_t offset,
               std::size_t& got);

// Takes an exclusive lock that every other run of vork on the target waits
// for and no reader of its bytes meets (on Windows, whose locks bar reads,
// a byte past any data), waiting a few seconds at most for another
// program's; succeeds where the file system has no locks, and at once when
// this run holds it already.
Result lock(Target& target);

// Reserves room for `size` bytes in the target without changing its bytes
// or its size; succeeds where the file system cannot reserve.
Result reserve(Target& target, std::uint64_t size);

// Whether the target is still the file its folder holds under its name, in
// the folder its path leads to (or, with its folder unknown, the file its
// path leads to): Reason::moved when not.
Result still_at_name(Target& target);

// The state of the target's own file.
Result state_of(Target& target, FileState& state);

// The state of the file the target's name holds now, looked up as
// still_at_name() looks it up: Reason::moved when it holds none.
Result state_at_name(Target& target, FileState& state);

// Whether the target's folder is still the one its path leads to:
// Reason::moved when it was renamed or replaced, or a link on the way was
// swapped, since the open; nothing where the folder is unknown.
Result folder_at_path(Target& target);

// Writes all of `data` at `offset` of the target, or, with `offset` kAppend,
// where the stream stands (a device or pipe).
inline constexpr std::uint64_t kAppend = ~std::uint64_t{0};
Result write_at(Target& target, std::span<const std::uint8_t> data, std::uint64_t offset);

// The target's size, as the file system keeps it.
Result size_of(Target& target, std::uint64_t& size);

// Cuts the target to `size` bytes.
Result cut(Target& target, std::uint64_t size);

// Puts what was written to the target on the disk.
Result sync(Target& target);

// Makes a new file in the target's folder, named `fresh` where the system
// must give it a name at once (Reason::exists: that name is taken).
Result make_new_file(Target& target, const std::string& fresh, NewFilePtr& file);

// Gives the new file what the target has that a replacement would
// otherwise drop (owner, group, mode, extended attributes, flags, ...),
// changing nothing that is already as wanted.
Result carry_metadata(Target& target, NewFile& file);

// Writes all of `data` to the new file, from its start.
Result write_new(NewFile& file, std::span<const std::uint8_t> data);

// Puts what was written to the new file on the disk.
Result sync_new(NewFile& file);

// Gives a new file that has no name yet the name `fresh` in the target's
// folder (Reason::exists: that name is taken); nothing when it has one.
Result name_new_file(Target& target, NewFile& file, const std::string& fresh);

// Closes the target's own file, and its lock with it, before a move.
void let_go(Target& target);

// Whether this run holds the target's lock: taken, where the file system has
// locks, and not let go of since.
bool holds_lock(const Target& target);

// Puts the new file in place of whatever the target's folder holds under the
// target's name now, as `mv` would; the target's own file, when still open
// (its lock lasting through the move), is closed once the new file has the
// name. With `patient`, a move another program holds up for a moment is
// waited for, a few seconds at most, where the system lets one hold it up.
Result move_over(Target& target, NewFile& file, bool patient);

// Removes the new file's name; the name, when it could not be removed, in
// `leftover` (as the user may find it).
void drop_new_file(Target& target, NewFile& file, std::string& leftover);

// Opens the target again by its name in its folder, never following a
// link, and only if the name still holds the very file opened at first.
Result reopen(Target& target);

// Puts the folder's names on the disk, so that a replacement outlives a
// power cut; Reason::unsupported where the folder cannot be synced.
Result sync_folder(Target& target);

// Removes a target the open created, only while it is provably this run's:
// the file its folder holds under its name, and empty unless this run wrote
// it; the name it was left under, when it could not be put back, in `leftover`.
void remove_created(Target& target, std::string& leftover);

// Holds back interrupts for a step that must not stop halfway, and tells
// the interrupt what this run would leave behind; one at a time.
class InterruptsHeld {
public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

}  // namespace vork::platform
