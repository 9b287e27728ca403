// What the POSIX implementation files of the platform interface share: the
// target's state, the cleanup that signals trigger, and the metadata a
// replacement carries over.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

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
