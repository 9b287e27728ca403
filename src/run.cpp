#include "run.h"

#include <sys/stat.h>

#include <array>
#include <new>
#include <span>
#include <vector>

#include "documentation.h"
#include "exit_status.h"
#include "image.h"
#include "target.h"

namespace vork {

namespace {

// Everything the run says, exactly as its users see it.
constexpr const char* kBanner[] = {
    "*********************************************\n",
    "*                 Quillanor                 *\n",
    "*-------------------------------------------*\n",
    "* Auteur .... : Zindrabel                   *\n",
    "* Version ....: 01.00.00                    *\n",
    "* Date .......: 15/03/24                    *\n",
    "*********************************************\n\n",
};
constexpr char kSourceEcho[] = "Fichier Source...... : %s\n";
constexpr char kTargetEcho[] = "Fichier Cible....... : %s\n";
constexpr char kLoadEcho[] = "Adr de Chargement... : $%s\n";
constexpr char kExecEcho[] = "Adr de Lancement.... : $%s\n";
constexpr char kNotOpened[] = "Erreur, fichier non ouvert %s ";
constexpr char kUnreadable[] = "Erreur, lecture impossible %s\n";
constexpr char kTooLarge[] = "Erreur, fichier trop grand %s (%d octets au plus)\n";
constexpr char kCodeSize[] = "Taille du code...... : %d octets\n";
constexpr char kImageSize[] = "Avec Header/Footer ..: %d octets\n";
constexpr char kBadDigit[] = "erreur dans l'ecriture hexadecimal de l'adresse\n";
constexpr char kNoMemory[] = "\n * ERROR MEMORY ALLOCATION *\n";
constexpr char kUnwritable[] = "Erreur, ecriture impossible %s\n";
constexpr char kDone[] = "\nVotre Fichier binaire type dos thomson est pret \n";

// Digits in one address argument; characters after them are ignored.
constexpr int kAddressDigits = 4;

// The two ends of the console the run talks through.
struct Console {
    std::FILE* out;
    std::FILE* in;

    // Waits for one character, whatever it is, once everything printed is shown.
    void pause() const {
        // The last message may have no line end, so a line-buffered
        // terminal would otherwise keep it hidden during the wait.
        std::fflush(out);
        (void)std::fgetc(in);
    }

    // Ends the run through the pause with `status`.
    int end(int status) const {
        pause();
        return status;
    }
};

enum class SourceRead { ok, not_opened, unreadable, too_large };

// Reads all of `path` into `code`, never more than one byte past the
// largest code an image can hold, so an endless input cannot fill memory.
SourceRead read_source(const char* path, std::vector<std::uint8_t>& code) {
    code.resize(kMaxCodeSize + 1);
    std::FILE* source = std::fopen(path, "rb");
    if (source == nullptr) {
        return SourceRead::not_opened;
    }
    // Some systems open a directory for reading; it still holds no code.
    struct stat info {};
    if (fstat(fileno(source), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(source);
        return SourceRead::not_opened;
    }
    const std::size_t got = std::fread(code.data(), 1, code.size(), source);
    const bool failed = std::ferror(source) != 0;
    std::fclose(source);
    if (failed) {
        return SourceRead::unreadable;
    }
    if (got > kMaxCodeSize) {
        return SourceRead::too_large;
    }
    code.resize(got);
    return SourceRead::ok;
}

// Reads the leading digits of `text` into `digits`, running the error block
// for each invalid one; returns whether all of them were valid.
bool read_address(const char* text, std::span<std::uint8_t, kAddressDigits> digits,
                  const Console& console) {
    bool valid = true;
    for (int i = 0; i < kAddressDigits; ++i) {
        const auto value = hex_digit_value(text[i]);
        digits[i] = value.value_or(0);
        if (!value) {
            std::fputs(kBadDigit, console.out);
            show_documentation(console.out);
            console.pause();
            valid = false;
        }
        // A short argument ends here: nothing lies beyond its terminator.
        if (text[i] == '\0') {
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
    const Console console{out, in};
    for (const char* line : kBanner) {
        std::fputs(line, out);
    }

    // Only the first two characters count: -h, -help and -hx all ask for help.
    if (argc > 1 && argv[1][0] == '-' && argv[1][1] == 'h') {
        show_documentation(out);
        return console.end(kExitSuccess);
    }
    if (argc < 5) {
        show_documentation(out);
        return console.end(kExitUsage);
    }
    const char* const source_path = argv[1];
    const char* const load_text = argv[2];
    const char* const exec_text = argv[3];
    const char* const target_path = argv[4];

    std::fprintf(out, kSourceEcho, source_path);
    std::fprintf(out, kTargetEcho, target_path);
    std::fprintf(out, kLoadEcho, load_text);
    std::fprintf(out, kExecEcho, exec_text);

    try {
        std::vector<std::uint8_t> code;
        switch (read_source(source_path, code)) {
            case SourceRead::ok:
                break;
            case SourceRead::not_opened:
                std::fprintf(out, kNotOpened, source_path);
                show_documentation(out);
                return console.end(kExitFailure);
            case SourceRead::unreadable:
                std::fprintf(out, kUnreadable, source_path);
                return console.end(kExitFailure);
            case SourceRead::too_large:
                std::fprintf(out, kTooLarge, source_path, static_cast<int>(kMaxCodeSize));
                return console.end(kExitFailure);
        }
        const auto code_size = static_cast<std::uint16_t>(code.size());
        std::fprintf(out, kCodeSize, static_cast<int>(code_size));
        std::fprintf(out, kImageSize, static_cast<int>(code_size + kFramingSize));

        // Both addresses are read in full, so every bad digit is reported at once.
        std::array<std::uint8_t, 2 * kAddressDigits> address_digits{};
        const std::span digits{address_digits};
        const bool load_valid = read_address(load_text, digits.first<kAddressDigits>(), console);
        const bool exec_valid = read_address(exec_text, digits.last<kAddressDigits>(), console);
        if (!load_valid || !exec_valid) {
            return console.end(kExitUsage);
        }

        const std::vector<std::uint8_t> image_buffer =
            build_image(code, address_value(digits.first<kAddressDigits>()),
                        address_value(digits.last<kAddressDigits>()));
        switch (write_target(target_path, image_buffer)) {
            case TargetWrite::ok:
                std::fputs(kDone, out);
                return console.end(kExitSuccess);
            case TargetWrite::not_opened:
                std::fprintf(out, kNotOpened, target_path);
                return console.end(kExitFailure);
            case TargetWrite::failed:
                std::fprintf(out, kUnwritable, target_path);
                return console.end(kExitFailure);
        }
    } catch (const std::bad_alloc&) {
        std::fputs(kNoMemory, out);
        show_documentation(out);
        return console.end(kExitFailure);
    }
    return kExitFailure;  // unreachable: every outcome above returns
}

}  // namespace vork
