#pragma once

// Export macro of the BrimPlatformGlib library, built with hidden visibility.
#define BRIM_GLIB_API __attribute__((visibility("default")))
