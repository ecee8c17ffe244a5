#include <BrimSubscriber/platform/TickCount.h>

#include <chrono>

namespace brim {

namespace platform {
namespace {

class SystemClock final : public TickClock {
public:
    [[nodiscard]] std::uint32_t Now() const override { return GetTickCount(); }
};

}  // namespace

std::uint32_t GetTickCount() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(ms.count());  // wraps like the system count
}

TickClock::~TickClock() = default;

const TickClock& SystemTickClock() {
    static const SystemClock clock;  // trivially destructible in effect: no state
    return clock;
}

}  // namespace platform

}  // namespace brim
