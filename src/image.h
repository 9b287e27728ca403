// The Thomson DOS binary image: a five-byte header, the code, a five-byte footer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vork {

inline constexpr std::size_t kHeaderSize = 5;
// Header and footer together.
inline constexpr std::size_t kFramingSize = 10;
// The length field is 16 bits wide, so no more code than this fits in one image.
inline constexpr std::size_t kMaxCodeSize = 65535;
// The largest image: one buffer of this size holds any conversion.
inline constexpr std::size_t kMaxImageSize = kMaxCodeSize + kFramingSize;

// Frames the code already at offsets 5 to size - 6 of `image_buffer` (10 to
// kMaxImageSize bytes) with the header and footer of an image loaded at
// `load_address` and started at `exec_address`.
void frame_image(std::span<std::uint8_t> image_buffer, std::uint16_t load_address,
                 std::uint16_t exec_address);

// Whether `code` is itself already an image of this kind: a header whose
// length is the code between it and a footer, and that footer. Framing it
// again gives a file the machine crashes on.
bool is_framed(std::span<const std::uint8_t> code);

// Whether `code_size` bytes loaded at `load_address` run past $FFFF; code that
// ends exactly at $FFFF fits.
bool runs_past_end(std::uint16_t load_address, std::size_t code_size);

}  // namespace vork
