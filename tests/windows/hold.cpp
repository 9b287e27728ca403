// Holds a file open for reading and writing, sharing both but not deletion,
// as an emulator or a viewer with the file loaded does, until a second file
// appears. Says "held" once the file is open.
// Usage: vork_hold FILE RELEASE
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t* argv[]) {
    if (argc != 3) {
        return 2;
    }
    const HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    for (int waited = 0; waited < 3000 && GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES;
         ++waited) {
        Sleep(10);
    }
    CloseHandle(file);
    return 0;
}
