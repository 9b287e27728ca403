// The Thomson DOS binary image: a five-byte header, the code, a five-byte footer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vork {

// Header and footer together.
inline constexpr std::size_t kFramingSize = 10;
// The length field is 16 bits wide, so no more code than this fits in one image.
inline constexpr std::size_t kMaxCodeSize = 65535;

// Returns the image of `code` loaded at `load_address` and started at
// `exec_address`; throws std::length_error when `code` exceeds kMaxCodeSize.
std::vector<std::uint8_t> build_image(std::span<const std::uint8_t> code,
                                      std::uint16_t load_address,
                                      std::uint16_t exec_address);

}  // namespace vork
