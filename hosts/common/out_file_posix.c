/* The POSIX part of writing output files safely: what a path is, the
 * temporary file beside it and the rename. See out_file.h. */
#define _DEFAULT_SOURCE /* mkstemps */
#define _XOPEN_SOURCE 700
#include "out_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define MAX_LINKS 40

static int fail(out_file *f, const char *path, int err) {
    snprintf(f->error, sizeof f->error, "cannot write %s: %s", path, strerror(err));
    return -1;
}

/* The directory part of path, "." when it has none. */
static void dir_of(const char *path, char *out, size_t size) {
    const char *slash = strrchr(path, '/');
    if (!slash)
        snprintf(out, size, ".");
    else if (slash == path)
        snprintf(out, size, "/");
    else
        snprintf(out, size, "%.*s", (int)(slash - path), path);
}

/* Follows the links at path one by one to the first name that is not a link
 * (or does not exist). Used where realpath cannot help: a dangling link,
 * whose target is the file to create. */
static int follow_links(out_file *f, const char *path) {
    char cur[OUT_PATH_MAX], next[OUT_PATH_MAX], dir[OUT_PATH_MAX], link[OUT_PATH_MAX];
    snprintf(cur, sizeof cur, "%s", path);
    for (int i = 0; i < MAX_LINKS; i++) {
        struct stat st;
        if (lstat(cur, &st) != 0 || !S_ISLNK(st.st_mode)) {
            snprintf(f->target, sizeof f->target, "%s", cur);
            return 0;
        }
        ssize_t n = readlink(cur, link, sizeof link - 1);
        if (n < 0)
            return fail(f, path, errno);
        link[n] = '\0';
        if (link[0] == '/') {
            snprintf(next, sizeof next, "%s", link);
        } else {
            dir_of(cur, dir, sizeof dir);
            if (snprintf(next, sizeof next, "%s/%s", dir, link) >= (int)sizeof next)
                return fail(f, path, ENAMETOOLONG);
        }
        memcpy(cur, next, sizeof cur);
    }
    return fail(f, path, ELOOP);
}

int out_sys_inspect(out_file *f, const char *path) {
    struct stat st, lst;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return fail(f, path, EISDIR);
        if (!S_ISREG(st.st_mode)) {
            f->kind = OUT_SPECIAL;
            snprintf(f->target, sizeof f->target, "%s", path);
            return 0;
        }
        f->kind = OUT_REGULAR;
        f->keep_mode = 1;
        f->mode = (unsigned)(st.st_mode & 07777);
        if (lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
            char real[PATH_MAX];
            if (!realpath(path, real))
                return fail(f, path, errno);
            snprintf(f->target, sizeof f->target, "%s", real);
        } else {
            snprintf(f->target, sizeof f->target, "%s", path);
        }
        return 0;
    }
    if (errno != ENOENT)
        return fail(f, path, errno);
    /* Nothing there, or a link to nothing: the file to create is at the end
     * of the links, and its directory must exist. */
    if (follow_links(f, path) != 0)
        return -1;
    f->kind = OUT_NEW;
    char dir[OUT_PATH_MAX];
    dir_of(f->target, dir, sizeof dir);
    if (stat(dir, &st) != 0)
        return fail(f, path, errno);
    if (!S_ISDIR(st.st_mode))
        return fail(f, path, ENOTDIR);
    return 0;
}

int out_sys_reserve(out_file *f, const char *tmp_ext) {
    int fd;
    if (f->kind == OUT_SPECIAL) {
        const char *tmp = getenv("TMPDIR");
        if (snprintf(f->write, sizeof f->write, "%s/halvenor-out-XXXXXX%s", tmp && *tmp ? tmp : "/tmp", tmp_ext) >=
            (int)sizeof f->write)
            return fail(f, f->target, ENAMETOOLONG);
        fd = mkstemps(f->write, (int)strlen(tmp_ext));
    } else {
        if (snprintf(f->write, sizeof f->write, "%s.%ld.tmp%s", f->target, (long)getpid(), tmp_ext) >=
            (int)sizeof f->write)
            return fail(f, f->target, ENAMETOOLONG);
        fd = open(f->write, O_WRONLY | O_CREAT | O_EXCL, 0666);
    }
    if (fd < 0)
        return fail(f, f->target, errno);
    if (f->keep_mode)
        (void)fchmod(fd, (mode_t)f->mode); /* best effort, like cp */
    close(fd);
    return 0;
}

int out_sys_replace(out_file *f) {
    if (rename(f->write, f->target) != 0)
        return fail(f, f->target, errno);
    return 0;
}

/* write() until everything is out: 0, or the errno of the failure. */
static int write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? errno : EIO;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int out_sys_copy(out_file *f) {
    int in = open(f->write, O_RDONLY);
    if (in < 0)
        return fail(f, f->target, errno);
    int out = open(f->target, O_WRONLY);
    if (out < 0) {
        int err = errno;
        close(in);
        return fail(f, f->target, err);
    }
    char buf[65536];
    int err = 0;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            err = errno;
        if (n <= 0 || err || (err = write_all(out, buf, (size_t)n)) != 0)
            break;
    }
    close(in);
    if (close(out) != 0 && !err)
        err = errno;
    return err ? fail(f, f->target, err) : 0;
}

void out_sys_remove(const char *path) { (void)unlink(path); }

int out_make_dir(const char *dir, char *err, size_t err_size) {
    struct stat st;
    if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
        snprintf(err, err_size, "cannot create %s: %s", dir, strerror(errno));
        return -1;
    }
    int bad = stat(dir, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (bad) {
        snprintf(err, err_size, "cannot use %s: %s", dir, strerror(bad));
        return -1;
    }
    return 0;
}
