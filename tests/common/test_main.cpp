// Entry point of every component's test program. The host kernel starts threads, so death tests
// (the verifier's bug checks) must re-run the program rather than fork a threaded one.
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
