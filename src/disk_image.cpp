#include "disk_image.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace vork::disk {

namespace {

// The SAP signature: a version byte, then 65 characters.
constexpr char kSapSignature[] =
    "\001SYSTEME D'ARCHIVAGE PUKALL S.A.P. (c) Alexandre PUKALL Avril 1998";
static_assert(sizeof kSapSignature - 1 == kSapHeaderSize);
constexpr std::uint8_t kSapXor = 0xB3;
// A record's format byte: 0 for a 3.5-inch double-density disk; 2 and 4,
// as imgtool writes and reads them, for the same 80 tracks.
constexpr std::uint8_t kSapFormat = 0x00;

bool is_sap_format(std::uint8_t format) { return format == 0 || format == 2 || format == 4; }

std::size_t record_at(std::size_t sector) { return kSapHeaderSize + sector * kSapRecordSize; }

// Where byte `offset` of face `side` lies in the image file; for an HFE,
// where it lies in the .fd of the same disk.
std::size_t file_offset(Container container, std::size_t offset, int side) {
    if (container == Container::sap) {
        return record_at(offset / kSectorSize) + 4 + offset % kSectorSize;
    }
    if (container == Container::sd) {
        return (static_cast<std::size_t>(side) * kFaceSize + offset) * 2 - offset % kSectorSize;
    }
    return static_cast<std::size_t>(side) * kFaceSize + offset;
}

// ---- HFE: each side of a track, the MFM cells of a formatted track.

constexpr char kHfeSignature[] = "HXCPICFE";
constexpr std::size_t kHfeHalf = kHfeBlock / 2;  // a side's bytes in each block
// The sectors as they pass under the head: interleave 7.
constexpr std::uint8_t kHfeOrder[kSectorsPerTrack] = {1, 8, 15, 6,  13, 4, 11, 2,
                                                      9, 16, 7, 14, 5,  12, 3, 10};
// A1 written with one clock missing, so that it cannot be read off data.
constexpr std::uint16_t kSyncCells = 0x4489;
constexpr std::uint8_t kIdMark = 0xFE, kDataMark = 0xFB, kDeletedMark = 0xF8;

// Byte `at` of side `side`'s cells in its track's blocks: 256 of side 0,
// then 256 of side 1.
std::size_t side_byte(std::size_t at, int side) {
    return at / kHfeHalf * kHfeBlock + static_cast<std::size_t>(side) * kHfeHalf + at % kHfeHalf;
}

// The 16 cells of `byte` after a data bit `last`, clock then data, most
// significant first, packed as the file holds them: first cell in bit 0.
struct Cells {
    std::uint8_t first, second;
};
constexpr auto kMfm = [] {
    std::array<Cells, 512> table{};
    for (unsigned entry = 0; entry < 512; ++entry) {
        unsigned last = entry >> 8;
        unsigned cells[2] = {0, 0};
        for (int bit = 0; bit < 8; ++bit) {
            const unsigned data = (entry >> (7 - bit)) & 1;
            const unsigned clock = (last | data) == 0;
            cells[bit / 4] |= clock << (bit % 4 * 2) | data << (bit % 4 * 2 + 1);
            last = data;
        }
        table[entry] = {static_cast<std::uint8_t>(cells[0]), static_cast<std::uint8_t>(cells[1])};
    }
    return table;
}();

// One side of a track, as its cells are made, byte after byte.
class TrackWriter {
public:
    explicit TrackWriter(std::uint8_t* cells) : cells_(cells) {}
    void put(std::uint8_t byte, std::size_t count = 1) {
        for (std::size_t i = 0; i < count; ++i) {
            const Cells c = kMfm[last_ << 8 | byte];
            cells_[at_++] = c.first;
            cells_[at_++] = c.second;
            last_ = byte & 1;
        }
    }
    void put(std::span<const std::uint8_t> bytes) {
        for (const std::uint8_t byte : bytes) {
            put(byte);
        }
    }
    void sync() {
        for (int i = 0; i < 3; ++i) {
            cells_[at_++] = 0x22;  // 0x4489, first cell in bit 0
            cells_[at_++] = 0x91;
        }
        last_ = 1;
    }
    std::size_t size() const { return at_; }

private:
    std::uint8_t* cells_;
    std::size_t at_ = 0;
    unsigned last_ = 0;
};

// Writes the cells of `track` of face `side` of `faces` (an .fd's) into `cells`.
void encode_track(std::span<const std::uint8_t> faces, std::size_t track, int side,
                  std::uint8_t* cells) {
    TrackWriter out(cells);
    out.put(0x4E, 32);
    const std::size_t base = (static_cast<std::size_t>(side) * kTracks + track) * kSectorsPerTrack;
    for (const std::uint8_t sector : kHfeOrder) {
        std::uint8_t id[8] = {0xA1, 0xA1, 0xA1, kIdMark, static_cast<std::uint8_t>(track), 0, sector, 1};
        const std::uint16_t id_crc = ccitt_crc(id);
        out.put(0x00, 12);
        out.sync();
        out.put({id + 3, 5});
        out.put(static_cast<std::uint8_t>(id_crc >> 8));
        out.put(static_cast<std::uint8_t>(id_crc));
        out.put(0x4E, 22);
        out.put(0x00, 12);
        out.sync();
        out.put(kDataMark);
        const auto data = faces.subspan((base + sector - 1) * kSectorSize, kSectorSize);
        static constexpr std::uint8_t kDataStart[4] = {0xA1, 0xA1, 0xA1, kDataMark};
        const std::uint16_t data_crc = ccitt_crc(data, ccitt_crc(kDataStart));
        out.put(data);
        out.put(static_cast<std::uint8_t>(data_crc >> 8));
        out.put(static_cast<std::uint8_t>(data_crc));
        out.put(0x4E, 50);
    }
    out.put(0x4E, (kHfeSideBytes - out.size()) / 2);
}

// The HFE file of the disk whose faces `faces` holds, as an .fd: one or two sides.
std::vector<std::uint8_t> encode_hfe(std::span<const std::uint8_t> faces) {
    const int sides = faces.size() > kFaceSize ? 2 : 1;
    std::vector<std::uint8_t> file(kHfeSize, 0xFF);
    std::memcpy(file.data(), kHfeSignature, 8);
    const std::uint8_t header[] = {
        0,                       // revision
        kTracks,                 // tracks
        static_cast<std::uint8_t>(sides),
        0,                       // IBM MFM
        250, 0,                  // kbit/s
        0x2C, 0x01,              // 300 rpm
        7,                       // generic Shugart DD
        1,                       // unused
        1, 0,                    // the track list at block 1
        0xFF,                    // writing allowed
        0xFF,                    // single step
    };
    std::memcpy(file.data() + 8, header, sizeof header);
    std::uint8_t side_cells[kHfeSideBytes];
    for (std::size_t track = 0; track < kTracks; ++track) {
        const std::size_t block = 2 + track * kHfeTrackBlocks;
        std::uint8_t* const entry = file.data() + kHfeBlock + track * 4;
        entry[0] = static_cast<std::uint8_t>(block);
        entry[1] = static_cast<std::uint8_t>(block >> 8);
        entry[2] = static_cast<std::uint8_t>(2 * kHfeSideBytes);
        entry[3] = static_cast<std::uint8_t>(2 * kHfeSideBytes >> 8);
        // Past a side's 12,500 bytes, and a side the disk does not have, $FF.
        for (int side = 0; side < sides; ++side) {
            encode_track(faces, track, side, side_cells);
            for (std::size_t at = 0; at < kHfeSideBytes; at += kHfeHalf) {
                std::memcpy(file.data() + block * kHfeBlock + side_byte(at, side), side_cells + at,
                            std::min(kHfeHalf, kHfeSideBytes - at));
            }
        }
    }
    return file;
}

// The cells of `byte` in the order they pass, first in the top bit.
constexpr auto kReversed = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned reversed = 0;
        for (int bit = 0; bit < 8; ++bit) {
            reversed |= ((byte >> bit) & 1) << (7 - bit);
        }
        table[byte] = static_cast<std::uint8_t>(reversed);
    }
    return table;
}();

