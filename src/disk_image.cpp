#include "disk_image.h"

#include <algorithm>
#include <array>
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

// Where byte `offset` of face `side` lies in the image file.
std::size_t file_offset(Container container, std::size_t offset, int side) {
    if (container != Container::sap) {
        return static_cast<std::size_t>(side) * kFaceSize + offset;
    }
    return record_at(offset / kSectorSize) + 4 + offset % kSectorSize;
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
    std::vector<std::uint8_t> image(
        std::max(file.size(), static_cast<std::size_t>(side + 1) * kFaceSize));
    std::copy(file.begin(), file.end(), image.begin());
    const std::vector<std::uint8_t> blank = blank_face();
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
    // Each record keeps its own 4 header bytes; its bytes and CRC follow the face.
    std::uint8_t plain[4 + kSectorSize];
    for (std::size_t sector = 0; sector < kTracks * kSectorsPerTrack; ++sector) {
        const std::size_t at = record_at(sector);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), 4, plain);
        std::copy_n(face.begin() + static_cast<std::ptrdiff_t>(sector * kSectorSize), kSectorSize,
                    plain + 4);
        const std::uint16_t crc = sap_crc(plain);
        for (std::size_t i = 0; i < kSectorSize; ++i) {
            image[at + 4 + i] = plain[4 + i] ^ kSapXor;
        }
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
    return Container::unknown;
}

std::uint16_t sap_crc(std::span<const std::uint8_t> record) {
    // CRC-16, the reflected CCITT polynomial, from $FFFF, nothing XORed at
    // the end; a byte at a time, through the table of its 256 remainders.
    static constexpr auto kTable = [] {
        std::array<std::uint16_t, 256> table{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            unsigned crc = byte;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 1) != 0 ? crc >> 1 ^ 0x8408 : crc >> 1;
            }
            table[byte] = static_cast<std::uint16_t>(crc);
        }
        return table;
    }();
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t byte : record) {
        crc = static_cast<std::uint16_t>(crc >> 8 ^ kTable[(crc ^ byte) & 0xFF]);
    }
    return crc;
}

std::optional<int> face_number(std::string_view text) {
    if (text == "0" || text == "1") {
        return text[0] - '0';
    }
    return std::nullopt;
}

ImageFault read_image(Container container, std::span<const std::uint8_t> file,
                      std::vector<std::uint8_t>& face, std::vector<File>& files, int side) {
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
    if (fault.problem != Problem::none) {
        return {ImageProblem::face, file_offset(container, fault.offset, side), fault.problem};
    }
    return {};
}

std::vector<std::uint8_t> write_image(Container container, std::span<const std::uint8_t> file,
                                      std::span<const std::uint8_t> face, int side) {
    return container == Container::sap ? write_sap(file, face) : write_fd(file, face, side);
}

}  // namespace vork::disk
