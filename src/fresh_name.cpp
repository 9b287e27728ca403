#include "fresh_name.h"

#include <chrono>
#include <cstdint>

namespace vork {

namespace {
std::uint64_t seed = 0;
}  // namespace

void seed_fresh_names(std::uint64_t chosen) { seed = chosen; }

std::string fresh_name() {
    // Lower case only: a folder that ignores case must not see two names as one.
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    if (seed == 0) {
        // The clock, and where the stack lies, which differs from run to run.
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count() ^
                         std::chrono::system_clock::now().time_since_epoch().count();
        seed = (static_cast<std::uint64_t>(now) ^ reinterpret_cast<std::uintptr_t>(&now) << 16) | 1;
    }
    std::string name = ".vork-";
    for (int i = 0; i < 6; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        name += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
    }
    return name;
}

}  // namespace vork
