// The target on POSIX systems: opened as the shell's `>` opens it, found in
// its folder, and from then on reached only through those two descriptors,
// whatever happens meanwhile to the names on the way to them.
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "internal.h"

namespace vork::platform {

using posix::fail;
using posix::fd_of;
using posix::kMoved;
using posix::same_file;
using posix::SignalsHeld;

namespace {

// How long another program may hold the target up: a lock of another
// writer, the break of a lease.
constexpr int kPatienceMs = 5000;
constexpr int kPollMs = 10;

void wait_a_moment() {
    const timespec pause{0, kPollMs * 1000000L};
    nanosleep(&pause, nullptr);
}

// Writes all of `data` to `fd` at `offset`, or from its current offset when
// that is -1, resuming after interruptions and short writes.
bool write_all(int fd, std::span<const std::uint8_t> data, off_t offset = -1) {
    while (!data.empty()) {
        const ssize_t n = offset < 0 ? write(fd, data.data(), data.size())
                                     : pwrite(fd, data.data(), data.size(), offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return fail(n < 0 ? errno : EIO);
        }
        data = data.subspan(static_cast<std::size_t>(n));
        offset = offset < 0 ? offset : offset + n;
    }
    return true;
}

// Whether `file` is the target that was opened.
bool is_target(const Target& target, const struct stat& file) {
    return target.id[0] == file.st_dev && target.id[1] == file.st_ino;
}

// Splits `path` into the folder it names its file in and that file's name.
void split(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Makes `folder_path` the target's folder if it holds `file` under `name`.
bool take_folder(Target& target, std::string folder_path, std::string name,
                 const struct stat& file) {
    if (name.empty()) {
        return false;
    }
    int folder = open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 && errno == EACCES) {
        folder = open(folder_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);  // no reading it
    }
    if (folder < 0) {
        return false;
    }
    struct stat named {};
    if (fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(named, file)) {
        ::close(folder);
        return false;
    }
    target.folder = folder;
    target.folder_path = std::move(folder_path);
    target.name = std::move(name);
    return true;
}

// Finds the folder that holds the file just opened as the target, and its
// name there: the folder of the path as given, or, when the last name in the
// path is a link, the folder the kernel says the file lies in. Left unknown
// when neither holds it (no /proc, a path too long, a name changed meanwhile).
void find_in_folder(Target& target, const struct stat& file) {
    std::string folder;
    std::string name;
    split(target.path, folder, name);
    if (take_folder(target, folder, name, file)) {
        return;
    }
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd_of(target.handle));
    char found[PATH_MAX];
    const ssize_t n = readlink(link, found, sizeof found);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof found && found[0] == '/') {
        split(std::string(found, static_cast<std::size_t>(n)), folder, name);
        take_folder(target, folder, name, file);
    }
}

// Opens the existing `path` for writing as `>` does, but never waits on the
// break of another program's lease beyond the bound; a FIFO that nobody
// reads yet is waited for, as `>` waits for it.
int open_existing(const char* path) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY;
    for (int waited = 0;; waited += kPollMs) {
        int fd = open(path, kFlags | O_NONBLOCK, 0666);
        if (fd < 0 && errno == ENXIO) {
            fd = open(path, kFlags, 0666);
        }
        if (fd >= 0 || errno != EWOULDBLOCK || waited >= kPatienceMs) {
            return fd < 0 ? (fail(errno), -1) : fd;
        }
        wait_a_moment();
    }
}

// Whether the file open at `fd` is the one standard output writes to, where
// the image and the report would overwrite each other. A terminal or
// /dev/null shared with standard output is no such file.
bool is_the_report(const struct stat& file) {
    struct stat report {};
    return !S_ISCHR(file.st_mode) && fstat(STDOUT_FILENO, &report) == 0 && same_file(report, file);
}

// Takes an exclusive lock on the whole file open at `fd`, as one open file
// so that it also meets other programs' record locks; waits a few seconds at
// most, enough for another run to write. True too where the file system has
// no locks, as before there were any.
bool lock_whole_file(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (int waited = 0;; waited += kPollMs) {
        if (fcntl(fd, F_OFD_SETLK, &whole) == 0) {
            return true;
        }
        if (errno == ENOLCK || errno == EINVAL || errno == ENOTSUP) {
            return true;
        }
        if ((errno != EAGAIN && errno != EACCES && errno != EINTR) || waited >= kPatienceMs) {
            return fail(errno);
        }
        wait_a_moment();
    }
}

// Whether the target is still the file its folder holds under its name (or,
// with its folder unknown, still has a name); a file that lost its name
// since it was opened is one nobody will ever read.
bool still_named(const Target& target) {
    struct stat opened {};
    struct stat named {};
    if (fstat(fd_of(target.handle), &opened) != 0) {
        return fail(errno);
    }
    if (target.folder != kNoHandle) {
        return (fstatat(fd_of(target.folder), target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) ==
                    0 &&
                same_file(named, opened)) ||
               fail(kMoved);
    }
    return !target.named || opened.st_nlink > 0 || fail(kMoved);
}

