#include "run.h"

#include <array>
#include <cstring>
#include <span>

#include "console.h"
#include "documentation.h"
#include "exit_status.h"
#include "image.h"
#include "listing.h"
#include "onto.h"
#include "platform.h"
#include "target.h"
#include "texts.h"

namespace vork {

namespace {

// Digits in one address argument; characters after them are ignored.
constexpr int kAddressDigits = 4;

// Reads the leading digits of `argument` into `digits`, running the error block
// for each invalid one; returns whether all of them were valid.
bool read_address(const char* argument, std::span<std::uint8_t, kAddressDigits> digits,
                  const Console& console) {
    bool valid = true;
    for (int i = 0; i < kAddressDigits; ++i) {
        const auto value = hex_digit_value(argument[i]);
        digits[i] = value.value_or(0);
        if (!value) {
            platform::write_text(console.out, text::kBadDigit);
            show_documentation(console.out);
            console.pause();
            valid = false;
        }
        // A short argument ends here: nothing lies beyond its terminator.
        if (argument[i] == '\0') {
            break;
        }
    }
    return valid;
}

// Returns the 16-bit address whose hexadecimal digits are `digits`, most significant first.
std::uint16_t address_value(std::span<const std::uint8_t, kAddressDigits> digits) {
    unsigned value = 0;
    for (const std::uint8_t digit : digits) {
        value = value * 16 + digit;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<std::uint8_t> hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0');
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<std::uint8_t>(c - 'A' + 10);
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<std::uint8_t>(c - 'a' + 10);
    }
    return std::nullopt;
}

int run(int argc, const char* const argv[], std::FILE* out, std::FILE* in) {
    // Unbuffered, so that a pause takes from the input only what it uses.
    std::setvbuf(in, nullptr, _IONBF, 0);
    // The report's buffer is set here, since the terminal is known already:
    // a line at a time to a terminal, one write for the whole report elsewhere.
    static char report_buffer[8192];
    const bool out_terminal = platform::is_terminal(out);
    std::setvbuf(out, report_buffer, out_terminal ? _IOLBF : _IOFBF, sizeof report_buffer);
    const Console console{out, in, platform::is_terminal(in), out_terminal};
    for (const char* line : text::kBanner) {
        platform::write_text(out, line);
    }

    // Only the first two characters count: -h, -help and -hx all ask for
    // help; and --help, as every command-line tool takes it.
    if (argc > 1 && ((argv[1][0] == '-' && argv[1][1] == 'h') ||
                     std::strcmp(argv[1], "--help") == 0)) {
        show_documentation(out);
        return console.end(kExitSuccess);
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        print(out, text::kVersion, VORK_VERSION);
        return console.end(kExitSuccess);
    }
    // --list FILE, or --onto IMAGE and the four arguments, then for an image
    // --face N: the image's face (a two-faced .fd's second is 1).
    const bool listing = argc > 1 && std::strcmp(argv[1], "--list") == 0;
    const bool onto_disk = argc > 1 && std::strcmp(argv[1], "--onto") == 0;
    const char* face = nullptr;
    int taken = 2;  // --list or --onto, and the file
    if ((listing || onto_disk) && argc > 3 && std::strcmp(argv[3], "--face") == 0) {
        if (argc < 5) {
            return console.usage(text::kFaceWithoutNumber);
        }
        face = argv[4];
        taken = 4;
    }
    if (listing) {
        return list(argc > 2 ? argv[2] : nullptr, face, argc > taken + 1 ? argv[taken + 1] : nullptr,
                    console);
    }
    // --onto IMAGE, then the four arguments: the binary goes to TARGET and onto IMAGE.
    const char* onto = nullptr;
    if (onto_disk) {
        if (argc < 3) {
            return console.usage(text::kOntoWithoutImage);
        }
        onto = argv[2];
        argv += taken;
        argc -= taken;
    }
    if (argc < 5) {
        show_documentation(out);
        console.flush();
        print(stderr, text::kArgumentCount, argc - 1, text::kGiven[argc - 1 > 1 ? 1 : 0]);
        return console.end(kExitUsage);
    }
    const char* const source_path = argv[1];
    const char* const load_text = argv[2];
    const char* const exec_text = argv[3];
    const char* const target_path = argv[4];
    // What the user typed, as the report shows it: a name cannot drive a terminal.
    const std::string source_shown = shown(console.out_terminal, source_path);
    const std::string target_shown = shown(console.out_terminal, target_path);

    print(out, text::kSourceEcho, source_shown.c_str());
    print(out, text::kTargetEcho, target_shown.c_str());
    print(out, text::kLoadEcho, shown(console.out_terminal, load_text).c_str());
    print(out, text::kExecEcho, shown(console.out_terminal, exec_text).c_str());
    std::array<char, disk::kNameSize> disk_file{};
    int side = 0;
    if (onto != nullptr) {
        if (auto status = check_onto(onto, face, target_path, side, disk_file, console)) {
            return *status;
        }
    }

    platform::Handle source = platform::kNoHandle;
    if (auto status = open_input(source_path, source_shown, source, console)) {
        return *status;
    }
    // One block that any image fits in; the code is read straight into it,
    // behind the room left for the header.
    Buffer image_buffer(nullptr, &std::free);
    std::size_t code_size = 0;
    if (auto status = read_input(source, source_shown, kMaxImageSize, kHeaderSize, kMaxCodeSize,
                                 image_buffer, code_size, console)) {
        return *status;
    }
    print(out, text::kCodeSize, static_cast<int>(code_size));
    print(out, text::kImageSize, static_cast<int>(code_size + kFramingSize));

    // Both addresses are read in full, so every bad digit is reported at once.
    std::array<std::uint8_t, 2 * kAddressDigits> address_digits{};
    const std::span digits{address_digits};
    const bool load_valid = read_address(load_text, digits.first<kAddressDigits>(), console);
    const bool exec_valid = read_address(exec_text, digits.last<kAddressDigits>(), console);
    if (!load_valid || !exec_valid) {
        return console.end(kExitUsage);
    }

    const std::span image{image_buffer.get(), code_size + kFramingSize};
    const std::uint16_t load_address = address_value(digits.first<kAddressDigits>());
    for (const char* address : {load_text, exec_text}) {
        if (std::strlen(address) > kAddressDigits) {
            print(stderr, text::kLongAddress, shown_on_stderr(address).c_str(), address);
        }
    }
    if (is_framed(image.subspan(kHeaderSize, code_size))) {
        print(stderr, text::kAlreadyFramed, shown_on_stderr(source_path).c_str());
    }
    if (runs_past_end(load_address, code_size)) {
        const long beyond = static_cast<long>(load_address + code_size) - 0x10000;
        print(stderr, text::kPastTheEnd, static_cast<int>(beyond), text::plural(beyond));
    }
    frame_image(image, load_address, address_value(digits.last<kAddressDigits>()));
    const TargetOutcome outcome = write_target(target_path, image);
    if (!outcome.leftover.empty()) {
        print(stderr, text::kLeftover, shown_on_stderr(outcome.leftover.c_str()).c_str());
    }
    switch (outcome.write) {
        case TargetWrite::ok:
            platform::write_text(out, text::kDone);
            return console.end(onto != nullptr ? put_on_disk(onto, side, disk_file, image, console)
                                               : kExitSuccess);
        case TargetWrite::not_opened:
            print(out, text::kNotOpened, target_shown.c_str());
            console.cause(outcome.failure);
            return console.end(kExitFailure);
        case TargetWrite::failed:
        case TargetWrite::unreadable:  // update_target()'s alone
        case TargetWrite::refused:
        case TargetWrite::not_regular:
            break;
    }
    print(out, image_at_path(outcome.failure) ? text::kNotSynced : text::kUnwritable,
          target_shown.c_str());
    console.cause(outcome.failure);
    return console.end(kExitFailure);
}

}  // namespace vork
