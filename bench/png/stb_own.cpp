// stb_image_write with its own deflate, as the Windows DLL writes PNGs: the
// reference bench_png compares the other compressors with.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image_write.h>

unsigned char *png_with_stb_deflate(const unsigned char *rgba, int w, int h, int *len) {
    return stbi_write_png_to_mem(rgba, w * 4, w, h, 4, len);
}