// Reserves room for `size` bytes in the file open at `fd`, changing neither
// its contents nor its size, so that a full disk or a file-size limit shows
// before any byte changes. Where the file system cannot reserve, nothing
// better can be done than to write.
bool reserve(int fd, off_t size) {
    rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(size) > limit.rlim_cur) {
        return fail(EFBIG);
    }
    return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0 || errno == EOPNOTSUPP ||
           errno == ENOSYS || fail(errno);
}

// Whether a failure with `error` to make, name or rename the new file still
// leaves writing the target in place worth trying.
bool in_place_may_work(int error) {
    switch (error) {
        case EACCES:        // a folder the user may not write to
        case EPERM:         // another user's file in a sticky folder
        case EROFS:
        case ENOENT:        // the new file removed by someone else
        case ENOTDIR:
        case ENAMETOOLONG:  // the new file's name is one too long
        case EBUSY:         // a file mounted over
        case EXDEV:
        case ENOSPC:        // no room for one more file, or no inode left
        case EDQUOT:
        case EMFILE:        // no descriptor left for it
        case ENFILE:
        case EMLINK:
        case EOPNOTSUPP:
            return true;
        default:
            return false;
    }
}

Step refused_or_failed(int error) {
    fail(error);
    return in_place_may_work(error) ? Step::refused : Step::failed;
}

// A name for a new file in the target's folder that no other file is likely
// to have: `.vork-` and six letters.
std::string fresh_name() {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static unsigned long long seed = 0;
    if (seed == 0) {
        // The clock, and where the stack lies, which differs from run to run.
        timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        seed = static_cast<unsigned long long>(now.tv_nsec) ^
               static_cast<unsigned long long>(now.tv_sec) << 30 ^
               reinterpret_cast<std::uintptr_t>(&now);
    }
    std::string name = ".vork-";
    for (int i = 0; i < 6; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        name += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
    }
    return name;
}

// Calls `make` with one fresh name after another until it takes one; `name`
// is that name, or empty with errno telling why none could be taken.
template <typename Make>
bool with_fresh_name(std::string& name, Make make) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = fresh_name();
        if (make(name.c_str())) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    const int error = errno;
    name.clear();
    errno = error;
    return false;
}

