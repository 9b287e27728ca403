// Ctrl-C and Ctrl-Break on Windows: what the run made and has not finished
// goes, and a step that must not stop halfway is waited for.
#include <atomic>
#include <csignal>

#include "internal.h"

namespace vork::platform {

namespace {

// Who has the run now: nobody in particular; a step that must finish; or
// the interrupt, which is ending it. Each passes through `idle`.
enum : int { kIdle, kMustFinish, kEnding };
std::atomic<int> owner{kIdle};
int holders = 0;  // nested holds, all on the run's own thread
std::atomic<const std::wstring*> to_remove{nullptr};

// The C runtime runs the handler on a thread of its own, beside the run.
extern "C" void on_interrupt(int signal_number) {
    // The ending is claimed only from `idle`: a step under way ends first.
    for (int expected = kIdle; !owner.compare_exchange_weak(expected, kEnding); expected = kIdle) {
        if (expected == kEnding) {
            break;  // a second signal: the first is ending the run
        }
        Sleep(1);
    }
    // The files this run made and has not finished are marked to vanish as
    // the process ends; the new file goes now too, should the mark not have taken.
    if (const std::wstring* path = to_remove.load()) {
        DeleteFileW(path->c_str());  // open with delete sharing, so this works
    }
    // Never status 0: the C runtime ends the process with 3 for the signal.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

InterruptsHeld::InterruptsHeld() {
    if (holders++ > 0) {
        return;
    }
    for (int expected = kIdle; !owner.compare_exchange_weak(expected, kMustFinish);
         expected = kIdle) {
        // The interrupt has the run: it ends the process; nothing more may start.
        Sleep(expected == kEnding ? INFINITE : 1);
    }
}

InterruptsHeld::~InterruptsHeld() {
    if (--holders == 0) {
        owner.store(kIdle);
    }
}

namespace win {

void catch_interrupts() {
    for (const int s : {SIGINT, SIGTERM, SIGBREAK}) {
        if (signal(s, on_interrupt) == SIG_IGN) {
            signal(s, SIG_IGN);
        }
    }
}

void interrupt_removes(const std::wstring* path) { to_remove.store(path); }

}  // namespace win

}  // namespace vork::platform
