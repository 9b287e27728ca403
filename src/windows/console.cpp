// The platform interface on Windows: the command line, the console and the
// source; the target has a file of its own. Every name crosses to the system
// as UTF-16 through the wide API, converted exactly from the WTF-8 used inside.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <string>
#include <vector>

#include "internal.h"
#include "wtf8.h"

namespace vork::platform {

namespace win {

namespace {
DWORD last_error = 0;  // the system error code of the last failure recorded
}  // namespace

std::wstring wide(std::string_view text) {
    const std::u16string units = utf16_from_wtf8(text);
    return {units.begin(), units.end()};
}

std::string utf8(std::wstring_view text) {
    return wtf8_from_utf16(std::u16string(text.begin(), text.end()));
}

bool fail(DWORD error) {
    last_error = error;
    return false;
}

bool fail_to_open(const std::wstring& path) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return fail(error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                    ? kIsAFolder
                    : error);
}

bool mark_for_deletion(HANDLE file, bool marked) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = marked ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

}  // namespace win

Failure last_failure() {
    switch (win::last_error) {
        case ERROR_SUCCESS:
            return {Reason::none, 0};
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return {Reason::permission, 0};
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return {Reason::not_found, 0};
        case ERROR_DIRECTORY:
            return {Reason::not_a_folder, 0};
        case win::kIsAFolder:
            return {Reason::is_a_folder, 0};
        case ERROR_CANT_RESOLVE_FILENAME:
            return {Reason::link_loop, 0};
        case ERROR_FILENAME_EXCED_RANGE:
            return {Reason::name_too_long, 0};
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return {Reason::disk_full, 0};
        case 1295:  // ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's headers lack
            return {Reason::quota, 0};
        case ERROR_WRITE_PROTECT:
            return {Reason::read_only, 0};
        case ERROR_TOO_MANY_OPEN_FILES:
            return {Reason::too_many_files, 0};
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT:
        case ERROR_GEN_FAILURE:
            return {Reason::io_error, 0};
        case ERROR_LOCK_VIOLATION:
            return {Reason::locked, 0};
        case ERROR_SHARING_VIOLATION:
        case ERROR_UNABLE_TO_REMOVE_REPLACED:
            return {Reason::in_use, 0};
        case ERROR_USER_MAPPED_FILE:
            return {Reason::mapped, 0};
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return {Reason::no_reader, 0};
        case ERROR_NOT_READY:
            return {Reason::no_device, 0};
        case ERROR_INVALID_HANDLE:
            return {Reason::closed, 0};
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return {Reason::no_memory, 0};
        case win::kMoved:
            return {Reason::moved, 0};
        case win::kSizeKept:
            return {Reason::size_kept, 0};
        case win::kReportFile:
            return {Reason::report_file, 0};
        default:
            return {Reason::other, static_cast<long>(win::last_error)};
    }
}

using win::handle_from;
using win::handle_of;
using win::wide;

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
        arguments.push_back(win::utf8(wide_arguments[i]));
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
    win::catch_interrupts();
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
    const std::wstring name = wide(path);
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, win::kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        win::fail_to_open(name);
        return kNoHandle;
    }
    return handle_from(file);
}

long read_some(Handle file, std::span<std::uint8_t> into) {
    DWORD got = 0;
    const DWORD wanted = into.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(into.size());
    if (!ReadFile(handle_of(file), into.data(), wanted, &got, nullptr)) {
        // A pipe whose writer has finished.
        const DWORD error = GetLastError();
        return error == ERROR_BROKEN_PIPE ? 0 : (win::fail(error), -1);
    }
    return static_cast<long>(got);
}

void close(Handle file) {
    if (file != kNoHandle) {
        CloseHandle(handle_of(file));
    }
}

}  // namespace vork::platform
