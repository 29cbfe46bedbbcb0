// The processor-dependent layer: the portable forms against the x86-64 ones
// they stand in for elsewhere, and the build choice.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>

#include "sw/sw_simd.h"

namespace {

// Every pair of byte values, in each byte position with different values
// beside it: a carry leaking into the next byte shows.
TEST(SwSimd, SaturatingByteAddPortableMatchesTheInstruction) {
    for (uint32_t a = 0; a < 256; a++)
        for (uint32_t b = 0; b < 256; b++)
            for (int at = 0; at < 32; at += 8) {
                const uint32_t x = a << at | (0x80ff7f01u & ~(0xffu << at));
                const uint32_t y = b << at | (0x01ff80ffu & ~(0xffu << at));
                uint32_t want = 0;
                for (int k = 0; k < 32; k += 8) {
                    const uint32_t s = (x >> k & 0xff) + (y >> k & 0xff);
                    want |= (s > 255 ? 255 : s) << k;
                }
                ASSERT_EQ(want, sw_add_saturate_bytes_portable(x, y)) << a << " + " << b << " at " << at;
                ASSERT_EQ(want, sw_add_saturate_bytes(x, y)) << a << " + " << b << " at " << at;
            }
}

TEST(SwSimd, TransposeTurnsRowsIntoColumnsAndSkipsNullOnes) {
    float rows[4][5]; // unaligned rows: one float apart from a 16-byte boundary
    for (int j = 0; j < 4; j++)
        for (int k = 0; k < 4; k++) rows[j][k + 1] = (float)(10 * j + k);
    float cols[4][5] = {};
    const float *in[4] = {rows[0] + 1, rows[1] + 1, rows[2] + 1, rows[3] + 1};
    float *out[4] = {cols[0] + 1, nullptr, cols[2] + 1, cols[3] + 1};
    sw_transpose4(in, out);
    for (int k = 0; k < 4; k++)
        for (int j = 0; j < 4; j++) EXPECT_EQ(k == 1 ? 0.0f : (float)(10 * j + k), cols[k][j + 1]) << k << "," << j;
}

TEST(SwSimd, EnvironmentKeepsThePortableBuild) {
    const char *given = getenv("HALVENOR_SW_SIMD");
    const std::string was = given ? given : "";
    setenv("HALVENOR_SW_SIMD", "generic", 1);
    sw_simd_choose();
    EXPECT_FALSE(sw_simd_wide());
    EXPECT_STREQ("generic", sw_simd_name());
    unsetenv("HALVENOR_SW_SIMD");
    sw_simd_choose();
#if defined(__x86_64__)
    EXPECT_EQ((bool)__builtin_cpu_supports("avx2"), sw_simd_wide());
#else
    EXPECT_FALSE(sw_simd_wide());
#endif
    if (given) setenv("HALVENOR_SW_SIMD", was.c_str(), 1); // the rest of the run as it was started
    sw_simd_choose();
}

} // namespace
