#include "platform/TickCount.h"

#include <atomic>
#include <chrono>

namespace platform {
namespace {

std::atomic<TickCountSource> g_source{nullptr};

}  // namespace

std::uint32_t GetTickCount() {
    if (const TickCountSource source = g_source.load(std::memory_order_acquire)) {
        return source();
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(ms.count());  // wraps like the system count
}

TickCountSource SetTickCountSource(TickCountSource source) {
    return g_source.exchange(source, std::memory_order_acq_rel);
}

}  // namespace platform