// The data bits of a byte of the file: its 8 cells, first in bit 0, are
// clock, data, clock, ...
constexpr auto kDataBits = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        const unsigned cells = kReversed[byte];
        table[byte] = static_cast<std::uint8_t>((cells >> 3 & 8) | (cells >> 2 & 4) |
                                                (cells >> 1 & 2) | (cells & 1));
    }
    return table;
}();

// For each byte of the file (8 cells, first in bit 0), the places k (bit
// k) where a sync could end at its k-th cell in passing order: [0] when
// they hold the sync's last k + 1 cells, [1] when they are the 8 cells
// before those.
constexpr auto kSyncEnds = [] {
    std::array<std::array<std::uint8_t, 256>, 2> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        const unsigned cells = kReversed[byte];
        for (unsigned k = 0; k < 8; ++k) {
            if (cells >> (7 - k) == (kSyncCells & ((1u << (k + 1)) - 1))) {
                table[0][byte] |= static_cast<std::uint8_t>(1u << k);
            }
            if (((kSyncCells >> (k + 1)) & 0xFF) == cells) {
                table[1][byte] |= static_cast<std::uint8_t>(1u << k);
            }
        }
    }
    return table;
}();

// Reads one side of a track's cells for the sectors it holds, at any bit
// alignment.
class TrackReader {
public:
    explicit TrackReader(std::span<const std::uint8_t> cells) : cells_(cells) {}
    // Moves past the next three syncs in a row; false at the end.
    bool next_sync() {
        const std::size_t end = cells_.size() * 8;
        // Syncs that begin at or after `at_`, a byte of cells at a time.
        unsigned before = 0;  // where a sync could end in this byte, by the one before
        for (std::size_t byte = at_ / 8; byte < cells_.size(); ++byte) {
            const std::uint8_t cells = cells_[byte];
            for (unsigned ends = kSyncEnds[0][cells] & before; ends != 0; ends &= ends - 1) {
                const unsigned k = static_cast<unsigned>(std::countr_zero(ends));
                const std::size_t after = byte * 8 + k + 1;  // the cell after the sync
                if (after >= at_ + 16 && word(after - 16) == kSyncCells && after + 32 <= end &&
                    word(after) == kSyncCells && word(after + 16) == kSyncCells) {
                    at_ = after + 32;
                    return true;
                }
            }
            before = kSyncEnds[1][cells];
        }
        at_ = end;
        return false;
    }
    // Reads `count` bytes into `bytes`; false past the end.
    bool read(std::uint8_t* bytes, std::size_t count) {
        if (at_ + count * 16 > cells_.size() * 8) {
            return false;
        }
        if (at_ % 8 == 0) {
            // On a byte of the file, as vork writes it: two bytes make one.
            for (std::size_t i = 0; i < count; ++i, at_ += 16) {
                bytes[i] = static_cast<std::uint8_t>(kDataBits[cells_[at_ / 8]] << 4 |
                                                     kDataBits[cells_[at_ / 8 + 1]]);
            }
            return true;
        }
        for (std::size_t i = 0; i < count; ++i, at_ += 16) {
            const unsigned w = word(at_);
            bytes[i] = static_cast<std::uint8_t>(kDataBits[kReversed[w >> 8]] << 4 |
                                                 kDataBits[kReversed[w & 0xFF]]);
        }
        return true;
    }

private:
    // The 16 cells from cell `at` on, in passing order, first in the top bit.
    unsigned word(std::size_t at) const {
        const std::size_t byte = at / 8;
        const unsigned third = byte + 2 < cells_.size() ? kReversed[cells_[byte + 2]] : 0;
        const unsigned cells = unsigned{kReversed[cells_[byte]]} << 16 |
                               unsigned{kReversed[cells_[byte + 1]]} << 8 | third;
        return (cells >> (8 - at % 8)) & 0xFFFF;
    }
    std::span<const std::uint8_t> cells_;
    std::size_t at_ = 0;
};

