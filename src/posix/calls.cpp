#include "posix/calls.h"

#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace vork::platform::posix {

namespace {

// Counted in the signal handlers too, which only run while the run's own
// calls stand between two of these.
volatile long made = 0;
long failing = 0;  // the call that fails, counted as `made`; 0: none
int failing_error = 0;
long acting = 0;   // the first call the action precedes; 0: none
void (*action)(long) = nullptr;
const char* about_to_make = "";  // the call the action precedes

// Makes `call` once, or fails it when it is the one chosen; again while interrupted.
template <typename Call>
auto through(const char* name, Call call) -> decltype(call()) {
    for (;;) {
        const long nth = made + 1;
        made = nth;
        if (acting != 0 && nth >= acting) {
            about_to_make = name;
            action(nth);
        }
        if (nth == failing) {
            errno = failing_error;
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace

void fail_nth_call(long nth, int error) {
    made = 0;
    failing = nth;
    failing_error = error;
    acting = 0;
}

void act_before_nth_call(long nth, void (*chosen)(long call)) {
    made = 0;
    failing = 0;
    acting = chosen != nullptr ? nth : 0;
    action = chosen;
}

long calls_made() { return made; }

const char* call_acted_before() { return about_to_make; }

namespace calls {

int open(const char* path, int flags, mode_t mode) {
    return through("open", [&] { return ::open(path, flags, mode); });
}
int openat(int folder, const char* name, int flags, mode_t mode) {
    return through("openat", [&] { return ::openat(folder, name, flags, mode); });
}
int fstat(int fd, struct stat* info) { return through("fstat", [&] { return ::fstat(fd, info); }); }
int fstatat(int folder, const char* name, struct stat* info, int flags) {
    return through("fstatat", [&] { return ::fstatat(folder, name, info, flags); });
}
int statx_of(int fd, struct statx* info) {
    return through("statx", [&] {
        return ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_BASIC_STATS, info);
    });
}
ssize_t readlink(const char* path, char* into, size_t size) {
    return through("readlink", [&] { return ::readlink(path, into, size); });
}
ssize_t write(int fd, const void* data, size_t size) {
    return through("write", [&] { return ::write(fd, data, size); });
}
ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    return through("pwrite", [&] { return ::pwrite(fd, data, size, offset); });
}
ssize_t pread(int fd, void* into, size_t size, off_t offset) {
    return through("pread", [&] { return ::pread(fd, into, size, offset); });
}
int fsync(int fd) { return through("fsync", [&] { return ::fsync(fd); }); }
int ftruncate(int fd, off_t size) { return through("ftruncate", [&] { return ::ftruncate(fd, size); }); }
int fallocate(int fd, int mode, off_t offset, off_t size) {
    return through("fallocate", [&] { return ::fallocate(fd, mode, offset, size); });
}
int lock(int fd, struct flock* whole) {
    return through("fcntl", [&] { return ::fcntl(fd, F_OFD_SETLK, whole); });
}
int set_status_flags(int fd, int flags) {
    return through("fcntl", [&] { return ::fcntl(fd, F_SETFL, flags); });
}
int ioctl(int fd, unsigned long request, void* argument) {
    return through("ioctl", [&] { return ::ioctl(fd, request, argument); });
}
int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) {
    return through("linkat", [&] { return ::linkat(from_folder, from, to_folder, to, flags); });
}
int renameat(int from_folder, const char* from, int to_folder, const char* to) {
    return through("renameat", [&] { return ::renameat(from_folder, from, to_folder, to); });
}
int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags) {
    return through("renameat2", [&] { return ::renameat2(from_folder, from, to_folder, to, flags); });
}
int unlinkat(int folder, const char* name, int flags) {
    return through("unlinkat", [&] { return ::unlinkat(folder, name, flags); });
}
int fchown(int fd, uid_t owner, gid_t group) {
    return through("fchown", [&] { return ::fchown(fd, owner, group); });
}
int fchmod(int fd, mode_t mode) { return through("fchmod", [&] { return ::fchmod(fd, mode); }); }
ssize_t flistxattr(int fd, char* names, size_t size) {
    return through("flistxattr", [&] { return ::flistxattr(fd, names, size); });
}
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
    return through("fgetxattr", [&] { return ::fgetxattr(fd, name, value, size); });
}
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    return through("fsetxattr", [&] { return ::fsetxattr(fd, name, value, size, flags); });
}
int fremovexattr(int fd, const char* name) {
    return through("fremovexattr", [&] { return ::fremovexattr(fd, name); });
}

}  // namespace calls

}  // namespace vork::platform::posix
