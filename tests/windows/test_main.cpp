// Entry point of the Windows engine tests. Tests that need a hook of the
// Linux Direct3D 11 layer are filtered out here (the list is in
// CMakeLists.txt beside this file); a --gtest_filter on the command line
// still narrows the rest.
#include <gtest/gtest.h>
#include <string>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string filter = testing::GTEST_FLAG(filter);
    filter += (filter.find('-') == std::string::npos ? "-" : ":");
    filter += LINUX_ONLY_FILTER;
    testing::GTEST_FLAG(filter) = filter;
    return RUN_ALL_TESTS();
}
