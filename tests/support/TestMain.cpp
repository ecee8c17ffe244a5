// Test entry point: the thread that runs the tests is the user-interface thread, as an application's main thread is.

#include <BrimSubscriber/platform/WinThread.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Death tests re-run the test binary instead of forking a process whose other threads are gone.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    platform::SetUserInterfaceThread();
    return RUN_ALL_TESTS();
}