// Decodes the 16 sectors of `track` on side `side` from its cells into
// `faces` (an .fd's, face `side`); the first thing wrong otherwise.
ImageFault decode_track(std::span<const std::uint8_t> cells, std::size_t track, int side,
                        std::span<std::uint8_t> faces) {
    const auto fault = [&](ImageProblem problem, int sector) {
        return ImageFault{problem, 0, Problem::none, true, static_cast<int>(track), side, sector};
    };
    bool found[kSectorsPerTrack] = {};
    TrackReader in(cells);
    std::uint8_t field[4 + 6] = {0xA1, 0xA1, 0xA1};
    int pending = 0;  // the sector whose ID came last, and well; 0: none
    while (in.next_sync()) {
        if (!in.read(field + 3, 1)) {
            break;
        }
        if (field[3] == kIdMark) {
            pending = 0;
            if (!in.read(field + 4, 6)) {
                break;
            }
            if (ccitt_crc({field, 10}) != 0) {
                return fault(ImageProblem::id_crc, field[6]);
            }
            // Another track's ID, or a sector past 16, is not one of this track's.
            if (field[4] == track && field[6] >= 1 && field[6] <= kSectorsPerTrack) {
                if (field[7] != 1) {
                    return fault(ImageProblem::sector_size, field[6]);
                }
                pending = field[6];
            }
        } else if ((field[3] == kDataMark || field[3] == kDeletedMark) && pending != 0) {
            std::uint8_t data[kSectorSize + 2];
            if (!in.read(data, sizeof data)) {
                break;
            }
            if (ccitt_crc(data, ccitt_crc({field, 4})) != 0) {
                return fault(ImageProblem::data_crc, pending);
            }
            if (!found[pending - 1]) {
                found[pending - 1] = true;
                const std::size_t at =
                    ((static_cast<std::size_t>(side) * kTracks + track) * kSectorsPerTrack +
                     static_cast<std::size_t>(pending) - 1) * kSectorSize;
                std::copy_n(data, kSectorSize, faces.begin() + static_cast<std::ptrdiff_t>(at));
            }
            pending = 0;
        }
    }
    for (std::size_t sector = 0; sector < kSectorsPerTrack; ++sector) {
        if (!found[sector]) {
            return fault(ImageProblem::no_sector, static_cast<int>(sector) + 1);
        }
    }
    return {};
}

