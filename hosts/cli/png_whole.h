#ifndef GALAXY_RENDER_PNG_WHOLE_H
#define GALAXY_RENDER_PNG_WHOLE_H

/* 1 when path is a whole PNG image of width x height, 0 otherwise (missing,
 * cut short, damaged, another size). */
int png_is_whole(const char *path, int width, int height);

#endif
