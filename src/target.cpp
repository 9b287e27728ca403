#include "target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>

namespace vork {

namespace {

namespace fs = std::filesystem;

// The pending file's path, for the signal handler; null when there is none.
std::atomic<const char*> pending_path{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "read from a signal handler");

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous_actions[std::size(kCleanupSignals)];

extern "C" void remove_pending_file(int signal_number) {
    if (const char* path = pending_path.load()) {
        unlink(path);
    }
    // The handler was installed with SA_RESETHAND: once it returns, the
    // re-raised signal ends the process the way it would have without us.
    raise(signal_number);
}

// Holds back the cleanup signals while the pending file changes state, so the
// handler never sees a file that exists but is not yet, or no longer, recorded.
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
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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

// Returns the mode a newly created file gets: 0666 less the umask.
mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Flushes the directory entry of a rename to disk; a failure here loses nothing.
void sync_directory(const fs::path& directory) {
    const int fd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

PendingFile::PendingFile(const std::string& destination) : destination_(destination) {
    const fs::path directory = fs::path(destination).parent_path();
    path_ = (directory / ".vork-XXXXXX").string();
    SignalsHeld held;
    fd_ = mkostemp(path_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    pending_path.store(path_.c_str());
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = remove_pending_file;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(kCleanupSignals[i], nullptr, &previous_actions[i]);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (previous_actions[i].sa_handler != SIG_IGN) {
            sigaction(kCleanupSignals[i], &action, nullptr);
        }
    }
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
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        sigaction(kCleanupSignals[i], &previous_actions[i], nullptr);
    }
}

bool PendingFile::commit() {
    bool synced = fsync(fd_) == 0;
    if (close(fd_) != 0) {
        synced = false;
    }
    fd_ = -1;
    if (!synced) {
        return false;
    }
    {
        SignalsHeld held;
        if (rename(path_.c_str(), destination_.c_str()) != 0) {
            return false;
        }
        committed_ = true;
        pending_path.store(nullptr);
    }
    sync_directory(fs::path(destination_).parent_path());
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
        const int probe = open(destination.c_str(), O_WRONLY | O_CLOEXEC);
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
    if (exists && (existing.st_uid != geteuid() || existing.st_gid != getegid())) {
        // Keep the owner where allowed (root); elsewhere the replacement
        // belongs to the user, as any editor's save would make it.
        [[maybe_unused]] const int owner_kept =
            fchown(pending.fd(), existing.st_uid, existing.st_gid);
    }
    const mode_t mode = exists ? existing.st_mode & 07777 : new_file_mode();
    if (fchmod(pending.fd(), mode) != 0 || !write_all(pending.fd(), image)) {
        return TargetWrite::failed;
    }
    return pending.commit() ? TargetWrite::ok : TargetWrite::failed;
}

}  // namespace vork
