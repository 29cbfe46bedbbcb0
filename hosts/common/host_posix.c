/* host_sys.h on POSIX systems. */
#define _XOPEN_SOURCE 700 /* lstat */
#include "host_sys.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

double sys_now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

void sys_sleep(double seconds) {
    if (seconds <= 0.0)
        return;
    struct timespec ts = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    nanosleep(&ts, NULL);
}

static volatile sig_atomic_t *g_interrupted;

static void on_signal(int sig) {
    (void)sig;
    *g_interrupted = 1;
}

void sys_catch_interrupt(volatile sig_atomic_t *flag) {
    g_interrupted = flag;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);
}

int sys_stderr_is_terminal(void) { return isatty(fileno(stderr)); }

int sys_name_taken(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

const char *sys_last_separator(const char *path) { return strrchr(path, '/'); }

const char *sys_error(void) { return strerror(errno); }

const char SYS_FFMPEG_HINT[] = "Debian: apt-get install ffmpeg";

int sys_in_path(const char *program) {
    const char *path = getenv("PATH");
    char buf[4200];
    while (path && *path) {
        size_t n = strcspn(path, ":");
        if (n > 0 && n < sizeof buf - strlen(program) - 2) {
            snprintf(buf, sizeof buf, "%.*s/%s", (int)n, path, program);
            if (access(buf, X_OK) == 0)
                return 1;
        }
        path += n + (path[n] == ':');
    }
    return 0;
}

int sys_start(const char *const argv[], sys_child *child) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        close(fds[1]);
        execvp(argv[0], (char *const *)argv);
        _exit(127);
    }
    int saved = errno;
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        errno = saved;
        return -1;
    }
    child->handle = pid;
    child->input = fds[1];
    return 0;
}

int sys_write_all(sys_child *child, const void *data, size_t size) {
    const unsigned char *p = data;
    while (size > 0) {
        ssize_t n = write((int)child->input, p, size);
        /* A signal stops the stream once it has asked the program to stop. */
        if (n < 0 && errno == EINTR && !(g_interrupted && *g_interrupted))
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= (size_t)n;
    }
    return 0;
}

int sys_finish(sys_child *child, char *why, size_t why_size) {
    close((int)child->input);
    int status = 0;
    while (waitpid((pid_t)child->handle, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    snprintf(why, why_size, "%s %d", WIFEXITED(status) ? "exit status" : "signal",
             WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    return -1;
}
