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
    // Where it lies is unknown, it has a second name, or its folder keeps
    // every name: only in place is left, and trying a new file first could
    // only fail or leave it behind.
    Step step = Step::refused;
    if (target.replaceable) {
        platform::PendingFile pending(target);
        step = pending.created();
        if (step == Step::done) {
            step = pending.carry_over();
        }
        if (step == Step::done) {
            // A new file that could not be written says nothing of the target:
            // the disk is full, or the file-size limit reached, for both.
            step = pending.write(image) ? pending.commit() : Step::failed;
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

TargetOutcome write_target(const char* path, std::span<const std::uint8_t> image) {
    platform::Target target;
    if (!platform::open_target(path, target)) {
        return {TargetWrite::not_opened, {}};
    }
    const TargetWrite write = put_image(target, image);
    platform::close_target(target, write == TargetWrite::ok);
    return {write, std::move(target.leftover)};
}

}  // namespace vork
