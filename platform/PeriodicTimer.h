#pragma once

// Periodic timers: a callback run every period on a timer thread, the way a
// multimedia timer runs, independent of any message loop.
//
//   std::uint32_t id = platform::StartPeriodicTimer(1000, [this] { Probe(); });
//   ...
//   platform::KillPeriodicTimer(id);   // no callback runs after this returns
//
// Threading: both functions may be called from any thread. Callbacks of one
// timer never overlap; they run on a thread of the timer's own.
// Re-entrancy: KillPeriodicTimer waits for a callback in progress, except when
// it is called from inside that timer's own callback (it then returns at once
// and no further callback runs).

#include <BrimSubscriber/platform/PlatformExport.h>

#include <cstdint>
#include <functional>

namespace brim {

namespace platform {

// Starts a timer whose callback runs first after periodMs and then every
// periodMs. Returns its id (never 0), or 0 when no timer could be started.
BRIM_PLATFORM_API std::uint32_t StartPeriodicTimer(std::uint32_t periodMs, std::function<void()> callback);

// Stops the timer. Unknown ids and 0 are ignored.
BRIM_PLATFORM_API void KillPeriodicTimer(std::uint32_t id);

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::KillPeriodicTimer;
using brim::platform::StartPeriodicTimer;
}  // namespace platform
#endif
