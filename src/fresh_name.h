// Names for the files a run makes beside the target.
#pragma once

#include <string>

namespace vork {

// A name no other file in the folder is likely to have: `.vork-` and six
// letters or digits, another at each call.
std::string fresh_name();

}  // namespace vork
