#pragma once

// Export macro of the BrimSubscriber library. The library is built with hidden
// visibility; only classes and constants marked BRIMSUBSCRIBER_API are part of
// its interface.
#define BRIMSUBSCRIBER_API __attribute__((visibility("default")))
