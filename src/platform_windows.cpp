// The platform interface on Windows: every name crosses to the system as
// UTF-16 through the wide API, converted exactly from the UTF-8 used inside.
#include <windows.h>
#include <shellapi.h>

#include <io.h>

#include <atomic>
#include <csignal>
#include <string>
#include <vector>

#include "platform.h"

namespace vork::platform {

namespace {

HANDLE handle_of(Handle file) { return reinterpret_cast<HANDLE>(file); }
Handle handle_from(HANDLE file) { return reinterpret_cast<Handle>(file); }

// Returns `text` (UTF-8) as UTF-16; bytes that are not UTF-8 become U+FFFD,
// so such a name matches no file rather than another one.
std::wstring wide(const std::string& text) {
    const int size = static_cast<int>(text.size());
    std::wstring out(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), size,
                                                                   nullptr, 0)),
                     L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()));
    return out;
}

// Returns `text` (UTF-16) as UTF-8.
std::string utf8(const std::wstring& text) {
    const int size = static_cast<int>(text.size());
    std::string out(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), size,
                                                                  nullptr, 0, nullptr, nullptr)),
                    '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()),
                        nullptr, nullptr);
    return out;
}

// Sharing that lets others go on reading, writing and renaming the file.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Writes all of `data` to `file` from its current position.
bool write_all(HANDLE file, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const DWORD chunk = data.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(data.size());
        DWORD written = 0;
        if (!WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        data = data.subspan(written);
    }
    return true;
}

// Whether `path` names the very file open as `file` now.
bool is_same_file(const std::string& path, HANDLE file) {
    const HANDLE named = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = GetFileInformationByHandle(named, &a) &&
                      GetFileInformationByHandle(file, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

// Where the file open as `file` lies, links resolved; empty when unknown.
std::string final_path_of(HANDLE file) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n >= path.size()) {
        path.resize(n);
        n = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    if (n == 0 || n >= path.size()) {
        return {};
    }
    path.resize(n);
    return utf8(path);
}

// Whether a failure with `error` to make or put the new file beside the
// target still leaves writing the target in place worth trying.
Step refused_or_failed(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:  // another program holds the target open
        case ERROR_LOCK_VIOLATION:
        case ERROR_UNABLE_TO_REMOVE_REPLACED:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_WRITE_PROTECT:
        case ERROR_NOT_SAME_DEVICE:
            return Step::refused;
        default:
            return Step::failed;
    }
}

// What an interrupt may do: nothing is pending; remove the pending file; or
// wait, because a replacement or an in-place write is under way and stopping it
// halfway could leave the old file under a temporary name, or half of each.
// The C runtime runs the handler on a thread of its own, beside the run.
enum : int { kNothingPending, kFilePending, kMustFinish };
std::atomic<int> interrupt_state{kNothingPending};
std::wstring pending_wide;

extern "C" void on_interrupt(int signal_number) {
    // A replacement that was refused leaves the file pending again: it goes too.
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
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

using SignalAction = void (*)(int);
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGBREAK};
SignalAction previous_actions[std::size(kCleanupSignals)];

// Routes the interrupt signals to on_interrupt(), except those the caller
// chose to ignore, which stay ignored.
void catch_interrupts() {
    for (std::size_t s = 0; s < std::size(kCleanupSignals); ++s) {
        previous_actions[s] = signal(kCleanupSignals[s], on_interrupt);
        if (previous_actions[s] == SIG_IGN) {
            signal(kCleanupSignals[s], SIG_IGN);
        }
    }
}

// Puts back what catch_interrupts() replaced.
void release_interrupts() {
    for (std::size_t s = 0; s < std::size(kCleanupSignals); ++s) {
        signal(kCleanupSignals[s], previous_actions[s]);
    }
}

UINT saved_output_code_page = 0;

}  // namespace

const char* const* utf8_arguments(int& argc, char* argv[]) {
    // The narrow arguments went through the ANSI code page, which has no room
    // for most names; the wide command line has every character as typed.
    static std::vector<std::string> arguments;
    static std::vector<const char*> pointers;
    int count = 0;
    LPWSTR* wide_arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_arguments == nullptr) {
        return argv;
    }
    for (int i = 0; i < count; ++i) {
        arguments.push_back(utf8(wide_arguments[i]));
    }
    LocalFree(wide_arguments);
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    pointers.push_back(nullptr);
    argc = count;
    return pointers.data();
}

void console_begin() {
    // On a console, show the UTF-8 the run prints as the characters it means;
    // redirected, the bytes go out as they are.
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        saved_output_code_page = GetConsoleOutputCP();
        SetConsoleOutputCP(CP_UTF8);
    }
}

void console_end() {
    if (saved_output_code_page != 0) {
        SetConsoleOutputCP(saved_output_code_page);
    }
}

bool is_terminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

