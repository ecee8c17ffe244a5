// libFuzzer target: SubscriptionMap against its reference model, on the
// program the input spells (see SubscriptionMapHarness.h). A difference traps,
// which libFuzzer reports as a crash, keeping the input.

#include "SubscriptionMapHarness.h"

#include <BrimSubscriber/platform/WinThread.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::SetUserInterfaceThread();  // the map sends and posts only when built on it
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (harness::FirstDifference({data, size}) >= 0) __builtin_trap();
    return 0;
}
