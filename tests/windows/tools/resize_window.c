/* Resizes the top-level window of a class to a client area of WxH, as a
 * user dragging its border would: Wine keeps its windows' sizes its own when
 * there is no window manager, so an X-side resize never reaches them.
 *   resize_window.exe CLASS W H      exit status 0 when it was resized */
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    HWND hwnd = FindWindowA(argv[1], NULL);
    if (!hwnd)
        return 1;
    RECT r = {0, 0, atoi(argv[2]), atoi(argv[3])};
    AdjustWindowRect(&r, (DWORD)GetWindowLongA(hwnd, GWL_STYLE), FALSE);
    return SetWindowPos(hwnd, NULL, 0, 0, r.right - r.left, r.bottom - r.top,
                        SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE) ? 0 : 1;
}
