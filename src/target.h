// Writing the image to the target path without ever losing what was there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "failure.h"

namespace vork {

enum class TargetWrite {
    ok,          // the whole image is at the target path, on the disk
    not_opened,  // the system would not open the target for writing; nothing changed
    failed,      // writing failed: see TargetOutcome::failure for what the path holds
    unreadable,  // update_target() could not read the target; nothing changed
    refused,     // the rebuild of update_target() refused what it read; nothing changed
    not_regular, // update_target() found no regular file to read and rewrite; nothing changed
};

struct TargetOutcome {
    TargetWrite write = TargetWrite::failed;
    Failure failure;       // why, when not ok
    std::string leftover;  // a file made beside the target that could not be removed again
    bool untouched = false;  // update_target(): the path holds the file it read, as it was then
};

// The step of a failure that came once the image had taken the target's
// place: the path holds the image, but whether it outlives a power cut is unknown.
inline constexpr char kAfterTheMove[] = "sync after the move";

// Whether a failed write left the image at the path all the same: only its
// way to the disk failed, the folder itself still where the path leads.
inline bool image_at_path(const Failure& failure) {
    return failure.step == kAfterTheMove && failure.reason != Reason::moved;
}

// Puts `image` at `path`. A regular file is replaced by a new one when that
// can carry everything the old one had, and written in place under a lock
// otherwise; a device or pipe is written through.
TargetOutcome write_target(const char* path, std::span<const std::uint8_t> image);

// Makes the target's new contents from its current ones (empty when there
// were none); false refuses them, and the target stays as it was.
using Rebuild =
    std::function<bool(std::span<const std::uint8_t> contents, std::vector<std::uint8_t>& image)>;

// Rewrites the regular file at `path` (created when missing) with what
// `rebuild` makes of its contents, read whole up to `most` bytes and one
// more, so that a larger file shows; under a lock held from the read to the
// write, so that two runs at once each build on the other's result. The
// image goes where write_target() puts it.
TargetOutcome update_target(const char* path, std::size_t most, const Rebuild& rebuild);

}  // namespace vork
