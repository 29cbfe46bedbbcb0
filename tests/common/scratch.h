// Scratch files for tests. Each test program gets one private directory
// (mkdtemp under $TMPDIR or /tmp) on first use, and removes it with all it
// holds when the program exits, so parallel runs and other users' files never
// collide with a test's and nothing is left behind.
#pragma once
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>

namespace scratch_detail {
inline std::string &dir() {
    static std::string d;
    return d;
}
inline int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }
inline void remove_dir() {
    if (!dir().empty()) nftw(dir().c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
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
