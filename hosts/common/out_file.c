/* The system-independent part of writing output files safely: the order of
 * the checks and the temporary name. See out_file.h. */
#include "out_file.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

int out_has_ext(const char *path, const char *ext) {
    size_t n = strlen(path), e = strlen(ext);
    if (n <= e)
        return 0;
    const char *tail = path + n - e;
    if (tail[-1] == '/' || tail[-1] == '\\')
        return 0; /* ".png" alone is a hidden name, not an extension */
    for (size_t i = 0; i < e; i++)
        if (tolower((unsigned char)tail[i]) != tolower((unsigned char)ext[i]))
            return 0;
    return 1;
}

int out_check(out_file *f, const char *path, const char *ext, int allow_special) {
    memset(f, 0, sizeof *f);
    if (out_sys_inspect(f, path) != 0)
        return -1;
    if (f->kind == OUT_SPECIAL) {
        if (!allow_special) {
            snprintf(f->error, sizeof f->error,
                     "cannot write %s: not a regular file (a device, FIFO or socket is never replaced)", path);
            return -1;
        }
        return 0; /* a device or FIFO takes the bytes whatever its name says */
    }
    if (ext && !out_has_ext(path, ext)) {
        snprintf(f->error, sizeof f->error, "cannot write %s: the file name must end in %s", path, ext);
        return -1;
    }
    return 0;
}

int out_begin(out_file *f, const char *path, const char *ext, const char *tmp_ext, int allow_special) {
    if (out_check(f, path, ext, allow_special) != 0 || out_sys_reserve(f, tmp_ext) != 0)
        return -1;
    f->reserved = 1;
    return 0;
}

int out_commit(out_file *f) {
    int rc = f->kind == OUT_SPECIAL ? out_sys_copy(f) : out_sys_replace(f);
    if (rc == 0 && f->kind != OUT_SPECIAL)
        f->reserved = 0; /* renamed: nothing left to remove */
    out_abort(f);
    return rc;
}

void out_abort(out_file *f) {
    if (f->reserved)
        out_sys_remove(f->write);
    f->reserved = 0;
}