// Makes a new file with a fresh name in `folder`, recorded for the cleanup;
// its name in `name`. -1 with errno set when it cannot be made.
int make_named(int folder, std::string& name) {
    SignalsHeld held;
    int fd = -1;
    if (!with_fresh_name(name, [&](const char* fresh) {
            fd = openat(folder, fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            return fd >= 0;
        })) {
        return -1;
    }
    posix::record_pending(folder, name.c_str());
    return fd;
}

// Gives the unnamed file open at `fd` a fresh name in `folder`, in `name`.
// Through /proc, which any user may do; else by the descriptor itself, which
// older kernels allow only to root.
bool name_unnamed(int fd, int folder, std::string& name) {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return with_fresh_name(name, [&](const char* fresh) {
        return linkat(AT_FDCWD, proc, folder, fresh, AT_SYMLINK_FOLLOW) == 0 ||
               (errno == ENOENT && linkat(fd, "", folder, fresh, AT_EMPTY_PATH) == 0);
    });
}

// Removes the pending file's `name` from the target's folder, or records it
// as a leftover when the folder will not let it go.
void drop_name(Target& target, std::string& name) {
    if (unlinkat(fd_of(target.folder), name.c_str(), 0) != 0 && errno != ENOENT) {
        target.leftover = target.folder_path + "/" + name;
    }
    name.clear();
    posix::forget_pending();
}

// Opens the target again by its name in its folder, but only if that name
// still holds the very file opened at the start, never one put there meanwhile.
void reopen(Target& target) {
    const int fd = openat(fd_of(target.folder), target.name.c_str(),
                          O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && is_target(target, info)) {
        target.handle = fd;
    } else if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace

bool open_target(const char* path, Target& target) {
    target.path = path;
    struct stat info {};
    int fd = -1;
    {
        // Only a file this exclusive open made is this run's to remove, and
        // it is recorded for the cleanup as it comes into being.
        SignalsHeld held;
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
        if (fd >= 0) {
            if (fstat(fd, &info) != 0) {
                const int error = errno;
                // Nothing to tell it from another file by: only an empty file goes.
                struct stat named {};
                if (lstat(path, &named) == 0 && S_ISREG(named.st_mode) && named.st_size == 0) {
                    unlink(path);
                }
                ::close(fd);
                return fail(error);
            }
            target.created = true;
            target.handle = fd;
            find_in_folder(target, info);
            if (target.folder != kNoHandle) {
                posix::record_created(fd_of(target.folder), target.name.c_str(), info);
            } else {
                posix::record_created(-1, target.path.c_str(), info);
            }
        } else if (errno != EEXIST) {
            return fail(errno);
        }
    }
    if (fd < 0) {
        // Still with O_CREAT, as the shell's `>`, so that the kernel's guards
        // for shared folders apply (another user's file or FIFO in /tmp);
        // the kernel resolves links, with its own protections and loop limit.
        fd = open_existing(path);
        if (fd < 0) {
            return false;
        }
        const int error = fstat(fd, &info) != 0 ? errno
                          : is_the_report(info)   ? posix::kReportFile
                                                  : 0;
        if (error != 0) {
            ::close(fd);
            return fail(error);
        }
        target.handle = fd;
        if (S_ISREG(info.st_mode)) {
            find_in_folder(target, info);
        } else {
            // Writing to a pipe or a device waits, as it would have (a regular
            // file takes no notice of O_NONBLOCK).
            fcntl(fd, F_SETFL, 0);
        }
    }
    target.id[0] = info.st_dev;
    target.id[1] = info.st_ino;
    target.regular = S_ISREG(info.st_mode);
    target.named = info.st_nlink > 0;
    // A second name would keep the old contents; a folder that keeps every
    // name would keep the new file's too.
    target.replaceable = target.folder != kNoHandle && info.st_nlink == 1 &&
                         posix::folder_lets_go(fd_of(target.folder));
    return true;
}

bool write_through(const Target& target, std::span<const std::uint8_t> image) {
    return write_all(fd_of(target.handle), image);
}

bool write_in_place(Target& target, std::span<const std::uint8_t> image) {
    const int fd = fd_of(target.handle);
    const auto size = static_cast<off_t>(image.size());
    // Another run writing in place waits, so the file ends as one whole
    // image; and the file is written only while it still has its name.
    if (!lock_whole_file(fd) || !reserve(fd, size) || !still_named(target)) {
        return false;
    }
    bool written = false;
    {
        // An interrupt waits until the file holds the whole image, not half of each.
        SignalsHeld held;
        posix::note_created_written();
        written = write_all(fd, image, 0) && (ftruncate(fd, size) == 0 || fail(errno));
    }
    // Some file systems acknowledge a truncation and keep the old tail.
    struct stat after {};
    return written && (fsync(fd) == 0 || fail(errno)) && (fstat(fd, &after) == 0 || fail(errno)) &&
           (after.st_size == size || fail(posix::kSizeKept));
}

void close_target(Target& target, bool succeeded) {
    if (target.created) {
        SignalsHeld held;
        if (!succeeded) {
            posix::remove_created();
        }
        posix::forget_created();
    }
    close(target.handle);
    target.handle = kNoHandle;
    close(target.folder);
    target.folder = kNoHandle;
}

PendingFile::PendingFile(Target& target) : target_(target) {
    const int folder = fd_of(target.folder);
    // Unnamed where the file system has such files: until it gets its name,
    // whole and synced, nothing is left however the run ends.
    int fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        fd = make_named(folder, name_);
    }
    if (fd < 0) {
        created_ = refused_or_failed(errno);
        return;
    }
    handle_ = fd;
    created_ = Step::done;
}

PendingFile::~PendingFile() {
    if (created_ != Step::done) {
        return;
    }
    close(handle_);  // an unnamed file goes with it
    if (name_.empty() || committed_) {
        return;
    }
    SignalsHeld held;
    drop_name(target_, name_);
}

Step PendingFile::carry_over() {
    return posix::carry_metadata(fd_of(target_.handle), fd_of(handle_));
}

bool PendingFile::write(std::span<const std::uint8_t> image) {
    return write_all(fd_of(handle_), image);
}

Step PendingFile::commit() {
    const int fd = fd_of(handle_);
    const int folder = fd_of(target_.folder);
    if (fsync(fd) != 0) {
        fail(errno);
        return Step::failed;
    }
    SignalsHeld held;
    // A folder made append-only meanwhile would keep any name given in it.
    if (!posix::folder_lets_go(folder)) {
        return Step::refused;
    }
    // An unnamed file gets its name only now, whole and synced; the signals
    // are held until it has taken the target's place or lost its name again,
    // so no handler need know of it.
    const bool unnamed = name_.empty();
    if (unnamed && !name_unnamed(fd, folder, name_)) {
        return refused_or_failed(errno);
    }
    // Closed first: an old file still open when replaced is freed later,
    // through the journal's list of orphans, which costs a twentieth of a run.
    ::close(fd_of(target_.handle));
    target_.handle = kNoHandle;
    if (renameat(folder, name_.c_str(), folder, target_.name.c_str()) != 0) {
        const int error = errno;
        if (unnamed) {
            drop_name(target_, name_);
        }
        reopen(target_);
        if (target_.handle == kNoHandle) {
            fail(kMoved);  // the name holds another file, or none
            return Step::failed;
        }
        return refused_or_failed(error);
    }
    committed_ = true;
    posix::forget_pending();
    // The folder is not synced: after a crash the path holds the old file or
    // the new one, either whole, and that is all this promises.
    return Step::done;
}

}  // namespace vork::platform
