// The target's calls on POSIX systems: the target opened as the shell's `>`
// opens it, found in its folder, and from then on reached only through
// those two descriptors, whatever happens meanwhile to the names on the way.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "internal.h"

namespace vork::platform {

namespace sys = posix::calls;
using posix::failed;
using posix::same_file;
using posix::find_in_folder;
using posix::kept_name;
using posix::is_the_report;
using posix::lease_breaking;
using posix::patiently;

namespace {

constexpr int kWriteFlags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Where the target is opened and looked up by name: in its folder when
// that is known, else by its path.
int where(const Target& target) { return target.folder >= 0 ? target.folder : AT_FDCWD; }
const char* name_in(const Target& target) {
    return target.folder >= 0 ? target.name.c_str() : target.path.c_str();
}

// Takes the file this run's open just made as the target, recorded for the
// cleanup as it comes into being (the caller holds the signals).
Result take_created(Target& target, int fd, struct stat& info) {
    target.fd = fd;
    if (sys::fstat(fd, &info) != 0) {
        const Failure failure = failed("fstat");
        // Nothing to tell it from another file by: only an empty file goes.
        struct stat named {};
        if (sys::fstatat(where(target), name_in(target), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(named.st_mode) && named.st_size == 0) {
            sys::unlinkat(where(target), name_in(target), 0);
        }
        return failure;
    }
    find_in_folder(target, info);
    if (target.folder >= 0) {
        posix::record_created(target.folder, target.name.c_str(), info);
    } else {
        posix::record_created(-1, target.path.c_str(), info);
    }
    return {};
}

// Opens the existing `path` for writing as `>` does, but never waits on the
// break of another program's lease beyond the bound; a FIFO that nobody
// reads yet is waited for, as `>` waits for it.
int open_existing(const Target& target, int flags) {
    return patiently(
        [&] {
            const int fd = sys::openat(where(target), name_in(target), flags | O_CREAT, 0666);
            return fd < 0 && errno == ENXIO
                       ? sys::openat(where(target), name_in(target),
                                     (flags | O_CREAT) & ~O_NONBLOCK, 0666)
                       : fd;
        },
        lease_breaking);
}

// Writes all of `data` to `fd` at `offset`, or from where it stands with
// kAppend, resuming after short writes.
Result write_all(int fd, std::span<const std::uint8_t> data, std::uint64_t offset) {
    while (!data.empty()) {
        const ssize_t n = offset == kAppend
                              ? sys::write(fd, data.data(), data.size())
                              : sys::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
        if (n < 0) {
            return failed(offset == kAppend ? "write" : "pwrite");
        }
        if (n == 0) {
            return Failure{Reason::io_error, EIO, "write"};
        }
        data = data.subspan(static_cast<std::size_t>(n));
        offset = offset == kAppend ? offset : offset + static_cast<std::uint64_t>(n);
    }
    return {};
}

}  // namespace

Result open_target(const char* path, TargetPtr& opened, TargetFacts& facts, bool readable) {
    const int flags = readable ? (kWriteFlags & ~O_WRONLY) | O_RDWR : kWriteFlags;
    TargetPtr target(new Target);
    target->path = path;
    posix::open_path_folder(*target);
    struct stat info {};
    // Only a file this run's open made is this run's to remove: made by the
    // exclusive open, or through a link that named nothing, or by the
    // second open where the path's file vanished after the look.
    bool created = false;
    for (int attempt = 0; attempt < 3 && target->fd < 0; ++attempt) {
        InterruptsHeld held;
        int fd =
            sys::openat(where(*target), name_in(*target), flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            if (auto failure = take_created(*target, fd, info)) {
                return failure;
            }
            created = true;
            break;
        }
        if (errno == EMFILE && target->folder >= 0) {
            // No descriptor left for the target: the folder's is given up
            // for it, and the target opened by its path, its folder unknown.
            ::close(target->folder);
            target->folder = -1;
            --attempt;
            continue;
        }
        if (errno != EEXIST) {
            return failed("open");
        }
        struct stat before {};
        if (sys::fstatat(where(*target), name_in(*target), &before, 0) == 0) {
            // Still with O_CREAT, as the shell's `>`, so that the kernel's
            // guards for shared folders apply (another user's file or FIFO
            // in /tmp); the kernel resolves links, with its own protections
            // and loop limit.
            fd = open_existing(*target, flags);
            if (fd < 0) {
                return failed("open");
            }
            target->fd = fd;
            if (sys::fstat(fd, &info) != 0) {
                return failed("fstat");
            }
            // Another file than the one looked at (a freed inode is soon
            // given again, its change time is not): the looked-at one
            // vanished, and this open may have made the empty one.
            const bool another = !same_file(before, info) ||
                                 before.st_ctim.tv_sec != info.st_ctim.tv_sec ||
                                 before.st_ctim.tv_nsec != info.st_ctim.tv_nsec;
            if (another && S_ISREG(info.st_mode) && info.st_size == 0) {
                target->fd = -1;
                if (auto failure = take_created(*target, fd, info)) {
                    return failure;
                }
                created = true;
            }
            break;
        }
        if (errno != ENOENT) {
            break;  // not to be reached: the open below says why
        }
        if (sys::fstatat(where(*target), name_in(*target), &before, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // gone since: made afresh
        }
        fd = sys::openat(where(*target), name_in(*target), flags | O_CREAT, 0666);
        if (fd < 0) {
            return failed("open");
        }
        if (auto failure = take_created(*target, fd, info)) {
            return failure;
        }
        created = true;
    }
    if (target->fd < 0) {
        target->fd = open_existing(*target, flags);
        if (target->fd < 0) {
            return failed("open");
        }
        if (sys::fstat(target->fd, &info) != 0) {
            return failed("fstat");
        }
    }
    if (!created) {
        if (is_the_report(info)) {
            return Failure{Reason::report_file, 0, "open"};
        }
        if (S_ISREG(info.st_mode)) {
            find_in_folder(*target, info);
        } else {
            // Writing to a pipe or a device waits, as it would have.
            sys::set_status_flags(target->fd, 0);
        }
    }
    target->device = info.st_dev;
    target->inode = info.st_ino;
    facts.regular = S_ISREG(info.st_mode);
    facts.created = created;
    facts.other_names = info.st_nlink > 1;
    facts.folder_lets_go = target->folder >= 0 && posix::folder_lets_go(target->folder);
    facts.lock_held_through_move = true;  // the descriptor, and its lock, outlive the rename
    opened = std::move(target);
    return {};
}

Result lock(Target& target) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (patiently([&] { return sys::lock(target.fd, &whole); },
                  [](int error) { return error == EAGAIN || error == EACCES; }) == 0) {
        target.locked = true;
        return {};
    }
    if (errno == ENOLCK || errno == EINVAL || errno == ENOTSUP) {
        return {};  // no locks on this file system, as before there were any
    }
    return failed("lock");
}

Result reserve(Target& target, std::uint64_t size) {
    rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        size > limit.rlim_cur) {
        return Failure{Reason::size_limit, EFBIG, "file-size limit"};
    }
    if (sys::fallocate(target.fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0 ||
        errno == EOPNOTSUPP || errno == ENOSYS) {
        return {};  // where the file system cannot reserve, nothing better can be done
    }
    return failed("fallocate");
}

Result read_at(Target& target, std::span<std::uint8_t> into, std::uint64_t offset,
               std::size_t& got) {
    const ssize_t n = sys::pread(target.fd, into.data(), into.size(), static_cast<off_t>(offset));
    if (n < 0) {
        return failed("pread");
    }
    got = static_cast<std::size_t>(n);
    return {};
}

Result write_at(Target& target, std::span<const std::uint8_t> data, std::uint64_t offset) {
    posix::note_created_written();
    return write_all(target.fd, data, offset);
}

Result size_of(Target& target, std::uint64_t& size) {
    struct stat info {};
    if (sys::fstat(target.fd, &info) != 0) {
        return failed("fstat");
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return {};
}

Result cut(Target& target, std::uint64_t size) {
    return sys::ftruncate(target.fd, static_cast<off_t>(size)) == 0 ? Result{} : failed("ftruncate");
}

Result sync(Target& target) { return sys::fsync(target.fd) == 0 ? Result{} : failed("fsync"); }

Result make_new_file(Target& target, const std::string& fresh, NewFilePtr& made) {
    NewFilePtr file(new NewFile);
    // Unnamed where the file system has such files: until it gets its name,
    // whole and synced, nothing is left however the run ends.
    file->fd = sys::openat(target.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (file->fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        InterruptsHeld held;
        file->fd = sys::openat(target.folder, fresh.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file->fd >= 0) {
            file->name = fresh;
            posix::record_pending(target.folder, file->name.c_str());
            file->recorded = true;
        }
    }
    if (file->fd < 0) {
        return failed("openat");
    }
    made = std::move(file);
    return {};
}

Result carry_metadata(Target& target, NewFile& file) {
    return posix::carry_metadata(target.fd, file.fd);
}

Result write_new(NewFile& file, std::span<const std::uint8_t> data) {
    return write_all(file.fd, data, kAppend);
}

Result sync_new(NewFile& file) { return sys::fsync(file.fd) == 0 ? Result{} : failed("fsync"); }

Result name_new_file(Target& target, NewFile& file, const std::string& fresh) {
    // A folder made append-only meanwhile would keep any name given in it.
    if (!posix::folder_lets_go(target.folder)) {
        return Failure{Reason::permission, EPERM, "folder keeps names"};
    }
    // Found now, so that nothing but the move itself comes after the
    // policy's last look at the name.
    target.over = kept_name(target);
    if (!file.name.empty()) {
        return {};
    }
    // Through /proc, which any user may do; else by the descriptor itself,
    // which older kernels allow only to root.
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", file.fd);
    if (sys::linkat(AT_FDCWD, proc, target.folder, fresh.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        (errno != ENOENT ||
         sys::linkat(file.fd, "", target.folder, fresh.c_str(), AT_EMPTY_PATH) != 0)) {
        return failed("linkat");
    }
    file.name = fresh;
    return {};
}

void let_go(Target& target) {
    if (target.fd >= 0) {
        ::close(target.fd);
        target.fd = -1;
    }
    target.locked = false;
}

bool holds_lock(const Target& target) { return target.locked; }

Result move_over(Target& target, NewFile& file, bool /*patient*/) {
    const std::string& name = target.over.empty() ? target.name : target.over;
    if (sys::renameat(target.folder, file.name.c_str(), target.folder, name.c_str()) != 0) {
        // Still locked, and still open for the write in place that may follow.
        return failed("renameat");
    }
    if (target.fd >= 0) {
        ::close(target.fd);
        target.fd = -1;
    }
    if (file.recorded) {
        posix::forget_pending();
        file.recorded = false;
    }
    file.name.clear();
    return {};
}

void drop_new_file(Target& target, NewFile& file, std::string& leftover) {
    if (file.name.empty()) {
        return;  // unnamed: it goes as it closes
    }
    if (sys::unlinkat(target.folder, file.name.c_str(), 0) != 0 && errno != ENOENT) {
        leftover = target.folder_path + "/" + file.name;
    }
    if (file.recorded) {
        posix::forget_pending();
        file.recorded = false;
    }
    file.name.clear();
}

Result reopen(Target& target) {
    if (target.fd >= 0) {
        return {};
    }
    // A lease taken as the target was closed is waited for as at the first open.
    const int fd = patiently(
        [&] { return sys::openat(target.folder, target.name.c_str(), kWriteFlags | O_NOFOLLOW); },
        lease_breaking);
    if (fd < 0) {
        // A link, or nothing, holds the name now.
        return errno == ENOENT || errno == ELOOP || errno == ENOTDIR
                   ? Failure{Reason::moved, 0, "openat"}
                   : failed("openat");
    }
    struct stat info {};
    if (sys::fstat(fd, &info) != 0 || info.st_dev != target.device || info.st_ino != target.inode) {
        ::close(fd);
        return Failure{Reason::moved, 0, "fstat"};
    }
    target.fd = fd;
    return {};
}

}  // namespace vork::platform
