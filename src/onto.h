// vork --onto: puts the binary the run made on a Thomson disk image (.fd,
// .sap) or writes it as an MO5 tape (.k7).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "console.h"
#include "thomson_disk.h"

namespace vork {

// Echoes the image `image`, the face `face_text` asked of it (none: 0) into
// `side`, and the name TARGET takes on it into `name`; an image of no known
// kind, a face it does not have or a name that does not fit ends the run,
// with the status returned.
std::optional<int> check_onto(const char* image, const char* face_text, const char* target,
                              int& side, std::array<char, disk::kNameSize>& name,
                              const Console& console);

// Puts `binary` on face `side` of the disk image, or on the tape, `path` as
// the file `name`, and tells how it went; returns the status.
int put_on_disk(const char* path, int side, const std::array<char, disk::kNameSize>& name,
                std::span<const std::uint8_t> binary, const Console& console);

}  // namespace vork
