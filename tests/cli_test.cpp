// End-to-end runs of the built vork: whole console output, exit status, files left behind.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "scratch.h"

namespace {

using namespace vork_test;

// What another user or program does around a run: before it starts, while
// strace holds it stopped (the row's strace options stop it), and once it
// has ended, to put things back.
struct Meanwhile {
    std::function<void(const Scratch&)> before = {};
    std::function<void(const Scratch&)> during = {};
    std::function<void(const Scratch&)> after = {};
};

struct CliCase {
    const char* name;
    Files before = {};  // files in the work folder before the run
    std::vector<std::string> args = {"src.bin", "2600", "2C00", "out.bin"};  // kCode's usual run
    std::string output = "";  // everything printed after the banner
    int status = 0;
    Files after = {};  // every file in the work folder and its folders after the run
    Files links = {};  // symbolic links to make before the run: name and what it names
    Report report = Report::captured;
    Fd3 fd3 = Fd3::none;
    std::string err = "";
    std::string strace = "";  // vork runs under strace with these options
    Meanwhile meanwhile = {};
    long open_files_limit = -1;
    bool unprivileged = false;  // as root, run vork as nobody
    bool needs_root = false;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

const std::string kSameFile = "Image de disque..... : d.fd\n"
                              "Erreur, la cible GAME.BIN et l'image d.fd sont un seul et meme fichier\n";

class Cli : public testing::TestWithParam<CliCase> {};

TEST_P(Cli, PrintsExactlyAndLeavesTheRightFiles) {
    const CliCase& c = GetParam();
    if (c.needs_root && getuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    if (!c.strace.empty() && std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here (Debian package strace)";
    }
    Scratch scratch;
    for (const auto& [name, contents] : c.before) {
        fs::create_directories((scratch.work() / name).parent_path());
        write_file(scratch.work() / name, contents);
    }
    for (const auto& [name, named] : c.links) {
        fs::create_symlink(named, scratch.work() / name);
    }
    RunOptions options = c.unprivileged ? as_nobody() : RunOptions{};
    options.report = c.report;
    options.fd3 = c.fd3;
    options.strace = c.strace;
    options.open_files_limit = c.open_files_limit;
    if (c.meanwhile.before) {
        c.meanwhile.before(scratch);
    }
    const pid_t pid = scratch.start(c.args, -1, options);
    if (c.meanwhile.during) {
        const pid_t traced = scratch.stopped(pid);
        if (traced > 0) {
            c.meanwhile.during(scratch);
        }
        signal_run(traced, SIGCONT);
    }
    const Outcome outcome = scratch.finish(pid);
    if (c.meanwhile.after) {
        c.meanwhile.after(scratch);
    }
    if (c.report == Report::captured || c.report == Report::error_closed ||
        c.report == Report::terminal) {
        EXPECT_EQ(outcome.out, kBanner + c.output);
    }
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(scratch.files(), c.after);
    if (c.fd3 == Fd3::target_pipe || c.fd3 == Fd3::deleted_file) {
        EXPECT_EQ(outcome.piped_target, kImage);
    }
}

const std::string kLargest(65535, '\x39');
const std::string kReportLost = "Erreur, ecriture impossible (sortie standard)\n";
// The line on standard error that gives a failure's reason.
std::string cause(const std::string& reason) { return "Cause : " + reason + "\n"; }
const std::string kNotFound = cause("Aucun fichier ou dossier de ce nom");
const std::string kMovedMeanwhile = cause("Fichier deplace ou supprime pendant l'ecriture");
const std::string kIoError = cause("Erreur d'entree-sortie");

// What a run of kCode from src.bin at 2600, started at 2C00, prints up to its
// last line, `last` (by default the success message).
std::string converted(const std::string& target, const std::string& last = kDone) {
    return echo("src.bin", target, "2600", "2C00") + sizes(3) + last;
}
std::string target_not_opened(const std::string& target) {
    return converted(target, "Erreur, fichier non ouvert " + target + " ");
}
const std::string kTooLarge(65536, '\x39');
const std::string kPastFFFF(40000, '\x12');

// --list on GAME.BIN holding `file`: the lines after the file's name, and the status.
CliCase listed(const char* name, const std::string& file, const std::string& lines, int status) {
    return {.name = name, .before = {{"GAME.BIN", file}}, .args = {"--list", "GAME.BIN"},
            .output = "Fichier binaire..... : GAME.BIN\n" + lines, .status = status,
            .after = {{"GAME.BIN", file}}};
}
const std::string kBlock1 = "Bloc 1.............. : $2600-$2602, 3 octets\n";
const std::string kStartsAt2C00 = "Adr de Lancement.... : $2C00\n";
// Two blocks, code and data, and the footer.
const std::string kTwoBlocks = bytes({0, 0, 3, 0x26, 0, 0xAA, 0xBB, 0xCC, 0, 0, 2, 0xA0, 0, 0xFF, 0,
                                      0xFF, 0, 0, 0x2C, 0});
const std::string kFooter = bytes({0xFF, 0, 0, 0x2C, 0});

INSTANTIATE_TEST_SUITE_P(
    Runs, Cli,
    testing::Values(
        CliCase{"Typical", {{"src.bin", kCode}}, {"src.bin", "2600", "2C00", "out.bin"},
                echo("src.bin", "out.bin", "2600", "2C00") + sizes(3) + kDone, 0,
                {{"src.bin", kCode}, {"out.bin", kImage}}},
        CliCase{"LowerCaseAndExtraDigits", {{"src.bin", kCode}},
                {"src.bin", "2600AB", "2c00", "out.bin", "ignored"},
                echo("src.bin", "out.bin", "2600AB", "2c00") + sizes(3) + kDone, 0,
                {{"src.bin", kCode}, {"out.bin", kImage}}, {}, Report::captured, Fd3::none,
                "Attention, l'adresse 2600AB a plus de quatre chiffres : $2600 est utilisee\n"},
        CliCase{"EmptySource", {{"src.bin", ""}}, {"src.bin", "2600", "2C00", "out.bin"},
                echo("src.bin", "out.bin", "2600", "2C00") + sizes(0) + kDone, 0,
                {{"src.bin", ""},
                 {"out.bin", bytes({0x00, 0x00, 0x00, 0x26, 0x00, 0xFF, 0x00, 0x00, 0x2C, 0x00})}}},
        CliCase{"LargestSource", {{"src.bin", kLargest}}, {"src.bin", "0000", "FFFF", "out.bin"},
                echo("src.bin", "out.bin", "0000", "FFFF") + sizes(65535) + kDone, 0,
                {{"src.bin", kLargest},
                 {"out.bin", bytes({0x00, 0xFF, 0xFF, 0x00, 0x00}) + kLargest +
                                 bytes({0xFF, 0x00, 0x00, 0xFF, 0xFF})}}},
        CliCase{"SamePathRewritesTheSource", {{"prog.bin", kCode}},
                {"prog.bin", "2600", "2C00", "prog.bin"},
                echo("prog.bin", "prog.bin", "2600", "2C00") + sizes(3) + kDone, 0,
                {{"prog.bin", kImage}}},
        CliCase{"DocumentationOnRequest", {{"src.bin", kCode}}, {"-hx", "2600", "2C00", "out.bin"},
                kDoc, 0, {{"src.bin", kCode}}},
        CliCase{"UpperCaseHIsAPath", {}, {"-H", "2600", "2C00", "out.bin"},
                echo("-H", "out.bin", "2600", "2C00") + "Erreur, fichier non ouvert -H " + kDoc, 1,
                {}, {}, Report::captured, Fd3::none, kNotFound},
        CliCase{.name = "NoArguments", .args = {}, .output = kDoc, .status = 2,
                .err = "Erreur, il faut 4 arguments, 0 donne\n"},
        // The long options every command-line tool takes; --help whatever follows it.
        CliCase{"LongHelp", {{"src.bin", kCode}}, {"--help", "2600", "2C00", "out.bin"}, kDoc, 0,
                {{"src.bin", kCode}}},
        CliCase{"Version", {}, {"--version"}, "vork 1.0.0\n", 0, {}},
        // TARGET the image under another name, through a link or a second
        // name: refused before anything is written.
        CliCase{.name = "TargetIsTheImageThroughALink",
                .before = {{"src.bin", kCode}, {"d.fd", "disk"}},
                .args = {"--onto", "d.fd", "src.bin", "2600", "2C00", "GAME.BIN"},
                .output = echo("src.bin", "GAME.BIN", "2600", "2C00") + kSameFile,
                .status = 2,
                .after = {{"src.bin", kCode}, {"d.fd", "disk"}, {"GAME.BIN", "disk"}},
                .links = {{"GAME.BIN", "d.fd"}}},
        CliCase{.name = "TargetIsTheImageUnderASecondName",
                .before = {{"src.bin", kCode}, {"d.fd", "disk"}},
                .args = {"--onto", "d.fd", "src.bin", "2600", "2C00", "GAME.BIN"},
                .output = echo("src.bin", "GAME.BIN", "2600", "2C00") + kSameFile,
                .status = 2,
                .after = {{"src.bin", kCode}, {"d.fd", "disk"}, {"GAME.BIN", "disk"}},
                .meanwhile = {.before = [](const Scratch& s) {
                    fs::create_hard_link(s.work() / "d.fd", s.work() / "GAME.BIN");
                }}},
        CliCase{"DecimalAddressWarns", {{"src.bin", kCode}}, {"src.bin", "2600", "11264", "out.bin"},
                echo("src.bin", "out.bin", "2600", "11264") + sizes(3) + kDone, 0,
                {{"src.bin", kCode},
                 {"out.bin", bytes({0, 0, 3, 0x26, 0, 0xAA, 0xBB, 0xCC, 0xFF, 0, 0, 0x11, 0x26})}},
                {}, Report::captured, Fd3::none,
                "Attention, l'adresse 11264 a plus de quatre chiffres : $1126 est utilisee\n"},
        CliCase{"FolderAsTarget", {{"src.bin", kCode}}, {"src.bin", "2600", "2C00", "."},
                target_not_opened("."), 1, {{"src.bin", kCode}}, {}, Report::captured, Fd3::none,
                cause("C'est un dossier")},
        CliCase{.name = "ThreeArguments", .before = {{"src.bin", kCode}},
                .args = {"src.bin", "2600", "2C00"}, .output = kDoc, .status = 2,
                .after = {{"src.bin", kCode}}, .err = "Erreur, il faut 4 arguments, 3 donnes\n"},
        CliCase{"MissingSource", {}, {"nope.bin", "2600", "2C00", "out.bin"},
                echo("nope.bin", "out.bin", "2600", "2C00") + "Erreur, fichier non ouvert nope.bin " +
                    kDoc,
                1, {}, {}, Report::captured, Fd3::none, kNotFound},
        CliCase{"DirectorySource", {}, {".", "2600", "2C00", "out.bin"},
                echo(".", "out.bin", "2600", "2C00") + "Erreur, fichier non ouvert . " + kDoc, 1, {}, {}, Report::captured,
                Fd3::none, cause("C'est un dossier")},
        CliCase{"TooLargeSource", {{"big.bin", kTooLarge}}, {"big.bin", "2600", "2C00", "out.bin"},
                echo("big.bin", "out.bin", "2600", "2C00") +
                    "Erreur, fichier trop grand big.bin (65535 octets au plus)\n",
                1, {{"big.bin", kTooLarge}}},
        CliCase{"ShortAddressOneErrorForItsEnd", {{"src.bin", kCode}},
                {"src.bin", "2600", "2C", "out.bin"},
                echo("src.bin", "out.bin", "2600", "2C") + sizes(3) + kBadDigit, 2,
                {{"src.bin", kCode}}},
        CliCase{"EveryBadDigitOfBothAddresses", {{"src.bin", kCode}},
                {"src.bin", "zz00", "", "out.bin"},
                echo("src.bin", "out.bin", "zz00", "") + sizes(3) + kBadDigit + kBadDigit + kBadDigit,
                2, {{"src.bin", kCode}}},
        CliCase{"FormatSequencesInAddresses", {{"src.bin", kCode}},
                {"src.bin", "%n%s", "%x", "out.bin"},
                echo("src.bin", "out.bin", "%n%s", "%x") + sizes(3) + kBadDigit + kBadDigit +
                    kBadDigit + kBadDigit + kBadDigit + kBadDigit + kBadDigit,
                2, {{"src.bin", kCode}}},
        CliCase{"AccentedNamesWithASpace", {{"démo é.raw", kCode}, {"DÉMO.BIN", "older"}},
                {"démo é.raw", "2600", "2C00", "DÉMO.BIN"},
                echo("démo é.raw", "DÉMO.BIN", "2600", "2C00") + sizes(3) + kDone, 0,
                {{"démo é.raw", kCode}, {"DÉMO.BIN", kImage}}},
        CliCase{"NamesNoCodePageHolds", {{"Ωmega.raw", kCode}, {"Omega.raw", "decoy"}},
                {"Ωmega.raw", "2600", "2C00", "図形.bin"},
                echo("Ωmega.raw", "図形.bin", "2600", "2C00") + sizes(3) + kDone, 0,
                {{"Ωmega.raw", kCode}, {"Omega.raw", "decoy"}, {"図形.bin", kImage}}},
        CliCase{"AccentedSourceIsTarget", {{"prog-ü.raw", kCode}},
                {"prog-ü.raw", "2600", "2C00", "prog-ü.raw"},
                echo("prog-ü.raw", "prog-ü.raw", "2600", "2C00") + sizes(3) + kDone, 0,
                {{"prog-ü.raw", kImage}}},
        CliCase{"AccentedAddressIsTwoBadBytes", {{"src.bin", kCode}},
                {"src.bin", "26é0", "2C00", "out.bin"},
                echo("src.bin", "out.bin", "26é0", "2C00") + sizes(3) + kBadDigit + kBadDigit,
                2, {{"src.bin", kCode}}},
        CliCase{"MissingAccentedSource", {}, {"nüpe.raw", "2600", "2C00", "out.bin"},
                echo("nüpe.raw", "out.bin", "2600", "2C00") +
                    "Erreur, fichier non ouvert nüpe.raw " + kDoc,
                1, {}, {}, Report::captured, Fd3::none, kNotFound},
        // Warnings on standard error; the output and the image stay as they are.
        CliCase{"FramingAnImageAgainWarns", {{"HELLO.BIN", kImage}},
                {"HELLO.BIN", "2600", "2C00", "OUT.BIN"},
                echo("HELLO.BIN", "OUT.BIN", "2600", "2C00") + sizes(13) + kDone, 0,
                {{"HELLO.BIN", kImage},
                 {"OUT.BIN", bytes({0, 0, 13, 0x26, 0}) + kImage + bytes({0xFF, 0, 0, 0x2C, 0})}},
                {}, Report::captured, Fd3::none,
                "Attention, HELLO.BIN est deja un fichier binaire type dos thomson\n"},
        CliCase{"CodePastFFFFWarns", {{"src.bin", kPastFFFF}}, {"src.bin", "9000", "9000", "out.bin"},
                echo("src.bin", "out.bin", "9000", "9000") + sizes(40000) + kDone, 0,
                {{"src.bin", kPastFFFF},
                 {"out.bin", bytes({0, 0x9C, 0x40, 0x90, 0}) + kPastFFFF +
                                 bytes({0xFF, 0, 0, 0x90, 0})}},
                {}, Report::captured, Fd3::none,
                "Attention, le code depasse l'adresse $FFFF (11328 octets de trop)\n"},
        CliCase{"CodeEndingAtFFFFIsFine", {{"src.bin", kCode}}, {"src.bin", "FFFD", "FFFD", "out.bin"},
                echo("src.bin", "out.bin", "FFFD", "FFFD") + sizes(3) + kDone, 0,
                {{"src.bin", kCode},
                 {"out.bin", bytes({0, 0, 3, 0xFF, 0xFD}) + kCode + bytes({0xFF, 0, 0, 0xFF, 0xFD})}}},
        // --list: the blocks of a binary, or what is wrong with it and where.
        listed("ListOneBlock", kImage, kBlock1 + kStartsAt2C00, 0),
        listed("ListCodeAndData", kTwoBlocks,
               kBlock1 + "Bloc 2.............. : $A000-$A001, 2 octets\n" + kStartsAt2C00, 0),
        listed("ListEmptyBlock", bytes({0, 0, 0, 0x30, 0}) + kFooter,
               "Bloc 1.............. : $3000, 0 octets\n" + kStartsAt2C00, 0),
        listed("ListBlockPastFFFF", bytes({0, 0, 4, 0xFF, 0xFE, 1, 2, 3, 4}) + kFooter,
               "Bloc 1.............. : $FFFE-$FFFF, 4 octets (2 au-dela de $FFFF)\n" +
                   kStartsAt2C00, 0),
        listed("ListCutInAHeader", kImage.substr(0, 8) + bytes({0, 0, 1}),
               kBlock1 + "Erreur, le fichier s'arrete dans l'en-tete du bloc 2 (octet 8)\n", 1),
        // Where the file ends, not where the block it ends in starts.
        listed("ListCutInABlock", kTwoBlocks.substr(0, 14),
               kBlock1 + "Erreur, le fichier s'arrete a l'octet 14, dans le bloc 2 (octets 8-14) : "
                         "il manque 1 octet\n", 1),
        listed("ListRawFile", kCode,
               "Erreur, octet $AA a l'octet 0 : ni un debut de bloc ($00) ni la fin ($FF)\n", 1),
        listed("ListNoFooter", kImage.substr(0, 8),
               kBlock1 + "Erreur, le fichier s'arrete sans sa fin ($FF) (octet 8)\n", 1),
        listed("ListEmptyFile", "", "Erreur, le fichier s'arrete sans sa fin ($FF) (octet 0)\n", 1),
        listed("ListCutInTheFooter", kImage.substr(0, 11),
               kBlock1 + "Erreur, le fichier s'arrete dans sa fin ($FF) (octet 8)\n", 1),
        listed("ListFooterNotZero", kImage.substr(0, 8) + bytes({0xFF, 0, 1, 0x2C, 0}),
               kBlock1 + "Erreur, la fin ($FF) de l'octet 8 n'a pas ses deux octets nuls\n", 1),
        listed("ListBytesAfterTheFooter", kImage + "\x1A\x1A",
               kBlock1 + "Erreur, 2 octets apres la fin ($FF), a partir de l'octet 13\n", 1),
        CliCase{.name = "ListMissingFile", .args = {"--list", "NOPE.BIN"},
                .output = "Erreur, fichier non ouvert NOPE.BIN " + kDoc, .status = 1,
                .err = kNotFound},
        CliCase{.name = "ListWithoutFile", .args = {"--list"}, .output = kDoc, .status = 2,
                .err = "Erreur, --list attend le nom d'un fichier\n"},
        CliCase{"TargetCannotBeCreated", {{"src.bin", kCode}},
                {"src.bin", "2600", "2C00", "no/dir/out.bin"},
                echo("src.bin", "no/dir/out.bin", "2600", "2C00") + sizes(3) +
                    "Erreur, fichier non ouvert no/dir/out.bin ",
                1, {{"src.bin", kCode}}, {}, Report::captured, Fd3::none, kNotFound}),
    [](const testing::TestParamInfo<CliCase>& info) { return info.param.name; });

// Linux only: reading /proc/self/mem fails part way with EIO, and only Linux
// hands over arguments as raw bytes (Windows turns 0xFF into '?').
INSTANTIATE_TEST_SUITE_P(
    LinuxRuns, Cli,
    testing::Values(CliCase{"UnreadableSource", {}, {"/proc/self/mem", "2600", "2C00", "out.bin"},
                            echo("/proc/self/mem", "out.bin", "2600", "2C00") +
                                "Erreur, lecture impossible /proc/self/mem\n",
                            1, {}, {}, Report::captured, Fd3::none, kIoError},
                    // Refused as --onto refuses them, without waiting for a writer.
                    CliCase{.name = "ListEndlessDevice", .args = {"--list", "/dev/zero"},
                            .output = "Erreur, /dev/zero n'est pas un fichier ordinaire\n",
                            .status = 1},
                    CliCase{.name = "ListFifoNamedLikeADisk", .args = {"--list", "p.fd"},
                            .output = "Erreur, p.fd n'est pas un fichier ordinaire\n", .status = 1,
                            .meanwhile = {.before = [](const Scratch& s) {
                                mkfifo((s.work() / "p.fd").c_str(), 0600); }}},
                    CliCase{.name = "ListAnotherUsersFile", .before = {{"GAME.BIN", kImage}},
                            .args = {"--list", "GAME.BIN"},
                            .output = "Fichier binaire..... : GAME.BIN\n" + kBlock1 + kStartsAt2C00,
                            .status = 0, .after = {{"GAME.BIN", kImage}}, .unprivileged = true,
                            .needs_root = true},
                    CliCase{"HighBytesInAddress", {{"src.bin", kCode}},
                            {"src.bin", "\xff\x80", "2C00", "out.bin"},
                            echo("src.bin", "out.bin", "\xff\x80", "2C00") + sizes(3) + kBadDigit +
                                kBadDigit + kBadDigit,
                            2, {{"src.bin", kCode}}},
                    CliCase{"LinkLoopIsRefused", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "a.bin"},
                            target_not_opened("a.bin"), 1, {{"src.bin", kCode}},
                            {{"a.bin", "b.bin"}, {"b.bin", "a.bin"}}, Report::captured, Fd3::none,
                            cause("Trop de liens symboliques")},
                    // Permission cases run as an unprivileged user, since root may open anything.
                    CliCase{.name = "ReadOnlySourceConverts", .before = {{"src.bin", kCode}},
                            .output = converted("out.bin"), .status = 0,
                            .after = {{"src.bin", kCode}, {"out.bin", kImage}},
                            .meanwhile = {.before = [](const Scratch& s) {
                                fs::permissions(s.work() / "src.bin", static_cast<fs::perms>(0444));
                            }},
                            .unprivileged = true},
                    CliCase{.name = "SourceWithoutReadPermissionIsRefused",
                            .before = {{"src.bin", kCode}},
                            .output = echo("src.bin", "out.bin", "2600", "2C00") +
                                      "Erreur, fichier non ouvert src.bin " + kDoc,
                            .status = 1, .after = {{"src.bin", kCode}}, .err = cause("Permission refusee"),
                            .meanwhile = {.before = [](const Scratch& s) {
                                              fs::permissions(s.work() / "src.bin", fs::perms::none);
                                          },
                                          .after = [](const Scratch& s) {  // for the check of files
                                              fs::permissions(s.work() / "src.bin", fs::perms::all);
                                          }},
                            .unprivileged = true},
                    // A target the user may not write is refused and kept; one behind a
                    // link in another folder is written there, the link kept.
                    CliCase{.name = "ReadOnlyTargetIsRefusedAndKept",
                            .before = {{"src.bin", kCode}, {"out.bin", "older image"}},
                            .output = target_not_opened("out.bin"), .status = 1,
                            .after = {{"src.bin", kCode}, {"out.bin", "older image"}},
                            .err = cause("Permission refusee"),
                            .meanwhile = {.before = [](const Scratch& s) {
                                fs::permissions(s.work() / "out.bin", static_cast<fs::perms>(0444));
                            }},
                            .unprivileged = true},
                    CliCase{.name = "LinkIntoAnotherFolderStaysALink",
                            .before = {{"src.bin", kCode}, {"images/real.bin", "older image"}},
                            .args = {"src.bin", "2600", "2C00", "link.bin"},
                            .output = converted("link.bin"), .status = 0,
                            .after = {{"src.bin", kCode}, {"images/real.bin", kImage},
                                      {"link.bin", kImage}},
                            .links = {{"link.bin", "images/real.bin"}}},
                    CliCase{"DanglingLinkIntoNoFolder", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "out.bin"}, target_not_opened("out.bin"), 1,
                            {{"src.bin", kCode}}, {{"out.bin", "no/dir/x.bin"}}, Report::captured,
                            Fd3::none, kNotFound},
                    CliCase{"DanglingLinkMakesWhatItNames", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "out.bin"}, converted("out.bin"), 0,
                            {{"src.bin", kCode}, {"new.bin", kImage}, {"out.bin", kImage}},
                            {{"out.bin", "new.bin"}}},
                    CliCase{"PipeTargetByDescriptor", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "/dev/fd/3"}, converted("/dev/fd/3"), 0,
                            {{"src.bin", kCode}}, {}, Report::captured, Fd3::target_pipe},
                    CliCase{"PipeTargetNobodyReads", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "/dev/fd/3"},
                            converted("/dev/fd/3", "Erreur, ecriture impossible /dev/fd/3\n"), 1,
                            {{"src.bin", kCode}}, {}, Report::captured, Fd3::target_pipe_unread,
                            cause("Plus personne ne lit")},
                    CliCase{"DeletedFileByDescriptorLeavesNoStray", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "/proc/self/fd/3"},
                            converted("/proc/self/fd/3"), 0, {{"src.bin", kCode}}, {},
                            Report::captured, Fd3::deleted_file},
                    CliCase{"ReportToClosedOutput", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "out.bin"}, "", 1,
                            {{"src.bin", kCode}, {"out.bin", kImage}}, {},
                            Report::closed, Fd3::none, kReportLost + cause("Sortie fermee")},
                    CliCase{"ReportToFullDevice", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "out.bin"}, "", 1,
                            {{"src.bin", kCode}, {"out.bin", kImage}}, {},
                            Report::full, Fd3::none, kReportLost + cause("Disque plein")},
                    CliCase{"ReportToPipeNobodyReads", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "out.bin"}, "", 1,
                            {{"src.bin", kCode}, {"out.bin", kImage}}, {},
                            Report::broken_pipe, Fd3::none,
                            kReportLost + cause("Plus personne ne lit")},
                    CliCase{"ReportLostKeepsTheUsageStatus", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C0", "out.bin"}, "", 2, {{"src.bin", kCode}}, {},
                            Report::broken_pipe, Fd3::none,
                            kReportLost + cause("Plus personne ne lit")},
                    // The image and the report cannot share a file; a closed
                    // descriptor is refused as the shell refuses it.
                    CliCase{"TargetIsTheReportsOwnFile", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "/dev/stdout"},
                            target_not_opened("/dev/stdout"), 1, {{"src.bin", kCode}}, {},
                            Report::captured, Fd3::none,
                            cause("C'est le fichier de la sortie standard")},
                    CliCase{"TargetIsAClosedDescriptor", {{"src.bin", kCode}},
                            {"src.bin", "2600", "2C00", "/dev/stderr"},
                            target_not_opened("/dev/stderr"), 1, {{"src.bin", kCode}}, {},
                            Report::error_closed},
                    // Names cannot drive a terminal; a file gets them as typed.
                    CliCase{"ControlsInANameToAFile", {{"a\033]0;x\a.raw", kCode}},
                            {"a\033]0;x\a.raw", "2600", "2C00", "b\r.bin"},
                            echo("a\033]0;x\a.raw", "b\r.bin", "2600", "2C00") + sizes(3) + kDone,
                            0, {{"a\033]0;x\a.raw", kCode}, {"b\r.bin", kImage}}},
                    CliCase{"ControlsInANameToATerminal", {{"a\033]0;x\a.raw", kCode}},
                            {"a\033]0;x\a.raw", "2600", "2C00", "b\r\xC2\x9B.bin"},
                            echo("a\\033]0;x\\a.raw", "b\\r\\302\\233.bin", "2600", "2C00") +
                                sizes(3) + kDone,
                            0, {{"a\033]0;x\a.raw", kCode}, {"b\r\xC2\x9B.bin", kImage}}, {},
                            Report::terminal}),
    [](const testing::TestParamInfo<CliCase>& info) { return info.param.name; });

