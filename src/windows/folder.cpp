// Where the target lies on Windows: the folder that holds it, links
// resolved, and its name there; whether that name still holds it, and the
// move of a file to it by its handle.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace vork::platform::win {

namespace {

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

// Whether another program holds the file at `path` without letting it be
// removed (an emulator with the disk loaded), so that nothing can take its place.
bool held_in_place(const std::wstring& path) {
    const HANDLE probe = CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return true;
    }
    CloseHandle(probe);
    return false;
}

// The state of the file open as `file`, in `state`.
Result state_from(HANDLE file, FileState& state) {
    FILE_BASIC_INFO times{};
    LARGE_INTEGER size{};
    if (!identify(file, state.id) || !GetFileSizeEx(file, &size) ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times)) {
        return failed("GetFileInformationByHandle");
    }
    state.size = static_cast<std::uint64_t>(size.QuadPart);
    state.changed[0] = times.ChangeTime.QuadPart;
    state.changed[1] = times.LastWriteTime.QuadPart;
    return {};
}

// Opens `path`, links followed, only to look at it; INVALID_HANDLE_VALUE when it cannot.
HANDLE open_to_look(const std::wstring& path) {
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool identify(HANDLE file, std::uint64_t (&id)[2]) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        return false;
    }
    id[0] = info.dwVolumeSerialNumber;
    id[1] = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return true;
}

// Where the file open as `file` lies, links resolved; empty when unknown.
std::string final_path_of(HANDLE file) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) {
            break;
        }
        if (n < path.size()) {
            path.resize(n);
            return win::utf8(path);
        }
        path.resize(n);  // too short: n is the size wanted
    }
    return {};
}

void find_in_folder(Target& target, TargetFacts& facts) {
    const std::string where = names_a_stream(target.path) ? std::string() : final_path_of(target.file);
    const std::size_t slash = where.find_last_of('\\');
    if (slash == std::string::npos) {
        return;
    }
    target.folder_path = where.substr(0, slash);
    target.name = where.substr(slash + 1);
    // Another program that holds it without letting it go keeps anything
    // from taking its place.
    facts.folder_lets_go = target.created || !held_in_place(wide(where));
}

bool is_target(const Target& target, HANDLE file) {
    std::uint64_t id[2] = {};
    return win::identify(file, id) && id[0] == target.id[0] && id[1] == target.id[1];
}

std::wstring final_path(const Target& target) {
    return wide(target.folder_path + "\\" + target.name);
}

bool is_the_report(HANDLE file) {
    const HANDLE report = GetStdHandle(STD_OUTPUT_HANDLE);
    std::uint64_t a[2] = {};
    std::uint64_t b[2] = {};
    return report != nullptr && report != INVALID_HANDLE_VALUE &&
           GetFileType(report) == FILE_TYPE_DISK && win::identify(report, a) && win::identify(file, b) &&
           a[0] == b[0] && a[1] == b[1];
}

bool move_by_handle(HANDLE file, const std::wstring& to) {
    const DWORD name_bytes = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->RootDirectory = nullptr;
    rename->FileNameLength = name_bytes;
    std::memcpy(rename->FileName, to.data(), name_bytes);
    constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);  // FileRenameInfoEx
    constexpr DWORD kReplaceIfExists = 0x1;
    constexpr DWORD kPosixSemantics = 0x2;
    rename->Flags = kReplaceIfExists | kPosixSemantics;
    if (SetFileInformationByHandle(file, kRenameInfoEx, rename, static_cast<DWORD>(buffer.size()))) {
        return true;
    }
    // Refused as unknown by older systems, Wine and third-party file systems
    // (ERROR_FILE_SYSTEM_LIMITATION, 665, which mingw does not name).
    constexpr DWORD kFileSystemLimitation = 665;
    const DWORD refused = GetLastError();
    if (refused != ERROR_INVALID_PARAMETER && refused != ERROR_NOT_SUPPORTED &&
        refused != kFileSystemLimitation && refused != ERROR_INVALID_FUNCTION) {
        return false;
    }
    rename->Flags = 0;  // before Windows 10 1709, and under Wine
    rename->ReplaceIfExists = TRUE;
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

bool open_for_writing(const std::wstring& path) {
    const HANDLE probe = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    CloseHandle(probe);
    return true;
}

bool renames_over_open_files(HANDLE file) {
    constexpr DWORD kPosixUnlinkRename = 0x400;  // FILE_SUPPORTS_POSIX_UNLINK_RENAME
    DWORD flags = 0;
    return GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & kPosixUnlinkRename) != 0;
}

}  // namespace vork::platform::win

namespace vork::platform {

using win::final_path;
using win::is_target;
using win::kShareAll;
using win::wide;

bool same_file(const char* a, const char* b) {
    const HANDLE first = win::open_to_look(win::wide(a));
    const HANDLE second = win::open_to_look(win::wide(b));
    std::uint64_t one[2] = {};
    std::uint64_t other[2] = {};
    const bool same = first != INVALID_HANDLE_VALUE && second != INVALID_HANDLE_VALUE &&
                      win::identify(first, one) && win::identify(second, other) &&
                      one[0] == other[0] && one[1] == other[1];
    for (const HANDLE file : {first, second}) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    return same;
}

Result state_of(Target& target, FileState& state) { return win::state_from(target.file, state); }

Result state_at_name(Target& target, FileState& state) {
    // Without a name, or marked by this run (which keeps any open by name
    // out), the file can only be looked at through its own handle.
    if (target.name.empty() || target.marked) {
        return win::state_from(target.file, state);
    }
    const HANDLE named = win::open_to_look(win::wide(target.folder_path + "\\" + target.name));
    if (named == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? Failure{Reason::moved, 0, "CreateFileW"}
                   : win::failure_from(error, "CreateFileW");
    }
    const Result failure = win::state_from(named, state);
    CloseHandle(named);
    return failure;
}

Result still_at_name(Target& target) {
    if (target.name.empty()) {
        // Its path unknown: only a file on its way out is known to be lost.
        FILE_STANDARD_INFO standard{};
        return !GetFileInformationByHandleEx(target.file, FileStandardInfo, &standard,
                                             sizeof standard) ||
                       !standard.DeletePending || target.marked
                   ? Result{}
                   : Failure{Reason::moved, 0, "FileStandardInfo"};
    }
    if (target.marked) {
        // This run's own mark keeps any open by name out: where the file lies, by its handle.
        const std::string where = win::final_path_of(target.file);
        return CompareStringOrdinal(wide(where).c_str(), -1, final_path(target).c_str(), -1,
                                    TRUE) == CSTR_EQUAL
                   ? Result{}
                   : Failure{Reason::moved, 0, "GetFinalPathNameByHandleW"};
    }
    const HANDLE named = CreateFileW(final_path(target).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return Failure{Reason::moved, 0, "CreateFileW"};
    }
    const bool same = is_target(target, named);
    CloseHandle(named);
    return same ? Result{} : Failure{Reason::moved, 0, "CreateFileW"};
}

// Every call here reaches the target by its full path, looked up afresh, and
// Windows refuses to rename a folder while a file in it is open.
Result folder_at_path(Target&) { return {}; }

std::string_view base_name(std::string_view path) {
    // "C:GAME.BIN" names GAME.BIN in drive C's current folder.
    if (path.size() >= 2 && path[1] == ':') {
        path.remove_prefix(2);
    }
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace vork::platform
