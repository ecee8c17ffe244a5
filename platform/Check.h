#pragma once

// Checks of the library's contracts that debug builds make and release builds
// compile away.
//
//   BRIM_DCHECK(IsOwnerThread(), "Run called on a thread that does not own the loop");
//   BRIM_DCHECK_FAILED("NotifyPost on subscription type %d, whose map ...", type);
//
// A failed check prints "BrimSubscriber: check failed: <message> (<file>:<line>)"
// to the standard error and aborts the process, so that a misuse shows where
// it happens instead of as a silent loss later. Release builds (NDEBUG)
// evaluate neither the condition nor the message's arguments.

#include <BrimSubscriber/platform/PlatformExport.h>

namespace brim {

namespace platform {

[[noreturn]] BRIM_PLATFORM_API void CheckFailed(const char* file, int line, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

}  // namespace platform

#ifndef NDEBUG
#define BRIM_DCHECK_IS_ON 1
#define BRIM_DCHECK(condition, ...) \
    ((condition) ? static_cast<void>(0) : ::brim::platform::CheckFailed(__FILE__, __LINE__, __VA_ARGS__))
#define BRIM_DCHECK_FAILED(...) ::brim::platform::CheckFailed(__FILE__, __LINE__, __VA_ARGS__)
#else
#define BRIM_DCHECK_IS_ON 0
#define BRIM_DCHECK(condition, ...) static_cast<void>(0)
#define BRIM_DCHECK_FAILED(...) static_cast<void>(0)
#endif

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::CheckFailed;
}  // namespace platform
#endif
