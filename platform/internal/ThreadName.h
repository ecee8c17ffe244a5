#pragma once

// Names the calling thread, for debuggers and `top -H` (15 characters kept).
// Internal to the platform layer.

namespace brim {

namespace platform::detail {

void NameCurrentThread(const char* name);

}  // namespace platform::detail

}  // namespace brim
