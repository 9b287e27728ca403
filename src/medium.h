// A disk image or tape named on the command line, as --onto puts on it and
// --list reads it: the face asked of it, and what the report says is wrong
// with it.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "console.h"
#include "disk_image.h"
#include "tape.h"

namespace vork {

// Echoes the face `text` asked of the image `path` (none asked: face 0,
// not echoed) and puts its number in `side`; a face the kind of image does
// not have (.fd and .hfe two, .sd four, the others one) ends the run with
// the status returned.
std::optional<int> check_face(const char* path, const char* text, int& side,
                              const Console& console);

// Prints what is wrong with the tape shown as `shown`.
void print_tape_fault(std::FILE* out, const std::string& shown, const tape::TapeFault& fault);

// Prints what is wrong with the disk image shown as `shown`.
void print_image_fault(std::FILE* out, const std::string& shown, const disk::ImageFault& fault);

}  // namespace vork
