// The platform interface on POSIX systems (Linux first).
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <ctime>
#include <memory>
#include <new>

#include "platform.h"

namespace vork::platform {

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A target this run created, as the signal handler and the failure path see it.
struct CreatedFile {
    const char* path = nullptr;  // as given: the final path may be unknown
    dev_t device = 0;
    ino_t inode = 0;
    volatile sig_atomic_t written = 0;  // this run wrote into it, so it need not be empty
};

// What an interrupt must remove; null when there is nothing.
std::atomic<const char*> pending_path{nullptr};
std::atomic<const CreatedFile*> created_file{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "read from a signal handler");
static_assert(std::atomic<const CreatedFile*>::is_always_lock_free, "read from a signal handler");
CreatedFile created_record;

// Removes the file this run created if the path still names it and, unless
// this run wrote to it, it is still empty: never a file another program put
// there or filled. Safe in a signal handler.
void remove_created(const CreatedFile& file) {
    struct stat now {};
    if (lstat(file.path, &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == file.device &&
        now.st_ino == file.inode && (file.written != 0 || now.st_size == 0)) {
        unlink(file.path);
    }
}

// Removes what the run would leave half made, then lets the signal end the process.
extern "C" void remove_leftovers(int signal_number) {
    if (const char* path = pending_path.load()) {
        unlink(path);
    }
    if (const CreatedFile* file = created_file.load()) {
        remove_created(*file);
    }
    // The handler was reset on entry: once it returns, the re-raised signal
    // ends the process the way it would have without us.
    raise(signal_number);
}

struct sigaction previous_actions[std::size(kCleanupSignals)];
int cleanup_users = 0;

// Makes the cleanup signals remove leftovers while anything may be left,
// except signals the caller chose to ignore (nohup), which stay ignored.
// Called with the cleanup signals held, as is release_cleanup().
void hold_cleanup() {
    if (cleanup_users++ > 0) {
        return;
    }
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = remove_leftovers;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(kCleanupSignals[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler != SIG_IGN) {
            sigaction(kCleanupSignals[i], &action, nullptr);
        }
    }
}

// Puts back what hold_cleanup() replaced once nothing is left to remove.
void release_cleanup() {
    if (--cleanup_users > 0) {
        return;
    }
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        sigaction(kCleanupSignals[i], &previous_actions[i], nullptr);
    }
}

// Holds back the cleanup signals for a step that must not stop halfway: a
// file coming into being or going (so the handler never sees one that exists
// but is not yet, or no longer, recorded), or an in-place write.
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

// The names of the extended attributes of `fd`, each ending in a NUL, in
// `names`; false when they cannot be listed.
bool list_attributes(int fd, std::unique_ptr<char[]>& names, std::size_t& size) {
    size = 0;
    for (;;) {
        ssize_t wanted = flistxattr(fd, nullptr, 0);
        if (wanted < 0) {
            return errno == ENOTSUP;  // a file system without any
        }
        if (wanted == 0) {
            return true;
        }
        names.reset(new (std::nothrow) char[static_cast<std::size_t>(wanted)]);
        if (!names) {
            return false;
        }
        const ssize_t got = flistxattr(fd, names.get(), static_cast<std::size_t>(wanted));
        if (got >= 0) {
            size = static_cast<std::size_t>(got);
            return true;
        }
        if (errno != ERANGE) {  // ERANGE: one was added meanwhile
            return false;
        }
    }
}

// Whether `name` is among the NUL-ended `names`.
bool has_name(const char* names, std::size_t size, const char* name) {
    for (const char* at = names; at < names + size; at += std::strlen(at) + 1) {
        if (std::strcmp(at, name) == 0) {
            return true;
        }
    }
    return false;
}

// Gives `to` exactly the extended attributes of `from`, POSIX ACLs included:
// those a new file got from its folder (a default ACL) and the old one lacked
// go; false when any cannot be removed, read or set.
bool copy_attributes(int from, int to) {
    std::unique_ptr<char[]> old_names;
    std::unique_ptr<char[]> new_names;
    std::size_t old_size = 0;
    std::size_t new_size = 0;
    if (!list_attributes(from, old_names, old_size) || !list_attributes(to, new_names, new_size)) {
        return false;
    }
    for (const char* name = new_names.get(); name < new_names.get() + new_size;
         name += std::strlen(name) + 1) {
        if (!has_name(old_names.get(), old_size, name) && fremovexattr(to, name) != 0) {
            return false;
        }
    }
    for (const char* name = old_names.get(); name < old_names.get() + old_size;
         name += std::strlen(name) + 1) {
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

// The file flags (chattr) that say how a file is to be kept, which a
// replacement must carry: no dump, no atime, synchronous, no copy on write,
// compression, secure deletion, undeletable, data journaling, no tail merging.
constexpr int kCarriedFlags = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_NOCOW_FL |
                              FS_COMPR_FL | FS_NOCOMP_FL | FS_SECRM_FL | FS_UNRM_FL |
                              FS_JOURNAL_DATA_FL | FS_NOTAIL_FL;

// Gives `to` the carried flags of `from`, and only those; false when the
// file system will not take them.
bool carry_flags(int from, int to) {
    int old_flags = 0;
    int new_flags = 0;
    if (ioctl(from, FS_IOC_GETFLAGS, &old_flags) != 0) {
        return errno == ENOTTY || errno == ENOTSUP || errno == EINVAL;  // no flags here
    }
    if (ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0) {
        return false;
    }
    int wanted = (new_flags & ~kCarriedFlags) | (old_flags & kCarriedFlags);
    if (wanted == new_flags) {
        return true;
    }
    // Some file systems take a flag without a word and drop it: read back.
    return ioctl(to, FS_IOC_SETFLAGS, &wanted) == 0 && ioctl(to, FS_IOC_GETFLAGS, &new_flags) == 0 &&
           (new_flags & kCarriedFlags) == (old_flags & kCarriedFlags);
}

// Whether a file made in the folder of `final_path` could be removed again;
// an append-only or immutable folder keeps every name given in it.
bool folder_lets_go(const std::string& final_path) {
    const std::size_t slash = final_path.rfind('/');
    const std::string folder = slash == 0 ? "/" : final_path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return true;  // making the file will tell
    }
    int flags = 0;
    const bool kept = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
    ::close(fd);
    return !kept;
}

// Takes an exclusive lock on the whole file open at `fd`, as one open file
// so that it also meets other programs' record locks; waits a few seconds at
// most, enough for another run to write. True too where the file system has
// no locks, as before there were any.
bool lock_whole_file(int fd) {
    constexpr int kWaitMs = 5000;
    constexpr int kPollMs = 10;
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
        if ((errno != EAGAIN && errno != EACCES && errno != EINTR) || waited >= kWaitMs) {
            return false;
        }
        const timespec pause{0, kPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

// Puts a placeholder on a closed standard descriptor: the root folder, read
// only, on which reads and writes fail as they would have on the closed
// descriptor, and which no open for writing accepts, so that a target named
// /dev/stderr under `2>&-` is refused as the shell refuses it. Otherwise the
// next file opened would take the number and the report would land in the target.
void hold_standard_descriptor(int fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
        int held = open("/", O_RDONLY | O_DIRECTORY);
        if (held < 0) {
            held = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        }
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            ::close(held);
        }
    }
}

// Whether the file open at `fd` is the one standard output writes to, where
// the image and the report would overwrite each other. A terminal or
// /dev/null shared with standard output is no such file.
bool is_the_report(const struct stat& file) {
    struct stat report {};
    return !S_ISCHR(file.st_mode) && fstat(STDOUT_FILENO, &report) == 0 &&
           report.st_dev == file.st_dev && report.st_ino == file.st_ino;
}

}  // namespace

const char* const* utf8_arguments(int& /*argc*/, char* argv[]) { return argv; }

void console_begin() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        hold_standard_descriptor(fd);
    }
    // A file-size limit, or a reader of the report or of a piped target that
    // went away, then makes the write fail (EFBIG, EPIPE), which is reported
    // and cleaned up, instead of ending the process with no word.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

