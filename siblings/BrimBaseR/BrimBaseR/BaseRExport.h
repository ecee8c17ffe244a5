#pragma once

// Export macro of the BrimBaseR library. The library is built with hidden
// visibility; only what carries BRIMBASER_API is part of its interface.
#define BRIMBASER_API __attribute__((visibility("default")))
