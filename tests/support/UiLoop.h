#pragma once

// Helpers for tests that need the user-interface loop.
//
// The test main() makes the test thread the user-interface thread. A test that
// waits for work done on that thread pumps its loop until the condition holds:
//
//   ASSERT_TRUE(test::PumpUntil([&] { return received == 3; }));
//
// PumpUntil fails loudly after a generous timeout instead of hanging, and
// never sleeps blindly: it wakes for messages and re-checks the condition.

#include <chrono>
#include <functional>

namespace test {

inline constexpr std::chrono::milliseconds kGenerousTimeout{20000};

// Runs the calling thread's message loop until done() is true; false on time-out.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kGenerousTimeout);

// Handles everything that is pending on the calling thread's loop now.
void PumpPending();

}  // namespace test
