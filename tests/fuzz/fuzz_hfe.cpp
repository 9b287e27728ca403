// libFuzzer target: --list and --onto on .hfe images, judged by floptool
// (mame-tools), not vork's reader. Input: one byte choosing the face (bit 0:
// --face 1) and how the image is made (below 0x80: a two-sided disk of
// HxC's layout holding A.BIN on each side, changed at the offsets the rest
// gives, three bytes each: offset high and low byte, scaled over the image,
// and the new value; from 0x80: the rest is the whole file).
//
// Either a run refuses and the file is as it was, or --onto succeeds on a
// file floptool reads (an empty one: a blank disk), the file written reads
// too, the other side as it was, and A.BIN, when it was there, still is.
#include "../hfe_model.h"
#include "disk_image.h"
#include "fuzzing.h"
#include "thomson_disk.h"

namespace {

using namespace vork::disk;
using namespace vork_fuzz;

// The faces floptool reads in the .hfe `image` (cylinder by cylinder when two).
std::vector<Bytes> floptool_faces(const fs::path& dir, const Bytes& image) {
    write_all(dir / "judged.hfe", image);
    fs::remove(dir / "judged.fd");
    const std::string command = "floptool flopconvert hfe thomson_35 '" + (dir / "judged.hfe").string() +
                                "' '" + (dir / "judged.fd").string() + "' >/dev/null 2>&1";
    const Bytes cylinders = std::system(command.c_str()) == 0 ? read_all(dir / "judged.fd") : Bytes{};
    std::vector<Bytes> faces(cylinders.size() / kFaceSize);
    for (std::size_t at = 0; at < cylinders.size(); at += 4096) {
        Bytes& face = faces[at / 4096 % faces.size()];
        face.insert(face.end(), cylinders.begin() + at, cylinders.begin() + at + 4096);
    }
    return faces;
}

// Whether `face` holds A.BIN as the seed put it there.
bool holds_a(const Bytes& face) {
    std::vector<File> files;
    read_face(face, files);
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
    const fs::path& dir = workspace("vork-fuzz-hfe");
    static const Bytes seed = [] {
        Bytes face = blank_face();
        put_file(face, *disk_name("A.BIN"), Bytes(700, 0xA5), {});
        return vork_test::hfe_of({face, face}, {});
    }();
    const std::size_t side = data[0] & 1;
    Bytes image(data + 1, data + size);
    if (data[0] < 0x80) {
        image = seed;
        for (std::size_t at = 1; at + 3 <= size; at += 3) {
            image[(std::size_t{data[at]} << 8 | data[at + 1]) * image.size() / 65536] = data[at + 2];
        }
    }
    const fs::path path = dir / "d.hfe";
    write_all(path, image);
    const std::string face = std::to_string(side);
    run({"--list", path.string(), "--face", face});
    check(read_all(path) == image);
    const int status = run({"--onto", path.string(), "--face", face, (dir / "code.raw").string(),
                            "9000", "9000", (dir / "C.BIN").string()});
    const Bytes after = read_all(path);
    if (status != 0) {
        check(after == image);
        return 0;
    }
    const std::vector<Bytes> before =
        image.empty() ? std::vector<Bytes>(side + 1, blank_face()) : floptool_faces(dir, image);
    const std::vector<Bytes> now = floptool_faces(dir, after);
    check(before.size() > side && now.size() == before.size());
    check(before.size() == 1 || now[1 - side] == before[1 - side]);
    check(!holds_a(before[side]) || holds_a(now[side]));
    return 0;
}
