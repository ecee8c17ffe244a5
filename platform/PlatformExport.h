#pragma once

// Export macro of the BrimPlatform library. The library is built with hidden
// visibility; only what carries BRIM_PLATFORM_API is part of its interface.
#define BRIM_PLATFORM_API __attribute__((visibility("default")))
