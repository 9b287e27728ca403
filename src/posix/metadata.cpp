// What a replacement must carry from the old file to the new one, so that
// replacing a file loses nothing a write in place would have kept.
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "internal.h"

namespace vork::platform::posix {

namespace sys = calls;

namespace {

// The names of the extended attributes of `fd`, each ending in a NUL, in `names`.
Result list_attributes(int fd, std::unique_ptr<char[]>& names, std::size_t& size) {
    size = 0;
    for (;;) {
        ssize_t wanted = sys::flistxattr(fd, nullptr, 0);
        if (wanted < 0) {
            return errno == ENOTSUP ? Result{} : failed("flistxattr");  // none on this file system
        }
        if (wanted == 0) {
            return {};
        }
        names.reset(new (std::nothrow) char[static_cast<std::size_t>(wanted)]);
        if (!names) {
            return Failure{Reason::no_memory, ENOMEM, "flistxattr"};
        }
        const ssize_t got = sys::flistxattr(fd, names.get(), static_cast<std::size_t>(wanted));
        if (got >= 0) {
            size = static_cast<std::size_t>(got);
            return {};
        }
        if (errno != ERANGE) {  // ERANGE: one was added meanwhile
            return failed("flistxattr");
        }
    }
}

// Whether `name` is among the NUL-ended `names`.
bool has_name(const char* names, std::size_t size, const char* name) {
    for (const char* at = names; at < names + size; at += std::strlen(at) + 1) {
        if (std::strcmp(at, name) == 0) {
            return true;
        }
    }
    return false;
}

// Gives `to` exactly the extended attributes of `from`, POSIX ACLs included:
// those a new file got from its folder (a default ACL) and the old one lacked
// go.
Result copy_attributes(int from, int to) {
    std::unique_ptr<char[]> old_names;
    std::unique_ptr<char[]> new_names;
    std::size_t old_size = 0;
    std::size_t new_size = 0;
    if (auto failure = list_attributes(from, old_names, old_size)) {
        return failure;
    }
    if (auto failure = list_attributes(to, new_names, new_size)) {
        return failure;
    }
    for (const char* name = new_names.get(); name < new_names.get() + new_size;
         name += std::strlen(name) + 1) {
        if (!has_name(old_names.get(), old_size, name) && sys::fremovexattr(to, name) != 0) {
            return failed("fremovexattr");
        }
    }
    for (const char* name = old_names.get(); name < old_names.get() + old_size;
         name += std::strlen(name) + 1) {
        const ssize_t length = sys::fgetxattr(from, name, nullptr, 0);
        if (length < 0) {
            return failed("fgetxattr");
        }
        const std::unique_ptr<char[]> value(
            new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
        if (!value) {
            return Failure{Reason::no_memory, ENOMEM, "fgetxattr"};
        }
        const ssize_t got =
            sys::fgetxattr(from, name, value.get(), static_cast<std::size_t>(length));
        if (got < 0) {
            return failed("fgetxattr");
        }
        if (sys::fsetxattr(to, name, value.get(), static_cast<std::size_t>(got), 0) != 0) {
            return failed("fsetxattr");
        }
    }
    return {};
}

// The file flags (chattr) that say how a file is to be kept, which a
// replacement must carry: no dump, no atime, synchronous, no copy on write,
// compression, secure deletion, undeletable, data journaling, no tail merging.
constexpr int kCarriedFlags = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_NOCOW_FL |
                              FS_COMPR_FL | FS_NOCOMP_FL | FS_SECRM_FL | FS_UNRM_FL |
                              FS_JOURNAL_DATA_FL | FS_NOTAIL_FL;

// Whether `error` says the file system (or an emulator between) has no such thing at all.
bool none_here(int error) {
    return error == ENOTTY || error == ENOTSUP || error == EINVAL || error == ENOSYS;
}

// Gives `to` the carried flags of `from`, and only those.
Result carry_flags(int from, int to) {
    int old_flags = 0;
    int new_flags = 0;
    if (sys::ioctl(from, FS_IOC_GETFLAGS, &old_flags) != 0) {
        return none_here(errno) ? Result{} : failed("FS_IOC_GETFLAGS");
    }
    if (sys::ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0) {
        return failed("FS_IOC_GETFLAGS");
    }
    int wanted = (new_flags & ~kCarriedFlags) | (old_flags & kCarriedFlags);
    if (wanted == new_flags) {
        return {};
    }
    if (sys::ioctl(to, FS_IOC_SETFLAGS, &wanted) != 0 ||
        sys::ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0) {
        return failed("FS_IOC_SETFLAGS");
    }
    // Some file systems take a flag without a word and drop it: read back.
    return (new_flags & kCarriedFlags) == (old_flags & kCarriedFlags)
               ? Result{}
               : Failure{Reason::unsupported, 0, "FS_IOC_SETFLAGS"};
}

// Gives `to` the project of `from` (xfs and ext4 count a folder's quota by it).
Result carry_project(int from, int to) {
    fsxattr old_attributes {};
    fsxattr new_attributes {};
    if (sys::ioctl(from, FS_IOC_FSGETXATTR, &old_attributes) != 0) {
        return none_here(errno) ? Result{} : failed("FS_IOC_FSGETXATTR");
    }
    if (sys::ioctl(to, FS_IOC_FSGETXATTR, &new_attributes) != 0) {
        return failed("FS_IOC_FSGETXATTR");
    }
    if (new_attributes.fsx_projid == old_attributes.fsx_projid) {
        return {};
    }
    new_attributes.fsx_projid = old_attributes.fsx_projid;
    return sys::ioctl(to, FS_IOC_FSSETXATTR, &new_attributes) == 0 ? Result{}
                                                                    : failed("FS_IOC_FSSETXATTR");
}

}  // namespace

Failure failed(const char* step) { return failure_from_errno(errno, step); }

Result carry_metadata(int from, int to) {
    struct stat old {};
    struct stat made {};
    if (sys::fstat(from, &old) != 0 || sys::fstat(to, &made) != 0) {
        return failed("fstat");
    }
    // The new file may have taken the folder's group (a set-group-ID folder);
    // giving it away, or to a group one is not in, takes root.
    const bool chowned = old.st_uid != made.st_uid || old.st_gid != made.st_gid;
    if (chowned && sys::fchown(to, old.st_uid, old.st_gid) != 0) {
        return failed("fchown");
    }
    if (auto failure = copy_attributes(from, to)) {
        return failure;
    }
    if (auto failure = carry_flags(from, to)) {
        return failure;
    }
    if (auto failure = carry_project(from, to)) {
        return failure;
    }
    // Last, since a change of owner clears the set-user-ID and set-group-ID
    // bits; and only when it differs, as some file systems (FUSE FAT) refuse
    // any change of mode.
    if ((chowned || (old.st_mode & 07777) != (made.st_mode & 07777)) &&
        sys::fchmod(to, old.st_mode & 07777) != 0) {
        return failed("fchmod");
    }
    return {};
}

bool folder_lets_go(int folder) {
    constexpr auto kKeepsNames = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    struct statx info {};
    if (sys::statx_of(folder, &info) == 0 && (info.stx_attributes_mask & kKeepsNames) == kKeepsNames) {
        return (info.stx_attributes & kKeepsNames) == 0;
    }
    int flags = 0;
    if (sys::ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0) {
        return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
    }
    // A file system without flags has no such folders; a folder whose flags
    // cannot be read (opened only as a path) may be one.
    return none_here(errno);
}

}  // namespace vork::platform::posix
