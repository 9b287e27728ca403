// The target's races by number: each scenario runs again and again in a
// child, stopped just before its Nth system call while the test acts, N = 1,
// 2, ... until a run makes fewer calls. Status 0 only when the path holds the
// image; every other name keeps what it had after the action (but the file
// the path held then, written in place, and the target's name in the folder
// the run opened may hold the image); nothing of the run's is left beside it
// unless named; a failure names its cause. Rewritten from its contents, as
// --onto rewrites a disk, status 0 comes only with the image built on what
// the path held after the action (another program's disk is never lost),
// and a refusal says the file is untouched only when it still holds what
// was read.
#include <fcntl.h>
#include <sys/mman.h>
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
// How the file is rewritten: whole, or from its contents (appended to, or refused).
enum class Update { none, append, refuse };
struct Scenario { const char* name; Start start; Update update = Update::none; };

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
    {"Backup",
     [](const fs::path& w, pid_t, int) { fs::rename(w / "dir/out.bin", w / "dir/out.bin~", ignored); }},
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
                               {"OneDescriptorLeft", Start::one_descriptor},
                               {"Disk", Start::older, Update::append},
                               {"RefusedDisk", Start::older, Update::refuse}};

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

// How the child's run ended, as its exit status: how, and whether it left a file.
enum Ended { kOk, kNoCause, kFailed, kLeftAFile = 4, kUntouched = 8 };

// What the child tells the test, in memory they share: the call the run
// first stopped before, and what the rebuild was last handed.
struct Told { char stopped_before[32]; char read[256]; };
Told* told = nullptr;

int stops_left = 0;
void stop_here(long) {
    if (stops_left > 0) {
        if (told->stopped_before[0] == '\0') {
            std::snprintf(told->stopped_before, 32, "%s", vork::platform::posix::call_acted_before());
        }
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
    told = static_cast<Told*>(
        mmap(nullptr, sizeof(Told), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(told, MAP_FAILED);
    for (long nth = 1;; ++nth) {
        ASSERT_LT(nth, 400) << "the run never ends before its Nth call";
        *told = {};
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
            const vork::Rebuild rebuild = [&](std::span<const std::uint8_t> contents,
                                              std::vector<std::uint8_t>& built) {
                std::snprintf(told->read, sizeof told->read, "%.*s", int(contents.size()),
                              reinterpret_cast<const char*>(contents.data()));
                built.assign(contents.begin(), contents.end());
                built.insert(built.end(), image.begin(), image.end());
                return scenario.update == Update::append;
            };
            vork::platform::posix::act_before_nth_call(nth, stop_here);
            const vork::TargetOutcome outcome =
                scenario.update == Update::none ? vork::write_target(target.c_str(), image)
                                                : vork::update_target(target.c_str(), 1000, rebuild);
            const bool refused = outcome.write == vork::TargetWrite::refused;
            _exit((outcome.write == vork::TargetWrite::ok || refused ? kOk
                   : outcome.failure.reason == vork::Reason::none  ? kNoCause
                                                                   : kFailed) |
                  (outcome.leftover.empty() ? 0 : kLeftAFile) |
                  (outcome.untouched ? kUntouched : 0));
        }

        // The path's file and folder just before the action, and all as it left them.
        struct stat held {};
        struct stat folder {};
        bool placed = false;  // the image already there: the run had done
        World after;
        std::string path;
        const auto look_around = [&] {
            stat(target.c_str(), &held);
            stat(target.parent_path().c_str(), &folder);
            placed = S_ISREG(held.st_mode) && read_file(target).ends_with(kImage);
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
        const std::string read_by_run = told->read;
        const int ended = WIFEXITED(status) ? WEXITSTATUS(status) & 3 : -1;
        const bool untouched = WIFEXITED(status) && (WEXITSTATUS(status) & kUntouched) != 0;
        const bool left_a_file = WIFEXITED(status) && (WEXITSTATUS(status) & kLeftAFile) != 0;
        if (action.needs_root) {
            keep_names(work / "dir", false);
        }

        const std::string at = std::string(action.name) + " before call " + std::to_string(nth);
        World end = look(work);
        std::string received(64, '\0');
        received.resize(reader >= 0 ? std::max<ssize_t>(read(reader, received.data(), 64), 0) : 0);
        close(reader);
        // The target's name in the folder the run holds, wherever that went.
        std::string its_name = "dir/out.bin";
        for (const auto& [name, seen] : after) {
            if (seen.bytes == "folder" && seen.inode == folder.st_ino) {
                its_name = name + "/out.bin";
            }
        }
        // The run's result: the image, or the image built on what the file held.
        const bool update = scenario.update != Update::none;
        const auto ours = [&](const std::string& bytes) {
            return update ? bytes.ends_with(kImage) : bytes == kImage;
        };
        const std::string there = end.count(path) != 0 ? end[path].bytes : "(none)";
        const std::string was = stops == 0 ? "a much longer older image"
                                : after.count(path) != 0 ? after[path].bytes
                                                         : "";
        // Another program's change in the instant between the last look at
        // the name and the rename itself is lost: a limit of the rename.
        const bool at_rename = std::string(told->stopped_before).starts_with("rename");
        if (scenario.update == Update::append) {
            EXPECT_TRUE(ended != kOk || at_rename || there == was + kImage ||
                        (placed && (there == was || there == "(none)")))
                << at << ": " << path << " holds " << testing::PrintToString(there)
                << ", not the image on " << testing::PrintToString(was);
        } else if (scenario.update == Update::refuse) {
            // A file the run made for its read goes again; a folder moved
            // after the last look takes the file with it.
            const std::string in_its_folder = end.count(its_name) != 0 ? end[its_name].bytes : "";
            EXPECT_TRUE(!untouched || there == read_by_run || in_its_folder == read_by_run ||
                        (read_by_run.empty() && there == "(none)"))
                << at << ": untouched, but " << path << " holds " << testing::PrintToString(there)
                << ", not " << testing::PrintToString(read_by_run);
        } else if (ended == kOk && !placed) {
            EXPECT_TRUE(there == kImage || received.find(kImage) != std::string::npos ||
                        (action.writes && there == kTheirs))
                << at << ": " << path << " holds " << testing::PrintToString(there);
        }
        const auto own = [&](const std::string& name) { return name.find(".vork-") != name.npos; };
        for (const auto& [name, seen] : after) {
            const std::string now = end.count(name) != 0 ? end[name].bytes : "(gone)";
            EXPECT_TRUE(name == path || own(name) || now == seen.bytes ||
                        (ours(now) && (seen.inode == held.st_ino || name == its_name)))
                << at << ": " << name << " holds " << testing::PrintToString(now);
        }
        for (const auto& [name, seen] : end) {
            EXPECT_TRUE((after.count(name) != 0 && !own(name)) || name == path ||
                        (left_a_file && action.needs_root) ||
                        (name == its_name && ours(seen.bytes)))
                << at << ": " << name << " left beside it";
        }
        if (WIFEXITED(status)) {
            EXPECT_NE(ended, kNoCause) << at << ": no cause told";
        } else {
            EXPECT_EQ(action.stops, 3) << at << ": ended by signal " << WTERMSIG(status);
        }
        EXPECT_TRUE(!left_a_file || action.needs_root) << at << ": left a file";
        if (stops == 0) {
            break;  // the run made fewer calls: every one has been tried
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, Race, testing::Combine(testing::ValuesIn(kScenarios), testing::ValuesIn(kActions)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
    });

}  // namespace
