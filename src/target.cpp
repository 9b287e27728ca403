// The target's policy: the order of every step that puts the image at the
// path, written once for every system. Below it, platform.h's calls each do
// one thing; above it, the run tells the user what came of it.
//
// A regular file is replaced when a new file can take its place with all it
// had: the image goes to a new file beside it, which is synced, named, moved
// over the target's name (the last writer wins, as with two `mv`), and
// synced again with its folder, so that status 0 outlives a power cut. When
// the target cannot be replaced (another name holds it, its folder is
// unknown or keeps every name made in it, or the system refuses a step for a
// reason the target itself gets around), it is written in place: locked,
// room reserved, checked to still be at its name, written, cut, synced and
// checked again. A device or pipe is written through. A target this run
// created goes again on failure. A file rewritten from its own contents (a
// disk image) is read and written under one lock.
#include "target.h"

#include <algorithm>

#include "fresh_name.h"
#include "platform.h"

namespace vork {

namespace {

using platform::InterruptsHeld;
using platform::NewFilePtr;
using platform::FileState;
using platform::Target;
using platform::TargetFacts;

// The step of a failure to open the target again after a refused move:
// there is no file left to write in place.
constexpr char kNotReopened[] = "reopen";

// How many times a file another program keeps changing is read and rebuilt
// again before the run gives up.
constexpr int kRereads = 8;

// Whether a replacement that failed for `reason` leaves writing the target
// in place worth trying: the reason concerns the new file or the folder,
// not the target itself.
bool in_place_instead(Reason reason) {
    switch (reason) {
        case Reason::permission:      // a folder the user may not write to; another's file
        case Reason::read_only:
        case Reason::not_found:       // the new file removed by someone else
        case Reason::not_a_folder:
        case Reason::name_too_long:   // the new file's name is one too long
        case Reason::in_use:          // a file mounted over; another program holds the target
        case Reason::locked:
        case Reason::other_device:
        case Reason::disk_full:       // no room, or no inode, for a second copy
        case Reason::quota:
        case Reason::too_many_files:  // no descriptor left for it
        case Reason::too_many_links:
        case Reason::unsupported:     // a file system that cannot carry what the target has
        case Reason::exists:          // no fresh name to be had
            return true;
        default:
            return false;
    }
}

// Calls `make` with one fresh name after another until one is free.
template <typename Make>
Result with_fresh_name(Make make) {
    Result failure;
    for (int attempt = 0; attempt < 100; ++attempt) {
        failure = make(fresh_name());
        if (!failure || failure->reason != Reason::exists) {
            break;
        }
    }
    return failure;
}

// What update_target() read: the file's state then, and its bytes (all of
// them, unless there were more than `most`).
struct AsRead {
    FileState state;
    const char* path;
    std::span<const std::uint8_t> contents;
    std::size_t most;
};

// Whether the file `path` leads to holds `contents`, byte for byte (and,
// when they are more than `most`, begins with them).
Result same_bytes(const char* path, std::span<const std::uint8_t> contents, std::size_t most) {
    platform::Handle file = platform::kNoHandle;
    if (auto failure = platform::open_for_reading(path, file)) {
        return failure->reason == Reason::not_found ? Failure{Reason::changed, 0, "bytes"}
                                                    : failure;
    }
    const bool whole = contents.size() <= most;
    std::uint8_t chunk[16384];
    std::size_t at = 0;
    std::size_t got = 0;
    Result failure;
    do {
        failure = platform::read_some(file, chunk, got);
        const std::size_t compared = std::min(got, contents.size() - at);
        if (!failure && ((whole && got > compared) ||
                         !std::equal(chunk, chunk + compared, contents.begin() + at))) {
            failure = Failure{Reason::changed, 0, "bytes"};
        }
        at += compared;
    } while (!failure && got != 0 && (whole || at < contents.size()));
    platform::close(file);
    return failure || at == contents.size() ? failure : Failure{Reason::changed, 0, "bytes"};
}

// Whether the target's name still holds the file read as `read`, as it was
// then: the same file, size and change time, and, since FAT gives a file
// the place of its entry for identity and its times to two seconds, the
// same bytes; nothing to check without one.
Result still_as_read(Target& target, const AsRead* read) {
    if (read == nullptr) {
        return {};
    }
    FileState now;
    if (auto failure = platform::state_at_name(target, now)) {
        return failure->reason == Reason::moved ? Failure{Reason::changed, 0, "state at name"}
                                                : failure;
    }
    if (now != read->state) {
        return Failure{Reason::changed, 0, "state at name"};
    }
    return same_bytes(read->path, read->contents, read->most);
}

// Writes `image` over the target's own file. Every step that can be refused
// comes before the first byte changes; past that, a failure or a power cut
// can leave the file neither old nor new, which the run then tells.
Result write_in_place(Target& target, std::span<const std::uint8_t> image, const AsRead* read) {
    const std::uint64_t size = image.size();
    std::uint64_t old_size = 0;
    // Another run writing in place waits, so the file ends as one whole
    // image; a full disk or the file-size limit shows before anything
    // changes; and a file that lost its name, or that another program
    // changed since it was read, is never written.
    if (auto failure = platform::lock(target)) {
        return failure;
    }
    if (auto failure = still_as_read(target, read)) {
        return failure;
    }
    if (auto failure = platform::reserve(target, size)) {
        return failure;
    }
    if (auto failure = platform::still_at_name(target)) {
        return failure;
    }
    if (auto failure = platform::size_of(target, old_size)) {
        return failure;
    }
    {
        // An interrupt waits until the file holds the whole image, not half of each.
        InterruptsHeld held;
        // A longer old file is cut first, since the cut can still be refused
        // (another program maps the file) when nothing has changed yet; and
        // only then, as some file systems refuse a cut that does not shrink.
        if (old_size > size) {
            if (auto failure = platform::cut(target, size)) {
                return failure;
            }
        }
        if (auto failure = platform::write_at(target, image, 0)) {
            return failure;
        }
    }
    if (auto failure = platform::sync(target)) {
        return failure;
    }
    // Some file systems acknowledge a cut and keep the old tail.
    std::uint64_t new_size = 0;
    if (auto failure = platform::size_of(target, new_size)) {
        return failure;
    }
    if (new_size != size) {
        return Failure{Reason::size_kept, 0, "size"};
    }
    // Removed meanwhile, it holds the image where nobody will read it.
    return platform::still_at_name(target);
}

// Puts a new file holding `image` in the target's place. A failure leaves
// the target as it was, open (reopened after a refused move), and nothing
// beside it but `leftover`; except a failure whose step is kAfterTheMove.
// Once the new file is ready, a target read as `read` must still be at its
// name as it was then, else the move is given up (Reason::changed).
Result replace(Target& target, const TargetFacts& facts, std::span<const std::uint8_t> image,
               const AsRead* read, std::string& leftover) {
    NewFilePtr file;
    if (auto failure = with_fresh_name([&](const std::string& fresh) {
            return platform::make_new_file(target, fresh, file);
        })) {
        return failure;
    }
    Result failure = platform::carry_metadata(target, *file);
    if (!failure) {
        failure = platform::write_new(*file, image);
    }
    // Synced before it has a name, so that on ext4 and xfs no name ever
    // shows half a file, whenever the journal commits it.
    if (!failure) {
        failure = platform::sync_new(*file);
    }
    if (failure) {
        InterruptsHeld held;
        platform::drop_new_file(target, *file, leftover);
        return failure;
    }
    {
        // From its name to its place: an interrupt waits, so no handler need
        // know of a name that lives this short.
        InterruptsHeld held;
        failure = with_fresh_name([&](const std::string& fresh) {
            return platform::name_new_file(target, *file, fresh);
        });
        // The target's own file goes first, its lock with it, unless that
        // lock lasts through the move: a run waiting on it then finds and
        // reads the new file at the name. Where its handle would stand in the
        // way, a file this run created vanishes with it and leaves the name
        // free; elsewhere an old file still open when replaced is freed
        // later, through the journal's list of orphans, which costs a
        // twentieth of a run. Once the lock is gone, the check made right
        // before the move alone keeps another run's or program's disk from
        // being lost; between the check and the rename itself another
        // program's change can still slip in.
        if (!failure && !(facts.lock_held_through_move && platform::holds_lock(target))) {
            platform::let_go(target);
        }
        if (!failure) {
            failure = still_as_read(target, read);
        }
        // A move another program holds up is waited for, unless the target
        // was read to be rebuilt: that program may be another run that read
        // the old file, which this move would go over; it is written in
        // place instead, under the lock, after the same check.
        if (!failure) {
            failure = platform::move_over(target, *file, read == nullptr);
        }
        if (failure) {
            platform::drop_new_file(target, *file, leftover);
        }
    }
    if (failure && failure->reason == Reason::changed) {
        return failure;  // to be read again, not written in place
    }
    if (failure) {
        // The target's own file was closed for the move: written in place,
        // if at all, only while its name still holds that very file; one
        // read to be rebuilt is read again from whatever the name holds now.
        if (auto moved = platform::reopen(target)) {
            if (read != nullptr && moved->reason == Reason::moved) {
                return Failure{Reason::changed, 0, kNotReopened};
            }
            moved->step = kNotReopened;
            return moved;
        }
        return failure;
    }
    // The rename lives in the file system's journal until its next commit,
    // and btrfs writes a file's data on a sync only while the file has a
    // name: synced again now that it has the target's, which takes the
    // rename to the disk with it on ext4 and xfs, then its folder, for the
    // file systems that log a name apart from the file. A name synced before
    // the move would be left beside the target by a power cut.
    failure = platform::sync_new(*file);
    if (!failure) {
        failure = platform::sync_folder(target);
        // A folder the user may not list, or a system that syncs none: the
        // file's own sync has done what can be done.
        if (failure && failure->reason == Reason::unsupported) {
            failure.reset();
        }
    }
    // A folder renamed or replaced meanwhile holds the image where the path
    // no longer leads.
    if (!failure) {
        failure = platform::folder_at_path(target);
    }
    if (failure) {
        failure->step = kAfterTheMove;
    }
    return failure;
}

// Puts `image` into the opened target by the safest way it allows; in
// place only, unless `replaceable`; only while it is as read as `read`.
Result put_image(Target& target, const TargetFacts& facts, std::span<const std::uint8_t> image,
                 const AsRead* read, std::string& leftover, bool replaceable) {
    if (!facts.regular) {
        return platform::write_at(target, image, platform::kAppend);
    }
    // A second name would keep the old contents; an unknown folder, or one
    // that keeps every name, would keep the new file's too.
    if (replaceable && facts.folder_lets_go && !facts.other_names) {
        Result failure = replace(target, facts, image, read, leftover);
        // Once the image has taken the target's place there is no old file
        // left to write in place.
        if (!failure || !in_place_instead(failure->reason) || failure->step == kAfterTheMove ||
            failure->step == kNotReopened) {
            return failure;
        }
    }
    return write_in_place(target, image, read);
}

// Puts `image` into the opened target, replaced only when `replaceable`;
// on failure, a target this run created goes again.
TargetOutcome put_or_undo(Target& target, const TargetFacts& facts,
                          std::span<const std::uint8_t> image, bool replaceable = true,
                          const AsRead* read = nullptr) {
    TargetOutcome outcome{TargetWrite::ok, {}, {}};
    if (auto failure = put_image(target, facts, image, read, outcome.leftover, replaceable)) {
        outcome.write = TargetWrite::failed;
        outcome.failure = *failure;
        // Never the empty file `make` would take as up to date.
        if (facts.created && failure->step != kAfterTheMove) {
            InterruptsHeld held;
            platform::remove_created(target, outcome.leftover);
        }
    }
    return outcome;
}

// Reads the whole target into `contents`, up to `most` bytes and one more,
// in a buffer the size `seen` the file had a moment before, and one more.
Result read_whole(Target& target, std::uint64_t seen, std::size_t most,
                  std::vector<std::uint8_t>& contents) {
    contents.resize(static_cast<std::size_t>(std::min<std::uint64_t>(seen, most)) + 1);
    std::size_t size = 0;
    std::size_t got = 0;
    do {
        // Grown since: read on, as far as the limit.
        if (size == contents.size()) {
            contents.resize(most + 1);
        }
        if (auto failure = platform::read_at(target, std::span{contents}.subspan(size), size, got)) {
            return failure;
        }
        size += got;
    } while (got != 0 && size < most + 1);
    contents.resize(size);
    return {};
}

}  // namespace

TargetOutcome write_target(const char* path, std::span<const std::uint8_t> image) {
    platform::TargetPtr target;
    TargetFacts facts;
    if (auto failure = platform::open_target(path, target, facts)) {
        return {TargetWrite::not_opened, *failure, {}};
    }
    return put_or_undo(*target, facts, image);
}

TargetOutcome update_target(const char* path, std::size_t most, const Rebuild& rebuild) {
    // Another run may replace the file while this one waits for its lock:
    // then the file at the name is read afresh.
    Failure moved{Reason::moved, 0, "lock"};
    int rereads = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        platform::TargetPtr target;
        TargetFacts facts;
        if (auto failure = platform::open_target(path, target, facts, true)) {
            return {TargetWrite::not_opened, *failure, {}};
        }
        if (!facts.regular) {
            return {TargetWrite::not_regular, {}, {}};
        }
        Result failure = platform::lock(*target);
        if (!failure) {
            failure = platform::still_at_name(*target);
            if (failure && failure->reason == Reason::moved) {
                moved = *failure;
                continue;
            }
        }
        // What the file is as it is read, to be found again at its name
        // just before the new image takes it.
        FileState state;
        if (!failure) {
            failure = platform::state_of(*target, state);
        }
        std::vector<std::uint8_t> contents;
        if (!failure) {
            failure = read_whole(*target, state.size, most, contents);
        }
        const AsRead read{state, path, contents, most};
        std::vector<std::uint8_t> image;
        const bool built = !failure && rebuild(contents, image);
        // A file this run made, which vanishes with its handle (Windows
        // marks it so), cannot be let go of before the move: in place.
        if (built) {
            TargetOutcome outcome = put_or_undo(*target, facts, image,
                                                facts.lock_held_through_move || !facts.created,
                                                &read);
            // Another program changed it meanwhile: its disk is read again.
            if (outcome.write == TargetWrite::failed && outcome.failure.reason == Reason::changed &&
                ++rereads < kRereads) {
                continue;
            }
            return outcome;
        }
        TargetOutcome outcome{TargetWrite::refused, {}, {}};
        if (failure) {
            outcome = {TargetWrite::unreadable, *failure, {}};
        }
        // Told only when found so: nothing this run did or another did since.
        outcome.untouched =
            !failure && !platform::folder_at_path(*target) && !still_as_read(*target, &read);
        if (facts.created) {
            InterruptsHeld held;
            platform::remove_created(*target, outcome.leftover);
        }
        return outcome;
    }
    return {TargetWrite::not_opened, moved, {}};
}

}  // namespace vork
