#include "console.h"

#include <cerrno>
#include <cstdarg>
#include <span>

#include "documentation.h"
#include "exit_status.h"
#include "texts.h"

namespace vork {

namespace {

enum class SourceRead { ok, unreadable, too_large };

// Reads the whole of `source` into `into`; `got` becomes how many bytes it
// held, `failure` why it could not be read.
SourceRead read_source(platform::Handle source, std::span<std::uint8_t> into, std::size_t& got,
                       Failure& failure) {
    got = 0;
    std::size_t n = 0;
    while (got < into.size()) {
        if (auto failed = platform::read_some(source, into.subspan(got), n)) {
            failure = *failed;
            return SourceRead::unreadable;
        }
        if (n == 0) {
            return SourceRead::ok;
        }
        got += n;
    }
    // Full: one more byte means the source does not fit.
    std::uint8_t beyond[1];
    if (auto failed = platform::read_some(source, beyond, n)) {
        failure = *failed;
        return SourceRead::unreadable;
    }
    return n == 0 ? SourceRead::ok : SourceRead::too_large;
}

}  // namespace

void print(std::FILE* out, const char* format, ...) {
    char line[512];
    std::va_list arguments;
    va_start(arguments, format);
    const int size = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (size < 0) {
        return;
    }
    if (static_cast<std::size_t>(size) < sizeof line) {
        platform::write_text(out, {line, static_cast<std::size_t>(size)});
        return;
    }
    // A long path: the exact size is known now.
    const std::unique_ptr<char, decltype(&std::free)> longer(
        static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + 1)), &std::free);
    if (!longer) {
        platform::write_text(out, line);  // cut short rather than not at all
        return;
    }
    va_start(arguments, format);
    std::vsnprintf(longer.get(), static_cast<std::size_t>(size) + 1, format, arguments);
    va_end(arguments);
    platform::write_text(out, {longer.get(), static_cast<std::size_t>(size)});
}

std::string shown(bool terminal, const char* name) {
    return terminal ? visible_name(name) : std::string(name);
}

std::string shown_on_stderr(const char* name) {
    return shown(platform::is_terminal(stderr), name);
}

void Console::pause() const {
    // The last message may have no line end, so a line-buffered
    // terminal would otherwise keep it hidden during the wait.
    flush();
    int c = std::fgetc(in);
    while (terminal && c != EOF && c != '\n') {
        c = std::fgetc(in);
    }
}

void Console::cause(Failure failure) const {
    flush();
    const char* const reason = text::reason_text(failure.reason);
    if (*reason != '\0') {
        print(stderr, text::kCause, reason);
    } else if (failure.reason != Reason::none) {
        print(stderr, text::kOtherCause, failure.code);
    }
}

int Console::end(int status) const {
    pause();
    if (report_error != 0 || std::ferror(out) != 0) {
        std::fputs(text::kReportLost, stderr);
        cause(failure_from_errno(report_error));
        return status == kExitSuccess ? kExitFailure : status;
    }
    return status;
}

void Console::flush() const {
    errno = 0;
    if (std::fflush(out) != 0 && report_error == 0) {
        report_error = errno;
    }
}

int Console::usage(const char* line) const {
    show_documentation(out);
    flush();
    platform::write_text(stderr, line);
    return end(kExitUsage);
}

std::optional<int> open_input(const char* path, const std::string& shown, platform::Handle& file,
                              const Console& console, bool regular_only) {
    bool regular = true;
    auto failure = regular_only ? platform::open_regular_for_reading(path, file, regular)
                                : platform::open_for_reading(path, file);
    if (!failure && !regular) {
        print(console.out, text::kNotRegular, shown.c_str());
        return console.end(kExitFailure);
    }
    if (!failure) {
        return std::nullopt;
    }
    print(console.out, text::kNotOpened, shown.c_str());
    console.cause(*failure);
    show_documentation(console.out);
    return console.end(kExitFailure);
}

std::optional<int> read_input(platform::Handle file, const std::string& shown, std::size_t room,
                              std::size_t at, std::size_t most, Buffer& buffer, std::size_t& size,
                              const Console& console) {
    buffer.reset(static_cast<std::uint8_t*>(std::malloc(room)));
    if (!buffer) {
        platform::close(file);
        platform::write_text(console.out, text::kNoMemory);
        show_documentation(console.out);
        return console.end(kExitFailure);
    }
    Failure failure;
    const SourceRead read = read_source(file, std::span{buffer.get() + at, most}, size, failure);
    platform::close(file);
    switch (read) {
        case SourceRead::ok:
            return std::nullopt;
        case SourceRead::unreadable:
            print(console.out, text::kUnreadable, shown.c_str());
            console.cause(failure);
            break;
        case SourceRead::too_large:
            print(console.out, text::kTooLarge, shown.c_str(), static_cast<int>(most));
            break;
    }
    return console.end(kExitFailure);
}

std::string visible_name(std::string_view name) {
    std::string shown;
    shown.reserve(name.size());
    const auto escape = [&shown](unsigned char byte) {
        constexpr char kNamed[] = "abtnvfr";  // 7 to 13, as C writes them
        if (byte >= 7 && byte <= 13) {
            shown += {'\\', kNamed[byte - 7]};
            return;
        }
        shown += {'\\', static_cast<char>('0' + (byte >> 6)),
                  static_cast<char>('0' + (byte >> 3 & 7)), static_cast<char>('0' + (byte & 7))};
    };
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const auto next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F) {
            escape(byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // U+0080 to U+009F in UTF-8: the terminal's eight-bit controls (CSI is U+009B).
            escape(byte);
            escape(next);
            ++i;
        } else {
            shown.push_back(name[i]);
        }
    }
    return shown;
}

}  // namespace vork
