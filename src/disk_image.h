// Thomson disk image files, as emulators and imgtool read them: `.fd`, the
// sectors one after another (one face, or two, face 0 first), and `.sap`, a
// 66-byte header then each sector of one face in a record of its own (4
// header bytes, the 256 bytes XORed with $B3, a CRC of both). And as floppy
// emulators read them: `.hfe` (HxC, Gotek), the track's magnetic cells of
// one or two sides, and `.sd` (SDDRIVE), four faces of 512-byte sectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "thomson_disk.h"

namespace vork::disk {

enum class Container { fd, sap, hfe, sd, unknown };

// The container `path` names by its extension, in any case.
Container container_of(std::string_view path);

inline constexpr std::size_t kSapHeaderSize = 66;
inline constexpr std::size_t kSapRecordSize = 4 + kSectorSize + 2;
inline constexpr std::size_t kSapSize = kSapHeaderSize + kTracks * kSectorsPerTrack * kSapRecordSize;
// The faces a .fd may have; a .sap holds one.
inline constexpr int kFaces = 2;
// An HFE file: a header block, the track list's block, then each track's
// 12,500 bytes of cells a side in 49 blocks of 512 bytes.
inline constexpr std::size_t kHfeBlock = 512;
inline constexpr std::size_t kHfeSideBytes = 12500;
inline constexpr std::size_t kHfeTrackBlocks = (2 * kHfeSideBytes + kHfeBlock - 1) / kHfeBlock;
inline constexpr std::size_t kHfeSize = (2 + kTracks * kHfeTrackBlocks) * kHfeBlock;  // 2,008,064
// An SDDRIVE image: 4 faces, each sector 512 bytes, its 256 and then 256 x $FF.
inline constexpr int kSdFaces = 4;
inline constexpr std::size_t kSdSize = kSdFaces * 2 * kFaceSize;  // 2,621,440
// The largest image read: an .sd.
inline constexpr std::size_t kMaxImageFileSize = kSdSize;

// The faces an image of `container` may have.
int faces_of(Container container);

// The largest file an image of `container` may be.
std::size_t largest_image(Container container);

enum class ImageProblem {
    none,
    size,          // not a size this container has
    one_face,      // a face asked for that the image does not have
    sap_header,    // not the SAP signature
    sap_place,     // a record that is not the sector expected there, or of a format not 80 tracks
    sap_crc,       // a record whose CRC does not match
    hfe_header,    // not an HFE header of 80 tracks of MFM on one or two sides
    sd_filler,     // an .sd sector's second half, or an empty face, not all $FF
    // In an HFE track: see `track`, `side` and `sector`.
    no_sector,     // a sector not found
    id_crc,        // a sector's ID field whose CRC does not match
    data_crc,      // a sector's data whose CRC does not match
    sector_size,   // a sector of another size than 256 bytes
    face,          // the file system: see `face`
};

struct ImageFault {
    ImageProblem problem = ImageProblem::none;
    std::size_t offset = 0;  // in the image file
    Problem face = Problem::none;
    bool at_sector = false;               // told by track, side and sector, not offset
    int track = 0, side = 0, sector = 0;  // of an HFE sector
};

// Reads face `side` of the image `file` in `container` into `face`,
// checking the container whole and the face's file system into `files`; an
// empty file stands for a blank disk. An .hfe's faces, decoded, go to
// `decoded` when given, for write_image().
ImageFault read_image(Container container, std::span<const std::uint8_t> file,
                      std::vector<std::uint8_t>& face, std::vector<File>& files, int side = 0,
                      std::vector<std::uint8_t>* decoded = nullptr);

// The image file `file` (empty: none yet) with face `side` made `face`;
// every other byte as it was, a new .fd's faces before it blank, a new SAP's
// records of format 00, a new .sd's other faces all $FF; an .hfe written
// whole in HxC's layout, from its faces `decoded` by read_image() when given
// (face `side` of them made `face` in place).
std::vector<std::uint8_t> write_image(Container container, std::span<const std::uint8_t> file,
                                      std::span<const std::uint8_t> face, int side = 0,
                                      std::vector<std::uint8_t>* decoded = nullptr);

// The face `text` names, exactly "0" to "3"; none otherwise.
std::optional<int> face_number(std::string_view text);

// The SAP check of a record's 4 header bytes and its sector's plain bytes.
std::uint16_t sap_crc(std::span<const std::uint8_t> record);

// CRC-16/CCITT (polynomial $1021, from `crc`, most significant bit first), as
// a floppy controller checks a sector's ID and data.
std::uint16_t ccitt_crc(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0xFFFF);

}  // namespace vork::disk
