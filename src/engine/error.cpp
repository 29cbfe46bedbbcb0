// The library's single error text.
#include <stdarg.h>
#include <stdio.h>

#include "engine/engine.h"

char g_error[1024];

void set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_error, sizeof g_error, fmt, ap); // cuts at 1023 and terminates
    va_end(ap);
}

void clear_error(void) { g_error[0] = '\0'; }

const char *galaxy_error_get(void) { return g_error[0] ? g_error : "no error"; }
