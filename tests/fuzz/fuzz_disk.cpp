// libFuzzer target: whole in-process runs of --list and --onto on disk
// images the user hands in. Input: one byte choosing the container (even:
// .fd, odd: .sap), the face (bit 1: --face 1, a .fd of two faces when made
// here), whether a .sap's records are re-sealed after the changes (bit 2
// clear: their CRCs made right again, so that the changes reach past the
// CRC check) and how the image is made (below 0x80: a disk holding A.BIN
// and B.BIN, then changed at the offsets the rest gives, four bytes each,
// a 24-bit offset into the image file and the new value; from 0x80: the
// rest of the input is the whole image file).
//
// Either a run refuses and the image is exactly as it was, the same file, or --onto
// succeeds and a reader of the test's own (not vork's) reads the face
// back whole, holding the new file, every other file as it was and the
// free blocks less those of the change, and every other byte of the image
// is as it was.
#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "../thomson_reader.h"
#include "disk_image.h"
#include "fuzzing.h"
#include "thomson_disk.h"

namespace {

using namespace vork::disk;
using namespace vork_fuzz;

// What the test's own reader finds on face `side` of `image`.
std::optional<thomson::Disk> disk_of(Container container, int side, const Bytes& image) {
    const auto face = thomson::face_of({image.begin(), image.end()}, container == Container::sap, side);
    return face ? thomson::read_disk(*face) : std::nullopt;
}

// The blocks a file of `size` bytes (with its kind's 2 letters) takes: even an empty one, one.
long blocks(std::size_t size) { return size <= 2 ? 1 : static_cast<long>((size - 2 + 2039) / 2040); }

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
        for (std::size_t at = 1; at + 4 <= size; at += 4) {
            const std::size_t offset = std::size_t{data[at]} << 16 | std::size_t{data[at + 1]} << 8 | data[at + 2];
            image[offset % image.size()] = data[at + 3];
        }
        if (container == Container::sap && (data[0] & 4) == 0) {
            std::string file(image.begin(), image.end());
            thomson::seal(file);
            image.assign(file.begin(), file.end());
        }
    }
    const fs::path& dir = workspace("vork-fuzz-disk");
    const fs::path path = dir / (container == Container::fd ? "d.fd" : "d.sap");
    write_all(path, image);
    const auto before = disk_of(container, side, image);

    run({"--list", path.string(), "--face", face_text});
    check(read_all(path) == image);
    run({"--list", path.string(), "--face", face_text, "A.BIN"});
    check(read_all(path) == image);

    struct stat was {}, still {};
    stat(path.c_str(), &was);
    const int status = run({"--onto", path.string(), "--face", face_text,
                            (dir / "code.raw").string(), "9000", "9000", (dir / "C.BIN").string()});
    const Bytes after = read_all(path);
    if (status != 0) {
        // Not even rewritten as it was: the same file, its other names kept.
        stat(path.c_str(), &still);
        check(after == image && still.st_ino == was.st_ino);
        return 0;
    }
    // Written: the image read before (an empty file is a blank disk), and reads now.
    check(before.has_value() || image.empty());
    const auto now = disk_of(container, side, after);
    check(now.has_value());
    // A .fd's other face, as it was (a new disk's: blank).
    if (container == Container::fd && after.size() == 2 * kFaceSize) {
        const std::size_t other = (1 - static_cast<std::size_t>(side)) * kFaceSize;
        const Bytes was = image.empty() ? blank_face()
                                        : Bytes(image.begin() + static_cast<std::ptrdiff_t>(other),
                                                image.begin() + static_cast<std::ptrdiff_t>(other + kFaceSize));
        check(std::equal(was.begin(), was.end(), after.begin() + static_cast<std::ptrdiff_t>(other)));
    }
    // The new file, and every other as it was.
    const std::string binary{0x00, 0x00, 0x03, '\x90', 0x00, 0x12, 0x34, 0x56, '\xFF', 0x00, 0x00, '\x90', 0x00};
    std::multimap<std::string, std::string> kept = before ? before->files : decltype(kept){};
    const auto old = kept.find("C       BIN");
    const long freed = old != kept.end() ? blocks(old->second.size()) : 0;
    if (old != kept.end()) {
        kept.erase(old);
    }
    std::multimap<std::string, std::string> others = now->files;
    const auto put = others.find("C       BIN");
    check(put != others.end() && put->second == "MB" + binary);
    others.erase(put);
    check(others == kept);
    check(now->free == (before ? before->free : 158) + freed - 1);
    return 0;
}
