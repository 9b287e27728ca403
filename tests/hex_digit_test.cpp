#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "console.h"
#include "run.h"

namespace {

// The digits as a user types them, independently of how the code decodes them.
std::optional<std::uint8_t> expected_digit(int byte) {
    constexpr const char* kUpper = "0123456789ABCDEF";
    constexpr const char* kLower = "0123456789abcdef";
    for (std::uint8_t value = 0; value < 16; ++value) {
        if (byte == kUpper[value] || byte == kLower[value]) {
            return value;
        }
    }
    return std::nullopt;
}

TEST(HexDigitValue, DecodesEveryByteValue) {
    for (int byte = 0; byte <= 255; ++byte) {
        EXPECT_EQ(vork::hex_digit_value(static_cast<char>(byte)), expected_digit(byte)) << "byte 0x" << std::hex << byte;
    }
}

}  // namespace

// What a terminal is shown of a name: its controls written out, all else as typed.
TEST(VisibleName, WritesOutControlsOnly) {
    const struct {
        const char* typed;
        const char* shown;
    } names[] = {
        {"tab\there", "tab\\there"},
        {"del\x7f", "del\\177"},
        {"\x01" "a", "\\001a"},
        {"démo\\é.bin", "démo\\é.bin"},        // UTF-8 and a backslash, as typed
        {"\xC2\x80\xC2\x9F", "\\302\\200\\302\\237"},  // the eight-bit controls...
        {"\xC2\xA0\xC2", "\xC2\xA0\xC2"},          // ... and nothing past them
    };
    for (const auto& name : names) {
        EXPECT_EQ(vork::visible_name(name.typed), name.shown) << name.typed;
    }
}
