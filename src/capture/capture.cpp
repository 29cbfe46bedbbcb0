// Readback and PNG screenshots of the last rendered frame: copy the render
// texture to the staging texture, map it, pack its rows tightly.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "capture/capture.h" // before stb, which may call galaxy_png_deflate
extern "C" {
#include "out_file.h" // shared with the host programs, which write their files the same way
}

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Unbinds the render target so the texture can be copied; the next frame
// binds it again.
static void unbind_targets(Engine *e) { e->context->OMSetRenderTargets(0, nullptr, nullptr); }

static HRESULT copy_and_map(Engine *e, D3D11_MAPPED_SUBRESOURCE *m) {
    e->context->CopyResource(e->staging_tex, e->render_tex);
    e->context->Flush();
    return e->context->Map(e->staging_tex, 0, D3D11_MAP_READ, 0, m); // waits for the copy
}

static void pack_rows(const D3D11_MAPPED_SUBRESOURCE *m, unsigned char *dst, int w, int h) {
    const size_t row = (size_t)w * 4;
    for (int y = 0; y < h; y++)
        memcpy(dst + (size_t)y * row, (const unsigned char *)m->pData + (size_t)y * m->RowPitch, row);
}

int engine_readback(Engine *e, const unsigned char **pixels, int *width, int *height, int *stride) {
    if (!pixels || !width || !height || !stride) {
        set_error("readback: null output pointer");
        return -1;
    }
    if (!e->created || !e->render_tex || !e->staging_tex) {
        set_error("readback: not created");
        return -1;
    }
    const int w = e->width, h = e->height;
    unbind_targets(e);
    D3D11_MAPPED_SUBRESOURCE m;
    if (FAILED(copy_and_map(e, &m))) {
        set_error("readback: Map failed deviceremoved=0x%08lX", hr_code(e->device->GetDeviceRemovedReason()));
        return -1;
    }
    const int64_t need = (int64_t)w * 4 * h;
    if (!e->readback_buf || e->readback_size != need) {
        // Allocate before freeing: on failure the host's last buffer stays valid.
        unsigned char *buf = (unsigned char *)malloc((size_t)need);
        if (!buf) {
            e->context->Unmap(e->staging_tex, 0);
            set_error("out of memory (readback)");
            return -1;
        }
        free(e->readback_buf);
        e->readback_buf = buf;
        e->readback_size = (int)need;
    }
    pack_rows(&m, e->readback_buf, w, h);
    e->context->Unmap(e->staging_tex, 0);
    *pixels = e->readback_buf;
    *width = w;
    *height = h;
    *stride = w * 4;
    return 0;
}

// Every way the PNG can fail to reach its file gives the one text callers
// already match on; errno keeps the system's reason for hosts that print
// their own message (the path and strerror).
static int shot_failed() {
    const int err = errno;
    set_error("screenshot: stbi_write_png failed");
    errno = err;
    return -1;
}

// Puts the encoded PNG at path whole or not at all. An existing file is
// replaced by a rename once the new one is complete (a link's target, not the
// link); a device or FIFO gets the bytes written into it. The write and the
// close are checked: a full disk is an error, never a short file reported as
// written.
static out_file g_shot_file; // 13 KiB of names: kept off the host's (or a web worker's) small stack
static int write_whole(const char *path, const unsigned char *png, size_t len) {
    out_file &f = g_shot_file;
    if (out_begin(&f, path, nullptr, "", 1) != 0) return shot_failed();
    FILE *fp = fopen(f.write, "wb");
    int err = fp ? 0 : errno;
    if (fp) setvbuf(fp, nullptr, _IONBF, 0); // the PNG is whole in memory: one write, its error its own
    errno = 0;
    if (fp && fwrite(png, 1, len, fp) != len) err = errno ? errno : EIO;
    if (fp && fclose(fp) != 0 && !err) err = errno;
    if (err) {
        out_abort(&f);
        errno = err;
        return shot_failed();
    }
    if (out_commit(&f) != 0) return shot_failed();
    return 0;
}

int engine_screenshot(Engine *e, const char *path) {
    if (!path) {
        set_error("screenshot: null path");
        return -1;
    }
    if (!e->created || !e->render_tex) {
        set_error("screenshot: not created");
        return -1;
    }
    const int w = e->width, h = e->height;
    unbind_targets(e);
    if (!e->staging_tex) {
        set_error("screenshot: no staging texture");
        return -1;
    }
    D3D11_MAPPED_SUBRESOURCE m;
    HRESULT hr = copy_and_map(e, &m);
    if (FAILED(hr)) {
        set_error("screenshot: Map failed 0x%08lX deviceremoved=0x%08lX", hr_code(hr),
                  hr_code(e->device->GetDeviceRemovedReason()));
        return -1;
    }
    unsigned char *image = (unsigned char *)malloc((size_t)((int64_t)w * h * 4));
    if (!image) {
        e->context->Unmap(e->staging_tex, 0);
        set_error("out of memory (screenshot)");
        return -1;
    }
    pack_rows(&m, image, w, h);
    e->context->Unmap(e->staging_tex, 0);
    int len = 0;
    unsigned char *png = stbi_write_png_to_mem(image, w * 4, w, h, 4, &len);
    free(image);
    if (!png) return shot_failed(); // the encoder's own memory
    int rc = write_whole(path, png, (size_t)len);
    free(png);
    return rc;
}

int engine_wait_device(Engine *e) {
    if (!e->render_tex || !e->staging_tex) return -1;
    unbind_targets(e);
    D3D11_MAPPED_SUBRESOURCE m;
    if (FAILED(copy_and_map(e, &m))) return -1;
    e->context->Unmap(e->staging_tex, 0);
    return 0;
}
