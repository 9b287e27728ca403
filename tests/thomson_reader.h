// A second reader of Thomson disk images, written apart from vork's own
// disk code: the tests judge what vork wrote by it, and edit images with it.
#pragma once

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

inline unsigned char at(const std::string& bytes, std::size_t i) { return static_cast<unsigned char>(bytes[i]); }

// The 260 plain bytes of the .sap record of `sector` and its CRC: CRC-16 of
// the reflected CCITT polynomial from $FFFF, bit by bit.
inline std::pair<std::string, unsigned> record(const std::string& file, std::size_t sector) {
    std::string plain = file.substr(kSapHeader + sector * kSapRecord, 260);
    unsigned crc = 0xFFFF;
    for (std::size_t i = 0; i < 260; ++i) {
        plain[i] = static_cast<char>(i < 4 ? plain[i] : plain[i] ^ 0xB3);
        crc ^= at(plain, i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0x8408 : crc >> 1;
        }
    }
    return {plain, crc};
}

// Face `side` of the image `file`, plain; nothing when its size, the SAP
// signature or a record's format, place or CRC is wrong.
inline std::optional<std::string> face_of(const std::string& file, bool sap, int side = 0) {
    if (!sap) {
        return file.size() == (side + 1) * kFace || (file.size() == 2 * kFace && side == 0)
                   ? std::optional(file.substr(side * kFace, kFace)) : std::nullopt;
    }
    if (file.size() != kSapHeader + kFace / 256 * kSapRecord || side != 0 || at(file, 0) > 1 ||
        file.compare(1, 65, "SYSTEME D'ARCHIVAGE PUKALL S.A.P. (c) Alexandre PUKALL Avril 1998")) {
        return std::nullopt;
    }
    std::string face;
    for (std::size_t sector = 0; sector < kFace / 256; ++sector) {
        const auto [plain, crc] = record(file, sector);
        const std::size_t end = kSapHeader + (sector + 1) * kSapRecord;
        // Format 0, 2 or 4: the same 80 tracks of 16 sectors.
        if (at(plain, 0) % 2 != 0 || at(plain, 0) > 4 || at(plain, 2) != sector / 16 ||
            at(plain, 3) != sector % 16 + 1 || at(file, end - 2) != crc >> 8 || at(file, end - 1) != (crc & 0xFF)) {
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
        const std::size_t start = kSapHeader + sector * kSapRecord;
        file[start] = static_cast<char>(format >= 0 ? format : file[start]);
        for (std::size_t i = 0; i < 256 && !face.empty(); ++i) {
            file[start + 4 + i] = static_cast<char>(face[sector * 256 + i] ^ 0xB3);
        }
        const unsigned crc = record(file, sector).second;
        file[start + 260] = static_cast<char>(crc >> 8);
        file[start + 261] = static_cast<char>(crc & 0xFF);
    }
}

struct Disk {
    // Name as the directory has it ("NAME    EXT") → its type letter, format
    // letter, bytes; in directory order.
    std::multimap<std::string, std::string> files;
    long free = 0;  // blocks
};

// The files of `face` and its free blocks; nothing when a name, a chain or
// a count of the last sector's bytes is not what the disk system writes.
inline std::optional<Disk> read_disk(const std::string& face) {
    Disk disk;
    for (std::size_t block = 0; block < 160; ++block) {
        disk.free += block / 2 != 20 && at(face, kTable + 1 + block) == 0xFF;
    }
    std::string used(160, 0);
    for (std::size_t entry = kDirectory; entry < kDirectory + 112 * 32 && at(face, entry) != 0xFF; entry += 32) {
        if (at(face, entry) == 0) {
            continue;  // deleted
        }
        for (std::size_t i = 0; i < 11; ++i) {
            if (at(face, entry + i) < 0x20 || at(face, entry + i) > 0x7E) {
                return std::nullopt;
            }
        }
        const unsigned last = at(face, entry + 14) << 8 | at(face, entry + 15);
        std::string bytes;
        for (unsigned block = at(face, entry + 13), next = 0; next < 0xC1; block = next) {
            next = block < 160 ? at(face, kTable + 1 + block) : 0xFF;
            // A block of the disk, not track 20's, in no other chain, leading
            // on to another or ending with 1 to 8 sectors used.
            if (block >= 160 || block / 2 == 20 || used[block]++ || last > 255 || (next >= 160 && next < 0xC1) ||
                next > 0xC8) {
                return std::nullopt;
            }
            const unsigned sectors = next < 160 ? 8 : next - 0xC0;
            for (unsigned s = 0; s < sectors; ++s) {
                bytes += face.substr((block * 8 + s) * 256, next > 160 && s + 1 == sectors ? last : 255);
            }
        }
        const unsigned type = at(face, entry + 11), format = at(face, entry + 12);
        disk.files.emplace(face.substr(entry, 11), std::string{type < 4 ? "BDMA"[type] : '?',
                                                              format == 0 ? 'B' : format == 0xFF ? 'A' : '?'} + bytes);
    }
    return disk;
}

}  // namespace thomson
