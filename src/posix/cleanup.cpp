// Cleanup on the signals that end a run early (Ctrl-C, SIGTERM, SIGHUP):
// what the run made and has not finished goes before the signal takes effect.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <climits>

#include "fresh_name.h"
#include "internal.h"

namespace vork::platform {

namespace sys = posix::calls;

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A file the handler may remove, by its name in a folder.
struct Recorded {
    int folder = AT_FDCWD;
    const char* name = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
    volatile sig_atomic_t written = 0;  // this run wrote into it, so it need not be empty
    char aside[PATH_MAX] = {};  // a fresh name in the same folder, to move it to before it goes
};

// What an interrupt must remove; null when there is nothing.
std::atomic<const Recorded*> pending{nullptr};
std::atomic<const Recorded*> created{nullptr};
static_assert(std::atomic<const Recorded*>::is_always_lock_free, "read from a signal handler");
Recorded pending_record;
Recorded created_record;

// Whether `now` is the created target and, unless this run wrote to it, still empty.
bool is_ours(const Recorded& file, const struct stat& now) {
    return S_ISREG(now.st_mode) && now.st_dev == file.device && now.st_ino == file.inode &&
           (file.written != 0 || now.st_size == 0);
}

// Removes the created target while it is provably this run's: moved aside
// under a fresh name first, so that what is looked at is what goes, then
// put back if it is another program's after all. Returns the name it had to
// be left under, this run's and not removed: aside, or its own in a folder
// that keeps every name; else null. Safe in a signal handler.
const char* remove_if_ours(const Recorded& file) {
    struct stat now {};
    if (sys::renameat2(file.folder, file.name, file.folder, file.aside, RENAME_NOREPLACE) != 0) {
        const int error = errno;
        const bool ours = sys::fstatat(file.folder, file.name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                          is_ours(file, now);
        // A file system that cannot refuse to replace: looked at, then removed.
        if (ours && (error == EINVAL || error == ENOSYS) &&
            sys::unlinkat(file.folder, file.name, 0) == 0) {
            return nullptr;
        }
        // Gone, or another's: nothing of this run's is left there.
        return ours ? file.name : nullptr;
    }
    if (sys::fstatat(file.folder, file.aside, &now, AT_SYMLINK_NOFOLLOW) == 0 && is_ours(file, now)) {
        return sys::unlinkat(file.folder, file.aside, 0) == 0 ? nullptr : file.aside;
    }
    return sys::renameat2(file.folder, file.aside, file.folder, file.name, RENAME_NOREPLACE) == 0
               ? nullptr
               : file.aside;
}

// Removes what the run would leave half made, then lets the signal end the process.
extern "C" void remove_leftovers(int signal_number) {
    const int saved = errno;
    if (const Recorded* file = pending.load()) {
        sys::unlinkat(file->folder, file->name, 0);
    }
    if (const Recorded* file = created.load()) {
        remove_if_ours(*file);
    }
    errno = saved;
    // The handler was reset on entry: once it returns, the re-raised signal
    // ends the process the way it would have without us.
    raise(signal_number);
}

struct sigaction previous_actions[std::size(kCleanupSignals)];
int cleanup_users = 0;

// Makes the cleanup signals remove leftovers while anything may be left,
// except signals the caller chose to ignore (nohup), which stay ignored.
void hold_cleanup() {
    if (cleanup_users++ > 0) {
        return;
    }
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = remove_leftovers;
        action.sa_flags = SA_RESETHAND;
        // Another of them (Ctrl-C, then `timeout`'s SIGTERM) waits until the
        // first has done: a second cleanup started halfway through the first
        // would find the file it moved aside, and leave it there.
        sigemptyset(&action.sa_mask);
        for (const int s : kCleanupSignals) {
            sigaddset(&action.sa_mask, s);
        }
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

void record(Recorded& into, std::atomic<const Recorded*>& slot, int folder, const char* name) {
    into.folder = folder < 0 ? AT_FDCWD : folder;
    into.name = name;
    into.written = 0;
    // Beside it: in its folder, or, by the path as given, in that path's folder.
    const char* const slash = folder < 0 ? std::strrchr(name, '/') : nullptr;
    const int folder_length = slash != nullptr ? static_cast<int>(slash - name + 1) : 0;
    std::snprintf(into.aside, sizeof into.aside, "%.*s%s", folder_length, name,
                  fresh_name().c_str());
    if (slot.exchange(&into) == nullptr) {
        hold_cleanup();
    }
}

void forget(std::atomic<const Recorded*>& slot) {
    if (slot.exchange(nullptr) != nullptr) {
        release_cleanup();
    }
}

sigset_t saved_mask;
int holders = 0;

}  // namespace

InterruptsHeld::InterruptsHeld() {
    if (holders++ > 0) {
        return;
    }
    sigset_t held;
    sigemptyset(&held);
    for (const int s : kCleanupSignals) {
        sigaddset(&held, s);
    }
    sigprocmask(SIG_BLOCK, &held, &saved_mask);
}

InterruptsHeld::~InterruptsHeld() {
    if (--holders == 0) {
        sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    }
}

void TargetCloser::operator()(Target* target) const {
    posix::forget_created();
    if (target->fd >= 0) {
        ::close(target->fd);
    }
    if (target->folder >= 0) {
        ::close(target->folder);
    }
    delete target;
}

void NewFileCloser::operator()(NewFile* file) const {
    if (file->recorded) {
        InterruptsHeld held;
        posix::forget_pending();
    }
    if (file->fd >= 0) {
        ::close(file->fd);  // an unnamed file goes with it
    }
    delete file;
}

void remove_created(Target& target, std::string& leftover) {
    const std::string aside = posix::remove_created();
    if (!aside.empty()) {
        leftover = target.folder < 0 ? aside : target.folder_path + "/" + aside;
    }
}

namespace posix {

void record_created(int folder, const char* name, const struct stat& file) {
    created_record.device = file.st_dev;
    created_record.inode = file.st_ino;
    record(created_record, created, folder, name);
}

void note_created_written() { created_record.written = 1; }

void forget_created() {
    if (created.load() != nullptr) {
        InterruptsHeld held;
        forget(created);
    }
}

std::string remove_created() {
    const char* const left = created.load() != nullptr ? remove_if_ours(created_record) : nullptr;
    return left != nullptr ? left : "";
}

void record_pending(int folder, const char* name) { record(pending_record, pending, folder, name); }

void forget_pending() { forget(pending); }

}  // namespace posix

}  // namespace vork::platform
