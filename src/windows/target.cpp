// The target on Windows: opened as the shell's `>` opens it; replaced by a
// new file that no other program can open, given what the old file had and
// moved over it by its own handle; or else written in place.
#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace vork::platform {

using win::fail;
using win::handle_from;
using win::handle_of;
using win::kShareAll;
using win::mark_for_deletion;
using win::wide;
using win::with_patience;

namespace {

// Writes all of `data` to `file` from its current position.
bool write_all(HANDLE file, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const DWORD chunk = data.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(data.size());
        DWORD written = 0;
        if (!WriteFile(file, data.data(), chunk, &written, nullptr)) {
            return fail(GetLastError());
        }
        if (written == 0) {
            return fail(ERROR_WRITE_FAULT);
        }
        data = data.subspan(written);
    }
    return true;
}

// What the system knows of the file open as `file`; false when it cannot say.
bool identify(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(file, &info) != 0;
}

// Whether `info` is that of the file opened as the target.
bool is_target(const Target& target, const BY_HANDLE_FILE_INFORMATION& info) {
    return target.id[0] == info.dwVolumeSerialNumber &&
           target.id[1] == (std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow);
}

// Whether the files open as `a` and `b` are one file.
bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return identify(a, x) && identify(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// Where the target lies, links resolved; empty when unknown.
std::string final_path(const Target& target) {
    return target.name.empty() ? std::string() : target.folder_path + "\\" + target.name;
}

// Whether `path` names the very file that was opened as the target.
bool names_target(const std::wstring& path, const Target& target) {
    const HANDLE named = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same = identify(named, info) && is_target(target, info);
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
    return win::utf8(path);
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

// Whether another program holds the file at `path` without letting it be
// removed (an emulator with the disk loaded), so that nothing can take its
// place: found out first, since a failed replacement can leave a backup
// file of its own behind.
bool held_in_place(const std::wstring& path) {
    const HANDLE probe = CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return true;
    }
    CloseHandle(probe);
    return false;
}

// Whether a failure with `error` to make or put the new file in place still
// leaves writing the target in place worth trying.
Step refused_or_failed(DWORD error) {
    fail(error);
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:  // another program holds the target open
        case ERROR_LOCK_VIOLATION:
        case ERROR_UNABLE_TO_REMOVE_REPLACED:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_WRITE_PROTECT:
        case ERROR_NOT_SAME_DEVICE:
        case ERROR_DISK_FULL:          // no room for one more file
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_TOO_MANY_OPEN_FILES:
            return Step::refused;
        default:
            return Step::failed;
    }
}

// Whether the file open as `file` is the one standard output writes to,
// where the image and the report would overwrite each other.
bool is_the_report(HANDLE file) {
    const HANDLE report = GetStdHandle(STD_OUTPUT_HANDLE);
    return report != nullptr && report != INVALID_HANDLE_VALUE &&
           GetFileType(report) == FILE_TYPE_DISK && same_file(report, file);
}

// Moves the file open as `file` (with DELETE access) to `to`, replacing
// whatever is there; nothing else need open it on the way. With POSIX
// semantics where the system has them, so that a file that others hold
// open, letting it go, can be replaced too.
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
    if (GetLastError() != ERROR_INVALID_PARAMETER && GetLastError() != ERROR_NOT_SUPPORTED) {
        return false;
    }
    rename->Flags = 0;  // before Windows 10 1709, and under Wine
    rename->ReplaceIfExists = TRUE;
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

// Whether the file at `path` has streams beside its own data
// (GAME.BIN:comment), which a new file would not have.
bool has_other_streams(const std::wstring& path) {
    WIN32_FIND_STREAM_DATA stream{};
    const HANDLE search = FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &stream, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return false;  // none, or a file system without streams
    }
    bool other = false;
    do {
        other = other || std::wstring_view(stream.cStreamName) != L"::$DATA";
    } while (!other && FindNextStreamW(search, &stream));
    FindClose(search);
    return other;
}