// The world changing during a run, at the moment strace stops vork: as it
// syncs the new file (kStopAtSync) or reserves room in place. Native runs
// only: strace counts the calls of vork itself, not of an emulator.
const std::string kStopAtSync = "-e inject=fsync:signal=STOP:when=1";
const std::string kStopAtRoom = "-e inject=fallocate:signal=STOP:when=1";
const std::string kOtherImage = bytes({0, 0, 1, 0x26, 0, 0x11, 0xFF, 0, 0, 0x2C, 0});

// Runs another vork on `args` in the work folder, to its end, its report dropped.
void another_vork(const Scratch& scratch, const std::string& args) {
    const std::string line = "cd '" + scratch.work().string() + "' && '" VORK_BINARY "' " + args +
                             " </dev/null >/dev/null 2>&1";
    ASSERT_EQ(std::system(line.c_str()), 0) << line;
}

// Makes `folder` append-only (chattr +a), or no longer.
void append_only(const fs::path& folder, bool on) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    ASSERT_EQ(ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    ASSERT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
    close(fd);
}

// A run of kCode from src.bin over out.bin, which held "older": the image
// ends there, through the strace options `strace`.
CliCase over_older(const char* name, const std::string& strace) {
    return {.name = name, .before = {{"src.bin", kCode}, {"out.bin", "older"}},
            .output = converted("out.bin"), .status = 0,
            .after = {{"src.bin", kCode}, {"out.bin", kImage}}, .strace = strace};
}

