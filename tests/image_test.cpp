#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "image.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct LayoutCase {
    const char* name;
    Bytes code;
    std::uint16_t load;
    std::uint16_t exec;
    Bytes expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

// The image of `code` as the run makes it: the code behind the header's room, then framed.
Bytes framed(const Bytes& code, std::uint16_t load, std::uint16_t exec) {
    Bytes image(code.size() + vork::kFramingSize);
    std::copy(code.begin(), code.end(), image.begin() + vork::kHeaderSize);
    vork::frame_image(image, load, exec);
    return image;
}

// Three bytes, no code and the largest code are runs of the whole program
// (Runs/Cli.Typical, EmptySource, LargestSource); here, the edges of the frame.
class ImageLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(ImageLayout, FramesTheCodeWithHeaderAndFooter) {
    const LayoutCase& c = GetParam();
    EXPECT_EQ(framed(c.code, c.load, c.exec), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageLayout,
    testing::Values(
        LayoutCase{"MarkersInsideCode", {0x00, 0xFF, 0x00, 0x00, 0xFF}, 0x1234, 0xABCD,
                   {0x00, 0x00, 0x05, 0x12, 0x34, 0x00, 0xFF, 0x00, 0x00, 0xFF,
                    0xFF, 0x00, 0x00, 0xAB, 0xCD}},
        LayoutCase{"LowestAddresses", {0x39}, 0x0000, 0x0000,
                   {0x00, 0x00, 0x01, 0x00, 0x00, 0x39, 0xFF, 0x00, 0x00, 0x00, 0x00}},
        LayoutCase{"HighestAddresses", {0x39}, 0xFFFF, 0xFFFF,
                   {0x00, 0x00, 0x01, 0xFF, 0xFF, 0x39, 0xFF, 0x00, 0x00, 0xFF, 0xFF}}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

// The two checks behind the warnings, at their edges.
TEST(ImageChecks, FramedSourcesAndCodePastFFFF) {
    const struct {
        const char* name;
        Bytes code;
        bool framed;
    } sources[] = {
        {"the empty code, framed", {0x00, 0x00, 0x00, 0x26, 0x00, 0xFF, 0x00, 0x00, 0x2C, 0x00}, true},
        {"one byte, framed", {0x00, 0x00, 0x01, 0x90, 0x00, 0x39, 0xFF, 0x00, 0x00, 0x90, 0x00}, true},
        {"a footer whose middle is not zero",
         {0x00, 0x00, 0x00, 0x26, 0x00, 0xFF, 0x00, 0x01, 0x2C, 0x00}, false},
        {"a footer's first zero not zero",
         {0x00, 0x00, 0x00, 0x26, 0x00, 0xFF, 0x01, 0x00, 0x2C, 0x00}, false},
        {"a length one too long", {0x00, 0x00, 0x01, 0x26, 0x00, 0xFF, 0x00, 0x00, 0x2C, 0x00}, false},
        {"a first byte not zero", {0x01, 0x00, 0x00, 0x26, 0x00, 0xFF, 0x00, 0x00, 0x2C, 0x00}, false},
        {"shorter than a frame", {0x00, 0x00, 0x00, 0x26, 0xFF, 0x00, 0x00, 0x2C, 0x00}, false},
    };
    for (const auto& source : sources) {
        EXPECT_EQ(vork::is_framed(source.code), source.framed) << source.name;
    }
    const struct {
        std::uint16_t load;
        std::size_t size;
        bool past;
    } placements[] = {
        {0xFFFD, 3, false}, {0xFFFD, 4, true}, {0x0000, 65535, false}, {0x0001, 65535, false},
        {0x0002, 65535, true}, {0x9000, 40000, true},
    };
    for (const auto& placement : placements) {
        EXPECT_EQ(vork::runs_past_end(placement.load, placement.size), placement.past)
            << std::hex << placement.load << " + " << std::dec << placement.size;
    }
}

}  // namespace
