// Exit statuses of vork, so that scripts and Makefiles can tell the outcomes apart.
#pragma once

namespace vork {

// The image was written and the report shown, or the documentation was asked for.
inline constexpr int kExitSuccess = 0;
// No image could be produced (source, target or memory failed), or the
// report could not be written to standard output.
inline constexpr int kExitFailure = 1;
// The command line is wrong: missing arguments or a bad address digit.
inline constexpr int kExitUsage = 2;

}  // namespace vork
