/* The viewer's window, one small file per system (viewer_x11.c,
 * viewer_win32.c), and the events it hands to the shared viewer
 * (galaxy_viewer.c). A program has one window. */
#ifndef VIEWER_WINDOW_H
#define VIEWER_WINDOW_H

#include "halvenor_galaxy.h"

typedef struct viewer viewer;

/* Keys arrive as the character they type ('1', 'q', '+', ' ', 'Q' with
 * Shift); keys without one as these. */
enum { VIEWER_KEY_ESCAPE = 27 };

void viewer_on_key(viewer *v, int key);
void viewer_on_drag_start(viewer *v, int x, int y);
void viewer_on_drag_end(viewer *v);
void viewer_on_pointer(viewer *v, int x, int y);
/* clicks > 0 toward the scene, < 0 away from it. */
void viewer_on_wheel(viewer *v, int clicks);
void viewer_on_resize(viewer *v, int width, int height);
void viewer_on_visible(viewer *v, int visible);
void viewer_on_close(viewer *v);

/* What --help calls the window: "an X11 window (DISPLAY)". */
extern const char VIEWER_WINDOW_KIND[];

/* Opens and shows the window; prints why not and returns -1 on failure. */
int window_open(viewer *v, int width, int height);
galaxy_window window_handle(void);
/* Hands every pending event to v; with wait, first waits for one. */
void window_pump(viewer *v, int wait);
void window_set_title(const char *title);
void window_close(void);

#endif
