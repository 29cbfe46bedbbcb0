// Scratch files for tests. Each test program gets one private directory
// (mkdtemp under $TMPDIR or /tmp) on first use, and removes it with all it
// holds when the program exits, so parallel runs and other users' files never
// collide with a test's and nothing is left behind.
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <filesystem>
#include <string>
#include <system_error>

namespace scratch_detail {
inline std::string &dir() {
    static std::string d;
    return d;
}
inline void remove_dir() {
    std::error_code ec; // at exit nothing is left to report to
    if (!dir().empty()) std::filesystem::remove_all(dir(), ec);
}
} // namespace scratch_detail

// A path named `name` inside the program's scratch directory.
inline std::string scratch_path(const char *name) {
    std::string &d = scratch_detail::dir();
    if (d.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/halvenor-test-XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            perror("scratch directory");
            abort();
        }
        d = pattern;
        atexit(scratch_detail::remove_dir);
    }
    return d + "/" + name;
}
