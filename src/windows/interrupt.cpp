// Ctrl-C and Ctrl-Break on Windows: what the run made and has not finished
// goes, and a step that must not stop halfway is waited for.
#include <atomic>
#include <csignal>

#include "internal.h"

namespace vork::platform::win {

namespace {

std::atomic<int> interrupt_state{kNothingPending};
std::wstring pending_wide;

// The C runtime runs the handler on a thread of its own, beside the run.
extern "C" void on_interrupt(int signal_number) {
    // The files this run made and has not committed are marked for deletion
    // and vanish as the process ends; the pending file goes now too, should
    // the mark not have taken.
    for (;;) {
        int state = kFilePending;
        if (interrupt_state.compare_exchange_strong(state, kNothingPending)) {
            DeleteFileW(pending_wide.c_str());  // open with delete sharing, so this works
            break;
        }
        if (state != kMustFinish) {
            break;
        }
        Sleep(1);
    }
    // Never status 0: the C runtime ends the process with 3 for the signal.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

void catch_interrupts() {
    for (const int s : {SIGINT, SIGTERM, SIGBREAK}) {
        if (signal(s, on_interrupt) == SIG_IGN) {
            signal(s, SIG_IGN);
        }
    }
}

int interrupt_may(int state, const std::wstring* pending) {
    if (pending != nullptr) {
        pending_wide = *pending;  // read by the handler only once the state says so
    }
    return interrupt_state.exchange(state);
}

bool interrupt_must_wait() {
    int expected = kFilePending;
    return interrupt_state.compare_exchange_strong(expected, kMustFinish);
}

}  // namespace vork::platform::win
