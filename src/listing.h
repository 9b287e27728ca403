// vork --list: reads a Thomson binary's blocks, or a disk image's files,
// and tells them, or what is wrong.
#pragma once

#include "console.h"

namespace vork {

// Lists the blocks and the execution address of the Thomson binary at
// `path` (none given: a usage error), opened only for reading and read up to
// the largest size a binary can have; for a disk image, the files of face
// `face_text` (none: face 0), for an MO5 tape its programs, or with `name`
// the blocks of that one. Returns the exit status.
int list(const char* path, const char* face_text, const char* name, const Console& console);

}  // namespace vork
