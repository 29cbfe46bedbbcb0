/* The viewer's window on X11. */
#define _XOPEN_SOURCE 700 /* gethostname */
#include "viewer_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

const char VIEWER_WINDOW_KIND[] = "X11, on DISPLAY";

static Display *g_dpy;
static Window g_win;
static Atom g_wm_delete;

/* The character a key types; Latin-1 keysyms are their own character. */
static int key_of(XKeyEvent *e) {
    char text[8];
    KeySym sym = NoSymbol;
    XLookupString(e, text, sizeof text, &sym, NULL);
    switch (sym) {
    case XK_Escape: return VIEWER_KEY_ESCAPE;
    case XK_KP_Add: return '+';
    case XK_KP_Subtract: return '-';
    default: return sym < 0x100 ? (int)sym : 0;
    }
}

static void on_event(viewer *v, XEvent *e) {
    switch (e->type) {
    case KeyPress:
        viewer_on_key(v, key_of(&e->xkey));
        break;
    case ButtonPress:
        if (e->xbutton.button == Button1)
            viewer_on_drag_start(v, e->xbutton.x, e->xbutton.y);
        else if (e->xbutton.button == Button4 || e->xbutton.button == Button5)
            viewer_on_wheel(v, e->xbutton.button == Button4 ? 1 : -1);
        break;
    case ButtonRelease:
        if (e->xbutton.button == Button1)
            viewer_on_drag_end(v);
        break;
    case MotionNotify:
        viewer_on_pointer(v, e->xmotion.x, e->xmotion.y);
        break;
    case ConfigureNotify:
        viewer_on_resize(v, e->xconfigure.width, e->xconfigure.height);
        break;
    case MapNotify:
        viewer_on_visible(v, 1);
        break;
    case UnmapNotify:
        viewer_on_visible(v, 0);
        break;
    case ClientMessage:
        if ((Atom)e->xclient.data.l[0] == g_wm_delete)
            viewer_on_close(v);
        break;
    default:
        break;
    }
}

int window_open(viewer *v, int width, int height) {
    (void)v;
    g_dpy = XOpenDisplay(NULL);
    if (!g_dpy) {
        const char *d = getenv("DISPLAY");
        fprintf(stderr, "galaxy-viewer: cannot open X display '%s'\n", d ? d : "(DISPLAY not set)");
        return -1;
    }
    int screen = DefaultScreen(g_dpy);
    g_win = XCreateSimpleWindow(g_dpy, RootWindow(g_dpy, screen), 0, 0, (unsigned)width,
                                (unsigned)height, 0, BlackPixel(g_dpy, screen),
                                BlackPixel(g_dpy, screen));
    XSelectInput(g_dpy, g_win, KeyPressMask | ButtonPressMask | ButtonReleaseMask |
                               Button1MotionMask | StructureNotifyMask);
    g_wm_delete = XInternAtom(g_dpy, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(g_dpy, g_win, &g_wm_delete, 1);
    XStoreName(g_dpy, g_win, "halvenor-galaxy");
    /* Found by window managers and "xdotool search --classname/--pid". */
    XClassHint hint = {"galaxy-viewer", "Galaxy-viewer"};
    XSetClassHint(g_dpy, g_win, &hint);
    unsigned long pid = (unsigned long)getpid();
    XChangeProperty(g_dpy, g_win, XInternAtom(g_dpy, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, (const unsigned char *)&pid, 1);
    char host[256];
    if (gethostname(host, sizeof host) == 0) {
        host[sizeof host - 1] = '\0';
        char *list[1] = {host};
        XTextProperty machine;
        if (XStringListToTextProperty(list, 1, &machine)) {
            XSetWMClientMachine(g_dpy, g_win, &machine);
            XFree(machine.value);
        }
    }
    XMapWindow(g_dpy, g_win);
    /* The library talks to the server over its own connection: the window
     * must exist there before galaxy_create. */
    XSync(g_dpy, False);
    return 0;
}

galaxy_window window_handle(void) { return (galaxy_window)(uintptr_t)g_win; }

void window_pump(viewer *v, int wait) {
    while (wait || XPending(g_dpy) > 0) {
        XEvent e;
        XNextEvent(g_dpy, &e);
        on_event(v, &e);
        wait = 0;
    }
}

void window_set_title(const char *title) {
    XStoreName(g_dpy, g_win, title);
    XFlush(g_dpy);
}

void window_close(void) {
    XDestroyWindow(g_dpy, g_win);
    XCloseDisplay(g_dpy);
}
