#pragma once

// Locks of the platform layer, annotated for clang's thread-safety analysis.
//
// CriticalSection is a plain, non-recursive mutex: for leaf locks that no
// thread ever takes twice. RecursiveLock may be taken again by the thread that
// holds it: for registries whose callbacks may re-enter them.
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
// Construction never throws: std::mutex and std::recursive_mutex are
// constexpr-constructible on this platform.
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

class BRIM_CAPABILITY("mutex") CriticalSection {
public:
    constexpr CriticalSection() noexcept = default;
    explicit constexpr CriticalSection(brim::platform::LockRank rank) noexcept : m_rank(rank) {}

    void lock() BRIM_ACQUIRE() {
        NoteTaken();
        m_mutex.lock();
    }
    void unlock() BRIM_RELEASE() {
        m_mutex.unlock();
        NoteReleased();
    }
    bool try_lock() BRIM_TRY_ACQUIRE(true) {
        if (!m_mutex.try_lock()) return false;
        NoteTaken();
        return true;
    }

private:
    friend class UniqueLock;
    void NoteTaken() const noexcept {
#if BRIM_DCHECK_IS_ON
        if (m_rank != brim::platform::LockRank::None) brim::platform::NoteLockTaken(m_rank);
#endif
    }
    void NoteReleased() const noexcept {
#if BRIM_DCHECK_IS_ON
        if (m_rank != brim::platform::LockRank::None) brim::platform::NoteLockReleased(m_rank);
#endif
    }

    std::mutex m_mutex;
    brim::platform::LockRank m_rank = brim::platform::LockRank::None;
};

class BRIM_CAPABILITY("mutex") RecursiveLock {
public:
    void lock() BRIM_ACQUIRE() { m_mutex.lock(); }
    void unlock() BRIM_RELEASE() { m_mutex.unlock(); }
    bool try_lock() BRIM_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    std::recursive_mutex m_mutex;
};

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
    explicit UniqueLock(CriticalSection& cs) BRIM_ACQUIRE(cs) : m_cs(cs), m_lock(cs.m_mutex, std::defer_lock) {
        m_cs.NoteTaken();
        m_lock.lock();
    }
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;
    ~UniqueLock() BRIM_RELEASE() {  // releases it when still held
        if (!m_lock.owns_lock()) return;
        m_lock.unlock();
        m_cs.NoteReleased();
    }

    void Unlock() BRIM_RELEASE() {
        m_lock.unlock();
        m_cs.NoteReleased();
    }
    void Lock() BRIM_ACQUIRE() {
        m_cs.NoteTaken();
        m_lock.lock();
    }

    // For std::condition_variable::wait, which releases the lock while it
    // waits and holds it again when it returns.
    std::unique_lock<std::mutex>& ForWait() { return m_lock; }

private:
    CriticalSection& m_cs;
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