// Decodes the HFE `file` whole into `faces`, as the .fd of the same disk.
ImageFault decode_hfe(std::span<const std::uint8_t> file, std::vector<std::uint8_t>& faces) {
    if (file.size() < 2 * kHfeBlock) {
        return {ImageProblem::size, file.size()};
    }
    for (std::size_t i = 0; i < 8; ++i) {
        if (file[i] != static_cast<std::uint8_t>(kHfeSignature[i])) {
            return {ImageProblem::hfe_header, i};
        }
    }
    // Revision 0, 80 tracks, 1 or 2 sides, MFM.
    if (file[8] != 0) {
        return {ImageProblem::hfe_header, 8};
    }
    if (file[9] != kTracks) {
        return {ImageProblem::hfe_header, 9};
    }
    if (file[10] != 1 && file[10] != 2) {
        return {ImageProblem::hfe_header, 10};
    }
    if (file[11] != 0) {
        return {ImageProblem::hfe_header, 11};
    }
    const int sides = file[10];
    const std::size_t list = (std::size_t{file[19]} << 8 | file[18]) * kHfeBlock;
    if (list + kTracks * 4 > file.size()) {
        return {ImageProblem::hfe_header, 18};
    }
    faces.assign(static_cast<std::size_t>(sides) * kFaceSize, 0);
    std::vector<std::uint8_t> cells;
    for (std::size_t track = 0; track < kTracks; ++track) {
        const std::uint8_t* const entry = file.data() + list + track * 4;
        const std::size_t start = (std::size_t{entry[1]} << 8 | entry[0]) * kHfeBlock;
        const std::size_t length = std::size_t{entry[3]} << 8 | entry[2];
        // Both sides' halves of every block the track starts.
        const std::size_t blocks = (length + kHfeBlock - 1) / kHfeBlock;
        if (length == 0 || start + blocks * kHfeBlock > file.size()) {
            return {ImageProblem::hfe_header, list + track * 4};
        }
        for (int side = 0; side < sides; ++side) {
            cells.resize(length / 2);
            for (std::size_t at = 0; at < cells.size(); at += kHfeHalf) {
                std::memcpy(cells.data() + at, file.data() + start + side_byte(at, side),
                            std::min(kHfeHalf, cells.size() - at));
            }
            if (ImageFault fault = decode_track(cells, track, side, faces);
                fault.problem != ImageProblem::none) {
                fault.offset = start;
                return fault;
            }
        }
    }
    return {};
}

