/* The viewer's window on Windows. */
#include "viewer_window.h"

#include <stdio.h>
#include <windows.h>
#include <windowsx.h>

const char VIEWER_WINDOW_KIND[] = "Win32";

static HWND g_hwnd;
static viewer *g_viewer;

static LRESULT CALLBACK on_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    viewer *v = g_viewer;
    switch (msg) {
    case WM_CHAR:
        viewer_on_key(v, (int)wp);
        return 0;
    case WM_LBUTTONDOWN:
        /* Keep the drag when the pointer leaves the window. */
        SetCapture(hwnd);
        viewer_on_drag_start(v, GET_X_LPARAM(lp), GET_Y_LPARAM(lp));
        return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
        if (msg == WM_LBUTTONUP)
            ReleaseCapture();
        viewer_on_drag_end(v);
        return 0;
    case WM_MOUSEMOVE:
        viewer_on_pointer(v, GET_X_LPARAM(lp), GET_Y_LPARAM(lp));
        return 0;
    case WM_MOUSEWHEEL:
        viewer_on_wheel(v, GET_WHEEL_DELTA_WPARAM(wp) > 0 ? 1 : -1);
        return 0;
    case WM_SIZE:
        /* A minimized window has no size worth rendering at. */
        viewer_on_visible(v, wp != SIZE_MINIMIZED);
        if (wp != SIZE_MINIMIZED)
            viewer_on_resize(v, LOWORD(lp), HIWORD(lp));
        return 0;
    case WM_CLOSE:
        /* The window stays until the renderer is gone; window_close ends it. */
        viewer_on_close(v);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

int window_open(viewer *v, int width, int height) {
    g_viewer = v;
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = on_message;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.hCursor = LoadCursor(NULL, IDC_ARROW);
    wc.lpszClassName = "halvenor-galaxy";
    if (!RegisterClassA(&wc)) {
        fprintf(stderr, "galaxy-viewer: cannot register the window class (error %lu)\n", GetLastError());
        return -1;
    }
    /* width x height is the client area, where the frames go. */
    RECT r = {0, 0, width, height};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    g_hwnd = CreateWindowA("halvenor-galaxy", "halvenor-galaxy", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, NULL, NULL, wc.hInstance,
                           NULL);
    if (!g_hwnd) {
        fprintf(stderr, "galaxy-viewer: cannot open a window (error %lu)\n", GetLastError());
        return -1;
    }
    ShowWindow(g_hwnd, SW_SHOW);
    UpdateWindow(g_hwnd);
    return 0;
}

galaxy_window window_handle(void) { return (galaxy_window)g_hwnd; }

void window_pump(viewer *v, int wait) {
    g_viewer = v;
    MSG msg;
    if (wait && GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void window_set_title(const char *title) { SetWindowTextA(g_hwnd, title); }

void window_close(void) {
    DestroyWindow(g_hwnd);
    g_hwnd = NULL;
}
