// Why a file operation failed, in the terms the user is told, whatever
// system it ran on; handed back by value from the call that failed.
#pragma once

#include <optional>

namespace vork {

enum class Reason {
    none,            // the system gave no reason
    permission,
    not_found,
    not_a_folder,    // a name on the way is not a folder
    is_a_folder,
    link_loop,
    name_too_long,
    disk_full,
    quota,
    read_only,       // a read-only file system or disk
    size_limit,      // the file-size limit the process runs under
    too_many_files,  // no file descriptor or handle left
    io_error,
    locked,          // another program keeps a lock or a lease on the file
    in_use,          // another program holds the file open
    mapped,          // another program maps the file, which then cannot shrink
    no_reader,       // the reader of a pipe went away
    no_device,       // a device or FIFO with nothing at the other end
    closed,          // the descriptor or handle is closed
    no_memory,
    moved,           // the file lost its name while it was being written
    size_kept,       // the file system kept another size than the one set
    report_file,     // the file is the one standard output writes to
    changed,         // another program changed the file again and again while it was rewritten
    open_elsewhere,  // another program holds the file open for writing
    unsupported,     // the file system cannot do what was asked
    other_device,    // the two names lie on different file systems
    too_many_links,  // the file or folder has as many names as it may
    exists,          // a file of that name is already there
    other,           // the system's own code says more
};

struct Failure {
    Reason reason = Reason::none;
    long code = 0;           // the system's own code, shown with Reason::other
    const char* step = "";   // the call that failed, for tests and debugging
};

// What a call that may fail hands back: nothing when it worked.
using Result = std::optional<Failure>;

// The failure that the C library's `error` (an errno value) stands for, in `step`.
Failure failure_from_errno(int error, const char* step = "");

}  // namespace vork
