// No run may lose data: a failed or interrupted write leaves the old file as it was.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "scratch.h"
#include "platform.h"

namespace {

using namespace vork_test;

// Large enough that its image passes the file-size limit below, while the
// console output stays well under it.
const std::string kBigCode(4096, '\x12');
constexpr long kLimit = 3000;

struct FailingWriteCase {
    const char* name;
    Files before;
    std::vector<std::string> args;
};

void PrintTo(const FailingWriteCase& c, std::ostream* os) { *os << c.name; }

class FailingWrite : public testing::TestWithParam<FailingWriteCase> {};

TEST_P(FailingWrite, LeavesEveryFileAsItWas) {
    const FailingWriteCase& c = GetParam();
    Scratch scratch;
    for (const auto& [name, contents] : c.before) {
        write_file(scratch.work() / name, contents);
    }
    const Outcome outcome = scratch.run(c.args, file_size_limit(kLimit));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kBanner + echo(c.args[0], c.args[3], "2600", "2C00") + sizes(4096) +
                               "Erreur, ecriture impossible " + c.args[3] + "\n");
    EXPECT_EQ(scratch.files(), c.before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingWrite,
    testing::Values(
        FailingWriteCase{"SourceIsTarget", {{"prog.bin", kBigCode}},
                         {"prog.bin", "2600", "2C00", "prog.bin"}},
        FailingWriteCase{"OlderTarget", {{"src.bin", kBigCode}, {"out.bin", "older image"}},
                         {"src.bin", "2600", "2C00", "out.bin"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Target, FullDeviceReportsTheWriteError) {
    Scratch scratch;
    const fs::path full = scratch.work() / "full";
    if (mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
        GTEST_SKIP() << "cannot make a private full device here (needs root)";
    }
    const int probe = open(full.c_str(), O_WRONLY);
    if (probe < 0) {
        GTEST_SKIP() << "device nodes cannot be opened on this file system";
    }
    close(probe);
    write_file(scratch.work() / "src.bin", kCode);
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "full"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kBanner + echo("src.bin", "full", "2600", "2C00") + sizes(3) +
                               "Erreur, ecriture impossible full\n");
}

TEST(Target, ReadOnlyTargetIsRefusedAndKept) {
    Scratch scratch;
    const Files before{{"src.bin", kCode}, {"out.bin", "older image"}};
    for (const auto& [name, contents] : before) {
        write_file(scratch.work() / name, contents);
    }
    fs::permissions(scratch.work() / "out.bin",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "out.bin"}, as_nobody());
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kBanner + echo("src.bin", "out.bin", "2600", "2C00") + sizes(3) +
                               "Erreur, fichier non ouvert out.bin ");
    EXPECT_EQ(scratch.files(), before);
}

TEST(Target, SymbolicLinkStaysALink) {
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    fs::create_directory(scratch.work() / "images");
    write_file(scratch.work() / "images" / "real.bin", "older image");
    fs::create_symlink("images/real.bin", scratch.work() / "link.bin");
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "link.bin"});
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_TRUE(fs::is_symlink(scratch.work() / "link.bin"));
    EXPECT_EQ(read_file(scratch.work() / "images" / "real.bin"), kImage);
}

TEST(Target, NamedPipeIsWrittenNotReplaced) {
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    const fs::path fifo = scratch.work() / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    // Opened for reading and writing, so neither side waits for the other.
    const int reader = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const pid_t pid = scratch.start({"src.bin", "2600", "2C00", "pipe"});
    std::string received;
    char buffer[64];
    while (received.size() < kImage.size()) {
        pollfd ready{reader, POLLIN, 0};
        if (poll(&ready, 1, 10000) <= 0) {
            break;
        }
        const ssize_t n = read(reader, buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(reader);
    const Outcome outcome = scratch.finish(pid);
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(received, kImage);
    EXPECT_TRUE(fs::is_fifo(fifo));
}

struct ModeCase {
    const char* name;
    int existing_mode;  // -1: no target before the run
    fs::perms expected;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class TargetMode : public testing::TestWithParam<ModeCase> {};

TEST_P(TargetMode, IsTheUsualOneOrKept) {
    const ModeCase& c = GetParam();
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    const fs::path target = scratch.work() / "out.bin";
    if (c.existing_mode >= 0) {
        write_file(target, "older image");
        fs::permissions(target, static_cast<fs::perms>(c.existing_mode));
    }
    ASSERT_EQ(scratch.run({"src.bin", "2600", "2C00", "out.bin"}).status, 0);
    EXPECT_EQ(fs::status(target).permissions(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TargetMode,
                         testing::Values(ModeCase{"NewTargetFollowsUmask", -1,
                                                  static_cast<fs::perms>(0644)},
                                         ModeCase{"PrivateKept", 0600, static_cast<fs::perms>(0600)},
                                         ModeCase{"ExecutableKept", 0755,
                                                  static_cast<fs::perms>(0755)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Target, LockedDirectoryFallsBackToWritingInPlace) {
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    const fs::path locked = scratch.work() / "locked";
    fs::create_directory(locked);
    write_file(locked / "out.bin", "older image");
    fs::permissions(locked / "out.bin", static_cast<fs::perms>(0666));
    fs::permissions(locked, static_cast<fs::perms>(0555));
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "locked/out.bin"}, as_nobody());
    fs::permissions(locked, fs::perms::all);
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(read_file(locked / "out.bin"), kImage);
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), fs::directory_iterator()), 1);
}

class PendingFileSignal : public testing::TestWithParam<int> {};

TEST_P(PendingFileSignal, RemovesTheFileBeforeDying) {
    const int signal_number = GetParam();
    Scratch scratch;
    const pid_t pid = fork();
    if (pid == 0) {
        vork::platform::PendingFile pending((scratch.work() / "out.bin").string());
        if (!pending.valid() || !fs::exists(pending.path())) {
            _exit(3);
        }
        raise(signal_number);
        _exit(4);
    }
    int wait_status = 0;
    ASSERT_EQ(waitpid(pid, &wait_status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(wait_status)) << "exit status " << WEXITSTATUS(wait_status);
    EXPECT_EQ(WTERMSIG(wait_status), signal_number);
    EXPECT_TRUE(fs::is_empty(scratch.work()));
}

INSTANTIATE_TEST_SUITE_P(Signals, PendingFileSignal, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
