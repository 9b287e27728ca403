// Names for the files a run makes beside the target.
#pragma once

#include <cstdint>
#include <string>

namespace vork {

// A name no other file in the folder is likely to have: `.vork-` and six
// letters or digits, another at each call.
std::string fresh_name();

// For tests: makes the names that follow the same at each call with one `seed`.
void seed_fresh_names(std::uint64_t seed);

}  // namespace vork
