#include <BrimSubscriber/platform/Event.h>

#include <chrono>

namespace platform {

void Event::Set() {
    // Notify under the lock: a waiter that wakes may destroy the event as soon
    // as it can take the mutex, so Set must be done with the object by then.
    const std::lock_guard lock(m_mutex);
    m_signalled = true;
    m_cv.notify_one();
}

void Event::Reset() {
    const std::lock_guard lock(m_mutex);
    m_signalled = false;
}

bool Event::Wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(m_mutex);
    if (timeoutMs == kInfinite) {
        m_cv.wait(lock, [this] { return m_signalled; });
    } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_signalled; })) {
        return false;
    }
    m_signalled = false;
    return true;
}

}  // namespace platform
