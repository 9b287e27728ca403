#include "onto.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "disk_image.h"
#include "exit_status.h"
#include "medium.h"
#include "platform.h"
#include "tape.h"
#include "target.h"
#include "texts.h"

namespace vork {

namespace {

// The blocks a file of `size` bytes takes, as the report counts them.
int block_count(std::size_t size) { return static_cast<int>(disk::blocks_for(size)); }

// The date SOURCE_DATE_EPOCH asks the directory to stamp, in UTC; none
// without it, so that builds are reproducible.
disk::Date source_date() {
    const char* const epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0') {
        return {};
    }
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (*end != '\0' || errno != 0 || seconds < 0) {
        return {};
    }
    // The civil date of a day counted from 1970-01-01, in the proleptic
    // Gregorian calendar, by eras of 400 years from 0000-03-01; worked out
    // here rather than by gmtime(), which brings the whole time-zone machinery
    // into the static program.
    const long long days = seconds / 86400 + 719468;
    const long long era = days / 146097;
    const long long of_era = days - era * 146097;
    const long long year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    const long long of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long shifted_month = (5 * of_year + 2) / 153;  // from March
    const long long day = of_year - (153 * shifted_month + 2) / 5 + 1;
    const long long month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    return {static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(month),
            static_cast<std::uint8_t>(year % 100)};
}

// What the report says of a write to the image that failed: as the
// conversion says it of the target.
const char* failure_text(const TargetOutcome& outcome) {
    if (outcome.write == TargetWrite::not_opened) {
        return text::kNotOpened;
    }
    return image_at_path(outcome.failure) ? text::kNotSynced : text::kUnwritable;
}

// Tells why the image or tape shown as `path_shown` was not written, for
// an outcome other than written or refused; returns the status.
int tell_unwritten(const TargetOutcome& outcome, const std::string& path_shown,
                   const Console& console) {
    if (outcome.write == TargetWrite::not_regular) {
        print(console.out, text::kNotRegular, path_shown.c_str());
        return kExitFailure;
    }
    print(console.out,
          outcome.write == TargetWrite::unreadable ? text::kUnreadable : failure_text(outcome),
          path_shown.c_str());
    console.cause(outcome.failure);
    return kExitFailure;
}

// Puts `binary` on the MO5 tape `path` as the program `name`, every other
// program kept where it is, and tells how it went; returns the status.
int put_on_tape(const char* path, const std::array<char, disk::kNameSize>& name,
                std::span<const std::uint8_t> binary, const Console& console) {
    std::FILE* const out = console.out;
    const std::string path_shown = shown(console.out_terminal, path);
    tape::TapeFault fault;
    bool replaced = false;
    std::size_t place = 0;
    std::size_t count = 0;  // programs on the tape once written
    const TargetOutcome outcome = update_target(
        path, tape::kMaxTapeSize,
        [&](std::span<const std::uint8_t> contents, std::vector<std::uint8_t>& image) {
            std::vector<tape::Program> programs;
            fault = tape::read_tape(contents, programs);
            if (fault.problem != tape::TapeProblem::none) {
                return false;
            }
            image = tape::put_program(contents, programs, name, binary, place, replaced);
            count = programs.size() + (replaced ? 0 : 1);
            return true;
        });
    if (!outcome.leftover.empty()) {
        print(stderr, text::kLeftover, shown_on_stderr(outcome.leftover.c_str()).c_str());
    }
    const int blocks = static_cast<int>(tape::tape_blocks(binary.size()));
    switch (outcome.write) {
        case TargetWrite::ok:
            if (count == 1) {
                print(out, text::kTapeWritten, disk::shown_name(name).c_str(), path_shown.c_str(),
                      blocks);
            } else {
                print(out, replaced ? text::kTapeReplaced : text::kTapeAdded,
                      disk::shown_name(name).c_str(), path_shown.c_str(), blocks,
                      static_cast<int>(place) + 1, static_cast<int>(count));
            }
            return kExitSuccess;
        case TargetWrite::refused:
            print_tape_fault(out, path_shown, fault);
            if (outcome.untouched) {
                print(out, text::kTapeUntouched, path_shown.c_str());
            }
            return kExitFailure;
        default:
            return tell_unwritten(outcome, path_shown, console);
    }
}

// Writes the sound `path` of an MO5 tape holding `binary` as the program
// `name`, replaced whole as TARGET is, and tells how it went; returns the status.
int put_in_sound(const char* path, const std::array<char, disk::kNameSize>& name,
                 std::span<const std::uint8_t> binary, const Console& console) {
    const std::string path_shown = shown(console.out_terminal, path);
    const std::vector<std::uint8_t> sound = tape::mo5_sound(tape::mo5_tape(name, binary));
    const TargetOutcome outcome = write_target(path, sound);
    if (!outcome.leftover.empty()) {
        print(stderr, text::kLeftover, shown_on_stderr(outcome.leftover.c_str()).c_str());
    }
    if (outcome.write == TargetWrite::ok) {
        // 44 bytes of header, then 2 bytes a sample.
        print(console.out, text::kSoundWritten, disk::shown_name(name).c_str(), path_shown.c_str(),
              static_cast<int>(tape::tape_blocks(binary.size())),
              static_cast<int>(((sound.size() - 44) / 2 + 11050) / 22100));
        return kExitSuccess;
    }
    print(console.out, failure_text(outcome), path_shown.c_str());
    console.cause(outcome.failure);
    return kExitFailure;
}

}  // namespace

