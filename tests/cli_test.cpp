// End-to-end runs of the built vork: whole console output, exit status, files left behind.
#include <fcntl.h>
#include <signal.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

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

const std::string kBanner = read_file(fs::path(VORK_EXPECTED_DIR) / "banner.txt");
const std::string kDoc = read_file(fs::path(VORK_EXPECTED_DIR) / "documentation.txt");
const std::string kDone = "\nVotre Fichier binaire type dos thomson est pret \n";
const std::string kBadDigit = "erreur dans l'ecriture hexadecimal de l'adresse\n" + kDoc;
const std::string kCode = bytes({0xAA, 0xBB, 0xCC});
const std::string kImage =
    bytes({0x00, 0x00, 0x03, 0x26, 0x00, 0xAA, 0xBB, 0xCC, 0xFF, 0x00, 0x00, 0x2C, 0x00});

std::string echo(const std::string& source, const std::string& target, const std::string& load,
                 const std::string& exec) {
    return "Fichier Source...... : " + source + "\nFichier Cible....... : " + target +
           "\nAdr de Chargement... : $" + load + "\nAdr de Lancement.... : $" + exec + "\n";
}

std::string sizes(int code) {
    return "Taille du code...... : " + std::to_string(code) +
           " octets\nAvec Header/Footer ..: " + std::to_string(code + 10) + " octets\n";
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

struct RunOptions {
    bool unprivileged = false;  // when the tests run as root, run vork as nobody
    std::string piped_source;   // fed through a pipe that vork sees as /dev/fd/3
};

RunOptions as_nobody() {
    RunOptions options;
    options.unprivileged = true;
    return options;
}

RunOptions piped(const std::string& source) {
    RunOptions options;
    options.piped_source = source;
    return options;
}

// A private folder: vork runs in work(), its console is captured beside it.
class Scratch {
public:
    Scratch() {
        std::string name = (fs::temp_directory_path() / "vork-test-XXXXXX").string();
        root_ = mkdtemp(name.data());
        fs::create_directory(work());
        // Open to the unprivileged user that some runs switch to.
        fs::permissions(root_, fs::perms::all);
        fs::permissions(work(), fs::perms::all);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    fs::path work() const { return root_ / "work"; }

    // The regular files in work(), with their contents.
    Files files() const {
        Files found;
        for (const auto& entry : fs::directory_iterator(work())) {
            if (entry.is_regular_file()) {
                found[entry.path().filename().string()] = read_file(entry.path());
            }
        }
        return found;
    }

    // Starts vork in work() with `args`, its standard input read from `stdin_fd`.
    pid_t start(const std::vector<std::string>& args, int stdin_fd,
                const RunOptions& options = {}) const {
        fs::path program = VORK_BINARY;
        if (options.unprivileged) {
            // The build tree may sit where the unprivileged user cannot reach.
            fs::copy_file(program, root_ / "vork", fs::copy_options::overwrite_existing);
            program = root_ / "vork";
        }
        int source_pipe[2] = {-1, -1};
        if (!options.piped_source.empty() && pipe(source_pipe) != 0) {
            return -1;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<std::string> words{program.string()};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& word : words) {
                argv.push_back(word.data());
            }
            argv.push_back(nullptr);
            const int out = open((root_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open((root_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (chdir(work().c_str()) != 0 || dup2(stdin_fd, 0) < 0 || dup2(out, 1) < 0 ||
                dup2(err, 2) < 0) {
                _exit(126);
            }
            if (source_pipe[0] >= 0 && (dup2(source_pipe[0], 3) < 0 || close(source_pipe[1]) != 0)) {
                _exit(126);
            }
            if (options.unprivileged && getuid() == 0 &&
                (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(126);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (source_pipe[0] >= 0) {
            close(source_pipe[0]);
            const std::string& data = options.piped_source;
            for (std::size_t sent = 0; sent < data.size();) {
                const ssize_t n = write(source_pipe[1], data.data() + sent, data.size() - sent);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(n);
            }
            close(source_pipe[1]);
        }
        return pid;
    }

    // Waits for `pid` to end, killing it if it hangs, and collects what it printed.
    Outcome finish(pid_t pid) const {
        int wait_status = 0;
        Outcome outcome;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        pid_t ended = 0;
        while ((ended = waitpid(pid, &wait_status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (ended == 0) {
            ADD_FAILURE() << "vork hung and was killed";
            kill(pid, SIGKILL);
            waitpid(pid, &wait_status, 0);
        } else if (ended == pid && WIFEXITED(wait_status)) {
            outcome.status = WEXITSTATUS(wait_status);
        }
        outcome.out = read_file(root_ / "stdout");
        outcome.err = read_file(root_ / "stderr");
        return outcome;
    }

    // Runs vork to its end with nothing to read: every pause meets end of file.
    Outcome run(const std::vector<std::string>& args, const RunOptions& options = {}) const {
        const int in = open("/dev/null", O_RDONLY);
        const pid_t pid = start(args, in, options);
        close(in);
        return finish(pid);
    }

private:
    fs::path root_;
};

struct CliCase {
    const char* name;
    Files before;  // files in the work folder before the run
    std::vector<std::string> args;
    std::string output;  // everything printed after the banner
    int status;
    Files after;  // every file in the work folder after the run
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

class Cli : public testing::TestWithParam<CliCase> {};

TEST_P(Cli, PrintsExactlyAndLeavesTheRightFiles) {
    const CliCase& c = GetParam();
    Scratch scratch;
    for (const auto& [name, contents] : c.before) {
        write_file(scratch.work() / name, contents);
    }
    const Outcome outcome = scratch.run(c.args);
    EXPECT_EQ(outcome.out, kBanner + c.output);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(scratch.files(), c.after);
}

const std::string kLargest(65535, '\x39');
const std::string kTooLarge(65536, '\x39');

INSTANTIATE_TEST_SUITE_P(
    Runs, Cli,
    testing::Values(
        CliCase{"Typical", {{"src.bin", kCode}}, {"src.bin", "2600", "2C00", "out.bin"},
                echo("src.bin", "out.bin", "2600", "2C00") + sizes(3) + kDone, 0,
                {{"src.bin", kCode}, {"out.bin", kImage}}},
        CliCase{"LowerCaseAndExtraDigits", {{"src.bin", kCode}},
                {"src.bin", "2600AB", "2c00", "out.bin", "ignored"},
                echo("src.bin", "out.bin", "2600AB", "2c00") + sizes(3) + kDone, 0,
                {{"src.bin", kCode}, {"out.bin", kImage}}},
        CliCase{"EmptySource", {{"src.bin", ""}}, {"src.bin", "2600", "2C00", "out.bin"},
                echo("src.bin", "out.bin", "2600", "2C00") + sizes(0) + kDone, 0,
                {{"src.bin", ""},
                 {"out.bin", bytes({0x00, 0x00, 0x00, 0x26, 0x00, 0xFF, 0x00, 0x00, 0x2C, 0x00})}}},
        CliCase{"LargestSource", {{"src.bin", kLargest}}, {"src.bin", "0000", "FFFF", "out.bin"},
                echo("src.bin", "out.bin", "0000", "FFFF") + sizes(65535) + kDone, 0,
                {{"src.bin", kLargest},
                 {"out.bin", bytes({0x00, 0xFF, 0xFF, 0x00, 0x00}) + kLargest +
                                 bytes({0xFF, 0x00, 0x00, 0xFF, 0xFF})}}},
        CliCase{"SamePathRewritesTheSource", {{"prog.bin", kCode}},
                {"prog.bin", "2600", "2C00", "prog.bin"},
                echo("prog.bin", "prog.bin", "2600", "2C00") + sizes(3) + kDone, 0,
                {{"prog.bin", kImage}}},
        CliCase{"DocumentationOnRequest", {{"src.bin", kCode}}, {"-hx", "2600", "2C00", "out.bin"},
                kDoc, 0, {{"src.bin", kCode}}},
        CliCase{"UpperCaseHIsAPath", {}, {"-H", "2600", "2C00", "out.bin"},
                echo("-H", "out.bin", "2600", "2C00") + "Erreur, fichier non ouvert -H " + kDoc, 1,
                {}},
        CliCase{"NoArguments", {}, {}, kDoc, 2, {}},
        CliCase{"ThreeArguments", {{"src.bin", kCode}}, {"src.bin", "2600", "2C00"}, kDoc, 2,
                {{"src.bin", kCode}}},
        CliCase{"MissingSource", {}, {"nope.bin", "2600", "2C00", "out.bin"},
                echo("nope.bin", "out.bin", "2600", "2C00") + "Erreur, fichier non ouvert nope.bin " +
                    kDoc,
                1, {}},
        CliCase{"DirectorySource", {}, {".", "2600", "2C00", "out.bin"},
                echo(".", "out.bin", "2600", "2C00") + "Erreur, fichier non ouvert . " + kDoc, 1, {}},
        CliCase{"UnreadableSource", {}, {"/proc/self/mem", "2600", "2C00", "out.bin"},
                echo("/proc/self/mem", "out.bin", "2600", "2C00") +
                    "Erreur, lecture impossible /proc/self/mem\n",
                1, {}},
        CliCase{"TooLargeSource", {{"big.bin", kTooLarge}}, {"big.bin", "2600", "2C00", "out.bin"},
                echo("big.bin", "out.bin", "2600", "2C00") +
                    "Erreur, fichier trop grand big.bin (65535 octets au plus)\n",
                1, {{"big.bin", kTooLarge}}},
        CliCase{"InvalidDigitWritesNothing", {{"src.bin", kCode}},
                {"src.bin", "26G0", "2C00", "out.bin"},
                echo("src.bin", "out.bin", "26G0", "2C00") + sizes(3) + kBadDigit, 2,
                {{"src.bin", kCode}}},
        CliCase{"ShortAddressOneErrorForItsEnd", {{"src.bin", kCode}},
                {"src.bin", "2600", "2C", "out.bin"},
                echo("src.bin", "out.bin", "2600", "2C") + sizes(3) + kBadDigit, 2,
                {{"src.bin", kCode}}},
        CliCase{"EveryBadDigitOfBothAddresses", {{"src.bin", kCode}},
                {"src.bin", "zz00", "", "out.bin"},
                echo("src.bin", "out.bin", "zz00", "") + sizes(3) + kBadDigit + kBadDigit + kBadDigit,
                2, {{"src.bin", kCode}}},
        CliCase{"TargetCannotBeCreated", {{"src.bin", kCode}},
                {"src.bin", "2600", "2C00", "no/dir/out.bin"},
                echo("src.bin", "no/dir/out.bin", "2600", "2C00") + sizes(3) +
                    "Erreur, fichier non ouvert no/dir/out.bin ",
                1, {{"src.bin", kCode}}}),
    [](const testing::TestParamInfo<CliCase>& info) { return info.param.name; });

// Permission cases run as an unprivileged user, since root may open anything.
TEST(CliSource, ReadOnlySourceConverts) {
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    fs::permissions(scratch.work() / "src.bin", fs::perms::owner_read | fs::perms::group_read |
                                                    fs::perms::others_read);
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "out.bin"}, as_nobody());
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(read_file(scratch.work() / "out.bin"), kImage);
}

TEST(CliSource, SourceWithoutReadPermissionIsRefused) {
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    fs::permissions(scratch.work() / "src.bin", fs::perms::none);
    const Outcome outcome = scratch.run({"src.bin", "2600", "2C00", "out.bin"}, as_nobody());
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, kBanner + echo("src.bin", "out.bin", "2600", "2C00") +
                               "Erreur, fichier non ouvert src.bin " + kDoc);
    EXPECT_FALSE(fs::exists(scratch.work() / "out.bin"));
}

TEST(CliSource, PipedSourceIsReadAsAStream) {
    Scratch scratch;
    const Outcome outcome = scratch.run({"/dev/fd/3", "2600", "2C00", "out.bin"},
                                        piped(kCode));
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(read_file(scratch.work() / "out.bin"), kImage);
}

TEST(CliPause, WaitsForOneCharacterBeforeExiting) {
    Scratch scratch;
    write_file(scratch.work() / "src.bin", kCode);
    int keyboard[2];
    ASSERT_EQ(pipe(keyboard), 0);
    const pid_t pid = scratch.start({"src.bin", "2600", "2C00", "out.bin"}, keyboard[0]);
    close(keyboard[0]);
    // Once the image is written the run must still be waiting on its input.
    for (int i = 0; i < 500 && !fs::exists(scratch.work() / "out.bin"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int wait_status = 0;
    EXPECT_EQ(waitpid(pid, &wait_status, WNOHANG), 0) << "vork ended without waiting for a key";
    ASSERT_EQ(write(keyboard[1], "\n", 1), 1);
    close(keyboard[1]);
    const Outcome outcome = scratch.finish(pid);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kBanner + echo("src.bin", "out.bin", "2600", "2C00") + sizes(3) + kDone);
}

}  // namespace
