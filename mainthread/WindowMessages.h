#pragma once

// Window messages that the library's hidden windows handle.

#include <BrimSubscriber/platform/WinTypes.h>

namespace brim {

// The doorbell of the dispatcher's and the watchdog's hidden windows.
inline constexpr UINT WM_CALLBACK = WM_APP + 0x58;  // 0x8058

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::WM_CALLBACK;
#endif
