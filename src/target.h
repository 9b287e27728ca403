// Writing the image to the target path without ever losing what was there.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vork {

enum class TargetWrite {
    ok,          // the whole image is at the target path
    not_opened,  // the target could not be opened for writing; nothing changed
    failed,      // writing failed; what was at the target path is untouched
};

// Puts `image` at `path`: afterwards the path holds either the whole image or
// what it held before, even if the process is interrupted.
TargetWrite write_target(const std::string& path, std::span<const std::uint8_t> image);

// A new file beside `destination` that disappears unless committed, also when
// SIGINT, SIGTERM or SIGHUP ends the process first. One may exist at a time.
class PendingFile {
public:
    explicit PendingFile(const std::string& destination);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Whether the file was created; if not, error() holds errno.
    bool valid() const { return fd_ >= 0; }
    int error() const { return error_; }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    // Syncs and closes the file, then renames it over the destination.
    bool commit();

private:
    std::string destination_;
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
    bool committed_ = false;
};

}  // namespace vork
