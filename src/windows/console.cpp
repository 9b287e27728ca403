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

std::wstring wide(std::string_view text) {
    const std::u16string units = utf16_from_wtf8(text);
    return {units.begin(), units.end()};
}

std::string utf8(std::wstring_view text) {
    return wtf8_from_utf16(std::u16string(text.begin(), text.end()));
}

namespace {

Reason reason_of(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
            return Reason::none;
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return Reason::permission;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return Reason::not_found;
        case ERROR_DIRECTORY:
            return Reason::not_a_folder;
        case kIsAFolder:
            return Reason::is_a_folder;
        case ERROR_CANT_RESOLVE_FILENAME:
            return Reason::link_loop;
        case ERROR_FILENAME_EXCED_RANGE:
            return Reason::name_too_long;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return Reason::disk_full;
        case 1295:  // ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's headers lack
            return Reason::quota;
        case ERROR_WRITE_PROTECT:
            return Reason::read_only;
        case ERROR_TOO_MANY_OPEN_FILES:
            return Reason::too_many_files;
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT:
        case ERROR_GEN_FAILURE:
            return Reason::io_error;
        case ERROR_LOCK_VIOLATION:
            return Reason::locked;
        case ERROR_SHARING_VIOLATION:
        case ERROR_UNABLE_TO_REMOVE_REPLACED:
            return Reason::in_use;
        case ERROR_USER_MAPPED_FILE:
            return Reason::mapped;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return Reason::no_reader;
        case ERROR_NOT_READY:
            return Reason::no_device;
        case ERROR_INVALID_HANDLE:
            return Reason::closed;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return Reason::no_memory;
        case ERROR_NOT_SAME_DEVICE:
            return Reason::other_device;
        case ERROR_NOT_SUPPORTED:
        case ERROR_CALL_NOT_IMPLEMENTED:
            return Reason::unsupported;
        case ERROR_TOO_MANY_LINKS:
            return Reason::too_many_links;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return Reason::exists;
        default:
            return Reason::other;
    }
}

}  // namespace

Failure failure_from(DWORD error, const char* step) {
    return {reason_of(error), static_cast<long>(error), step};
}

Failure failed_to_open(const std::wstring& path) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return failure_from(error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
                                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                            ? kIsAFolder
                            : error,
                        "CreateFileW");
}

bool mark_for_deletion(HANDLE file, bool marked) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = marked ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

}  // namespace win

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

Result open_for_reading(const char* path, Handle& file) {
    // A folder does not open without backup semantics, so it is refused here.
    const std::wstring name = wide(path);
    const HANDLE opened = CreateFileW(name.c_str(), GENERIC_READ, win::kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return win::failed_to_open(name);
    }
    file = handle_from(opened);
    return {};
}

Result open_regular_for_reading(const char* path, Handle& file, bool& regular) {
    // Opening a pipe or a device never waits here: only its type is asked.
    Handle opened = kNoHandle;
    if (auto failure = open_for_reading(path, opened)) {
        return failure;
    }
    regular = GetFileType(handle_of(opened)) == FILE_TYPE_DISK;
    if (!regular) {
        close(opened);
        return {};
    }
    file = opened;
    return {};
}

Result read_some(Handle file, std::span<std::uint8_t> into, std::size_t& got) {
    DWORD n = 0;
    const DWORD wanted = into.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(into.size());
    got = 0;
    if (!ReadFile(handle_of(file), into.data(), wanted, &n, nullptr)) {
        // A pipe whose writer has finished.
        const DWORD error = GetLastError();
        return error == ERROR_BROKEN_PIPE ? Result{} : win::failure_from(error, "ReadFile");
    }
    got = n;
    return {};
}

void close(Handle file) {
    if (file != kNoHandle) {
        CloseHandle(handle_of(file));
    }
}

}  // namespace vork::platform
