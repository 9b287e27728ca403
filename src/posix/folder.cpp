// Where the target lies: the folder that holds it and its name there, as
// the folder spells it.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "internal.h"

namespace vork::platform::posix {

namespace sys = calls;

namespace {

// Splits `path` into the folder it names its file in and that file's name.
void split(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Makes the folder `folder_path`, open at `folder`, the target's, with the target's `name` there.
void take_folder(Target& target, std::string folder_path, std::string name, int folder,
                 bool readable) {
    target.folder = folder;
    target.folder_readable = readable;
    target.folder_path = std::move(folder_path);
    target.name = std::move(name);
}

// Opens `folder_path` for reading, or else only as a path (a folder one may
// search and write but not list); -1 when it cannot be opened.
int open_folder(const std::string& folder_path, bool& readable) {
    int folder = sys::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    readable = folder >= 0;
    if (folder < 0 && errno == EACCES) {
        folder = sys::open(folder_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    return folder;
}

}  // namespace

void open_path_folder(Target& target) {
    std::string folder_path;
    std::string name;
    split(target.path, folder_path, name);
    bool readable = false;
    const int folder = name.empty() ? -1 : open_folder(folder_path, readable);
    if (folder >= 0) {
        take_folder(target, std::move(folder_path), std::move(name), folder, readable);
    }
}

// The path's folder, opened before the target, holds it unless the path's
// last name is a link; then it is the folder the kernel says the file lies
// in. A name that holds another file by now, or none, is still the
// target's: the image goes there, as the last writer's. Left unknown when
// the kernel does not say (no /proc, a path too long), or the file has no name.
void find_in_folder(Target& target, const struct stat& file) {
    if (target.folder >= 0) {
        struct stat named {};
        const bool found =
            sys::fstatat(target.folder, target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
        if ((found && !S_ISLNK(named.st_mode)) || (!found && errno == ENOENT)) {
            return;
        }
        ::close(target.folder);
        target.folder = -1;
    }
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", target.fd);
    char where[PATH_MAX];
    const ssize_t n = sys::readlink(link, where, sizeof where);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof where || where[0] != '/') {
        return;
    }
    std::string folder_path;
    std::string name;
    split(std::string(where, static_cast<std::size_t>(n)), folder_path, name);
    bool readable = false;
    const int folder = open_folder(folder_path, readable);
    struct stat named {};
    if (folder >= 0 && sys::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(named, file)) {
        take_folder(target, std::move(folder_path), std::move(name), folder, readable);
    } else if (folder >= 0) {
        ::close(folder);
    }
}

// The name under which the target's folder keeps the target: on a folder
// that ignores case (FAT, exFAT), the spelling it already has, which a
// rename to the name as typed would change. Such a folder finds the name in
// another case too, and does not list it as typed.
std::string kept_name(const Target& target) {
    std::string swapped = target.name;
    for (char& c : swapped) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    // Only where both spellings lead to a file, and the name as typed does
    // even though the folder does not list it: in a folder that minds case,
    // the other spelling is another file, never the target's. (FUSE gives
    // each spelling its own inode: the two cannot be compared.)
    struct stat found {};
    if (swapped == target.name ||
        sys::fstatat(target.folder, target.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0 ||
        sys::fstatat(target.folder, swapped.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        return target.name;
    }
    const int listing = sys::openat(target.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = listing >= 0 ? fdopendir(listing) : nullptr;
    if (folder == nullptr) {
        if (listing >= 0) {
            ::close(listing);
        }
        return target.name;
    }
    std::string kept;
    while (const dirent* entry = readdir(folder)) {
        if (target.name == entry->d_name) {
            kept = target.name;
            break;
        }
        if (kept.empty() && strcasecmp(entry->d_name, target.name.c_str()) == 0) {
            kept = entry->d_name;
        }
    }
    closedir(folder);
    if (kept.empty() || kept == target.name ||
        sys::fstatat(target.folder, target.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        return target.name;
    }
    return kept;
}

bool is_the_report(const struct stat& file) {
    struct stat report {};
    return !S_ISCHR(file.st_mode) && sys::fstat(STDOUT_FILENO, &report) == 0 &&
           same_file(report, file);
}

}  // namespace vork::platform::posix

namespace vork::platform {

namespace sys = posix::calls;
using posix::failed;
using posix::same_file;

namespace {

FileState state_from(const struct stat& info) {
    return {{info.st_dev, info.st_ino},
            static_cast<std::uint64_t>(info.st_size),
            {info.st_ctim.tv_sec, info.st_ctim.tv_nsec}};
}

}  // namespace

bool same_file(const char* a, const char* b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a, &first) == 0 && ::stat(b, &second) == 0 && posix::same_file(first, second);
}

Result state_of(Target& target, FileState& state) {
    struct stat info {};
    if (posix::calls::fstat(target.fd, &info) != 0) {
        return posix::failed("fstat");
    }
    state = state_from(info);
    return {};
}

Result state_at_name(Target& target, FileState& state) {
    struct stat info {};
    const bool in_folder = target.folder >= 0;
    if (posix::calls::fstatat(in_folder ? target.folder : AT_FDCWD,
                              in_folder ? target.name.c_str() : target.path.c_str(), &info,
                              in_folder ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? Failure{Reason::moved, 0, "fstatat"}
                                                   : posix::failed("fstatat");
    }
    state = state_from(info);
    return {};
}

Result folder_at_path(Target& target) {
    if (target.folder < 0) {
        return {};
    }
    struct stat held {};
    struct stat reached {};
    if (sys::fstat(target.folder, &held) != 0) {
        return failed("fstat");
    }
    if (sys::fstatat(AT_FDCWD, target.folder_path.c_str(), &reached, 0) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? Failure{Reason::moved, 0, "folder"}
                                                   : failed("fstatat");
    }
    return same_file(held, reached) ? Result{} : Failure{Reason::moved, 0, "folder"};
}

Result still_at_name(Target& target) {
    struct stat opened {};
    struct stat named {};
    if (sys::fstat(target.fd, &opened) != 0) {
        return failed("fstat");
    }
    if (target.folder < 0) {
        // No folder to ask: the path itself, looked up afresh, must lead to
        // it (a file with no name, /dev/fd/3, through the caller's descriptor).
        if (sys::fstatat(AT_FDCWD, target.path.c_str(), &named, 0) != 0) {
            return errno == ENOENT || errno == ENOTDIR ? Failure{Reason::moved, 0, "fstatat"}
                                                       : failed("fstatat");
        }
        return same_file(named, opened) ? Result{} : Failure{Reason::moved, 0, "fstatat"};
    }
    if (sys::fstatat(target.folder, target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? Failure{Reason::moved, 0, "fstatat"}
                                                   : failed("fstatat");
    }
    if (!same_file(named, opened)) {
        return Failure{Reason::moved, 0, "fstatat"};
    }
    return folder_at_path(target);
}

Result sync_folder(Target& target) {
    int folder = target.folder;
    if (!target.folder_readable) {
        // Only a folder opened for reading can be synced.
        folder = sys::openat(target.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) {
            return errno == EACCES ? Failure{Reason::unsupported, EACCES, "openat"}
                                   : failed("openat");
        }
    }
    Result failure;
    if (sys::fsync(folder) != 0) {
        // EINVAL: a file system that syncs no folder.
        failure = errno == EINVAL ? Failure{Reason::unsupported, EINVAL, "fsync"} : failed("fsync");
    }
    if (folder != target.folder) {
        ::close(folder);
    }
    return failure;
}

std::string_view base_name(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace vork::platform
