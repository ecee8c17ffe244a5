#pragma once

// Thread: a joinable thread with an optional lower scheduling priority.
//
//   platform::Thread poller;
//   if (!poller.Start([&] { PollLoop(); }, platform::ThreadPriority::Low)) { /* no thread */ }
//   ...
//   poller.Join();
//
// ThreadPriority::Low raises the thread's nice value, so it yields to the
// application's threads without starving (it is not SCHED_IDLE, under which a
// busy machine can hold such a thread off for seconds).
//
// Threading: one Thread object is started and joined by one owner at a time.
// Lifetime: a Thread that is still joinable when destroyed is joined.

#include <BrimSubscriber/platform/PlatformExport.h>

#include <functional>
#include <thread>

namespace brim {

namespace platform {

enum class ThreadPriority { Normal, Low };

class BRIM_PLATFORM_API Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread();

    // Starts the thread running body, named `name` (at most 15 characters are
    // kept; debuggers and `top -H` show it). Returns false, and starts
    // nothing, when the system cannot create a thread, or when this object
    // already runs one.
    bool Start(std::function<void()> body, ThreadPriority priority = ThreadPriority::Normal,
               const char* name = "brim-worker");

    // Waits for the thread to end. Does nothing when no thread was started or
    // when called from the thread itself (a thread cannot wait for itself).
    void Join();

    [[nodiscard]] bool IsStarted() const noexcept { return m_thread.joinable(); }
    [[nodiscard]] bool IsCurrent() const noexcept { return m_thread.get_id() == std::this_thread::get_id(); }

private:
    std::thread m_thread;
};

// Starts threads for an object that needs them. The object takes a
// ThreadStarter, the system's by default, so that a test can make that one
// object's thread starts fail.
class BRIM_PLATFORM_API ThreadStarter {
public:
    ThreadStarter() = default;
    ThreadStarter(const ThreadStarter&) = delete;
    ThreadStarter& operator=(const ThreadStarter&) = delete;
    virtual ~ThreadStarter();
    // As Thread::Start on `thread`.
    virtual bool Start(Thread& thread, std::function<void()> body, ThreadPriority priority, const char* name) = 0;
};

// Starts every thread it is asked for, when the system can.
BRIM_PLATFORM_API ThreadStarter& SystemThreadStarter();

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::SystemThreadStarter;
using brim::platform::Thread;
using brim::platform::ThreadPriority;
using brim::platform::ThreadStarter;
}  // namespace platform
#endif
