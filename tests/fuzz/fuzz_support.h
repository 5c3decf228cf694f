#pragma once
// Shared by the fuzz targets: a scratch folder that lives as long as the
// process, on tmpfs where there is one so the settings writer's fsync is cheap.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fuzzing {

inline const std::filesystem::path &scratchFolder() {
    // Never destroyed: the exit handler below still needs it.
    static const auto *folder = [] {
        std::string base = "/tmp";
        if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp) {
            base = tmp;
        } else if (std::filesystem::is_directory("/dev/shm")) {
            base = "/dev/shm";
        }
        std::string pattern = base + "/perstando-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratchFolder(), ec);
        });
        return new std::filesystem::path(pattern);
    }();
    return *folder;
}

inline void writeWhole(const std::filesystem::path &file, const std::string &content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        std::abort();
    }
}

/// Stops the run with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void failed(const char *what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

} // namespace fuzzing
