// Cleanup on the signals that end a run early (Ctrl-C, SIGTERM, SIGHUP):
// what the run made and has not finished goes before the signal takes effect.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

#include "internal.h"

namespace vork::platform::posix {

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A file the handler may remove, by its name in a folder.
struct Recorded {
    int folder = AT_FDCWD;
    const char* name = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
    volatile sig_atomic_t written = 0;  // this run wrote into it, so it need not be empty
};

// What an interrupt must remove; null when there is nothing.
std::atomic<const Recorded*> pending{nullptr};
std::atomic<const Recorded*> created{nullptr};
static_assert(std::atomic<const Recorded*>::is_always_lock_free, "read from a signal handler");
Recorded pending_record;
Recorded created_record;

// Removes the created target if its folder still holds it under its name
// and, unless this run wrote to it, it is still empty: never a file another
// program put there or filled. Safe in a signal handler.
void remove_if_ours(const Recorded& file) {
    struct stat now {};
    if (fstatat(file.folder, file.name, &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode) &&
        now.st_dev == file.device && now.st_ino == file.inode &&
        (file.written != 0 || now.st_size == 0)) {
        unlinkat(file.folder, file.name, 0);
    }
}

// Removes what the run would leave half made, then lets the signal end the process.
extern "C" void remove_leftovers(int signal_number) {
    if (const Recorded* file = pending.load()) {
        unlinkat(file->folder, file->name, 0);
    }
    if (const Recorded* file = created.load()) {
        remove_if_ours(*file);
    }
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

void record(Recorded& into, std::atomic<const Recorded*>& slot, int folder, const char* name) {
    into.folder = folder < 0 ? AT_FDCWD : folder;
    into.name = name;
    into.written = 0;
    if (slot.exchange(&into) == nullptr) {
        hold_cleanup();
    }
}

void forget(std::atomic<const Recorded*>& slot) {
    if (slot.exchange(nullptr) != nullptr) {
        release_cleanup();
    }
}

}  // namespace

SignalsHeld::SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int s : kCleanupSignals) {
        sigaddset(&held, s);
    }
    sigprocmask(SIG_BLOCK, &held, &saved_);
}

SignalsHeld::~SignalsHeld() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

void record_created(int folder, const char* name, const struct stat& file) {
    created_record.device = file.st_dev;
    created_record.inode = file.st_ino;
    record(created_record, created, folder, name);
}

void note_created_written() { created_record.written = 1; }

void forget_created() { forget(created); }

void remove_created() {
    if (created.load() != nullptr) {
        remove_if_ours(created_record);
    }
}

void record_pending(int folder, const char* name) { record(pending_record, pending, folder, name); }

void forget_pending() { forget(pending); }

}  // namespace vork::platform::posix