// Gives the file open as `to` the access rules of the file open as `from`,
// as they stand (inherited from the folder or its own); false when it cannot.
bool copy_access_rules(HANDLE from, HANDLE to) {
    PACL rules = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &rules,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const DWORD which = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                                         ? PROTECTED_DACL_SECURITY_INFORMATION
                                                         : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const bool copied =
        SetSecurityInfo(to, SE_FILE_OBJECT, which, nullptr, nullptr, rules, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return copied;
}

// Opens the target again by its path, but only if that path still names the
// very file opened at the start, never one put there meanwhile.
void reopen(Target& target) {
    const HANDLE file = CreateFileW(wide(final_path(target)).c_str(), GENERIC_WRITE, kShareAll,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (file != INVALID_HANDLE_VALUE && identify(file, info) && is_target(target, info)) {
        target.handle = handle_from(file);
    } else if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

// Whether the target is still the file its path names (or, with its path
// unknown, not on its way out); a file that lost its name since it was
// opened is one nobody will ever read.
bool still_named(const Target& target) {
    if (!target.name.empty()) {
        return names_target(wide(final_path(target)), target) || fail(win::kMoved);
    }
    FILE_STANDARD_INFO standard{};
    return !GetFileInformationByHandleEx(handle_of(target.handle), FileStandardInfo, &standard,
                                         sizeof standard) ||
           !standard.DeletePending || fail(win::kMoved);
}

// Gives the file open as `file` the size `size` without losing the old
// contents to a full disk: a larger file gets its room first, which a full
// disk refuses before any byte changes; a smaller one is cut first, which a
// file another program maps refuses the same way.
bool make_room(HANDLE file, LONGLONG size) {
    LARGE_INTEGER old_size{};
    if (!GetFileSizeEx(file, &old_size)) {
        return fail(GetLastError());
    }
    if (size > old_size.QuadPart) {
        FILE_ALLOCATION_INFO room{};
        room.AllocationSize.QuadPart = size;
        if (!SetFileInformationByHandle(file, FileAllocationInfo, &room, sizeof room)) {
            const DWORD error = GetLastError();
            // Where the file system cannot reserve, nothing better can be done than to write.
            return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                   error == ERROR_INVALID_FUNCTION || fail(error);
        }
        return true;
    }
    LARGE_INTEGER end{};
    end.QuadPart = size;
    return (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file)) ||
           fail(GetLastError());
}

}  // namespace

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
        return win::fail_to_open(name);
    }
    if (!target.created && is_the_report(file)) {
        CloseHandle(file);
        return fail(win::kReportFile);
    }
    target.handle = handle_from(file);
    target.regular = GetFileType(file) == FILE_TYPE_DISK;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!target.regular || !identify(file, info)) {
        return true;
    }
    target.id[0] = info.dwVolumeSerialNumber;
    target.id[1] = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    target.named = true;
    const std::string where = names_a_stream(path) ? std::string() : final_path_of(file);
    const std::size_t slash = where.find_last_of('\\');
    if (slash != std::string::npos) {
        target.folder_path = where.substr(0, slash);
        target.name = where.substr(slash + 1);
    }
    // A second name would keep the old contents.
    target.replaceable = !target.name.empty() && info.nNumberOfLinks == 1 &&
                         (target.created || !held_in_place(wide(where)));
    return true;
}

bool write_through(const Target& target, std::span<const std::uint8_t> image) {
    return write_all(handle_of(target.handle), image);
}

bool write_in_place(Target& target, std::span<const std::uint8_t> image) {
    const HANDLE file = handle_of(target.handle);
    // Another run writing in place waits, so the file ends as one whole image;
    // a lock another program keeps is waited for a few seconds, not for ever.
    OVERLAPPED whole{};
    const bool locked = with_patience([&] {
        return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                          MAXDWORD, &whole) != 0;
    });
    if (!locked) {
        return fail(GetLastError());
    }
    const auto size = static_cast<LONGLONG>(image.size());
    // An interrupt waits until the file holds the whole image, not half of each.
    win::interrupt_may(win::kMustFinish);
    bool written = still_named(target) &&
                   (!target.created || mark_for_deletion(file, false) || fail(GetLastError())) &&
                   make_room(file, size) &&
                   (SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
                    fail(GetLastError())) &&
                   write_all(file, image);
    LARGE_INTEGER end{};
    end.QuadPart = size;
    written = written && ((SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file)) ||
                          fail(GetLastError()));
    win::interrupt_may(win::kNothingPending);
    // Some file systems acknowledge a change of size and keep the old one.
    LARGE_INTEGER after{};
    written = written && (FlushFileBuffers(file) || fail(GetLastError())) &&
              (GetFileSizeEx(file, &after) || fail(GetLastError())) &&
              (after.QuadPart == size || fail(win::kSizeKept));
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

