#include "failure.h"

#include <cerrno>

namespace vork {

namespace {

Failure reason_of(int error) {
    switch (error) {
        case 0:
            return {Reason::none, 0};
        case EACCES:
        case EPERM:
            return {Reason::permission, error};
        case ENOENT:
            return {Reason::not_found, error};
        case ENOTDIR:
            return {Reason::not_a_folder, error};
        case EISDIR:
            return {Reason::is_a_folder, error};
        case ELOOP:
            return {Reason::link_loop, error};
        case ENAMETOOLONG:
            return {Reason::name_too_long, error};
        case ENOSPC:
            return {Reason::disk_full, error};
#ifdef EDQUOT
        case EDQUOT:
            return {Reason::quota, error};
#endif
        case EROFS:
            return {Reason::read_only, error};
        case EFBIG:
            return {Reason::size_limit, error};
        case EMFILE:
        case ENFILE:
            return {Reason::too_many_files, error};
        case EXDEV:
            return {Reason::other_device, error};
        case EMLINK:
            return {Reason::too_many_links, error};
        case EEXIST:
            return {Reason::exists, error};
        case ENOSYS:
        case ENOTTY:
#if defined(EOPNOTSUPP) && EOPNOTSUPP != ENOTSUP
        case EOPNOTSUPP:
#endif
        case ENOTSUP:
            return {Reason::unsupported, error};
        case EIO:
            return {Reason::io_error, error};
        case EAGAIN:
            return {Reason::locked, error};
        case EBUSY:
        case ETXTBSY:
            return {Reason::in_use, error};
        case EPIPE:
            return {Reason::no_reader, error};
        case ENXIO:
        case ENODEV:
            return {Reason::no_device, error};
        case EBADF:
            return {Reason::closed, error};
        case ENOMEM:
            return {Reason::no_memory, error};
        default:
            return {Reason::other, error};
    }
}

}  // namespace

Failure failure_from_errno(int error, const char* step) {
    Failure failure = reason_of(error);
    failure.step = step;
    return failure;
}

}  // namespace vork
