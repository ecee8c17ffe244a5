#pragma once

// MessageLoop: the message loop of one thread.
//
// Every thread that creates a message target (CWnd) has a loop; the targets'
// messages and timers are handled only while that thread runs it. A thread
// either runs the loop itself:
//
//   platform::MessageLoop::Current().Run();     // until Quit()
//
// or lets another event loop drive it (the toolkit adapters GlibLoop and
// QtLoop do this): watch WakeFd() for readability, wake after
// TimeUntilNextTimerMs() at the latest, and call RunPending() then, on the
// loop's own thread. Run() is the same three steps with a wait of its own.
//
//   poll({loop.WakeFd(), POLLIN}, loop.TimeUntilNextTimerMs());
//   loop.RunPending();
//   if (loop.TakeQuitRequest()) { /* end the driving loop in its own way */ }
//
// RunPending handles, without blocking: every sent message, then the posted
// messages that were waiting when it started (in order), then due timers.
// Messages posted meanwhile wait for the next call, so a handler that keeps
// posting cannot hold the caller forever. A handler that runs the loop again
// (RunPending, RunUntil or Run: a modal dialog) handles the messages posted
// behind its own first, in order; the outer call then stops where the nested
// one left off.
//
// Threading: Current() gives the calling thread's loop. Run, RunPending,
// RunUntil and TakeQuitRequest only on the loop's own thread: called on any
// other thread they are refused (they return at once, run nothing and return
// false where they return a value) and reported through the diagnostics
// channel (platform/Diagnostics.h). The rest on any thread.
// Re-entrancy: a handler may call RunPending or RunUntil (a nested loop).

#include <BrimSubscriber/platform/PlatformExport.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace brim {

namespace platform {

// The time a loop's window timers read: the steady clock unless a test gives
// the loop another (MessageLoop::SetTimerClock). Now() is called with the
// loop's timer lock held, from any thread that sets a timer or runs the loop.
class BRIM_PLATFORM_API TimerClock {
public:
    TimerClock() = default;
    TimerClock(const TimerClock&) = delete;
    TimerClock& operator=(const TimerClock&) = delete;
    virtual ~TimerClock();
    [[nodiscard]] virtual std::chrono::steady_clock::time_point Now() const = 0;
};

}  // namespace platform

namespace platform {

namespace detail {
class ThreadQueue;
}

// What an adapter that attaches a thread's loop to a toolkit's loop (GlibLoop,
// QtLoop) does with the user-interface designation.
enum class LoopRole {
    UserInterfaceThread,  // designate the calling thread the user-interface thread
    OtherThread,          // leave the designation as it is
};

class BRIM_PLATFORM_API MessageLoop {
public:
    // The loop of the calling thread, created on first use. Throws
    // std::system_error, with the system's error code, when it cannot be
    // created (no file descriptor is left for its wake-up); the next call
    // tries again.
    static MessageLoop& Current();

    // Handles messages until Quit() is called. Returns after the message
    // during which Quit() was called; later messages stay queued.
    void Run();

    // Handles what is pending now and returns whether anything was handled.
    bool RunPending();

    // Runs the loop until done() is true (checked after each batch of
    // messages) or timeout passes; returns done() at the end. Returns false
    // at once while a Quit() waits for the Run() it was meant for.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Asks the innermost Run() of this loop to return. While no Run() is in
    // progress the request waits: the next Run() returns at once, or the
    // driving loop takes it with TakeQuitRequest(). RunPending() leaves the
    // posted messages alone while a request waits.
    void Quit();

    // For a loop that drives this one: takes a waiting Quit() request and
    // returns whether there was one. Call it after RunPending(), so that
    // handling goes on with the next call.
    bool TakeQuitRequest();

    // One wake of a loop that drives this one and cannot let an exception
    // pass through it (a toolkit's C frames): RunPending(), then a waiting
    // Quit() request goes to onQuit (dropped when onQuit is empty). An
    // exception from a handler or from onQuit is caught and described to
    // onException; the messages behind it stay queued for the next wake.
    void RunPendingForDriver(const std::function<void()>& onQuit,
                             const std::function<void(const char* what)>& onException) noexcept;

    // Whether the calling thread is the loop's own thread.
    [[nodiscard]] bool BelongsToCurrentThread() const;

    // Messages waiting now, sent and posted (timers not counted).
    [[nodiscard]] std::size_t PendingCount() const;

    // Readable while the loop has messages to handle.
    [[nodiscard]] int WakeFd() const;

    // Milliseconds until the next window timer is due, rounded up: 0 exactly
    // when one is due or a message is waiting, -1 when no timer is set.
    [[nodiscard]] int TimeUntilNextTimerMs() const;

    // The clock this loop's window timers (CWnd::SetTimer) read from now on;
    // null restores the steady clock. A thread's loop is made implicitly, on
    // its first message target or its first Current(), so this is where a
    // test injects the time of one thread's timers: timers already set keep
    // the deadlines they were given. Any thread; the clock must stay valid
    // until it is replaced or the loop's thread has ended.
    void SetTimerClock(const brim::platform::TimerClock* clock);

    // Copies share the one loop of their thread and keep its queue alive;
    // after the thread ends posts and sends to it fail.
    explicit MessageLoop(std::shared_ptr<detail::ThreadQueue> queue);

private:
    std::shared_ptr<detail::ThreadQueue> m_queue;
};

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::LoopRole;
using brim::platform::MessageLoop;
}  // namespace platform
#endif
