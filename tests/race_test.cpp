// The target's races by number: each scenario is run again and again in a
// child, which stops just before its Nth system call while the test changes
// the world, N = 1, 2, ... until a run makes fewer calls. Every run must end
// with status 0 only when the path holds the image; leave every other name
// with the bytes it had after the action (but the file the path held then,
// which the run writes in place, and the target's name in the folder the run
// opened, wherever that went, may hold the image); leave nothing of its own
// beside it but what it names; and name the cause of a failure.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include "posix/calls.h"
#include "scratch.h"
#include "target.h"

namespace {

using namespace vork_test;

// One descriptor left: the target's folder is unknown.
enum class Start { new_target, older, second_name, pipe, one_descriptor };
struct Scenario { const char* name; Start start; };

// Done by the test while the run stands stopped before a call; `stop` counts
// the stops, for an action that needs two.
struct Action {
    const char* name;
    void (*act)(const fs::path& work, pid_t run, int stop);
    int stops = 1;
    bool needs_root = false;
    bool writes = false;  // its bytes may be the last writer's
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
void PrintTo(const Action& a, std::ostream* os) { *os << a.name; }

const std::string kTheirs = "another run's longer image";
std::error_code ignored;

const Action kActions[] = {
    {"Remove", [](const fs::path& w, pid_t, int) { fs::remove(w / "dir/out.bin", ignored); }},
    {"Replace",
     [](const fs::path& w, pid_t, int) {
         write_file(w / "stranger", "stranger");
         fs::rename(w / "stranger", w / "dir/out.bin");
     }},
    {"Backup", [](const fs::path& w, pid_t, int) { fs::rename(w / "dir/out.bin", w / "dir/out.bin~", ignored); }},
    {"OtherCase",
     [](const fs::path& w, pid_t, int) {
         write_file(w / "dir/OUT.BIN", "upper");
         fs::remove(w / "dir/out.bin", ignored);
     }},
    {"NewFolder",
     [](const fs::path& w, pid_t, int) {
         fs::rename(w / "dir", w / "dir.old");
         fs::create_directory(w / "dir");
     }},
    {"LinkSwapped",
     [](const fs::path& w, pid_t, int) {
         fs::create_directory_symlink("other", w / "via.new");
         fs::rename(w / "via.new", w / "via");
     }},
    // Another writer in place, which takes its turn as vork does.
    {"Writer",
     [](const fs::path& w, pid_t, int) {
         const int fd = open((w / "via/out.bin").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
         struct flock whole {};
         whole.l_type = F_WRLCK;
         if (fd >= 0 && fcntl(fd, F_OFD_SETLK, &whole) == 0) {
             ftruncate(fd, 0);  // a FIFO has nothing to cut
             EXPECT_EQ(write(fd, kTheirs.data(), kTheirs.size()), ssize_t(kTheirs.size()));
         }
         close(fd);
     },
     1, false, true},
    {"AppendOnly", [](const fs::path& w, pid_t, int) { keep_names(w / "dir", true); }, 1, true},
    // Ctrl-C, then `timeout`'s SIGTERM two calls later: in the cleanup, once
    // it has moved the created target aside.
    {"Interrupted",
     [](const fs::path&, pid_t run, int stop) {
         if (stop != 1) {
             signal_run(run, stop == 0 ? SIGINT : SIGTERM);
         }
     },
     3},
};

const Scenario kScenarios[] = {{"NewTarget", Start::new_target}, {"OlderTarget", Start::older},
                               {"SecondName", Start::second_name}, {"Pipe", Start::pipe},
                               {"OneDescriptorLeft", Start::one_descriptor}};

struct Seen { std::string bytes; ino_t inode = 0; };
using World = std::map<std::string, Seen>;

// Every name in `work` but the folders, links not followed.
World look(const fs::path& work) {
    World seen;
    for (const auto& entry : fs::recursive_directory_iterator(work)) {
        struct stat info {};
        lstat(entry.path().c_str(), &info);
        Seen& it = seen[entry.path().lexically_relative(work).string()];
        it.inode = info.st_ino;
        it.bytes = S_ISREG(info.st_mode)   ? read_file(entry.path())
                   : S_ISLNK(info.st_mode) ? "-> " + fs::read_symlink(entry.path()).string()
                   : S_ISFIFO(info.st_mode) ? "fifo"
                                            : "folder";
    }
    return seen;
}

// What the child tells of its run.
struct Told {
    bool ok = false;
    vork::Reason reason = vork::Reason::none;
    char leftover[512] = {};
};

int stops_left = 0;
void stop_here(long) {
    if (stops_left > 0) {
        --stops_left;
        raise(SIGSTOP);
    }
}

class Race : public testing::TestWithParam<std::tuple<Scenario, Action>> {};

TEST_P(Race, EachActionBeforeEachCallLeavesTheImageOrTellsWhy) {
    const auto& [scenario, action] = GetParam();
    if (action.needs_root && getuid() != 0) {
        GTEST_SKIP() << "needs root, to make a folder append-only";
    }
    const std::span image{reinterpret_cast<const std::uint8_t*>(kImage.data()), kImage.size()};
    for (long nth = 1;; ++nth) {
        ASSERT_LT(nth, 400) << "the run never ends before its Nth call";
        Scratch scratch;
        const fs::path work = scratch.work();
        const fs::path target = work / "via/out.bin";
        fs::create_directories(work / "dir");
        fs::create_directories(work / "other");
        write_file(work / "other/out.bin", "elsewhere");
        fs::create_directory_symlink("dir", work / "via");
        int reader = -1;
        if (scenario.start == Start::pipe) {
            ASSERT_EQ(mkfifo((work / "dir/out.bin").c_str(), 0600), 0);
            reader = open((work / "dir/out.bin").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        } else if (scenario.start != Start::new_target) {
            write_file(work / "dir/out.bin", "a much longer older image");
        }
        if (scenario.start == Start::second_name) {
            fs::create_hard_link(work / "dir/out.bin", work / "dir/other.bin");
        }
        int report[2];
        ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
        const pid_t run = fork();
        ASSERT_GE(run, 0);
        if (run == 0) {
            stops_left = action.stops;
            const int free = dup(0);
            const rlimit one{rlim_t(free) + 1, rlim_t(free) + 1};
            close(free);
            if (scenario.start == Start::one_descriptor && setrlimit(RLIMIT_NOFILE, &one) != 0) {
                _exit(1);
            }
            vork::platform::posix::act_before_nth_call(nth, stop_here);
            const vork::TargetOutcome outcome = vork::write_target(target.c_str(), image);
            Told told{outcome.write == vork::TargetWrite::ok, outcome.failure.reason, {}};
            std::snprintf(told.leftover, sizeof told.leftover, "%s", outcome.leftover.c_str());
            _exit(write(report[1], &told, sizeof told) == sizeof told ? 0 : 1);
        }
        close(report[1]);

        // The path's file and folder just before the action, and all as it left them.
        struct stat held {};
        struct stat folder {};
        bool placed = false;  // the image already there: the run had done
        World after;
        std::string path;
        const auto look_around = [&] {
            stat(target.c_str(), &held);
            stat(target.parent_path().c_str(), &folder);
            placed = S_ISREG(held.st_mode) && read_file(target) == kImage;
        };
        look_around();
        int status = 0;
        int stops = 0;
        for (; waitpid(run, &status, WUNTRACED) == run && WIFSTOPPED(status); ++stops) {
            if (stops == 0) {
                look_around();
            }
            action.act(work, run, stops);
            if (stops == 0) {
                after = look(work);
                path = fs::weakly_canonical(target).lexically_relative(work).string();
            }
            kill(run, SIGCONT);
        }
        if (stops == 0) {
            after = look(work);
            path = "dir/out.bin";
        }
        Told told;
        const bool told_all = read(report[0], &told, sizeof told) == sizeof told;
        close(report[0]);
        if (action.needs_root) {
            keep_names(work / "dir", false);
        }

        const std::string at = std::string(action.name) + " before call " + std::to_string(nth);
        World end = look(work);
        std::string received(64, '\0');
        received.resize(reader >= 0 ? std::max<ssize_t>(read(reader, received.data(), 64), 0) : 0);
        close(reader);
        if (told.ok && !placed) {
            const std::string there = end.count(path) != 0 ? end[path].bytes : "(none)";
            EXPECT_TRUE(there == kImage || received.find(kImage) != std::string::npos ||
                        (action.writes && there == kTheirs))
                << at << ": " << path << " holds " << testing::PrintToString(there);
        }
        const std::string leftover =
            told.leftover[0] == '\0'
                ? ""
                : fs::weakly_canonical(told.leftover).lexically_relative(work).string();
        // The target's name in the folder the run holds, wherever that went.
        std::string its_name = "dir/out.bin";
        for (const auto& [name, seen] : after) {
            its_name = seen.bytes == "folder" && seen.inode == folder.st_ino ? name + "/out.bin" : its_name;
        }
        for (const auto& [name, seen] : end) {
            const auto before = after.find(name);
            if (name == path || name == leftover || (name == its_name && seen.bytes == kImage)) {
                continue;
            }
            EXPECT_TRUE(before != after.end() && name.find(".vork-") == std::string::npos)
                << at << ": " << name << " left beside it";
            EXPECT_TRUE(before == after.end() || seen.bytes == before->second.bytes ||
                        (before->second.inode == held.st_ino && seen.bytes == kImage))
                << at << ": " << name << " holds " << testing::PrintToString(seen.bytes);
        }
        for (const auto& [name, seen] : after) {
            EXPECT_TRUE(name == path || name.find(".vork-") != std::string::npos ||
                        end.count(name) != 0) << at << ": " << name << " gone";
        }
        if (WIFEXITED(status)) {
            EXPECT_TRUE(told_all && (told.ok || told.reason != vork::Reason::none))
                << at << ": no cause told";
        } else {
            EXPECT_EQ(action.stops, 3) << at << ": ended by signal " << WTERMSIG(status);
        }
        EXPECT_TRUE(leftover.empty() || action.needs_root) << at << ": left " << leftover;
        if (stops == 0) {
            break;  // the run made fewer calls: every one has been tried
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, Race,
                         testing::Combine(testing::ValuesIn(kScenarios), testing::ValuesIn(kActions)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    std::get<1>(info.param).name;
                         });

}  // namespace
