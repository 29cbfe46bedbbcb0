// POSIX calls the engine tests use that mingw-w64's C runtime lacks. Included
// into every Windows test source by the compiler (-include), so the shared
// test sources stay free of platform conditionals.
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <direct.h>
#include <io.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

// mkstemps: replaces the six X before a suffix of suffixlen characters and
// creates the file exclusively; returns its descriptor, or -1.
static inline int mkstemps(char *tmpl, int suffixlen) {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    size_t n = strlen(tmpl);
    if (suffixlen < 0 || n < (size_t)suffixlen + 6) { errno = EINVAL; return -1; }
    char *x = tmpl + n - suffixlen - 6;
    unsigned seed = (unsigned)GetCurrentProcessId() * 2654435761u ^ (unsigned)GetTickCount();
    for (unsigned attempt = 0; attempt < 1000; attempt++) {
        unsigned v = seed + attempt * 40503u;
        for (int i = 0; i < 6; i++, v /= 36) x[i] = chars[v % 36];
        int fd = _open(tmpl, _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// mkdtemp: replaces the six trailing X and creates the directory exclusively;
// returns tmpl, or null.
static inline char *mkdtemp(char *tmpl) {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    size_t n = strlen(tmpl);
    if (n < 6) { errno = EINVAL; return nullptr; }
    char *x = tmpl + n - 6;
    unsigned seed = (unsigned)GetCurrentProcessId() * 2654435761u ^ (unsigned)GetTickCount();
    for (unsigned attempt = 0; attempt < 1000; attempt++) {
        unsigned v = seed + attempt * 40503u;
        for (int i = 0; i < 6; i++, v /= 36) x[i] = chars[v % 36];
        if (_mkdir(tmpl) == 0) return tmpl;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}
