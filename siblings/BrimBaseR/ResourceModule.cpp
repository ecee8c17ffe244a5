#include "BrimBaseR/ResourceModule.h"

#include <atomic>

namespace {

// Atomic because the handle is recorded by the loading thread and may be read
// by any other.
std::atomic<HINSTANCE> s_resourceModule{nullptr};

}  // namespace

namespace BRIMX {

void LoadDLLResourceDLL(HINSTANCE /*instance*/, HINSTANCE resourceModule) noexcept {
    s_resourceModule.store(resourceModule, std::memory_order_release);
}

HINSTANCE GetResourceModule() noexcept {
    return s_resourceModule.load(std::memory_order_acquire);
}

}  // namespace BRIMX
