// One run of vork: reads the command line, converts the source, reports in French.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vork {

// Returns the value, 0 to 15, of the hexadecimal digit `c`, or nothing when
// `c` is not one (the terminating NUL and bytes 0x80 to 0xFF included).
std::optional<std::uint8_t> hex_digit_value(char c);

// Returns `name` as a terminal shows it harmlessly: each control character
// (C0, DEL and, in UTF-8, U+0080 to U+009F) written out as C writes it (\r,
// \033), so that a name can neither move the cursor nor set the window's
// title; every other byte, UTF-8 and backslashes included, as typed.
std::string visible_name(std::string_view name);

// Every cause the run can print after "Cause : ", in the order of vork::Reason;
// the last, "erreur systeme", is followed by the system's own number.
std::vector<std::string> cause_texts();

// Carries out one whole run on the argument vector, printing to `out` and
// taking the pauses' characters from `in`; returns the exit status.
int run(int argc, const char* const argv[], std::FILE* out, std::FILE* in);

}  // namespace vork
