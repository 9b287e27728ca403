#include "target.h"

#include "platform.h"

namespace vork {

namespace {

using platform::Step;

// Puts `image` into the opened `target` by the safest way it allows.
TargetWrite put_image(platform::Target& target, std::span<const std::uint8_t> image) {
    if (!target.regular) {
        return platform::write_through(target, image) ? TargetWrite::ok : TargetWrite::failed;
    }
    Step step = Step::refused;  // where the file lies is unknown: only in place is left
    if (!target.final_path.empty()) {
        platform::PendingFile pending(target.final_path);
        step = pending.created();
        if (step == Step::done) {
            step = pending.carry_over(target);
        }
        if (step == Step::done) {
            step = pending.write(image) ? pending.commit(target) : Step::failed;
        }
    }
    switch (step) {
        case Step::done:
            return TargetWrite::ok;
        case Step::refused:
            return platform::write_in_place(target, image) ? TargetWrite::ok : TargetWrite::failed;
        case Step::failed:
            break;
    }
    return TargetWrite::failed;
}

}  // namespace

TargetWrite write_target(const char* path, std::span<const std::uint8_t> image) {
    platform::Target target;
    if (!platform::open_target(path, target)) {
        return TargetWrite::not_opened;
    }
    const TargetWrite outcome = put_image(target, image);
    platform::close_target(target, outcome == TargetWrite::ok);
    return outcome;
}

}  // namespace vork
