// HFE disks as other converters lay them out, made apart from vork's own
// writing: cells spelled as a string of '0' and '1'.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vork_test {

using HfeBytes = std::vector<std::uint8_t>;

// How another converter may lay a track out.
struct HfeLayout {
    int gap1 = 32, gap2 = 22, gap3 = 50;
    int interleave = 7;
    bool head_is_side = false;
    int shift = 0;  // cells before the first byte
};

inline std::uint16_t hfe_crc(const HfeBytes& bytes) {
    unsigned crc = 0xFFFF;
    for (const std::uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const unsigned in = ((byte >> bit) & 1) ^ (crc >> 15);
            crc = ((crc << 1) & 0xFFFF) ^ (in ? 0x1021 : 0);
        }
    }
    return static_cast<std::uint16_t>(crc);
}

// The HFE file of `faces` (.fd faces of 80 x 16 x 256 bytes) in `layout`.
inline HfeBytes hfe_of(const std::vector<HfeBytes>& faces, const HfeLayout& layout) {
    HfeBytes file(2 * 512 + 80 * 49 * 512, 0xFF);
    const std::string head = "HXCPICFE";
    std::copy(head.begin(), head.end(), file.begin());
    const std::uint8_t fields[] = {0, 80, static_cast<std::uint8_t>(faces.size()), 0, 250, 0, 0x2C, 1, 7, 1, 1, 0};
    std::copy(std::begin(fields), std::end(fields), file.begin() + 8);
    // Each sector `interleave` places after the one before, or the next place free.
    int order[16] = {};
    for (int sector = 1, slot = 0; sector <= 16; ++sector, slot = (slot + layout.interleave) % 16) {
        while (order[slot] != 0) {
            slot = (slot + 1) % 16;
        }
        order[slot] = sector;
    }
    for (int track = 0; track < 80; ++track) {
        const int block = 2 + track * 49;
        const std::uint8_t entry[] = {static_cast<std::uint8_t>(block), static_cast<std::uint8_t>(block >> 8), 0xA8, 0x61};
        std::copy(std::begin(entry), std::end(entry), file.begin() + 512 + track * 4);
        for (std::size_t side = 0; side < faces.size(); ++side) {
            std::string cells(static_cast<std::size_t>(layout.shift), '0');
            int last = 0;
            const auto put = [&](const HfeBytes& bytes) {
                for (const std::uint8_t byte : bytes) {
                    for (int bit = 7; bit >= 0; --bit) {
                        const int data = (byte >> bit) & 1;
                        cells += (last == 0 && data == 0) ? '1' : '0';
                        cells += data ? '1' : '0';
                        last = data;
                    }
                }
            };
            const auto field = [&](HfeBytes bytes) {
                put(HfeBytes(12, 0x00));
                for (int i = 0; i < 3; ++i) {
                    cells += "0100010010001001";  // A1 with a missing clock
                }
                last = 1;
                HfeBytes sum{0xA1, 0xA1, 0xA1};
                sum.insert(sum.end(), bytes.begin(), bytes.end());
                const std::uint16_t crc = hfe_crc(sum);
                bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
                bytes.push_back(static_cast<std::uint8_t>(crc));
                put(bytes);
            };
            put(HfeBytes(static_cast<std::size_t>(layout.gap1), 0x4E));
            for (int i = 0; i < 16; ++i) {
                const int sector = order[i];
                field({0xFE, static_cast<std::uint8_t>(track), static_cast<std::uint8_t>(layout.head_is_side ? side : 0),
                       static_cast<std::uint8_t>(sector), 1});
                put(HfeBytes(static_cast<std::size_t>(layout.gap2), 0x4E));
                HfeBytes data{0xFB};
                const auto from = faces[side].begin() + (track * 16 + sector - 1) * 256;
                data.insert(data.end(), from, from + 256);
                field(data);
                put(HfeBytes(static_cast<std::size_t>(layout.gap3), 0x4E));
            }
            while (cells.size() < 100000) {
                put({0x4E});
            }
            for (std::size_t i = 0; i < 100000; ++i) {
                const std::size_t byte = i / 8 / 256 * 512 + side * 256 + i / 8 % 256;
                file[static_cast<std::size_t>(block) * 512 + byte] &= static_cast<std::uint8_t>(~(1 << (i % 8)));
                file[static_cast<std::size_t>(block) * 512 + byte] |= static_cast<std::uint8_t>((cells[i] - '0') << (i % 8));
            }
        }
    }
    return file;
}

}  // namespace vork_test
