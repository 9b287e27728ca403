#include "thomson_disk.h"

#include <algorithm>

namespace vork::disk {

namespace {

constexpr std::size_t kSystemTrack = 20;
constexpr std::size_t kSystem = kSystemTrack * kSectorsPerTrack * kSectorSize;
constexpr std::size_t kTable = kSystem + kSectorSize;           // sector 2
constexpr std::size_t kDirectory = kSystem + 2 * kSectorSize;   // sectors 3 to 16
constexpr std::size_t kEntrySize = 32;

// Allocation table bytes, one per block after a first byte of 0.
constexpr std::uint8_t kFree = 0xFF;
constexpr std::uint8_t kReserved = 0xFE;      // track 20's blocks, as a fresh format marks them
constexpr std::uint8_t kReservedToo = 0xFB;   // reserved, as some disks mark it
constexpr std::uint8_t kLastBlock = 0xC1;     // $C1 to $C8: the last block, with 1 to 8 sectors used
// Directory entries: first byte 0, a deleted file; $FF, the end of the directory.
constexpr std::uint8_t kDeleted = 0x00;
constexpr std::uint8_t kEnd = 0xFF;

// Entry fields.
constexpr std::size_t kType = 11, kFormat = 12, kFirstBlock = 13, kLastBytes = 14, kDate = 24;

std::size_t table_at(std::size_t block) { return kTable + 1 + block; }
std::size_t entry_at(std::size_t entry) { return kDirectory + entry * kEntrySize; }

// Where sector `index` (0 to 7) of `block` begins on the face.
std::size_t sector_at(std::size_t block, std::size_t index) {
    return ((block / 2) * kSectorsPerTrack + (block % 2) * kSectorsPerBlock + index) * kSectorSize;
}

bool is_system_block(std::size_t block) { return block / 2 == kSystemTrack; }
bool is_end(std::uint8_t value) { return value >= kLastBlock && value < kLastBlock + 8; }

bool name_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
}

// Follows the chain of the entry at `at`, marking its blocks in `owner`
// (0: nobody's; else the entry's index + 1).
Fault follow(std::span<const std::uint8_t> face, std::size_t at, File& file,
             std::vector<std::size_t>& owner) {
    std::size_t block = face[at + kFirstBlock];
    if (block >= kBlocks) {
        return {Problem::first_block, at + kFirstBlock};
    }
    const std::size_t last_bytes = std::size_t{face[at + kLastBytes]} << 8 | face[at + kLastBytes + 1];
    if (last_bytes > kBytesPerSector) {
        return {Problem::last_bytes, at + kLastBytes};
    }
    std::size_t from = at + kFirstBlock;  // the byte that leads to `block`
    for (;;) {
        const std::uint8_t next = face[table_at(block)];
        if (is_system_block(block) || !(next < kBlocks || is_end(next))) {
            return {Problem::chain_free, from};
        }
        if (owner[block] == file.entry + 1) {
            return {Problem::chain_loop, from};
        }
        if (owner[block] != 0) {
            return {Problem::shared_block, from};
        }
        owner[block] = file.entry + 1;
        file.chain.push_back(static_cast<std::uint8_t>(block));
        if (is_end(next)) {
            file.size = (file.chain.size() - 1) * kBlockBytes +
                        (next - kLastBlock) * kBytesPerSector + last_bytes;
            return {};
        }
        from = table_at(block);
        block = next;
    }
}

}  // namespace

std::string shown_name(const std::array<char, kNameSize>& name) {
    std::string shown(name.data(), 8);
    shown.erase(shown.find_last_not_of(' ') + 1);
    std::string extension(name.data() + 8, 3);
    extension.erase(extension.find_last_not_of(' ') + 1);
    return extension.empty() ? shown : shown + "." + extension;
}

std::optional<std::array<char, kNameSize>> disk_name(std::string_view base) {
    const std::size_t dot = base.find('.');
    const std::string_view stem = base.substr(0, dot);
    const std::string_view extension =
        dot == std::string_view::npos ? std::string_view{} : base.substr(dot + 1);
    if (stem.empty() || stem.size() > 8 || extension.size() > 3 ||
        (dot != std::string_view::npos && extension.empty()) ||
        !std::all_of(stem.begin(), stem.end(), name_character) ||
        !std::all_of(extension.begin(), extension.end(), name_character)) {
        return std::nullopt;
    }
    std::array<char, kNameSize> name;
    name.fill(' ');
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    for (std::size_t i = 0; i < stem.size(); ++i) {
        name[i] = upper(stem[i]);
    }
    for (std::size_t i = 0; i < extension.size(); ++i) {
        name[8 + i] = upper(extension[i]);
    }
    return name;
}

std::vector<std::uint8_t> blank_face() {
    std::vector<std::uint8_t> face(kFaceSize, 0xE5);
    std::fill_n(face.begin() + kSystem, kSectorSize, 0xFF);
    std::fill_n(face.begin() + kSystem, 8, ' ');
    std::fill_n(face.begin() + kTable, kSectorSize, 0x00);
    for (std::size_t block = 0; block < kBlocks; ++block) {
        face[table_at(block)] = is_system_block(block) ? kReserved : kFree;
    }
    std::fill(face.begin() + kDirectory, face.begin() + kSystem + kSectorsPerTrack * kSectorSize,
              0xFF);
    return face;
}

