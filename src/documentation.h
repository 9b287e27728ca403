// The usage screen that vork shows on request and after most failures.
#pragma once

#include <cstdio>

namespace vork {

// Prints the documentation screen to `out`; never waits for input.
void show_documentation(std::FILE* out);

}  // namespace vork