// ---- SD: four faces, each sector followed by 256 x $FF.

std::size_t sd_sector_at(std::size_t face, std::size_t sector) {
    return (face * kTracks * kSectorsPerTrack + sector) * 2 * kSectorSize;
}

// Reads face `side` of the .sd `file` into `face`; a face all $FF holds
// nothing and reads as blank.
ImageFault read_sd(std::span<const std::uint8_t> file, std::vector<std::uint8_t>& face, int side) {
    if (file.size() != kSdSize) {
        return {ImageProblem::size, file.size()};
    }
    for (std::size_t at = 0; at < kSdSize; at += 2 * kSectorSize) {
        const auto filler = file.subspan(at + kSectorSize, kSectorSize);
        if (const auto wrong = std::find_if(filler.begin(), filler.end(),
                                            [](std::uint8_t byte) { return byte != 0xFF; });
            wrong != filler.end()) {
            return {ImageProblem::sd_filler, at + kSectorSize + static_cast<std::size_t>(wrong - filler.begin())};
        }
    }
    face.resize(kFaceSize);
    bool empty = true;
    for (std::size_t sector = 0; sector < kTracks * kSectorsPerTrack; ++sector) {
        const auto from = file.begin() + static_cast<std::ptrdiff_t>(sd_sector_at(static_cast<std::size_t>(side), sector));
        std::copy_n(from, kSectorSize, face.begin() + static_cast<std::ptrdiff_t>(sector * kSectorSize));
        empty = empty && std::all_of(from, from + kSectorSize, [](std::uint8_t b) { return b == 0xFF; });
    }
    if (empty) {
        face = blank_face();
    }
    return {};
}

// The .sd `file` (empty: none yet, every face empty) with face `side` made `face`.
std::vector<std::uint8_t> write_sd(std::span<const std::uint8_t> file,
                                   std::span<const std::uint8_t> face, int side) {
    std::vector<std::uint8_t> image(file.begin(), file.end());
    if (image.empty()) {
        image.assign(kSdSize, 0xFF);
    }
    for (std::size_t sector = 0; sector < kTracks * kSectorsPerTrack; ++sector) {
        std::copy_n(face.begin() + static_cast<std::ptrdiff_t>(sector * kSectorSize), kSectorSize,
                    image.begin() + static_cast<std::ptrdiff_t>(sd_sector_at(static_cast<std::size_t>(side), sector)));
    }
    return image;
}

bool ends_with(std::string_view path, std::string_view ending) {
    if (path.size() < ending.size()) {
        return false;
    }
    const std::string_view tail = path.substr(path.size() - ending.size());
    return std::equal(tail.begin(), tail.end(), ending.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a + 32) : a) == b;
    });
}

