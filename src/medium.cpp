#include "medium.h"

#include "exit_status.h"
#include "texts.h"

namespace vork {

void print_tape_fault(std::FILE* out, const std::string& shown, const tape::TapeFault& fault) {
    if (fault.problem == tape::TapeProblem::size) {
        print(out, text::kTapeTooLarge, shown.c_str(), static_cast<int>(tape::kMaxTapeSize));
        return;
    }
    print(out, text::kTapeFault, shown.c_str(), static_cast<int>(fault.offset),
          text::tape_problem_text(fault));
}

void print_image_fault(std::FILE* out, const std::string& shown, const disk::ImageFault& fault) {
    if (fault.problem == disk::ImageProblem::size) {
        print(out, text::kImageWrongSize, shown.c_str(), static_cast<int>(fault.offset),
              text::plural(static_cast<long>(fault.offset)));
        return;
    }
    if (fault.problem == disk::ImageProblem::one_face) {
        print(out, text::kOneFace, shown.c_str(), static_cast<int>(fault.offset));
        return;
    }
    if (fault.at_sector) {
        print(out, text::kSectorFault, shown.c_str(), fault.track, fault.side, fault.sector,
              text::image_problem_text(fault));
        return;
    }
    print(out, text::kImageFault, shown.c_str(), static_cast<int>(fault.offset),
          text::image_problem_text(fault));
}

std::optional<int> check_face(const char* path, const char* text, int& side,
                              const Console& console) {
    side = 0;
    if (text == nullptr) {
        return std::nullopt;
    }
    print(console.out, text::kFaceEcho, shown(console.out_terminal, text).c_str());
    const std::optional<int> number = disk::face_number(text);
    if (!number) {
        print(console.out,
              disk::container_of(path) == disk::Container::sd ? text::kBadSdFace : text::kBadFace,
              shown(console.out_terminal, text).c_str());
        return console.end(kExitUsage);
    }
    const int faces = disk::faces_of(disk::container_of(path));
    if (*number != 0 && faces == 1) {
        print(console.out, text::kFaceOnlyOnFd, shown(console.out_terminal, path).c_str());
        return console.end(kExitUsage);
    }
    if (*number >= faces) {
        print(console.out, text::kBadFace, shown(console.out_terminal, text).c_str());
        return console.end(kExitUsage);
    }
    side = *number;
    return std::nullopt;
}

}  // namespace vork
