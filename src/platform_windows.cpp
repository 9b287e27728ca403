// The platform interface on Windows: every name crosses to the system as
// UTF-16 through the wide API, converted exactly from the WTF-8 used inside.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <csignal>
#include <string>
#include <vector>

#include "platform.h"
#include "wtf8.h"

namespace vork::platform {

namespace {

HANDLE handle_of(Handle file) { return reinterpret_cast<HANDLE>(file); }
Handle handle_from(HANDLE file) { return reinterpret_cast<Handle>(file); }

// Returns the WTF-8 `text` as the system's UTF-16.
std::wstring wide(std::string_view text) {
    const std::u16string units = utf16_from_wtf8(text);
    return {units.begin(), units.end()};
}

// Returns the system's UTF-16 `text` as WTF-8.
std::string utf8(std::wstring_view text) {
    return wtf8_from_utf16(std::u16string(text.begin(), text.end()));
}

// Sharing that lets others go on reading, writing and renaming the file.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long to wait for another program that holds a file for a moment (a
// virus scanner, an indexer, another vork) before giving up on it.
constexpr int kPatienceMs = 5000;
constexpr int kRetryMs = 1;

// Calls `attempt` until it succeeds or fails with an error other than
// another program holding the file, for `patience_ms` at most; its result.
template <typename Attempt>
bool with_patience(Attempt attempt, int patience_ms = kPatienceMs) {
    const ULONGLONG deadline = GetTickCount64() + patience_ms;
    for (;;) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
            GetTickCount64() >= deadline) {
            SetLastError(error);
            return false;
        }
        // Often: a scanner lets go of a file only for a moment between two looks.
        Sleep(kRetryMs);
    }
}

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

// Whether the files open as `a` and `b` are one file.
bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// Whether `path` names the very file open as `file` now.
bool is_same_file(const std::string& path, HANDLE file) {
    const HANDLE named = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool same = same_file(named, file);
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

// Whether `path` names a stream of a file (`GAME.BIN:stream`), whose file a
// replacement would take with it: such a target is only written in place.
bool names_a_stream(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    if (name == 0 && path.size() >= 2 && path[1] == ':') {
        name = 2;  // a drive-relative name, C:GAME.BIN
    }
    return path.find(':', name) != std::string::npos;
}

// Marks the file open as `file` (with DELETE access) to vanish when its last
// handle closes, however the process ends; or takes the mark back.
bool mark_for_deletion(HANDLE file, bool marked) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = marked ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
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
// wait, because a replacement, an in-place write or the pending file's
// removal is under way, and stopping it halfway could leave the old file
// under a temporary name, half of each, or the pending file behind.
// The C runtime runs the handler on a thread of its own, beside the run.
enum : int { kNothingPending, kFilePending, kMustFinish };
std::atomic<int> interrupt_state{kNothingPending};
std::wstring pending_wide;

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

// Removes the pending file once it is closed. Another program may hold it
// for a moment; the interrupt handler waits until it is gone, so that
// nothing is left beside the target.
void remove_pending() {
    with_patience([] {
        return DeleteFileW(pending_wide.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    });
    interrupt_state.store(kNothingPending);
}

// Routes the interrupt signals to on_interrupt() for the whole run, except
// those the caller chose to ignore, which stay ignored.
void catch_interrupts() {
    for (const int s : {SIGINT, SIGTERM, SIGBREAK}) {
        if (signal(s, on_interrupt) == SIG_IGN) {
            signal(s, SIG_IGN);
        }
    }
}

// Whether the file open as `file` is the one standard output writes to,
// where the image and the report would overwrite each other.
bool is_the_report(HANDLE file) {
    const HANDLE report = GetStdHandle(STD_OUTPUT_HANDLE);
    return report != nullptr && report != INVALID_HANDLE_VALUE &&
           GetFileType(report) == FILE_TYPE_DISK && same_file(report, file);
}

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
    // Exactly the bytes that come: text mode would drop a carriage return
    // and the byte after it.
    _setmode(_fileno(stdin), _O_BINARY);
    catch_interrupts();
}

bool is_terminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

void write_text(std::FILE* out, std::string_view text) {
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) {
        std::fwrite(text.data(), 1, text.size(), out);  // a file or a pipe takes the UTF-8 bytes
        return;
    }
    // The console's code page stays the user's; the characters go as UTF-16.
    std::fflush(out);
    const std::wstring characters = wide(text);
    DWORD written = 0;
    WriteConsoleW(console, characters.data(), static_cast<DWORD>(characters.size()), &written,
                  nullptr);
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
    target.path = path;
    const std::wstring name = wide(path);
    // Links are followed by the system; devices (NUL, CON, COM1) open as such.
    // Only a file this run made where nothing was is its own: marked at once
    // to vanish unless the image gets there, however the run ends.
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        target.created = mark_for_deletion(file, true);  // a device takes no such mark
    } else {
        file = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (!target.created && is_the_report(file)) {
        CloseHandle(file);
        return false;
    }
    target.handle = handle_from(file);
    target.regular = GetFileType(file) == FILE_TYPE_DISK;
    if (target.regular && !names_a_stream(path)) {
        target.final_path = final_path_of(file);
    }
    return true;
}

bool write_through(const Target& target, std::span<const std::uint8_t> image) {
    return write_all(handle_of(target.handle), image);
}