int lease_fd = -1;  // the test's lease on the target
int lock_fd = -1;   // the test's lock on real.bin

// out.bin has a second name, other.bin, so it is written in place.
const Meanwhile kSecondName = {.before = [](const Scratch& s) {
    fs::create_hard_link(s.work() / "out.bin", s.work() / "other.bin");
}};

// Another program keeps a lock on real.bin for the whole run: a replacement
// goes ahead, a write in place would wait and fail.
const Meanwhile kLockedByAnother = {
    .before = [](const Scratch& s) {
        lock_fd = open((s.work() / "real.bin").c_str(), O_RDWR | O_CLOEXEC);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        ASSERT_EQ(fcntl(lock_fd, F_SETLK, &whole), 0);
    },
    .after = [](const Scratch&) { close(lock_fd); }};

// The same on every system, under Wine and qemu-user too.
INSTANTIATE_TEST_SUITE_P(
    Meanwhile, Cli,
    testing::Values(
        // The finished image goes to the path whatever the path holds by then.
        CliCase{.name = "TargetReplacedMeanwhile",
                .before = {{"src.bin", kCode}, {"other.raw", "\x11"}, {"out.bin", "older"}},
                .output = converted("out.bin"), .status = 0,
                .after = {{"src.bin", kCode}, {"other.raw", "\x11"}, {"out.bin", kImage}},
                .strace = kStopAtSync,
                .meanwhile = {.during = [](const Scratch& s) {
                    another_vork(s, "other.raw 2600 2C00 out.bin");
                    ASSERT_EQ(read_file(s.work() / "out.bin"), kOtherImage);
                }}},
        CliCase{.name = "TargetDeletedMeanwhile",
                .before = {{"src.bin", kCode}, {"out.bin", "older"}},
                .output = converted("out.bin"), .status = 0,
                .after = {{"src.bin", kCode}, {"out.bin", kImage}},
                .strace = kStopAtSync,
                .meanwhile = {.during = [](const Scratch& s) { fs::remove(s.work() / "out.bin"); }}},
        CliCase{.name = "FolderDeletedMeanwhile",
                .before = {{"src.bin", kCode}, {"dir/out.bin", "older"}},
                .args = {"src.bin", "2600", "2C00", "dir/out.bin"},
                .output = converted("dir/out.bin", "Erreur, ecriture impossible dir/out.bin\n"),
                .status = 1, .after = {{"src.bin", kCode}},
                .err = kMovedMeanwhile,
                .strace = kStopAtSync,
                .meanwhile = {.during = [](const Scratch& s) { fs::remove_all(s.work() / "dir"); }}}),
    [](const testing::TestParamInfo<CliCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    NativeRuns, Cli,
    testing::Values(
        // A folder renamed meanwhile holds the image where the path no longer leads.
        CliCase{.name = "FolderRenamedMeanwhile",
                .before = {{"src.bin", kCode}, {"dir/out.bin", "older"}},
                .args = {"src.bin", "2600", "2C00", "dir/out.bin"},
                .output = converted("dir/out.bin", "Erreur, ecriture impossible dir/out.bin\n"),
                .status = 1,
                .after = {{"src.bin", kCode}, {"moved/out.bin", kImage}},
                .err = kMovedMeanwhile,
                .strace = kStopAtSync,
                .meanwhile = {.during = [](const Scratch& s) {
                    fs::rename(s.work() / "dir", s.work() / "moved");
                }}},
        CliCase{.name = "FolderMadeAppendOnlyMeanwhile",
                .before = {{"src.bin", kCode}, {"dir/out.bin", "older"}},
                .args = {"src.bin", "2600", "2C00", "dir/out.bin"},
                .output = converted("dir/out.bin"), .status = 0,
                .after = {{"src.bin", kCode}, {"dir/out.bin", kImage}},
                .strace = kStopAtSync,
                .meanwhile = {.during = [](const Scratch& s) { append_only(s.work() / "dir", true); },
                              .after = [](const Scratch& s) { append_only(s.work() / "dir", false); }},
                .needs_root = true},
        // The rename refused, and a link to another file put where the target
        // was: the link's file is never written.
        CliCase{.name = "RenameFailsAndALinkTakesTheName",
                .before = {{"src.bin", kCode}, {"victim", "secret"}, {"dir/GAME.BIN", "older"}},
                .args = {"src.bin", "2600", "2C00", "dir/GAME.BIN"},
                .output = converted("dir/GAME.BIN", "Erreur, ecriture impossible dir/GAME.BIN\n"),
                .status = 1,
                .after = {{"src.bin", kCode}, {"victim", "secret"}, {"dir/GAME.BIN", "secret"}},
                .err = kMovedMeanwhile,
                .strace = kStopAtSync + " -e inject=rename,renameat,renameat2:error=ENOENT",
                .meanwhile = {.during = [](const Scratch& s) {
                    fs::remove(s.work() / "dir/GAME.BIN");
                    fs::create_symlink("../victim", s.work() / "dir/GAME.BIN");
                }}},
        // ... nor the file a hard link put there, found by its identity.
        CliCase{.name = "RenameFailsAndAHardLinkTakesTheName",
                .before = {{"src.bin", kCode}, {"dir/precious.bin", "secret"}, {"dir/GAME.BIN", "older"}},
                .args = {"src.bin", "2600", "2C00", "dir/GAME.BIN"},
                .output = converted("dir/GAME.BIN", "Erreur, ecriture impossible dir/GAME.BIN\n"),
                .status = 1,
                .after = {{"src.bin", kCode}, {"dir/precious.bin", "secret"}, {"dir/GAME.BIN", "secret"}},
                .err = kMovedMeanwhile,
                .strace = kStopAtSync + " -e inject=rename,renameat,renameat2:error=ENOENT",
                .meanwhile = {.during = [](const Scratch& s) {
                    fs::remove(s.work() / "dir/GAME.BIN");
                    fs::create_hard_link(s.work() / "dir/precious.bin", s.work() / "dir/GAME.BIN");
                }}},
        // The target gone between the look and the second open, which makes
        // it again: this run's, it goes when the run fails.
        CliCase{.name = "TargetVanishesBetweenTheOpens",
                .before = {{"src.bin", kCode}, {"out.bin", "older"}},
                .output = converted("out.bin", "Erreur, ecriture impossible out.bin\n"),
                .status = 1,
                .after = {{"src.bin", kCode}},
                .err = cause("Erreur d'entree-sortie"),
                .strace = "-P WORK -e inject=newfstatat:signal=STOP:when=1 "
                          "-e inject=openat:error=EIO:when=3",
                .meanwhile = {.during = [](const Scratch& s) { fs::remove(s.work() / "out.bin"); }}},
        // A new target that another program filled meanwhile is not this run's to remove.
        CliCase{.name = "NewTargetFilledMeanwhileStays",
                .before = {{"src.bin", kCode}},
                .args = {"src.bin", "2600", "2C00", "new.bin"},
                .output = converted("new.bin", "Erreur, ecriture impossible new.bin\n"),
                .status = 1, .after = {{"src.bin", kCode}, {"new.bin", "theirs"}},
                .err = kIoError,
                .strace = "-e inject=fsync:signal=STOP:error=EIO",
                .meanwhile = {.during = [](const Scratch& s) {
                    std::ofstream(s.work() / "new.bin", std::ios::binary | std::ios::app) << "theirs";
                }}},
        // No file can be made beside the target: written in place.
        CliCase{.name = "NoDescriptorLeftWritesInPlace",
                .before = {{"src.bin", kCode}, {"out.bin", "older"}},
                .output = converted("out.bin"), .status = 0,
                .after = {{"src.bin", kCode}, {"out.bin", kImage}},
                .open_files_limit = 4},
        over_older("NoRoomForANewFileWritesInPlace", "-P WORK -e inject=openat:error=ENOSPC:when=3"),
        over_older("NewFileNotPermittedWritesInPlace", "-P WORK -e inject=openat:error=EPERM:when=3"),
        // Written in place, the very file, when the rename is refused (a file mounted over).
        over_older("RenameRefusedWritesInPlace", "-e inject=renameat:error=EBUSY"),
        // In place: a sync that fails, and a truncation the file system ignores, are told.
        CliCase{.name = "InPlaceSyncFails",
                .before = {{"src.bin", kCode}, {"out.bin", "older"}},
                .output = converted("out.bin", "Erreur, ecriture impossible out.bin\n"),
                .status = 1,
                .after = {{"src.bin", kCode}, {"out.bin", kImage}, {"other.bin", kImage}},
                .err = kIoError,
                .strace = "-e inject=fsync:error=EIO",
                .meanwhile = kSecondName},
        CliCase{.name = "InPlaceTruncationIgnored",
                .before = {{"src.bin", kCode}, {"out.bin", "a much longer older image"}},
                .output = converted("out.bin", "Erreur, ecriture impossible out.bin\n"),
                .status = 1,
                .after = {{"src.bin", kCode}, {"out.bin", kImage + " older image"},
                          {"other.bin", kImage + " older image"}},
                .err = cause("Le systeme de fichiers a garde une autre taille"),
                .strace = "-e inject=ftruncate:retval=0",
                .meanwhile = kSecondName},
        // Replaced, not written in place, with no /proc to name the new file by.
        CliCase{.name = "NoProcNamesTheNewFileByItsHandle",
                .before = {{"src.bin", kCode}, {"real.bin", "older"}},
                .args = {"src.bin", "2600", "2C00", "real.bin"},
                .output = converted("real.bin"), .status = 0,
                .after = {{"src.bin", kCode}, {"real.bin", kImage}},
                .strace = "-e inject=linkat:error=ENOENT:when=1", .meanwhile = kLockedByAnother},
        // The folder's sync after the move is part of the success; the
        // failure says the image is there, unlike one that changed nothing.
        CliCase{.name = "FolderSyncFails",
                .before = {{"src.bin", kCode}, {"out.bin", "older"}},
                .output = converted("out.bin", "Erreur, out.bin contient le binaire, mais rien ne "
                                               "garantit qu'il soit sur le disque\n"),
                .status = 1, .after = {{"src.bin", kCode}, {"out.bin", kImage}}, .err = kIoError,
                .strace = "-e trace=fsync -e inject=fsync:error=EIO:when=2"},
        // In place, the name made a link to the very file before the write:
        // never status 0 for a file nobody will read.
        CliCase{.name = "InPlaceNameBecomesALinkToTheVeryFile",
                .before = {{"src.bin", kCode}, {"out.bin", "older"}},
                .output = converted("out.bin", "Erreur, ecriture impossible out.bin\n"),
                .status = 1,
                .after = {{"src.bin", kCode}, {"out.bin", "older"}, {"other.bin", "older"}},
                .err = kMovedMeanwhile,
                .strace = kStopAtRoom,
                .meanwhile = {.before = kSecondName.before,
                              .during = [](const Scratch& s) {
                                  fs::remove(s.work() / "out.bin");
                                  fs::create_symlink("other.bin", s.work() / "out.bin");
                              }}},
        // A file made through a link to nothing is this run's, and goes on failure.
        CliCase{.name = "DanglingLinkTargetGoesOnFailure",
                .before = {{"src.bin", kCode}},
                .output = converted("out.bin", "Erreur, ecriture impossible out.bin\n"),
                .status = 1, .after = {{"src.bin", kCode}}, .links = {{"out.bin", "new.bin"}},
                .err = kIoError, .strace = "-e trace=fsync -e inject=fsync:error=EIO:when=1"},
        // An append-only folder the user may write and search but not list:
        // in place, nothing left beside.
        CliCase{.name = "UnlistableAppendOnlyFolderWritesInPlace",
                .before = {{"src.bin", kCode}, {"dir/out.bin", "older"}},
                .args = {"src.bin", "2600", "2C00", "dir/out.bin"},
                .output = converted("dir/out.bin"), .status = 0,
                .after = {{"src.bin", kCode}, {"dir/out.bin", kImage}},
                .meanwhile = {.before = [](const Scratch& s) {
                                  ASSERT_EQ(chown((s.work() / "dir/out.bin").c_str(), 65534, 65534), 0);
                                  fs::permissions(s.work() / "dir", static_cast<fs::perms>(0333));
                                  append_only(s.work() / "dir", true);
                              },
                              .after = [](const Scratch& s) {
                                  append_only(s.work() / "dir", false);
                                  fs::permissions(s.work() / "dir", fs::perms::all);
                              }},
                .unprivileged = true, .needs_root = true},
        // Another program's lease on the target is not waited for beyond a few seconds.
        CliCase{.name = "LeaseHeldByAnotherProgram",
                .before = {{"src.bin", kCode}, {"out.bin", "older"}},
                .output = target_not_opened("out.bin"), .status = 1,
                .after = {{"src.bin", kCode}, {"out.bin", "older"}},
                .err = cause("Fichier verrouille par un autre programme"),
                .meanwhile = {.before = [](const Scratch& s) {
                                  signal(SIGIO, SIG_IGN);  // the lease break's signal
                                  lease_fd = open((s.work() / "out.bin").c_str(), O_RDONLY);
                                  ASSERT_EQ(fcntl(lease_fd, F_SETLEASE, F_RDLCK), 0);
                              },
                              .after = [](const Scratch&) { close(lease_fd); }}}),
    [](const testing::TestParamInfo<CliCase>& info) { return info.param.name; });

TEST(CliSource, PipedSourceIsReadAsAStream) {
    // All at once, and in pieces: two bytes, then the last one a moment later.
    for (const std::size_t first : {0, 2}) {
        Scratch scratch;
        RunOptions options = piped(kCode);
        options.piped_first = first;
        const Outcome outcome = scratch.run({"/dev/fd/3", "2600", "2C00", "out.bin"}, options);
        EXPECT_EQ(outcome.status, 0) << outcome.out;
        EXPECT_EQ(read_file(scratch.work() / "out.bin"), kImage) << first;
    }
}

TEST(CliPause, WaitsForOneCharacterBeforeExiting) {
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    // Close-on-exec, so that vork holds no end of its own keyboard.
    int keyboard[2];
    ASSERT_EQ(pipe2(keyboard, O_CLOEXEC), 0);
    const pid_t pid = scratch.start({"src.bin", "2600", "2C00", "out.bin"}, keyboard[0]);
    close(keyboard[0]);
    // The whole report is out before the pause, its last line included; and
    // then the run is still waiting on its input.
    const std::string report =
        kBanner + echo("src.bin", "out.bin", "2600", "2C00") + sizes(3) + kDone;
    const fs::path printed = scratch.work().parent_path() / "stdout";
    for (int i = 0; i < 1000 && read_file(printed).find("est pret") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(read_file(printed).find("est pret"), std::string::npos)
        << "the report waits behind the pause";
    int wait_status = 0;
    EXPECT_EQ(waitpid(pid, &wait_status, WNOHANG), 0) << "vork ended without waiting for a key";
    ASSERT_EQ(write(keyboard[1], "\n", 1), 1);
    close(keyboard[1]);
    const Outcome outcome = scratch.finish(pid);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, report);
}

TEST(CliPause, TakesOneByteAndLeavesTheRestToTheCaller) {
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    // A pipe, as in `{ vork ...; cat; } <list`: what vork reads is gone for good.
    int list[2];
    ASSERT_EQ(pipe2(list, O_CLOEXEC), 0);
    // A carriage return first: Windows' text mode would drop it and take the G.
    ASSERT_EQ(write(list[1], "\rGAME.BIN\r\n", 11), 11);
    close(list[1]);
    const Outcome outcome =
        scratch.finish(scratch.start({"src.bin", "2600", "2C00", "out.bin"}, list[0]));
    EXPECT_EQ(outcome.status, 0);
    char rest[32];
    const ssize_t n = read(list[0], rest, sizeof rest);
    EXPECT_EQ(std::string(rest, static_cast<std::size_t>(n > 0 ? n : 0)), "GAME.BIN\r\n");
    close(list[0]);
}

// On a terminal the pause waits for Enter and takes the whole line, so that
// nothing typed before Enter reaches the shell afterwards.
TEST(CliPause, OnATerminalTakesTheWholeLine) {
    if (std::getenv("VORK_TEST_WINE") != nullptr) {
        GTEST_SKIP() << "a Unix terminal";
    }
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(write(master, "abc\n", 4), 4);
    const Outcome outcome =
        scratch.finish(scratch.start({"src.bin", "2600", "2C00", "out.bin"}, terminal));
    EXPECT_EQ(outcome.status, 0);
    char left[8];
    EXPECT_EQ(read(terminal, left, sizeof left), -1) << "part of the line was left behind";
    close(terminal);
    close(master);
}

// What only Windows has: device names, files other programs hold open, and
// file attributes. These run against VORK.exe under Wine only.
class CliWindows : public testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("VORK_TEST_WINE") == nullptr) {
            GTEST_SKIP() << "Windows program only";
        }
        write_file(scratch.work() / "src.bin", kCode);
        write_file(scratch.work() / "out.bin", "older image");
    }

    // A shell line that runs `command` in the work folder: "$VORK_TEST_WINE" is Wine.
    std::string in_work(const std::string& command) const {
        return "cd '" + scratch.work().string() + "' && " + command;
    }

    // Runs the Windows `command` under Wine; returns what it printed.
    std::string windows(const std::string& command) const {
        std::string printed;
        const std::string line = in_work("\"$VORK_TEST_WINE\" " + command + " </dev/null");
        if (std::FILE* pipe = popen(line.c_str(), "r")) {
            for (int c; (c = std::fgetc(pipe)) != EOF;) {
                printed.push_back(static_cast<char>(c));
            }
            pclose(pipe);
        }
        return printed;
    }

    Scratch scratch;
};

