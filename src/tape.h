// MO5 tape images (.k7): the bytes the MO5's tape routine reads, block after
// block. Each block has a leader of $01 bytes, the marker 3C 5A, its type
// (00: the file's name, 01: data, FF: the end), its length (the bytes that
// follow it, plus one; 0 stands for 256) and, after its bytes, a checksum
// that brings their sum to 0 modulo 256.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "thomson_disk.h"

namespace vork::tape {

// Data bytes in each full block.
inline constexpr std::size_t kBlockData = 254;

// Whether `path` names an MO5 tape image, by its extension in any case.
bool is_tape(std::string_view path);

// The tape holding `data` as the machine-code binary `name`: a name
// block, data blocks of 254 bytes (the last one shorter), an end block.
std::vector<std::uint8_t> mo5_tape(const std::array<char, disk::kNameSize>& name,
                                   std::span<const std::uint8_t> data);

// How many blocks mo5_tape() writes for `size` bytes, name and end blocks included.
std::size_t tape_blocks(std::size_t size);

}  // namespace vork::tape
