// The console a run talks through: its report on standard output, warnings
// and causes on standard error, the pause that ends it, and the input file
// that the conversion and --list both read whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "failure.h"
#include "platform.h"

namespace vork {

// Prints `format` with its arguments to `out`, through the platform so that
// a Windows console shows the names as typed.
[[gnu::format(printf, 2, 3)]] void print(std::FILE* out, const char* format, ...);

// Returns `name` as a terminal shows it harmlessly: each control character
// (C0, DEL and, in UTF-8, U+0080 to U+009F) written out as C writes it (\r,
// \033), so that a name can neither move the cursor nor set the window's
// title; every other byte, UTF-8 and backslashes included, as typed.
std::string visible_name(std::string_view name);

// `name` as a stream should show it: on a terminal with its control
// characters written out, elsewhere exactly as typed.
std::string shown(bool terminal, const char* name);

// `name` as standard error, where the warnings go, should show it.
std::string shown_on_stderr(const char* name);

// The two ends of the console the run talks through.
struct Console {
    std::FILE* out;
    std::FILE* in;
    bool terminal;      // the input: the pause waits for a whole line
    bool out_terminal;  // the report: names are shown harmlessly
    mutable int report_error = 0;  // why writing the report first failed (errno)

    // Waits for the user once everything printed is shown: on a terminal for
    // Enter, taking the whole line; elsewhere for one byte, leaving the rest
    // of the input to whoever reads it next.
    void pause() const;

    // Tells on standard error why `failure` happened, once what standard
    // output holds so far is out, so that a terminal shows both in order.
    void cause(Failure failure) const;

    // Ends the run through the pause with `status`; a report that could not
    // be written turns a success into a failure, told on standard error.
    int end(int status) const;

    // Writes out what the report holds so far, keeping the reason of the
    // first failure to do so.
    void flush() const;

    // Ends a command line missing a part: the documentation screen, then
    // `line` on standard error, then the pause; returns the usage status.
    int usage(const char* line) const;
};

using Buffer = std::unique_ptr<std::uint8_t, decltype(&std::free)>;

// Opens `path`, shown as `shown`, for reading into `file`; when it cannot,
// tells why, with the documentation screen, and returns the status the run
// ends with. With `regular_only`, anything but a regular file is refused
// too, without waiting on it, as --onto refuses it.
std::optional<int> open_input(const char* path, const std::string& shown, platform::Handle& file,
                              const Console& console, bool regular_only = false);

// Reads the whole of the opened `file`, shown as `shown`, into `buffer`, a
// new block of `room` bytes whose bytes from `at` on hold up to `most` of
// the file's, and closes it; `size` is how many. When memory, the read or
// the room fails, tells so and returns the status the run ends with.
std::optional<int> read_input(platform::Handle file, const std::string& shown, std::size_t room,
                              std::size_t at, std::size_t most, Buffer& buffer, std::size_t& size,
                              const Console& console);

}  // namespace vork
