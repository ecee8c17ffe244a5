#pragma once

// Locks of the platform layer, annotated for clang's thread-safety analysis.
//
// CriticalSection is a plain, non-recursive mutex: for leaf locks that no
// thread ever takes twice. RecursiveLock may be taken again by the thread that
// holds it: for registries whose callbacks may re-enter them. It guards the
// subscription maps, which every delivery takes and releases, so it is our
// own: a futex word and its owner, whose uncontended take and release are one
// atomic instruction each and inline. With the C library's recursive mutex, a
// delivery to one receiver cost two fifths to a half more, in the calls and
// checks of its kind. A waiter sleeps in the kernel; nothing spins.
//
//   platform::CriticalSection m_cs;
//   int m_count BRIM_GUARDED_BY(m_cs) = 0;
//   void Add() { const platform::LockGuard lock(m_cs); ++m_count; }
//
// LockGuard holds a lock for its scope. UniqueLock holds a CriticalSection,
// may release and retake it, and lends it to a std::condition_variable
// (ForWait()). Both are std::lock_guard / std::unique_lock with the
// annotations the analysis needs; std::lock_guard itself is invisible to it.
//
// Construction never throws: std::mutex is constexpr-constructible on this
// platform, and RecursiveLock is a few zeroed words.
//
// The lock order of the library is stated once, by LockRank below: a thread
// that holds a ranked lock may take only locks of a higher rank. A
// CriticalSection built with a rank reports each lock and unlock to the
// calling thread's record, and debug builds stop the process (as BRIM_DCHECK
// does) when a lock is taken against the order, before it can deadlock.
// Clang's analysis cannot order locks of different objects; this check can.
// Release builds keep the rank (one byte, so the layout does not depend on
// how the includer was compiled) and check nothing.

#include <BrimSubscriber/platform/Check.h>
#include <BrimSubscriber/platform/PlatformExport.h>
#include <BrimSubscriber/platform/ThreadAnnotations.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace brim {

namespace platform {

// The library's locks that nest, outermost first.
enum class LockRank : unsigned char {
    None,                // not ranked: not checked
    DispatcherBindings,  // a MainThreadDispatcher's list of bindings
    DispatcherQueue,     // no longer taken (a binding's calls share the thread queue's lock); keeps later values
    WindowHandle,        // a CWnd's handle
    ThreadQueue,         // a thread's message queue: posted and sent messages, wake-up
    Timers,              // that thread's window timers
    Targets,             // that thread's table of message targets
};
inline constexpr unsigned kLockRankCount = 7;

// The calling thread takes / has released a lock of `rank`; the first stops
// the process when the thread holds a lock of the same or a higher rank.
// The locks below call them in debug builds only.
BRIM_PLATFORM_API void NoteLockTaken(LockRank rank) noexcept;
BRIM_PLATFORM_API void NoteLockReleased(LockRank rank) noexcept;

}  // namespace platform

namespace platform {

namespace detail {

// The core of our own locks: one 32-bit word that the kernel's futex sleeps
// on, 0 free, 1 held, 2 held with a thread asleep for it. Taken and released
// without contention, it is one atomic instruction each way; a thread that
// finds it held sleeps until the holder releases it. Not recursive, ranks
// nothing, annotates nothing: the locks built on it do.
class FutexMutex {
public:
    constexpr FutexMutex() noexcept = default;
    FutexMutex(const FutexMutex&) = delete;
    FutexMutex& operator=(const FutexMutex&) = delete;

    void lock() noexcept {
        std::uint32_t seen = 0;
        if (!m_word.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            LockContended(seen);
        }
    }
    bool try_lock() noexcept {
        std::uint32_t seen = 0;
        return m_word.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() noexcept {
        if (m_word.exchange(0, std::memory_order_release) == 2) WakeOne();
    }

private:
    BRIM_PLATFORM_API void LockContended(std::uint32_t seen) noexcept;
    BRIM_PLATFORM_API void WakeOne() noexcept;

    std::atomic<std::uint32_t> m_word{0};
};

// A mutex of either kind with the rank it reports to the lock-order check
// (debug builds only; LockRank::None is not checked). The ranked locks below
// wrap it and carry the analysis' annotations.
template <class Mutex>
struct RankedMutex {
    constexpr RankedMutex() noexcept = default;
    explicit constexpr RankedMutex(brim::platform::LockRank r) noexcept : rank(r) {}

