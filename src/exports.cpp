// The fourteen exported functions: thin forwards onto the one engine.
#include "exports.h"
#include <math.h>

#include "halvenor_galaxy.h"
#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"

Engine g_eng;
int g_ready;

extern "C" {

GALAXY_API int GALAXY_CALL galaxy_create(galaxy_window window, int width, int height) {
    int r = engine_create(&g_eng, (HWND)window, width, height);
    g_ready = (r == 0);
    return r == 0 ? 0 : -1;
}

GALAXY_API int GALAXY_CALL galaxy_create_offscreen(int width, int height) {
    int r = engine_create_offscreen(&g_eng, width, height);
    g_ready = (r == 0);
    return r == 0 ? 0 : -1;
}

GALAXY_API void GALAXY_CALL galaxy_frame(void) {
    if (g_ready) engine_frame(&g_eng);
}

GALAXY_API void GALAXY_CALL galaxy_resize(int width, int height) {
    if (g_ready) engine_resize(&g_eng, width, height);
}

GALAXY_API void GALAXY_CALL galaxy_set_mode(int mode) { engine_set_mode(&g_eng, mode); }

GALAXY_API void GALAXY_CALL galaxy_set_time_scale(float scale) {
    // A NaN would pass the clamp and make the simulated time NaN for good;
    // an infinity is no speed either. Both are ignored, like the camera's.
    if (!isfinite(scale)) return;
    if (scale < 0.0f) scale = 0.0f;
    else if (scale > 100.0f) scale = 100.0f;
    g_eng.time_scale = scale;
}

GALAXY_API void GALAXY_CALL galaxy_set_quality(int quality) { engine_set_quality(&g_eng, quality); }

GALAXY_API void GALAXY_CALL galaxy_set_camera(float yaw, float pitch, float distance) {
    engine_set_camera(&g_eng, yaw, pitch, distance);
}

GALAXY_API void GALAXY_CALL galaxy_adjust_camera(float yaw_change, float pitch_change, float zoom_factor) {
    engine_adjust_camera(&g_eng, yaw_change, pitch_change, zoom_factor);
}

GALAXY_API int GALAXY_CALL galaxy_readback(const unsigned char **pixels, int *width, int *height, int *stride) {
    if (!g_ready) return -1;
    return engine_readback(&g_eng, pixels, width, height, stride);
}

GALAXY_API int GALAXY_CALL galaxy_screenshot(const char *path) {
    if (!g_ready) return -1;
    return engine_screenshot(&g_eng, path);
}

GALAXY_API const char *GALAXY_CALL galaxy_get_error(void) { return galaxy_error_get(); }

static const char k_version[] = "1.0.0";

GALAXY_API const char *GALAXY_CALL galaxy_version(void) { return k_version; }

GALAXY_API void GALAXY_CALL galaxy_destroy(void) {
    engine_destroy(&g_eng);
    g_ready = 0;
}

} // extern "C"
