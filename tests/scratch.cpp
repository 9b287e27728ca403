#include "scratch.h"

#include <fcntl.h>
#include <grp.h>
#include <termios.h>
#include <signal.h>
#include <linux/close_range.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace vork_test {

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

std::string output_of(const std::string& command) {
    std::string text;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
            text.append(chunk, n);
        }
        pclose(pipe);
    }
    return text;
}

std::string echo(const std::string& source, const std::string& target, const std::string& load,
                 const std::string& exec) {
    return "Fichier Source...... : " + source + "\nFichier Cible....... : " + target +
           "\nAdr de Chargement... : $" + load + "\nAdr de Lancement.... : $" + exec + "\n";
}

std::string sizes(int code) {
    return "Taille du code...... : " + std::to_string(code) +
           " octets\nAvec Header/Footer ..: " + std::to_string(code + 10) + " octets\n";
}

RunOptions as_nobody() {
    RunOptions options;
    options.unprivileged = true;
    return options;
}

RunOptions piped(const std::string& source) {
    RunOptions options;
    options.piped_source = source;
    options.fd3 = Fd3::source_pipe;
    return options;
}

RunOptions file_size_limit(long bytes) {
    RunOptions options;
    options.file_size_limit = bytes;
    return options;
}

namespace {

// Where the tests run another build: the Windows one under Wine
// (VORK_TEST_WINE names the loader, VORK_TEST_WINE_EXE the program), or an
// ARM one under qemu-user (VORK_TEST_QEMU, VORK_TEST_QEMU_EXE); all unset
// for native runs.
const char* const wine_loader = std::getenv("VORK_TEST_WINE");
const char* const wine_program = std::getenv("VORK_TEST_WINE_EXE");
const char* const qemu = std::getenv("VORK_TEST_QEMU");
const char* const qemu_program = std::getenv("VORK_TEST_QEMU_EXE");

// Runs Wine's server, beside its loader, with `option`.
void wine_server(const char* option) {
    const std::string loader = wine_loader;
    std::string line = "'";
    line += loader.substr(0, loader.rfind('/') + 1);  // nothing when found on the PATH
    line += "wineserver' ";
    line += option;
    line += " >/dev/null 2>&1 </dev/null";
    std::system(line.c_str());
}

// Prepares the Wine prefix once, so that no run pays for it or prints about it.
class WineEnvironment : public testing::Environment {
public:
    void SetUp() override {
        // Which Debian package brings what is missing, as the build knows it.
        const char* const needs = std::getenv("VORK_TEST_NEEDS");
        const std::string package = needs != nullptr ? needs : "?";
        if (qemu != nullptr) {
            if (qemu_program == nullptr || !fs::exists(qemu_program)) {
                GTEST_SKIP() << "ARM program not built: no cross compiler (Debian package "
                             << package << ")";
            }
            if (std::system((std::string("'") + qemu + "' --version >/dev/null 2>&1").c_str()) != 0) {
                GTEST_SKIP() << "qemu-user cannot start here: " << qemu
                             << " (Debian package qemu-user-static)";
            }
        }
        if (wine_loader == nullptr) {
            return;
        }
        if (wine_program == nullptr || !fs::exists(wine_program)) {
            GTEST_SKIP() << "Windows program not built: no cross compiler (Debian package "
                         << package << ")";
        }
        // One server for the whole run, started first and outside any limit
        // a row sets for VORK.exe: one started under a file-size limit
        // crashes, and one that a program started goes once it is idle.
        wine_server("-k");
        wine_server("-w");  // gone, or the new one would find it and not start
        wine_server("-p");
        const std::string boot = std::string("'") + wine_loader + "' wineboot --init >/dev/null 2>&1";
        if (std::system(boot.c_str()) != 0) {
            GTEST_SKIP() << "Wine cannot start here: " << wine_loader << " (Debian package wine64)";
        }
    }

