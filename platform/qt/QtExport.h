#pragma once

// Export macro of the BrimPlatformQt library, built with hidden visibility.
#define BRIM_QT_API __attribute__((visibility("default")))
