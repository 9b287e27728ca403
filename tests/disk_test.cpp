// Thomson disk images: what vork writes, read back by imgtool, a disk tool
// of its own; what it refuses, left byte for byte as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disk_image.h"
#include "scratch.h"
#include "tape.h"
#include "thomson_disk.h"

namespace {

using namespace vork_test;
using namespace vork::disk;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kTableByte = 20 * 16 * 256 + 256 + 1;  // block 0's byte in the table
constexpr std::size_t kFirstEntry = 20 * 16 * 256 + 512;
constexpr std::size_t kDataBlocks = 158;

bool has_imgtool() { return std::system("command -v imgtool >/dev/null 2>&1") == 0; }

// What `command` prints on standard output.
std::string output_of(const std::string& command) {
    std::string text;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
            text.append(chunk, n);
        }
        pclose(pipe);
    }
    return text;
}

Bytes code_of(std::size_t size, int seed = 0) {
    Bytes code(size);
    for (std::size_t i = 0; i < size; ++i) {
        code[i] = static_cast<std::uint8_t>(i * 7 + 3 + seed * 31 + (i >> 8));
    }
    return code;
}

std::string text(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }
Bytes bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// A disk of `container` holding `files` (name, bytes), as vork's own layer makes it.
Bytes disk_with(Container container, const std::vector<std::pair<std::string, Bytes>>& files) {
    Bytes face = blank_face();
    for (const auto& [name, data] : files) {
        EXPECT_LE(static_cast<int>(put_file(face, *disk_name(name), data, {})),
                  static_cast<int>(Put::replaced));
    }
    return write_image(container, {}, face);
}

const char* extension(Container container) { return container == Container::sap ? "sap" : "fd"; }

// What imgtool says of `name` on the disk at `path`: its size and type
// letters, and the bytes it gets back; the disk's free bytes.
struct Seen {
    std::string listed;
    long free = -1;
    std::string got;
};

Seen imgtool_sees(Container container, const fs::path& path, const std::string& name) {
    const std::string module = std::string("thom_") + extension(container);
    const std::string dir = output_of("imgtool dir " + module + " '" + path.string() + "'");
    Seen seen;
    const std::size_t line = dir.find("\n" + name + " ");
    if (line != std::string::npos) {
        std::istringstream fields(dir.substr(line + 1, dir.find('\n', line + 1) - line - 1));
        std::string listed_name, size, type, format;
        fields >> listed_name >> size >> type >> format;
        seen.listed = size + " " + type + " " + format;
    }
    const std::size_t free = dir.find(" bytes free");
    if (free != std::string::npos) {
        const std::size_t digits = dir.find_last_not_of("0123456789", free - 1) + 1;
        seen.free = std::stol(dir.substr(digits, free - digits));
    }
    const fs::path back = path.parent_path() / ("back-" + name);
    output_of("imgtool get " + module + " '" + path.string() + "' " + name + " '" + back.string() +
              "'");
    if (fs::exists(back)) {
        seen.got = read_file(back);
        fs::remove(back);
    }
    return seen;
}

// ---- Each size, put on a blank disk by vork's layer, read back by imgtool.

struct SizeCase {
    std::size_t size;
    Container container;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.size << "." << extension(c.container); }

class DiskSizes : public testing::TestWithParam<SizeCase> {};

TEST_P(DiskSizes, ImgtoolReadsBackTheSameBytesAsMachineCode) {
    if (!has_imgtool()) {
        GTEST_SKIP() << "imgtool is missing (Debian package mame-tools)";
    }
    const SizeCase& c = GetParam();
    const Scratch scratch;
    const fs::path disk = scratch.work() / (std::string("d.") + extension(c.container));
    const Bytes data = code_of(c.size);
    write_file(disk, text(disk_with(c.container, {{"P.BIN", data}})));
    const Seen seen = imgtool_sees(c.container, disk, "P.BIN");
    EXPECT_EQ(seen.listed, std::to_string(c.size) + " M B");
    EXPECT_EQ(seen.got, text(data));
    EXPECT_EQ(seen.free, static_cast<long>((kDataBlocks - blocks_for(c.size)) * kBlockBytes));
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskSizes, testing::ValuesIn([] {
    std::vector<SizeCase> rows;
    for (const std::size_t size : {0, 13, 255, 256, 2040, 2041, 4081, 65545}) {
        rows.push_back({size, Container::fd});
        rows.push_back({size, Container::sap});
    }
    return rows;
}()));

