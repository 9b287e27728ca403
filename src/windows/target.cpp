// The target's calls on Windows: the target opened as the shell's `>` opens
// it; a new file that no other program can open, given what the old file
// had and moved over it by its own handle.
#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace vork::platform {

using win::failed;
using win::kShareAll;
using win::mark_for_deletion;
using win::wide;
using win::with_patience;

namespace {

// Writes all of `data` to `file` from its current position.
Result write_all(HANDLE file, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const DWORD chunk = data.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(data.size());
        DWORD written = 0;
        if (!WriteFile(file, data.data(), chunk, &written, nullptr)) {
            return failed("WriteFile");
        }
        if (written == 0) {
            return win::failure_from(ERROR_WRITE_FAULT, "WriteFile");
        }
        data = data.subspan(written);
    }
    return {};
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

// Where the target lies, links resolved.
std::wstring final_path(const Target& target) {
    return wide(target.folder_path + "\\" + target.name);
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

// Whether the files open as `from` and `to` have one owner: giving a new file
// another owner takes a privilege.
bool same_owner(HANDLE from, HANDLE to) {
    PSID owners[2] = {};
    PSECURITY_DESCRIPTOR descriptors[2] = {};
    const HANDLE files[2] = {from, to};
    bool known = true;
    for (int i = 0; i < 2; ++i) {
        known = known && GetSecurityInfo(files[i], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                         &owners[i], nullptr, nullptr, nullptr,
                                         &descriptors[i]) == ERROR_SUCCESS;
    }
    const bool same = known && owners[0] != nullptr && owners[1] != nullptr &&
                      EqualSid(owners[0], owners[1]);
    LocalFree(descriptors[0]);
    LocalFree(descriptors[1]);
    return same;
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

// Whether `error` says the file system cannot reserve room.
bool cannot_reserve(DWORD error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

void TargetCloser::operator()(Target* target) const {
    if (target->file != INVALID_HANDLE_VALUE) {
        CloseHandle(target->file);  // marked: it vanishes as it closes
    }
    delete target;
}

void NewFileCloser::operator()(NewFile* file) const {
    {
        InterruptsHeld held;
        win::interrupt_removes(nullptr);
    }
    if (file->file != INVALID_HANDLE_VALUE) {
        CloseHandle(file->file);  // marked: it vanishes as it closes
    }
    delete file;
}

Result open_target(const char* path, TargetPtr& opened, TargetFacts& facts) {
    TargetPtr target(new Target);
    target->path = path;
    const std::wstring name = wide(path);
    HANDLE file = INVALID_HANDLE_VALUE;
    {
        // Links are followed by the system; devices (NUL, CON, COM1) open as
        // such. Only a file this run made where nothing was is its own:
        // marked to vanish, in the same step, unless the image gets there.
        InterruptsHeld held;
        file = CreateFileW(name.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL, kShareAll, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            target->created = target->marked = mark_for_deletion(file, true);  // not a device
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        file = CreateFileW(name.c_str(), GENERIC_WRITE | READ_CONTROL, kShareAll, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return win::failed_to_open(name);
    }
    target->file = file;
    if (!target->created && is_the_report(file)) {
        return Failure{Reason::report_file, 0, "CreateFileW"};
    }
    facts.regular = GetFileType(file) == FILE_TYPE_DISK;
    facts.created = target->created;
    BY_HANDLE_FILE_INFORMATION info{};
    if (facts.regular && identify(file, info)) {
        target->id[0] = info.dwVolumeSerialNumber;
        target->id[1] = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
        facts.named = true;
        facts.other_names = info.nNumberOfLinks > 1;
        const std::string where = names_a_stream(path) ? std::string() : final_path_of(file);
        const std::size_t slash = where.find_last_of('\\');
        if (slash != std::string::npos) {
            target->folder_path = where.substr(0, slash);
            target->name = where.substr(slash + 1);
            facts.folder_known = true;
            // Another program that holds it without letting it go keeps
            // anything from taking its place.
            facts.folder_lets_go = target->created || !held_in_place(wide(where));
        }
    }
    opened = std::move(target);
    return {};
}

Result lock(Target& target) {
    // Another run writing in place waits, so the file ends as one whole image;
    // a lock another program keeps is waited for a few seconds, not for ever.
    OVERLAPPED whole{};
    if (with_patience([&] {
            return LockFileEx(target.file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                              MAXDWORD, MAXDWORD, &whole) != 0;
        })) {
        return {};
    }
    return failed("LockFileEx");
}

Result reserve(Target& target, std::uint64_t size) {
    LARGE_INTEGER old_size{};
    if (!GetFileSizeEx(target.file, &old_size)) {
        return failed("GetFileSizeEx");
    }
    const auto wanted = static_cast<LONGLONG>(size);
    if (wanted <= old_size.QuadPart) {
        return {};
    }
    FILE_ALLOCATION_INFO room{};
    room.AllocationSize.QuadPart = wanted;
    if (SetFileInformationByHandle(target.file, FileAllocationInfo, &room, sizeof room)) {
        return {};
    }
    if (!cannot_reserve(GetLastError())) {
        return failed("FileAllocationInfo");
    }
    // A file system that cannot reserve (Wine's): the room free on its disk instead.
    ULARGE_INTEGER free_room{};
    if (!target.folder_path.empty() &&
        GetDiskFreeSpaceExW(wide(target.folder_path + "\\").c_str(), &free_room, nullptr,
                            nullptr) &&
        free_room.QuadPart < static_cast<ULONGLONG>(wanted - old_size.QuadPart)) {
        return win::failure_from(ERROR_DISK_FULL, "GetDiskFreeSpaceExW");
    }
    return {};
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
        const std::string where = final_path_of(target.file);
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
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same = identify(named, info) && is_target(target, info);
    CloseHandle(named);
    return same ? Result{} : Failure{Reason::moved, 0, "CreateFileW"};
}

Result write_at(Target& target, std::span<const std::uint8_t> data, std::uint64_t offset) {
    // Written, a file this run made is the image's: the mark comes off.
    if (target.marked) {
        if (!mark_for_deletion(target.file, false)) {
            return failed("FileDispositionInfo");
        }
        target.marked = false;
    }
    if (offset != kAppend) {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(target.file, at, nullptr, FILE_BEGIN)) {
            return failed("SetFilePointerEx");
        }
    }
    return write_all(target.file, data);
}

Result size_of(Target& target, std::uint64_t& size) {
    LARGE_INTEGER now{};
    if (!GetFileSizeEx(target.file, &now)) {
        return failed("GetFileSizeEx");
    }
    size = static_cast<std::uint64_t>(now.QuadPart);
    return {};
}

Result cut(Target& target, std::uint64_t size) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(target.file, end, nullptr, FILE_BEGIN) && SetEndOfFile(target.file)
               ? Result{}
               : failed("SetEndOfFile");
}

Result sync(Target& target) {
    return FlushFileBuffers(target.file) ? Result{} : failed("FlushFileBuffers");
}

Result make_new_file(Target& target, const std::string& fresh, NewFilePtr& made) {
    NewFilePtr file(new NewFile);
    file->path = wide(target.folder_path + "\\" + fresh);
    // Made and marked in one step the interrupt waits for. Shared with
    // nobody but the interrupt, which may remove it: no scanner can open it,
    // so nothing holds it when it is put in place.
    InterruptsHeld held;
    file->file = CreateFileW(file->path.c_str(), GENERIC_WRITE | DELETE | WRITE_DAC | READ_CONTROL,
                             FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file->file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return win::failure_from(error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error,
                                 "CreateFileW");
    }
    mark_for_deletion(file->file, true);
    win::interrupt_removes(&file->path);
    made = std::move(file);
    return {};
}

Result carry_metadata(Target& target, NewFile& file) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(target.file, FileBasicInfo, &basic, sizeof basic)) {
        return failed("FileBasicInfo");
    }
    // What these calls cannot give a new file (compression, encryption, a
    // sparse file, other streams, another owner) stays with the old file:
    // written in place.
    constexpr DWORD kNotCarried = FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED |
                                  FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((basic.FileAttributes & kNotCarried) != 0 || has_other_streams(final_path(target))) {
        return Failure{Reason::unsupported, 0, "FileBasicInfo"};
    }
    if (!same_owner(target.file, file.file)) {
        return Failure{Reason::permission, 0, "OWNER_SECURITY_INFORMATION"};
    }
    if (!copy_access_rules(target.file, file.file)) {
        return Failure{Reason::permission, 0, "SetSecurityInfo"};
    }
    // Its attributes (hidden, system, ...) and its creation time; the other
    // times are the new file's own.
    FILE_BASIC_INFO kept{};
    kept.CreationTime = basic.CreationTime;
    kept.FileAttributes = basic.FileAttributes;
    return SetFileInformationByHandle(file.file, FileBasicInfo, &kept, sizeof kept)
               ? Result{}
               : Failure{Reason::permission, 0, "FileBasicInfo"};
}

Result write_new(NewFile& file, std::span<const std::uint8_t> data) {
    return write_all(file.file, data);
}

Result sync_new(NewFile& file) {
    return FlushFileBuffers(file.file) ? Result{} : failed("FlushFileBuffers");
}

Result name_new_file(Target& /*target*/, NewFile& /*file*/, const std::string& /*fresh*/) {
    return {};  // it has its name from the start, and the mark to vanish
}

Result move_over(Target& target, NewFile& file) {
    const std::wstring to = final_path(target);
    // Our own handle on the target would stand in the way; closed, a file
    // this run created vanishes and leaves the name free.
    CloseHandle(target.file);
    target.file = INVALID_HANDLE_VALUE;
    // The mark comes off only for the move, and back at once if it does not
    // happen; no other program can open the file meanwhile. One that holds
    // the target for a moment delays the move.
    const ULONGLONG deadline = GetTickCount64() + win::kPatienceMs;
    for (;;) {
        mark_for_deletion(file.file, false);
        if (move_by_handle(file.file, to)) {
            win::interrupt_removes(nullptr);
            return {};
        }
        const DWORD error = GetLastError();
        mark_for_deletion(file.file, true);
        if ((win::held_by_another(error) || error == ERROR_ACCESS_DENIED) &&
            GetTickCount64() < deadline) {
            Sleep(1);
            continue;
        }
        return win::failure_from(error, "FileRenameInfo");
    }
}

void drop_new_file(Target& /*target*/, NewFile& file, std::string& /*leftover*/) {
    win::interrupt_removes(nullptr);
    CloseHandle(file.file);  // marked: it vanishes as it closes
    file.file = INVALID_HANDLE_VALUE;
}

Result reopen(Target& target) {
    if (target.file != INVALID_HANDLE_VALUE) {
        return {};
    }
    const HANDLE file = CreateFileW(final_path(target).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (file != INVALID_HANDLE_VALUE && identify(file, info) && is_target(target, info)) {
        target.file = file;
        return {};
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return Failure{Reason::moved, 0, "CreateFileW"};  // the path names another file, or none
}

Result sync_folder(Target& /*target*/) {
    return {};  // NTFS logs the move with the file's own flush, made after it
}

void remove_created(Target& target, std::string& /*leftover*/) {
    // Marked again, it goes as its handle closes, whatever else is at its name.
    if (target.file != INVALID_HANDLE_VALUE && !target.marked) {
        target.marked = mark_for_deletion(target.file, true);
    }
}

}  // namespace vork::platform