bool write_in_place(const Target& target, std::span<const std::uint8_t> image) {
    const HANDLE file = handle_of(target.handle);
    // Another run writing in place waits, so the file ends as one whole image;
    // a lock another program keeps is waited for a few seconds, not for ever.
    OVERLAPPED whole{};
    const bool locked = with_patience([&] {
        return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                          MAXDWORD, &whole) != 0;
    });
    if (!locked) {
        return false;
    }
    // An interrupt waits until the file holds the whole image, not half of each.
    interrupt_state.store(kMustFinish);
    LARGE_INTEGER size{};
    size.QuadPart = static_cast<LONGLONG>(image.size());
    // Sized first: where that is refused (a mapped file cannot shrink),
    // nothing of the file has changed yet.
    bool written = (!target.created || mark_for_deletion(file, false)) &&
                   SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
                   SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) &&
                   write_all(file, image);
    interrupt_state.store(kNothingPending);
    written = written && FlushFileBuffers(file);
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    return written;
}

void close_target(Target& target, bool succeeded) {
    // A file this run made and could not fill goes as its handle closes.
    if (!succeeded && target.created && target.handle != kNoHandle) {
        mark_for_deletion(handle_of(target.handle), true);
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
        // Delete sharing lets the interrupt handler remove it while it is
        // open; the mark makes it vanish whatever ends the process, and keeps
        // other programs from opening it meanwhile.
        const HANDLE file = CreateFileW(pending_wide.c_str(), GENERIC_WRITE | DELETE,
                                        FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            mark_for_deletion(file, true);
            handle_ = handle_from(file);
            created_ = Step::done;
            interrupt_state.store(kFilePending);
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
    close(handle_);  // still marked for deletion unless committed
    if (interrupt_state.exchange(kNothingPending) == kFilePending) {
        DeleteFileW(pending_wide.c_str());
    }
}

Step PendingFile::carry_over(const Target& target) {
    // Replacing keeps attributes, security and other streams; only a second
    // name for the file would be left with the old contents.
    BY_HANDLE_FILE_INFORMATION old{};
    if (!GetFileInformationByHandle(handle_of(target.handle), &old)) {
        return Step::failed;
    }
    if (old.nNumberOfLinks > 1) {
        return Step::refused;
    }
    if (target.created) {
        return Step::done;
    }
    // A file another program holds without delete sharing (an emulator with
    // the disk loaded) cannot be replaced: found out before trying, since a
    // failed replacement can leave a backup file of its own behind.
    const HANDLE probe = CreateFileW(wide(target.final_path).c_str(), DELETE, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return Step::refused;
    }
    CloseHandle(probe);
    return Step::done;
}

bool PendingFile::write(std::span<const std::uint8_t> image) {
    return write_all(handle_of(handle_), image);
}

Step PendingFile::commit(Target& target) {
    const HANDLE file = handle_of(handle_);
    int expected = kFilePending;
    if (!FlushFileBuffers(file) ||
        !interrupt_state.compare_exchange_strong(expected, kMustFinish)) {
        return Step::failed;  // or an interrupt took the file away and is ending the run
    }
    // From here on an interrupt waits for this step to end, whichever way.
    bool closed = mark_for_deletion(file, false);
    closed = CloseHandle(file) && closed;
    handle_ = kNoHandle;
    // A file this run created is held by it, marked for deletion: nobody
    // could have moved it. Any other must still be the file that was opened.
    if (!closed || (!target.created && !is_same_file(target.final_path, handle_of(target.handle)))) {
        remove_pending();
        return closed ? Step::refused : Step::failed;
    }
    const std::wstring final_name = wide(target.final_path);
    const DWORD attributes = GetFileAttributesW(final_name.c_str());
    // Our own handle on the target would stand in the replacement's way;
    // closed, a file this run created vanishes and leaves the name free.
    CloseHandle(handle_of(target.handle));
    target.handle = kNoHandle;
    // A scanner or an indexer that opens the new file for a moment holds
    // the replacement back only that long.
    bool moved = with_patience([&] {
        if (target.created) {
            return MoveFileExW(pending_wide.c_str(), final_name.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        }
        return ReplaceFileW(final_name.c_str(), pending_wide.c_str(), nullptr,
                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    });
    if (!moved) {
        const DWORD error = GetLastError();
        if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
            GetFileAttributesW(final_name.c_str()) != INVALID_FILE_ATTRIBUTES) {
            remove_pending();
            // Written in place instead, as `copy` would: open the target again.
            target.handle = handle_from(CreateFileW(final_name.c_str(), GENERIC_WRITE, kShareAll,
                                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                    nullptr));
            return target.handle == kNoHandle ? Step::failed : refused_or_failed(error);
        }
        // The old file went, and the new one still waits under its own
        // name (Wine does this when another program took the new file in
        // between): it must get to the target's name, and it is never removed.
        // It is the only copy left, so this waits longer.
        constexpr int kLastCopyPatienceMs = 30000;
        moved = with_patience(
            [&] {
                return MoveFileExW(pending_wide.c_str(), final_name.c_str(),
                                   MOVEFILE_WRITE_THROUGH) != 0;
            },
            kLastCopyPatienceMs);
        if (!moved) {
            committed_ = true;
            interrupt_state.store(kNothingPending);
            return Step::failed;
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
