// The platform interface on POSIX systems (Linux first).
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "platform.h"

namespace vork::platform {

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The pending file's path, for the signal handler; null when there is none.
std::atomic<const char*> pending_path{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "read from a signal handler");

// Removes the pending file, then lets the signal end the process.
extern "C" void remove_pending_file(int signal_number) {
    if (const char* path = pending_path.load()) {
        unlink(path);
    }
    // The handler was reset on entry: once it returns, the re-raised signal
    // ends the process the way it would have without us.
    raise(signal_number);
}

struct sigaction previous_actions[std::size(kCleanupSignals)];

// Makes the cleanup signals remove the pending file, except those the caller
// chose to ignore (nohup), which stay ignored.
void install_cleanup() {
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = remove_pending_file;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(kCleanupSignals[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler != SIG_IGN) {
            sigaction(kCleanupSignals[i], &action, nullptr);
        }
    }
}

// Puts back what install_cleanup() replaced.
void restore_signals() {
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        sigaction(kCleanupSignals[i], &previous_actions[i], nullptr);
    }
}

// Holds back the cleanup signals for a step that must not stop halfway: the
// pending file changing state (so the handler never sees a file that exists but
// is not yet, or no longer, recorded), or an in-place write.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (const int s : kCleanupSignals) {
            sigaddset(&held, s);
        }
        sigprocmask(SIG_BLOCK, &held, &saved_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t saved_;
};

int fd_of(Handle file) { return static_cast<int>(file); }

// Writes all of `data` to `fd` from its current offset, resuming after
// interruptions and short writes.
bool write_all(int fd, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// Whether `path` names the very file open at `fd` now.
bool is_same_file(const std::string& path, int fd) {
    struct stat named {};
    struct stat opened {};
    return stat(path.c_str(), &named) == 0 && fstat(fd, &opened) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// Where the file open at `fd` lies, as the kernel knows it; empty when the
// kernel cannot say or the file is no longer at that path (deleted, moved).
std::string final_path_of(int fd) {
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char found[PATH_MAX];
    const ssize_t n = readlink(link, found, sizeof found);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof found || found[0] != '/') {
        return {};
    }
    std::string path(found, static_cast<std::size_t>(n));
    return is_same_file(path, fd) ? path : std::string();
}

// Whether a failure with `error` to make or rename a file beside the target
// still leaves writing the target in place worth trying.
bool in_place_may_work(int error) {
    switch (error) {
        case EACCES:        // a folder the user may not write to
        case EPERM:         // another user's file in a sticky folder
        case EROFS:
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:  // the pending file's name is one too long
        case EBUSY:         // a file mounted over
        case EXDEV:
            return true;
        default:
            return false;
    }
}

Step refused_or_failed(int error) {
    return in_place_may_work(error) ? Step::refused : Step::failed;
}

// Copies every extended attribute of `from` to `to`, POSIX ACLs included;
// false when any cannot be read or set.
bool copy_attributes(int from, int to) {
    ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0) {
        return errno == ENOTSUP;  // a file system without any
    }
    if (size == 0) {
        return true;
    }
    const std::unique_ptr<char[]> names(new (std::nothrow) char[static_cast<std::size_t>(size)]);
    if (!names || (size = flistxattr(from, names.get(), static_cast<std::size_t>(size))) < 0) {
        return false;
    }
    for (const char* name = names.get(); name < names.get() + size; name += std::strlen(name) + 1) {
        const ssize_t length = fgetxattr(from, name, nullptr, 0);
        if (length < 0) {
            return false;
        }
        const std::unique_ptr<char[]> value(
            new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
        if (!value) {
            return false;
        }
        const ssize_t got = fgetxattr(from, name, value.get(), static_cast<std::size_t>(length));
        if (got < 0 || fsetxattr(to, name, value.get(), static_cast<std::size_t>(got), 0) != 0) {
            return false;
        }
    }
    return true;
}

// Makes a closed standard descriptor point at /dev/null, opened the wrong way
// round so that the run's reads and writes on it still fail as they would
// have; otherwise the next file opened would take its number and the report
// would land in the target.
void hold_standard_descriptor(int fd, int flags) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
        const int held = open("/dev/null", flags);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            ::close(held);
        }
    }
}

}  // namespace

const char* const* utf8_arguments(int& /*argc*/, char* argv[]) { return argv; }

void console_begin() {
    hold_standard_descriptor(STDIN_FILENO, O_WRONLY);
    hold_standard_descriptor(STDOUT_FILENO, O_RDONLY);
    hold_standard_descriptor(STDERR_FILENO, O_RDONLY);
    // A file-size limit then makes the write fail (EFBIG), which is reported
    // and cleaned up, instead of killing the process.
    signal(SIGXFSZ, SIG_IGN);
}

