// Running the built vork in a private folder and reading back what it did.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace vork_test {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& bytes);
// The bytes whose values are `values`, as a string.
std::string bytes(std::initializer_list<int> values);

// What the shell command `command` prints on standard output.
std::string output_of(const std::string& command);

// What vork prints, written out independently of its sources.
inline const std::string kBanner = read_file(fs::path(VORK_EXPECTED_DIR) / "banner.txt");
inline const std::string kDoc = read_file(fs::path(VORK_EXPECTED_DIR) / "documentation.txt");
inline const std::string kDone = "\nVotre Fichier binaire type dos thomson est pret \n";
inline const std::string kBadDigit = "erreur dans l'ecriture hexadecimal de l'adresse\n" + kDoc;
// The four echo lines of a run with these arguments.
std::string echo(const std::string& source, const std::string& target, const std::string& load,
                 const std::string& exec);
// The two size lines for `code` bytes of code.
std::string sizes(int code);

// Three bytes of code and their image at $2600, started at $2C00.
inline const std::string kCode = bytes({0xAA, 0xBB, 0xCC});
inline const std::string kImage =
    bytes({0x00, 0x00, 0x03, 0x26, 0x00, 0xAA, 0xBB, 0xCC, 0xFF, 0x00, 0x00, 0x2C, 0x00});

struct Outcome {
    int status = -1;  // exit status, or -1 when vork did not exit normally
    std::string out;
    std::string err;
    std::string piped_target;  // what vork wrote to /dev/fd/3, a pipe or a deleted file
};

// Where vork's standard output goes; with `error_closed`, captured while
// standard error is closed; with `terminal`, captured through a terminal.
enum class Report { captured, closed, full, broken_pipe, error_closed, terminal };
// What /dev/fd/3 is for vork.
enum class Fd3 { none, source_pipe, target_pipe, target_pipe_unread, deleted_file };

struct RunOptions {
    bool unprivileged = false;     // when the tests run as root, run vork as nobody
    std::string piped_source;      // fed through a pipe that vork sees as /dev/fd/3
    std::size_t piped_first = 0;   // ... its first bytes alone, the rest a moment later
    long file_size_limit = -1;     // RLIMIT_FSIZE for vork, SIGXFSZ as it comes
    long address_space_limit = -1;  // RLIMIT_AS for vork
    Report report = Report::captured;
    Fd3 fd3 = Fd3::none;
    std::string strace;  // when set, vork runs under strace with these options
    mode_t umask = 022;
    long open_files_limit = -1;   // RLIMIT_NOFILE for vork
    bool hangup_ignored = false;  // started as nohup starts it
};

RunOptions as_nobody();
RunOptions piped(const std::string& source);
RunOptions file_size_limit(long bytes);

// Makes `folder` keep every name made in it (append-only), or no longer;
// false where the file system has no such folders.
bool keep_names(const fs::path& folder, bool on);

// Sends `signal_number` to `pid`, a process the test started; a pid that is
// not positive (a run that never started or never stopped) fails the row
// instead, since kill() would take it for a whole group or every process.
void signal_run(pid_t pid, int signal_number);

// Waits for the process `pid`, which is not the test's child, to end, for
// `seconds` at most; false, and the row failed, when it is still there.
bool wait_gone(pid_t pid, int seconds = 20);

// A private folder: vork runs in work() with umask 022, its console is
// captured beside it, and the folder goes when the Scratch does.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    fs::path work() const { return root_ / "work"; }

    // The regular files in work() and its folders, by their paths there
    // (links followed), with their contents.
    Files files() const;

    // Starts vork in work() with `args`, its standard input read from
    // `stdin_fd`, or from /dev/null when that is -1.
    pid_t start(const std::vector<std::string>& args, int stdin_fd = -1,
                const RunOptions& options = {}) const;

    // Waits until strace, started as `pid`, has stopped the vork it traces
    // (its options inject SIGSTOP); returns that vork, or -1 when it never
    // stops (the row has failed then).
    pid_t stopped(pid_t pid) const;

    // Waits for `pid` to end, killing all it started if it hangs, and
    // collects what it printed.
    Outcome finish(pid_t pid) const;

    // Runs vork to its end with nothing to read: every pause meets end of file.
    Outcome run(const std::vector<std::string>& args, const RunOptions& options = {}) const;

private:
    fs::path root_;
    mutable int target_pipe_ = -1;
    mutable int terminal_ = -1;  // the terminal's other end, for Report::terminal
};

}  // namespace vork_test
