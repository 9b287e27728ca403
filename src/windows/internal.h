// What the Windows implementation files of the platform interface share:
// names as the system takes them, waiting on other programs, the interrupt's
// view of the run, and the reason for the last failure.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform.h"

namespace vork::platform::win {

inline HANDLE handle_of(Handle file) { return reinterpret_cast<HANDLE>(file); }
inline Handle handle_from(HANDLE file) { return reinterpret_cast<Handle>(file); }

// Returns the WTF-8 `text` as the system's UTF-16.
std::wstring wide(std::string_view text);

// Returns the system's UTF-16 `text` as WTF-8.
std::string utf8(std::wstring_view text);

// Records `error` (a system error code, or one of the reasons below) as the
// reason for the failure under way; returns false, for the caller to return.
bool fail(DWORD error);

// Reasons of this program's own, in the codes Windows leaves to programs.
inline constexpr DWORD kMoved = 0x20000001;       // the target lost its name meanwhile
inline constexpr DWORD kSizeKept = 0x20000002;    // the file system kept another size
inline constexpr DWORD kReportFile = 0x20000003;  // the target is standard output's own file
inline constexpr DWORD kIsAFolder = 0x20000004;

// Records the reason why `path` could not be opened, just now: a folder
// refuses with the same error as a file one may not open.
bool fail_to_open(const std::wstring& path);

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

// What an interrupt may do: nothing is pending; remove the pending file; or
// wait, because a replacement, an in-place write or the pending file's
// removal is under way, and stopping it halfway could leave the old file
// under a temporary name, half of each, or the pending file behind.
enum : int { kNothingPending, kFilePending, kMustFinish };

// Routes the interrupt signals to the handler for the whole run, except
// those the caller chose to ignore, which stay ignored.
void catch_interrupts();

// Tells the handler what it may do now and, with kFilePending, which file
// it removes; returns what it could do before.
int interrupt_may(int state, const std::wstring* pending = nullptr);

// Moves from kFilePending to kMustFinish; false when an interrupt took the
// pending file away first and is ending the run.
bool interrupt_must_wait();

}  // namespace vork::platform::win
