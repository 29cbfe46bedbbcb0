// Shared test entry point: any Vulkan validation message raised while a test
// runs fails that test, so the whole suite doubles as a validation sweep.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>

namespace {
class ValidationListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { plat_validation_reset(); }
    void OnTestEnd(const testing::TestInfo &) override {
        int n = plat_validation_messages();
        if (n != 0) ADD_FAILURE() << n << " Vulkan validation message(s) during this test (see stderr)";
    }
};
} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ValidationListener);
    return RUN_ALL_TESTS();
}
