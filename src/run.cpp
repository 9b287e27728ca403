#include "run.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>

#include "disk_image.h"
#include "documentation.h"
#include "exit_status.h"
#include "image.h"
#include "platform.h"
#include "tape.h"
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
// For standard error: the report itself could not be written.
constexpr char kReportLost[] = "Erreur, ecriture impossible (sortie standard)\n";
// For standard error: the image is written, but is likely not what was meant.
constexpr char kAlreadyFramed[] = "Attention, %s est deja un fichier binaire type dos thomson\n";
constexpr char kPastTheEnd[] = "Attention, le code depasse l'adresse $FFFF (%d octets de trop)\n";
// For standard error: a file this run made beside the target is still there.
constexpr char kLeftover[] = "Attention, le fichier %s n'a pas pu etre supprime\n";
// For standard error: an address longer than the four digits that are read.
constexpr char kLongAddress[] =
    "Attention, l'adresse %s a plus de quatre chiffres : $%.4s est utilisee\n";
// For standard error, after a failure's own message: the system's reason.
constexpr char kCause[] = "Cause : %s\n";
constexpr char kOtherCause[] = "Cause : erreur systeme %ld\n";
// What --version prints after the banner.
constexpr char kVersion[] = "vork %s\n";
// For standard error: the command line lacks what the run needs.
constexpr char kArgumentCount[] = "Erreur, il faut 4 arguments, %d %s\n";
constexpr const char* kGiven[] = {"donne", "donnes"};
constexpr char kListWithoutFile[] = "Erreur, --list attend le nom d'un fichier\n";

// What --list prints of a Thomson binary, labels padded with dots like the report's.
constexpr int kLabelWidth = 20;
constexpr char kListFile[] = "Fichier binaire..... : %s\n";
constexpr char kBlockLabel[] = "Bloc %d";
constexpr char kBlock[] = "%s : $%04X a $%04X, %d octets\n";
constexpr char kEmptyBlock[] = "%s : $%04X, 0 octets\n";
constexpr char kBlockPastFFFF[] = "%s : $%04X a $FFFF, %d octets (%d au-dela de $FFFF)\n";
constexpr char kListExec[] = "Adr de Lancement.... : $%04X\n";
// What is wrong with a file that is not a whole binary, and at which offset
// (counted from 0, as xxd counts).
constexpr char kCutInHeader[] = "Erreur, le fichier s'arrete dans l'en-tete du bloc %d (octet %d)\n";
constexpr char kCutInBlock[] =
    "Erreur, le fichier s'arrete dans le bloc %d (octet %d) : il manque %d octets\n";
constexpr char kNotAMarker[] =
    "Erreur, octet $%02X a l'octet %d : ni un debut de bloc ($00) ni la fin ($FF)\n";
constexpr char kNoFooter[] = "Erreur, le fichier s'arrete sans sa fin ($FF) (octet %d)\n";
constexpr char kCutInFooter[] = "Erreur, le fichier s'arrete dans sa fin ($FF) (octet %d)\n";
constexpr char kFooterNotZero[] = "Erreur, la fin ($FF) de l'octet %d n'a pas ses deux octets nuls\n";
constexpr char kAfterFooter[] = "Erreur, %d octets apres la fin ($FF), a partir de l'octet %d\n";

// ---- Thomson disk images: --onto and --list IMAGE.
constexpr char kOntoWithoutImage[] = "Erreur, --onto attend le nom d'une image de disque\n";
constexpr char kImageEcho[] = "Image de disque..... : %s\n";
constexpr char kDiskNameEcho[] = "Nom sur le disque... : %s\n";
constexpr char kNotAnImage[] =
    "Erreur, %s n'est ni une image de disque Thomson (.fd ou .sap) ni une cassette MO5 (.k7)\n";
constexpr char kTargetLikeImage[] =
    "Erreur, la cible %s porte l'extension d'une image : elle ecraserait l'image\n";
constexpr char kTapeWritten[] = "Fichier %s ecrit sur la cassette %s (blocs : %d)\n";
constexpr char kBadDiskName[] =
    "Erreur, %s ne tient pas dans un nom de fichier Thomson : 8 lettres, chiffres, - ou _ "
    "au plus, puis un point et 3 au plus\n";
