#pragma once

// The millisecond tick count: a 32-bit count of milliseconds since an
// arbitrary start, wrapping to 0 after 2^32 - 1 (about 49.7 days).
//
// An object whose logic depends on time takes a TickClock, the system's by
// default, so that a test can drive that one object's time exactly:
//
//   class ManualClock : public platform::TickClock {
//   public:
//       std::uint32_t Now() const override { return now; }
//       std::atomic<std::uint32_t> now{1000};
//   };
//   ManualClock clock;
//   UIWatchdog watchdog(UIWatchdog::kDefaultProbePeriodMs, clock);
//
// Threading: GetTickCount and the system clock may be used from any thread; a
// clock given to an object must be too, and must outlive the object.

#include <BrimSubscriber/platform/PlatformExport.h>

#include <cstdint>

namespace brim {

namespace platform {

// Milliseconds from the monotonic clock.
BRIM_PLATFORM_API std::uint32_t GetTickCount();

class BRIM_PLATFORM_API TickClock {
public:
    TickClock() = default;
    TickClock(const TickClock&) = delete;
    TickClock& operator=(const TickClock&) = delete;
    virtual ~TickClock();
    [[nodiscard]] virtual std::uint32_t Now() const = 0;
};

// The clock that GetTickCount reads.
BRIM_PLATFORM_API const TickClock& SystemTickClock();

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::GetTickCount;
using brim::platform::SystemTickClock;
using brim::platform::TickClock;
}  // namespace platform
#endif
