/* A host as a Windows developer writes it against the release kit: linked
 * through an import library (not loaded by name), it renders the black hole
 * offscreen at simulated time 0 (the picture galaxy-check makes as
 * offscreen_black_hole.png) and writes it to the PNG named by its argument. */
#include <stdio.h>
#include <string.h>

#include "halvenor_galaxy.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: kit-host OUT.png\n");
        return 2;
    }
    if (strcmp(galaxy_version(), "1.0.0") != 0) {
        fprintf(stderr, "kit-host: version %s\n", galaxy_version());
        return 1;
    }
    if (galaxy_create_offscreen(320, 180) != 0) {
        fprintf(stderr, "kit-host: create: %s\n", galaxy_get_error());
        return 1;
    }
    galaxy_set_time_scale(0.0f);
    galaxy_set_mode(GALAXY_MODE_BLACK_HOLE);
    galaxy_frame();
    int status = 0;
    if (galaxy_screenshot(argv[1]) != 0) {
        fprintf(stderr, "kit-host: screenshot: %s\n", galaxy_get_error());
        status = 1;
    }
    galaxy_destroy();
    return status;
}
