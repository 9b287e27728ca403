// What the POSIX implementation files of the platform interface share: the
// cleanup that signals trigger, the metadata a replacement carries over, and
// the reason for the last failure.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>

#include "platform.h"

namespace vork::platform::posix {

inline int fd_of(Handle file) { return static_cast<int>(file); }

// Records `error` (an errno value, or one of the reasons below) as the
// reason for the failure under way; returns false, for the caller to return.
bool fail(int error);

// Reasons of this program's own, beside the errno values.
inline constexpr int kMoved = -1;       // the target lost its name meanwhile
inline constexpr int kSizeKept = -2;    // the file system kept another size
inline constexpr int kReportFile = -3;  // the target is standard output's own file

// Whether `a` and `b` describe one file.
inline bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Holds back the cleanup signals for a step that must not stop halfway: a
// file coming into being, getting a name or going (so the handler never sees
// one that exists but is not yet, or no longer, recorded), or an in-place write.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t saved_;
};

// What the cleanup signals remove, each while it is recorded; every call
// below is made with the signals held. A folder of -1 stands for the
// current one, where `name` is the path as given.

// The target this run created: removed only while `folder` still holds
// that file under `name` and, unless this run wrote into it, it is empty.
void record_created(int folder, const char* name, const struct stat& file);
void note_created_written();
void forget_created();
// Removes the created target now, under the same conditions.
void remove_created();

// The pending file, by its name in `folder`.
void record_pending(int folder, const char* name);
void forget_pending();

// Gives the file open at `to` the owner, group, mode, extended attributes
// (ACLs included) and file flags of the file open at `from`, and nothing
// else; refused when any of them cannot be given.
Step carry_metadata(int from, int to);

// Whether a file made in `folder` could be removed again: an append-only or
// immutable folder keeps every name given in it.
bool folder_lets_go(int folder);

}  // namespace vork::platform::posix
