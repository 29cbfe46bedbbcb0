// The mapping behind the executor's large blocks.
#include <gtest/gtest.h>

#include "common/host_memory.h"

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

// The VmFlags line of the mapping that holds p, from /proc/self/smaps.
std::string vm_flags_at(const void *p) {
    FILE *f = fopen("/proc/self/smaps", "r");
    if (!f) return "";
    char line[512];
    bool inside = false;
    std::string flags;
    while (fgets(line, sizeof line, f)) {
        uintptr_t lo, hi;
        if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " ", &lo, &hi) == 2 && strchr(line, '-') < strchr(line, ' '))
            inside = (uintptr_t)p >= lo && (uintptr_t)p < hi;
        else if (inside && strncmp(line, "VmFlags:", 8) == 0) {
            flags = line + 8;
            flags.back() = ' '; // the newline
            break;
        }
    }
    fclose(f);
    return flags;
}

} // namespace

// Rounding up to whole pages must not wrap around into a small mapping that
// then claims to hold a size no buffer description can ask for.
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

// Large blocks stay in small pages: on virtual machines that hand free
// memory back to the host, huge pages often made a fresh process's first
// quality change take twice as long.
TEST(HostMemory, LargeBlocksAreNotAdvisedForHugePages) {
    size_t mapped = 0;
    uint8_t *p = host_map_block(8u << 20, &mapped);
    ASSERT_NE(nullptr, p);
    std::string flags = vm_flags_at(p);
    host_unmap_block(p, mapped);
    ASSERT_NE("", flags) << "no VmFlags for the mapping";
    EXPECT_EQ(std::string::npos, flags.find(" hg ")) << "VmFlags:" << flags;
}