TEST_F(CliWindows, DeviceNameIsWrittenNotCreated) {
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "NUL"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kBanner + converted("NUL"));
    EXPECT_EQ(scratch.files(), (Files{{"src.bin", kCode}, {"out.bin", "older image"}}));
}

// An editor saves the target with a backup while vork is at work: the image
// replaces the editor's file, and the backup, the old file, is left alone.
TEST_F(CliWindows, TargetSavedWithABackupMeanwhile) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here (Debian package strace)";
    }
    RunOptions options;
    options.strace = kStopAtSync;
    const pid_t pid = scratch.start({"src.bin", "2600", "2C00", "out.bin"}, -1, options);
    const pid_t traced = scratch.stopped(pid);
    if (traced > 0) {
        windows("\"$VORK_TEST_WINE_HOLD\" save out.bin out.bak");
    }
    signal_run(traced, SIGCONT);
    const Outcome outcome = scratch.finish(pid);
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(scratch.files(),
              (Files{{"src.bin", kCode}, {"out.bin", kImage}, {"out.bak", "older image"}}));
}

// The report's own file named as the target, through cmd, whose `>` gives
// VORK.exe a real file (Wine's own start hands over no such file): refused,
// and the file holds the report, not the image.
TEST_F(CliWindows, ReportsOwnFileIsRefused) {
    fs::copy_file(std::getenv("VORK_TEST_WINE_EXE"), scratch.work() / "VORK.exe");
    windows("cmd /c \"VORK.exe src.bin 2600 2C00 out.bin >out.bin\"");
    const std::string report = read_file(scratch.work() / "out.bin");
    EXPECT_NE(report.find("Erreur, fichier non ouvert out.bin "), std::string::npos) << report;
    EXPECT_EQ(report.find(kImage), std::string::npos);
}

