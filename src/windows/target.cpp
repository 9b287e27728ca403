// The target's calls on Windows: the target opened as the shell's `>` opens
// it; a new file that no other program can open, given what the old file
// had and moved over it by its own handle.
#include <windows.h>

#include <string>

#include "internal.h"

namespace vork::platform {

using win::failed;
using win::final_path;
using win::is_target;
using win::is_the_report;
using win::move_by_handle;
using win::open_for_writing;
using win::renames_over_open_files;
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

// Where the lock byte lies in the target.
constexpr DWORD kLockOffset = DWORD{1} << 30;

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

Result open_target(const char* path, TargetPtr& opened, TargetFacts& facts, bool readable) {
    const DWORD access = readable ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    TargetPtr target(new Target);
    target->path = path;
    const std::wstring name = wide(path);
    HANDLE file = INVALID_HANDLE_VALUE;
    // A file that vanishes between the two opens is made by the first again:
    // only that one makes files, so that whatever this run makes is marked.
    for (int attempt = 0; attempt < 100; ++attempt) {
        DWORD not_made = 0;
        {
            // Links are followed by the system; devices (NUL, CON, COM1) open
            // as such. Only a file this run made where nothing was is its
            // own: marked to vanish, in the same step, unless the image gets
            // there. Nobody else may write it meanwhile: another run waits
            // for this one, instead of putting its image in a file that may
            // yet vanish.
            InterruptsHeld held;
            file = CreateFileW(name.c_str(), access | DELETE | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                target->created = target->marked = mark_for_deletion(file, true);  // not a device
                break;
            }
            not_made = GetLastError();
            // A folder that lets a file be made but not removed (a drop box)
            // refuses the delete access: made there without the mark, as
            // nothing can take the file away again.
            if (not_made == ERROR_ACCESS_DENIED &&
                GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES &&
                GetLastError() == ERROR_FILE_NOT_FOUND) {
                file = CreateFileW(name.c_str(), access | READ_CONTROL,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
                if (file != INVALID_HANDLE_VALUE) {
                    target->created = GetFileType(file) == FILE_TYPE_DISK;
                    break;
                }
                not_made = GetLastError();
            }
        }
        // A program that holds the file for a moment (a scanner, another run
        // that made it) is waited for. A file to be rewritten from its
        // contents (a disk image) is shared with readers only: a program
        // that has it open for writing (an emulator with the disk loaded)
        // could later write its own copy of the disk back over vork's.
        const DWORD sharing = readable ? FILE_SHARE_READ | FILE_SHARE_DELETE : kShareAll;
        with_patience([&] {
            file = CreateFileW(name.c_str(), access | READ_CONTROL, sharing, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            return file != INVALID_HANDLE_VALUE;
        });
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) {
            break;
        }
        if (not_made != ERROR_FILE_EXISTS && not_made != ERROR_ALREADY_EXISTS) {
            SetLastError(not_made);  // why nothing could be made there
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return readable && GetLastError() == ERROR_SHARING_VIOLATION && open_for_writing(name)
                   ? Failure{Reason::open_elsewhere, ERROR_SHARING_VIOLATION, "CreateFileW"}
                   : win::failed_to_open(name);
    }
    target->file = file;
    if (!target->created && is_the_report(file)) {
        return Failure{Reason::report_file, 0, "CreateFileW"};
    }
    // A volume or a disk reached by its device path (\\.\E:, \\.\PhysicalDrive1)
    // is a device, written through as on Linux, never cut nor replaced; a
    // file below it (\\.\C:\GAME.BIN) is a file.
    const bool device_path = (name.starts_with(L"\\\\.\\") || name.starts_with(L"//./")) &&
                             name.find_first_of(L"\\/", 4) == std::wstring::npos;
    facts.regular = GetFileType(file) == FILE_TYPE_DISK && !device_path;
    facts.created = target->created;
    // The lock lives on this handle, which move_over() keeps open through
    // the move where the volume can rename over an open file; a file this
    // run made (marked to vanish, and empty) is written in place.
    facts.lock_held_through_move = !target->created && renames_over_open_files(file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (facts.regular && GetFileInformationByHandle(file, &info) && win::identify(file, target->id)) {
        facts.other_names = info.nNumberOfLinks > 1;
        win::find_in_folder(*target, facts);
    }
    opened = std::move(target);
    return {};
}

Result lock(Target& target) {
    // Another run writing in place waits, so the file ends as one whole image;
    // a lock another program keeps is waited for a few seconds, not for ever.
    // A second lock by the same handle would wait on the first.
    if (target.locked) {
        return {};
    }
    // One byte far past any data, as SQLite keeps its lock bytes past any
    // real page: Windows enforces a lock on every other program's reads and
    // writes of its bytes, and a reader (an emulator, `vork --list`) must
    // never meet it. A .fd is 640 KB at most; 1 GiB leaves room for any
    // format to come.
    OVERLAPPED past_the_data{};
    past_the_data.Offset = kLockOffset;
    if (with_patience([&] {
            return LockFileEx(target.file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                              1, 0, &past_the_data) != 0;
        })) {
        target.locked = true;
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

Result read_at(Target& target, std::span<std::uint8_t> into, std::uint64_t offset,
               std::size_t& got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = into.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(into.size());
    DWORD n = 0;
    if (!ReadFile(target.file, into.data(), chunk, &n, &at)) {
        if (GetLastError() != ERROR_HANDLE_EOF) {
            return failed("ReadFile");
        }
        n = 0;
    }
    got = n;
    return {};
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
        // Another run's new file on its way out keeps its name, and refuses
        // access rather than saying it exists: another name is tried.
        const bool taken = error == ERROR_FILE_EXISTS ||
                           (error == ERROR_ACCESS_DENIED &&
                            GetFileAttributesW(file->path.c_str()) != INVALID_FILE_ATTRIBUTES);
        return win::failure_from(taken ? ERROR_ALREADY_EXISTS : error, "CreateFileW");
    }
    mark_for_deletion(file->file, true);
    win::interrupt_removes(&file->path);
    made = std::move(file);
    return {};
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

void let_go(Target& target) {
    if (target.file != INVALID_HANDLE_VALUE) {
        CloseHandle(target.file);  // a file this run made and marked vanishes with it
        target.file = INVALID_HANDLE_VALUE;
    }
    target.locked = false;
}

bool holds_lock(const Target& target) { return target.locked; }

Result move_over(Target& target, NewFile& file, bool patient) {
    const std::wstring to = final_path(target);
    if (target.locked) {
        // The lock goes with the old file's handle, kept open through the
        // move. Only a rename that replaces an open file (POSIX semantics:
        // Windows 10 on NTFS) gets past that handle; refused, the old file is
        // still open and locked for the write in place.
        mark_for_deletion(file.file, false);
        if (move_by_handle(file.file, to)) {
            win::interrupt_removes(nullptr);
            CloseHandle(target.file);
            target.file = INVALID_HANDLE_VALUE;
            target.locked = false;
            return {};
        }
        const DWORD error = GetLastError();
        mark_for_deletion(file.file, true);
        return Failure{Reason::in_use, static_cast<long>(error), "FileRenameInfo"};
    }
    // The mark comes off only for the move, and back at once if it does not
    // happen; no other program can open the file meanwhile. One that holds
    // the target for a moment delays the move, when patient.
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
            GetTickCount64() < deadline && patient) {
            Sleep(1);
            continue;
        }
        return win::failure_from(error, "FileRenameInfo");
    }
}

Result reopen(Target& target) {
    if (target.file != INVALID_HANDLE_VALUE) {
        return {};
    }
    // Another run may hold it for a moment, sharing it only with readers.
    HANDLE file = INVALID_HANDLE_VALUE;
    with_patience([&] {
        file = CreateFileW(final_path(target).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    if (file != INVALID_HANDLE_VALUE && is_target(target, file)) {
        target.file = file;
        return {};
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return Failure{Reason::moved, 0, "CreateFileW"};  // the path names another file
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? Failure{Reason::moved, 0, "CreateFileW"}  // or none
               : win::failure_from(error, "CreateFileW");
}

Result sync_folder(Target& /*target*/) {
    // A folder is flushed only through a handle opened with backup
    // semantics; the file's own flush, after the move, logs it on NTFS.
    return Failure{Reason::unsupported, ERROR_NOT_SUPPORTED, "FlushFileBuffers"};
}

void remove_created(Target& target, std::string& leftover) {
    // Marked again, it goes as its handle closes, whatever else is at its name;
    // a file the system will not mark (made in a drop box) is named as left.
    if (target.file != INVALID_HANDLE_VALUE && !target.marked) {
        target.marked = mark_for_deletion(target.file, true);
        if (!target.marked) {
            leftover = target.path;
        }
    }
}

}  // namespace vork::platform
