#pragma once

// Window messages that the library's hidden windows handle.

#include <BrimSubscriber/platform/WinTypes.h>

// The doorbell of the dispatcher's and the watchdog's hidden windows.
inline constexpr UINT WM_CALLBACK = WM_APP + 0x58;  // 0x8058