// Each run picks fresh names of its own: under mingw both clocks read the
// same, and names drawn from them alone came out alike run after run, so that
// two runs met on one name.
TEST_F(CliWindows, EachRunPicksItsOwnFreshNames) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here (Debian package strace)";
    }
    RunOptions options;
    options.strace = kStopAtSync;
    std::set<std::string> names;
    constexpr int kRuns = 4;
    for (int run = 0; run < kRuns; ++run) {
        const pid_t pid = scratch.start({"src.bin", "2600", "2C00", "out.bin"}, -1, options);
        const pid_t traced = scratch.stopped(pid);
        for (const auto& entry : fs::directory_iterator(scratch.work())) {
            if (entry.path().filename().string().starts_with(".vork-")) {
                names.insert(entry.path().filename().string());
            }
        }
        signal_run(traced, SIGCONT);
        EXPECT_EQ(scratch.finish(pid).status, 0);
    }
    EXPECT_EQ(names.size(), std::size_t{kRuns}) << testing::PrintToString(names);
}

TEST_F(CliWindows, HiddenTargetStaysHidden) {
    windows("attrib +h out.bin");
    ASSERT_NE(windows("attrib out.bin").find('H'), std::string::npos) << "Wine keeps no attributes";
    ASSERT_EQ(scratch.run({"src.bin", "2600", "2C00", "out.bin"}).status, 0);
    EXPECT_EQ(read_file(scratch.work() / "out.bin"), kImage);
    EXPECT_NE(windows("attrib out.bin").find('H'), std::string::npos);
}

