#pragma once

// FutexLock: a ranked, non-recursive lock on the futex core of
// platform/Lock.h, for the locks that every post takes (a thread's message
// queue). Like CriticalSection it reports to the lock-order check in debug
// builds; unlike it, it cannot lend itself to a std::condition_variable, and
// its uncontended take and release are one atomic instruction each, inline.
// FutexUniqueLock holds it for a scope and may release and retake it.
//
// Threading: any thread; the holder releases it.

#include <BrimSubscriber/platform/Lock.h>

namespace brim {

namespace platform::detail {

class BRIM_CAPABILITY("mutex") FutexLock {
public:
    explicit constexpr FutexLock(brim::platform::LockRank rank) noexcept : m_lock(rank) {}

    void lock() BRIM_ACQUIRE() { m_lock.lock(); }
    void unlock() BRIM_RELEASE() { m_lock.unlock(); }

private:
    RankedMutex<FutexMutex> m_lock;
};

class BRIM_SCOPED_CAPABILITY FutexUniqueLock {
public:
    explicit FutexUniqueLock(FutexLock& lock) BRIM_ACQUIRE(lock) : m_lock(lock) { m_lock.lock(); }
    FutexUniqueLock(const FutexUniqueLock&) = delete;
    FutexUniqueLock& operator=(const FutexUniqueLock&) = delete;
    ~FutexUniqueLock() BRIM_RELEASE() {  // releases it when still held
        if (m_held) m_lock.unlock();
    }

    void Unlock() BRIM_RELEASE() {
        m_lock.unlock();
        m_held = false;
    }
    void Lock() BRIM_ACQUIRE() {
        m_lock.lock();
        m_held = true;
    }

private:
    FutexLock& m_lock;
    bool m_held = true;
};

}  // namespace platform::detail

}  // namespace brim
