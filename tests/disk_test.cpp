// Thomson disk images and tapes: what vork refuses, left byte for byte as
// it was; dates, names, runs at once, listings, tapes read back by castool.
// Puts onto valid disks are checked by the model (disk_model_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disk_image.h"
#include "hfe_model.h"
#include "scratch.h"
#include "tape.h"
#include "thomson_disk.h"
#include "thomson_reader.h"

namespace {

using namespace vork_test;
using namespace vork::disk;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kTableByte = 20 * 16 * 256 + 256 + 1;  // block 0's byte in the table
constexpr std::size_t kFirstEntry = 20 * 16 * 256 + 512;

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

const char* extension(Container container) {
    constexpr const char* kExtensions[] = {"fd", "sap", "hfe", "sd"};
    return kExtensions[static_cast<int>(container)];
}

bool has_imgtool() { return std::system("command -v imgtool >/dev/null 2>&1") == 0; }

// A face holding `name`, 700 bytes of code, put there by vork's own layer.
Bytes face_with(const char* name) {
    Bytes face = blank_face();
    put_file(face, *disk_name(name), code_of(700), {});
    return face;
}

// Face `side` of the .hfe or .sd at `path`, as a .fd beside it, read by
// floptool or cut from the .sd's sectors; `path` for the others.
fs::path as_fd(Container container, const fs::path& path, int side = 0) {
    const fs::path fd = path.string() + ".fd";
    Bytes faces = bytes_of(read_file(path));
    if (container == Container::hfe) {
        output_of("floptool flopconvert hfe thomson_35 '" + path.string() + "' '" + fd.string() + "'");
        faces = bytes_of(read_file(fd));
        // floptool gives a two-sided disk cylinder by cylinder.
        Bytes face;
        for (std::size_t at = side * 4096; faces.size() > kFaceSize && at < faces.size(); at += 8192) {
            face.insert(face.end(), faces.begin() + at, faces.begin() + at + 4096);
        }
        faces = face.empty() ? faces : face;
    } else if (container == Container::sd) {
        Bytes face;
        for (std::size_t at = side * 2 * kFaceSize; face.size() < kFaceSize; at += 512) {
            face.insert(face.end(), faces.begin() + at, faces.begin() + at + 256);
        }
        faces = face;
    } else {
        return path;
    }
    write_file(fd, text(faces));
    return fd;
}

// The files the test's own reader finds on the disk at `path`; -1 when it cannot read it.
long files_on(const fs::path& path) {
    const auto face = thomson::face_of(read_file(path), path.extension() == ".sap");
    const auto disk = face ? thomson::read_disk(*face) : std::nullopt;
    return disk ? static_cast<long>(disk->files.size()) : -1;
}

// The bytes imgtool gets back of `name` on the disk at `image` (face 0 of
// an .hfe or .sd); empty when it gets none.
std::string imgtool_gets(Container container, const fs::path& image, const std::string& name) {
    const fs::path path = as_fd(container, image);
    const std::string module = container == Container::sap ? "thom_sap" : "thom_fd";
    const fs::path back = path.parent_path() / ("back-" + name);
    output_of("imgtool get " + module + " '" + path.string() + "' " + name + " '" + back.string() +
              "'");
    std::string got;
    if (fs::exists(back)) {
        got = read_file(back);
        fs::remove(back);
    }
    return got;
}

// ---- The emulators' images hold, face for face, the .fd the same runs make
// (itself checked by the model against imgtool); floptool reads the .hfe.

class DiskRuns : public testing::TestWithParam<Container> {};

TEST_P(DiskRuns, SameFaceAsTheFdOfTheSameRuns) {
    if (!has_imgtool()) {
        GTEST_SKIP() << "imgtool is missing (Debian package mame-tools)";
    }
    const Container container = GetParam();
    const Scratch scratch;
    const std::string disk = std::string("d.") + extension(container);
    // B grows from 2 blocks to 33 between A and C, then shrinks to 1.
    const std::pair<const char*, std::size_t> steps[] = {
        {"A.BIN", 2031}, {"B.BIN", 4071}, {"C.BIN", 3}, {"B.BIN", 65535}, {"B.BIN", 0}};
    for (int i = 0; const auto& [name, size] : steps) {
        write_file(scratch.work() / "code.raw", text(code_of(size, i++)));
        for (const std::string& image : {disk, std::string("d.fd")}) {
            const Outcome run = scratch.run({"--onto", image, "code.raw", "9000", "9000", name});
            ASSERT_EQ(run.status, 0) << run.out;
        }
    }
    EXPECT_EQ(read_file(as_fd(container, scratch.work() / disk)), read_file(scratch.work() / "d.fd"));
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskRuns, testing::Values(Container::hfe, Container::sd),
                         [](const auto& info) { return std::string(extension(info.param)); });
// ---- Images vork refuses, each left as it was.

struct RefusedCase {
    const char* name;
    Container container;
    std::function<void(Bytes&)> spoil;  // on a disk holding A.BIN (2 blocks) and B.BIN (1)
    std::string says;
    int status = 1;
    const char* face = nullptr;  // what --face is given
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class DiskRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(DiskRefused, ImageStaysByteForByte) {
    const RefusedCase& c = GetParam();
    const Scratch scratch;
    const std::string disk = std::string("d.") + extension(c.container);
    Bytes image = disk_with(c.container, {{"A.BIN", code_of(2041)}, {"B.BIN", {}}});
    c.spoil(image);
    write_file(scratch.work() / disk, text(image));
    write_file(scratch.work() / "code.raw", "x");
    std::vector<std::string> args{"--onto", disk, "code.raw", "9000", "9000", "C.BIN"};
    if (c.face != nullptr) {
        args.insert(args.begin() + 2, {"--face", c.face});
    }
    const Outcome run = scratch.run(args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(read_file(scratch.work() / disk), text(image));
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
        RefusedCase{"SapBadCrc", Container::sap, [](Bytes& d) { d[66 + 5 * 262 + 4] ^= 1; },
                    "image d.sap illisible a l'octet 1636 : CRC de secteur faux"},
        RefusedCase{"SapRecordOutOfPlace", Container::sap, [](Bytes& d) { d[66 + 262 * 17 + 3] = 1; },
                    "l'octet 4522 : secteur SAP hors de sa place"},
        RefusedCase{"SapHeader", Container::sap, [](Bytes& d) { d[10] = 'x'; },
                    "l'octet 10 : en-tete SAP inconnu"},
        // Track 3's cells start at block 149; sector 1's ID sync at byte 88, its track at 96, its data at 184.
        RefusedCase{"HfeDataCrc", Container::hfe, [](Bytes& d) { d[149 * 512 + 200] ^= 2; },
                    "image d.hfe illisible piste 3, face 0, secteur 1 : CRC des donnees du secteur faux"},
        RefusedCase{"HfeIdCrc", Container::hfe, [](Bytes& d) { d[149 * 512 + 96] ^= 2; },
                    "piste 3, face 0, secteur 1 : CRC de l'en-tete du secteur faux"},
        RefusedCase{"HfeNoSector", Container::hfe,
                    [](Bytes& d) { std::fill_n(d.begin() + 149 * 512 + 88, 6, 0); },
                    "piste 3, face 0, secteur 1 : secteur introuvable"},
        RefusedCase{"HfeHeader", Container::hfe, [](Bytes& d) { d[9] = 81; },
                    "l'octet 9 : en-tete HFE inconnu"},
        RefusedCase{"SdFiller", Container::sd, [](Bytes& d) { d[5 * 512 + 300] = 0; },
                    "l'octet 2860 : secteur SD qui ne finit pas"},
        RefusedCase{"FdWrongSize", Container::fd, [](Bytes& d) { d.push_back(0); },
                    "l'image d.fd fait 327681 octets : ce n'est pas une taille connue"},
        RefusedCase{"SapWrongSize", Container::sap, [](Bytes& d) { d.pop_back(); },
                    "fait 335425 octets"},
        // Read up to one byte past the largest image, and found as read.
        RefusedCase{"FdFarTooLarge", Container::fd, [](Bytes& d) { d.resize(2000000); },
                    "fait 655361 octets : ce n'est pas une taille connue\nL'image d.fd n'est pas "
                    "modifiee\n"},
        // A.BIN is blocks 0 then 1: block 1 leads back to 0.
        RefusedCase{"LoopingChain", Container::sd, set_face(Container::sd, kTableByte + 1, 0),
                    "l'octet 164354 : chaine d'un fichier qui boucle"},
        // B.BIN starts on A.BIN's second block.
        RefusedCase{"SharedBlock", Container::fd, set_face(Container::fd, kFirstEntry + 32 + 13, 1),
                    "l'octet 82477 : bloc partage par deux fichiers"},
        RefusedCase{"ChainToFreeBlock", Container::fd, set_face(Container::fd, kTableByte, 9),
                    "l'octet 82177 : chaine d'un fichier menant a un bloc libre ou reserve"},
        RefusedCase{"UnknownTableValue", Container::fd, set_face(Container::fd, kTableByte + 159, 0xC9),
                    "l'octet 82336 : valeur inconnue dans la table d'allocation"},
        RefusedCase{"EntryName", Container::fd, set_face(Container::fd, kFirstEntry + 3, 0x7F),
                    "l'octet 82435 : nom de fichier illisible dans le catalogue"},
        // B.BIN, empty: its first block past the disk; its last sector's count 256.
        RefusedCase{"FirstBlockPastTheDisk", Container::fd, set_face(Container::fd, kFirstEntry + 45, 160),
                    "l'octet 82477 : "},
        RefusedCase{"LastSectorOver255", Container::fd, set_face(Container::fd, kFirstEntry + 46, 1),
                    "l'octet 82478 : "},
        // The second face's A.BIN looping.
        RefusedCase{"DamagedSecondFace", Container::fd,
                    [](Bytes& d) {
                        Bytes face = d;
                        face[kTableByte] = 0;
                        d.insert(d.end(), face.begin(), face.end());
                    },
                    "illisible a l'octet 409857 : chaine d'un fichier qui boucle", 1, "1"},
        RefusedCase{"OneFacedDisk", Container::fd, [](Bytes&) {}, "n'a qu'une face (327680 octets)", 1, "1"},
        RefusedCase{"SapHasOneFace", Container::sap, [](Bytes&) {}, "seules les images .fd et .hfe en ont deux, .sd quatre", 2, "1"},
        RefusedCase{"UnknownFace", Container::fd, [](Bytes&) {}, "face 01 inconnue", 2, "01"},
        RefusedCase{"UnknownSdFace", Container::sd, [](Bytes&) {}, "face 4 inconnue : --face attend 0, 1, 2 ou 3", 2, "4"}));

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
    EXPECT_NE(run.out.find("Erreur, d.fd contient le binaire, mais rien ne garantit qu'il soit sur "
                           "le disque\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(files_on(scratch.work() / "d.fd"), 2);
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
        EXPECT_EQ(files_on(scratch.work() / disk), 8) << disk;
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
        EXPECT_EQ(files_on(scratch.work() / "d.fd"), 3) << move;
    }
}

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

// An MO5 tape as vork writes it: castool plays it back, finding the file
// and nothing it cannot place, and makes of it the sound vork makes.
TEST(Tape, CastoolPlaysItBack) {
    if (std::system("command -v castool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "castool is missing (Debian package mame-tools)";
    }
    for (const std::size_t code : {0, 244, 245, 600, 65535}) {
        const Scratch scratch;
        write_file(scratch.work() / "code.raw", text(code_of(code)));
        const Outcome run = scratch.run({"--onto", "t.k7", "code.raw", "9000", "9000", "HELLO.BIN"});
        ASSERT_TRUE(run.status == 0 && run.out.find("Cassette............ : t.k7\nNom sur la cassette. : ") != run.out.npos);
        const std::string said = output_of("castool convert mo5 '" + (scratch.work() / "t.k7").string() +
                                           "' '" + (scratch.work() / "t.wav").string() + "' 2>&1");
        EXPECT_NE(said.find("file \"HELLO   .BIN\" type=bin"), std::string::npos) << said;
        EXPECT_EQ(said.find("WARNING"), std::string::npos) << said;
        // The sound vork makes of the same program is castool's, byte for byte.
        ASSERT_EQ(scratch.run({"--onto", "s.wav", "code.raw", "9000", "9000", "HELLO.BIN"}).status, 0);
        EXPECT_TRUE(read_file(scratch.work() / "s.wav") == read_file(scratch.work() / "t.wav")) << code;
    }
}

// --list IMAGE [NAME]: a disk holding HELLO.BIN (19 bytes of code at $9000)
// and a 13-byte data file, listed; read only, whatever it finds.
struct ListCase {
    const char* name;
    std::vector<std::string> args;
    std::string says;
    int status = 0;
    std::function<void(Bytes&)> spoil = [](Bytes&) {};
    std::string err = "";
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
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(read_file(scratch.work() / "d.sap"), text(image));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskListing,
    testing::Values(
        ListCase{"WholeDisk", {},
                 "Image de disque..... : d.sap\nNOTES.DAT    D A     13 octets\n"
                 "HELLO.BIN    M B     29 octets\nBloc 1.............. : $9000-$9012, 19 octets\n"
                 "Adr de Lancement.... : $9000\nFichiers : 2, blocs libres : 156 (318240 octets)\n"},
        ListCase{"OneFile", {"hello.bin"},
                 "Nom sur le disque... : HELLO.BIN\nBloc 1.............. : $9000-$9012, 19 "
                 "octets\nAdr de Lancement.... : $9000\n"},
        ListCase{"NoSuchFile", {"GAME.BIN"}, "Erreur, pas de fichier GAME.BIN sur l'image d.sap\n", 1},
        ListCase{"NameThatCannotBe", {"GAME BIN"}, "ne tient pas dans un nom de fichier", 2},
        ListCase{"Damaged", {}, "illisible a l'octet 84173 : chaine d'un fichier qui boucle", 1,
                 set_face(Container::sap, kTableByte, 0)},
        // HELLO.BIN (from block 1) still machine code on a whole disk, but no binary.
        ListCase{"MachineCodeNotABinary", {}, "HELLO.BIN    M B     29 octets\nFichiers : 2", 0,
                 set_face(Container::sap, 2048, 0x12),
                 "Attention, HELLO.BIN n'est pas un binaire Thomson complet\n"},
        ListCase{"ThatFileAlone", {"HELLO.BIN"}, "Erreur, octet $12 a l'octet 0 : ni un debut", 1,
                 set_face(Container::sap, 2048, 0x12)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// The programs of a tape as castool names them, in order, and their bytes
// as its blocks hold them, each found behind a leader byte $01 (marker 3C 5A,
// type, length, bytes, checksum) and kept when its sum is 0: a reading of the
// tape vork does not do.
std::vector<std::pair<std::string, Bytes>> tape_programs(const Scratch& scratch, const char* tape) {
    const fs::path path = scratch.work() / tape;
    const std::string said = output_of("castool convert mo5 '" + path.string() + "' '" +
                                       (scratch.work() / "t.wav").string() + "' 2>&1");
    std::vector<std::pair<std::string, Bytes>> programs;
    for (std::size_t at = 0; (at = said.find("file \"", at)) != std::string::npos; ++at) {
        std::string name = said.substr(at + 6, 12);
        name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
        programs.push_back({name, {}});
    }
    const Bytes bytes = bytes_of(read_file(path));
    std::size_t index = 0;
    for (std::size_t at = 1; at + 4 <= bytes.size();) {
        const std::size_t length = bytes[at + 3] == 0 ? 256 : bytes[at + 3];
        if (bytes[at - 1] != 0x01 || bytes[at] != 0x3C || bytes[at + 1] != 0x5A ||
            at + 3 + length > bytes.size()) {
            ++at;
            continue;
        }
        const auto block = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        const auto end = block + static_cast<std::ptrdiff_t>(3 + length);  // past the checksum
        const bool whole = std::accumulate(block + 4, end, 0) % 256 == 0;
        if (whole && block[2] == 0x01 && index < programs.size()) {
            programs[index].second.insert(programs[index].second.end(), block + 4, end - 1);
        }
        index += whole && block[2] == 0xFF;
        at += 3 + length;
    }
    EXPECT_EQ(index, programs.size()) << said;
    return programs;
}

// Tapes keep their programs: each run adds one at the end or replaces its
// namesake where it stands; castool reads every program back. What is not
// an MO5 tape vork reads whole is refused, untouched.
TEST(Tape, KeepsEveryOtherProgram) {
    if (std::system("command -v castool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "castool is missing (Debian package mame-tools)";
    }
    const Scratch scratch;
    // AB.BIN grows from 3 blocks to 6 between A.BIN and C.BIN.
    const struct { const char* name; std::size_t size; const char* says; } runs[] = {
        {"A.BIN", 600, "A.BIN ecrit sur la cassette t.K7 (blocs : 5)"},
        {"AB.BIN", 30, "ajoute a la fin de la cassette t.K7 (blocs : 3, programme 2 sur 2)"},
        {"C.BIN", 0, "(blocs : 3, programme 3 sur 3)"},
        {"AB.BIN", 1000, "remplace sur la cassette t.K7 (blocs : 6, programme 2 sur 3)"}};
    for (int i = 0; const auto& [name, size, says] : runs) {
        write_file(scratch.work() / "code.raw", text(code_of(size, i++)));
        const Outcome run = scratch.run({"--onto", "t.K7", "code.raw", "9000", "9000", name});
        ASSERT_TRUE(run.status == 0 && run.out.find(says) != std::string::npos) << run.out;
    }
    const auto programs = tape_programs(scratch, "t.K7");
    ASSERT_EQ(programs.size(), 3u);
    for (std::size_t i = 0; const char* name : {"A.BIN", "AB.BIN", "C.BIN"}) {
        EXPECT_EQ(programs[i].first, name);
        EXPECT_EQ(text(programs[i++].second), read_file(scratch.work() / name)) << name;
    }
    const Outcome listed = scratch.run({"--list", "t.K7"}), one = scratch.run({"--list", "t.K7", "ab.bin"});
    for (const char* line : {"AB.BIN       M B   1010 octets\nBloc 1.............. : $9000",
                             ", 1000 octets\nAdr de Lancement.... : $9000\nC.BIN", "\nProgrammes : 3\n"}) {
        EXPECT_NE(listed.out.find(line), std::string::npos) << listed.out;
    }
    EXPECT_NE(one.out.find("Nom sur la cassette. : AB.BIN\nBloc 1.............. : $9000-$93E7"), std::string::npos);

    const Bytes tape = bytes_of(read_file(scratch.work() / "t.K7"));
    struct Refused {
        std::function<void(Bytes&)> spoil;
        std::string says;
    };
    const Refused rows[] = {
        // A TO7 tape: $FF fillers, blocks 01 3C.
        {[](Bytes& t) { t = {0xFF, 0xFF, 0x01, 0x3C, 0x00, 0x10}; },
         "illisible a l'octet 0 : ni amorce"},
        {[](Bytes& t) { t[55] ^= 1; }, "illisible a l'octet 309 : somme de controle"},  // A.BIN's first byte
        {[](Bytes& t) { t.erase(t.end() - 30, t.end()); }, "s'arrete au milieu d'un programme"},
        {[](Bytes& t) { t[16 + 2] = 0x01; }, "illisible a l'octet 18 : bloc hors de son ordre"},
        {[](Bytes& t) { t.push_back(0x3C); }, "s'arrete au milieu"},
    };
    for (const Refused& row : rows) {
        Bytes spoilt = tape;
        row.spoil(spoilt);
        write_file(scratch.work() / "bad.k7", text(spoilt));
        const Outcome run = scratch.run({"--onto", "bad.k7", "code.raw", "9000", "9000", "D.BIN"});
        EXPECT_EQ(run.status, 1) << row.says;
        EXPECT_NE(run.out.find(row.says), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("La cassette bad.k7 n'est pas modifiee"), std::string::npos);
        EXPECT_EQ(read_file(scratch.work() / "bad.k7"), text(spoilt));
    }
    fs::create_symlink("/dev/null", scratch.work() / "nul.k7");
    const Outcome device = scratch.run({"--onto", "nul.k7", "code.raw", "9000", "9000", "D.BIN"});
    EXPECT_EQ(device.status, 1);
    EXPECT_NE(device.out.find("nul.k7 n'est pas un fichier ordinaire"), std::string::npos);
}

}  // namespace

namespace {

// Other converters' .hfe (interleave 1 or 2, other gaps, head byte = side,
// cells off the byte) and vork's own .sd faces: --onto a face keeps every
// other face byte for byte, and the face written reads back in floptool
// and imgtool with its old file and the new one.
TEST(DiskEmulators, OtherLayoutsAndFacesKeepEverything) {
    // vork's own .hfe is HxC's Thomson layout, byte for byte, on one side and on two.
    const std::vector<Bytes> two{face_with("A0.BIN"), face_with("A1.BIN")};
    EXPECT_EQ(write_image(Container::hfe, {}, two[0]), hfe_of({two[0]}, {}));
    EXPECT_EQ(write_image(Container::hfe, write_image(Container::hfe, {}, two[0]), two[1], 1),
              hfe_of(two, {}));
    if (!has_imgtool()) {
        GTEST_SKIP() << "imgtool and floptool are missing (Debian package mame-tools)";
    }
    struct Row {
        Container container;
        HfeLayout layout;
        std::size_t faces, side;
    };
    const Row rows[] = {{Container::hfe, {.interleave = 1, .head_is_side = true, .shift = 3}, 2, 1},
                        {Container::hfe, {.gap1 = 60, .gap3 = 40, .interleave = 2}, 2, 0},
                        {Container::hfe, {.gap2 = 30, .interleave = 5, .shift = 9}, 1, 0},
                        {Container::sd, {}, 4, 3}};
    for (const Row& row : rows) {
        const Scratch scratch;
        const fs::path disk = scratch.work() / (std::string("d.") + extension(row.container));
        std::vector<Bytes> faces;
        Bytes image;
        for (std::size_t f = 0; f < row.faces; ++f) {
            faces.push_back(face_with(("A" + std::to_string(f) + ".BIN").c_str()));
            const Bytes sd = write_image(Container::sd, {}, faces.back());
            image.insert(image.end(), sd.begin(), sd.begin() + 2 * kFaceSize);
        }
        write_file(disk, text(row.container == Container::hfe ? hfe_of(faces, row.layout) : image));
        write_file(scratch.work() / "code.raw", text(code_of(2041)));
        const Outcome run = scratch.run({"--onto", disk.filename().string(), "--face",
                                         std::to_string(row.side), "code.raw", "9000", "9000", "C.BIN"});
        ASSERT_EQ(run.status, 0) << run.out;
        for (std::size_t f = 0; f < row.faces; ++f) {
            const fs::path face = as_fd(row.container, disk, static_cast<int>(f));
            if (f != row.side) {
                EXPECT_EQ(read_file(face), text(faces[f])) << disk << " face " << f;
                continue;
            }
            const std::string kept = "A" + std::to_string(f) + ".BIN";
            EXPECT_EQ(imgtool_gets(Container::fd, face, kept), text(code_of(700)));
            EXPECT_EQ(imgtool_gets(Container::fd, face, "C.BIN"), read_file(scratch.work() / "C.BIN"));
        }
    }
}

}  // namespace
