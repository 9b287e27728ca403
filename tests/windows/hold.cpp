// What other Windows programs do to vork's files, for the tests run under
// Wine. Says "held" once in place, then keeps at it until RELEASE appears.
//   vork_hold open FILE RELEASE  holds FILE open for reading and writing,
//                                sharing both but not deletion, as an
//                                emulator or a viewer with the file loaded
//   vork_hold map FILE RELEASE   ... and maps it whole, as a hex viewer may
//   vork_hold lock FILE RELEASE  ... and locks it whole
//   vork_hold read FILE RELEASE  holds FILE open for reading only, sharing
//                                everything, and locks its first sector
//                                for reading, as a reader that locks what
//                                it reads
//   vork_hold scan GLOB RELEASE  opens each file matching GLOB for a moment,
//                                without delete sharing, as a virus scanner
//   vork_hold linger GLOB RELEASE  ... and keeps each open for 8 seconds
//   vork_hold save FILE BACKUP   saves a new FILE holding "theirs" as an
//                                editor does, the old one kept as BACKUP
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool released(const wchar_t* release) {
    return GetFileAttributesW(release) != INVALID_FILE_ATTRIBUTES;
}

HANDLE open_shared(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void say_held() {
    std::puts("held");
    std::fflush(stdout);
}

int scan(const wchar_t* glob, const wchar_t* release, DWORD hold_ms) {
    say_held();
    for (int round = 0; round < 100000 && !released(release); ++round) {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW(glob, &found);
        if (search == INVALID_HANDLE_VALUE) {
            continue;
        }
        do {
            const HANDLE file = CreateFileW(found.cFileName, GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                Sleep(hold_ms);
                CloseHandle(file);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc != 4) {
        return 2;
    }
    const std::wstring mode = argv[1];
    if (mode == L"scan" || mode == L"linger") {
        return scan(argv[2], argv[3], mode == L"scan" ? 30 : 8000);
    }
    if (mode == L"save") {
        const HANDLE saved = CreateFileW(L"saved.tmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        const bool whole = WriteFile(saved, "theirs", 6, &written, nullptr) && written == 6;
        CloseHandle(saved);
        return whole && ReplaceFileW(argv[2], L"saved.tmp", argv[3], 0, nullptr, nullptr) ? 0 : 1;
    }
    const HANDLE file =
        mode == L"read" ? CreateFileW(argv[2], GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                        : open_shared(argv[2]);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    HANDLE mapping = nullptr;
    if (mode == L"map") {
        mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
        if (mapping == nullptr || MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) == nullptr) {
            return 1;
        }
    }
    OVERLAPPED whole{};
    if (mode == L"lock" && !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        return 1;
    }
    OVERLAPPED first_sector{};
    if (mode == L"read" && !LockFileEx(file, 0, 0, 256, 0, &first_sector)) {
        return 1;
    }
    say_held();
    for (int waited = 0; waited < 3000 && !released(argv[3]); ++waited) {
        Sleep(10);
    }
    CloseHandle(file);
    return 0;
}
