/* Output files written without harming what is already there.
 *
 * A regular file (or a name that does not exist yet) is written under a
 * temporary name beside it and renamed over it once complete, so a failure
 * never leaves a partial file. A symbolic link is followed and its target
 * replaced the same way: the link stays. A device or FIFO is never replaced:
 * when the caller allows it, the bytes are written to a temporary file and
 * then copied into it with every write checked (so /dev/full reports its
 * error); otherwise it is refused. A directory is refused. Every failure
 * names the path and the system's reason.
 *
 * The system-specific part (what the path is, the temporary file, the rename)
 * lives in one implementation file per system; out_file.c holds the rest. */
#ifndef HALVENOR_OUT_FILE_H
#define HALVENOR_OUT_FILE_H

#include <stddef.h>

#define OUT_PATH_MAX 4200
#define OUT_ERROR_MAX 4600

typedef enum {
    OUT_NEW,     /* nothing there yet */
    OUT_REGULAR, /* a regular file, possibly behind links */
    OUT_SPECIAL  /* a device, FIFO or socket */
} out_kind;

typedef struct {
    out_kind kind;
    char target[OUT_PATH_MAX]; /* the file replaced: links followed */
    char write[OUT_PATH_MAX];  /* where the bytes go first: a temporary file
                                  beside the target, or in the temporary
                                  directory for a special file */
    int reserved;              /* the temporary file exists and is ours */
    int keep_mode;             /* the replaced file's permission bits to keep */
    unsigned mode;
    char error[OUT_ERROR_MAX]; /* the last failure, "cannot write PATH: reason" */
} out_file;

/* What path is, without touching it: 0, or -1 with f->error set (a
 * directory, a missing directory, a special file when allow_special is 0,
 * a name without the wanted extension...). ext is the extension a new or
 * regular file must have, case ignored (".png"), or NULL for any. */
int out_check(out_file *f, const char *path, const char *ext, int allow_special);

/* out_check, then creates the temporary file (its name keeps tmp_ext, which
 * may be "", at its end) so that the reason of a failure comes from the
 * system. On success the caller writes f->write. */
int out_begin(out_file *f, const char *path, const char *ext, const char *tmp_ext, int allow_special);

/* Moves the finished temporary file over the target, or copies it into a
 * special file: 0, or -1 with f->error set. The temporary file is gone
 * either way. */
int out_commit(out_file *f);

/* After a failure: removes the temporary file, if one was made. */
void out_abort(out_file *f);

/* 1 when path ends in ext, case ignored. */
int out_has_ext(const char *path, const char *ext);

/* Creates directory dir when it is missing (one level; its parent must
 * exist): 0, or -1 with a message "cannot create DIR: reason" in err. */
int out_make_dir(const char *dir, char *err, size_t err_size);

/* ---- system-specific, in out_file_posix.c ---- */

/* Classifies path into f->kind and f->target (links followed; the target of
 * a dangling link is the name to create). 0, or -1 with f->error set. */
int out_sys_inspect(out_file *f, const char *path);
/* Names and creates the temporary file f->write, ending in tmp_ext: beside
 * f->target (with the replaced file's permission bits when f->keep_mode), or
 * in the temporary directory for a special file. 0, or -1 with f->error. */
int out_sys_reserve(out_file *f, const char *tmp_ext);
/* Renames f->write over f->target. 0, or -1 with f->error set. */
int out_sys_replace(out_file *f);
/* Copies f->write into the special file f->target. 0, or -1 with f->error. */
int out_sys_copy(out_file *f);
/* Removes a temporary file. */
void out_sys_remove(const char *path);

#endif
