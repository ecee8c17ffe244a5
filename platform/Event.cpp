#include <BrimSubscriber/platform/Event.h>

#include <chrono>

namespace brim {

namespace platform {

void Event::Set() {
    // Notify under the lock: a waiter that wakes may destroy the event as soon
    // as it can take the mutex, so Set must be done with the object by then.
    const LockGuard lock(m_mutex);
    m_signalled = true;
    m_cv.notify_one();
}

void Event::Reset() {
    const LockGuard lock(m_mutex);
    m_signalled = false;
}

bool Event::Wait(std::uint32_t timeoutMs) {
    UniqueLock lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_signalled) {
        if (timeoutMs == kInfinite) {
            m_cv.wait(lock.ForWait());
        } else if (m_cv.wait_until(lock.ForWait(), deadline) == std::cv_status::timeout && !m_signalled) {
            return false;
        }
    }
    m_signalled = false;
    return true;
}

}  // namespace platform

}  // namespace brim
