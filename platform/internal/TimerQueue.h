#pragma once

// TimerQueue: the window timers of one thread's queue, kept in a heap by
// deadline, and the clock they read.
//
// Contract:
// - Set starts or restarts timer (target, id), first due one interval from
//   now; Kill stops it; KillAllOf stops every timer of a target. Set refuses
//   a target that is not live in the thread's TargetTable, and a timer set
//   races no Remove of its target: KillAllOf after Remove finds it.
// - TakeDue appends the timers due now to a list, earliest deadline first,
//   and schedules each again one interval after now (a timer handled late
//   does not fire a burst to catch up). Its cost grows with the timers due
//   and the heap's depth, not with the number of timers set.
// - MsUntilNext: milliseconds until the earliest deadline, rounded up, so a
//   loop that waits that long finds the timer due; -1 when no timer is set.
// - The clock is the steady clock unless SetClock gives another
//   (MessageLoop::SetTimerClock, for tests); it is read under the lock.
//
// Concurrency: m_lock guards the heap, the index and the clock; it is taken
// after the thread queue's lock and before the target table's. Delivering a
// due timer happens outside the lock, so a handler may set or kill timers;
// the owning thread checks IsSet before each delivery, so a timer killed
// after TakeDue is not delivered.
//
// Threading: TakeDue on the owning thread in practice; all of it is safe on
// any thread.

#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/WinTypes.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace brim {

namespace platform::detail {

class TargetTable;

class TimerQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<std::uint64_t, UINT_PTR>;  // target, timer id

    explicit TimerQueue(TargetTable& targets) : m_targets(targets) {}
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    void SetClock(const brim::platform::TimerClock* clock);
    bool Set(std::uint64_t target, UINT_PTR timerId, UINT elapseMs);
    bool Kill(std::uint64_t target, UINT_PTR timerId);
    void KillAllOf(std::uint64_t target);
    void Clear();
    void TakeDue(std::vector<Key>& due);
    [[nodiscard]] bool IsSet(const Key& key);
    [[nodiscard]] int MsUntilNext();

private:
    struct Timer {
        std::chrono::milliseconds interval;
        std::uint64_t serial;  // of its current heap entry
    };
    // A heap entry is current while its serial is its timer's; a restarted or
    // killed timer leaves a stale entry, dropped when it reaches the top.
    struct Deadline {
        Clock::time_point due;
        std::uint64_t serial;
        Key key;
    };
    static bool Later(const Deadline& a, const Deadline& b) { return a.due > b.due; }

    [[nodiscard]] Clock::time_point NowLocked() const BRIM_REQUIRES(m_lock);
    void ScheduleLocked(const Key& key, Timer& timer, Clock::time_point due) BRIM_REQUIRES(m_lock);
    [[nodiscard]] bool IsCurrentLocked(const Deadline& deadline) const BRIM_REQUIRES(m_lock);
    void DropStaleLocked() BRIM_REQUIRES(m_lock);

    TargetTable& m_targets;
    CriticalSection m_lock{brim::platform::LockRank::Timers};
    const brim::platform::TimerClock* m_clock BRIM_GUARDED_BY(m_lock) = nullptr;
    std::map<Key, Timer> m_timers BRIM_GUARDED_BY(m_lock);  // ordered, so a target's timers are one range
    std::vector<Deadline> m_heap BRIM_GUARDED_BY(m_lock);    // a min-heap by due
    std::uint64_t m_nextSerial BRIM_GUARDED_BY(m_lock) = 1;
};

}  // namespace platform::detail

}  // namespace brim