// Decodes the SAP `file` into `face`.
ImageFault read_sap(std::span<const std::uint8_t> file, std::vector<std::uint8_t>& face) {
    if (file.size() != kSapSize) {
        return {ImageProblem::size, file.size()};
    }
    // Version 0 or 1, then the signature's characters.
    if (file[0] > 1) {
        return {ImageProblem::sap_header, 0};
    }
    for (std::size_t i = 1; i < kSapHeaderSize; ++i) {
        if (file[i] != static_cast<std::uint8_t>(kSapSignature[i])) {
            return {ImageProblem::sap_header, i};
        }
    }
    face.assign(kFaceSize, 0);
    std::uint8_t plain[4 + kSectorSize];
    for (std::size_t sector = 0; sector < kTracks * kSectorsPerTrack; ++sector) {
        const std::size_t at = record_at(sector);
        const auto record = file.subspan(at, kSapRecordSize);
        if (!is_sap_format(record[0])) {
            return {ImageProblem::sap_place, at};
        }
        if (record[2] != sector / kSectorsPerTrack || record[3] != sector % kSectorsPerTrack + 1) {
            return {ImageProblem::sap_place, at + 2};
        }
        std::copy_n(record.begin(), 4, plain);
        for (std::size_t i = 0; i < kSectorSize; ++i) {
            plain[4 + i] = record[4 + i] ^ kSapXor;
        }
        const std::uint16_t crc = sap_crc(plain);
        if (record[4 + kSectorSize] != crc >> 8 || record[5 + kSectorSize] != (crc & 0xFF)) {
            return {ImageProblem::sap_crc, at + 4 + kSectorSize};
        }
        std::copy_n(plain + 4, kSectorSize, face.begin() + static_cast<std::ptrdiff_t>(sector * kSectorSize));
    }
    return {};
}

// The .fd `file` (empty: none yet) with face `side` made `face`.
std::vector<std::uint8_t> write_fd(std::span<const std::uint8_t> file,
                                   std::span<const std::uint8_t> face, int side) {
    // A new disk with face 1 asked for has face 0 too, formatted.
    std::vector<std::uint8_t> image(file.begin(), file.end());
    image.resize(std::max(file.size(), static_cast<std::size_t>(side + 1) * kFaceSize));
    const std::vector<std::uint8_t> blank = image.size() > file.size() ? blank_face() : std::vector<std::uint8_t>{};
    for (std::size_t at = file.size(); at < image.size(); at += kFaceSize) {
        std::copy(blank.begin(), blank.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    }
    std::copy(face.begin(), face.end(), image.begin() + static_cast<std::ptrdiff_t>(side) * kFaceSize);
    return image;
}

// The .sap `file` (empty: none yet) with its face made `face`.
std::vector<std::uint8_t> write_sap(std::span<const std::uint8_t> file,
                                    std::span<const std::uint8_t> face) {
    std::vector<std::uint8_t> image(file.begin(), file.end());
    if (image.empty()) {
        image.assign(kSapSize, 0);
        std::memcpy(image.data(), kSapSignature, kSapHeaderSize);
        for (std::size_t sector = 0; sector < kTracks * kSectorsPerTrack; ++sector) {
            const std::size_t at = record_at(sector);
            image[at] = kSapFormat;
            image[at + 2] = static_cast<std::uint8_t>(sector / kSectorsPerTrack);
            image[at + 3] = static_cast<std::uint8_t>(sector % kSectorsPerTrack + 1);
        }
    }
    // Each record keeps its own 4 header bytes; its bytes and CRC follow the
    // face, worked out again only where the sector changed.
    std::uint8_t plain[4 + kSectorSize];
    std::uint8_t stored[kSectorSize];
    for (std::size_t sector = 0; sector < kTracks * kSectorsPerTrack; ++sector) {
        const std::size_t at = record_at(sector);
        const auto bytes = image.begin() + static_cast<std::ptrdiff_t>(at) + 4;
        for (std::size_t i = 0; i < kSectorSize; ++i) {
            stored[i] = face[sector * kSectorSize + i] ^ kSapXor;
        }
        if (!file.empty() && std::equal(stored, stored + kSectorSize, bytes)) {
            continue;
        }
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), 4, plain);
        std::copy_n(face.begin() + static_cast<std::ptrdiff_t>(sector * kSectorSize), kSectorSize,
                    plain + 4);
        const std::uint16_t crc = sap_crc(plain);
        std::copy_n(stored, kSectorSize, bytes);
        image[at + 4 + kSectorSize] = static_cast<std::uint8_t>(crc >> 8);
        image[at + 5 + kSectorSize] = static_cast<std::uint8_t>(crc & 0xFF);
    }
    return image;
}

}  // namespace

