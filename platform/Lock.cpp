// The record of the ranked locks each thread holds, for the lock-order check
// of platform/Lock.h.
//
// Threading: the record is the calling thread's own (thread_local), so it
// needs no lock. It counts the locks of each rank a thread holds; a lock is
// in order when no lock of its rank or above is held.

#include <BrimSubscriber/platform/Lock.h>

#include "platform/internal/Futex.h"

#include <array>

namespace brim {

namespace platform {
namespace {

thread_local std::array<unsigned, kLockRankCount> t_held{};

const char* RankName(LockRank rank) noexcept {
    static constexpr std::array<const char*, kLockRankCount> kNames = {
        "unranked", "dispatcher bindings", "dispatcher queue", "window handle", "thread queue", "timers", "targets"};
    return kNames[static_cast<unsigned>(rank)];
}

}  // namespace

void NoteLockTaken(LockRank rank) noexcept {
    const auto taken = static_cast<unsigned>(rank);
    for (unsigned held = taken; held < kLockRankCount; ++held) {
        if (t_held[held] != 0) {
            platform::CheckFailed(__FILE__, __LINE__, "lock order: a %s lock taken while a %s lock is held",
                                    RankName(rank), RankName(static_cast<LockRank>(held)));
        }
    }
    ++t_held[taken];
}

void NoteLockReleased(LockRank rank) noexcept {
    unsigned& held = t_held[static_cast<unsigned>(rank)];
    if (held != 0) --held;
}

namespace detail {

// The standard three-state futex mutex: a thread that has found the lock held
// marks it contended (2) and sleeps while it stays so; whoever takes it from
// here on takes it as contended, so its release wakes the next sleeper.
void FutexMutex::LockContended(std::uint32_t seen) noexcept {
    if (seen != 2) seen = m_word.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
        FutexWait(m_word, 2);
        seen = m_word.exchange(2, std::memory_order_acquire);
    }
}

void FutexMutex::WakeOne() noexcept { FutexWake(m_word, 1); }

}  // namespace detail

}  // namespace platform

}  // namespace brim