// ---- vork itself: replacing one file among others, on both kinds of disk.

class DiskRuns : public testing::TestWithParam<Container> {};

TEST_P(DiskRuns, ReplacingOneFileLeavesTheOthersByteForByte) {
    if (!has_imgtool()) {
        GTEST_SKIP() << "imgtool is missing (Debian package mame-tools)";
    }
    const Container container = GetParam();
    const Scratch scratch;
    const std::string disk = std::string("d.") + extension(container);
    struct Step {
        const char* name;
        std::size_t code;
    };
    // B grows from 2 blocks to 33 between A and C, then shrinks to 1.
    const Step steps[] = {{"A.BIN", 2031}, {"B.BIN", 4071}, {"C.BIN", 3}, {"B.BIN", 65535},
                          {"B.BIN", 0}};
    Files kept;
    for (int i = 0; const Step& step : steps) {
        write_file(scratch.work() / "code.raw", text(code_of(step.code, i++)));
        const Outcome run = scratch.run({"--onto", disk, "code.raw", "9000", "9000", step.name});
        ASSERT_EQ(run.status, 0) << run.out;
        kept[step.name] = read_file(scratch.work() / step.name);
    }
    std::size_t used = 0;
    for (const auto& [name, binary] : kept) {
        used += blocks_for(binary.size());
    }
    for (const auto& [name, binary] : kept) {
        const Seen seen = imgtool_sees(container, scratch.work() / disk, name);
        EXPECT_EQ(seen.listed, std::to_string(binary.size()) + " M B") << name;
        EXPECT_EQ(seen.got, binary) << name;
        EXPECT_EQ(seen.free, static_cast<long>((kDataBlocks - used) * kBlockBytes)) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskRuns, testing::Values(Container::fd, Container::sap),
                         [](const auto& info) { return std::string(extension(info.param)); });

// ---- Images vork refuses, each left as it was.

struct RefusedCase {
    const char* name;
    Container container;
    std::function<void(Bytes&)> spoil;  // on a disk holding A.BIN (2 blocks) and B.BIN (1)
    std::string says;
    int status = 1;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class DiskRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(DiskRefused, ImageStaysByteForByte) {
    const RefusedCase& c = GetParam();
    const Scratch scratch;
    const std::string disk = std::string("d.") + extension(c.container);
    Bytes image = disk_with(c.container, {{"A.BIN", code_of(2041)}, {"B.BIN", code_of(13)}});
    c.spoil(image);
    write_file(scratch.work() / disk, text(image));
    write_file(scratch.work() / "code.raw", "x");
    const Outcome run = scratch.run({"--onto", disk, "code.raw", "9000", "9000", "C.BIN"});
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(read_file(scratch.work() / disk), text(image));
}

// Byte `offset` of face 0 in the image of `container`.
std::size_t at(Container container, std::size_t offset) {
    return container == Container::sap ? kSapHeaderSize + offset / 256 * kSapRecordSize + 4 + offset % 256
                                       : offset;
}

// Sets byte `offset` of face 0 to `value`, keeping a SAP record's CRC right.
std::function<void(Bytes&)> set_face(Container container, std::size_t offset, std::uint8_t value) {
    return [=](Bytes& image) {
        Bytes face;
        std::vector<File> files;
        read_image(container, image, face, files);
        face[offset] = value;
        image = write_image(container, image, face);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskRefused,
    testing::Values(
        RefusedCase{"SapBadCrc", Container::sap, [](Bytes& d) { d[at(Container::sap, 5 * 256)] ^= 1; },
                    "image d.sap illisible a l'octet 1636 : CRC de secteur faux"},
        RefusedCase{"SapRecordOutOfPlace", Container::sap, [](Bytes& d) { d[66 + 262 * 17 + 3] = 1; },
                    "l'octet 4522 : secteur SAP hors de sa place"},
        RefusedCase{"SapHeader", Container::sap, [](Bytes& d) { d[10] = 'x'; },
                    "l'octet 10 : en-tete SAP inconnu"},
        RefusedCase{"FdWrongSize", Container::fd, [](Bytes& d) { d.push_back(0); },
                    "l'image d.fd fait 327681 octets : ce n'est pas une taille connue"},
        RefusedCase{"SapWrongSize", Container::sap, [](Bytes& d) { d.pop_back(); },
                    "fait 335425 octets"},
        // Read up to one byte past the largest image, and found as read.
        RefusedCase{"FdFarTooLarge", Container::fd, [](Bytes& d) { d.resize(2000000); },
                    "fait 655361 octets : ce n'est pas une taille connue\nL'image d.fd n'est pas "
                    "modifiee\n"},
        // A.BIN is blocks 0 then 1: block 1 leads back to 0.
        RefusedCase{"LoopingChain", Container::fd, set_face(Container::fd, kTableByte + 1, 0),
                    "l'octet 82178 : chaine d'un fichier qui boucle"},
        // B.BIN starts on A.BIN's second block.
        RefusedCase{"SharedBlock", Container::fd, set_face(Container::fd, kFirstEntry + 32 + 13, 1),
                    "l'octet 82477 : bloc partage par deux fichiers"},
        RefusedCase{"ChainToFreeBlock", Container::fd, set_face(Container::fd, kTableByte, 9),
                    "l'octet 82177 : chaine d'un fichier menant a un bloc libre ou reserve"},
        RefusedCase{"UnknownTableValue", Container::fd, set_face(Container::fd, kTableByte + 50, 0xC9),
                    "l'octet 82227 : valeur inconnue dans la table d'allocation"},
        RefusedCase{"EntryName", Container::fd, set_face(Container::fd, kFirstEntry + 3, 0x07),
                    "l'octet 82435 : nom de fichier illisible dans le catalogue"},
        RefusedCase{"FullDirectory", Container::fd,
                    [](Bytes& d) {
                        Bytes face(d.begin(), d.end());
                        for (int i = 2; i < 112; ++i) {
                            std::string name(1, 'F');
                            name += std::to_string(i);
                            put_file(face, *disk_name(name), {}, {});
                        }
                        d = face;
                    },
                    "Erreur, catalogue plein sur d.fd (112 fichiers)\nL'image d.fd n'est pas modifiee"},
        RefusedCase{"FullDisk", Container::sap,
                    [](Bytes& d) {
                        Bytes face;
                        std::vector<File> files;
                        read_image(Container::sap, d, face, files);
                        put_file(face, *disk_name("BIG"), code_of(155 * 2040), {});
                        d = write_image(Container::sap, d, face);
                    },
                    "pas assez de place sur d.sap (blocs libres : 0, il en faut 1)\n"}));

// ---- The image's own sync failing once the new image has its name: the
// report says the image is there, as it says it of TARGET, not that
// nothing was written.

TEST(DiskSync, FailedAfterTheMoveSaysTheImageIsThere) {
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace (Debian package strace)";
    }
    const Scratch scratch;
    write_file(scratch.work() / "d.fd", text(disk_with(Container::fd, {{"A.BIN", code_of(13)}})));
    write_file(scratch.work() / "code.raw", text(code_of(3)));
    // TARGET a device, which is never synced: the one folder synced is the
    // image's, once the new image has taken its name.
    RunOptions options;
    options.strace = "-P WORK -e trace=fsync,fdatasync -e inject=fsync,fdatasync:error=EIO:when=1";
    const Outcome run =
        scratch.run({"--onto", "d.fd", "code.raw", "9000", "9000", "/dev/null"}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Erreur, d.fd contient l'image, mais rien ne garantit qu'elle soit sur "
                           "le disque\n"),
              std::string::npos)
        << run.out;
    Bytes face;
    std::vector<File> files;
    ASSERT_EQ(read_image(Container::fd, bytes_of(read_file(scratch.work() / "d.fd")), face, files)
                  .problem,
              ImageProblem::none);
    EXPECT_EQ(files.size(), 2u);
}

// ---- Names that do not fit the directory: refused before anything is written.

class DiskNames : public testing::TestWithParam<std::string> {};

TEST_P(DiskNames, AreRefusedWithUsageStatusAndNothingWritten) {
    const Scratch scratch;
    write_file(scratch.work() / "code.raw", "x");
    const Outcome run = scratch.run({"--onto", "d.fd", "code.raw", "9000", "9000", GetParam()});
    EXPECT_EQ(run.status, 2);
    const bool like_image = GetParam() == "D.FD";
    EXPECT_NE(run.out.find(like_image ? "porte l'extension d'une image"
                                      : "ne tient pas dans un nom de fichier Thomson"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(scratch.files().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskNames,
                         testing::Values("TOOLONGER.BIN", "A.BINX", "A B.BIN", "A'.BIN", "A\".BIN",
                                         "AB:C.BIN", "\xc3\xa9.BIN", "A\x01.BIN", ".BIN", "A.B.C",
                                         "A.", "dir/ABCDEFGHI",
                                         // the image itself, overwritten before it is read
                                         "D.FD"));

// ---- Runs at once onto one disk: every one lands, and a new file takes
// the name (replaced whole, not written in place, where a cut power tears
// it); here, and on FAT through FUSE, as a memory card or Gotek stick is mounted.

class DiskTogetherAt : public testing::TestWithParam<const char*> {};

TEST_P(DiskTogetherAt, EveryRunLandsOnANewFile) {
    const Scratch scratch;
    const std::string where = GetParam();
    const auto shell = [](const std::string& line) {
        return std::system((line + " >/dev/null 2>&1").c_str()) == 0;
    };
    const fs::path image = scratch.work().parent_path() / "fat.img";
    if (!where.empty()) {
        fs::create_directory(scratch.work() / where);
        if (getuid() != 0 ||
            !shell("truncate -s 8M '" + image.string() + "' && mkfs.vfat '" + image.string() +
                   "' && fusefat -o rw+ '" + image.string() + "' '" +
                   (scratch.work() / where).string() + "'")) {
            GTEST_SKIP() << "needs root, fusefat, mkfs.vfat (Debian packages fusefat, dosfstools)";
        }
    }
    write_file(scratch.work() / "code.raw", text(code_of(3000)));
    for (const char* ext : {"fd", "sap"}) {
        const std::string disk = (where.empty() ? "" : where + "/") + "D." + ext;
        // Four runs onto a disk that does not exist yet, then four onto the
        // one they made, held open meanwhile, so that no new file takes its
        // identity.
        int held = -1;
        for (const char* names : {"ABCD", "EFGH"}) {
            held = open((scratch.work() / disk).c_str(), O_RDONLY | O_CLOEXEC);
            std::vector<pid_t> runs;
            for (const char* name = names; *name != '\0'; ++name) {
                runs.push_back(scratch.start(
                    {"--onto", disk, "code.raw", "9000", "9000", std::string(1, *name) + ".BIN"}));
            }
            for (const pid_t run : runs) {
                EXPECT_EQ(scratch.finish(run).status, 0) << disk;
            }
        }
        struct stat old {};
        struct stat now {};
        fstat(held, &old);
        close(held);
        stat((scratch.work() / disk).c_str(), &now);
        EXPECT_NE(now.st_ino, old.st_ino) << disk << " only ever written in place";
        Bytes face;
        std::vector<File> files;
        const Bytes bytes = bytes_of(read_file(scratch.work() / disk));
        EXPECT_EQ(read_image(container_of(disk), bytes, face, files).problem, ImageProblem::none);
        EXPECT_EQ(files.size(), 8u) << disk;
    }
    if (!where.empty()) {
        shell("umount '" + (scratch.work() / where).string() + "'");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskTogetherAt, testing::Values("", "fat"),
                         [](const auto& info) { return std::string(*info.param ? "OnFat" : "Here"); });

// A run waiting on the lock while another moves its new image over the
// disk reads that image, not the one it replaced: the lock lasts until the
// new image has the name; or, the move refused, until the image is written
// in place.
TEST(DiskTogether, TheLockLastsUntilTheNewImageHasTheName) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here (Debian package strace)";
    }
    // The first run's move onto the disk starts 3 s late: its new image is
    // written and its old one still at the name meanwhile.
    // Refused, the move is followed by the write in place; an open of the
    // disk after the two of the start, were the first one closed, 1 s late.
    for (const char* move :
         {"-e trace=renameat -e inject=renameat:delay_enter=3000000:when=2",
          "-P d.fd -e trace=renameat,openat -e inject=renameat:error=EACCES:delay_enter=3000000 "
          "-e inject=openat:delay_enter=1000000:when=3"}) {
        const Scratch scratch;
        write_file(scratch.work() / "code.raw", text(code_of(3000)));
        ASSERT_EQ(scratch.run({"--onto", "d.fd", "code.raw", "9000", "9000", "A.BIN"}).status, 0);
        RunOptions slow_move;
        slow_move.strace = move;
        const pid_t first =
            scratch.start({"--onto", "d.fd", "code.raw", "9000", "9000", "B.BIN"}, -1, slow_move);
        sleep(1);
        const pid_t second = scratch.start({"--onto", "d.fd", "code.raw", "9000", "9000", "C.BIN"});
        EXPECT_EQ(scratch.finish(first).status, 0) << move;
        EXPECT_EQ(scratch.finish(second).status, 0) << move;
        Bytes face;
        std::vector<File> files;
        const Bytes image = bytes_of(read_file(scratch.work() / "d.fd"));
        ASSERT_EQ(read_image(Container::fd, image, face, files).problem, ImageProblem::none);
        EXPECT_EQ(files.size(), 3u) << move;
    }
}

}  // namespace

namespace {

// Past the directory's end, a disk may keep entries of files long gone:
// taking the end's place, a new file moves the end on, so they stay unseen.
TEST(DiskDirectory, OldEntriesPastTheEndStayUnseen) {
    Bytes face = blank_face();
    put_file(face, *disk_name("A.BIN"), code_of(13), {});
    std::copy_n(face.begin() + kFirstEntry, 32, face.begin() + kFirstEntry + 64);
    put_file(face, *disk_name("C.BIN"), code_of(13), {});
    std::vector<File> files;
    EXPECT_EQ(read_face(face, files).problem, Problem::none);
    EXPECT_EQ(files.size(), 2u);
}

}  // namespace

namespace {

// The directory's date: none unless SOURCE_DATE_EPOCH asks, then that day in UTC.
TEST(DiskDates, StampedOnlyWhenSourceDateEpochAsks) {
    struct Row {
        const char* epoch;  // nullptr: unset
        std::string date;   // day, month, year of the entry
    };
    const Row rows[] = {{nullptr, bytes({0, 0, 0})},
                        {"951782400", bytes({29, 2, 0})},    // 2000-02-29
                        {"4102444799", bytes({31, 12, 99})},  // 2099-12-31 23:59:59
                        {"not a date", bytes({0, 0, 0})}};
    for (const Row& row : rows) {
        const Scratch scratch;
        write_file(scratch.work() / "code.raw", "x");
        if (row.epoch != nullptr) {
            setenv("SOURCE_DATE_EPOCH", row.epoch, 1);
        }
        const Outcome run = scratch.run({"--onto", "d.fd", "code.raw", "9000", "9000", "A.BIN"});
        unsetenv("SOURCE_DATE_EPOCH");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(read_file(scratch.work() / "d.fd").substr(kFirstEntry + 24, 3), row.date)
            << (row.epoch ? row.epoch : "unset");
    }
}

}  // namespace

namespace {

// The blocks of a tape's bytes, each found behind a leader byte $01: its
// marker 3C 5A, type, length, bytes and checksum, kept when the checksum
// brings their sum to 0.
std::vector<Bytes> tape_blocks_of(const Bytes& tape) {
    std::vector<Bytes> blocks;
    for (std::size_t at = 1; at + 4 <= tape.size();) {
        if (tape[at - 1] != 0x01 || tape[at] != 0x3C || tape[at + 1] != 0x5A) {
            ++at;
            continue;
        }
        const std::size_t length = tape[at + 3] == 0 ? 256 : tape[at + 3];
        if (at + 3 + length > tape.size()) {
            break;
        }
        const Bytes block(tape.begin() + static_cast<std::ptrdiff_t>(at),
                          tape.begin() + static_cast<std::ptrdiff_t>(at + 3 + length));
        std::uint8_t sum = 0;
        for (std::size_t i = 4; i < block.size(); ++i) {
            sum = static_cast<std::uint8_t>(sum + block[i]);
        }
        if (sum == 0) {
            blocks.push_back(block);
        }
        at += 3 + length;
    }
    return blocks;
}

// An MO5 tape as vork writes it: castool plays it back, finding the file
// and nothing it cannot place, and every block's checksum is right.
TEST(Tape, CastoolPlaysItBack) {
    if (std::system("command -v castool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "castool is missing (Debian package mame-tools)";
    }
    for (const std::size_t code : {0, 244, 245, 600}) {
        const Scratch scratch;
        write_file(scratch.work() / "code.raw", text(code_of(code)));
        ASSERT_EQ(scratch.run({"--onto", "t.k7", "code.raw", "9000", "9000", "HELLO.BIN"}).status, 0);
        const std::string said = output_of("castool convert mo5 '" + (scratch.work() / "t.k7").string() +
                                           "' '" + (scratch.work() / "t.wav").string() + "' 2>&1");
        EXPECT_NE(said.find("file \"HELLO   .BIN\" type=bin"), std::string::npos) << said;
        EXPECT_EQ(said.find("WARNING"), std::string::npos) << said;
        const std::vector<Bytes> blocks = tape_blocks_of(bytes_of(read_file(scratch.work() / "t.k7")));
        EXPECT_EQ(blocks.size(), (code + 10 + 253) / 254 + 2) << code;
        Bytes data;
        for (std::size_t i = 1; i + 1 < blocks.size(); ++i) {
            data.insert(data.end(), blocks[i].begin() + 4, blocks[i].end() - 1);
        }
        EXPECT_EQ(text(data), read_file(scratch.work() / "HELLO.BIN")) << code;
    }
}

}  // namespace

namespace {

// --list IMAGE [NAME]: a disk holding HELLO.BIN (19 bytes of code at $9000)
// and a 13-byte data file, listed; read only, whatever it finds.
struct ListCase {
    const char* name;
    std::vector<std::string> args;
    std::string says;
    int status = 0;
    std::function<void(Bytes&)> spoil = [](Bytes&) {};
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

class DiskListing : public testing::TestWithParam<ListCase> {};

TEST_P(DiskListing, ListsAndWritesNothing) {
    const ListCase& c = GetParam();
    const Scratch scratch;
    Bytes binary = code_of(19);
    binary.insert(binary.begin(), {0x00, 0x00, 19, 0x90, 0x00});
    binary.insert(binary.end(), {0xFF, 0x00, 0x00, 0x90, 0x00});
    Bytes face = blank_face();
    put_file(face, *disk_name("NOTES.DAT"), code_of(13), {});
    face[kFirstEntry + 11] = 1;     // data
    face[kFirstEntry + 12] = 0xFF;  // ASCII
    put_file(face, *disk_name("HELLO.BIN"), binary, {});
    Bytes image = write_image(Container::sap, {}, face);
    c.spoil(image);
    write_file(scratch.work() / "d.sap", text(image));
    std::vector<std::string> args{"--list", "d.sap"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome run = scratch.run(args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(read_file(scratch.work() / "d.sap"), text(image));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskListing,
    testing::Values(
        ListCase{"WholeDisk", {},
                 "Image de disque..... : d.sap\nNOTES.DAT    D A     13 octets\n"
                 "HELLO.BIN    M B     29 octets\nBloc 1.............. : $9000 a $9012, 19 octets\n"
                 "Adr de Lancement.... : $9000\nFichiers : 2, blocs libres : 156 (318240 octets)\n"},
        ListCase{"OneFile", {"hello.bin"},
                 "Nom sur le disque... : HELLO.BIN\nBloc 1.............. : $9000 a $9012, 19 "
                 "octets\nAdr de Lancement.... : $9000\n"},
        ListCase{"NoSuchFile", {"GAME.BIN"}, "Erreur, pas de fichier GAME.BIN sur l'image d.sap\n", 1},
        ListCase{"NameThatCannotBe", {"GAME BIN"}, "ne tient pas dans un nom de fichier", 2},
        ListCase{"Damaged", {}, "illisible a l'octet 84173 : chaine d'un fichier qui boucle", 1,
                 set_face(Container::sap, kTableByte, 0)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// --face N: a two-faced .fd's second face, read by imgtool as a disk of its
// own; the face not asked for stays byte for byte.
struct FaceCase {
    const char* name;
    std::vector<Bytes> faces;  // the image before: its faces; none, no image
    std::string face;          // what --face is given
    std::string says;
    int status = 0;
    bool sap = false;
    const char* kept = nullptr;  // a file already on the face asked for
};

void PrintTo(const FaceCase& c, std::ostream* os) { *os << c.name; }

class DiskFaces : public testing::TestWithParam<FaceCase> {};

TEST_P(DiskFaces, TheOtherFaceStaysAsItWas) {
    const FaceCase& c = GetParam();
    const Scratch scratch;
    const std::string disk = c.sap ? "d.sap" : "d.fd";
    Bytes image;
    for (const Bytes& face : c.faces) {
        const Bytes one = c.sap ? write_image(Container::sap, {}, face) : face;
        image.insert(image.end(), one.begin(), one.end());
    }
    if (!image.empty()) {
        write_file(scratch.work() / disk, text(image));
    }
    write_file(scratch.work() / "code.raw", text(code_of(2041)));
    const Outcome run =
        scratch.run({"--onto", disk, "--face", c.face, "code.raw", "9000", "9000", "C.BIN"});
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    const Bytes after = bytes_of(read_file(scratch.work() / disk));
    if (c.status != 0) {
        EXPECT_EQ(after, image);
        return;
    }
    // Face 0 of a new two-faced disk is a blank one.
    const std::size_t side = c.face == "1" ? 1 : 0;
    const Bytes blank = blank_face();
    ASSERT_EQ(after.size(), 2 * kFaceSize);
    for (std::size_t f = 0; f < 2; ++f) {
        const Bytes was = image.empty() ? blank : Bytes(image.begin() + f * kFaceSize,
                                                        image.begin() + (f + 1) * kFaceSize);
        const Bytes now(after.begin() + f * kFaceSize, after.begin() + (f + 1) * kFaceSize);
        if (f != side) {
            EXPECT_EQ(now, was) << "face " << f;
        } else if (has_imgtool()) {
            write_file(scratch.work() / "face.fd", text(now));
            EXPECT_EQ(imgtool_sees(Container::fd, scratch.work() / "face.fd", "C.BIN").got,
                      read_file(scratch.work() / "C.BIN"));
            if (c.kept != nullptr) {
                EXPECT_EQ(imgtool_sees(Container::fd, scratch.work() / "face.fd", c.kept).got,
                          text(code_of(700)));
            }
        }
    }
    const Outcome listed = scratch.run({"--list", disk, "--face", c.face});
    EXPECT_NE(listed.out.find("C.BIN "), std::string::npos) << listed.out;
}

Bytes face_with(const char* name) {
    Bytes face = blank_face();
    put_file(face, *disk_name(name), code_of(700), {});
    return face;
}

// A.BIN's chain looping on face 1: told at its offset in the file.
Bytes looping(const char* name) {
    Bytes face = face_with(name);
    face[kTableByte] = 0;
    return face;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskFaces,
    testing::Values(
        FaceCase{"NewDiskSecondFace", {}, "1", "Face du disque...... : 1\n"},
        FaceCase{"SecondFace", {face_with("A.BIN"), face_with("B.BIN")}, "1", "ajoute sur d.fd",
                 0, false, "B.BIN"},
        FaceCase{"FirstFace", {face_with("A.BIN"), face_with("B.BIN")}, "0", "ajoute sur d.fd",
                 0, false, "A.BIN"},
        FaceCase{"DamagedSecondFace", {face_with("A.BIN"), looping("B.BIN")}, "1",
                 "illisible a l'octet 409857 : chaine d'un fichier qui boucle", 1},
        FaceCase{"OneFacedDisk", {face_with("A.BIN")}, "1",
                 "Erreur, l'image d.fd n'a qu'une face (327680 octets)\nL'image d.fd n'est pas "
                 "modifiee\n",
                 1},
        FaceCase{"SapHasOneFace", {face_with("A.BIN")}, "1",
                 "Erreur, d.sap n'a qu'une face : seule une image .fd peut en avoir deux\n", 2, true},
        FaceCase{"UnknownFace", {face_with("A.BIN")}, "01",
                 "Erreur, face 01 inconnue : --face attend 0 ou 1\n", 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
