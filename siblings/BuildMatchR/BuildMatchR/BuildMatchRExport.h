#pragma once

// Export macro of the BuildMatchR library. The library is built with hidden
// visibility; only what carries BUILDMATCHR_API is part of its interface.
#define BUILDMATCHR_API __attribute__((visibility("default")))
