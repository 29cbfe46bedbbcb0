/* Tells a finished frame from one an interrupted or failed run left behind,
 * so a re-run renders only what is not already there. Every chunk's CRC must
 * hold, the file must end exactly at IEND, and the image must decode to the
 * size asked: a cut-short write, a damaged byte or a frame of another size
 * all fail one of these. */
#define _POSIX_C_SOURCE 200809L
#include "png_whole.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#include <stb_image.h>

static uint32_t be32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

/* PNG's CRC-32 (ISO 3309), a byte at a time from a table made on first use:
 * a re-run checks every frame of its range, megabytes each. */
static uint32_t crc32_of(const unsigned char *p, size_t n) {
    static uint32_t table[256];
    if (table[1] == 0) {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t c = b;
            for (int k = 0; k < 8; k++)
                c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
            table[b] = c;
        }
    }
    uint32_t c = 0xffffffffu;
    for (size_t i = 0; i < n; i++)
        c = table[(c ^ p[i]) & 0xffu] ^ (c >> 8);
    return ~c;
}

/* The chunks from the signature to IEND, each with its CRC intact, IHDR first
 * with the size asked, and nothing after IEND. */
static int chunks_whole(const unsigned char *b, size_t n, int width, int height) {
    static const unsigned char sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (n < 8 + 25 + 12 || memcmp(b, sig, 8) != 0)
        return 0;
    if (be32(b + 8) != 13 || memcmp(b + 12, "IHDR", 4) != 0 ||
        be32(b + 16) != (uint32_t)width || be32(b + 20) != (uint32_t)height)
        return 0;
    size_t pos = 8;
    while (n - pos >= 12) {
        size_t len = be32(b + pos);
        if (len > n - pos - 12)
            return 0;
        if (crc32_of(b + pos + 4, len + 4) != be32(b + pos + 8 + len))
            return 0;
        if (memcmp(b + pos + 4, "IEND", 4) == 0)
            return pos + 12 + len == n;
        pos += 12 + len;
    }
    return 0;
}

int png_is_whole(const char *path, int width, int height) {
    FILE *f = fopen(path, "rb");
    if (!f)
        return 0;
    struct stat st;
    unsigned char *b = NULL;
    int whole = 0;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size < INT32_MAX) {
        size_t n = (size_t)st.st_size;
        b = malloc(n);
        if (b && fread(b, 1, n, f) == n && chunks_whole(b, n, width, height)) {
            int w, h, comp;
            unsigned char *px = stbi_load_from_memory(b, (int)n, &w, &h, &comp, 0);
            whole = px && w == width && h == height;
            stbi_image_free(px);
        }
    }
    free(b);
    fclose(f);
    return whole;
}
