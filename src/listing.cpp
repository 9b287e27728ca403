#include "listing.h"

#include <span>

#include "documentation.h"
#include "exit_status.h"
#include "image.h"
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
              static_cast<unsigned>(block.load + block.size - 1), static_cast<int>(block.size));
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
            print(out, text::kCutInBlock, end, block, offset, end + count - 1, count);
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
            print(out, text::kAfterFooter, count, offset);
            break;
    }
}

}  // namespace

int list(const char* path, const Console& console) {
    std::FILE* const out = console.out;
    if (path == nullptr) {
        show_documentation(out);
        console.flush();
        platform::write_text(stderr, text::kListWithoutFile);
        return console.end(kExitUsage);
    }
    const std::string path_shown = shown(console.out_terminal, path);
    platform::Handle file = platform::kNoHandle;
    if (auto status = open_input(path, path_shown, file, console)) {
        return *status;
    }
    print(out, text::kListFile, path_shown.c_str());
    Buffer buffer(nullptr, &std::free);
    std::size_t size = 0;
    if (auto status = read_input(file, path_shown, kMaxBinarySize, 0, kMaxBinarySize, buffer, size,
                                 console)) {
        return *status;
    }
    const std::span contents{buffer.get(), size};
    const Listing listing = read_binary(contents);
    for (std::size_t i = 0; i < listing.blocks.size(); ++i) {
        print_block(out, static_cast<int>(i) + 1, listing.blocks[i]);
    }
    if (listing.fault != Malformed::none) {
        print_fault(out, listing, contents);
        return console.end(kExitFailure);
    }
    print(out, text::kListExec, listing.exec_address);
    return console.end(kExitSuccess);
}

}  // namespace vork
