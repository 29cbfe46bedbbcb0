/* halvenor-galaxy: real-time renderer of four procedural astronomical scenes.
 *
 * One engine per loaded library. Create it for a window (galaxy_create) or
 * offscreen (galaxy_create_offscreen), call galaxy_frame once per frame, read
 * frames back with galaxy_readback or galaxy_screenshot, and galaxy_destroy
 * before unloading. Functions returning int give 0 on success and -1 on
 * failure; galaxy_get_error then says why.
 *
 * Threads: the interface is single-threaded. The library takes no locks;
 * the host makes every call from one thread at a time (the same thread is
 * simplest), never two calls at once. The error text and the readback
 * buffer are shared by all callers.
 *
 * Presentation: a windowed frame whose back buffer, resize or Present fails
 * sets the error text ("Present failed: 0x887A0005", "ResizeBuffers failed:
 * ...") and costs only that frame; the engine stays created, and the next
 * galaxy_frame resizes and presents again.
 */
#ifndef HALVENOR_GALAXY_H
#define HALVENOR_GALAXY_H

#if defined(_WIN32)
#  define GALAXY_CALL __cdecl
#  if defined(GALAXY_BUILDING)
#    define GALAXY_API __declspec(dllexport)
#  else
#    define GALAXY_API __declspec(dllimport)
#  endif
#else
#  define GALAXY_CALL
#  define GALAXY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's window: an HWND on Windows, an X11 Window id cast to a pointer
 * on Linux. */
typedef void *galaxy_window;

/* Scene modes for galaxy_set_mode. */
enum {
    GALAXY_MODE_SOLAR_SYSTEM = 0,
    GALAXY_MODE_GALAXY = 1,
    GALAXY_MODE_BLACK_HOLE = 2,
    GALAXY_MODE_ASTEROID_FIELD = 3
};

GALAXY_API int GALAXY_CALL galaxy_create(galaxy_window window, int width, int height);
GALAXY_API int GALAXY_CALL galaxy_create_offscreen(int width, int height);
GALAXY_API void GALAXY_CALL galaxy_frame(void);
GALAXY_API void GALAXY_CALL galaxy_resize(int width, int height);
GALAXY_API void GALAXY_CALL galaxy_set_mode(int mode);
GALAXY_API void GALAXY_CALL galaxy_set_time_scale(float scale);
GALAXY_API void GALAXY_CALL galaxy_set_quality(int quality);
GALAXY_API void GALAXY_CALL galaxy_set_camera(float yaw, float pitch, float distance);
GALAXY_API void GALAXY_CALL galaxy_adjust_camera(float yaw_change, float pitch_change, float zoom_factor);
/* Pixels are RGBA8, rows top to bottom, stride == width * 4; the buffer
 * belongs to the library and stays valid until the next readback of another
 * size. */
GALAXY_API int GALAXY_CALL galaxy_readback(const unsigned char **pixels, int *width, int *height, int *stride);
GALAXY_API int GALAXY_CALL galaxy_screenshot(const char *path);
GALAXY_API const char *GALAXY_CALL galaxy_get_error(void);
GALAXY_API const char *GALAXY_CALL galaxy_version(void);
GALAXY_API void GALAXY_CALL galaxy_destroy(void);

#ifdef __cplusplus
}
#endif

#endif /* HALVENOR_GALAXY_H */
