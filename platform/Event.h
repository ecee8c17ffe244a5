#pragma once

// Event: an auto-reset event.
//
// Set() makes the event signalled; one Wait() then returns true and resets it.
// A Set() without a waiter is kept until the next Wait(); several Set() calls
// before a Wait() count as one.
//
//   platform::Event stop;
//   while (!stop.Wait(2000)) { Poll(); }   // wakes every 2 s, or at once on Set()
//
// Threading: every member may be called from any thread.
// Lifetime: no thread may be waiting when the event is destroyed.

#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/PlatformExport.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace brim {

namespace platform {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

class BRIM_PLATFORM_API Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();

    // Waits until the event is signalled (true, and the event is reset) or
    // until timeoutMs milliseconds have passed (false). kInfinite waits forever.
    bool Wait(std::uint32_t timeoutMs = kInfinite);

private:
    CriticalSection m_mutex;
    std::condition_variable m_cv;
    bool m_signalled BRIM_GUARDED_BY(m_mutex) = false;
};

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::Event;
using brim::platform::kInfinite;
}  // namespace platform
#endif
