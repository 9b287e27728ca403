// One run of vork: reads the command line, converts the source, reports in French.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace vork {

// Returns the value, 0 to 15, of the hexadecimal digit `c`, or nothing when
// `c` is not one (the terminating NUL and bytes 0x80 to 0xFF included).
std::optional<std::uint8_t> hex_digit_value(char c);

// Carries out one whole run on the argument vector, printing to `out` and
// taking the pauses' characters from `in`; returns the exit status.
int run(int argc, const char* const argv[], std::FILE* out, std::FILE* in);

}  // namespace vork