void console_end() {}

bool is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

Handle open_for_reading(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return kNoHandle;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        return kNoHandle;
    }
    return fd;
}

long read_some(Handle file, std::span<std::uint8_t> into) {
    ssize_t n = 0;
    do {
        n = read(fd_of(file), into.data(), into.size());
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

void close(Handle file) {
    if (file != kNoHandle) {
        ::close(fd_of(file));
    }
}

bool open_target(const char* path, Target& target) {
    // The kernel resolves the path: its link protections and loop limit apply.
    int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        target.created = fd >= 0;
    }
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    target.handle = fd;
    target.regular = S_ISREG(info.st_mode);
    if (target.regular) {
        target.final_path = final_path_of(fd);
    }
    return true;
}

bool write_through(const Target& target, std::span<const std::uint8_t> image) {
    // A pipe whose reader left must fail the write, not end the process.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous);
    const bool written = write_all(fd_of(target.handle), image);
    sigaction(SIGPIPE, &previous, nullptr);
    return written;
}

bool write_in_place(const Target& target, std::span<const std::uint8_t> image) {
    const int fd = fd_of(target.handle);
    // Another run writing in place waits, so the file ends as one whole image.
    int locked = 0;
    do {
        locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    bool written = false;
    {
        // An interrupt waits until the file holds the whole image, not half of each.
        SignalsHeld held;
        written = lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, image) &&
                  ftruncate(fd, static_cast<off_t>(image.size())) == 0;
    }
    return written && fsync(fd) == 0;
}

void discard_created(const Target& target) {
    if (!target.final_path.empty() && is_same_file(target.final_path, fd_of(target.handle))) {
        unlink(target.final_path.c_str());
    }
}

PendingFile::PendingFile(const std::string& final_path) {
    const std::size_t slash = final_path.rfind('/');
    path_ = final_path.substr(0, slash == std::string::npos ? 0 : slash + 1) + ".vork-XXXXXX";
    SignalsHeld held;
    const int fd = mkostemp(path_.data(), O_CLOEXEC);
    if (fd < 0) {
        created_ = refused_or_failed(errno);
        return;
    }
    handle_ = fd;
    created_ = Step::done;
    pending_path.store(path_.c_str());
    install_cleanup();
}

PendingFile::~PendingFile() {
    if (created_ != Step::done) {
        return;
    }
    close(handle_);
    SignalsHeld held;
    if (!committed_) {
        unlink(path_.c_str());
    }
    pending_path.store(nullptr);
    restore_signals();
}

Step PendingFile::carry_over(const Target& target) {
    const int from = fd_of(target.handle);
    const int to = fd_of(handle_);
    struct stat old {};
    if (fstat(from, &old) != 0) {
        return Step::failed;
    }
    // A second name for the file would keep the old contents.
    if (old.st_nlink != 1) {
        return Step::refused;
    }
    // Giving the file away, or to a group one is not in, takes root.
    if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
        fchown(to, old.st_uid, old.st_gid) != 0) {
        return Step::refused;
    }
    if (!copy_attributes(from, to)) {
        return Step::refused;
    }
    // Last, since a change of owner clears the set-user-ID and set-group-ID bits.
    return fchmod(to, old.st_mode & 07777) == 0 ? Step::done : Step::refused;
}

bool PendingFile::write(std::span<const std::uint8_t> image) {
    return write_all(fd_of(handle_), image);
}

Step PendingFile::commit(Target& target) {
    bool synced = fsync(fd_of(handle_)) == 0;
    if (::close(fd_of(handle_)) != 0) {
        synced = false;
    }
    handle_ = kNoHandle;
    if (!synced) {
        return Step::failed;
    }
    SignalsHeld held;
    // The file was moved or replaced since it was opened: what was opened is
    // what the user named, so that is the file to write.
    if (!is_same_file(target.final_path, fd_of(target.handle))) {
        return Step::refused;
    }
    // Closed first: an old file still open when replaced is freed later,
    // through the journal's list of orphans, which costs a twentieth of a run.
    ::close(fd_of(target.handle));
    target.handle = kNoHandle;
    if (rename(path_.c_str(), target.final_path.c_str()) != 0) {
        const int error = errno;
        target.handle = open(target.final_path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        return target.handle == kNoHandle ? Step::failed : refused_or_failed(error);
    }
    committed_ = true;
    pending_path.store(nullptr);
    // The folder is not synced: after a crash the path holds the old file or
    // the new one, either whole, and that is all this promises.
    return Step::done;
}

}  // namespace vork::platform
