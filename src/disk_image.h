// Thomson disk image files, as emulators and imgtool read them: `.fd`, the
// sectors one after another (one face, or two, face 0 first), and `.sap`, a
// 66-byte header then each sector of one face in a record of its own (4
// header bytes, the 256 bytes XORed with $B3, a CRC of both).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "thomson_disk.h"

namespace vork::disk {

enum class Container { fd, sap, unknown };

// The container `path` names by its extension, in any case.
Container container_of(std::string_view path);

inline constexpr std::size_t kSapHeaderSize = 66;
inline constexpr std::size_t kSapRecordSize = 4 + kSectorSize + 2;
inline constexpr std::size_t kSapSize = kSapHeaderSize + kTracks * kSectorsPerTrack * kSapRecordSize;
// The faces a .fd may have; a .sap holds one.
inline constexpr int kFaces = 2;
// The largest image read: a two-faced .fd.
inline constexpr std::size_t kMaxImageFileSize = kFaces * kFaceSize;

enum class ImageProblem {
    none,
    size,          // not a size this container has
    one_face,      // a face asked for that the image does not have
    sap_header,    // not the SAP signature
    sap_place,     // a record that is not the sector expected there, or of a format not 80 tracks
    sap_crc,       // a record whose CRC does not match
    face,          // the file system: see `face`
};

struct ImageFault {
    ImageProblem problem = ImageProblem::none;
    std::size_t offset = 0;  // in the image file
    Problem face = Problem::none;
};

// Reads face `side` (0 or 1) of the image `file` in `container` into
// `face`, checking the container whole and the face's file system into
// `files`; an empty file stands for a blank disk.
ImageFault read_image(Container container, std::span<const std::uint8_t> file,
                      std::vector<std::uint8_t>& face, std::vector<File>& files, int side = 0);

// The image file `file` (empty: none yet) with face `side` made `face`;
// every other byte as it was, a new .fd's faces before it blank, a new SAP's
// records of format 00.
std::vector<std::uint8_t> write_image(Container container, std::span<const std::uint8_t> file,
                                      std::span<const std::uint8_t> face, int side = 0);

// The face `text` names, exactly "0" or "1"; none otherwise.
std::optional<int> face_number(std::string_view text);

// The SAP check of a record's 4 header bytes and its sector's plain bytes.
std::uint16_t sap_crc(std::span<const std::uint8_t> record);

}  // namespace vork::disk
