// The Thomson DOS binary image: a five-byte header, the code, a five-byte footer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// What a Thomson DOS binary holds, as the disk system's loader reads it:
// blocks (marker 00, length, load address, that many bytes) until the
// footer (marker FF, two zero bytes, execution address), and nothing after.
struct Block {
    std::uint16_t load = 0;
    std::size_t size = 0;
};

enum class Malformed {
    none,
    cut_in_header,    // the file ends inside a block's header
    cut_in_block,     // ... inside a block's bytes
    not_a_marker,     // a block or the footer should start here, with 00 or FF
    no_footer,        // the file ends where a block or the footer should start
    cut_in_footer,    // the file ends inside the footer
    footer_not_zero,  // the footer's two middle bytes are not zero
    after_footer,     // bytes follow the footer
};

struct Listing {
    std::vector<Block> blocks;  // every whole block, in file order
    std::uint16_t exec_address = 0;
    Malformed fault = Malformed::none;
    std::size_t offset = 0;  // where the fault lies: the start of the block, footer or byte concerned
    std::size_t count = 0;   // bytes missing from a cut block, or found after the footer
};

// Reads `file` as a Thomson DOS binary.
Listing read_binary(std::span<const std::uint8_t> file);

// The largest file --list reads: a whole face of a Thomson disk, 80 tracks of
// 16 sectors of 256 bytes, which no binary can outgrow.
inline constexpr std::size_t kMaxBinarySize = 80 * 16 * 256;

}  // namespace vork
