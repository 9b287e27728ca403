// The Thomson disk system's files on one face of a double-density disk:
// 80 tracks of 16 sectors of 256 bytes, laid out sector after sector. Track
// 20 holds the disk's name (sector 1), the allocation table (sector 2) and
// the directory (sectors 3 to 16); the rest is 160 blocks of half a track,
// of which each sector carries 255 bytes of a file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vork::disk {

inline constexpr std::size_t kSectorSize = 256;
inline constexpr std::size_t kSectorsPerTrack = 16;
inline constexpr std::size_t kTracks = 80;
inline constexpr std::size_t kFaceSize = kTracks * kSectorsPerTrack * kSectorSize;  // 327,680
inline constexpr std::size_t kBlocks = kTracks * 2;
inline constexpr std::size_t kBytesPerSector = 255;  // of a file, in each sector
inline constexpr std::size_t kSectorsPerBlock = 8;
inline constexpr std::size_t kBlockBytes = kBytesPerSector * kSectorsPerBlock;  // 2,040
inline constexpr std::size_t kDirectoryEntries = 112;
inline constexpr std::size_t kNameSize = 11;  // eight of name, three of extension

// The file types and format flags of the directory.
inline constexpr std::uint8_t kTypeMachineCode = 2;
inline constexpr std::uint8_t kFormatBinary = 0x00;

// What is wrong with a face, at `offset` (counted from the face's start).
enum class Problem {
    none,
    table_value,    // an allocation table byte that is neither a block, an end, free nor reserved
    first_block,    // a file starts on a block that is not on the disk
    chain_free,     // a file's chain reaches a block that is free or reserved
    chain_loop,     // a file's chain comes back on itself
    shared_block,   // a block in the chains of two files
    entry_name,     // a directory entry whose name is not printable ASCII
    last_bytes,     // more than 255 bytes used in a file's last sector
};

struct Fault {
    Problem problem = Problem::none;
    std::size_t offset = 0;
};

// One file of the directory.
struct File {
    std::array<char, kNameSize> name{};
    std::uint8_t type = 0;
    std::uint8_t format = 0;
    std::size_t entry = 0;            // its place in the directory, from 0
    std::vector<std::uint8_t> chain;  // its blocks, in order
    std::size_t size = 0;             // bytes
};

// The day the directory stamps on a file; all zero: none.
struct Date {
    std::uint8_t day = 0, month = 0, year = 0;  // year: its last two digits
};

// `name` as the directory shows it: "HELLO.BIN", or "HELLO" without an extension.
std::string shown_name(const std::array<char, kNameSize>& name);

// The directory's form of `base` (a file's name without its folder): up
// to eight letters, digits, '-' or '_', then optionally a dot and up to
// three more, upper-cased and padded with blanks; nothing when it does not
// fit as it is (never cut short).
std::optional<std::array<char, kNameSize>> disk_name(std::string_view base);

// A face as a fresh format leaves it: every data byte $E5, a blank name,
// every block free but track 20's, an empty directory.
std::vector<std::uint8_t> blank_face();

// Reads the directory of `face` (kFaceSize bytes) and follows every file's
// chain; the first fault found, in directory order, leaves `files` partial.
Fault read_face(std::span<const std::uint8_t> face, std::vector<File>& files);

// The bytes of `file`, read from `face` along its chain.
std::vector<std::uint8_t> file_bytes(std::span<const std::uint8_t> face, const File& file);

// The blocks free for a file on `face`.
std::size_t free_blocks(std::span<const std::uint8_t> face);

// The blocks a file of `size` bytes takes; even an empty file takes one.
std::size_t blocks_for(std::size_t size);

enum class Put {
    added,     // a new entry
    replaced,  // the file of that name, its blocks freed first
    no_room,   // too few blocks, even with those of a file of that name
    no_entry,  // the directory is full
};

// Puts `data` on `face`, already read whole without a fault, as the
// machine-code binary `name` dated `date`; a file of that name is replaced,
// its own chain freed. No room is found out before the face changes.
Put put_file(std::vector<std::uint8_t>& face, const std::array<char, kNameSize>& name,
             std::span<const std::uint8_t> data, Date date);

}  // namespace vork::disk
