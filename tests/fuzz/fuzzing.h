// What the fuzz targets share: a check that aborts (libFuzzer reports it),
// whole files, in-process runs of vork, and a folder of their own.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "run.h"

namespace vork_fuzz {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

inline Bytes read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_all(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The status of a run of vork with `args`, reading and printing /dev/null.
inline int run(const std::vector<std::string>& args) {
    static std::FILE* const out = std::fopen("/dev/null", "wb");
    static std::FILE* const in = std::fopen("/dev/null", "rb");
    std::vector<const char*> argv{"vork"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    return vork::run(static_cast<int>(argv.size()) - 1, argv.data(), out, in);
}

// This program's folder, `name` with a unique tail, holding code.raw (12 34 56);
// in memory where it can be, since every --onto syncs the image it writes, and
// removed at the end.
inline const fs::path& workspace(const char* name) {
    struct Folder {
        fs::path path;
        ~Folder() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    };
    static const Folder folder = [name] {
        const fs::path memory = "/dev/shm";
        std::string pattern =
            ((fs::is_directory(memory) ? memory : fs::temp_directory_path()) / (std::string(name) + "-XXXXXX"))
                .string();
        const fs::path made = mkdtemp(pattern.data());
        std::ofstream(made / "code.raw", std::ios::binary) << "\x12\x34\x56";
        return Folder{made};
    }();
    return folder.path;
}

}  // namespace vork_fuzz
