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

}  // namespace

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

std::string_view base_name(std::string_view path) {
    // "C:GAME.BIN" names GAME.BIN in drive C's current folder.
    if (path.size() >= 2 && path[1] == ':') {
        path.remove_prefix(2);
    }
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace vork::platform
