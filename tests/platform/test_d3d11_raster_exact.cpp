// Rasterization against coverage and values worked out here from the
// geometry alone: triangles reaching behind the eye, two sloped depth planes
// crossing, exact coverage of triangles over many tiles under the top-left
// rule, shared edges drawn once, and instanced squares over several chunks
// on one, two and three workers.
#include "raster_fixture.h"

#include <stdlib.h>
#include <string>

namespace {

using namespace raster;

// Where a triangle of clip positions p (x, y, z, w) covers screen point
// (sx, sy) of a w by h viewport: the point of the triangle on that pixel's
// ray, c0 p0 + c1 p1 + c2 p2 with c summing to one. Covered when every c is
// positive and the point lies in front of the eye (and, with depth clip,
// between near and far); the colour is c's mix of the vertex colours.
struct Hit {
    bool in;
    double rgb[3];
};
Hit hit(const V *v, double sx, double sy, UINT w, UINT h, bool depth_clip) {
    const double nx = sx / w * 2 - 1, ny = 1 - sy / h * 2;
    double a[3][3];
    for (int k = 0; k < 3; k++) {
        a[0][k] = v[k].x - nx * v[k].w;
        a[1][k] = v[k].y - ny * v[k].w;
        a[2][k] = 1;
    }
    auto det = [](double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    const double d = det(a);
    Hit r = {false, {0, 0, 0}};
    if (d == 0) return r;
    double c[3], z = 0, ww = 0;
    for (int k = 0; k < 3; k++) { // Cramer's rule, right-hand side (0, 0, 1)
        double m[3][3];
        memcpy(m, a, sizeof m);
        m[0][k] = 0, m[1][k] = 0, m[2][k] = 1;
        c[k] = det(m) / d;
        if (c[k] < 0) return r;
        z += c[k] * v[k].z;
        ww += c[k] * v[k].w;
    }
    if (ww <= 0 || (depth_clip && (z < 0 || z > ww))) return r;
    r.in = true;
    for (int k = 0; k < 3; k++) r.rgb[0] += c[k] * v[k].r, r.rgb[1] += c[k] * v[k].g, r.rgb[2] += c[k] * v[k].b;
    return r;
}

// Triangles with one or two vertices behind the eye (w < 0) or on its
// plane (w = 0), with depth clip on and off, each vertex in its own primary
// colour: where they are drawn, and with which colours at the new vertices
// the clip makes. Pixels whose centre lies within 0.05 of an edge are not
// judged (which side they fall is the fill rule's, tested below).
TEST_F(RasterTable, TrianglesReachingBehindTheEye) {
    resize(16, 16);
    depth_state(FALSE, D3D11_COMPARISON_ALWAYS, FALSE);
    const V tris[][3] = {
        {{-0.9f, -0.5f, 0.6f, 1, 1, 0, 0, 1}, {0.9f, -0.5f, 0.6f, 1, 0, 1, 0, 1}, {0, 0.5f, -0.6f, -0.5f, 0, 0, 1, 1}},
        {{-0.9f, -0.9f, 0.3f, 1, 1, 0, 0, 1}, {0.9f, -0.7f, 0.5f, 1, 0, 1, 0, 1}, {0.2f, 0.6f, -0.3f, 0, 0, 0, 1, 1}},
        {{-0.9f, -0.9f, 0.5f, 1, 1, 0, 0, 1}, {0.8f, 0.7f, -0.4f, -0.3f, 0, 1, 0, 1}, {-0.5f, 0.9f, -0.2f, -0.1f, 0, 0, 1, 1}},
        {{0.9f, 0.9f, 0.9f, 2, 1, 0, 0, 1}, {-1.5f, 0.2f, -1.2f, -0.4f, 0, 1, 0, 1}, {0.6f, -0.9f, 0.2f, 0.8f, 0, 0, 1, 1}},
    };
    int judged = 0;
    for (const auto &t : tris)
        for (int clip = 0; clip < 2; clip++) {
            rasterizer(clip);
            clear(0, 0, 0, 0, 1);
            draw(t, 3, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
            std::vector<uint32_t> px = read_pixels(target);
            ASSERT_EQ(W * H, px.size());
            int lit = 0;
            for (UINT y = 0; y < H; y++)
                for (UINT x = 0; x < W; x++) {
                    const Hit h = hit(t, x + 0.5, y + 0.5, W, H, clip);
                    lit += h.in;
                    bool sure = true;
                    for (int k = 0; k < 4; k++)
                        sure &= hit(t, x + 0.5 + (k & 1 ? 0.05 : -0.05), y + 0.5 + (k & 2 ? 0.05 : -0.05), W, H, clip).in == h.in;
                    if (!sure) continue;
                    judged++;
                    const uint32_t got = px[y * W + x];
                    SCOPED_TRACE(testing::Message() << "triangle " << (&t - tris) << " clip " << clip << " at " << x << "," << y);
                    ASSERT_EQ(h.in ? 255u : 0u, got >> 24);
                    for (int c = 0; c < 3; c++) EXPECT_NEAR(h.in ? unorm8((float)h.rgb[c]) : 0, (int)(got >> 8 * c & 0xff), 2) << "channel " << c;
                }
            EXPECT_GT(lit, 3) << "triangle " << (&t - tris) << " clip " << clip << " covers too little to judge";
        }
    EXPECT_GT(judged, (int)(W * H * 6));
}

// Two planes sloped in depth, the second drawn over the first under LESS:
// it shows exactly where its depth, worked out at each pixel centre from
// its corners, lies below the first's. Depth runs linearly across the
// screen whatever the vertices' w, so each plane is drawn with w = 1 and
// with w of 0.5 to 3 at its corners (the same positions and depths after
// the divide); as a strip (a rectangle, on the CPU executor, when w is one)
// and as a list. Only pixels where the planes lie within 1e-5 of each other
// are left to rounding.
TEST_F(RasterTable, SlopedDepthPlanesCrossWhereTheirDepthsDo) {
    resize(32, 32);
    // Depth at the corners (-1,-1), (-1,1), (1,-1), (1,1) of clip space.
    const float za[4] = {0.2f, 0.3f, 0.9f, 1.0f}, zb[4] = {0.75f, 0.95f, 0.15f, 0.35f};
    const float cx[4] = {-1, -1, 1, 1}, cy[4] = {-1, 1, -1, 1};
    auto plane = [&](const float *z, const float *w, float r, float g, V *out) {
        for (int k = 0; k < 4; k++) out[k] = {cx[k] * w[k], cy[k] * w[k], z[k] * w[k], w[k], r, g, 0, 1};
    };
    auto depth_at = [&](const float *z, double sx, double sy) { // bilinear of an affine plane: affine
        const double u = sx / W, v = 1 - sy / H;
        return z[0] + (z[2] - z[0]) * u + (z[1] - z[0]) * v;
    };
    const float one[4] = {1, 1, 1, 1}, varied[4] = {0.5f, 2, 3, 1.25f};
    int judged = 0, second = 0;
    for (int shape = 0; shape < 8; shape++) {
        const float *wa = shape & 1 ? varied : one, *wb = shape & 2 ? varied : one;
        const bool strip = shape & 4;
        V a[4], b[4];
        plane(za, wa, 1, 0, a);
        plane(zb, wb, 0, 1, b);
        const V la[6] = {a[0], a[1], a[2], a[2], a[1], a[3]}, lb[6] = {b[0], b[1], b[2], b[2], b[1], b[3]};
        clear(0, 0, 0, 0, 1);
        depth_state(TRUE, D3D11_COMPARISON_LESS, TRUE);
        if (strip) draw(a, 4, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP), draw(b, 4, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        else draw(la, 6, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST), draw(lb, 6, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        std::vector<uint32_t> px = read_pixels(target);
        ASSERT_EQ(W * H, px.size());
        for (UINT y = 0; y < H; y++)
            for (UINT x = 0; x < W; x++) {
                const double da = depth_at(za, x + 0.5, y + 0.5), db = depth_at(zb, x + 0.5, y + 0.5);
                if (fabs(da - db) < 1e-5) continue;
                judged++;
                second += db < da;
                EXPECT_EQ(db < da ? rgba(0, 255, 0, 255) : rgba(255, 0, 0, 255), px[y * W + x])
                    << "shape " << shape << " at " << x << "," << y << " depths " << da << " " << db;
            }
    }
    // Both planes show, and almost no pixel is left out.
    EXPECT_GT(second, judged / 4);
    EXPECT_LT(second, judged * 3 / 4);
    EXPECT_GE(judged, (int)(W * H * 8 - 32));
}

// Whether the pixel centre at (px, py) is covered by the triangle of 16.8
// fixed-point vertices X, Y (y down), by Direct3D's top-left rule: inside
// every edge, or on an edge that is a top edge (horizontal, the triangle
// below it) or a left edge (the triangle to its right).
bool covers(const int64_t *X, const int64_t *Y, int64_t px, int64_t py) {
    const int64_t cx = px * 256 + 128, cy = py * 256 + 128;
    const int64_t area = (X[1] - X[0]) * (Y[2] - Y[0]) - (Y[1] - Y[0]) * (X[2] - X[0]);
    if (area == 0) return false;
    const int64_t s = area > 0 ? 1 : -1; // makes every edge function positive inside
    for (int k = 0; k < 3; k++) {
        const int i = k, j = (k + 1) % 3;
        const int64_t dx = X[j] - X[i], dy = Y[j] - Y[i];
        const int64_t e = s * (dx * (cy - Y[i]) - dy * (cx - X[i]));
        if (e > 0) continue;
        if (e < 0) return false;
        const bool top = dy == 0 && s * dx > 0;  // growing e downwards: the triangle lies below
        const bool left = dy != 0 && -s * dy > 0; // growing e rightwards: the triangle lies to the right
        if (!top && !left) return false;
    }
    return true;
}

// A 256 by 256 target is four by four tiles of the CPU executor. Vertices are
// given in 1/256 pixel; in clip space x = X / 32768 - 1 is exact, so both
// executors rasterize the very same fixed-point triangle.
V at_fixed(int64_t X, int64_t Y, float r) { return {(float)X / 32768.0f - 1, 1 - (float)Y / 32768.0f, 0.5f, 1, r, 0, 0, 1}; }

// Each triangle's coverage, pixel by pixel, in both windings: a big one over
// every tile, one beyond the target on three sides, slivers one pixel wide
// along the tile borders whose long edges run through pixel centres (a left
// edge, kept; a right edge, not; a top edge, kept; a bottom edge, not), and
// vertices on pixel centres.
TEST_F(RasterTable, CoverageAcrossTilesFollowsTheTopLeftRule) {
    resize(256, 256);
    depth_state(FALSE, D3D11_COMPARISON_ALWAYS, FALSE);
    const int64_t P = 256; // one pixel
    const int64_t tris[][6] = {
        {3 * P + 77, 2 * P + 191, 250 * P + 29, 40 * P + 128, 100 * P + 64, 253 * P + 192},
        {-100 * P, -50 * P + 3, 300 * P + 17, 100 * P, 50 * P, 400 * P + 101},
        {63 * P + 128, 5 * P + 128, 63 * P + 128, 250 * P + 128, 64 * P + 51, 128 * P},  // left edge through centres
        {64 * P + 128, 4 * P, 64 * P + 128, 251 * P, 63 * P + 205, 128 * P},             // right edge through centres
        {2 * P + 128, 127 * P + 128, 250 * P + 128, 127 * P + 128, 128 * P, 128 * P + 77}, // top edge through centres
        {2 * P + 128, 128 * P + 128, 250 * P + 128, 128 * P + 128, 128 * P, 128 * P + 51}, // bottom edge through centres
        {64 * P + 128, 64 * P + 128, 191 * P + 128, 64 * P + 128, 64 * P + 128, 191 * P + 128}, // on centres, over tile corners
        {0, 0, 256 * P, 0, 0, 256 * P + 1},
    };
    for (const auto &t : tris)
        for (int order = 0; order < 2; order++) {
            const int64_t X[3] = {t[0], order ? t[4] : t[2], order ? t[2] : t[4]};
            const int64_t Y[3] = {t[1], order ? t[5] : t[3], order ? t[3] : t[5]};
            const V v[3] = {at_fixed(X[0], Y[0], 1), at_fixed(X[1], Y[1], 1), at_fixed(X[2], Y[2], 1)};
            clear(0, 0, 0, 0, 1);
            draw(v, 3, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
            std::vector<uint32_t> px = read_pixels(target);
            ASSERT_EQ(W * H, px.size());
            int wrong = 0, covered = 0;
            for (UINT y = 0; y < H; y++)
                for (UINT x = 0; x < W; x++) {
                    const bool in = covers(X, Y, x, y);
                    covered += in;
                    if (px[y * W + x] == (in ? rgba(255, 0, 0, 255) : 0u)) continue;
                    if (wrong++ < 8) ADD_FAILURE() << "triangle " << (&t - tris) << " order " << order << " at " << x << "," << y;
                }
            EXPECT_EQ(0, wrong) << "triangle " << (&t - tris) << " order " << order << ", " << covered << " pixels covered";
        }
}

// A mesh over the whole target, its vertices off the pixel grid, on pixel
// centres and on tile borders, its edges running through pixel centres
// horizontally, vertically and diagonally: under additive blending every
// pixel is drawn exactly once.
TEST_F(RasterTable, SharedEdgesDrawEveryPixelOnce) {
    resize(256, 256);
    depth_state(FALSE, D3D11_COMPARISON_ALWAYS, FALSE);
    blend_add();
    const int64_t P = 256;
    // Grid lines (fixed point); interior points moved by the offsets below.
    const int64_t g[5] = {0, 64 * P + 128, 128 * P, 191 * P + 128, 256 * P};
    const int64_t dx[5][5] = {{0, 0, 0, 0, 0}, {0, 0, 37, -3 * P, 0}, {0, 5 * P + 128, 0, 1, 0}, {0, -128, 2 * P, 0, 0}, {0, 0, 0, 0, 0}};
    const int64_t dy[5][5] = {{0, 0, 0, 0, 0}, {0, 0, -91, 0, 0}, {0, 0, 0, 7 * P, 0}, {0, 11 * P, 0, -255, 0}, {0, 0, 0, 0, 0}};
    const float add = 0.4f;
    std::vector<V> mesh;
    for (int j = 0; j < 4; j++)
        for (int i = 0; i < 4; i++) {
            auto pt = [&](int a, int b) { return at_fixed(g[a] + dx[b][a], g[b] + dy[b][a], add); };
            const V q[4] = {pt(i, j), pt(i + 1, j), pt(i, j + 1), pt(i + 1, j + 1)};
            if ((i + j) & 1) mesh.insert(mesh.end(), {q[0], q[1], q[2], q[2], q[1], q[3]});
            else mesh.insert(mesh.end(), {q[0], q[1], q[3], q[0], q[3], q[2]});
        }
    for (int rects = 0; rects < 2; rects++) {
        clear(0, 0, 0, 0, 1);
        if (!rects) draw(mesh.data(), (UINT)mesh.size(), D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        // The grid's cells unmoved, each an axis-aligned strip of its own (a
        // rectangle, on the CPU executor), borders through pixel centres.
        for (int j = 0; j < 4 && rects; j++)
            for (int i = 0; i < 4; i++) {
                const V q[4] = {at_fixed(g[i], g[j], add), at_fixed(g[i + 1], g[j], add), at_fixed(g[i], g[j + 1], add),
                                at_fixed(g[i + 1], g[j + 1], add)};
                draw(q, 4, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
            }
        std::vector<uint32_t> px = read_pixels(target);
        ASSERT_EQ(W * H, px.size());
        int wrong = 0;
        for (UINT y = 0; y < H; y++)
            for (UINT x = 0; x < W; x++) {
                const uint32_t r = px[y * W + x] & 0xff;
                if (r == unorm8(add)) continue;
                if (wrong++ < 8)
                    ADD_FAILURE() << (rects ? "rectangles" : "mesh") << " at " << x << "," << y << ": red " << r << " (" << unorm8(add) << " is once)";
            }
        EXPECT_EQ(0, wrong) << (rects ? "rectangles" : "mesh");
    }
}

// ---- instanced squares over several chunks, on 1, 2 and 3 workers

// A square per instance from its corner, size (in pixels of a 128 by 128
// target) and blue (0..255), its corners' red and green running 0..1 along
// x and y; the conversions are the per-instance part of the program. The strip program
// takes the corner from the vertex index, the list program from a
// per-vertex buffer.
const char *const kSquareStripVS = R"(
struct VSOut { float4 pos : SV_Position; float4 col : COLOR0; };
VSOut main(float4 sq : SQUARE, uint vid : SV_VertexID) {
    float2 corner = float2(sq.x / 64.0 - 1.0, 1.0 - sq.y / 64.0);
    float size = sq.z / 64.0;
    float2 t = float2(vid & 1, vid >> 1);
    VSOut o;
    o.pos = float4(corner.x + t.x * size, corner.y - t.y * size, 0.5, 1);
    o.col = float4(t.x, t.y, sq.w / 255.0, 1);
    return o;
})";
const char *const kSquareListVS = R"(
struct VSOut { float4 pos : SV_Position; float4 col : COLOR0; };
VSOut main(float2 t : CORNER, float4 sq : SQUARE) {
    float2 corner = float2(sq.x / 64.0 - 1.0, 1.0 - sq.y / 64.0);
    float size = sq.z / 64.0;
    VSOut o;
    o.pos = float4(corner.x + t.x * size, corner.y - t.y * size, 0.5, 1);
    o.col = float4(t.x, t.y, sq.w / 255.0, 1);
    return o;
})";

struct Square {
    int x, y, size; // pixels
    int blue;
};

// The draw's squares: overlapping, some past the target's edges.
std::vector<Square> squares(int n, int w, int h) {
    std::vector<Square> s((size_t)n);
    uint32_t r = 12345;
    for (int i = 0; i < n; i++) {
        r = r * 1103515245u + 12345u;
        const int size = 2 + (int)(r >> 16) % 4;
        s[(size_t)i] = {(int)(r >> 4) % (w + 6) - 4, (int)(r >> 20) % (h + 6) - 4, size, i % 251};
    }
    return s;
}

struct InstancedSquares : D3D11Test {
    static constexpr int W = 128, H = 128; // two by two tiles
    // Draws n squares (list: two triangles each, else a strip) on a new
    // device with `threads` CPU workers; the target's pixels.
    std::vector<uint32_t> render(const char *threads, bool list, const std::vector<Square> &sq) {
        const char *was = getenv("HALVENOR_THREADS");
        const std::string saved = was ? was : "";
        setenv("HALVENOR_THREADS", threads, 1);
        release(ctx);
        release(dev);
        HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &dev, nullptr, &ctx);
        if (was) setenv("HALVENOR_THREADS", saved.c_str(), 1);
        else unsetenv("HALVENOR_THREADS");
        std::vector<uint32_t> px;
        EXPECT_EQ(S_OK, hr);
        if (hr != S_OK) return px;
        ID3DBlob *vb = compile_src(list ? kSquareListVS : kSquareStripVS, "vs_5_0"), *pb = compile_src(kPS, "ps_5_0");
        if (!vb || !pb) return px;
        ID3D11VertexShader *vs = nullptr;
        ID3D11PixelShader *ps = nullptr;
        ID3D11InputLayout *layout = nullptr;
        EXPECT_EQ(S_OK, dev->CreateVertexShader(vb->GetBufferPointer(), vb->GetBufferSize(), nullptr, &vs));
        EXPECT_EQ(S_OK, dev->CreatePixelShader(pb->GetBufferPointer(), pb->GetBufferSize(), nullptr, &ps));
        const D3D11_INPUT_ELEMENT_DESC el[2] = {
            {"SQUARE", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1},
            {"CORNER", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0}};
        EXPECT_EQ(S_OK, dev->CreateInputLayout(el, list ? 2 : 1, vb->GetBufferPointer(), vb->GetBufferSize(), &layout));
        vb->Release();
        pb->Release();
        std::vector<float> inst;
        for (const Square &s : sq)
            inst.insert(inst.end(), {(float)s.x, (float)s.y, (float)s.size, (float)s.blue});
        const float corners[6][2] = {{0, 0}, {1, 0}, {0, 1}, {0, 1}, {1, 0}, {1, 1}};
        ID3D11Buffer *bufs[2] = {};
        D3D11_BUFFER_DESC bd = {sizeof corners, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA init = {corners, 0, 0};
        EXPECT_EQ(S_OK, dev->CreateBuffer(&bd, &init, &bufs[0]));
        bd.ByteWidth = (UINT)(inst.size() * sizeof(float));
        init.pSysMem = inst.data();
        EXPECT_EQ(S_OK, dev->CreateBuffer(&bd, &init, &bufs[1]));
        ID3D11Texture2D *target = texture(W, H, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
        ID3D11RenderTargetView *rtv = nullptr;
        EXPECT_EQ(S_OK, dev->CreateRenderTargetView(target, nullptr, &rtv));
        if (vs && ps && layout && bufs[0] && bufs[1] && rtv) {
            D3D11_RASTERIZER_DESC rd = {D3D11_FILL_SOLID, D3D11_CULL_NONE, FALSE, 0, 0, 0, TRUE, FALSE, FALSE, FALSE};
            ID3D11RasterizerState *rs = nullptr;
            EXPECT_EQ(S_OK, dev->CreateRasterizerState(&rd, &rs));
            ctx->RSSetState(rs);
            const D3D11_VIEWPORT vp = {0, 0, (float)W, (float)H, 0, 1};
            ctx->RSSetViewports(1, &vp);
            const float black[4] = {0, 0, 0, 0};
            ctx->ClearRenderTargetView(rtv, black);
            ctx->OMSetRenderTargets(1, &rtv, nullptr);
            const UINT strides[2] = {8, 16}, offsets[2] = {0, 0};
            ctx->IASetVertexBuffers(0, 2, bufs, strides, offsets);
            ctx->IASetInputLayout(layout);
            ctx->IASetPrimitiveTopology(list ? D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST : D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
            ctx->VSSetShader(vs, nullptr, 0);
            ctx->PSSetShader(ps, nullptr, 0);
            ctx->DrawInstanced(list ? 6 : 4, (UINT)sq.size(), 0, 0);
            px = read_pixels(target);
            ctx->OMSetRenderTargets(0, nullptr, nullptr);
            rs->Release();
        }
        for (IUnknown *o : {(IUnknown *)vs, (IUnknown *)ps, (IUnknown *)layout, (IUnknown *)bufs[0], (IUnknown *)bufs[1],
                            (IUnknown *)target, (IUnknown *)rtv})
            if (o) o->Release();
        return px;
    }
};

// 140,000 squares: more than two chunks of the CPU executor's strips (a
// chunk shades 2^18 vertices) and three of its lists. Every pixel shows the
// last square over it, with the red and green of its place in that square;
// the CPU executor's pictures are the same bytes on 1, 2 and 3 workers.
TEST_F(InstancedSquares, ManyChunksDrawInOrderOnAnyWorkerCount) {
    const std::vector<Square> sq = squares(140000, W, H);
    // The expectation: the last square over each pixel, and its colour there.
    std::vector<uint32_t> want((size_t)W * H, 0);
    for (const Square &s : sq)
        for (int y = s.y; y < s.y + s.size; y++)
            for (int x = s.x; x < s.x + s.size; x++) {
                if (x < 0 || y < 0 || x >= W || y >= H) continue;
                const float u = (x - s.x + 0.5f) / s.size, v = (y - s.y + 0.5f) / s.size;
                want[(size_t)y * W + x] = rgba(unorm8(u), unorm8(v), (uint32_t)s.blue, 255);
            }
    for (int list = 0; list < 2; list++) {
        std::vector<uint32_t> first;
        for (const char *threads : {"1", "2", "3"}) {
            SCOPED_TRACE(testing::Message() << (list ? "list" : "strip") << ", " << threads << " workers");
            std::vector<uint32_t> px = render(threads, list, sq);
            ASSERT_EQ(want.size(), px.size());
            int wrong = 0;
            for (size_t i = 0; i < px.size(); i++) {
                bool near = true;
                for (int c = 0; c < 32; c += 8) near &= abs((int)(px[i] >> c & 0xff) - (int)(want[i] >> c & 0xff)) <= 1;
                if (!near && wrong++ < 8)
                    ADD_FAILURE() << "pixel " << i % W << "," << i / W << ": " << std::hex << px[i] << " want " << want[i];
            }
            EXPECT_EQ(0, wrong);
            if (!cpu_executor()) break; // worker counts are the CPU executor's
            if (first.empty()) first = px;
            else EXPECT_TRUE(first == px) << "pictures differ between worker counts";
        }
    }
}

} // namespace