bool is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

void write_text(std::FILE* out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

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
    target.path = path;
    int fd = -1;
    struct stat info {};
    {
        // Only a file this exclusive open made is this run's to remove.
        SignalsHeld held;
        fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) {
            target.created = true;
            if (fstat(fd, &info) != 0) {
                // Nothing to tell it from another file by: only an empty file goes.
                struct stat named {};
                if (lstat(path, &named) == 0 && S_ISREG(named.st_mode) && named.st_size == 0) {
                    unlink(path);
                }
                ::close(fd);
                return false;
            }
            created_record.path = target.path.c_str();
            created_record.device = info.st_dev;
            created_record.inode = info.st_ino;
            created_record.written = 0;
            created_file.store(&created_record);
            hold_cleanup();
        }
    }
    if (fd < 0 && errno == EEXIST) {
        // Still with O_CREAT, as the shell's `>`, so that the kernel's guards
        // for shared folders apply (another user's file or FIFO in /tmp);
        // the kernel resolves links, with its own protections and loop limit.
        fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0 && (fstat(fd, &info) != 0 || is_the_report(info))) {
            ::close(fd);
            return false;
        }
    }
    if (fd < 0) {
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
    return write_all(fd_of(target.handle), image);
}

bool write_in_place(const Target& target, std::span<const std::uint8_t> image) {
    const int fd = fd_of(target.handle);
    // Another run writing in place waits, so the file ends as one whole image.
    if (!lock_whole_file(fd)) {
        return false;
    }
    bool written = false;
    {
        // An interrupt waits until the file holds the whole image, not half of each.
        SignalsHeld held;
        created_record.written = 1;  // read only while the target is this run's own
        written = ftruncate(fd, static_cast<off_t>(image.size())) == 0 &&
                  lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, image);
    }
    return written && fsync(fd) == 0;
}

void close_target(Target& target, bool succeeded) {
    if (target.created) {
        SignalsHeld held;
        if (!succeeded) {
            remove_created(created_record);
        }
        created_file.store(nullptr);
        release_cleanup();
    }
    close(target.handle);
    target.handle = kNoHandle;
}

PendingFile::PendingFile(const std::string& final_path) {
    if (!folder_lets_go(final_path)) {
        created_ = Step::refused;  // the file would outlive the run
        return;
    }
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
    hold_cleanup();
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
    release_cleanup();
}

Step PendingFile::carry_over(const Target& target) {
    const int from = fd_of(target.handle);
    const int to = fd_of(handle_);
    struct stat old {};
    struct stat made {};
    if (fstat(from, &old) != 0 || fstat(to, &made) != 0) {
        return Step::failed;
    }
    // A second name for the file would keep the old contents.
    if (old.st_nlink != 1) {
        return Step::refused;
    }
    // The new file may have taken the folder's group (a set-group-ID folder);
    // giving it away, or to a group one is not in, takes root.
    if ((old.st_uid != made.st_uid || old.st_gid != made.st_gid) &&
        fchown(to, old.st_uid, old.st_gid) != 0) {
        return Step::refused;
    }
    if (!copy_attributes(from, to) || !carry_flags(from, to)) {
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
