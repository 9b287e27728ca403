// Writing the image to the target path without ever losing what was there.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vork {

enum class TargetWrite {
    ok,          // the whole image is at the target path
    not_opened,  // the system would not open the target for writing; nothing changed
    failed,      // writing failed; what was at the target path is untouched, or, written
                 // in place, its folder no longer holds it under that name
};

struct TargetOutcome {
    TargetWrite write = TargetWrite::failed;
    std::string leftover;  // a file made beside the target that could not be removed again
};

// Puts `image` at `path`. A regular file is replaced atomically when the new
// file can carry everything the old one had, and written in place under a
// lock otherwise; a device or pipe is written through.
TargetOutcome write_target(const char* path, std::span<const std::uint8_t> image);

}  // namespace vork
