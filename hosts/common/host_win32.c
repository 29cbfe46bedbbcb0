/* host_sys.h on Windows. */
#include "host_sys.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* The latest failure: a Windows error code, or 0 for the C library's errno. */
static DWORD g_error;
static char g_error_text[256];

static int fail_win(void) {
    g_error = GetLastError();
    return -1;
}

const char *sys_error(void) {
    if (g_error == 0)
        return strerror(errno);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, g_error,
                             0, g_error_text, sizeof g_error_text, NULL);
    /* Windows ends its messages with ".\r\n"; the hosts add their own ending. */
    while (n > 0 && strchr(".\r\n ", g_error_text[n - 1]))
        g_error_text[--n] = '\0';
    if (n == 0)
        snprintf(g_error_text, sizeof g_error_text, "error %lu", (unsigned long)g_error);
    g_error = 0;
    return g_error_text;
}

double sys_now(void) {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)f.QuadPart;
}

void sys_sleep(double seconds) {
    if (seconds > 0.0)
        Sleep((DWORD)(seconds * 1000.0 + 0.5));
}

static volatile sig_atomic_t *g_interrupted;

/* Runs on a thread of its own; the program notices the flag between frames. */
static BOOL WINAPI on_console_event(DWORD event) {
    (void)event;
    *g_interrupted = 1;
    return TRUE;
}

void sys_catch_interrupt(volatile sig_atomic_t *flag) {
    g_interrupted = flag;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int sys_stderr_is_terminal(void) { return _isatty(_fileno(stderr)); }

int sys_name_taken(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

/* Both separators count, and so does the colon of a drive ("C:file.png"). */
const char *sys_last_separator(const char *path) {
    const char *last = NULL;
    for (const char *p = path; *p; p++)
        if (*p == '/' || *p == '\\' || (*p == ':' && p == path + 1))
            last = p;
    return last;
}

const char SYS_FFMPEG_HINT[] = "put ffmpeg.exe on PATH or beside galaxy-render.exe";

/* Where CreateProcess looks: the program's folder, the current one, the
 * system folders, then PATH. */
int sys_in_path(const char *program) {
    char found[MAX_PATH];
    return SearchPathA(NULL, program, ".exe", sizeof found, found, NULL) > 0;
}

/* One argument of a command line, quoted the way the C runtime's parser
 * reads it back (backslashes are literal except before a quote). */
static int append_arg(char *line, size_t size, size_t *len, const char *arg) {
    char buf[8400];
    size_t n = 0;
    buf[n++] = '"';
    for (const char *p = arg;; p++) {
        size_t slashes = 0;
        while (*p == '\\') {
            slashes++;
            p++;
        }
        /* Backslashes before a quote or the closing quote are doubled. */
        size_t copies = (*p == '"' || *p == '\0') ? slashes * 2 : slashes;
        if (n + copies + 3 >= sizeof buf)
            return -1;
        memset(buf + n, '\\', copies);
        n += copies;
        if (*p == '\0')
            break;
        if (*p == '"')
            buf[n++] = '\\';
        buf[n++] = *p;
    }
    buf[n++] = '"';
    if (*len + n + 2 > size)
        return -1;
    if (*len > 0)
        line[(*len)++] = ' ';
    memcpy(line + *len, buf, n);
    *len += n;
    line[*len] = '\0';
    return 0;
}

int sys_start(const char *const argv[], sys_child *child) {
    char line[16384];
    size_t len = 0;
    line[0] = '\0';
    for (int i = 0; argv[i]; i++) {
        if (append_arg(line, sizeof line, &len, argv[i]) != 0) {
            g_error = ERROR_FILENAME_EXCED_RANGE;
            return -1;
        }
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &sa, 0))
        return fail_win();
    /* Only the read end is inherited: ffmpeg must see the end of its input
     * when we close ours. */
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = read_end;
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi;
    BOOL ok = CreateProcessA(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
    DWORD err = GetLastError();
    CloseHandle(read_end);
    if (!ok) {
        CloseHandle(write_end);
        g_error = err;
        return -1;
    }
    CloseHandle(pi.hThread);
    child->handle = (long long)(intptr_t)pi.hProcess;
    child->input = (long long)(intptr_t)write_end;
    return 0;
}

int sys_write_all(sys_child *child, const void *data, size_t size) {
    const unsigned char *p = data;
    HANDLE h = (HANDLE)(intptr_t)child->input;
    while (size > 0) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : (DWORD)size, written = 0;
        if (!WriteFile(h, p, chunk, &written, NULL) || written == 0)
            return fail_win();
        p += written;
        size -= written;
    }
    return 0;
}

int sys_finish(sys_child *child, char *why, size_t why_size) {
    HANDLE process = (HANDLE)(intptr_t)child->handle;
    CloseHandle((HANDLE)(intptr_t)child->input);
    DWORD code = 1;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (code == 0)
        return 0;
    snprintf(why, why_size, "exit status %lu", (unsigned long)code);
    return -1;
}