    void TearDown() override {
        if (wine_loader != nullptr) {
            wine_server("-k");
        }
    }
};

[[maybe_unused]] testing::Environment* const wine_environment =
    testing::AddGlobalTestEnvironment(new WineEnvironment);

// Writes each skip, with its reason, to the build's list of skips, which
// the test command shows at its end (ctest itself only counts them).
class SkipRecorder : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& test) override {
        note(std::string(test.test_suite_name()) + "." + test.name(), *test.result());
    }
    void OnTestProgramEnd(const testing::UnitTest& unit) override {
        note("", unit.ad_hoc_test_result());  // a skip of the whole run (Wine, qemu-user)
    }

    static void note(const std::string& test, const testing::TestResult& result) {
        for (int i = 0; i < result.total_part_count(); ++i) {
            const testing::TestPartResult& part = result.GetTestPartResult(i);
            if (!part.skipped()) {
                continue;
            }
            const char* const entry = std::getenv("VORK_TEST_ENTRY");
            std::string line = entry != nullptr ? entry : test;
            if (entry != nullptr && !test.empty()) {
                line += ", " + test;
            }
            std::string reason = part.message();
            reason = reason.substr(0, reason.find('\n'));
            line += ": " + reason + "\n";
            const int log = open(VORK_SKIP_LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (log >= 0) {
                [[maybe_unused]] const ssize_t n = write(log, line.data(), line.size());
                close(log);
            }
            return;
        }
    }
};

[[maybe_unused]] const bool skip_recorder = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new SkipRecorder);
    return true;
}();

// Console text as Linux writes it: Windows ends each line with "\r\n".
std::string unix_lines(std::string text) {
    if (wine_loader != nullptr) {
        for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) {
            text.erase(at, 1);
        }
    }
    return text;
}

}  // namespace

Scratch::Scratch() {
    std::string name = (fs::temp_directory_path() / "vork-test-XXXXXX").string();
    root_ = mkdtemp(name.data());
    fs::create_directory(work());
    // Open to the unprivileged user that some runs switch to.
    fs::permissions(root_, fs::perms::all);
    fs::permissions(work(), fs::perms::all);
}

Scratch::~Scratch() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

Files Scratch::files() const {
    Files found;
    for (const auto& entry : fs::recursive_directory_iterator(work())) {
        std::error_code not_a_file;  // a loop of links, say
        if (entry.is_regular_file(not_a_file)) {
            found[entry.path().lexically_relative(work()).string()] = read_file(entry.path());
        }
    }
    return found;
}

