// A model of the disk: random puts through vork onto random disks imgtool
// made, each step checked against a plain map of names to bytes and against
// what imgtool reads back. VORK_MODEL_SEED picks another seed. What the model
// cannot reach, damaged images, has its rows in disk_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <sstream>
#include <utility>

#include "scratch.h"
#include "thomson_reader.h"

namespace {

using namespace vork_test;
using Files = std::map<std::string, std::string>;  // "NAME.EXT" → type, format letters, bytes

// Blocks of 8 sectors of 255 bytes, of 158 (track 20 is the system's); an empty file takes one.
long blocks(std::size_t size) { return std::max(1L, static_cast<long>((size + 2039) / 2040)); }
long free_of(const Files& files) {
    long free = 158;
    for (const auto& [name, file] : files) {
        free -= blocks(file.size() - 2);
    }
    return free;
}

// The files and free blocks of the disk at `path` as imgtool reads them.
std::pair<Files, long> imgtool_reads(const fs::path& path, const std::string& module) {
    const fs::path got = path.parent_path() / "got";
    fs::remove_all(got);
    fs::create_directory(got);
    const std::string quoted = " " + module + " '" + path.string() + "'";
    const std::string dir = output_of("cd '" + got.string() + "' && imgtool getall" + quoted +
                                      " >/dev/null && imgtool dir" + quoted);
    Files files;
    for (const auto& entry : fs::directory_iterator(got)) {
        const std::string name = entry.path().filename().string();
        std::istringstream line(dir.substr(dir.find("\n" + name + " ") + 1));
        std::string size, type, format;
        line >> size >> size >> type >> format;
        files[name] = type + format + read_file(entry.path());
    }
    const std::size_t free = dir.rfind(" bytes free");
    return {files, free == std::string::npos ? -1 : std::stol(dir.substr(dir.rfind(' ', free - 1))) / 2040};
}

std::string noise(std::size_t size, std::mt19937& random) {
    std::string bytes(size, 0);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

// Up to 8 letters and digits, a dot, up to 3 more; never the extension of
// an image or a tape, which vork refuses for TARGET.
std::string random_name(std::mt19937& random) {
    for (;;) {
        std::string name;
        for (const std::size_t most : {8, 3}) {
            name += name.empty() ? "" : ".";
            for (std::size_t n = 1 + random() % most; n > 0; --n) {
                name += "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[random() % 36];
            }
        }
        const std::string extension = name.substr(name.find('.'));
        if (extension != ".FD" && extension != ".SAP" && extension != ".HFE" && extension != ".SD" &&
            extension != ".K7" && extension != ".WAV") {
            return name;
        }
    }
}

// The disk of `kind` (0: none yet, 1: an empty file, 2: 12 files, some then
// deleted, 3: 111 files, the second then deleted, 4: nearly full) made by
// imgtool, with new names only (it harms other files when it puts over a name
// or deletes); deleted entries, an old entry past the directory's end, track
// 20 marked $FB and each SAP format byte made here. Returns what it holds.
Files make_disk(const fs::path& path, int kind, bool sap, std::mt19937& random) {
    Files files;
    if (kind < 2) {
        if (kind == 1) {
            write_file(path, "");
        }
        return files;
    }
    const std::string module = sap ? " thom_sap '" : " thom_fd '";
    output_of("imgtool create" + module + path.string() + "'");
    const long keep_free = 1 + static_cast<long>(random() % 3);
    while (kind == 2 ? files.size() < 12 : kind == 3 ? files.size() < 111 : free_of(files) > keep_free) {
        const long most = kind == 4 ? std::min(free_of(files) - keep_free, 20L) * 2040 : kind == 3 ? 300 : 9000;
        const std::string name = random_name(random), put = (path.parent_path() / "put").string();
        const std::string type = std::string("MBDAB")[random() % 5] + std::string(random() % 2 ? "B" : "A");
        write_file(put, noise(random() % most, random));
        if (files.emplace(name, type + read_file(put)).second) {
            output_of("imgtool put" + module + path.string() + "' '" + put + "' " + name +
                      " --ftype=" + type[0] + " --format=" + type[1] + " >/dev/null 2>&1");
        }
    }
    std::string image = read_file(path), face = *thomson::face_of(image, sap);
    std::size_t end = thomson::kDirectory;
    while (face[end] != '\xFF') {
        end += 32;
    }
    for (std::size_t at = thomson::kDirectory + 32; at < end && (kind == 2 || (kind == 3 && at == thomson::kDirectory + 32));
         at += 32 + 32 * (kind == 2 ? random() % 4 : 0)) {
        for (std::size_t block = static_cast<unsigned char>(face[at + 13]); block < 160;) {
            block = static_cast<unsigned char>(std::exchange(face[thomson::kTable + 1 + block], '\xFF'));
        }
        const std::string stem = face.substr(at, 8), extension = face.substr(at + 8, 3);
        files.erase(stem.substr(0, stem.find(' ')) + "." + extension.substr(0, extension.find(' ')));
        face[at] = '\0';
    }
    if (end + 32 < thomson::kDirectory + 112 * 32) {
        face.replace(end + 32, 11, "GHOST   BIN");
    }
    if (kind != 3) {
        face[thomson::kTable + 41] = face[thomson::kTable + 42] = '\xFB';
    }
    if (sap) {
        thomson::seal(image, face, (kind - 2) * 2);
    }
    write_file(path, sap ? image : face);
    return files;
}

TEST(DiskModel, PutsAgreeWithImgtool) {
    if (std::system("command -v imgtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "imgtool is missing (Debian package mame-tools)";
    }
    const char* const given = std::getenv("VORK_MODEL_SEED");
    // One seed unless told another, so that a run in CI is repeatable.
    const unsigned seed = given != nullptr ? std::stoul(given) : 42;
    SCOPED_TRACE("VORK_MODEL_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    for (int disk = 0; disk < 10; ++disk) {
        const Scratch scratch;
        const bool sap = disk % 2 == 1;
        const std::string image = sap ? "d.sap" : "d.fd";
        const fs::path path = scratch.work() / image, face = scratch.work() / "face.fd";
        Files model = make_disk(path, disk / 2, sap, random);
        // Three .fd put on their second face: the first, noise, stays as it
        // was; a new disk's is blank.
        const bool second = disk % 4 == 0;
        const std::string first = second && disk > 0 ? noise(thomson::kFace, random) : "";
        if (!first.empty()) {
            write_file(path, first + read_file(path));
        }
        const auto on_face = [&](std::vector<std::string> args) {
            if (second) {
                args.insert(args.begin() + 2, {"--face", "1"});
            }
            return scratch.run(args);
        };
        // An empty file is no disk to list, though --onto takes it for a blank one.
        EXPECT_EQ(on_face({"--list", image}).status, disk / 2 < 2 ? 1 : 0) << disk;
        for (int step = 0; step < 8; ++step) {
            // A file of this disk, in any case, or a new one (first, beside 111 files).
            std::string name = random_name(random);
            if (!model.empty() && random() % 2 == 0 && (disk / 2 != 3 || step > 0)) {
                name = std::next(model.begin(), static_cast<long>(random() % model.size()))->first;
                for (char& c : name) {
                    c = random() % 2 ? static_cast<char>(std::tolower(c)) : c;
                }
            }
            std::string upper = name;
            std::transform(name.begin(), name.end(), upper.begin(), ::toupper);
            const bool replacing = model.count(upper) != 0;
            const long room = free_of(model) + (replacing ? blocks(model[upper].size() - 2) : 0);
            // About a multiple of 255, or of 2,040 (about the room, when a file can fill it), or any.
            const long near = random() % 2 ? 255 * static_cast<long>(random() % 258)
                                           : 2040 * (room <= 33 ? room + static_cast<long>(random() % 3) - 1
                                                                : static_cast<long>(random() % 33));
            const long offsets[] = {-2039, -1, 0, 1, static_cast<long>(random() % 65546) - near};
            const auto size = static_cast<std::size_t>(std::clamp(near + offsets[random() % 5], 10L, 65545L));
            write_file(scratch.work() / "code.raw", noise(size - 10, random));
            const std::string before = fs::exists(path) ? read_file(path) : "";
            struct stat was {}, now {};
            stat(path.c_str(), &was);
            const Outcome run = on_face({"--onto", image, "code.raw", "9000", "9000", name});
            const bool fits = blocks(size) <= room && (replacing || model.size() < 112);
            SCOPED_TRACE("disk " + std::to_string(disk) + " step " + std::to_string(step) + ": " + name +
                         ", " + std::to_string(size) + " bytes, " + std::to_string(room) + " blocks free\n" + run.out);
            ASSERT_EQ(run.status, fits ? 0 : 1);
            if (blocks(size) > room) {
                EXPECT_NE(run.out.find("blocs libres : " + std::to_string(room) + ", il en faut " +
                                       std::to_string(blocks(size))), std::string::npos);
            }
            if (fits) {
                model[upper] = "MB" + read_file(scratch.work() / name);
                EXPECT_NE(run.out.find((replacing ? "remplace sur " : "ajoute sur ") + image + " (blocs : " +
                                       std::to_string(blocks(size)) + " "), std::string::npos);
                EXPECT_NE(run.out.find(", " + std::to_string(free_of(model)) + " libre"), std::string::npos);
                EXPECT_EQ(on_face({"--list", image, name}).status, 0);
            } else {
                stat(path.c_str(), &now);
                EXPECT_EQ(now.st_ino, was.st_ino);
                EXPECT_EQ(fs::exists(path) ? read_file(path) : "", before);
            }
            if (!fs::exists(path) || fs::file_size(path) == 0) {
                continue;
            }
            const std::string after = read_file(path);
            if (second) {
                write_file(face, after.substr(0, thomson::kFace));
                EXPECT_TRUE(first.empty() ? imgtool_reads(face, "thom_fd") == std::pair(Files{}, 158L)
                                          : after.substr(0, thomson::kFace) == first);
            }
            write_file(face, after.substr(second ? thomson::kFace : 0));
            const auto [files, free] = imgtool_reads(sap ? path : face, sap ? "thom_sap" : "thom_fd");
            ASSERT_EQ(files, model);
            ASSERT_EQ(free, free_of(model));
        }
    }
}

}  // namespace
