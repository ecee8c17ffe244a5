#pragma once

// MessageLoop: the message loop of one thread.
//
// Every thread that creates a message target (CWnd) has a loop; the targets'
// messages and timers are handled only while that thread runs it. A thread
// either runs the loop itself:
//
//   platform::MessageLoop::Current().Run();     // until Quit()
//
// or lets another event loop drive it: watch WakeFd() for readability, wake
// after TimeUntilNextTimer() at the latest, and call RunPending() then.
//
//   poll({loop.WakeFd(), POLLIN}, loop.TimeUntilNextTimerMs());
//   loop.RunPending();
//
// RunPending handles, without blocking: every sent message, then the posted
// messages that were waiting when it started (in order), then due timers.
// Messages posted meanwhile wait for the next call, so a handler that keeps
// posting cannot hold the caller forever.
//
// Threading: Current() gives the calling thread's loop. Run, RunPending and
// RunUntil only on the loop's own thread; Quit, WakeFd and
// TimeUntilNextTimerMs on any thread.
// Re-entrancy: a handler may call RunPending or RunUntil (a nested loop).

#include "platform/PlatformExport.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace platform {

namespace detail {
class ThreadQueue;
}

class BRIM_PLATFORM_API MessageLoop {
public:
    // The loop of the calling thread, created on first use.
    static MessageLoop& Current();

    // Handles messages until Quit() is called. Returns after the message
    // during which Quit() was called; later messages stay queued.
    void Run();

    // Handles what is pending now and returns whether anything was handled.
    bool RunPending();

    // Runs the loop until done() is true (checked after each batch of
    // messages) or timeout passes; returns done() at the end.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Asks the innermost Run() of this loop to return.
    void Quit();

    // Messages waiting now, sent and posted (timers not counted).
    [[nodiscard]] std::size_t PendingCount() const;

    // Readable while the loop has messages to handle.
    [[nodiscard]] int WakeFd() const;

    // Milliseconds until the next window timer is due: 0 when one is due or
    // a message is waiting, -1 when no timer is set.
    [[nodiscard]] int TimeUntilNextTimerMs() const;

    explicit MessageLoop(std::shared_ptr<detail::ThreadQueue> queue);

private:
    std::shared_ptr<detail::ThreadQueue> m_queue;
};

}  // namespace platform
