// The platform interface on POSIX systems (Linux first): the command line,
// the console and the source. The target has a file of its own.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "internal.h"

namespace vork::platform {

namespace {

// Puts a placeholder on each closed standard descriptor: the root folder,
// read only, on which reads and writes fail as they would have on the closed
// descriptor, and which no open for writing accepts, so that a target named
// /dev/stderr under `2>&-` is refused as the shell refuses it. Otherwise the
// next file opened would take the number and the report would land in the target.
void hold_standard_descriptors() {
    // One look at all three: a closed one answers POLLNVAL.
    pollfd standard[] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}};
    if (poll(standard, 3, 0) <= 0) {
        return;
    }
    for (const pollfd& descriptor : standard) {
        if ((descriptor.revents & POLLNVAL) == 0) {
            continue;
        }
        int held = open("/", O_RDONLY | O_DIRECTORY);
        if (held < 0) {
            held = open("/dev/null", descriptor.fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        }
        if (held >= 0 && held != descriptor.fd) {
            dup2(held, descriptor.fd);
            ::close(held);
        }
    }
}

}  // namespace

const char* const* utf8_arguments(int& /*argc*/, char* argv[]) { return argv; }

void console_begin() {
    hold_standard_descriptors();
    // A file-size limit, or a reader of the report or of a piped target that
    // went away, then makes the write fail (EFBIG, EPIPE), which is reported
    // and cleaned up, instead of ending the process with no word.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

bool is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

void write_text(std::FILE* out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

namespace {

// Opens `path` for reading with `flags` besides, refusing a folder; `info`
// is what the handle's fstat() found (zero when it failed).
Result open_reading(const char* path, int flags, int& fd, struct stat& info) {
    fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | flags);
    if (fd < 0) {
        return failure_from_errno(errno, "open");
    }
    info = {};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        return failure_from_errno(EISDIR, "open");
    }
    return {};
}

}  // namespace

Result open_for_reading(const char* path, Handle& file) {
    int fd = -1;
    struct stat info {};
    if (auto failure = open_reading(path, 0, fd, info)) {
        return failure;
    }
    file = fd;
    return {};
}

Result open_regular_for_reading(const char* path, Handle& file, bool& regular) {
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    int fd = -1;
    struct stat info {};
    if (auto failure = open_reading(path, O_NONBLOCK, fd, info)) {
        return failure;
    }
    regular = S_ISREG(info.st_mode);
    if (!regular) {
        ::close(fd);
        return {};
    }
    file = fd;
    return {};
}

Result read_some(Handle file, std::span<std::uint8_t> into, std::size_t& got) {
    ssize_t n = 0;
    do {
        n = read(static_cast<int>(file), into.data(), into.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return failure_from_errno(errno, "read");
    }
    got = static_cast<std::size_t>(n);
    return {};
}

void close(Handle file) {
    if (file != kNoHandle) {
        ::close(static_cast<int>(file));
    }
}

}  // namespace vork::platform
