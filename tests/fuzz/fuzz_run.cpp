// libFuzzer target: whole in-process runs on arbitrary addresses and code,
// and --list on arbitrary files.
// Input: one byte each for the lengths (0 to 7) of the two address arguments,
// those arguments' bytes, then the source's bytes; or, when the first byte
// has bit 6 set (0x40), that byte and then the file to list.
//
// Either the run succeeds and the target holds exactly the framed code at the
// typed addresses, or it fails and no target exists. --list succeeds exactly
// on a whole binary, and never changes the file or writes another.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "fuzzing.h"

namespace {

using namespace vork_fuzz;

// The value of the four leading hex digits of `text`, if they are four.
std::optional<unsigned> typed_address(const std::string& text) {
    const std::string visible = text.c_str();  // the program sees a C string
    if (visible.size() < 4) {
        return std::nullopt;
    }
    for (int i = 0; i < 4; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(visible[i]))) {
            return std::nullopt;
        }
    }
    return static_cast<unsigned>(std::stoul(visible.substr(0, 4), nullptr, 16));
}

struct Workspace {
    fs::path source;
    fs::path target;
    std::FILE* out;
    std::FILE* in;
};

const Workspace& workspace() {
    static const Workspace w = [] {
        std::string name = (fs::temp_directory_path() / "vork-fuzz-XXXXXX").string();
        const fs::path dir = mkdtemp(name.data());
        return Workspace{dir / "source.bin", dir / "target.bin", std::fopen("/dev/null", "wb"),
                         std::fopen("/dev/null", "rb")};
    }();
    return w;
}

// Whether `file` is a whole Thomson binary: blocks (00, length, address,
// bytes) up to a footer (FF 00 00, address) that ends it.
bool whole_binary(const std::string& file) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(file[at]); };
    std::size_t at = 0;
    while (at < file.size() && byte(at) == 0x00) {
        if (file.size() - at < 5) {
            return false;
        }
        at += 5 + (std::size_t{byte(at + 1)} << 8 | byte(at + 2));
    }
    return at + 5 == file.size() && byte(at) == 0xFF && byte(at + 1) == 0 && byte(at + 2) == 0;
}

// Lists `file`, then checks the status and that nothing was written.
int list(const std::string& file) {
    const Workspace& w = workspace();
    std::ofstream(w.source, std::ios::binary | std::ios::trunc) << file;
    fs::remove(w.target);
    const std::string source_path = w.source.string();
    const char* argv[] = {"vork", "--list", source_path.c_str(), nullptr};
    const int status = vork::run(3, argv, w.out, w.in);
    check(status == (whole_binary(file) ? 0 : 1));
    std::ifstream read(w.source, std::ios::binary);
    check(std::string{std::istreambuf_iterator<char>(read), {}} == file);
    check(!fs::exists(w.target));
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return -1;
    }
    if ((data[0] & 0x40) != 0) {
        return list(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    }
    const std::size_t load_length = data[0] % 8;
    const std::size_t exec_length = data[1] % 8;
    if (size < 2 + load_length + exec_length) {
        return -1;
    }
    const char* cursor = reinterpret_cast<const char*>(data) + 2;
    const std::string load(cursor, load_length);
    const std::string exec(cursor + load_length, exec_length);
    const std::string code(cursor + load_length + exec_length,
                           reinterpret_cast<const char*>(data) + size);

    const Workspace& w = workspace();
    std::ofstream(w.source, std::ios::binary | std::ios::trunc) << code;
    fs::remove(w.target);
    const std::string source_path = w.source.string();
    const std::string target_path = w.target.string();
    const char* argv[] = {"vork", source_path.c_str(), load.c_str(), exec.c_str(),
                          target_path.c_str(), nullptr};
    const int status = vork::run(5, argv, w.out, w.in);

    const auto load_address = typed_address(load);
    const auto exec_address = typed_address(exec);
    const bool convertible = load_address && exec_address && code.size() <= 65535;
    if (!convertible) {
        check(status != 0 && !fs::exists(w.target));
        return 0;
    }
    check(status == 0);
    std::ifstream written(w.target, std::ios::binary);
    const std::string image{std::istreambuf_iterator<char>(written), {}};
    const std::size_t n = code.size();
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(image[at]); };
    check(image.size() == n + 10);
    check(byte(0) == 0x00 && byte(1) == n >> 8 && byte(2) == (n & 0xFF));
    check(byte(3) == *load_address >> 8 && byte(4) == (*load_address & 0xFF));
    check(image.compare(5, n, code) == 0);
    check(byte(n + 5) == 0xFF && byte(n + 6) == 0x00 && byte(n + 7) == 0x00);
    check(byte(n + 8) == *exec_address >> 8 && byte(n + 9) == (*exec_address & 0xFF));
    return 0;
}