// Other programs at work on the target: an emulator holding it open, sharing
// reading and writing but not its removal (written in place, as `copy`
// would), a hex viewer mapping it (a shorter image cannot be written: the
// file stays whole), a lock kept by another program (waited for a few
// seconds, the file whole), a scanner opening each new file for a moment
// (replaced all the same), or for eight seconds each time. Never anything left
// beside it for good.
struct HeldCase {
    const char* name;
    const char* mode;  // what tests/windows/hold.cpp does
    const char* what;  // to which file
    int status;
    std::string after;  // out.bin afterwards
    int rounds = 1;
    std::string older = "a much longer older image";  // out.bin before
};

void PrintTo(const HeldCase& c, std::ostream* os) { *os << c.name; }

class CliWindowsHeld : public CliWindows, public testing::WithParamInterface<HeldCase> {};

TEST_P(CliWindowsHeld, TargetStaysWholeWithNothingBeside) {
    const HeldCase& c = GetParam();
    for (int round = 0; round < c.rounds; ++round) {
        const std::string& older = c.older;
        write_file(scratch.work() / "out.bin", older);
        fs::remove(scratch.work() / "release");
        const std::string hold = in_work(std::string("exec \"$VORK_TEST_WINE\" \"$VORK_TEST_WINE_HOLD\" ") +
                                         c.mode + " '" + c.what + "' release </dev/null");
        std::FILE* holder = popen(hold.c_str(), "r");
        ASSERT_NE(holder, nullptr);
        char said[8] = {};
        ASSERT_NE(std::fgets(said, sizeof said, holder), nullptr) << "the holder did not start";
        const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "out.bin"});
        // Once the other program lets go: a new file it held when vork ended
        // may only then vanish, as Windows deletes a file at its last close.
        write_file(scratch.work() / "release", "");
        pclose(holder);
        fs::remove(scratch.work() / "release");
        const Files left = scratch.files();
        EXPECT_EQ(outcome.status, c.status) << outcome.out;
        const std::string after = c.after.empty() ? older : c.after;
        ASSERT_EQ(left, (Files{{"src.bin", kCode}, {"out.bin", after}})) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Holders, CliWindowsHeld,
    testing::Values(HeldCase{"OpenIsWrittenInPlace", "open", "out.bin", 0, kImage},
                    // Room for a larger image where the file system cannot reserve it (Wine).
                    HeldCase{"OpenShorterIsWrittenInPlace", "open", "out.bin", 0, kImage, 1, "old"},
                    HeldCase{"MappedStaysWhole", "map", "out.bin", 1, ""},
                    HeldCase{"LockedStaysWhole", "lock", "out.bin", 1, ""},
                    HeldCase{"ScannedIsReplaced", "scan", ".vork-*", 0, kImage, 6},
                    HeldCase{"LingeringScannerLeavesNothing", "linger", ".vork-*", 0, kImage}),
    [](const auto& info) { return std::string(info.param.name); });

