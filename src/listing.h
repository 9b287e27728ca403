// vork --list: reads a Thomson binary's blocks, or a disk image's files,
// and tells them, or what is wrong.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "console.h"
#include "disk_image.h"
#include "tape.h"

namespace vork {

// Lists the blocks and the execution address of the Thomson binary at
// `path` (none given: a usage error), opened only for reading and read up to
// the largest size a binary can have; for a disk image (.fd, .sap), the
// files of face `face_text` (none: face 0), or with `name` the blocks of
// that one. Returns the exit status.
int list(const char* path, const char* face_text, const char* name, const Console& console);

// Echoes the face `text` asked of the image `path` (none asked: face 0,
// not echoed) and puts its number in `side`; a face other than 0 or 1, or
// face 1 of anything but a .fd, ends the run with the status returned.
std::optional<int> check_face(const char* path, const char* text, int& side,
                              const Console& console);

// Prints what is wrong with the tape shown as `shown`.
void print_tape_fault(std::FILE* out, const std::string& shown, const tape::TapeFault& fault);

// Prints what is wrong with the disk image shown as `shown`.
void print_image_fault(std::FILE* out, const std::string& shown, const disk::ImageFault& fault);

}  // namespace vork