constexpr char kDiskAdded[] = "Fichier %s ajoute sur %s (blocs : %d pris, %d libres)\n";
constexpr char kDiskReplaced[] = "Fichier %s remplace sur %s (blocs : %d pris, %d libres)\n";
constexpr char kImageWrongSize[] = "Erreur, l'image %s fait %d octets : ce n'est pas une taille connue\n";
constexpr char kImageFault[] = "Erreur, image %s illisible a l'octet %d : %s\n";
// What is wrong, in the order of disk::ImageProblem, then of disk::Problem.
constexpr const char* kImageProblems[] = {
    "", "", "en-tete SAP inconnu", "secteur SAP hors de sa place", "CRC de secteur faux", "",
};
constexpr const char* kFaceProblems[] = {
    "",
    "valeur inconnue dans la table d'allocation",
    "premier bloc d'un fichier hors du disque",
    "chaine d'un fichier menant a un bloc libre ou reserve",
    "chaine d'un fichier qui boucle",
    "bloc partage par deux fichiers",
    "nom de fichier illisible dans le catalogue",
    "plus de 255 octets dans le dernier secteur d'un fichier",
};
static_assert(std::size(kImageProblems) == static_cast<std::size_t>(disk::ImageProblem::face) + 1);
static_assert(std::size(kFaceProblems) == static_cast<std::size_t>(disk::Problem::last_bytes) + 1);
constexpr char kNoRoom[] = "Erreur, pas assez de place sur %s (blocs libres : %d, il en faut %d)\n";
constexpr char kDirectoryFull[] = "Erreur, catalogue plein sur %s (%d fichiers)\n";
constexpr char kUntouched[] = "L'image %s n'est pas modifiee\n";
constexpr char kNotRegular[] = "Erreur, %s n'est pas un fichier ordinaire\n";
// What --list prints of a disk: a line for each file, then the room left.
constexpr char kDiskFile[] = "%-12s %c %c %6d octets\n";
constexpr char kDiskFree[] = "Fichiers : %d, blocs libres : %d (%d octets)\n";
constexpr char kNoSuchFile[] = "Erreur, pas de fichier %s sur l'image %s\n";

// The system's reasons, in the order of vork::Reason.
constexpr const char* kReasons[] = {
    "",
    "Permission refusee",
    "Aucun fichier ou dossier de ce nom",
    "Un element du chemin n'est pas un dossier",
    "C'est un dossier",
    "Trop de liens symboliques",
    "Nom trop long",
    "Disque plein",
    "Quota de disque depasse",
    "Systeme de fichiers en lecture seule",
    "Limite de taille de fichier atteinte",
    "Trop de fichiers ouverts",
    "Erreur d'entree-sortie",
    "Fichier verrouille par un autre programme",
    "Fichier utilise par un autre programme",
    "Fichier projete en memoire par un autre programme",
    "Plus personne ne lit",
    "Aucun peripherique ni lecteur au bout",
    "Sortie fermee",
    "Memoire insuffisante",
    "Fichier deplace ou supprime pendant l'ecriture",
    "Le systeme de fichiers a garde une autre taille",
    "C'est le fichier de la sortie standard",
    // Reasons the run gets around rather than tells, told by their code.
    "",
    "",
    "",
    "",
    "",
};
static_assert(std::size(kReasons) == static_cast<std::size_t>(Reason::other) + 1,
              "one text for each reason");