PendingFile::PendingFile(Target& target) : target_(target) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned long long seed = GetTickCount64() * 2654435761u ^ GetCurrentProcessId();
    for (int attempt = 0; attempt < 100; ++attempt) {
        name_ = ".vork-";
        for (int i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            name_ += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
        }
        const std::wstring path = wide(target.folder_path + "\\" + name_);
        // Shared with nobody but the interrupt handler, which may remove it:
        // no scanner can open it, so nothing holds it when it is put in place.
        // The mark makes it vanish whatever ends the process.
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE | WRITE_DAC,
                                        FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            mark_for_deletion(file, true);
            handle_ = handle_from(file);
            created_ = Step::done;
            win::interrupt_may(win::kFilePending, &path);
            return;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            created_ = refused_or_failed(GetLastError());
            return;
        }
    }
    created_ = refused_or_failed(ERROR_FILE_EXISTS);
}

PendingFile::~PendingFile() {
    if (created_ != Step::done || committed_) {
        return;
    }
    close(handle_);  // marked: it vanishes as it closes
    win::interrupt_may(win::kNothingPending);
}

Step PendingFile::carry_over() {
    if (target_.created) {
        return Step::done;  // a new target has nothing of its own
    }
    const HANDLE from = handle_of(target_.handle);
    const HANDLE to = handle_of(handle_);
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(from, FileBasicInfo, &basic, sizeof basic)) {
        fail(GetLastError());
        return Step::failed;
    }
    // What these calls cannot give a new file (compression, encryption, a
    // sparse file, other streams) stays with the old file: written in place.
    constexpr DWORD kNotCarried = FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED |
                                  FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((basic.FileAttributes & kNotCarried) != 0 ||
        has_other_streams(wide(final_path(target_))) || !copy_access_rules(from, to)) {
        return Step::refused;
    }
    // Its attributes (hidden, system, ...) and its creation time; the other
    // times are the new file's own.
    FILE_BASIC_INFO kept{};
    kept.CreationTime = basic.CreationTime;
    kept.FileAttributes = basic.FileAttributes;
    return SetFileInformationByHandle(to, FileBasicInfo, &kept, sizeof kept) ? Step::done
                                                                              : Step::refused;
}

bool PendingFile::write(std::span<const std::uint8_t> image) {
    return write_all(handle_of(handle_), image);
}

Step PendingFile::commit() {
    const HANDLE file = handle_of(handle_);
    if (!FlushFileBuffers(file)) {
        fail(GetLastError());
        return Step::failed;
    }
    if (!win::interrupt_must_wait()) {
        return Step::failed;  // an interrupt took the file away and is ending the run
    }
    // From here on an interrupt waits for this step to end, whichever way.
    const std::wstring final_name = wide(final_path(target_));
    // Our own handle on the target would stand in the way; closed, a file
    // this run created vanishes and leaves the name free.
    CloseHandle(handle_of(target_.handle));
    target_.handle = kNoHandle;
    // The new file's mark comes off only for the move, and back at once if
    // it does not happen; no other program can open the file meanwhile.
    // One that holds the target for a moment delays the move.
    const ULONGLONG deadline = GetTickCount64() + win::kPatienceMs;
    for (;;) {
        mark_for_deletion(file, false);
        if (move_by_handle(file, final_name)) {
            break;
        }
        const DWORD error = GetLastError();
        mark_for_deletion(file, true);
        if ((win::held_by_another(error) || error == ERROR_ACCESS_DENIED) &&
            GetTickCount64() < deadline) {
            Sleep(1);
            continue;
        }
        win::interrupt_may(win::kFilePending);
        if (refused_or_failed(error) == Step::failed) {
            return Step::failed;
        }
        reopen(target_);  // written in place instead, as `copy` would
        if (target_.handle == kNoHandle) {
            fail(win::kMoved);  // the path names another file, or none
            return Step::failed;
        }
        return Step::refused;
    }
    committed_ = true;
    close(handle_);
    handle_ = kNoHandle;
    win::interrupt_may(win::kNothingPending);
    return Step::done;
}

}  // namespace vork::platform
