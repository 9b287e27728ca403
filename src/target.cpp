#include "target.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace vork {

namespace {

namespace fs = std::filesystem;

// What differs between POSIX systems and Windows, kept together.
#ifdef _WIN32
// Binary mode, or Windows would turn every 0x0A byte of the image into 0x0D 0x0A.
constexpr int kOpenFlags = O_BINARY;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM};
int sync_file(int fd) { return _commit(fd); }
// mkstemp opens in binary mode here.
int create_unique(std::string& path) { return mkstemp(path.data()); }
#else
constexpr int kOpenFlags = O_CLOEXEC;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
int sync_file(int fd) { return fsync(fd); }
int create_unique(std::string& path) { return mkostemp(path.data(), O_CLOEXEC); }
#endif

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

#ifdef _WIN32
using SignalAction = void (*)(int);
#else
using SignalAction = struct sigaction;
#endif
SignalAction previous_actions[std::size(kCleanupSignals)];

// Makes the cleanup signals remove the pending file, except those the caller
// chose to ignore (nohup), which stay ignored.
void install_cleanup() {
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
#ifdef _WIN32
        previous_actions[i] = signal(kCleanupSignals[i], remove_pending_file);
        if (previous_actions[i] == SIG_IGN) {
            signal(kCleanupSignals[i], SIG_IGN);
        }
#else
        struct sigaction action {};
        action.sa_handler = remove_pending_file;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(kCleanupSignals[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler != SIG_IGN) {
            sigaction(kCleanupSignals[i], &action, nullptr);
        }
#endif
    }
}

// Puts back what install_cleanup() replaced.
void restore_signals() {
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
#ifdef _WIN32
        signal(kCleanupSignals[i], previous_actions[i]);
#else
        sigaction(kCleanupSignals[i], &previous_actions[i], nullptr);
#endif
    }
}

// Holds back the cleanup signals while the pending file changes state, so the
// handler never sees a file that exists but is not yet, or no longer, recorded.
// Windows cannot hold signals back; its window is as narrow as the code here.
class SignalsHeld {
public:
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
#ifdef _WIN32
    SignalsHeld() {}  // not defaulted, so that holding one is not an unused variable
#else
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (const int s : kCleanupSignals) {
            sigaddset(&held, s);
        }
        sigprocmask(SIG_BLOCK, &held, &saved_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
#endif
};

// Writes all of `data` to `fd`, resuming after interruptions and short writes.
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

// Writes `image` straight into `path`, creating or truncating it.
TargetWrite write_in_place(const std::string& path, std::span<const std::uint8_t> image) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kOpenFlags, 0666);
    if (fd < 0) {
        return TargetWrite::not_opened;
    }
    bool written = write_all(fd, image);
    if (close(fd) != 0) {
        written = false;
    }
    return written ? TargetWrite::ok : TargetWrite::failed;
}

// Follows symbolic links from `path` to the file they name, existing or not,
// so that replacing it leaves the links in place.
fs::path resolve_links(fs::path path) {
    std::error_code error;
    // The same bound as the kernel's, so a loop of links ends.
    for (int hops = 0; hops < 40 && fs::is_symlink(path, error); ++hops) {
        const fs::path link = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return path;
}

#ifdef _WIN32
// Windows keeps no owner or mode bits to carry over.
bool keep_owner_and_mode(int, const struct stat*) { return true; }
#else
// Gives the new file at `fd` the owner and mode of `existing`, or, with no
// existing file, the mode of any new file: 0666 less the umask.
bool keep_owner_and_mode(int fd, const struct stat* existing) {
    if (existing == nullptr) {
        const mode_t mask = umask(0);
        umask(mask);
        return fchmod(fd, 0666 & ~mask) == 0;
    }
    if (existing->st_uid != geteuid() || existing->st_gid != getegid()) {
        // Keep the owner where allowed (root); elsewhere the replacement
        // belongs to the user, as any editor's save would make it.
        [[maybe_unused]] const int owner_kept = fchown(fd, existing->st_uid, existing->st_gid);
    }
    return fchmod(fd, existing->st_mode & 07777) == 0;
}
#endif

}  // namespace

PendingFile::PendingFile(const std::string& destination) : destination_(destination) {
    const fs::path directory = fs::path(destination).parent_path();
    path_ = (directory / ".vork-XXXXXX").string();
    SignalsHeld held;
    fd_ = create_unique(path_);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    pending_path.store(path_.c_str());
    install_cleanup();
}

PendingFile::~PendingFile() {
    if (error_ != 0) {
        return;  // never created
    }
    if (fd_ >= 0) {
        close(fd_);
    }
    SignalsHeld held;
    if (!committed_) {
        unlink(path_.c_str());
    }
    pending_path.store(nullptr);
    restore_signals();
}

bool PendingFile::commit() {
    bool synced = sync_file(fd_) == 0;
    if (close(fd_) != 0) {
        synced = false;
    }
    fd_ = -1;
    if (!synced) {
        return false;
    }
    {
        SignalsHeld held;
        // Unlike rename(), this replaces an existing file on Windows too.
        std::error_code failure;
        fs::rename(path_, destination_, failure);
        if (failure) {
            return false;
        }
        committed_ = true;
        pending_path.store(nullptr);
    }
    // The directory is not synced: after a crash the path holds the old file
    // or the new one, either whole, and that is all this promises.
    return true;
}

TargetWrite write_target(const std::string& path, std::span<const std::uint8_t> image) {
    const std::string destination = resolve_links(path).string();
    struct stat existing {};
    const bool exists = stat(destination.c_str(), &existing) == 0;
    // Devices and pipes cannot be replaced, only written to.
    if (exists && !S_ISREG(existing.st_mode)) {
        return write_in_place(destination, image);
    }
    if (exists) {
        // Never replace a file the user could not have opened for writing.
        const int probe = open(destination.c_str(), O_WRONLY | kOpenFlags);
        if (probe < 0) {
            return TargetWrite::not_opened;
        }
        close(probe);
    }

    PendingFile pending(destination);
    if (!pending.valid()) {
        switch (pending.error()) {
            // No room for a new file beside the target, though the target
            // itself may be writable: write it the only way left.
            case EACCES:
            case EPERM:
            case EROFS:
            case ENOENT:
            case ENOTDIR:
                return write_in_place(destination, image);
            default:
                return TargetWrite::failed;
        }
    }
    if (!keep_owner_and_mode(pending.fd(), exists ? &existing : nullptr) ||
        !write_all(pending.fd(), image)) {
        return TargetWrite::failed;
    }
    return pending.commit() ? TargetWrite::ok : TargetWrite::failed;
}

}  // namespace vork