// Prints `format` with its one or two arguments to `out`, through the
// platform so that a Windows console shows the names as typed.
[[gnu::format(printf, 2, 3)]] void print(std::FILE* out, const char* format, ...) {
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

// Digits in one address argument; characters after them are ignored.
constexpr int kAddressDigits = 4;

// `name` as a stream should show it: on a terminal with its control
// characters written out, elsewhere exactly as typed.
std::string shown(bool terminal, const char* name) {
    return terminal ? visible_name(name) : std::string(name);
}

// `name` as standard error, where the warnings go, should show it.
std::string shown_on_stderr(const char* name) {
    return shown(platform::is_terminal(stderr), name);
}

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
    void pause() const {
        // The last message may have no line end, so a line-buffered
        // terminal would otherwise keep it hidden during the wait.
        flush();
        int c = std::fgetc(in);
        while (terminal && c != EOF && c != '\n') {
            c = std::fgetc(in);
        }
    }

    // Tells on standard error why `failure` happened, once what standard
    // output holds so far is out, so that a terminal shows both in order.
    void cause(Failure failure) const {
        flush();
        const char* const reason = kReasons[static_cast<std::size_t>(failure.reason)];
        if (*reason != '\0') {
            print(stderr, kCause, reason);
        } else if (failure.reason != Reason::none) {
            print(stderr, kOtherCause, failure.code);
        }
    }

    // Ends the run through the pause with `status`; a report that could not
    // be written turns a success into a failure, told on standard error.
    int end(int status) const {
        pause();
        if (report_error != 0 || std::ferror(out) != 0) {
            std::fputs(kReportLost, stderr);
            cause(failure_from_errno(report_error));
            return status == kExitSuccess ? kExitFailure : status;
        }
        return status;
    }

    // Writes out what the report holds so far, keeping the reason of the
    // first failure to do so.
    void flush() const {
        errno = 0;
        if (std::fflush(out) != 0 && report_error == 0) {
            report_error = errno;
        }
    }
};

enum class SourceRead { ok, unreadable, too_large };

