// What the Windows implementation files of the platform interface share:
// the target's state, names as the system takes them, waiting on other
// programs, and the interrupt's view of the run.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform.h"

namespace vork::platform {

// The target as opened, and where it lies, links resolved.
struct Target {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;         // as given
    std::string folder_path;  // the folder that holds it; empty when unknown
    std::string name;         // its name there
    std::uint64_t id[2] = {};  // volume and file index
    bool created = false;     // made by this run's open, and marked to vanish until written
    bool marked = false;      // it carries that mark now
    bool locked = false;      // this run holds its lock
};

// A new file beside the target, marked to vanish unless it takes its place.
struct NewFile {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::wstring path;
};

namespace win {

inline HANDLE handle_of(Handle file) { return reinterpret_cast<HANDLE>(file); }
inline Handle handle_from(HANDLE file) { return reinterpret_cast<Handle>(file); }

// Returns the WTF-8 `text` as the system's UTF-16.
std::wstring wide(std::string_view text);

// Returns the system's UTF-16 `text` as WTF-8.
std::string utf8(std::wstring_view text);

// Codes of this program's own, in the range Windows leaves to programs.
inline constexpr DWORD kIsAFolder = 0x20000004;

// The failure the system's `error` stands for, in `step`.
Failure failure_from(DWORD error, const char* step);

// The failure GetLastError() stands for, in `step`.
inline Failure failed(const char* step) { return failure_from(GetLastError(), step); }

// Why `path` could not be opened, just now: a folder refuses with the same
// error as a file one may not open.
Failure failed_to_open(const std::wstring& path);

// Sharing that lets others go on reading, writing and renaming the file.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long to wait for another program that holds a file for a moment (a
// virus scanner, an indexer, another vork) before giving up on it.
inline constexpr int kPatienceMs = 5000;

// Whether `error` says that another program holds the file for now.
inline bool held_by_another(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Calls `attempt` until it succeeds or fails with an error other than
// another program holding the file, for `patience_ms` at most; its result,
// with the last error kept.
template <typename Attempt>
bool with_patience(Attempt attempt, int patience_ms = kPatienceMs) {
    const ULONGLONG deadline = GetTickCount64() + patience_ms;
    for (;;) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if (!held_by_another(error) || GetTickCount64() >= deadline) {
            SetLastError(error);
            return false;
        }
        // Often: a scanner lets go of a file only for a moment between two looks.
        Sleep(1);
    }
}

// Marks the file open as `file` (with DELETE access) to vanish when its last
// handle closes, however the process ends; or takes the mark back.
bool mark_for_deletion(HANDLE file, bool marked);

// Fills `id` with the volume and index that tell the file open as `file`
// from any other; false when the system cannot say.
bool identify(HANDLE file, std::uint64_t (&id)[2]);

// Where the file open as `file` lies, links resolved; empty when unknown.
std::string final_path_of(HANDLE file);

// Finds the folder that holds the target just opened, and its name there,
// and whether a new file there could take its place; a stream of a file
// (GAME.BIN:stream), which a replacement would take its file with, is left
// without a folder, to be written in place.
void find_in_folder(Target& target, TargetFacts& facts);

// Whether the file open as `file` is the one opened as the target.
bool is_target(const Target& target, HANDLE file);

// Where the target lies, links resolved.
std::wstring final_path(const Target& target);

// Whether the file open as `file` is the one standard output writes to,
// where the image and the report would overwrite each other.
bool is_the_report(HANDLE file);

// Moves the file open as `file` (with DELETE access) to `to`, replacing
// whatever is there; nothing else need open it on the way. With POSIX
// semantics where the system has them, so that a file that others hold
// open, letting it go, can be replaced too.
bool move_by_handle(HANDLE file, const std::wstring& to);

// Whether another program has the file at `path` open for writing, sharing
// reading and writing (as C's fopen does): it opens when writers are let in.
bool open_for_writing(const std::wstring& path);

// Whether the volume of the file open as `file` can rename over a file
// that is open (POSIX semantics: NTFS on Windows 10); FAT, exFAT, shares and
// Wine cannot.
bool renames_over_open_files(HANDLE file);

// Routes the interrupt signals to the handler for the whole run, except
// those the caller chose to ignore, which stay ignored.
void catch_interrupts();

// The new file the interrupt removes, or none (nullptr); set and cleared
// while interrupts are held.
void interrupt_removes(const std::wstring* path);

}  // namespace win

}  // namespace vork::platform
