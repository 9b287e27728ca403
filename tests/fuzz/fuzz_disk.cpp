// libFuzzer target: whole in-process runs of --list and --onto on disk
// images the user hands in. Input: one byte choosing the container (even:
// .fd, odd: .sap), the face (bit 1: --face 1, a .fd of two faces when made
// here) and how the image is made (below 0x80: a disk holding A.BIN and
// B.BIN, then changed at the offsets the rest gives, three bytes each,
// offset high and low byte (scaled over the image) and the new value; from
// 0x80: the rest of the input is the whole image file).
//
// Either a run refuses and the image is exactly as it was, or --onto
// succeeds and the face reads back whole, holding the new file and every
// other file as it was, and every other byte of the image is as it was.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "disk_image.h"
#include "run.h"
#include "thomson_disk.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace vork::disk;

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

struct Workspace {
    fs::path dir;
    std::FILE* out;
    std::FILE* in;
    // Gone at the end, since it lies in memory.
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

const Workspace& workspace() {
    static const Workspace w = [] {
        // In memory where it can be: every --onto syncs the image it writes.
        const fs::path memory = "/dev/shm";
        std::string name = ((fs::is_directory(memory) ? memory : fs::temp_directory_path()) /
                            "vork-fuzz-disk-XXXXXX")
                               .string();
        const fs::path dir = mkdtemp(name.data());
        std::ofstream(dir / "code.raw", std::ios::binary) << "\x12\x34\x56";
        return Workspace{dir, std::fopen("/dev/null", "wb"), std::fopen("/dev/null", "rb")};
    }();
    return w;
}

Bytes read_all(const fs::path& path) {
    Bytes bytes(fs::file_size(path));
    std::ifstream(path, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

int run(std::vector<std::string> args) {
    std::vector<const char*> argv{"vork"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    return vork::run(static_cast<int>(argv.size()) - 1, argv.data(), workspace().out,
                     workspace().in);
}

// The files of `image`, by name, with their bytes; false when it does not read.
bool files_of(Container container, int side, const Bytes& image,
              std::vector<std::pair<std::string, Bytes>>& files) {
    Bytes face;
    std::vector<File> listed;
    if (read_image(container, image, face, listed, side).problem != ImageProblem::none) {
        return false;
    }
    files.clear();
    for (const File& file : listed) {
        files.emplace_back(shown_name(file.name), file_bytes(face, file));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return -1;
    }
    const Container container = data[0] % 2 == 0 ? Container::fd : Container::sap;
    const int side = (data[0] & 2) != 0 ? 1 : 0;
    const std::string face_text = side == 1 ? "1" : "0";
    Bytes image;
    if (data[0] >= 0x80) {
        image.assign(data + 1, data + size);
    } else {
        Bytes face = blank_face();
        put_file(face, *disk_name("A.BIN"), Bytes(2041, 0xA5), {});
        put_file(face, *disk_name("B.BIN"), Bytes(13, 0x5A), {});
        image = write_image(container, {}, face);
        if (side == 1 && container == Container::fd) {
            image = write_image(container, image, face, 0);
            image.insert(image.end(), image.begin(), image.end());
        }
        for (std::size_t at = 1; at + 3 <= size; at += 3) {
            const std::size_t offset = (std::size_t{data[at]} << 8 | data[at + 1]) * image.size() / 65536;
            image[offset] = data[at + 2];
        }
    }
    const Workspace& w = workspace();
    const fs::path path = w.dir / (container == Container::fd ? "d.fd" : "d.sap");
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    std::vector<std::pair<std::string, Bytes>> before;
    const bool readable = files_of(container, side, image, before);

    run({"--list", path.string(), "--face", face_text});
    check(read_all(path) == image);
    run({"--list", path.string(), "--face", face_text, "A.BIN"});
    check(read_all(path) == image);

    const int status = run({"--onto", path.string(), "--face", face_text,
                            (w.dir / "code.raw").string(), "9000", "9000",
                            (w.dir / "C.BIN").string()});
    const Bytes after = read_all(path);
    if (status != 0) {
        check(after == image);
        return 0;
    }
    // Written: the image read before (an empty file is a blank disk), and reads now.
    check(readable || image.empty());
    std::vector<std::pair<std::string, Bytes>> now;
    check(files_of(container, side, after, now));
    // A .fd's other face, as it was (a new disk's: blank).
    if (container == Container::fd && after.size() == 2 * kFaceSize) {
        const std::size_t other = (1 - static_cast<std::size_t>(side)) * kFaceSize;
        const Bytes was = image.empty() ? blank_face()
                                        : Bytes(image.begin() + static_cast<std::ptrdiff_t>(other),
                                                image.begin() + static_cast<std::ptrdiff_t>(other + kFaceSize));
        check(std::equal(was.begin(), was.end(), after.begin() + static_cast<std::ptrdiff_t>(other)));
    }
    for (const auto& [name, bytes] : before) {
        if (name == "C.BIN") {
            continue;
        }
        bool kept = false;
        for (const auto& [now_name, now_bytes] : now) {
            kept = kept || (now_name == name && now_bytes == bytes);
        }
        check(kept);
    }
    bool added = false;
    for (const auto& [name, bytes] : now) {
        added = added || (name == "C.BIN" && bytes.size() == 13);
    }
    check(added);
    return 0;
}
