// libFuzzer target: --list and --onto on .hfe images the user hands in,
// judged by the test's own decoder (hfe_model.h), not vork's. Input: one
// byte choosing the face (bit 0: --face 1) and how the image is made (below
// 0x80: a two-sided disk of HxC's layout holding A.BIN on each side, then
// changed at the offsets the rest gives, three bytes each, offset high and
// low byte (scaled over the image) and the new value; from 0x80: the rest
// is the whole file).
//
// Either a run refuses and the file is exactly as it was, or --onto
// succeeds on a file the test's decoder reads whole, and the file written
// reads whole too, the other side as it was and A.BIN kept.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "../hfe_model.h"
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

Bytes read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int run(std::vector<std::string> args) {
    static std::FILE* const out = std::fopen("/dev/null", "wb");
    static std::FILE* const in = std::fopen("/dev/null", "rb");
    std::vector<const char*> argv{"vork"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    return vork::run(static_cast<int>(argv.size()) - 1, argv.data(), out, in);
}

// Whether `face` holds A.BIN as the seed put it there.
bool holds_a(const Bytes& face) {
    std::vector<File> files;
    if (read_face(face, files).problem != Problem::none) {
        return false;
    }
    for (const File& file : files) {
        if (shown_name(file.name) == "A.BIN") {
            return file_bytes(face, file) == Bytes(700, 0xA5);
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return -1;
    }
    static const fs::path dir = [] {
        std::string name = (fs::temp_directory_path() / "vork-fuzz-hfe-XXXXXX").string();
        const fs::path made = mkdtemp(name.data());
        std::ofstream(made / "code.raw", std::ios::binary) << "\x12\x34\x56";
        return made;
    }();
    const int side = data[0] & 1;
    const std::string face_text = side == 1 ? "1" : "0";
    Bytes image;
    if (data[0] >= 0x80) {
        image.assign(data + 1, data + size);
    } else {
        static const Bytes seed = [] {
            Bytes face = blank_face();
            put_file(face, *disk_name("A.BIN"), Bytes(700, 0xA5), {});
            return vork_test::hfe_of({face, face}, {});
        }();
        image = seed;
        for (std::size_t at = 1; at + 3 <= size; at += 3) {
            image[(std::size_t{data[at]} << 8 | data[at + 1]) * image.size() / 65536] = data[at + 2];
        }
    }
    const fs::path path = dir / "d.hfe";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    run({"--list", path.string(), "--face", face_text});
    check(read_all(path) == image);
    const int status = run({"--onto", path.string(), "--face", face_text,
                            (dir / "code.raw").string(), "9000", "9000", (dir / "C.BIN").string()});
    const Bytes after = read_all(path);
    if (status != 0) {
        check(after == image);
        return 0;
    }
    // An empty file stands for a blank disk.
    const std::vector<Bytes> before =
        image.empty() ? std::vector<Bytes>(side + 1, blank_face()) : vork_test::hfe_faces(image);
    const std::vector<Bytes> now = vork_test::hfe_faces(after);
    check(before.size() > static_cast<std::size_t>(side) && now.size() == before.size());
    check(before.size() == 1 || now[1 - side] == before[1 - side]);
    check(!holds_a(before[side]) || holds_a(now[side]));
    return 0;
}