Container container_of(std::string_view path) {
    if (ends_with(path, ".fd")) {
        return Container::fd;
    }
    if (ends_with(path, ".sap")) {
        return Container::sap;
    }
    if (ends_with(path, ".hfe")) {
        return Container::hfe;
    }
    if (ends_with(path, ".sd")) {
        return Container::sd;
    }
    return Container::unknown;
}

int faces_of(Container container) {
    switch (container) {
        case Container::fd:
        case Container::hfe:
            return kFaces;
        case Container::sd:
            return kSdFaces;
        default:
            return 1;
    }
}

std::size_t largest_image(Container container) {
    switch (container) {
        case Container::sap:
            return kSapSize;
        case Container::hfe:
            return kHfeSize;
        case Container::sd:
            return kSdSize;
        default:
            return kFaces * kFaceSize;
    }
}

std::uint16_t ccitt_crc(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
    // Eight bytes at a time: table k holds what a byte does to the CRC
    // followed by k bytes of zeros.
    static constexpr auto kTables = [] {
        std::array<std::array<std::uint16_t, 256>, 8> tables{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            unsigned value = byte << 8;
            for (int bit = 0; bit < 8; ++bit) {
                value = (value & 0x8000) != 0 ? value << 1 ^ 0x1021 : value << 1;
            }
            tables[0][byte] = static_cast<std::uint16_t>(value);
        }
        for (std::size_t k = 1; k < 8; ++k) {
            for (unsigned byte = 0; byte < 256; ++byte) {
                const unsigned before = tables[k - 1][byte];
                tables[k][byte] = static_cast<std::uint16_t>(before << 8 ^ tables[0][before >> 8]);
            }
        }
        return tables;
    }();
    const auto& t = kTables;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        const unsigned x = crc ^ (unsigned{bytes[at]} << 8 | bytes[at + 1]);
        crc = static_cast<std::uint16_t>(t[7][x >> 8] ^ t[6][x & 0xFF] ^ t[5][bytes[at + 2]] ^
                                         t[4][bytes[at + 3]] ^ t[3][bytes[at + 4]] ^
                                         t[2][bytes[at + 5]] ^ t[1][bytes[at + 6]] ^ t[0][bytes[at + 7]]);
    }
    for (; at < bytes.size(); ++at) {
        crc = static_cast<std::uint16_t>(crc << 8 ^ t[0][(crc >> 8 ^ bytes[at]) & 0xFF]);
    }
    return crc;
}

std::uint16_t sap_crc(std::span<const std::uint8_t> record) {
    // CRC-16, the reflected CCITT polynomial, from $FFFF, nothing XORed at
    // the end; eight bytes at a time, table k holding what a byte does to
    // the CRC followed by k bytes of zeros.
    static constexpr auto kTables = [] {
        std::array<std::array<std::uint16_t, 256>, 8> tables{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            unsigned crc = byte;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 1) != 0 ? crc >> 1 ^ 0x8408 : crc >> 1;
            }
            tables[0][byte] = static_cast<std::uint16_t>(crc);
        }
        for (std::size_t k = 1; k < 8; ++k) {
            for (unsigned byte = 0; byte < 256; ++byte) {
                const unsigned before = tables[k - 1][byte];
                tables[k][byte] = static_cast<std::uint16_t>(before >> 8 ^ tables[0][before & 0xFF]);
            }
        }
        return tables;
    }();
    const auto& t = kTables;
    std::uint16_t crc = 0xFFFF;
    std::size_t at = 0;
    for (; at + 8 <= record.size(); at += 8) {
        const unsigned x = crc ^ (record[at] | unsigned{record[at + 1]} << 8);
        crc = static_cast<std::uint16_t>(t[7][x & 0xFF] ^ t[6][x >> 8] ^ t[5][record[at + 2]] ^
                                         t[4][record[at + 3]] ^ t[3][record[at + 4]] ^
                                         t[2][record[at + 5]] ^ t[1][record[at + 6]] ^ t[0][record[at + 7]]);
    }
    for (; at < record.size(); ++at) {
        crc = static_cast<std::uint16_t>(crc >> 8 ^ t[0][(crc ^ record[at]) & 0xFF]);
    }
    return crc;
}