// Other programs at work on a disk image: a reader that locks the sector it
// reads (vork's own lock, past any data, never meets it), and an emulator
// with the disk loaded for writing (refused: it could write its own copy
// of the disk back over vork's).
struct DiskHeldCase {
    const char* name;
    const char* mode;  // what tests/windows/hold.cpp does to the disk
    int status;
    const char* says;
};

void PrintTo(const DiskHeldCase& c, std::ostream* os) { *os << c.name; }

class CliWindowsDiskHeld : public CliWindows, public testing::WithParamInterface<DiskHeldCase> {};

TEST_P(CliWindowsDiskHeld, RunEndsAsTheHolderAllows) {
    const DiskHeldCase& c = GetParam();
    ASSERT_EQ(scratch.run({"--onto", "d.fd", "src.bin", "2600", "2C00", "A.BIN"}).status, 0);
    const std::string disk = read_file(scratch.work() / "d.fd");
    const std::string hold = in_work(std::string("exec \"$VORK_TEST_WINE\" \"$VORK_TEST_WINE_HOLD\" ") +
                                     c.mode + " d.fd release </dev/null");
    std::FILE* holder = popen(hold.c_str(), "r");
    ASSERT_NE(holder, nullptr);
    char said[8] = {};
    ASSERT_NE(std::fgets(said, sizeof said, holder), nullptr) << "the holder did not start";
    const Outcome outcome = scratch.run({"--onto", "d.fd", "src.bin", "2600", "2C00", "B.BIN"});
    write_file(scratch.work() / "release", "");
    pclose(holder);
    EXPECT_EQ(outcome.status, c.status) << outcome.out << outcome.err;
    EXPECT_NE((outcome.out + outcome.err).find(c.says), std::string::npos)
        << outcome.out << outcome.err;
    EXPECT_EQ(read_file(scratch.work() / "d.fd") == disk, c.status != 0);
}

