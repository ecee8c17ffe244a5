#pragma once

// Futex: blocking on a 32-bit word and waking those blocked on it, with the
// kernel's futex and nothing else. For a handshake between two threads that
// already agree on the word's meaning, this costs one system call on each
// side, where a condition variable adds a wake-up of its mutex on the way out
// of every wait.
//
// Contract:
// - FutexWait blocks while `word` holds `expected` (compared by the kernel,
//   atomically with going to sleep), until a FutexWake on the same word or
//   until `timeout` has passed (negative: none). It may also return early
//   (a signal, a wake meant for an earlier use of the word): callers loop on
//   their own condition.
// - FutexWake wakes up to `count` threads blocked on `word`; it never blocks.
//   Whoever changes the word and then wakes must change it first.
//
// Threading: any thread. The word must outlive every call on it.

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>

#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace brim {

namespace platform::detail {

using FutexWord = std::atomic<std::uint32_t>;
static_assert(sizeof(FutexWord) == sizeof(std::uint32_t) && FutexWord::is_always_lock_free,
              "the kernel reads a futex word as a plain 32-bit integer");

inline void FutexWait(const FutexWord& word, std::uint32_t expected,
                      std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1)) noexcept {
    timespec relative{};
    timespec* wait = nullptr;
    if (timeout.count() >= 0) {
        relative.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000'000);
        relative.tv_nsec = static_cast<long>(timeout.count() % 1'000'000'000);
        wait = &relative;
    }
    // EAGAIN (the word moved on), EINTR and ETIMEDOUT all mean "look again".
    static_cast<void>(syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, expected, wait, nullptr, 0));
}

inline void FutexWake(const FutexWord& word, int count = INT_MAX) noexcept {
    static_cast<void>(syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0));
}

}  // namespace platform::detail

}  // namespace brim