std::optional<int> face_number(std::string_view text) {
    if (text.size() == 1 && text[0] >= '0' && text[0] < '0' + kSdFaces) {
        return text[0] - '0';
    }
    return std::nullopt;
}

ImageFault read_image(Container container, std::span<const std::uint8_t> file,
                      std::vector<std::uint8_t>& face, std::vector<File>& files, int side,
                      std::vector<std::uint8_t>* decoded) {
    files.clear();
    if (file.empty()) {
        face = blank_face();
        return {};
    }
    if (container == Container::sap) {
        if (ImageFault fault = read_sap(file, face); fault.problem != ImageProblem::none) {
            return fault;
        }
        if (side != 0) {
            return {ImageProblem::one_face, file.size()};
        }
    } else if (container == Container::sd) {
        if (ImageFault fault = read_sd(file, face, side); fault.problem != ImageProblem::none) {
            return fault;
        }
    } else if (container == Container::hfe) {
        std::vector<std::uint8_t> faces;
        if (ImageFault fault = decode_hfe(file, faces); fault.problem != ImageProblem::none) {
            return fault;
        }
        if (faces.size() < static_cast<std::size_t>(side + 1) * kFaceSize) {
            return {ImageProblem::one_face, file.size()};
        }
        const auto start = faces.begin() + static_cast<std::ptrdiff_t>(side) * kFaceSize;
        face.assign(start, start + kFaceSize);
        if (decoded != nullptr) {
            *decoded = std::move(faces);
        }
    } else if (file.size() == kFaceSize || file.size() == kFaces * kFaceSize) {
        // Never grown to a second face: the emulator takes the disk's kind from its size.
        if (file.size() < static_cast<std::size_t>(side + 1) * kFaceSize) {
            return {ImageProblem::one_face, file.size()};
        }
        const auto start = file.begin() + static_cast<std::ptrdiff_t>(side) * kFaceSize;
        face.assign(start, start + kFaceSize);
    } else {
        return {ImageProblem::size, file.size()};
    }
    const Fault fault = read_face(face, files);
    if (fault.problem != Problem::none && container == Container::hfe) {
        const std::size_t sector = fault.offset / kSectorSize;
        return {ImageProblem::face, 0, fault.problem, true,
                static_cast<int>(sector / kSectorsPerTrack), side,
                static_cast<int>(sector % kSectorsPerTrack) + 1};
    }
    if (fault.problem != Problem::none) {
        return {ImageProblem::face, file_offset(container, fault.offset, side), fault.problem};
    }
    return {};
}

std::vector<std::uint8_t> write_image(Container container, std::span<const std::uint8_t> file,
                                      std::span<const std::uint8_t> face, int side,
                                      std::vector<std::uint8_t>* decoded) {
    switch (container) {
        case Container::sap:
            return write_sap(file, face);
        case Container::sd:
            return write_sd(file, face, side);
        case Container::hfe: {
            // Read already whole, the disk is written back whole in vork's own layout.
            if (decoded != nullptr && !file.empty()) {
                std::copy(face.begin(), face.end(),
                          decoded->begin() + static_cast<std::ptrdiff_t>(side) * kFaceSize);
                return encode_hfe(*decoded);
            }
            std::vector<std::uint8_t> faces;
            if (!file.empty()) {
                decode_hfe(file, faces);
            }
            return encode_hfe(write_fd(faces, face, side));
        }
        default:
            return write_fd(file, face, side);
    }
}

}  // namespace vork::disk
