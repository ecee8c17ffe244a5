#pragma once

// The millisecond tick count: a 32-bit count of milliseconds since an
// arbitrary start, wrapping to 0 after 2^32 - 1 (about 49.7 days).
//
// Tests replace the source to drive time-dependent logic exactly:
//
//   static std::atomic<std::uint32_t> now{1000};
//   platform::SetTickCountSource([] { return now.load(); });
//   ...
//   platform::SetTickCountSource(nullptr);  // back to the system clock
//
// Threading: GetTickCount and SetTickCountSource may be called from any
// thread. The source itself must be safe to call from any thread.

#include "platform/PlatformExport.h"

#include <cstdint>

namespace platform {

using TickCountSource = std::uint32_t (*)();

// Milliseconds from the monotonic clock, or from the replacement source.
BRIM_PLATFORM_API std::uint32_t GetTickCount();

// Replaces the source; null restores the monotonic clock. Returns the previous
// replacement (null when the clock was in use).
BRIM_PLATFORM_API TickCountSource SetTickCountSource(TickCountSource source);

}  // namespace platform
