#include <csignal>
#include <cstdio>

#include <gtest/gtest.h>

// The first thing every test program says, on the unbuffered stream: a
// program that never said it was not started (cmake/wine-run.sh reads this).
int main(int argc, char** argv) {
    std::fputs("qz-test-started\n", stderr);
#ifdef SIGPIPE
    // Tests talk to servers that hang up on purpose; a write then must fail, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
