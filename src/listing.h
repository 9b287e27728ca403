// vork --list: reads a Thomson binary's blocks and tells them, or what is wrong.
#pragma once

#include "console.h"

namespace vork {

// Lists the blocks and the execution address of the Thomson binary at
// `path` (none given: a usage error), opened only for reading and read up to
// the largest size a binary can have; returns the exit status.
int list(const char* path, const Console& console);

}  // namespace vork
