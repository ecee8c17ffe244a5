#include "platform/internal/TargetTable.h"

#include <BrimSubscriber/platform/Wnd.h>

#include <algorithm>

namespace brim {

namespace platform::detail {

std::uint64_t TargetTable::Add(CWnd* wnd) {
    const LockGuard lock(m_lock);
    if (m_closed) return 0;
    const std::uint64_t id = m_nextId++;
    m_live.emplace(id, wnd);
    return id;
}

bool TargetTable::Remove(std::uint64_t id) {
    const LockGuard lock(m_lock);
    if (m_live.erase(id) == 0) return false;
    m_generation.fetch_add(1, std::memory_order_seq_cst);
    return true;
}

void TargetTable::Close() {
    const LockGuard lock(m_lock);
    m_closed = true;
    m_live.clear();
    m_generation.fetch_add(1, std::memory_order_seq_cst);
}

bool TargetTable::IsLive(std::uint64_t id) {
    const LockGuard lock(m_lock);
    return m_live.contains(id);
}

CWnd* TargetTable::Find(std::uint64_t id) {
    const LockGuard lock(m_lock);
    const auto it = m_live.find(id);
    return it == m_live.end() ? nullptr : it->second;
}

void TargetTable::WakeWaiters() {
    const LockGuard lock(m_lock);
    m_handlerDone.notify_all();
}

void TargetTable::WaitForHandlersOf(std::uint64_t target) {
    // Counted before the fence, which comes after the Remove's generation
    // bump too: one system call serves both halves of the handshake.
    m_waiters.fetch_add(1, std::memory_order_seq_cst);
    m_fence.Heavy();
    {
        UniqueLock lock(m_lock);
        while (IsHandlerRunning(target)) m_handlerDone.wait(lock.ForWait());
    }
    m_waiters.fetch_sub(1, std::memory_order_relaxed);
}

bool TargetTable::IsHandlerRunning(std::uint64_t target) const {
    if (m_unannounced.load(std::memory_order_seq_cst) > 0) return true;  // cannot tell: assume so
    return std::any_of(m_running.begin(), m_running.end(),
                       [target](const auto& slot) { return slot.load(std::memory_order_acquire) == target; });
}

}  // namespace platform::detail

}  // namespace brim
