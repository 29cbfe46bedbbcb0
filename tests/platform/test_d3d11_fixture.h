// Shared fixture of the platform tests: a WARP device and its context. The
// suite runs twice (see tests/CMakeLists.txt): on the CPU executor, and with
// HALVENOR_EXECUTOR=vulkan on lavapipe.
#pragma once
#include <d3d11.h>
#include <dxgi1_2.h>
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>

#include "executor.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <vector>


template <class T> void release(T *&p) {
    if (p) p->Release();
    p = nullptr;
}

struct D3D11Test : testing::Test {
    ID3D11Device *dev = nullptr;
    ID3D11DeviceContext *ctx = nullptr;
    int live_before = 0;

    void SetUp() override {
        plat_fail_clear();
        live_before = plat_live_objects();
        ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                          &dev, nullptr, &ctx));
    }
    void TearDown() override {
        release(ctx);
        release(dev);
        plat_fail_clear();
        plat_record_end();
        EXPECT_EQ(live_before, plat_live_objects()) << "objects leaked";
    }

    ID3D11Texture2D *texture(UINT w, UINT h, D3D11_USAGE usage, UINT bind, UINT cpu) {
        D3D11_TEXTURE2D_DESC d = {w, h, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, usage, bind, cpu, 0};
        ID3D11Texture2D *t = nullptr;
        EXPECT_EQ(S_OK, dev->CreateTexture2D(&d, nullptr, &t));
        return t;
    }

    // Reads a DEFAULT texture back through a STAGING copy, tightly packed.
    std::vector<uint32_t> read_pixels(ID3D11Texture2D *src) {
        D3D11_TEXTURE2D_DESC d;
        src->GetDesc(&d);
        ID3D11Texture2D *st = texture(d.Width, d.Height, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
        std::vector<uint32_t> px;
        if (!st) return px;
        ctx->CopyResource(st, src);
        D3D11_MAPPED_SUBRESOURCE m;
        if (ctx->Map(st, 0, D3D11_MAP_READ, 0, &m) == S_OK) {
            for (UINT y = 0; y < d.Height; y++) {
                const uint32_t *row = (const uint32_t *)((const uint8_t *)m.pData + (size_t)y * m.RowPitch);
                px.insert(px.end(), row, row + d.Width);
            }
            ctx->Unmap(st, 0);
        }
        st->Release();
        return px;
    }
};

// RGBA8 pixel as read from memory on a little-endian machine.
inline uint32_t rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | g << 8 | b << 16 | a << 24; }
