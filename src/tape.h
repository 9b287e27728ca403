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

// Whether `path` names an MO5 tape image (.k7), or its sound (.wav), by
// its extension in any case.
bool is_tape(std::string_view path);

// The tape holding `data` as the machine-code binary `name`: a name
// block, data blocks of 254 bytes (the last one shorter), an end block.
std::vector<std::uint8_t> mo5_tape(const std::array<char, disk::kNameSize>& name,
                                   std::span<const std::uint8_t> data);

// How many blocks mo5_tape() writes for `size` bytes, name and end blocks included.
std::size_t tape_blocks(std::size_t size);

// Whether `path` names a sound of an MO5 tape (.wav), by its extension in any case.
bool is_sound(std::string_view path);

// The sound of the MO5 tape `tape` (as mo5_tape() makes it) as the MO5's
// cassette input hears it: a WAV file, 16-bit mono PCM at 22,100 Hz, each
// bit two half-bits of 0.4165 ms (a 1 changes level between them, every bit
// changes level at its end), bytes most significant bit first, each block
// led by 1,200 bits of 0 (name and end blocks) or 300 (data blocks) and its
// $01 bytes (10 at least), the name and end blocks followed by 1,800 bits
// of 0; sampled as castool (mame-tools) samples it, so that the two match
// byte for byte.
std::vector<std::uint8_t> mo5_sound(std::span<const std::uint8_t> tape);

// The largest tape read: more than both sides of a 90-minute cassette at
// the MO5's 1,200 bits a second, and room for fourteen programs of 64 KiB.
inline constexpr std::size_t kMaxTapeSize = 1024 * 1024;

// One program of a tape: its name block, data blocks and end block.
struct Program {
    std::array<char, disk::kNameSize> name{};
    std::uint8_t type = 0;
    std::uint8_t format = 0;
    std::size_t start = 0;  // its first byte in the tape: the leader after the previous program
    std::size_t end = 0;    // one past its end block's checksum
    std::vector<std::uint8_t> data;
};

enum class TapeProblem {
    none,
    size,          // larger than kMaxTapeSize
    not_a_block,   // a byte that is neither leader ($01) nor a block's marker 3C 5A
    block_type,    // a type other than name, data and end, or out of its order
    name_block,    // a name block too short for a name, a type and a format
    cut,           // the tape ends inside a block, or inside a program
    checksum,      // a block whose bytes do not add up to 0
};

struct TapeFault {
    TapeProblem problem = TapeProblem::none;
    std::size_t offset = 0;  // in the tape file
};

// Reads every program of the MO5 tape `tape` into `programs`, checking
// every block; an empty tape holds none.
TapeFault read_tape(std::span<const std::uint8_t> tape, std::vector<Program>& programs);

// The tape `tape`, read whole into `programs`, with the binary `name` put
// on it: in the place of the program of that name (its index in `place`,
// true in `replaced`), else after the last one; every other byte as it was.
std::vector<std::uint8_t> put_program(std::span<const std::uint8_t> tape,
                                      const std::vector<Program>& programs,
                                      const std::array<char, disk::kNameSize>& name,
                                      std::span<const std::uint8_t> data, std::size_t& place,
                                      bool& replaced);

}  // namespace vork::tape
