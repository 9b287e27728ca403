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

namespace {

// The names of the extended attributes of `fd`, each ending in a NUL, in
// `names`; false when they cannot be listed.
bool list_attributes(int fd, std::unique_ptr<char[]>& names, std::size_t& size) {
    size = 0;
    for (;;) {
        ssize_t wanted = flistxattr(fd, nullptr, 0);
        if (wanted < 0) {
            return errno == ENOTSUP;  // a file system without any
        }
        if (wanted == 0) {
            return true;
        }
        names.reset(new (std::nothrow) char[static_cast<std::size_t>(wanted)]);
        if (!names) {
            return false;
        }
        const ssize_t got = flistxattr(fd, names.get(), static_cast<std::size_t>(wanted));
        if (got >= 0) {
            size = static_cast<std::size_t>(got);
            return true;
        }
        if (errno != ERANGE) {  // ERANGE: one was added meanwhile
            return false;
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
// go; false when any cannot be removed, read or set.
bool copy_attributes(int from, int to) {
    std::unique_ptr<char[]> old_names;
    std::unique_ptr<char[]> new_names;
    std::size_t old_size = 0;
    std::size_t new_size = 0;
    if (!list_attributes(from, old_names, old_size) || !list_attributes(to, new_names, new_size)) {
        return false;
    }
    for (const char* name = new_names.get(); name < new_names.get() + new_size;
         name += std::strlen(name) + 1) {
        if (!has_name(old_names.get(), old_size, name) && fremovexattr(to, name) != 0) {
            return false;
        }
    }
    for (const char* name = old_names.get(); name < old_names.get() + old_size;
         name += std::strlen(name) + 1) {
        const ssize_t length = fgetxattr(from, name, nullptr, 0);
        if (length < 0) {
            return false;
        }
        const std::unique_ptr<char[]> value(
            new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
        if (!value) {
            return false;
        }
        const ssize_t got = fgetxattr(from, name, value.get(), static_cast<std::size_t>(length));
        if (got < 0 || fsetxattr(to, name, value.get(), static_cast<std::size_t>(got), 0) != 0) {
            return false;
        }
    }
    return true;
}

// The file flags (chattr) that say how a file is to be kept, which a
// replacement must carry: no dump, no atime, synchronous, no copy on write,
// compression, secure deletion, undeletable, data journaling, no tail merging.
constexpr int kCarriedFlags = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_NOCOW_FL |
                              FS_COMPR_FL | FS_NOCOMP_FL | FS_SECRM_FL | FS_UNRM_FL |
                              FS_JOURNAL_DATA_FL | FS_NOTAIL_FL;

// Gives `to` the carried flags of `from`, and only those; false when the
// file system will not take them.
bool carry_flags(int from, int to) {
    int old_flags = 0;
    int new_flags = 0;
    if (ioctl(from, FS_IOC_GETFLAGS, &old_flags) != 0) {
        return errno == ENOTTY || errno == ENOTSUP || errno == EINVAL;  // no flags here
    }
    if (ioctl(to, FS_IOC_GETFLAGS, &new_flags) != 0) {
        return false;
    }
    int wanted = (new_flags & ~kCarriedFlags) | (old_flags & kCarriedFlags);
    if (wanted == new_flags) {
        return true;
    }
    // Some file systems take a flag without a word and drop it: read back.
    return ioctl(to, FS_IOC_SETFLAGS, &wanted) == 0 &&
           ioctl(to, FS_IOC_GETFLAGS, &new_flags) == 0 &&
           (new_flags & kCarriedFlags) == (old_flags & kCarriedFlags);
}

}  // namespace

Step carry_metadata(int from, int to) {
    struct stat old {};
    struct stat made {};
    if (fstat(from, &old) != 0 || fstat(to, &made) != 0) {
        fail(errno);
        return Step::failed;
    }
    // The new file may have taken the folder's group (a set-group-ID folder);
    // giving it away, or to a group one is not in, takes root.
    if ((old.st_uid != made.st_uid || old.st_gid != made.st_gid) &&
        fchown(to, old.st_uid, old.st_gid) != 0) {
        return Step::refused;
    }
    if (!copy_attributes(from, to) || !carry_flags(from, to)) {
        return Step::refused;
    }
    // Last, since a change of owner clears the set-user-ID and set-group-ID bits.
    return fchmod(to, old.st_mode & 07777) == 0 ? Step::done : Step::refused;
}

bool folder_lets_go(int folder) {
    int flags = 0;
    return folder < 0 || ioctl(folder, FS_IOC_GETFLAGS, &flags) != 0 ||
           (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
}

}  // namespace vork::platform::posix
