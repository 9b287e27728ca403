// What the POSIX implementation files of the platform interface share: the
// target's state, waiting on another program, the cleanup that signals
// trigger, and the metadata a replacement carries over.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <ctime>
#include <string>

#include "platform.h"
#include "posix/calls.h"

namespace vork::platform {

// The target as opened, and where it lies.
struct Target {
    int fd = -1;
    int folder = -1;           // the folder that holds it under `name`; -1: unknown
    bool folder_readable = false;  // opened for reading, not only as a path
    std::string path;          // as given
    std::string folder_path;   // the folder, as it was reached
    std::string name;          // its name in that folder
    std::string over;          // the name a move goes over: `name`, as the folder spells it
    dev_t device = 0;
    ino_t inode = 0;
    bool locked = false;       // its lock taken, which dies with `fd`
};

// A new file beside the target: unnamed until named, where the file system has such files.
struct NewFile {
    int fd = -1;
    std::string name;       // its name in the target's folder; empty while it has none
    bool recorded = false;  // named from the start, so the cleanup signals remove it
};

namespace posix {

// The failure the current errno stands for, in `step`.
Failure failed(const char* step);

// Whether `a` and `b` describe one file.
inline bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// How long another program may hold the target up: a lock of another
// writer, the break of a lease.
constexpr int kPatienceMs = 5000;
constexpr int kPollMs = 10;

// Calls `attempt` (a result of 0 or more: done) again while it fails with an
// error `busy` says another program causes for now, for kPatienceMs at most,
// by the clock: a loaded machine sleeps longer than it is asked.
template <typename Attempt, typename Busy>
int patiently(Attempt attempt, Busy busy) {
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const int result = attempt();
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long waited =
            (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (result >= 0 || !busy(errno) || waited >= kPatienceMs) {
            return result;
        }
        const timespec pause{0, kPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

// Whether `error` is the break of another program's lease, under way.
inline bool lease_breaking(int error) { return error == EWOULDBLOCK; }

// Whether the file described by `file` is the one standard output writes
// to, where the image and the report would overwrite each other. A terminal
// or /dev/null shared with standard output is no such file.
bool is_the_report(const struct stat& file);

// What the cleanup signals remove, each while it is recorded; every call
// below is made with the signals held. A folder of -1 stands for the
// current one, where `name` is the path as given.

// The target this run created: removed only while provably this run's. The
// record is the one account of it: noting a write, forgetting or removing
// do nothing when there is none.
void record_created(int folder, const char* name, const struct stat& file);
void note_created_written();
void forget_created();
// Removes the created target now, under the same conditions; the name this
// run's target was left under, not removed (aside, or its own in a folder
// that keeps every name), else empty.
std::string remove_created();

// The new file, named from the start, by its name in `folder`.
void record_pending(int folder, const char* name);
void forget_pending();

// Opens the folder the target's path names its file in, with the target's
// name there, into `target`, before the target itself is opened: a link on
// the way swapped meanwhile then cannot part the two. Left unknown when it
// cannot be opened.
void open_path_folder(Target& target);

// Makes sure the folder in `target` holds the target just opened (`file` is
// its fstat), else finds the one that does and its name there; left unknown
// when not found.
void find_in_folder(Target& target, const struct stat& file);

// The name under which the target's folder keeps the target: on a folder
// that ignores case, the spelling it already has.
std::string kept_name(const Target& target);

// Gives the file open at `to` the owner, group, mode, extended attributes
// (ACLs included), file flags and project of the file open at `from`,
// changing only what differs.
Result carry_metadata(int from, int to);

// Whether a file made in the folder open at `folder` could be removed
// again: not in an append-only or immutable folder, nor in one whose flags
// cannot be read.
bool folder_lets_go(int folder);

}  // namespace posix

}  // namespace vork::platform
