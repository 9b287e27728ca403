#include "image.h"

namespace vork {

namespace {

constexpr std::uint8_t kHeaderMarker = 0x00;
constexpr std::uint8_t kFooterMarker = 0xFF;

// Stores `value` most significant byte first, as the Thomson loader reads it.
std::uint8_t* put_word(std::uint8_t* at, std::uint16_t value) {
    *at++ = static_cast<std::uint8_t>(value >> 8);
    *at++ = static_cast<std::uint8_t>(value & 0xFF);
    return at;
}

}  // namespace

void frame_image(std::span<std::uint8_t> image_buffer, std::uint16_t load_address,
                 std::uint16_t exec_address) {
    const std::size_t code_size = image_buffer.size() - kFramingSize;
    std::uint8_t* at = image_buffer.data();
    *at++ = kHeaderMarker;
    at = put_word(at, static_cast<std::uint16_t>(code_size));
    put_word(at, load_address);
    at = image_buffer.data() + kHeaderSize + code_size;
    *at++ = kFooterMarker;
    at = put_word(at, 0);
    put_word(at, exec_address);
}

bool is_framed(std::span<const std::uint8_t> code) {
    if (code.size() < kFramingSize) {
        return false;
    }
    const std::size_t length = std::size_t{code[1]} << 8 | code[2];
    const auto footer = code.last(kFramingSize - kHeaderSize);
    return code[0] == kHeaderMarker && length == code.size() - kFramingSize &&
           footer[0] == kFooterMarker && footer[1] == 0 && footer[2] == 0;
}

bool runs_past_end(std::uint16_t load_address, std::size_t code_size) {
    return load_address + code_size > 0x10000;
}

Listing read_binary(std::span<const std::uint8_t> file) {
    Listing listing;
    const auto fault = [&](Malformed kind, std::size_t at, std::size_t count = 0) {
        listing.fault = kind;
        listing.offset = at;
        listing.count = count;
        return listing;
    };
    std::size_t at = 0;
    while (at < file.size() && file[at] == kHeaderMarker) {
        if (file.size() - at < kHeaderSize) {
            return fault(Malformed::cut_in_header, at);
        }
        const Block block{static_cast<std::uint16_t>(file[at + 3] << 8 | file[at + 4]),
                          std::size_t{file[at + 1]} << 8 | file[at + 2]};
        const std::size_t data = at + kHeaderSize;
        if (file.size() - data < block.size) {
            return fault(Malformed::cut_in_block, at, block.size - (file.size() - data));
        }
        listing.blocks.push_back(block);
        at = data + block.size;
    }
    constexpr std::size_t kFooterSize = kFramingSize - kHeaderSize;
    if (at == file.size()) {
        return fault(Malformed::no_footer, at);
    }
    if (file[at] != kFooterMarker) {
        return fault(Malformed::not_a_marker, at);
    }
    if (file.size() - at < kFooterSize) {
        return fault(Malformed::cut_in_footer, at);
    }
    if (file[at + 1] != 0 || file[at + 2] != 0) {
        return fault(Malformed::footer_not_zero, at);
    }
    listing.exec_address = static_cast<std::uint16_t>(file[at + 3] << 8 | file[at + 4]);
    if (file.size() - at > kFooterSize) {
        return fault(Malformed::after_footer, at + kFooterSize, file.size() - at - kFooterSize);
    }
    return listing;
}

}  // namespace vork