Fault read_face(std::span<const std::uint8_t> face, std::vector<File>& files) {
    files.clear();
    for (std::size_t block = 0; block < kBlocks; ++block) {
        const std::uint8_t value = face[table_at(block)];
        if (!(value < kBlocks || is_end(value) || value == kFree || value == kReserved ||
              value == kReservedToo)) {
            return {Problem::table_value, table_at(block)};
        }
    }
    std::vector<std::size_t> owner(kBlocks, 0);
    for (std::size_t entry = 0; entry < kDirectoryEntries; ++entry) {
        const std::size_t at = entry_at(entry);
        if (face[at] == kEnd) {
            break;
        }
        if (face[at] == kDeleted) {
            continue;
        }
        for (std::size_t i = 0; i < kNameSize; ++i) {
            if (face[at + i] < 0x20 || face[at + i] > 0x7E) {
                return {Problem::entry_name, at + i};
            }
        }
        File file;
        std::copy_n(face.begin() + static_cast<std::ptrdiff_t>(at), kNameSize, file.name.begin());
        file.type = face[at + kType];
        file.format = face[at + kFormat];
        file.entry = entry;
        if (const Fault fault = follow(face, at, file, owner); fault.problem != Problem::none) {
            return fault;
        }
        files.push_back(std::move(file));
    }
    return {};
}

std::vector<std::uint8_t> file_bytes(std::span<const std::uint8_t> face, const File& file) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(file.size);
    for (const std::size_t block : file.chain) {
        for (std::size_t index = 0; index < kSectorsPerBlock && bytes.size() < file.size; ++index) {
            const std::size_t take = std::min(kBytesPerSector, file.size - bytes.size());
            const auto from = face.begin() + static_cast<std::ptrdiff_t>(sector_at(block, index));
            bytes.insert(bytes.end(), from, from + static_cast<std::ptrdiff_t>(take));
        }
    }
    return bytes;
}

std::size_t free_blocks(std::span<const std::uint8_t> face) {
    std::size_t count = 0;
    for (std::size_t block = 0; block < kBlocks; ++block) {
        count += !is_system_block(block) && face[table_at(block)] == kFree;
    }
    return count;
}

std::size_t blocks_for(std::size_t size) {
    return size == 0 ? 1 : (size + kBlockBytes - 1) / kBlockBytes;
}

Put put_file(std::vector<std::uint8_t>& face, const std::array<char, kNameSize>& name,
             std::span<const std::uint8_t> data, Date date) {
    std::vector<File> files;
    read_face(face, files);
    const auto same = std::find_if(files.begin(), files.end(),
                                   [&](const File& file) { return file.name == name; });
    const std::size_t needed = blocks_for(data.size());
    if (needed > free_blocks(face) + (same != files.end() ? same->chain.size() : 0)) {
        return Put::no_room;
    }
    std::size_t entry = kDirectoryEntries;
    if (same != files.end()) {
        entry = same->entry;
    } else {
        for (std::size_t i = 0; i < kDirectoryEntries; ++i) {
            if (face[entry_at(i)] == kDeleted || face[entry_at(i)] == kEnd) {
                entry = i;
                break;
            }
        }
        if (entry == kDirectoryEntries) {
            return Put::no_entry;
        }
        // Taking the end's place, the end moves one on.
        if (face[entry_at(entry)] == kEnd && entry + 1 < kDirectoryEntries) {
            face[entry_at(entry + 1)] = kEnd;
        }
    }
    if (same != files.end()) {
        for (const std::size_t block : same->chain) {
            face[table_at(block)] = kFree;
        }
    }
    // Blocks taken from the first free one on, as imgtool takes them.
    std::vector<std::size_t> chain;
    for (std::size_t block = 0; chain.size() < needed; ++block) {
        if (!is_system_block(block) && face[table_at(block)] == kFree) {
            chain.push_back(block);
        }
    }
    std::size_t at = 0;
    std::size_t last_bytes = 0;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        std::size_t used = 0;
        do {
            const std::size_t take = std::min(kBytesPerSector, data.size() - at);
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), take,
                        face.begin() + static_cast<std::ptrdiff_t>(sector_at(chain[i], used)));
            at += take;
            last_bytes = take;
            ++used;
        } while (used < kSectorsPerBlock && at < data.size());
        face[table_at(chain[i])] = i + 1 < chain.size()
                                       ? static_cast<std::uint8_t>(chain[i + 1])
                                       : static_cast<std::uint8_t>(kLastBlock + used - 1);
    }
    const auto base = face.begin() + static_cast<std::ptrdiff_t>(entry_at(entry));
    std::fill_n(base, kEntrySize, 0x00);
    std::copy(name.begin(), name.end(), base);
    base[kType] = kTypeMachineCode;
    base[kFormat] = kFormatBinary;
    base[kFirstBlock] = static_cast<std::uint8_t>(chain.front());
    base[kLastBytes] = static_cast<std::uint8_t>(last_bytes >> 8);
    base[kLastBytes + 1] = static_cast<std::uint8_t>(last_bytes & 0xFF);
    base[kDate] = date.day;
    base[kDate + 1] = date.month;
    base[kDate + 2] = date.year;
    return same != files.end() ? Put::replaced : Put::added;
}

}  // namespace vork::disk