std::optional<int> check_onto(const char* image, const char* face_text, const char* target,
                              int& side, std::array<char, disk::kNameSize>& name,
                              const Console& console) {
    const bool tape = tape::is_tape(image);
    print(console.out, tape ? text::kTapeEcho : text::kImageEcho,
          shown(console.out_terminal, image).c_str());
    if (disk::container_of(image) == disk::Container::unknown && !tape) {
        print(console.out, text::kNotAnImage, shown(console.out_terminal, image).c_str());
        return console.end(kExitUsage);
    }
    if (auto status = check_face(image, face_text, side, console)) {
        return status;
    }
    // TARGET is written first: named as an image, it could be the image itself.
    if (disk::container_of(target) != disk::Container::unknown || tape::is_tape(target)) {
        print(console.out, text::kTargetLikeImage, shown(console.out_terminal, target).c_str());
        return console.end(kExitUsage);
    }
    // Nor may it be the image under another name (a link, any path to it).
    if (platform::same_file(target, image)) {
        print(console.out, text::kTargetIsImage, shown(console.out_terminal, target).c_str(),
              shown(console.out_terminal, image).c_str());
        return console.end(kExitUsage);
    }
    const std::string base(platform::base_name(target));
    const auto fits = disk::disk_name(base);
    if (!fits) {
        print(console.out, text::kBadDiskName, shown(console.out_terminal, base.c_str()).c_str());
        return console.end(kExitUsage);
    }
    name = *fits;
    print(console.out, tape ? text::kTapeNameEcho : text::kDiskNameEcho,
          disk::shown_name(name).c_str());
    return std::nullopt;
}

int put_on_disk(const char* path, int side, const std::array<char, disk::kNameSize>& name,
                std::span<const std::uint8_t> binary, const Console& console) {
    const std::string path_shown = shown(console.out_terminal, path);
    const std::string name_shown = disk::shown_name(name);
    if (tape::is_sound(path)) {
        return put_in_sound(path, name, binary, console);
    }
    if (tape::is_tape(path)) {
        return put_on_tape(path, name, binary, console);
    }
    const disk::Container container = disk::container_of(path);
    const disk::Date date = source_date();
    disk::ImageFault fault;
    disk::Put put = disk::Put::added;
    std::size_t room = 0;  // free blocks, those of the file replaced included
    std::size_t left = 0;  // free blocks once the file is there
    const TargetOutcome outcome = update_target(
        path, disk::largest_image(container),
        [&](std::span<const std::uint8_t> contents, std::vector<std::uint8_t>& image) {
            std::vector<std::uint8_t> face;
            std::vector<std::uint8_t> decoded;
            std::vector<disk::File> files;
            fault = disk::read_image(container, contents, face, files, side, &decoded);
            if (fault.problem != disk::ImageProblem::none) {
                return false;
            }
            room = disk::free_blocks(face);
            for (const disk::File& file : files) {
                room += file.name == name ? file.chain.size() : 0;
            }
            put = disk::put_file(face, name, binary, date);
            if (put == disk::Put::no_room || put == disk::Put::no_entry) {
                return false;
            }
            left = disk::free_blocks(face);
            image = disk::write_image(container, contents, face, side, &decoded);
            return true;
        });
    std::FILE* const out = console.out;
    if (!outcome.leftover.empty()) {
        print(stderr, text::kLeftover, shown_on_stderr(outcome.leftover.c_str()).c_str());
    }
    switch (outcome.write) {
        case TargetWrite::ok:
            print(out, put == disk::Put::replaced ? text::kDiskReplaced : text::kDiskAdded,
                  name_shown.c_str(), path_shown.c_str(), block_count(binary.size()),
                  text::plural(block_count(binary.size())), static_cast<int>(left),
                  text::plural(static_cast<long>(left)));
            return kExitSuccess;
        case TargetWrite::refused:
            if (fault.problem != disk::ImageProblem::none) {
                print_image_fault(out, path_shown, fault);
            } else if (put == disk::Put::no_room) {
                print(out, text::kNoRoom, path_shown.c_str(), static_cast<int>(room),
                      block_count(binary.size()));
            } else {
                print(out, text::kDirectoryFull, path_shown.c_str(),
                      static_cast<int>(disk::kDirectoryEntries));
            }
            if (outcome.untouched) {
                print(out, text::kUntouched, path_shown.c_str());
            }
            return kExitFailure;
        default:
            return tell_unwritten(outcome, path_shown, console);
    }
}

}  // namespace vork
