// A second reader of Thomson disk images, written apart from vork's own
// disk code: the tests judge what vork wrote by it, and edit images with it.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace thomson {

// On one face: 80 tracks of 16 sectors of 256 bytes; track 20 holds the
// allocation table (sector 2: a 0, then one byte per block of 8 sectors)
// and the directory (sectors 3 to 16, 112 entries of 32 bytes).
inline constexpr std::size_t kFace = 80 * 16 * 256;
inline constexpr std::size_t kTable = 20 * 16 * 256 + 256;
inline constexpr std::size_t kDirectory = kTable + 256;
// A .sap: a 66-byte header, then per sector 4 bytes (format, protection,
// track, sector), the 256 bytes XORed with $B3 and a CRC of the 260 plain ones.
inline constexpr std::size_t kSapHeader = 66, kSapRecord = 262;

// The SAP CRC: CRC-16 of the reflected CCITT polynomial from $FFFF, bit by bit.
inline unsigned sap_crc(const std::string& plain) {
    unsigned crc = 0xFFFF;
    for (const unsigned char byte : plain) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0x8408 : crc >> 1;
        }
    }
    return crc;
}

// Face `side` of the image `file`, plain; nothing when its size, a SAP
// record's place, format or CRC, or the SAP signature is wrong.
inline std::optional<std::string> face_of(const std::string& file, bool sap, int side = 0) {
    if (!sap) {
        if (file.size() != kFace && file.size() != 2 * kFace) {
            return std::nullopt;
        }
        return file.size() < (side + 1) * kFace ? std::nullopt
                                                : std::optional(file.substr(side * kFace, kFace));
    }
    if (file.size() != kSapHeader + kFace / 256 * kSapRecord || side != 0 ||
        static_cast<unsigned char>(file[0]) > 1 ||
        file.compare(1, 65, "SYSTEME D'ARCHIVAGE PUKALL S.A.P. (c) Alexandre PUKALL Avril 1998")) {
        return std::nullopt;
    }
    std::string face;
    for (std::size_t sector = 0; sector < kFace / 256; ++sector) {
        const std::size_t at = kSapHeader + sector * kSapRecord;
        std::string plain = file.substr(at, 260);
        for (std::size_t i = 4; i < 260; ++i) {
            plain[i] = static_cast<char>(plain[i] ^ 0xB3);
        }
        const unsigned crc = sap_crc(plain);
        // Format 0, 2 or 4: the same 80 tracks of 16 sectors.
        if ((plain[0] != 0 && plain[0] != 2 && plain[0] != 4) ||
            static_cast<std::size_t>(plain[2]) != sector / 16 ||
            static_cast<std::size_t>(plain[3]) != sector % 16 + 1 ||
            static_cast<unsigned char>(file[at + 260]) != crc >> 8 ||
            static_cast<unsigned char>(file[at + 261]) != (crc & 0xFF)) {
            return std::nullopt;
        }
        face += plain.substr(4);
    }
    return face;
}

// Makes every record of the .sap `file` right again: its sectors those of
// `face` (empty: kept), its format byte `format` (below 0: kept), its CRC.
inline void seal(std::string& file, const std::string& face = {}, int format = -1) {
    for (std::size_t sector = 0; sector < kFace / 256; ++sector) {
        const std::size_t at = kSapHeader + sector * kSapRecord;
        if (format >= 0) {
            file[at] = static_cast<char>(format);
        }
        std::string plain = file.substr(at, 260);
        for (std::size_t i = 4; i < 260; ++i) {
            plain[i] =
                face.empty() ? static_cast<char>(plain[i] ^ 0xB3) : face[sector * 256 + i - 4];
        }
        const unsigned crc = sap_crc(plain);
        for (std::size_t i = 4; i < 260; ++i) {
            file[at + i] = static_cast<char>(plain[i] ^ 0xB3);
        }
        file[at + 260] = static_cast<char>(crc >> 8);
        file[at + 261] = static_cast<char>(crc & 0xFF);
    }
}

struct Disk {
    // name, as the directory has it ("NAME    EXT") → its type letter, format
    // letter, bytes; in directory order
    std::multimap<std::string, std::string> files;
    long free = 0;  // blocks
};

// The files of `face` and its free blocks; nothing when a name, a chain or
// a count of the last sector's bytes is not what the disk system writes.
inline std::optional<Disk> read_disk(const std::string& face) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(face[at]); };
    Disk disk;
    for (std::size_t block = 0; block < 160; ++block) {
        disk.free += block / 2 != 20 && byte(kTable + 1 + block) == 0xFF;
    }
    std::string used(160, 0);
    for (std::size_t at = kDirectory; at < kDirectory + 112 * 32 && byte(at) != 0xFF; at += 32) {
        if (byte(at) == 0) {
            continue;  // deleted
        }
        for (std::size_t i = 0; i < 11; ++i) {
            if (byte(at + i) < 0x20 || byte(at + i) > 0x7E) {
                return std::nullopt;
            }
        }
        const unsigned last = byte(at + 14) << 8 | byte(at + 15);
        std::string bytes;
        for (unsigned block = byte(at + 13);; block = byte(kTable + 1 + block)) {
            if (block >= 160 || block / 2 == 20 || used[block] || last > 255) {
                return std::nullopt;
            }
            used[block] = 1;
            const unsigned next = byte(kTable + 1 + block);
            const bool end = next >= 0xC1 && next <= 0xC8;
            if (!end && next >= 160) {
                return std::nullopt;
            }
            const unsigned sectors = end ? next - 0xC0 : 8;
            for (unsigned s = 0; s < sectors; ++s) {
                bytes += face.substr((block * 8 + s) * 256, s + 1 == sectors && end ? last : 255);
            }
            if (end) {
                break;
            }
        }
        const char types[] = "BDMA";
        const std::string kind{byte(at + 11) < 4 ? types[byte(at + 11)] : '?',
                               byte(at + 12) == 0      ? 'B'
                               : byte(at + 12) == 0xFF ? 'A'
                                                       : '?'};
        disk.files.emplace(face.substr(at, 11), kind + bytes);
    }
    return disk;
}

}  // namespace thomson
