/* The Windows part of writing output files safely: what a path is, the
 * temporary file beside it and the replacing rename. See out_file.h. Here a
 * "special" file is a character device (NUL, CON, a serial port) or a pipe. */
#include "out_file.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

/* "cannot write PATH: the system's reason", without Windows' ".\r\n". */
static int fail_code(out_file *f, const char *path, DWORD code) {
    char reason[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0,
                             reason, sizeof reason, NULL);
    while (n > 0 && strchr(".\r\n ", reason[n - 1]))
        reason[--n] = '\0';
    if (n == 0)
        snprintf(reason, sizeof reason, "error %lu", (unsigned long)code);
    snprintf(f->error, sizeof f->error, "cannot write %s: %s", path, reason);
    return -1;
}

static int fail_last(out_file *f, const char *path) { return fail_code(f, path, GetLastError()); }

/* The directory part of path, "." when it has none; both separators count,
 * and a drive's colon ("C:x.png" is in C:'s current directory). */
static void dir_of(const char *path, char *out, size_t size) {
    const char *sep = NULL;
    for (const char *p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            sep = p;
    if (!sep && path[0] && path[1] == ':')
        snprintf(out, size, "%.2s.", path);
    else if (!sep)
        snprintf(out, size, ".");
    else if (sep == path || (sep == path + 2 && path[1] == ':'))
        snprintf(out, size, "%.*s", (int)(sep - path + 1), path); /* "\" or "C:\" */
    else
        snprintf(out, size, "%.*s", (int)(sep - path), path);
}

int out_sys_inspect(out_file *f, const char *path) {
    /* Opened for no access at all: enough to ask what it is, and it follows
     * links to their target. */
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err != ERROR_FILE_NOT_FOUND)
            return fail_code(f, path, err);
        f->kind = OUT_NEW;
        snprintf(f->target, sizeof f->target, "%s", path);
        char dir[OUT_PATH_MAX];
        dir_of(path, dir, sizeof dir);
        DWORD a = GetFileAttributesA(dir);
        if (a == INVALID_FILE_ATTRIBUTES)
            return fail_last(f, path);
        if (!(a & FILE_ATTRIBUTE_DIRECTORY))
            return fail_code(f, path, ERROR_DIRECTORY);
        return 0;
    }
    int rc = 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        f->kind = OUT_SPECIAL;
        snprintf(f->target, sizeof f->target, "%s", path);
    } else if (!GetFileInformationByHandle(h, &info)) {
        rc = fail_last(f, path);
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        snprintf(f->error, sizeof f->error, "cannot write %s: Is a directory", path);
        rc = -1;
    } else {
        f->kind = OUT_REGULAR;
        snprintf(f->target, sizeof f->target, "%s", path);
        /* A link: its target is replaced, the link stays. */
        DWORD a = GetFileAttributesA(path);
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT)) {
            DWORD n = GetFinalPathNameByHandleA(h, f->target, sizeof f->target, FILE_NAME_NORMALIZED);
            if (n == 0 || n >= sizeof f->target)
                rc = fail_last(f, path);
        }
    }
    CloseHandle(h);
    return rc;
}

int out_sys_reserve(out_file *f, const char *tmp_ext) {
    if (f->kind == OUT_SPECIAL) {
        char dir[MAX_PATH + 1];
        DWORD n = GetTempPathA(sizeof dir, dir);
        if (n == 0 || n > sizeof dir)
            return fail_last(f, f->target);
        if (snprintf(f->write, sizeof f->write, "%shalvenor-out-%lu-%lu%s", dir, GetCurrentProcessId(),
                     GetTickCount(), tmp_ext) >= (int)sizeof f->write)
            return fail_code(f, f->target, ERROR_FILENAME_EXCED_RANGE);
    } else if (snprintf(f->write, sizeof f->write, "%s.%lu.tmp%s", f->target, GetCurrentProcessId(),
                        tmp_ext) >= (int)sizeof f->write) {
        return fail_code(f, f->target, ERROR_FILENAME_EXCED_RANGE);
    }
    HANDLE h = CreateFileA(f->write, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return fail_last(f, f->target);
    CloseHandle(h);
    return 0;
}

/* rename() of the C runtime refuses to replace an existing file. */
int out_sys_replace(out_file *f) {
    if (!MoveFileExA(f->write, f->target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail_last(f, f->target);
    return 0;
}

int out_sys_copy(out_file *f) {
    HANDLE in = CreateFileA(f->write, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (in == INVALID_HANDLE_VALUE)
        return fail_last(f, f->target);
    HANDLE out = CreateFileA(f->target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
    if (out == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        CloseHandle(in);
        return fail_code(f, f->target, err);
    }
    char buf[65536];
    DWORD err = 0, got, put;
    while (!err) {
        if (!ReadFile(in, buf, sizeof buf, &got, NULL)) {
            err = GetLastError();
            break;
        }
        if (got == 0)
            break;
        for (DWORD done = 0; done < got && !err; done += put)
            if (!WriteFile(out, buf + done, got - done, &put, NULL) || put == 0)
                err = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    }
    CloseHandle(in);
    CloseHandle(out);
    return err ? fail_code(f, f->target, err) : 0;
}

void out_sys_remove(const char *path) { (void)DeleteFileA(path); }

int out_make_dir(const char *dir, char *err, size_t err_size) {
    out_file f;
    if (!CreateDirectoryA(dir, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fail_last(&f, dir);
        snprintf(err, err_size, "cannot create %s", f.error + strlen("cannot write "));
        return -1;
    }
    DWORD a = GetFileAttributesA(dir);
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
        fail_code(&f, dir, a == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY);
        snprintf(err, err_size, "cannot use %s", f.error + strlen("cannot write "));
        return -1;
    }
    return 0;
}
