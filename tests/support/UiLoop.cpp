#include "support/UiLoop.h"

#include "platform/MessageLoop.h"

namespace test {

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return platform::MessageLoop::Current().RunUntil(done, timeout);
}

void PumpPending() {
    while (platform::MessageLoop::Current().RunPending()) {
    }
}

}  // namespace test
