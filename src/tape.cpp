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
    return (tail[0] == '.' && (tail[1] == 'k' || tail[1] == 'K') && tail[2] == '7') ||
           is_sound(path);
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

bool is_sound(std::string_view path) {
    if (path.size() < 4) {
        return false;
    }
    std::string_view tail = path.substr(path.size() - 4);
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return tail[0] == '.' && lower(tail[1]) == 'w' && lower(tail[2]) == 'a' && lower(tail[3]) == 'v';
}

std::vector<std::uint8_t> mo5_sound(std::span<const std::uint8_t> tape) {
    constexpr unsigned kRate = 22100;
    constexpr double kHalfBit = 0.000833 / 2.;
    std::vector<std::uint8_t> wav(44);
    std::size_t half_bits = 0;
    bool high = false;
    std::size_t samples = 0;
    // Half-bit n spans the samples from round(n * kHalfBit * rate) to the
    // one before round((n * kHalfBit + kHalfBit) * rate), each computed in
    // doubles as castool does: where the two roundings part, a later
    // half-bit overwrites, and a sample never written is 0.
    const auto half = [&] {
        const double time = static_cast<double>(half_bits++) * kHalfBit;
        const auto first = static_cast<std::size_t>(time * kRate + 0.5);
        auto last = static_cast<std::size_t>((time + kHalfBit) * kRate + 0.5);
        last -= last > first ? 1 : 0;
        if (wav.size() < 44 + 2 * (last + 1)) {
            wav.resize(44 + 2 * (last + 1), 0);
        }
        for (std::size_t at = first; at <= last; ++at) {
            wav[44 + 2 * at] = 0x00;
            wav[45 + 2 * at] = high ? 0x40 : 0xC0;  // +16384, -16384
        }
        samples = std::max(samples, last + 1);
    };
    const auto bit = [&](unsigned one) {
        half();
        high = high != (one != 0);
        half();
        high = !high;
    };
    const auto byte = [&](std::uint8_t value) {
        for (int at = 7; at >= 0; --at) {
            bit((value >> at) & 1);
        }
    };
    const auto zeros = [&](int count) {
        for (int i = 0; i < count; ++i) {
            bit(0);
        }
    };
    for (std::size_t at = 0; at < tape.size();) {
        std::size_t leader = 0;
        for (; at < tape.size() && tape[at] == 0x01; ++at) {
            ++leader;
        }
        if (at + 4 > tape.size()) {
            break;
        }
        const std::uint8_t type = tape[at + 2];
        const std::size_t length = static_cast<std::uint8_t>(tape[at + 3] - 1);
        const bool edge = type == kName || type == kEnd;
        zeros(edge ? 1200 : 300);
        for (std::size_t i = 0; i < std::max<std::size_t>(leader, 10); ++i) {
            byte(0x01);
        }
        for (std::size_t i = 0; i < 4 + length && at + i < tape.size(); ++i) {
            byte(tape[at + i]);
        }
        at += 4 + length;
        if (edge) {
            zeros(1800);
        }
    }
    wav.resize(44 + 2 * samples);
    const auto put32 = [&](std::size_t at, std::size_t value) {
        for (int i = 0; i < 4; ++i) {
            wav[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    const std::uint8_t format[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E',
                                   'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0};
    std::copy(std::begin(format), std::end(format), wav.begin());
    put32(4, wav.size() - 8);
    put32(24, kRate);
    put32(28, kRate * 2);  // bytes a second
    wav[32] = 2;           // bytes a sample
    wav[34] = 16;          // bits a sample
    std::copy_n("data", 4, wav.begin() + 36);
    put32(40, 2 * samples);
    return wav;
}

std::size_t tape_blocks(std::size_t size) { return (size + kBlockData - 1) / kBlockData + 2; }

TapeFault read_tape(std::span<const std::uint8_t> tape, std::vector<Program>& programs) {
    programs.clear();
    if (tape.size() > kMaxTapeSize) {
        return {TapeProblem::size, tape.size()};
    }
    Program program;
    bool open = false;  // inside a program: its name block read, not yet its end
    std::size_t at = 0;
    while (at < tape.size()) {
        if (tape[at] == 0x01) {
            ++at;
            continue;
        }
        const std::size_t block = at;
        if (tape[at] != 0x3C) {
            return {TapeProblem::not_a_block, at};
        }
        if (at + 4 > tape.size()) {
            return {TapeProblem::cut, tape.size()};
        }
        if (tape[at + 1] != 0x5A) {
            return {TapeProblem::not_a_block, at + 1};
        }
        const std::uint8_t type = tape[at + 2];
        // The length counts itself and the bytes after it, checksum included.
        const std::size_t length = tape[at + 3] == 0 ? 256 : tape[at + 3];
        if (length < 2) {
            return {TapeProblem::cut, at + 3};
        }
        if (!(type == (open ? kData : kName) || (open && type == kEnd))) {
            return {TapeProblem::block_type, at + 2};
        }
        if (at + 3 + length > tape.size()) {
            return {TapeProblem::cut, tape.size()};
        }
        const auto bytes = tape.subspan(at + 4, length - 2);
        std::uint8_t sum = tape[at + 2 + length];
        for (const std::uint8_t byte : bytes) {
            sum = static_cast<std::uint8_t>(sum + byte);
        }
        if (sum != 0) {
            return {TapeProblem::checksum, at + 2 + length};
        }
        at += 3 + length;
        if (type == kName) {
            if (bytes.size() < disk::kNameSize + 2) {
                return {TapeProblem::name_block, block + 3};
            }
            program.name = {};
            std::copy_n(bytes.begin(), disk::kNameSize, program.name.begin());
            program.type = bytes[disk::kNameSize];
            program.format = bytes[disk::kNameSize + 1];
            program.data.clear();
            open = true;
        } else if (type == kData) {
            program.data.insert(program.data.end(), bytes.begin(), bytes.end());
        } else {
            program.end = at;
            programs.push_back(program);
            program.start = at;
            open = false;
        }
    }
    if (open) {
        return {TapeProblem::cut, tape.size()};
    }
    return {};
}

std::vector<std::uint8_t> put_program(std::span<const std::uint8_t> tape,
                                      const std::vector<Program>& programs,
                                      const std::array<char, disk::kNameSize>& name,
                                      std::span<const std::uint8_t> data, std::size_t& place,
                                      bool& replaced) {
    const auto same = std::find_if(programs.begin(), programs.end(),
                                   [&](const Program& program) { return program.name == name; });
    replaced = same != programs.end();
    place = static_cast<std::size_t>(same - programs.begin());
    const std::vector<std::uint8_t> added = mo5_tape(name, data);
    const std::size_t from = replaced ? same->start : tape.size();
    const std::size_t to = replaced ? same->end : tape.size();
    std::vector<std::uint8_t> image;
    image.reserve(tape.size() - (to - from) + added.size());
    image.insert(image.end(), tape.begin(), tape.begin() + static_cast<std::ptrdiff_t>(from));
    image.insert(image.end(), added.begin(), added.end());
    image.insert(image.end(), tape.begin() + static_cast<std::ptrdiff_t>(to), tape.end());
    return image;
}

}  // namespace vork::tape
