// Ctrl-C and Ctrl-Break on Windows: what the run made and has not finished
// goes, and a step that must not stop halfway is waited for.
#include <atomic>
#include <csignal>
#include <cstdlib>

#include "internal.h"

namespace vork::platform {

namespace {

// Who has the run now: nobody in particular; a step that must finish; or
// the interrupt, which is ending it. Each passes through `idle`.
enum : int { kIdle, kMustFinish, kEnding };
std::atomic<int> owner{kIdle};
int holders = 0;  // nested holds, all on the run's own thread
std::atomic<const std::wstring*> to_remove{nullptr};
// An interrupt has come and is ending the run, from the thread named here.
std::atomic<bool> under_way{false};
std::atomic<DWORD> interrupt_thread{0};

// The C runtime runs the handler on a thread of its own, beside the run.
extern "C" void on_interrupt(int signal_number) {
    interrupt_thread.store(GetCurrentThreadId());
    under_way.store(true);
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

// Closing the console, logging off and shutting down end the process once
// this returns: held and cleaned up like Ctrl-C, here, before it does.
BOOL WINAPI on_console_end(DWORD event) {
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        on_interrupt(SIGTERM);
    }
    return FALSE;  // Ctrl-C and Ctrl-Break: the C runtime's, below
}

// A run that ends while an interrupt's thread is under way waits for it to
// end the process, so that an interrupted run never ends with status 0.
void wait_for_interrupt() {
    if (under_way.load() && interrupt_thread.load() != GetCurrentThreadId()) {
        Sleep(INFINITE);
    }
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
        wait_for_interrupt();
    }
}

namespace win {

void catch_interrupts() {
    for (const int s : {SIGINT, SIGTERM, SIGBREAK}) {
        if (signal(s, on_interrupt) == SIG_IGN) {
            signal(s, SIG_IGN);
        }
    }
    SetConsoleCtrlHandler(on_console_end, TRUE);
    std::atexit(wait_for_interrupt);
}

void interrupt_removes(const std::wstring* path) { to_remove.store(path); }

}  // namespace win

void NewFileCloser::operator()(NewFile* file) const {
    {
        InterruptsHeld held;
        win::interrupt_removes(nullptr);
    }
    if (file->file != INVALID_HANDLE_VALUE) {
        CloseHandle(file->file);  // marked: it vanishes as it closes
    }
    delete file;
}

void drop_new_file(Target& /*target*/, NewFile& file, std::string& /*leftover*/) {
    win::interrupt_removes(nullptr);
    CloseHandle(file.file);  // marked: it vanishes as it closes
    file.file = INVALID_HANDLE_VALUE;
}

}  // namespace vork::platform
