// Writing the image to the target path without ever losing what was there.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "failure.h"

namespace vork {

enum class TargetWrite {
    ok,          // the whole image is at the target path, on the disk
    not_opened,  // the system would not open the target for writing; nothing changed
    failed,      // writing failed: see TargetOutcome::failure for what the path holds
};

struct TargetOutcome {
    TargetWrite write = TargetWrite::failed;
    Failure failure;       // why, when not ok
    std::string leftover;  // a file made beside the target that could not be removed again
};

// The step of a failure that came once the image had taken the target's
// place: the path holds the image, but whether it outlives a power cut is unknown.
inline constexpr char kAfterTheMove[] = "sync after the move";

// Puts `image` at `path`. A regular file is replaced by a new one when that
// can carry everything the old one had, and written in place under a lock
// otherwise; a device or pipe is written through.
TargetOutcome write_target(const char* path, std::span<const std::uint8_t> image);

}  // namespace vork
