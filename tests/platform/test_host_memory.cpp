// The mapping behind the executor's large blocks, at sizes no buffer
// description can ask for: rounding up to whole pages must not wrap around
// into a small mapping that then claims to hold them.
#include <gtest/gtest.h>

#include "common/host_memory.h"

#include <stdint.h>

TEST(HostMemory, MappingRoundsToPagesAndRefusesImpossibleSizes) {
    size_t mapped = 0;
    uint8_t *p = host_map_block(HOST_MAPPED_MIN + 1, &mapped);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(HOST_MAPPED_MIN + 4096u, mapped);
    p[HOST_MAPPED_MIN] = 1; // the partial last page is there
    host_unmap_block(p, mapped);
    for (size_t n : {SIZE_MAX, SIZE_MAX - 4095, SIZE_MAX / 2 + 1}) {
        mapped = 7;
        EXPECT_EQ(nullptr, host_map_block(n, &mapped)) << n;
        EXPECT_EQ(7u, mapped) << n;
    }
}