    void lock() {
        NoteTaken();
        mutex.lock();
    }
    void unlock() {
        mutex.unlock();
        NoteReleased();
    }
    bool try_lock() {
        if (!mutex.try_lock()) return false;
        NoteTaken();
        return true;
    }
    void NoteTaken() const noexcept {
#if BRIM_DCHECK_IS_ON
        if (rank != brim::platform::LockRank::None) brim::platform::NoteLockTaken(rank);
#endif
    }
    void NoteReleased() const noexcept {
#if BRIM_DCHECK_IS_ON
        if (rank != brim::platform::LockRank::None) brim::platform::NoteLockReleased(rank);
#endif
    }

    Mutex mutex;
    brim::platform::LockRank rank = brim::platform::LockRank::None;
};

}  // namespace detail

class BRIM_CAPABILITY("mutex") CriticalSection {
public:
    constexpr CriticalSection() noexcept = default;
    explicit constexpr CriticalSection(brim::platform::LockRank rank) noexcept : m_lock(rank) {}

    void lock() BRIM_ACQUIRE() { m_lock.lock(); }
    void unlock() BRIM_RELEASE() { m_lock.unlock(); }
    bool try_lock() BRIM_TRY_ACQUIRE(true) { return m_lock.try_lock(); }

private:
    friend class UniqueLock;
    detail::RankedMutex<std::mutex> m_lock;
};

class BRIM_CAPABILITY("mutex") RecursiveLock {
public:
    constexpr RecursiveLock() noexcept = default;
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void lock() BRIM_ACQUIRE() {
        if (TakeAgain()) return;
        m_mutex.lock();
        Own();
    }
    void unlock() BRIM_RELEASE() {
        if (--m_depth != 0) return;
        m_owner.store(0, std::memory_order_relaxed);
        m_mutex.unlock();
    }
    bool try_lock() BRIM_TRY_ACQUIRE(true) {
        if (TakeAgain()) return true;
        if (!m_mutex.try_lock()) return false;
        Own();
        return true;
    }

private:
    // The thread's own control block, distinct among live threads. Only the
    // holder stores its own here, and clears it before it releases, so
    // another thread never reads its own value.
    static std::uintptr_t Self() noexcept { return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer()); }
    bool TakeAgain() noexcept {
        if (m_owner.load(std::memory_order_relaxed) != Self()) return false;
        ++m_depth;
        return true;
    }
    void Own() noexcept {
        m_owner.store(Self(), std::memory_order_relaxed);
        m_depth = 1;
    }

    detail::FutexMutex m_mutex;
    std::uint32_t m_depth = 0;  // the holder's alone
    std::atomic<std::uintptr_t> m_owner{0};
    // The size of the std::recursive_mutex it replaced: the subscription
    // map's layout, in public headers, stays as it was.
    [[maybe_unused]] std::byte m_reserved[24]{};
};
static_assert(sizeof(RecursiveLock) == 40 && alignof(RecursiveLock) == alignof(std::recursive_mutex));

template <class Lock>
class BRIM_SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(Lock& lock) BRIM_ACQUIRE(lock) : m_lock(lock) { m_lock.lock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() BRIM_RELEASE() { m_lock.unlock(); }

private:
    Lock& m_lock;
};

class BRIM_SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(CriticalSection& cs) BRIM_ACQUIRE(cs)
        : m_ranked(cs.m_lock), m_lock(cs.m_lock.mutex, std::defer_lock) {
        m_ranked.NoteTaken();
        m_lock.lock();
    }
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;
    ~UniqueLock() BRIM_RELEASE() {  // releases it when still held
        if (!m_lock.owns_lock()) return;
        m_lock.unlock();
        m_ranked.NoteReleased();
    }

    void Unlock() BRIM_RELEASE() {
        m_lock.unlock();
        m_ranked.NoteReleased();
    }
    void Lock() BRIM_ACQUIRE() {
        m_ranked.NoteTaken();
        m_lock.lock();
    }

    // For std::condition_variable::wait, which releases the lock while it
    // waits and holds it again when it returns.
    std::unique_lock<std::mutex>& ForWait() { return m_lock; }

private:
    detail::RankedMutex<std::mutex>& m_ranked;
    std::unique_lock<std::mutex> m_lock;
};

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::CriticalSection;
using brim::platform::LockGuard;
using brim::platform::RecursiveLock;
using brim::platform::UniqueLock;
}  // namespace platform
#endif
