// No run may lose data: a failed or interrupted write leaves the old file as it was.
#include <fcntl.h>
#include <poll.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <fstream>
#include <thread>
#include <string>

#include "scratch.h"
#include "platform.h"

namespace {

using namespace vork_test;

// Large enough that its image passes the file-size limit below, while the
// console output stays well under it.
const std::string kBigCode(4096, '\x12');
// An old target longer than kImage, so that a tail left behind shows.
const std::string kLongerOld = "a much longer older image";
constexpr long kLimit = 3000;

struct FailingWriteCase {
    const char* name;
    Files before;
    std::vector<std::string> args;
    bool second_name = false;  // the target has a hard link, other.bin, so it is written in place
    bool locked = false;       // ... and another program holds a lock on it
    bool small_disk = false;   // disk/ is a full disk of its own, 16 KiB (needs root)
    long limit = kLimit;       // the file-size limit, -1 for none
};

void PrintTo(const FailingWriteCase& c, std::ostream* os) { *os << c.name; }

class FailingWrite : public testing::TestWithParam<FailingWriteCase> {};

TEST_P(FailingWrite, LeavesEveryFileAsItWas) {
    const FailingWriteCase& c = GetParam();
    Scratch scratch;
    const fs::path disk = scratch.work() / "disk";
    if (c.small_disk && (getuid() != 0 || !fs::create_directory(disk) ||
                         std::system(("mount -t tmpfs -o size=16k vork-test '" + disk.string() +
                                      "' 2>/dev/null").c_str()) != 0)) {
        GTEST_SKIP() << "needs root, to mount a small disk";
    }
    Files after = c.before;
    for (const auto& [name, contents] : c.before) {
        write_file(scratch.work() / name, contents);
    }
    const fs::path target = scratch.work() / c.args[3];
    const fs::path other = target.parent_path() / "other.bin";
    int holder = -1;
    if (c.second_name) {
        fs::create_hard_link(target, other);
        after[other.lexically_relative(scratch.work())] = after[c.args[3]];
    }
    if (c.locked) {
        holder = open(target.c_str(), O_RDWR);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        ASSERT_EQ(fcntl(holder, F_SETLK, &whole), 0);
    }
    RunOptions options = file_size_limit(c.limit);
    const Outcome outcome = scratch.run(c.args, options);
    if (holder >= 0) {
        close(holder);
    }
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kBanner + echo(c.args[0], c.args[3], "2600", "2C00") + sizes(4096) +
                               "Erreur, ecriture impossible " + c.args[3] + "\n")
        << outcome.err;
    EXPECT_EQ(scratch.files(), after);
    if (c.small_disk) {
        std::system(("umount '" + disk.string() + "'").c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingWrite,
    testing::Values(
        FailingWriteCase{"SourceIsTarget", {{"prog.bin", kBigCode}},
                         {"prog.bin", "2600", "2C00", "prog.bin"}},
        FailingWriteCase{"OlderTarget", {{"src.bin", kBigCode}, {"out.bin", "older image"}},
                         {"src.bin", "2600", "2C00", "out.bin"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A lock that another program keeps is waited for a few seconds, not for
// ever; the file-size limit and a full disk are found before a byte of the
// target changes.
INSTANTIATE_TEST_SUITE_P(
    LinuxCases, FailingWrite,
    testing::Values(
        FailingWriteCase{.name = "LockHeldByAnotherProgram",
                         .before = {{"src.bin", kBigCode}, {"out.bin", "older"}},
                         .args = {"src.bin", "2600", "2C00", "out.bin"},
                         .second_name = true, .locked = true, .limit = -1},
        FailingWriteCase{.name = "InPlacePastTheSizeLimit",
                         .before = {{"src.bin", kBigCode}, {"out.bin", "older"}},
                         .args = {"src.bin", "2600", "2C00", "out.bin"}, .second_name = true},
        FailingWriteCase{.name = "FullDiskInPlace",
                         .before = {{"src.bin", kBigCode}, {"disk/out.bin", "older"},
                                    {"disk/fill", std::string(12288, 'f')}},
                         .args = {"src.bin", "2600", "2C00", "disk/out.bin"},
                         .second_name = true, .small_disk = true, .limit = -1}),
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
    EXPECT_EQ(outcome.err, "Cause : Disque plein\n");
}

// The largest image, more than a pipe holds: the writer waits for the
// reader, who starts late, as a pipe's writer does.
TEST(Target, NamedPipeIsWrittenNotReplaced) {
    Scratch scratch;
    const std::string code(65535, '\x39');
    const std::string image =
        bytes({0x00, 0xFF, 0xFF, 0x26, 0x00}) + code + bytes({0xFF, 0x00, 0x00, 0x2C, 0x00});
    write_file(scratch.work() / "src.bin", code);
    const fs::path fifo = scratch.work() / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    // Opened for reading and writing, so neither side waits for the other.
    const int reader = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const pid_t pid = scratch.start({"src.bin", "2600", "2C00", "pipe"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string received;
    char buffer[4096];
    while (received.size() < image.size()) {
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
    EXPECT_EQ(received, image);
    EXPECT_TRUE(fs::is_fifo(fifo));
}

// What stands around the target before the run.
enum class Around {
    nothing,
    second_name,         // a hard link, other.bin
    attribute,           // an extended attribute
    sticky_folder,       // the target lies in a sticky folder open to all
    setgid_folder,       // ... in a folder whose new files take its group, nobody's
    default_acl_folder,  // ... in a folder whose new files give nobody access
    file_flags,          // the target has the flags no-dump, no-atime and synchronous
    append_only_folder,  // ... in a folder where names can be added, never removed
};

struct KeepCase {
    const char* name;
    int existing_mode;  // -1: no target before the run; else the mode it keeps
    Around around = Around::nothing;
    bool by_nobody = false;  // vork runs as nobody; the target belongs to root
    gid_t group = 0;         // the target's group, when not the user's own
    mode_t umask = 022;
    int new_mode = -1;  // a new target's mode
};

void PrintTo(const KeepCase& c, std::ostream* os) { *os << c.name; }

class TargetKeeps : public testing::TestWithParam<KeepCase> {};

constexpr int kKeptFlags = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL;

// Sets the file flags (chattr) of `file`; false where the file system has none.
bool set_flags(const fs::path& file, int flags) {
    const int fd = open(file.c_str(), O_RDONLY);
    const bool set = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return set;
}

TEST_P(TargetKeeps, ModeOwnerLinksAndAttributes) {
    const KeepCase& c = GetParam();
    if (getuid() != 0 && (c.by_nobody || c.group != 0 || c.around == Around::setgid_folder ||
                          c.around == Around::append_only_folder)) {
        GTEST_SKIP() << "needs root: files of other users, or a flag only root may set";
    }
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    const bool own_folder = c.around == Around::sticky_folder ||
                            c.around == Around::setgid_folder ||
                            c.around == Around::default_acl_folder ||
                            c.around == Around::append_only_folder;
    const fs::path folder = scratch.work() / (own_folder ? "shared" : "");
    fs::create_directories(folder);
    const fs::path target = folder / "out.bin";
    const gid_t group = c.group != 0 ? c.group : getgid();
    if (c.existing_mode >= 0) {
        write_file(target, "older image");
        fs::permissions(target, static_cast<fs::perms>(c.existing_mode));
        ASSERT_EQ(chown(target.c_str(), getuid(), group), 0);
    }
    const int folder_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = FS_APPEND_FL;
    switch (c.around) {
        case Around::second_name:
            fs::create_hard_link(target, folder / "other.bin");
            break;
        case Around::attribute:
            if (setxattr(target.c_str(), "user.vork", "kept", 4, 0) != 0) {
                GTEST_SKIP() << "no user extended attributes on this file system";
            }
            break;
        case Around::sticky_folder:
            fs::permissions(folder, static_cast<fs::perms>(01777));
            break;
        case Around::setgid_folder:
            ASSERT_EQ(chown(folder.c_str(), 0, 65534), 0);
            fs::permissions(folder, static_cast<fs::perms>(02777));
            break;
        case Around::default_acl_folder:
            if (std::system(("setfacl -d -m u:nobody:rw '" + folder.string() + "' 2>/dev/null").c_str()) != 0) {
                GTEST_SKIP() << "cannot set a default ACL here (Debian package acl)";
            }
            break;
        case Around::file_flags:
            if (!set_flags(target, kKeptFlags)) {
                GTEST_SKIP() << "no file flags on this file system";
            }
            break;
        case Around::append_only_folder:
            if (ioctl(folder_fd, FS_IOC_SETFLAGS, &flags) != 0) {
                GTEST_SKIP() << "no append-only folders on this file system";
            }
            break;
        case Around::nothing:
            break;
    }
    const std::string named = fs::relative(target, scratch.work());
    RunOptions options = c.by_nobody ? as_nobody() : RunOptions{};
    options.umask = c.umask;
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", named}, options);
    if (c.around == Around::append_only_folder) {
        flags = 0;
        ioctl(folder_fd, FS_IOC_SETFLAGS, &flags);  // so that the scratch folder can go
    }
    close(folder_fd);
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(read_file(target), kImage);
    struct stat after {};
    ASSERT_EQ(stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777,
              static_cast<mode_t>(c.existing_mode >= 0 ? c.existing_mode : c.new_mode));
    EXPECT_EQ(after.st_uid, getuid());
    EXPECT_EQ(after.st_gid, group);
    const bool second_name = c.around == Around::second_name;
    EXPECT_EQ(after.st_nlink, second_name ? 2u : 1u);
    if (second_name) {
        EXPECT_EQ(read_file(folder / "other.bin"), kImage);
    }
    char value[8] = {};
    if (c.around == Around::attribute) {
        EXPECT_EQ(getxattr(target.c_str(), "user.vork", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    }
    if (c.around == Around::default_acl_folder && c.existing_mode >= 0) {
        EXPECT_LT(getxattr(target.c_str(), "system.posix_acl_access", value, 0), 0) << "ACL widened";
    }
    if (c.around == Around::file_flags) {
        const int fd = open(target.c_str(), O_RDONLY);
        EXPECT_EQ(ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
        EXPECT_EQ(flags & kKeptFlags, kKeptFlags);
        close(fd);
    }
    // Nothing left beside: the target, its second name, the source when it lies there.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()),
              1 + (second_name ? 1 : 0) + (own_folder ? 0 : 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TargetKeeps,
    testing::Values(
        KeepCase{.name = "NewTargetFollowsUmask", .existing_mode = -1, .new_mode = 0644},
        KeepCase{.name = "NewTargetFollowsAnotherUmask", .existing_mode = -1, .umask = 002,
                 .new_mode = 0664},
        KeepCase{"PrivateKept", 0600},
        KeepCase{"ExecutableKept", 0755},
        KeepCase{"GroupFileWrittenByAnother", 0664, Around::nothing, true, 65534},
        KeepCase{"HardLinksStayOneFile", 0644, Around::second_name},
        KeepCase{"ExtendedAttributeKept", 0644, Around::attribute},
        KeepCase{"OthersFileInStickyFolder", 0666, Around::sticky_folder, true},
        KeepCase{"GroupKeptInASetgidFolder", 0660, Around::setgid_folder},
        KeepCase{"NoAclFromTheFolder", 0640, Around::default_acl_folder},
        KeepCase{"FileFlagsKept", 0644, Around::file_flags},
        KeepCase{"NothingLeftInAnAppendOnlyFolder", 0644, Around::append_only_folder}),
    [](const auto& info) { return std::string(info.param.name); });

// With the kernel's protections of shared folders on, root may not open
// another user's link, file or FIFO in a sticky folder open to all, as the
// shell's `>` may not: the tricks that aim /tmp/GAME.BIN at a system file or
// at another user's reader.
struct ProtectedCase {
    const char* name;
    const char* setting;  // under /proc/sys/fs
    mode_t planted;       // what another user put at tmp/GAME.BIN
};

void PrintTo(const ProtectedCase& c, std::ostream* os) { *os << c.name; }

class Protected : public testing::TestWithParam<ProtectedCase> {};

TEST_P(Protected, PlantedTargetIsRefused) {
    const ProtectedCase& c = GetParam();
    const std::string setting = std::string("/proc/sys/fs/") + c.setting;
    const std::string saved = read_file(setting);
    if (getuid() != 0 || saved.empty()) {
        GTEST_SKIP() << "needs root and " << setting;
    }
    {
        std::ofstream on(setting);
        // For files and FIFOs, 2 guards group-writable folders too; links know only 1.
        on << (S_ISLNK(c.planted) ? "1\n" : "2\n");
        on.flush();
        if (!on) {
            GTEST_SKIP() << "cannot set " << setting << " here";
        }
    }
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    write_file(scratch.work() / "victim", "secret");
    const fs::path shared = scratch.work() / "tmp";
    fs::create_directory(shared);
    fs::permissions(shared, static_cast<fs::perms>(01777));
    const fs::path planted = shared / "GAME.BIN";
    if (S_ISLNK(c.planted)) {
        fs::create_symlink(scratch.work() / "victim", planted);
    } else if (S_ISFIFO(c.planted)) {
        ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
    } else {
        write_file(planted, "secret");
    }
    ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
    if (!S_ISLNK(c.planted)) {
        ASSERT_EQ(chmod(planted.c_str(), 0666), 0);
    }
    // A reader on the FIFO, so that an open for writing would not wait.
    const int reader = S_ISFIFO(c.planted) ? open(planted.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "tmp/GAME.BIN"});
    std::ofstream(setting) << saved;
    if (reader >= 0) {
        char received[16];
        EXPECT_LE(read(reader, received, sizeof received), 0) << "the other user got the image";
        close(reader);
    }
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kBanner + echo("src.bin", "tmp/GAME.BIN", "2600", "2C00") + sizes(3) +
                               "Erreur, fichier non ouvert tmp/GAME.BIN ");
    EXPECT_EQ(read_file(scratch.work() / "victim"), "secret");
    if (S_ISREG(c.planted)) {
        EXPECT_EQ(read_file(planted), "secret");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Protected,
                         testing::Values(ProtectedCase{"Link", "protected_symlinks", S_IFLNK},
                                         ProtectedCase{"File", "protected_regular", S_IFREG},
                                         ProtectedCase{"Fifo", "protected_fifos", S_IFIFO}),
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

// However little memory there is, a run ends with its image or with the
// memory message and the documentation, never with an abort.
TEST(Memory, TightAddressSpaceEndsInImageOrMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers need more address space than any limit here";
#endif
    if (std::getenv("VORK_TEST_QEMU") != nullptr) {
        GTEST_SKIP() << "the emulator itself needs more address space than any limit here";
    }
    // Below some limit the C library cannot even start (its own allocations
    // before main fail), which no program can help: the first limit, in steps
    // of 50 kB, where the banner shows is where vork itself is tried, and
    // that limit grows with vork's own code.
    const auto run_within = [](long limit) {
        Scratch scratch;
        write_file(scratch.work() / "src.bin", kCode);
        RunOptions options;
        options.address_space_limit = limit;
        return scratch.run({"src.bin", "2600", "2C00", "out.bin"}, options);
    };
    long starts = 1'000'000;
    while (!run_within(starts).out.starts_with(kBanner)) {
        starts += 50'000;
        ASSERT_LT(starts, 8'000'000) << "vork never starts";
    }
    for (const long limit : {starts, starts + 300'000, starts + 2'300'000}) {
        const Outcome outcome = run_within(limit);
        const std::string echoed = kBanner + echo("src.bin", "out.bin", "2600", "2C00");
        if (outcome.status == 0) {
            EXPECT_EQ(outcome.out, echoed + sizes(3) + kDone) << limit;
        } else {
            EXPECT_EQ(outcome.status, 1) << limit;
            EXPECT_EQ(outcome.out, echoed + "\n * ERROR MEMORY ALLOCATION *\n" + kDoc) << limit;
        }
        EXPECT_EQ(outcome.err, "") << limit;
    }
}

// Ctrl-C, raised by strace at a chosen point of the run: the target ends as
// the old file or the new image, whole, with nothing left beside it.
struct InterruptCase {
    const char* name;
    const char* strace;
    bool second_name;  // out.bin has a hard link, other.bin, so it is written in place
    bool surely_interrupted;  // the run surely ends on the interrupt, not on its own
    int rounds;
    std::vector<std::string> allowed;  // what out.bin may hold afterwards; empty: no out.bin before or after
    bool keyboard = false;  // standard input is the FIFO `keys`, which nobody types into
    bool hangup_ignored = false;  // started as nohup starts it
    bool fresh = false;           // no out.bin before the run, whatever `allowed` says of after
};

void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.name; }

class Interrupted : public testing::TestWithParam<InterruptCase> {};

TEST_P(Interrupted, LeavesOneWholeFile) {
    const InterruptCase& c = GetParam();
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here";
    }
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    if (c.second_name) {
        write_file(scratch.work() / "out.bin", kLongerOld);
        fs::create_hard_link(scratch.work() / "out.bin", scratch.work() / "other.bin");
    }
    RunOptions options;
    options.strace = c.strace;
    options.hangup_ignored = c.hangup_ignored;
    // Held open by the test, so that the pause waits as it does for a user.
    const fs::path keys = scratch.work() / "keys";
    const int keyboard =
        c.keyboard && mkfifo(keys.c_str(), 0600) == 0 ? open(keys.c_str(), O_RDWR | O_CLOEXEC) : -1;
    for (int round = 0; round < c.rounds; ++round) {
        if (!c.allowed.empty() && !c.fresh) {
            write_file(scratch.work() / "out.bin", kLongerOld);
        }
        const Outcome outcome =
            scratch.finish(scratch.start({"src.bin", "2600", "2C00", "out.bin"}, keyboard, options));
        if (c.surely_interrupted) {
            // Killed by the signal, or 3: the Windows C runtime's status for it.
            EXPECT_TRUE(outcome.status == -1 || outcome.status == 3) << outcome.status;
        }
        const Files left = scratch.files();
        bool whole = c.allowed.empty() && left == Files{{"src.bin", kCode}};
        for (const std::string& image : c.allowed) {
            Files expected{{"src.bin", kCode}, {"out.bin", image}};
            if (c.second_name) {
                expected["other.bin"] = image;
            }
            whole = whole || left == expected;
        }
        EXPECT_TRUE(whole) << "round " << round << ": " << testing::PrintToString(left);
    }
    if (keyboard >= 0) {
        close(keyboard);
    }
}

// On Windows the C runtime runs the handler on a thread of its own, beside the
// run. Held at that thread's creation, the run cannot get ahead of the handler;
// raised as the replacement begins, the two race (a handler that did not wait
// for the replacement lost the target or left its backup one time in four).
// Cut short between the write and the truncation, an in-place write left the
// longer old file's tail after the new image; held until the write is whole,
// the interrupt may come after a Windows run has ended on its own.
INSTANTIATE_TEST_SUITE_P(
    Cases, Interrupted,
    testing::Values(
        InterruptCase{"AtTheSync",
                      "-e trace=fsync,clone3 -e inject=fsync:signal=INT "
                      "-e inject=clone3:delay_exit=2000000",
                      false, true, 1, {kLongerOld}},
        InterruptCase{"AsTheReplacementBegins",
                      "-P out.bin -e trace=close -e inject=close:signal=INT:when=2", false, false,
                      6, {kLongerOld, kImage}},
        InterruptCase{"DuringAWriteInPlace",
                      "-P out.bin -e trace=write,pwrite64 -e inject=write,pwrite64:signal=INT",
                      true, false, 1, {kImage}},
        InterruptCase{"AtThePause", "-P keys -e trace=read -e inject=read:signal=INT", false, true,
                      1, {kImage}, true},
        InterruptCase{"OnANewTarget",
                      "-e trace=fsync,clone3 -e inject=fsync:signal=INT "
                      "-e inject=clone3:delay_exit=2000000",
                      false, true, 1, {}},
        // Nothing a killed run made is left beside the target; a hangup the
        // caller ignores (nohup) stays ignored.
        InterruptCase{"KilledAtTheSync", "-e trace=fsync -e inject=fsync:signal=KILL", false,
                      true, 1, {kLongerOld}},

        InterruptCase{"HangupIgnoredAsByNohup", "-e trace=fsync -e inject=fsync:signal=HUP",
                      false, false, 1, {kImage}, false, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Linux only: where the file system has no unnamed files, the new file's
// name is removed by the handler; the interrupt comes as the target's
// attributes are read for it.
INSTANTIATE_TEST_SUITE_P(
    LinuxCases, Interrupted,
    testing::Values(InterruptCase{"NamedNewFileOnAnInterrupt",
                                  "-P WORK -P out.bin -e trace=openat,flistxattr "
                                  "-e inject=openat:error=EOPNOTSUPP:when=3 "
                                  "-e inject=flistxattr:signal=INT:when=1",
                                  false, true, 1, {kLongerOld}}),
    [](const auto& info) { return std::string(info.param.name); });

class PendingFileSignal : public testing::TestWithParam<int> {};

TEST_P(PendingFileSignal, RemovesTheFileBeforeDying) {
    const int signal_number = GetParam();
    Scratch scratch;
    const pid_t pid = fork();
    if (pid == 0) {
        // A new target and the new file beside it: neither is left.
        vork::platform::TargetPtr target;
        vork::platform::TargetFacts facts;
        vork::platform::NewFilePtr file;
        if (vork::platform::open_target((scratch.work() / "out.bin").c_str(), target, facts) ||
            vork::platform::make_new_file(*target, ".vork-test", file)) {
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

namespace {

// FAT and exFAT through FUSE, as a user's memory card is mounted: a file
// system that refuses any change of mode and a cut that does not shrink, and
// one that ignores case; and xfs, whose folders count their quota by a
// project id. Every run replaces or writes the target whole, keeps the name
// as the folder spells it and all the file had.
struct FuseCase {
    const char* name;
    const char* disk;  // "fat" (fusefat on the image), "exfat" (exfat-fuse), "xfs" (loop mount)
    Files before;      // on the disk
    const char* target;
    Files after;
    const char* prepare = "true";  // a shell line run on the disk before the run
    const char* check = "true";    // ... and after it, which must succeed
};

void PrintTo(const FuseCase& c, std::ostream* os) { *os << c.name; }

class FuseDisk : public testing::TestWithParam<FuseCase> {};

// Runs the shell `line`, its output dropped; whether it worked.
bool shell(const std::string& line) { return std::system((line + " >/dev/null 2>&1").c_str()) == 0; }

TEST_P(FuseDisk, TargetWrittenWholeUnderItsOwnSpelling) {
    const FuseCase& c = GetParam();
    const std::string disk = c.disk;
    const bool fat = disk == "fat";
    const bool xfs = disk == "xfs";
    const char* const needs =
        fat   ? "fusefat and mkfs.vfat (Debian packages fusefat, dosfstools)"
        : xfs ? "mkfs.xfs and xfs_io (Debian package xfsprogs)"
              : "exfat-fuse and mkfs.exfat (Debian packages exfat-fuse, exfatprogs)";
    if (getuid() != 0 || !shell(fat   ? "command -v fusefat && command -v mkfs.vfat"
                                : xfs ? "command -v mkfs.xfs && command -v xfs_io"
                                      : "command -v mount.exfat-fuse && command -v mkfs.exfat")) {
        GTEST_SKIP() << "needs root, " << needs;
    }
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    const fs::path image = scratch.work().parent_path() / "disk.img";
    const fs::path mount = scratch.work() / "disk";
    fs::create_directory(mount);
    std::string loop;
    bool mounted = shell("truncate -s " + std::string(xfs ? "320M" : "8M") + " '" + image.string() + "'");
    if (xfs) {
        mounted = mounted && shell("mkfs.xfs -q '" + image.string() + "'") &&
                  shell("mount -o loop '" + image.string() + "' '" + mount.string() + "'");
    } else if (fat) {
        mounted = mounted && shell("mkfs.vfat '" + image.string() + "'") &&
                  shell("fusefat -o rw+ '" + image.string() + "' '" + mount.string() + "'");
    } else {
        std::FILE* attached = popen(("losetup -f --show '" + image.string() + "' 2>/dev/null").c_str(), "r");
        char device[64] = {};
        if (attached != nullptr && std::fgets(device, sizeof device, attached) != nullptr) {
            loop = std::string(device, std::strcspn(device, "\n"));
        }
        if (attached != nullptr) {
            pclose(attached);
        }
        mounted = mounted && !loop.empty() && shell("mkfs.exfat " + loop) &&
                  shell("mount.exfat-fuse " + loop + " '" + mount.string() + "'");
    }
    if (!mounted) {
        if (!loop.empty()) {
            shell("losetup -d " + loop);
        }
        GTEST_SKIP() << "cannot mount " << c.disk << " here (" << needs << ", /dev/fuse)";
    }
    for (const auto& [name, contents] : c.before) {
        write_file(mount / name, contents);
    }
    const std::string on_disk = "cd '" + mount.string() + "' && ";
    EXPECT_TRUE(shell(on_disk + c.prepare)) << c.prepare;
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", std::string("disk/") + c.target});
    EXPECT_TRUE(shell(on_disk + c.check)) << c.check;
    Files left;
    for (const auto& entry : fs::directory_iterator(mount)) {
        left[entry.path().filename().string()] = read_file(entry.path());
    }
    shell("umount '" + mount.string() + "'");
    if (!loop.empty()) {
        shell("losetup -d " + loop);
    }
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_EQ(left, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Disks, FuseDisk,
    testing::Values(
        FuseCase{"FatNewTarget", "fat", {}, "NEW.BIN", {{"NEW.BIN", kImage}}},
        FuseCase{"FatOlderOfTheSameSize", "fat", {{"OLD.BIN", "0123456789abc"}}, "OLD.BIN",
                 {{"OLD.BIN", kImage}}},
        FuseCase{"FatLongerOlder", "fat", {{"OLD.BIN", kLongerOld}}, "OLD.BIN",
                 {{"OLD.BIN", kImage}}},
        FuseCase{"ExfatKeepsTheSpelling", "exfat", {{"GAME.BIN", "older"}}, "game.bin",
                 {{"GAME.BIN", kImage}}},
        FuseCase{"XfsProjectKept", "xfs", {{"out.bin", "older"}}, "out.bin", {{"out.bin", kImage}},
                 "xfs_io -c 'chproj 42' out.bin",
                 "xfs_io -c lsproj out.bin | grep -qx 'projid = 42'"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
