// The behaviour suite: built once for the host, run against any inutil binary, through an emulator if
// the binary is for another machine.
#include <cstdio>

#include "harness.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        const std::string error = configure_target(argc, argv);
        if (!error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