INSTANTIATE_TEST_SUITE_P(
    DiskHolders, CliWindowsDiskHeld,
    testing::Values(DiskHeldCase{"ReaderLockingItsSector", "read", 0, "Fichier B.BIN ajoute sur d.fd"},
                    DiskHeldCase{"EmulatorWritingIt", "open", 1,
                                 "Cause : Fichier ouvert en ecriture par un autre programme : "
                                 "fermez-le d'abord\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Two runs on one new target: the first stands at its sync, the second is
// started, and the first is interrupted once the second has ended or after a
// while. The second ends with status 0 only with its image at the path, else
// with 1 and nothing there: it never puts its image in the first run's file,
// which vanishes with it, and a target it makes itself once that file has
// gone goes again when it fails.
struct OvertakenCase {
    const char* name;
    int interrupt_after_ms;
    bool second_fails = false;  // the second's write fails past the file-size limit
};

void PrintTo(const OvertakenCase& c, std::ostream* os) { *os << c.name; }

class CliWindowsOvertaken : public CliWindows, public testing::WithParamInterface<OvertakenCase> {};

TEST_P(CliWindowsOvertaken, StatusZeroOnlyWithItsImage) {
    const OvertakenCase& c = GetParam();
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here (Debian package strace)";
    }
    fs::remove(scratch.work() / "out.bin");
    const std::string other = c.second_fails ? std::string(4096, '\x11') : "\x11";
    write_file(scratch.work() / "other.raw", other);
    // The interrupt's thread held at its creation: the first run ends on it, without its image.
    RunOptions held;
    held.strace = "-e trace=fsync,clone3 -e inject=fsync:signal=STOP:when=1 "
                  "-e inject=clone3:delay_exit=2000000";
    const pid_t first = scratch.start({"src.bin", "2600", "2C00", "out.bin"}, -1, held);
    const pid_t traced = scratch.stopped(first);
    const pid_t second = scratch.start({"other.raw", "2600", "2C00", "out.bin"}, -1,
                                       file_size_limit(c.second_fails ? 3000 : -1));
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(c.interrupt_after_ms);
    siginfo_t ended{};
    while (second > 0 && std::chrono::steady_clock::now() < deadline &&
           waitid(P_PID, static_cast<id_t>(second), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           ended.si_pid == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    signal_run(traced, SIGINT);
    signal_run(traced, SIGCONT);
    const int first_status = scratch.finish(first).status;
    const Outcome outcome = scratch.finish(second);
    EXPECT_TRUE(first_status == 3 || first_status == -1) << first_status;
    fs::remove(scratch.work() / "other.raw");
    Files after{{"src.bin", kCode}};
    if (outcome.status == 0) {
        after["out.bin"] = kOtherImage;
    } else {
        EXPECT_EQ(outcome.status, 1) << outcome.out;
    }
    EXPECT_EQ(scratch.files(), after) << "status " << outcome.status;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CliWindowsOvertaken,
    testing::Values(OvertakenCase{.name = "SecondEndsFirst", .interrupt_after_ms = 20000},
                    OvertakenCase{.name = "SecondFailsOnceTheFirstHasGone",
                                  .interrupt_after_ms = 1500, .second_fails = true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
