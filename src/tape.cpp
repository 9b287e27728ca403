#include "tape.h"

#include <algorithm>

namespace vork::tape {

namespace {

constexpr std::size_t kLeader = 16;  // $01 bytes before each block
constexpr std::uint8_t kName = 0x00, kData = 0x01, kEnd = 0xFF;

// Appends one block of `type` holding `bytes` to `tape`.
void put_block(std::vector<std::uint8_t>& tape, std::uint8_t type,
               std::span<const std::uint8_t> bytes) {
    tape.insert(tape.end(), kLeader, 0x01);
    tape.insert(tape.end(), {0x3C, 0x5A, type, static_cast<std::uint8_t>(bytes.size() + 2)});
    std::uint8_t sum = 0;
    for (const std::uint8_t byte : bytes) {
        tape.push_back(byte);
        sum = static_cast<std::uint8_t>(sum + byte);
    }
    tape.push_back(static_cast<std::uint8_t>(-sum));
}

}  // namespace

bool is_tape(std::string_view path) {
    if (path.size() < 3) {
        return false;
    }
    const std::string_view tail = path.substr(path.size() - 3);
    return tail[0] == '.' && (tail[1] == 'k' || tail[1] == 'K') && tail[2] == '7';
}

std::vector<std::uint8_t> mo5_tape(const std::array<char, disk::kNameSize>& name,
                                   std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> tape;
    // The name block: name and extension, the type (machine code), and two
    // format bytes (binary).
    std::uint8_t header[disk::kNameSize + 3] = {};
    for (std::size_t i = 0; i < disk::kNameSize; ++i) {
        header[i] = static_cast<std::uint8_t>(name[i]);
    }
    header[disk::kNameSize] = disk::kTypeMachineCode;
    header[disk::kNameSize + 1] = disk::kFormatBinary;
    header[disk::kNameSize + 2] = disk::kFormatBinary;
    put_block(tape, kName, header);
    for (std::size_t at = 0; at < data.size(); at += kBlockData) {
        put_block(tape, kData, data.subspan(at, std::min(kBlockData, data.size() - at)));
    }
    put_block(tape, kEnd, {});
    return tape;
}

std::size_t tape_blocks(std::size_t size) { return (size + kBlockData - 1) / kBlockData + 2; }

}  // namespace vork::tape
