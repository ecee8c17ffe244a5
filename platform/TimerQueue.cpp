#include "platform/internal/TimerQueue.h"

#include "platform/internal/TargetTable.h"

#include <algorithm>

namespace brim {

namespace platform {

TimerClock::~TimerClock() = default;

}  // namespace platform

namespace platform::detail {

void TimerQueue::SetClock(const brim::platform::TimerClock* clock) {
    const LockGuard lock(m_lock);
    m_clock = clock;
}

TimerQueue::Clock::time_point TimerQueue::NowLocked() const {
    return m_clock != nullptr ? m_clock->Now() : Clock::now();
}

void TimerQueue::ScheduleLocked(const Key& key, Timer& timer, Clock::time_point due) {
    timer.serial = m_nextSerial++;
    m_heap.push_back(Deadline{due, timer.serial, key});
    std::push_heap(m_heap.begin(), m_heap.end(), Later);
    // Restarts leave stale entries; rebuild before they outnumber the timers.
    if (m_heap.size() > 2 * m_timers.size() + 16) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_heap.size(); ++i) {
            if (IsCurrentLocked(m_heap[i])) m_heap[kept++] = m_heap[i];
        }
        m_heap.resize(kept);
        std::make_heap(m_heap.begin(), m_heap.end(), Later);
    }
}

bool TimerQueue::IsCurrentLocked(const Deadline& deadline) const {
    const auto it = m_timers.find(deadline.key);
    return it != m_timers.end() && it->second.serial == deadline.serial;
}

void TimerQueue::DropStaleLocked() {
    while (!m_heap.empty()) {
        if (IsCurrentLocked(m_heap.front())) return;
        std::pop_heap(m_heap.begin(), m_heap.end(), Later);
        m_heap.pop_back();
    }
}

bool TimerQueue::Set(std::uint64_t target, UINT_PTR timerId, UINT elapseMs) {
    const LockGuard lock(m_lock);
    if (!m_targets.IsLive(target)) return false;
    const auto interval = std::chrono::milliseconds(std::max<UINT>(elapseMs, 1));
    const Key key{target, timerId};
    Timer& timer = m_timers.insert_or_assign(key, Timer{interval, 0}).first->second;
    ScheduleLocked(key, timer, NowLocked() + interval);
    return true;
}

bool TimerQueue::Kill(std::uint64_t target, UINT_PTR timerId) {
    const LockGuard lock(m_lock);
    return m_timers.erase(Key{target, timerId}) > 0;
}

void TimerQueue::KillAllOf(std::uint64_t target) {
    const LockGuard lock(m_lock);
    m_timers.erase(m_timers.lower_bound(Key{target, 0}), m_timers.lower_bound(Key{target + 1, 0}));
}

void TimerQueue::Clear() {
    const LockGuard lock(m_lock);
    m_timers.clear();
    m_heap.clear();
}

void TimerQueue::TakeDue(std::vector<Key>& due) {
    const LockGuard lock(m_lock);
    const Clock::time_point now = NowLocked();
    for (DropStaleLocked(); !m_heap.empty() && m_heap.front().due <= now; DropStaleLocked()) {
        std::pop_heap(m_heap.begin(), m_heap.end(), Later);
        const Key key = m_heap.back().key;
        m_heap.pop_back();
        due.push_back(key);
        Timer& timer = m_timers.find(key)->second;
        ScheduleLocked(key, timer, now + timer.interval);
    }
}

bool TimerQueue::IsSet(const Key& key) {
    const LockGuard lock(m_lock);
    return m_timers.contains(key);
}

int TimerQueue::MsUntilNext() {
    const LockGuard lock(m_lock);
    DropStaleLocked();
    if (m_heap.empty()) return -1;
    const Clock::time_point now = NowLocked();
    if (m_heap.front().due <= now) return 0;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_heap.front().due - now).count();
    return static_cast<int>(std::min<std::int64_t>(wait, 0x7FFFFFFF));
}

}  // namespace platform::detail

}  // namespace brim
