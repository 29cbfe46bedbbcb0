/* What the host programs need from the operating system, beyond output files
 * (out_file.h), in the few places where POSIX and Windows differ.
 * host_posix.c and host_win32.c implement it; the programs themselves are the
 * same source on both. */
#ifndef HOST_SYS_H
#define HOST_SYS_H

#include <signal.h>
#include <stddef.h>

/* Seconds on a monotonic clock. */
double sys_now(void);
/* Sleeps about that long (less when interrupted). */
void sys_sleep(double seconds);
/* Ctrl+C (and SIGTERM where there is one) sets *flag instead of killing the
 * program; a reader gone from a pipe shows as a failed write. */
void sys_catch_interrupt(volatile sig_atomic_t *flag);
int sys_stderr_is_terminal(void);
/* 1 when something, even a dangling link, has that name. */
int sys_name_taken(const char *path);
/* The last directory separator of path, or NULL. */
const char *sys_last_separator(const char *path);
/* The text of the latest failure of a sys_ call. */
const char *sys_error(void);

/* A program started with a pipe to its standard input. */
typedef struct {
    long long handle; /* process id, or process handle */
    long long input;  /* the pipe's write end */
} sys_child;
/* How to get ffmpeg on this system. */
extern const char SYS_FFMPEG_HINT[];
/* 1 when the program is found where starting it would look. */
int sys_in_path(const char *program);
int sys_start(const char *const argv[], sys_child *child);
int sys_write_all(sys_child *child, const void *data, size_t size);
/* Closes the pipe and waits. 0 when the program exited with status 0;
 * otherwise -1 and how it ended in why. */
int sys_finish(sys_child *child, char *why, size_t why_size);

#endif
