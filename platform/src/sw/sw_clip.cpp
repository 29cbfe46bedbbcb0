// Clipping: primitives wholly outside one plane dropped, the rest cut
// against the planes some vertex lies outside of (near, far, and a guard
// band around the viewport wide enough that the rest never matters), the
// new vertices' records interpolated into the bin set's clipped records.
#include "sw/sw_stages.h"

#include <algorithm>

namespace sw {

namespace {

// Signed distance of a clip position to plane k (inside >= 0).
float plane_distance(const float *p, int k, float gx, float gy) {
    switch (k) {
    case 0: return p[0] + gx * p[3];
    case 1: return gx * p[3] - p[0];
    case 2: return p[1] + gy * p[3];
    case 3: return gy * p[3] - p[1];
    case 4: return p[2];
    case 5: return p[3] - p[2];
    default: return p[3] - 1e-20f;
    }
}

// a + (b - a) t as a new record; a and b may point into the records it grows.
uint32_t new_clip_vertex(const SwDevice *dev, BinSet &bs, const float *a, const float *b, float t) {
    float v[4 + 4 * SW_MAX_VARYINGS];
    for (uint32_t k = 0; k < dev->ds.rec; k++) v[k] = a[k] + (b[k] - a[k]) * t;
    size_t at = bs.clipped.size();
    bs.clipped.insert(bs.clipped.end(), v, v + dev->ds.rec);
    bs.words += dev->ds.rec;
    return kClipRef | (uint32_t)(at / dev->ds.rec);
}

} // namespace

void clip_and_setup(SwDevice *dev, BinSet &bs, const uint32_t *v, int n, float gx, float gy) {
    const bool depth_clip = dev->ds.d->depth_clip;
    uint32_t codes[3], all = ~0u, any = 0;
    for (int k = 0; k < n; k++) {
        codes[k] = outcode(vertex_record(dev, bs, v[k]), gx, gy, depth_clip);
        all &= codes[k];
        any |= codes[k];
    }
    if (all) return; // entirely outside one plane
    if (!any) {
        if (n == 3) setup_triangle(dev, bs, v[0], v[1], v[2]);
        else setup_line(dev, bs, v[0], v[1]);
        return;
    }
    if (n == 2) { // a segment: shrink its parameter range plane by plane
        const float *pa = vertex_record(dev, bs, v[0]), *pb = vertex_record(dev, bs, v[1]);
        float t0 = 0.0f, t1 = 1.0f;
        for (int plane = 0; plane < 7; plane++) {
            float da = plane_distance(pa, plane, gx, gy), db = plane_distance(pb, plane, gx, gy);
            if (da < 0 && db < 0) return;
            if (da < 0) t0 = std::max(t0, da / (da - db));
            if (db < 0) t1 = std::min(t1, da / (da - db));
        }
        if (t0 >= t1) return;
        uint32_t a = t0 > 0.0f ? new_clip_vertex(dev, bs, pa, pb, t0) : v[0];
        pa = vertex_record(dev, bs, v[0]);
        pb = vertex_record(dev, bs, v[1]);
        uint32_t b = t1 < 1.0f ? new_clip_vertex(dev, bs, pa, pb, t1) : v[1];
        setup_line(dev, bs, a, b);
        return;
    }
    // Sutherland-Hodgman against the planes some vertex is outside of.
    uint32_t poly[16], next[16];
    int count = 3;
    for (int k = 0; k < 3; k++) poly[k] = v[k];
    for (int plane = 0; plane < 7 && count > 0; plane++) {
        uint32_t bit = plane == 6 ? 64u : 1u << plane;
        if (!(any & bit)) continue;
        int out = 0;
        for (int k = 0; k < count; k++) {
            uint32_t a = poly[k], b = poly[(k + 1) % count];
            const float *pa = vertex_record(dev, bs, a), *pb = vertex_record(dev, bs, b);
            float da = plane_distance(pa, plane, gx, gy), db = plane_distance(pb, plane, gx, gy);
            if (da >= 0) next[out++] = a;
            if ((da >= 0) != (db >= 0) && out < 16) next[out++] = new_clip_vertex(dev, bs, pa, pb, da / (da - db));
            if (out >= 15) break;
        }
        count = out;
        for (int k = 0; k < count; k++) poly[k] = next[k];
    }
    for (int k = 1; k + 1 < count; k++) setup_triangle(dev, bs, poly[0], poly[k], poly[k + 1]);
}

} // namespace sw