// Reads the whole of `source` into `code`, which has room for the largest
// code an image holds; `got` becomes the code's size, `failure` why it
// could not be read.
SourceRead read_source(platform::Handle source, std::span<std::uint8_t> code, std::size_t& got,
                       Failure& failure) {
    got = 0;
    std::size_t n = 0;
    while (got < code.size()) {
        if (auto failed = platform::read_some(source, code.subspan(got), n)) {
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

// Opens `path`, shown as `shown`, for reading into `file`; when it cannot,
// tells why, with the documentation screen, and returns the status the run
// ends with.
std::optional<int> open_input(const char* path, const std::string& shown, platform::Handle& file,
                              const Console& console) {
    auto failure = platform::open_for_reading(path, file);
    if (!failure) {
        return std::nullopt;
    }
    print(console.out, kNotOpened, shown.c_str());
    console.cause(*failure);
    show_documentation(console.out);
    return console.end(kExitFailure);
}

using Buffer = std::unique_ptr<std::uint8_t, decltype(&std::free)>;

// Reads the whole of the opened `file`, shown as `shown`, into `buffer`, a
// new block of `room` bytes whose bytes from `at` on hold up to `most` of
// the file's, and closes it; `size` is how many. When memory, the read or
// the room fails, tells so and returns the status the run ends with.
std::optional<int> read_input(platform::Handle file, const std::string& shown, std::size_t room,
                              std::size_t at, std::size_t most, Buffer& buffer, std::size_t& size,
                              const Console& console) {
    buffer.reset(static_cast<std::uint8_t*>(std::malloc(room)));
    if (!buffer) {
        platform::close(file);
        platform::write_text(console.out, kNoMemory);
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
            print(console.out, kUnreadable, shown.c_str());
            console.cause(failure);
            break;
        case SourceRead::too_large:
            print(console.out, kTooLarge, shown.c_str(), static_cast<int>(most));
            break;
    }
    return console.end(kExitFailure);
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
            platform::write_text(console.out, kBadDigit);
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

// Prints the block of `listing` numbered `number` (from 1).
void print_block(std::FILE* out, int number, const Block& block) {
    char label[32];
    const int length = std::snprintf(label, sizeof label, kBlockLabel, number);
    for (int at = length; at < kLabelWidth; ++at) {
        label[at] = '.';
    }
    label[length < kLabelWidth ? kLabelWidth : length] = '\0';
    if (block.size == 0) {
        print(out, kEmptyBlock, label, block.load);
    } else if (runs_past_end(block.load, block.size)) {
        print(out, kBlockPastFFFF, label, block.load, static_cast<int>(block.size),
              static_cast<int>(block.load + block.size - 0x10000));
    } else {
        print(out, kBlock, label, block.load,
              static_cast<unsigned>(block.load + block.size - 1), static_cast<int>(block.size));
    }
}

// Prints where `listing` goes wrong, in `file`.
void print_fault(std::FILE* out, const Listing& listing, std::span<const std::uint8_t> file) {
    // Sizes and offsets of a file no larger than kMaxBinarySize.
    const int block = static_cast<int>(listing.blocks.size()) + 1;
    const int offset = static_cast<int>(listing.offset);
    const int count = static_cast<int>(listing.count);
    switch (listing.fault) {
        case Malformed::none:
            break;
        case Malformed::cut_in_header:
            print(out, kCutInHeader, block, offset);
            break;
        case Malformed::cut_in_block:
            print(out, kCutInBlock, block, offset, count);
            break;
        case Malformed::not_a_marker:
            print(out, kNotAMarker, static_cast<unsigned>(file[listing.offset]), offset);
            break;
        case Malformed::no_footer:
            print(out, kNoFooter, offset);
            break;
        case Malformed::cut_in_footer:
            print(out, kCutInFooter, offset);
            break;
        case Malformed::footer_not_zero:
            print(out, kFooterNotZero, offset);
            break;
        case Malformed::after_footer:
            print(out, kAfterFooter, count, offset);
            break;
    }
}

// Prints the blocks and execution address of the Thomson binary
// `contents`, or where it goes wrong; returns whether it is whole.
bool print_listing(std::FILE* out, std::span<const std::uint8_t> contents) {
    const Listing listing = read_binary(contents);
    for (std::size_t i = 0; i < listing.blocks.size(); ++i) {
        print_block(out, static_cast<int>(i) + 1, listing.blocks[i]);
    }
    if (listing.fault != Malformed::none) {
        print_fault(out, listing, contents);
        return false;
    }
    print(out, kListExec, listing.exec_address);
    return true;
}

int list_disk(const char* path, const char* name, const Console& console);

// Lists the blocks of the Thomson binary at `path`, opened only for
// reading and read up to the largest size a binary can have; a disk image's
// files, or those of its file `name`.
int list(const char* path, const char* name, const Console& console) {
    std::FILE* const out = console.out;
    if (path == nullptr) {
        show_documentation(out);
        console.flush();
        platform::write_text(stderr, kListWithoutFile);
        return console.end(kExitUsage);
    }
    if (disk::container_of(path) != disk::Container::unknown) {
        return list_disk(path, name, console);
    }
    const std::string path_shown = shown(console.out_terminal, path);
    platform::Handle file = platform::kNoHandle;
    if (auto status = open_input(path, path_shown, file, console)) {
        return *status;
    }
    print(out, kListFile, path_shown.c_str());
    Buffer buffer(nullptr, &std::free);
    std::size_t size = 0;
    if (auto status = read_input(file, path_shown, kMaxBinarySize, 0, kMaxBinarySize, buffer, size,
                                 console)) {
        return *status;
    }
    return console.end(print_listing(out, {buffer.get(), size}) ? kExitSuccess : kExitFailure);
}

// ---- Thomson disk images.

// The blocks a file of `size` bytes takes, as the report counts them.
int block_count(std::size_t size) { return static_cast<int>(disk::blocks_for(size)); }

// Prints what is wrong with the image shown as `shown`.
void print_image_fault(std::FILE* out, const std::string& shown, const disk::ImageFault& fault) {
    const int offset = static_cast<int>(fault.offset);
    if (fault.problem == disk::ImageProblem::size) {
        print(out, kImageWrongSize, shown.c_str(), offset);
        return;
    }
    const char* const what = fault.problem == disk::ImageProblem::face
                                 ? kFaceProblems[static_cast<std::size_t>(fault.face)]
                                 : kImageProblems[static_cast<std::size_t>(fault.problem)];
    print(out, kImageFault, shown.c_str(), offset, what);
}

// The date SOURCE_DATE_EPOCH asks the directory to stamp, in UTC; none
// without it, so that builds are reproducible.
disk::Date source_date() {
    const char* const epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0') {
        return {};
    }
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (*end != '\0' || errno != 0 || seconds < 0) {
        return {};
    }
    // The civil date of a day counted from 1970-01-01, in the proleptic
    // Gregorian calendar, by eras of 400 years from 0000-03-01; worked out
    // here rather than by gmtime(), which brings the whole time-zone machinery
    // into the static program.
    const long long days = seconds / 86400 + 719468;
    const long long era = days / 146097;
    const long long of_era = days - era * 146097;
    const long long year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    const long long of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long shifted_month = (5 * of_year + 2) / 153;  // from March
    const long long day = of_year - (153 * shifted_month + 2) / 5 + 1;
    const long long month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    return {static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(month),
            static_cast<std::uint8_t>(year % 100)};
}

// Echoes the image `image` and the name TARGET takes on it into `name`;
// an image of no known kind or a name that does not fit ends the run, with
// the status returned.
std::optional<int> check_onto(const char* image, const char* target,
                              std::array<char, disk::kNameSize>& name, const Console& console) {
    print(console.out, kImageEcho, shown(console.out_terminal, image).c_str());
    if (disk::container_of(image) == disk::Container::unknown && !tape::is_tape(image)) {
        print(console.out, kNotAnImage, shown(console.out_terminal, image).c_str());
        return console.end(kExitUsage);
    }
    // TARGET is written first: named as an image, it could be the image itself.
    if (disk::container_of(target) != disk::Container::unknown || tape::is_tape(target)) {
        print(console.out, kTargetLikeImage, shown(console.out_terminal, target).c_str());
        return console.end(kExitUsage);
    }
    const std::string base(platform::base_name(target));
    const auto fits = disk::disk_name(base);
    if (!fits) {
        print(console.out, kBadDiskName, shown(console.out_terminal, base.c_str()).c_str());
        return console.end(kExitUsage);
    }
    name = *fits;
    print(console.out, kDiskNameEcho, disk::shown_name(name).c_str());
    return std::nullopt;
}

// Writes the MO5 tape `path` whole, holding `binary` as the file `name`,
// and tells how it went; returns the status.
int put_on_tape(const char* path, const std::array<char, disk::kNameSize>& name,
                std::span<const std::uint8_t> binary, const Console& console) {
    const std::string path_shown = shown(console.out_terminal, path);
    const TargetOutcome outcome = write_target(path, tape::mo5_tape(name, binary));
    if (!outcome.leftover.empty()) {
        print(stderr, kLeftover, shown_on_stderr(outcome.leftover.c_str()).c_str());
    }
    if (outcome.write == TargetWrite::ok) {
        print(console.out, kTapeWritten, disk::shown_name(name).c_str(), path_shown.c_str(),
              static_cast<int>(tape::tape_blocks(binary.size())));
        return kExitSuccess;
    }
    print(console.out, outcome.write == TargetWrite::not_opened ? kNotOpened : kUnwritable,
          path_shown.c_str());
    console.cause(outcome.failure);
    return kExitFailure;
}

// Puts `binary` on the disk image `path` as the file `name`, and tells how
// it went; returns the status.
int put_on_disk(const char* path, const std::array<char, disk::kNameSize>& name,
                std::span<const std::uint8_t> binary, const Console& console) {
    const std::string path_shown = shown(console.out_terminal, path);
    const std::string name_shown = disk::shown_name(name);
    if (tape::is_tape(path)) {
        return put_on_tape(path, name, binary, console);
    }
    const disk::Container container = disk::container_of(path);
    const disk::Date date = source_date();
    disk::ImageFault fault;
    disk::Put put = disk::Put::added;
    std::size_t room = 0;  // free blocks, those of the file replaced included
    std::size_t left = 0;  // free blocks once the file is there
    const TargetOutcome outcome = update_target(
        path, disk::kMaxImageFileSize,
        [&](std::span<const std::uint8_t> contents, std::vector<std::uint8_t>& image) {
            std::vector<std::uint8_t> face;
            std::vector<disk::File> files;
            fault = disk::read_image(container, contents, face, files);
            if (fault.problem != disk::ImageProblem::none) {
                return false;
            }
            room = disk::free_blocks(face);
            for (const disk::File& file : files) {
                room += file.name == name ? file.chain.size() : 0;
            }
            put = disk::put_file(face, name, binary, date);
            if (put == disk::Put::no_room || put == disk::Put::no_entry) {
                return false;
            }
            left = disk::free_blocks(face);
            image = disk::write_image(container, contents, face);
            return true;
        });
    std::FILE* const out = console.out;
    if (!outcome.leftover.empty()) {
        print(stderr, kLeftover, shown_on_stderr(outcome.leftover.c_str()).c_str());
    }
    switch (outcome.write) {
        case TargetWrite::ok:
            print(out, put == disk::Put::replaced ? kDiskReplaced : kDiskAdded, name_shown.c_str(),
                  path_shown.c_str(), block_count(binary.size()), static_cast<int>(left));
            return kExitSuccess;
        case TargetWrite::refused:
            if (fault.problem != disk::ImageProblem::none) {
                print_image_fault(out, path_shown, fault);
            } else if (put == disk::Put::no_room) {
                print(out, kNoRoom, path_shown.c_str(), static_cast<int>(room),
                      block_count(binary.size()));
            } else {
                print(out, kDirectoryFull, path_shown.c_str(),
                      static_cast<int>(disk::kDirectoryEntries));
            }
            print(out, kUntouched, path_shown.c_str());
            return kExitFailure;
        case TargetWrite::not_regular:
            print(out, kNotRegular, path_shown.c_str());
            return kExitFailure;
        case TargetWrite::not_opened:
            print(out, kNotOpened, path_shown.c_str());
            break;
        case TargetWrite::unreadable:
            print(out, kUnreadable, path_shown.c_str());
            break;
        case TargetWrite::failed:
            print(out, kUnwritable, path_shown.c_str());
            break;
    }
    console.cause(outcome.failure);
    return kExitFailure;
}

// Lists the files of the disk image at `path`, opened only for reading; or,
// with `name`, the blocks of that one.
int list_disk(const char* path, const char* name, const Console& console) {
    std::FILE* const out = console.out;
    const std::string path_shown = shown(console.out_terminal, path);
    std::optional<std::array<char, disk::kNameSize>> wanted;
    if (name != nullptr) {
        wanted = disk::disk_name(name);
        if (!wanted) {
            print(out, kBadDiskName, shown(console.out_terminal, name).c_str());
            return console.end(kExitUsage);
        }
    }
    platform::Handle file = platform::kNoHandle;
    if (auto status = open_input(path, path_shown, file, console)) {
        return *status;
    }
    print(out, kImageEcho, path_shown.c_str());
    Buffer buffer(nullptr, &std::free);
    std::size_t size = 0;
    if (auto status = read_input(file, path_shown, disk::kMaxImageFileSize, 0,
                                 disk::kMaxImageFileSize, buffer, size, console)) {
        return *status;
    }
    std::vector<std::uint8_t> face;
    std::vector<disk::File> files;
    // Read, an empty file is no disk: only one being written stands for a blank one.
    const disk::ImageFault fault =
        size == 0 ? disk::ImageFault{disk::ImageProblem::size, 0}
                  : disk::read_image(disk::container_of(path), {buffer.get(), size}, face, files);
    if (fault.problem != disk::ImageProblem::none) {
        print_image_fault(out, path_shown, fault);
        return console.end(kExitFailure);
    }
    if (wanted) {
        for (const disk::File& one : files) {
            if (one.name == *wanted) {
                print(out, kDiskNameEcho, disk::shown_name(one.name).c_str());
                return console.end(print_listing(out, disk::file_bytes(face, one)) ? kExitSuccess
                                                                                   : kExitFailure);
            }
        }
        print(out, kNoSuchFile, disk::shown_name(*wanted).c_str(), path_shown.c_str());
        return console.end(kExitFailure);
    }
    constexpr char kTypes[] = "BDMA";
    for (const disk::File& one : files) {
        const char type = one.type < 4 ? kTypes[one.type] : '?';
        const char format = one.format == 0x00 ? 'B' : one.format == 0xFF ? 'A' : '?';
        print(out, kDiskFile, disk::shown_name(one.name).c_str(), type, format,
              static_cast<int>(one.size));
        if (one.type == disk::kTypeMachineCode && one.format == disk::kFormatBinary) {
            print_listing(out, disk::file_bytes(face, one));
        }
    }
    const std::size_t free = disk::free_blocks(face);
    print(out, kDiskFree, static_cast<int>(files.size()), static_cast<int>(free),
          static_cast<int>(free * disk::kBlockBytes));
    return console.end(kExitSuccess);
}

}  // namespace

std::vector<std::string> cause_texts() {
    std::vector<std::string> texts;
    for (const char* reason : kReasons) {
        if (*reason != '\0') {
            texts.emplace_back(reason);
        }
    }
    const std::string other = kOtherCause;
    const std::size_t start = std::strlen("Cause : ");
    texts.push_back(other.substr(start, other.find(" %ld") - start));
    return texts;
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
    for (const char* line : kBanner) {
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
        print(out, kVersion, VORK_VERSION);
        return console.end(kExitSuccess);
    }
    if (argc > 1 && std::strcmp(argv[1], "--list") == 0) {
        return list(argc > 2 ? argv[2] : nullptr, argc > 3 ? argv[3] : nullptr, console);
    }
    // --onto IMAGE, then the four arguments: the binary goes to TARGET and onto IMAGE.
    const char* onto = nullptr;
    if (argc > 1 && std::strcmp(argv[1], "--onto") == 0) {
        if (argc < 3) {
            show_documentation(out);
            console.flush();
            platform::write_text(stderr, kOntoWithoutImage);
            return console.end(kExitUsage);
        }
        onto = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc < 5) {
        show_documentation(out);
        console.flush();
        print(stderr, kArgumentCount, argc - 1, kGiven[argc - 1 > 1 ? 1 : 0]);
        return console.end(kExitUsage);
    }
    const char* const source_path = argv[1];
    const char* const load_text = argv[2];
    const char* const exec_text = argv[3];
    const char* const target_path = argv[4];
    // What the user typed, as the report shows it: a name cannot drive a terminal.
    const std::string source_shown = shown(console.out_terminal, source_path);
    const std::string target_shown = shown(console.out_terminal, target_path);

    print(out, kSourceEcho, source_shown.c_str());
    print(out, kTargetEcho, target_shown.c_str());
    print(out, kLoadEcho, shown(console.out_terminal, load_text).c_str());
    print(out, kExecEcho, shown(console.out_terminal, exec_text).c_str());
    std::array<char, disk::kNameSize> disk_file{};
    if (onto != nullptr) {
        if (auto status = check_onto(onto, target_path, disk_file, console)) {
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
    print(out, kCodeSize, static_cast<int>(code_size));
    print(out, kImageSize, static_cast<int>(code_size + kFramingSize));

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
            print(stderr, kLongAddress, shown_on_stderr(address).c_str(), address);
        }
    }
    if (is_framed(image.subspan(kHeaderSize, code_size))) {
        print(stderr, kAlreadyFramed, shown_on_stderr(source_path).c_str());
    }
    if (runs_past_end(load_address, code_size)) {
        print(stderr, kPastTheEnd, static_cast<int>(load_address + code_size - 0x10000));
    }
    frame_image(image, load_address, address_value(digits.last<kAddressDigits>()));
    const TargetOutcome outcome = write_target(target_path, image);
    if (!outcome.leftover.empty()) {
        print(stderr, kLeftover, shown_on_stderr(outcome.leftover.c_str()).c_str());
    }
    switch (outcome.write) {
        case TargetWrite::ok:
            platform::write_text(out, kDone);
            return console.end(onto != nullptr ? put_on_disk(onto, disk_file, image, console)
                                               : kExitSuccess);
        case TargetWrite::not_opened:
            print(out, kNotOpened, target_shown.c_str());
            console.cause(outcome.failure);
            return console.end(kExitFailure);
        default:
            break;
    }
    print(out, kUnwritable, target_shown.c_str());
    console.cause(outcome.failure);
    return console.end(kExitFailure);
}

}  // namespace vork
