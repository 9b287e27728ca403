// The system calls the target's path makes, all through this one table, so
// that a test can make any one of them fail, or change the world just before
// it: the Nth call from the moment it asks fails with the error it chose, as
// SQLite's tests fail its VFS calls, or is preceded by the test's action.
// An interrupted call is made again. The signal handlers' calls go through
// it too: counting is safe in a handler.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace vork::platform::posix {

namespace calls {
int open(const char* path, int flags, mode_t mode = 0);
int openat(int folder, const char* name, int flags, mode_t mode = 0);
int fstat(int fd, struct stat* info);
int fstatat(int folder, const char* name, struct stat* info, int flags);
int statx_of(int fd, struct statx* info);  // the open file's own, attributes included
ssize_t readlink(const char* path, char* into, size_t size);
ssize_t write(int fd, const void* data, size_t size);
ssize_t pwrite(int fd, const void* data, size_t size, off_t offset);
ssize_t pread(int fd, void* into, size_t size, off_t offset);
int fsync(int fd);
int ftruncate(int fd, off_t size);
int fallocate(int fd, int mode, off_t offset, off_t size);
int lock(int fd, struct flock* whole);  // F_OFD_SETLK
int set_status_flags(int fd, int flags);  // F_SETFL
int ioctl(int fd, unsigned long request, void* argument);
int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags);
int renameat(int from_folder, const char* from, int to_folder, const char* to);
int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags);
int unlinkat(int folder, const char* name, int flags);
int fchown(int fd, uid_t owner, gid_t group);
int fchmod(int fd, mode_t mode);
ssize_t flistxattr(int fd, char* names, size_t size);
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size);
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags);
int fremovexattr(int fd, const char* name);
}  // namespace calls

// For tests: from now on, the `nth` call through the table (1 for the next)
// fails with errno `error`, once; 0 fails none. Forgets any action.
void fail_nth_call(long nth, int error);

// For tests: from now on, `action` runs just before the `nth` call through
// the table and before every later one, given that call's number; nullptr
// runs none. Fails no call.
void act_before_nth_call(long nth, void (*action)(long call));

// How many calls went through the table since the last fail_nth_call().
long calls_made();

// For tests: the system call the action last ran before ("renameat", ...).
const char* call_acted_before();

}  // namespace vork::platform::posix
