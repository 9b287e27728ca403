// The target's faults by number: each scenario is run again and again, its
// Nth system call failing with a chosen error, N = 1, 2, ... until a run
// meets no failure; every run must leave the old file or the image, nothing
// beside, and tell the error that was injected.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "fresh_name.h"
#include "posix/calls.h"
#include "scratch.h"
#include "target.h"

namespace {

using namespace vork_test;
using vork::platform::posix::calls_made;
using vork::platform::posix::fail_nth_call;

enum class Around {
    nothing,
    second_name,  // a hard link, other.bin
    keeps_names,  // an append-only folder
    pipe,         // a FIFO with a reader
    names_taken,  // the first fresh names hold a file and a link to another file
};

struct SweepCase {
    const char* name;
    const char* old;  // the target's contents before the run; nullptr: no target
    Around around = Around::nothing;
};

void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

class Sweep : public testing::TestWithParam<SweepCase> {};

TEST_P(Sweep, EachFailingCallLeavesTheOldFileOrTheImage) {
    const SweepCase& c = GetParam();
    if (c.around == Around::keeps_names && getuid() != 0) {
        GTEST_SKIP() << "needs root, to make a folder append-only";
    }
    const std::span image{reinterpret_cast<const std::uint8_t*>(kImage.data()), kImage.size()};
    std::vector<int> errors{EIO, ENOSPC, EACCES, EXDEV, EINTR};
    if (c.around == Around::names_taken) {
        errors.push_back(EOPNOTSUPP);  // no unnamed files: named from the start
    }
    for (const int error : errors) {
        for (long nth = 1;; ++nth) {
            ASSERT_LT(nth, 400) << "the run never ends without a failure";
            Scratch scratch;
            const fs::path target = scratch.work() / "out.bin";
            Files before;
            int reader = -1;
            if (c.around == Around::pipe) {
                ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
                reader = open(target.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            } else if (c.old != nullptr) {
                write_file(target, c.old);
                before["out.bin"] = c.old;
            }
            if (c.around == Around::second_name) {
                fs::create_hard_link(target, scratch.work() / "other.bin");
                before["other.bin"] = c.old;
            }
            if (c.around == Around::names_taken) {
                vork::seed_fresh_names(7);
                const std::string file = vork::fresh_name();
                const std::string link = vork::fresh_name();
                vork::seed_fresh_names(7);
                write_file(scratch.work() / "victim", "secret");
                write_file(scratch.work() / file, "taken");
                fs::create_symlink("victim", scratch.work() / link);
                before.insert({{"victim", "secret"}, {file, "taken"}, {link, "secret"}});
            }
            if (c.around == Around::keeps_names && !keep_names(scratch.work(), true)) {
                GTEST_SKIP() << "no append-only folders on this file system";
            }

            fail_nth_call(nth, error);
            const vork::TargetOutcome outcome = vork::write_target(target.c_str(), image);
            const long made = calls_made();
            fail_nth_call(0, 0);
            if (c.around == Around::keeps_names) {
                keep_names(scratch.work(), false);
            }

            const std::string at = std::string(strerrorname_np(error)) + " at call " +
                                   std::to_string(nth) + " (" + outcome.failure.step + ")";
            // A created target its folder keeps may be left, and is then named
            // (unless the open could not even look at it).
            const bool told_kept = c.old == nullptr && c.around == Around::keeps_names &&
                                   !outcome.leftover.empty();
            if (told_kept) {
                before["out.bin"] = "";
            }
            const bool unseen_kept = c.old == nullptr && c.around == Around::keeps_names &&
                                     outcome.write == vork::TargetWrite::not_opened;
            Files image_there = before;
            image_there["out.bin"] = kImage;
            if (c.around == Around::second_name) {
                image_there["other.bin"] = kImage;
            }
            if (c.around == Around::pipe) {
                char got[64] = {};
                const ssize_t n = read(reader, got, sizeof got);
                close(reader);
                const std::string received(got, static_cast<std::size_t>(n > 0 ? n : 0));
                EXPECT_EQ(received, outcome.write == vork::TargetWrite::ok ? kImage : received) << at;
            } else if (outcome.write == vork::TargetWrite::ok) {
                EXPECT_EQ(scratch.files(), image_there) << at;
            } else {
                // In place, or once the image has taken the target's place,
                // the image may be there already: the run then says it could
                // not make sure of it.
                const bool image_allowed = c.around == Around::second_name ||
                                           (c.around == Around::keeps_names &&
                                            (c.old != nullptr || told_kept)) ||
                                           outcome.failure.step == std::string(vork::kAfterTheMove);
                // In place, a longer file is cut before the write: a failed
                // write leaves it cut, never the image over the old tail.
                Files cut = before;
                for (auto& [name, bytes] : cut) {
                    bytes.resize(c.old != nullptr && image_allowed ? kImage.size() : bytes.size());
                }
                Files left = scratch.files();
                if (unseen_kept && left["out.bin"].empty()) {
                    left.erase("out.bin");
                }
                EXPECT_TRUE(left == before ||
                            (image_allowed && (left == image_there || left == cut)))
                    << at << ": " << testing::PrintToString(left);
            }
            if (outcome.write != vork::TargetWrite::ok) {
                EXPECT_EQ(outcome.failure.reason, vork::failure_from_errno(error).reason) << at;
            }
            EXPECT_TRUE(outcome.leftover.empty() ||
                        (told_kept && fs::path(outcome.leftover).filename() == "out.bin"))
                << at << ": " << outcome.leftover;
            if (made < nth) {
                break;  // no call failed: every one has been tried
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, Sweep,
    testing::Values(SweepCase{.name = "NewTarget", .old = nullptr},
                    SweepCase{.name = "OlderTarget", .old = "a much longer older image"},
                    SweepCase{.name = "SecondName", .old = "a much longer older image",
                              .around = Around::second_name},
                    // Written in place, and kept by its folder: named when it cannot go.
                    SweepCase{.name = "NewTargetFolderKeepsNames", .old = nullptr,
                              .around = Around::keeps_names},
                    SweepCase{.name = "FolderKeepsNames", .old = "older",
                              .around = Around::keeps_names},
                    SweepCase{.name = "Pipe", .old = nullptr, .around = Around::pipe},
                    SweepCase{.name = "FreshNamesTaken", .old = "older",
                              .around = Around::names_taken}),
    [](const auto& info) { return std::string(info.param.name); });

// A file rewritten from its own contents, as --onto rewrites a disk: each
// failing call leaves the old file (or none), or the new one, and nothing beside.
class UpdateSweep : public testing::TestWithParam<const char*> {};

TEST_P(UpdateSweep, EachFailingCallLeavesTheOldFileOrTheNewOne) {
    const char* const old = GetParam()[0] == '\0' ? nullptr : GetParam();
    const vork::Rebuild append = [](std::span<const std::uint8_t> contents,
                                    std::vector<std::uint8_t>& image) {
        image.assign(contents.begin(), contents.end());
        image.insert(image.end(), kImage.begin(), kImage.end());
        return true;
    };
    for (const int error : {EIO, ENOSPC, EACCES, EXDEV, EINTR}) {
        for (long nth = 1;; ++nth) {
            ASSERT_LT(nth, 400) << "the run never ends without a failure";
            Scratch scratch;
            const fs::path target = scratch.work() / "d.fd";
            Files before;
            if (old != nullptr) {
                write_file(target, old);
                before["d.fd"] = old;
            }
            fail_nth_call(nth, error);
            const vork::TargetOutcome outcome = vork::update_target(target.c_str(), 1000, append);
            const long made = calls_made();
            fail_nth_call(0, 0);
            const std::string at = std::string(strerrorname_np(error)) + " at call " +
                                   std::to_string(nth) + " (" + outcome.failure.step + ")";
            Files rebuilt{{"d.fd", (old != nullptr ? old : "") + kImage}};
            if (outcome.write == vork::TargetWrite::ok) {
                EXPECT_EQ(scratch.files(), rebuilt) << at;
            } else {
                const Files left = scratch.files();
                EXPECT_TRUE(left == before ||
                            (outcome.failure.step == std::string(vork::kAfterTheMove) &&
                             left == rebuilt))
                    << at << ": " << testing::PrintToString(left);
                EXPECT_EQ(outcome.failure.reason, vork::failure_from_errno(error).reason) << at;
            }
            if (made < nth) {
                break;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, UpdateSweep, testing::Values("", "an older disk"),
                         [](const auto& info) {
                             return std::string(info.param[0] == '\0' ? "NewFile" : "OlderFile");
                         });

}  // namespace
