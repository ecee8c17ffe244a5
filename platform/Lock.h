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

#include <BrimSubscriber/platform/ThreadAnnotations.h>

#include <mutex>

namespace platform {

class BRIM_CAPABILITY("mutex") CriticalSection {
public:
    void lock() BRIM_ACQUIRE() { m_mutex.lock(); }
    void unlock() BRIM_RELEASE() { m_mutex.unlock(); }
    bool try_lock() BRIM_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    friend class UniqueLock;
    std::mutex m_mutex;
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
    explicit UniqueLock(CriticalSection& cs) BRIM_ACQUIRE(cs) : m_lock(cs.m_mutex) {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;
    ~UniqueLock() BRIM_RELEASE() = default;  // releases it when still held

    void Unlock() BRIM_RELEASE() { m_lock.unlock(); }
    void Lock() BRIM_ACQUIRE() { m_lock.lock(); }

    // For std::condition_variable::wait, which releases the lock while it
    // waits and holds it again when it returns.
    std::unique_lock<std::mutex>& ForWait() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

}  // namespace platform
