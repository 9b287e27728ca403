// Where the target lies on Windows: the folder that holds it, links
// resolved, and its name there.
#include <windows.h>

#include <string>

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

}  // namespace vork::platform::win

namespace vork::platform {

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

std::string_view base_name(std::string_view path) {
    // "C:GAME.BIN" names GAME.BIN in drive C's current folder.
    if (path.size() >= 2 && path[1] == ':') {
        path.remove_prefix(2);
    }
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace vork::platform
