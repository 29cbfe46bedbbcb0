// The eight planets and their motion on fixed ellipses about the sun.
#include <math.h>

#include "content/content.h"

const Planet PLANETS[8] = {
    {18.0f, 0.007f, 0.0f, 1.9f, 0.4f, 3.3f, {0.75f, 0.65f, 0.45f}},
    {30.0f, 0.009f, 0.009f, 3.2f, 2.1f, 5.0f, {0.8f, 0.7f, 0.5f}},
    {42.0f, 0.017f, 0.0f, 5.0f, 4.0f, 4.5f, {0.35f, 0.55f, 0.95f}},
    {55.0f, 0.093f, 0.041f, 7.8f, 1.2f, 4.8f, {0.95f, 0.45f, 0.3f}},
    {105.0f, 0.048f, 0.032f, 18.0f, 3.3f, 9.5f, {0.9f, 0.55f, 0.3f}},
    {145.0f, 0.056f, 0.048f, 29.0f, 0.9f, 8.5f, {0.9f, 0.75f, 0.55f}},
    {180.0f, 0.046f, 0.029f, 45.0f, 5.2f, 7.5f, {0.8f, 0.85f, 0.95f}},
    {210.0f, 0.035f, 0.031f, 70.0f, 2.7f, 7.0f, {0.7f, 0.85f, 0.95f}},
};

// Periapsis on +x, motion from +x towards +z, plane tilted about x. Three
// Newton steps reach single precision for e < 0.1, so there is no loop test.
// A non-finite t propagates NaN to all three outputs.
void kepler_position(const Planet *p, float t, float *x, float *y, float *z) {
    float q = t / p->period + p->phase;
    float f = q - truncf(q);
    float M = f * 6.2831855f;
    float E = M;
    for (int i = 0; i < 3; i++) E = E - ((E - p->e * sinf(E)) - M) / (1.0f - p->e * cosf(E));
    float sin_e = sinf(E);
    float cos_e = cosf(E);
    float r = (1.0f - p->e * cos_e) * p->a;
    float nu = atan2f(sin_e * sqrtf(1.0f - p->e * p->e), cos_e - p->e);
    float h = sinf(nu) * r;
    *x = cosf(nu) * r;
    *y = -h * sinf(p->inc);
    *z = h * cosf(p->inc);
}
