#include "listing.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

#include "exit_status.h"
#include "image.h"
#include "medium.h"
#include "texts.h"

namespace vork {

namespace {

// Prints `block`, numbered `number` (from 1).
void print_block(std::FILE* out, int number, const Block& block) {
    char label[32];
    const int length = std::snprintf(label, sizeof label, text::kBlockLabel, number);
    for (int at = length; at < text::kLabelWidth; ++at) {
        label[at] = '.';
    }
    label[length < text::kLabelWidth ? text::kLabelWidth : length] = '\0';
    if (block.size == 0) {
        print(out, text::kEmptyBlock, label, block.load);
    } else if (runs_past_end(block.load, block.size)) {
        print(out, text::kBlockPastFFFF, label, block.load, static_cast<int>(block.size),
              static_cast<int>(block.load + block.size - 0x10000));
    } else {
        print(out, text::kBlock, label, block.load,
              static_cast<unsigned>(block.load + block.size - 1), static_cast<int>(block.size),
              text::plural(static_cast<long>(block.size)));
    }
}

// Prints where `listing` goes wrong, in `file`.
void print_fault(std::FILE* out, const Listing& listing, std::span<const std::uint8_t> file) {
    // Sizes and offsets of a file no larger than kMaxBinarySize.
    const int block = static_cast<int>(listing.blocks.size()) + 1;
    const int offset = static_cast<int>(listing.offset);
    const int count = static_cast<int>(listing.count);
    const int end = static_cast<int>(file.size());
    switch (listing.fault) {
        case Malformed::none:
            break;
        case Malformed::cut_in_header:
            print(out, text::kCutInHeader, block, offset);
            break;
        case Malformed::cut_in_block:
            // The block would take its bytes up to the missing ones.
            print(out, text::kCutInBlock, end, block, offset, end + count - 1, count,
                  text::plural(count));
            break;
        case Malformed::not_a_marker:
            print(out, text::kNotAMarker, static_cast<unsigned>(file[listing.offset]), offset);
            break;
        case Malformed::no_footer:
            print(out, text::kNoFooter, offset);
            break;
        case Malformed::cut_in_footer:
            print(out, text::kCutInFooter, offset);
            break;
        case Malformed::footer_not_zero:
            print(out, text::kFooterNotZero, offset);
            break;
        case Malformed::after_footer:
            print(out, text::kAfterFooter, count, text::plural(count), offset);
            break;
    }
}

// Prints the blocks and execution address of `listing`, read from the
// Thomson binary `contents`, or where it goes wrong; returns whether it is whole.
bool print_listing(std::FILE* out, const Listing& listing, std::span<const std::uint8_t> contents) {
    for (std::size_t i = 0; i < listing.blocks.size(); ++i) {
        print_block(out, static_cast<int>(i) + 1, listing.blocks[i]);
    }
    if (listing.fault != Malformed::none) {
        print_fault(out, listing, contents);
        return false;
    }
    print(out, text::kListExec, listing.exec_address);
    return true;
}

// Opens the disk image or tape `path`, shown as `path_shown`, only for
// reading, after putting the directory's form of `name` (none: nothing
// wanted) in `wanted`; a name that cannot be one, or a file that does not
// open, ends the run, with the status returned.
std::optional<int> open_listed(const char* path, const std::string& path_shown, const char* name,
                               std::optional<std::array<char, disk::kNameSize>>& wanted,
                               platform::Handle& file, const Console& console) {
    if (name != nullptr) {
        wanted = disk::disk_name(name);
        if (!wanted) {
            print(console.out, text::kBadDiskName, shown(console.out_terminal, name).c_str());
            return console.end(kExitUsage);
        }
    }
    return open_input(path, path_shown, file, console, true);
}

// Prints the line of the file `name` of `type` and `format` holding
// `bytes`, on a disk or a tape; for a binary, its blocks too. The disk or
// tape is whole whatever one file holds: a machine-code file that is not a
// whole binary is a warning, and the listing goes on; listed alone, the
// file tells what is wrong.
void print_file(const Console& console, const std::array<char, disk::kNameSize>& name,
                std::uint8_t type, std::uint8_t format, std::span<const std::uint8_t> bytes) {
    constexpr char kTypes[] = "BDMA";
    print(console.out, text::kDiskFile, disk::shown_name(name).c_str(),
          type < 4 ? kTypes[type] : '?', format == 0x00 ? 'B' : format == 0xFF ? 'A' : '?',
          static_cast<int>(bytes.size()), text::plural(static_cast<long>(bytes.size())));
    if (type != disk::kTypeMachineCode || format != disk::kFormatBinary) {
        return;
    }
    const Listing listing = read_binary(bytes);
    if (listing.fault == Malformed::none) {
        print_listing(console.out, listing, bytes);
    } else {
        console.flush();
        print(stderr, text::kNotABinary, disk::shown_name(name).c_str());
    }
}

// Lists the programs of the MO5 tape at `path`, opened only for reading;
// or, with `name`, the blocks of that one.
int list_tape(const char* path, const char* name, const Console& console) {
    std::FILE* const out = console.out;
    const std::string path_shown = shown(console.out_terminal, path);
    std::optional<std::array<char, disk::kNameSize>> wanted;
    platform::Handle file = platform::kNoHandle;
    if (auto status = open_listed(path, path_shown, name, wanted, file, console)) {
        return *status;
    }
    print(out, text::kTapeEcho, path_shown.c_str());
    Buffer buffer(nullptr, &std::free);
    std::size_t size = 0;
    if (auto status = read_input(file, path_shown, tape::kMaxTapeSize + 1, 0,
                                 tape::kMaxTapeSize + 1, buffer, size, console)) {
        return *status;
    }
    std::vector<tape::Program> programs;
    const tape::TapeFault fault = tape::read_tape({buffer.get(), size}, programs);
    if (fault.problem != tape::TapeProblem::none) {
        print_tape_fault(out, path_shown, fault);
        return console.end(kExitFailure);
    }
    for (const tape::Program& one : programs) {
        if (wanted && one.name == *wanted) {
            print(out, text::kTapeNameEcho, disk::shown_name(one.name).c_str());
            return console.end(print_listing(out, read_binary(one.data), one.data) ? kExitSuccess
                                                                                   : kExitFailure);
        }
        if (!wanted) {
            print_file(console, one.name, one.type, one.format, one.data);
        }
    }
    if (wanted) {
        print(out, text::kNoSuchFile, disk::shown_name(*wanted).c_str(), path_shown.c_str());
        return console.end(kExitFailure);
    }
    print(out, text::kTapeTotal, static_cast<int>(programs.size()));
    return console.end(kExitSuccess);
}

// Lists the files of face `face_text` (none: 0) of the disk image at
// `path`, opened only for reading; or, with `name`, the blocks of that one.
int list_disk(const char* path, const char* face_text, const char* name, const Console& console) {
    std::FILE* const out = console.out;
    const std::string path_shown = shown(console.out_terminal, path);
    std::optional<std::array<char, disk::kNameSize>> wanted;
    platform::Handle file = platform::kNoHandle;
    if (auto status = open_listed(path, path_shown, name, wanted, file, console)) {
        return *status;
    }
    print(out, text::kImageEcho, path_shown.c_str());
    int side = 0;
    if (auto status = check_face(path, face_text, side, console)) {
        return *status;
    }
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
                  : disk::read_image(disk::container_of(path), {buffer.get(), size}, face, files,
                                     side);
    if (fault.problem != disk::ImageProblem::none) {
        print_image_fault(out, path_shown, fault);
        return console.end(kExitFailure);
    }
    if (wanted) {
        for (const disk::File& one : files) {
            if (one.name == *wanted) {
                print(out, text::kDiskNameEcho, disk::shown_name(one.name).c_str());
                const std::vector<std::uint8_t> bytes = disk::file_bytes(face, one);
                return console.end(print_listing(out, read_binary(bytes), bytes) ? kExitSuccess
                                                                                 : kExitFailure);
            }
        }
        print(out, text::kNoSuchFile, disk::shown_name(*wanted).c_str(), path_shown.c_str());
        return console.end(kExitFailure);
    }
    for (const disk::File& one : files) {
        print_file(console, one.name, one.type, one.format, disk::file_bytes(face, one));
    }
    const std::size_t free = disk::free_blocks(face);
    print(out, text::kDiskFree, static_cast<int>(files.size()), static_cast<int>(free),
          static_cast<int>(free * disk::kBlockBytes));
    return console.end(kExitSuccess);
}

}  // namespace

int list(const char* path, const char* face_text, const char* name, const Console& console) {
    std::FILE* const out = console.out;
    if (path == nullptr) {
        return console.usage(text::kListWithoutFile);
    }
    if (disk::container_of(path) != disk::Container::unknown) {
        return list_disk(path, face_text, name, console);
    }
    int side = 0;
    if (auto status = check_face(path, face_text, side, console)) {
        return *status;
    }
    if (tape::is_tape(path)) {
        return list_tape(path, name, console);
    }
    const std::string path_shown = shown(console.out_terminal, path);
    platform::Handle file = platform::kNoHandle;
    if (auto status = open_input(path, path_shown, file, console, true)) {
        return *status;
    }
    print(out, text::kListFile, path_shown.c_str());
    Buffer buffer(nullptr, &std::free);
    std::size_t size = 0;
    if (auto status = read_input(file, path_shown, kMaxBinarySize, 0, kMaxBinarySize, buffer, size,
                                 console)) {
        return *status;
    }
    const std::span<const std::uint8_t> contents{buffer.get(), size};
    return console.end(print_listing(out, read_binary(contents), contents) ? kExitSuccess
                                                                           : kExitFailure);
}

}  // namespace vork
