#include "image.h"

#include <algorithm>
#include <stdexcept>

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

std::vector<std::uint8_t> build_image(std::span<const std::uint8_t> code,
                                      std::uint16_t load_address,
                                      std::uint16_t exec_address) {
    if (code.size() > kMaxCodeSize) {
        throw std::length_error("code too large for one Thomson image");
    }
    std::vector<std::uint8_t> image_buffer(code.size() + kFramingSize);
    std::uint8_t* at = image_buffer.data();
    *at++ = kHeaderMarker;
    at = put_word(at, static_cast<std::uint16_t>(code.size()));
    at = put_word(at, load_address);
    at = std::copy(code.begin(), code.end(), at);
    *at++ = kFooterMarker;
    at = put_word(at, 0);
    put_word(at, exec_address);
    return image_buffer;
}

}  // namespace vork
