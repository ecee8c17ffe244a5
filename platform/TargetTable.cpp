#include "platform/internal/TargetTable.h"

#include <BrimSubscriber/platform/Wnd.h>

#include <algorithm>

namespace brim {

namespace platform::detail {

// Announces one handler for its whole run (see the handshake in the header).
class TargetTable::HandlerScope {
public:
    HandlerScope(TargetTable& table, std::uint64_t target) : m_table(table) {
        const std::size_t depth = table.m_depth++;
        m_slot = depth < kAnnouncedHandlers ? &table.m_running[depth] : nullptr;
        if (m_slot != nullptr) {
            m_slot->store(target, std::memory_order_seq_cst);
        } else {
            table.m_unannounced.fetch_add(1, std::memory_order_seq_cst);
        }
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;
    ~HandlerScope() {
        if (m_slot != nullptr) {
            m_slot->store(0, std::memory_order_seq_cst);
        } else {
            m_table.m_unannounced.fetch_sub(1, std::memory_order_seq_cst);
        }
        --m_table.m_depth;
        if (m_table.m_waiters.load(std::memory_order_seq_cst) > 0) {
            const LockGuard lock(m_table.m_lock);
            m_table.m_handlerDone.notify_all();
        }
    }

private:
    TargetTable& m_table;
    std::atomic<std::uint64_t>* m_slot;
};

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

std::optional<LRESULT> TargetTable::RunHandler(std::uint64_t target, CWnd* wnd, std::uint64_t generation,
                                               UINT message, WPARAM wParam, LPARAM lParam) {
    const HandlerScope scope(*this, target);
    if (Generation() != generation) wnd = Find(target);
    if (wnd == nullptr) return std::nullopt;
    return wnd->WindowProc(message, wParam, lParam);
}

void TargetTable::WaitForHandlersOf(std::uint64_t target) {
    UniqueLock lock(m_lock);
    m_waiters.fetch_add(1, std::memory_order_seq_cst);
    while (IsHandlerRunning(target)) m_handlerDone.wait(lock.ForWait());
    m_waiters.fetch_sub(1, std::memory_order_relaxed);
}

bool TargetTable::IsHandlerRunning(std::uint64_t target) const {
    if (m_unannounced.load(std::memory_order_seq_cst) > 0) return true;  // cannot tell: assume so
    return std::any_of(m_running.begin(), m_running.end(),
                       [target](const auto& slot) { return slot.load(std::memory_order_seq_cst) == target; });
}

}  // namespace platform::detail

}  // namespace brim
