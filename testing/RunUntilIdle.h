#pragma once

// RunUntilIdle: runs the calling thread's message loop until it has nothing
// left to do now, for tests of code that posts to that thread.
//
//   widget.Reload();                                      // posts its work
//   ASSERT_TRUE(brim::testing::RunUntilIdle());           // all of it handled
//
// Idle means: no message waiting (sent or posted) and no window timer due on
// this thread's loop. A timer due later is not waited for, nor is work still
// running on other threads: what they post after the loop went idle stays
// queued for the next call (join them first, or wait for what they deliver
// with NotificationSpy::WaitForCount).
//
// Threading: on any thread, for that thread's own loop. Re-entrancy: it may
// run inside a handler (a nested loop), with the rules of MessageLoop::RunUntil.

#include <BrimSubscriber/platform/MessageLoop.h>

#include <chrono>

namespace brim::testing {

// Runs the loop until it is idle, and returns true; or returns false once
// `timeout` has passed while it was still busy (work that keeps posting more,
// a timer that stays due), or at once while a Quit() waits for its Run().
inline bool RunUntilIdle(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    platform::MessageLoop& loop = platform::MessageLoop::Current();
    // The loop's own wait bound is 0 exactly while a message waits or a
    // timer is due (it rounds a timer's remaining time up).
    return loop.RunUntil([&loop] { return loop.TimeUntilNextTimerMs() != 0; }, timeout);
}

}  // namespace brim::testing
