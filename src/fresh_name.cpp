#include "fresh_name.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <random>

namespace vork {

namespace {
std::uint64_t seed = 0;
}  // namespace

void seed_fresh_names(std::uint64_t chosen) { seed = chosen; }

std::string fresh_name() {
    // Lower case only: a folder that ignores case must not see two names as one.
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    if (seed == 0) {
        // The system's random source, the clocks and where the stack lies,
        // which differs from run to run. (Under mingw both clocks read the
        // same, and their XOR alone would be 0.)
        std::uint64_t random = 0;
        try {
            std::random_device device;
            random = (static_cast<std::uint64_t>(device()) << 32) ^ device();
        } catch (const std::exception&) {
            // none to be had: the clocks must do
        }
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count() * 3 +
                         std::chrono::system_clock::now().time_since_epoch().count();
        seed = (random ^ static_cast<std::uint64_t>(now) ^
                reinterpret_cast<std::uintptr_t>(&now) << 16) | 1;
    }
    std::string name = ".vork-";
    for (int i = 0; i < 6; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        name += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
    }
    return name;
}

}  // namespace vork