Handle open_for_reading(const char* path) {
    // A folder does not open without backup semantics, so it is refused here.
    return handle_from(CreateFileW(wide(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

long read_some(Handle file, std::span<std::uint8_t> into) {
    DWORD got = 0;
    const DWORD wanted = into.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(into.size());
    if (!ReadFile(handle_of(file), into.data(), wanted, &got, nullptr)) {
        // A pipe whose writer has finished.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return static_cast<long>(got);
}

void close(Handle file) {
    if (file != kNoHandle) {
        CloseHandle(handle_of(file));
    }
}

bool open_target(const char* path, Target& target) {
    // Links are followed by the system; devices (NUL, CON, COM1) open as such.
    const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    target.handle = handle_from(file);
    target.created = GetLastError() != ERROR_ALREADY_EXISTS;
    target.regular = GetFileType(file) == FILE_TYPE_DISK;
    if (target.regular) {
        target.final_path = final_path_of(file);
    }
    return true;
}

bool write_through(const Target& target, std::span<const std::uint8_t> image) {
    return write_all(handle_of(target.handle), image);
}

bool write_in_place(Target& target, std::span<const std::uint8_t> image) {
    const HANDLE file = handle_of(target.handle);
    // Another run writing in place waits, so the file ends as one whole image.
    OVERLAPPED whole{};
    LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    // An interrupt waits until the file holds the whole image, not half of each.
    interrupt_state.store(kMustFinish);
    catch_interrupts();
    const bool written = SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) &&
                         write_all(file, image) && SetEndOfFile(file);
    interrupt_state.store(kNothingPending);
    release_interrupts();
    return written && FlushFileBuffers(file);
}

void close_target(Target& target, bool succeeded) {
    if (!succeeded && target.created && !target.final_path.empty() &&
        is_same_file(target.final_path, handle_of(target.handle))) {
        DeleteFileW(wide(target.final_path).c_str());
    }
    close(target.handle);
    target.handle = kNoHandle;
}

PendingFile::PendingFile(const std::string& final_path) {
    const std::size_t slash = final_path.find_last_of("\\/");
    const std::string folder = final_path.substr(0, slash == std::string::npos ? 0 : slash + 1);
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned long long seed = GetTickCount64() * 2654435761u ^ GetCurrentProcessId();
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = folder + ".vork-";
        for (int i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            path_ += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
        }
        pending_wide = wide(path_);
        // Delete sharing lets the interrupt handler remove it while it is open.
        const HANDLE file = CreateFileW(pending_wide.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = handle_from(file);
            created_ = Step::done;
            interrupt_state.store(kFilePending);
            catch_interrupts();
            return;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            created_ = refused_or_failed(GetLastError());
            return;
        }
    }
    created_ = Step::failed;
}

PendingFile::~PendingFile() {
    if (created_ != Step::done) {
        return;
    }
    close(handle_);
    if (interrupt_state.exchange(kNothingPending) == kFilePending) {
        DeleteFileW(pending_wide.c_str());
    }
    release_interrupts();
}

Step PendingFile::carry_over(const Target& target) {
    // Replacing keeps attributes, security and other streams; only a second
    // name for the file would be left with the old contents.
    BY_HANDLE_FILE_INFORMATION old{};
    if (!GetFileInformationByHandle(handle_of(target.handle), &old)) {
        return Step::failed;
    }
    return old.nNumberOfLinks > 1 ? Step::refused : Step::done;
}

bool PendingFile::write(std::span<const std::uint8_t> image) {
    return write_all(handle_of(handle_), image);
}

Step PendingFile::commit(Target& target) {
    bool synced = FlushFileBuffers(handle_of(handle_)) != 0;
    if (!CloseHandle(handle_of(handle_))) {
        synced = false;
    }
    handle_ = kNoHandle;
    if (!synced) {
        return Step::failed;
    }
    if (!is_same_file(target.final_path, handle_of(target.handle))) {
        return Step::refused;
    }
    const std::wstring final_name = wide(target.final_path);
    const DWORD attributes = GetFileAttributesW(final_name.c_str());
    int expected = kFilePending;
    if (!interrupt_state.compare_exchange_strong(expected, kMustFinish)) {
        return Step::failed;  // an interrupt took the file away and is ending the run
    }
    // Our own handle on the target would stand in the replacement's way.
    CloseHandle(handle_of(target.handle));
    target.handle = kNoHandle;
    bool moved = false;
    if (target.created) {
        // Nothing of the empty file this run made is worth keeping.
        moved = MoveFileExW(pending_wide.c_str(), final_name.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    } else {
        moved = ReplaceFileW(final_name.c_str(), pending_wide.c_str(), nullptr,
                             REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    }
    if (!moved) {
        const DWORD error = GetLastError();
        // The replacement went wrong after the old file was moved away: put
        // the new one at the name rather than leave nothing there.
        if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
            GetFileAttributesW(final_name.c_str()) == INVALID_FILE_ATTRIBUTES &&
            MoveFileExW(pending_wide.c_str(), final_name.c_str(), MOVEFILE_WRITE_THROUGH)) {
            moved = true;
        } else {
            // Written in place instead, as `copy` would: open the target again.
            target.handle = handle_from(CreateFileW(final_name.c_str(), GENERIC_WRITE, kShareAll,
                                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                    nullptr));
            interrupt_state.store(kFilePending);
            return target.handle == kNoHandle ? Step::failed : refused_or_failed(error);
        }
    }
    committed_ = true;
    // Hidden, system and read-only marks belong to the name the user knows.
    if (attributes != INVALID_FILE_ATTRIBUTES && !target.created) {
        SetFileAttributesW(final_name.c_str(), attributes);
    }
    interrupt_state.store(kNothingPending);
    return Step::done;
}

}  // namespace vork::platform