pid_t Scratch::start(const std::vector<std::string>& args, int stdin_fd,
                     const RunOptions& options) const {
    // Wine's server, and the helper programs (services.exe, ...) that its
    // first program starts, would carry this run's file-size limit and fail
    // on it: a server and helpers started outside it stand ready, should an
    // earlier row's interrupted runs have taken them down (twice, under load,
    // the first limited run after those rows ended with 1 and printed nothing).
    if (wine_loader != nullptr && options.file_size_limit >= 0) {
        wine_server("-p");
        std::system((std::string("'") + wine_loader + "' cmd /c exit >/dev/null 2>&1 </dev/null").c_str());
    }
    fs::path program = qemu_program != nullptr ? qemu_program : VORK_BINARY;
    if (options.unprivileged) {
        // The build tree may sit where the unprivileged user cannot reach.
        fs::copy_file(program, root_ / "vork", fs::copy_options::overwrite_existing);
        program = root_ / "vork";
    }
    int fd3_pipe[2] = {-1, -1};
    int report_pipe[2] = {-1, -1};
    if (options.fd3 == Fd3::deleted_file) {
        const fs::path file = root_ / "deleted";
        fd3_pipe[0] = fd3_pipe[1] = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        unlink(file.c_str());
    } else if (options.fd3 != Fd3::none && pipe2(fd3_pipe, O_CLOEXEC) != 0) {
        return -1;
    }
    if (options.report == Report::broken_pipe && pipe2(report_pipe, O_CLOEXEC) != 0) {
        return -1;
    }
    if (options.report == Report::broken_pipe) {
        close(report_pipe[0]);  // the reader has left before vork says anything
    }
    if (options.fd3 == Fd3::target_pipe_unread) {
        close(fd3_pipe[0]);
        fd3_pipe[0] = -1;  // nothing left to read once vork has ended
    }
    const bool fd3_is_source = options.fd3 == Fd3::source_pipe;
    int terminal = -1;
    if (options.report == Report::terminal) {
        terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0 ||
            (terminal = open(ptsname(terminal_), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
            return -1;
        }
        termios raw {};
        tcgetattr(terminal, &raw);
        cfmakeraw(&raw);  // every byte as written, no line ends added
        tcsetattr(terminal, TCSANOW, &raw);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::string> words{program.string()};
        if (wine_loader != nullptr) {
            words = {wine_loader, wine_program};
        } else if (qemu != nullptr) {
            words.insert(words.begin(), qemu);
        }
        words.insert(words.end(), args.begin(), args.end());
        if (!options.strace.empty()) {
            // Its log tells when it has stopped vork; WORK in its options stands for work().
            const fs::path log = root_ / ("strace-" + std::to_string(getpid()) + ".log");
            std::string chosen = options.strace;
            for (std::size_t at; (at = chosen.find("WORK")) != std::string::npos;) {
                chosen.replace(at, 4, work().string());
            }
            std::istringstream traced("strace -qq -o " + log.string() + " " + chosen);
            // A sanitized build's leak check cannot work under ptrace, and says so.
            const char* const asan = std::getenv("ASAN_OPTIONS");
            setenv("ASAN_OPTIONS",
                   (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
            words.insert(words.begin(), std::istream_iterator<std::string>(traced), {});
        }
        std::vector<char*> argv;
        for (auto& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        // A group of its own, so that a run given up on is ended whole, strace and all.
        setpgid(0, 0);
        // Close-on-exec, as every descriptor of the harness: vork gets 0, 1, 2 and 3 only.
        const int in = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = options.report == Report::terminal ? terminal
                        : options.report == Report::full   ? open("/dev/full", O_WRONLY | O_CLOEXEC)
                        : options.report == Report::broken_pipe
                            ? report_pipe[1]
                            : open((root_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                                   0644);
        const int err =
            open((root_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (chdir(work().c_str()) != 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
            _exit(126);
        }
        if (options.report == Report::closed || options.report == Report::error_closed) {
            close(options.report == Report::closed ? 1 : 2);
        }
        // As a shell starts it: vork must not rely on its caller ignoring SIGPIPE.
        signal(SIGPIPE, SIG_DFL);
        signal(SIGHUP, options.hangup_ignored ? SIG_IGN : SIG_DFL);
        // dup2 onto itself would keep the close-on-exec mark: cleared as well.
        if (options.fd3 != Fd3::none &&
            (dup2(fd3_is_source ? fd3_pipe[0] : fd3_pipe[1], 3) < 0 || fcntl(3, F_SETFD, 0) < 0)) {
            _exit(126);
        }
        // Only descriptor 3 stays: an end left open here would keep the pipe from ending.
        for (const int end : fd3_pipe) {
            if (end > 3) {
                close(end);
            }
        }
        umask(options.umask);
        const auto limit = [](int resource, long value) {
            const rlimit both{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
            return value < 0 || setrlimit(resource, &both) == 0;
        };
        if (!limit(RLIMIT_FSIZE, options.file_size_limit) ||
            !limit(RLIMIT_AS, options.address_space_limit) ||
            !limit(RLIMIT_NOFILE, options.open_files_limit)) {
            _exit(126);
        }
        // Under Wine the limit stands for a failed write on Windows, where no
        // signal comes with it; the Windows program cannot ignore a Unix one.
        if (wine_loader != nullptr) {
            signal(SIGXFSZ, SIG_IGN);
        }
        if (options.unprivileged && getuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(126);
        }
        // Nothing else the test runner had open reaches vork.
        close_range(options.fd3 == Fd3::none ? 3 : 4, ~0U, CLOSE_RANGE_CLOEXEC);
        execvp(argv[0], argv.data());  // strace, when asked for, is found on the PATH
        _exit(127);
    }
    if (report_pipe[1] >= 0) {
        close(report_pipe[1]);
    }
    if (terminal >= 0) {
        close(terminal);
    }
    if (fd3_is_source) {
        close(fd3_pipe[0]);
        const std::string& data = options.piped_source;
        for (std::size_t sent = 0; sent < data.size();) {
            // In pieces when asked, the rest a moment later, as a slow program writes.
            const std::size_t piece = sent == 0 && options.piped_first > 0
                                          ? std::min(options.piped_first, data.size())
                                          : data.size() - sent;
            const ssize_t n = write(fd3_pipe[1], data.data() + sent, piece);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
            if (sent == options.piped_first) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        }
        close(fd3_pipe[1]);
    } else if (fd3_pipe[1] >= 0) {
        if (fd3_pipe[1] != fd3_pipe[0]) {
            close(fd3_pipe[1]);
        }
        // Read once vork has ended (an image fits the pipe); -1 when nobody reads.
        target_pipe_ = fd3_pipe[0];
    }
    return pid;
}

pid_t Scratch::stopped(pid_t pid) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                                 "/children";
    const fs::path log = root_ / ("strace-" + std::to_string(pid) + ".log");
    while (std::chrono::steady_clock::now() < deadline) {
        std::istringstream listed(read_file(children));
        pid_t traced = -1;
        // strace writes out its log as the process it traces stops.
        if (read_file(log).find("--- stopped by SIGSTOP ---") != std::string::npos &&
            listed >> traced) {
            return traced;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "vork never stopped where strace was to stop it";
    return -1;
}

bool keep_names(const fs::path& folder, bool on) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = on ? FS_APPEND_FL : 0;
    const bool set = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return set;
}

void signal_run(pid_t pid, int signal_number) {
    if (pid <= 0) {
        ADD_FAILURE() << "no run to send signal " << signal_number << " to";
        return;
    }
    kill(pid, signal_number);
}

bool wait_gone(pid_t pid, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (pid > 0 && kill(pid, 0) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "process " << pid << " did not end within " << seconds << " s";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

Outcome Scratch::finish(pid_t pid) const {
    int wait_status = 0;
    Outcome outcome;
    if (pid <= 0) {
        ADD_FAILURE() << "vork could not be started";
        return outcome;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    pid_t ended = 0;
    while ((ended = waitpid(pid, &wait_status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ended == 0) {
        ADD_FAILURE() << "vork hung and was killed";
        kill(-pid, SIGKILL);  // strace, vork under it, Wine's processes: all of the run
        waitpid(pid, &wait_status, 0);
    } else if (ended == pid && WIFEXITED(wait_status)) {
        outcome.status = WEXITSTATUS(wait_status);
    }
    if (terminal_ >= 0) {
        // Whatever vork wrote is waiting at the terminal's other end.
        fcntl(terminal_, F_SETFL, O_NONBLOCK);
        char buffer[4096];
        for (ssize_t n; (n = read(terminal_, buffer, sizeof buffer)) > 0;) {
            outcome.out.append(buffer, static_cast<std::size_t>(n));
        }
        close(terminal_);
        terminal_ = -1;
    } else {
        outcome.out = unix_lines(read_file(root_ / "stdout"));
    }
    outcome.err = unix_lines(read_file(root_ / "stderr"));
#if defined(__SANITIZE_ADDRESS__)
    // What the sanitizers say of their own (==PID==..., under strace say) is not vork's.
    std::istringstream lines(outcome.err);
    outcome.err.clear();
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 3 || line.compare(0, 2, "==") != 0 ||
            !std::isdigit(static_cast<unsigned char>(line[2]))) {
            outcome.err += line + "\n";
        }
    }
#endif
    if (target_pipe_ >= 0) {
        char buffer[4096];
        lseek(target_pipe_, 0, SEEK_SET);  // a file; a pipe has nothing to rewind
        for (ssize_t n; (n = read(target_pipe_, buffer, sizeof buffer)) > 0;) {
            outcome.piped_target.append(buffer, static_cast<std::size_t>(n));
        }
        close(target_pipe_);
        target_pipe_ = -1;
    }
    return outcome;
}

Outcome Scratch::run(const std::vector<std::string>& args, const RunOptions& options) const {
    return finish(start(args, -1, options));
}

}  // namespace vork_test
