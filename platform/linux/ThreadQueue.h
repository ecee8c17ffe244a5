#pragma once

// The message queue of one thread: posted and sent messages, window timers,
// the live targets, and the eventfd that tells an event loop there is work.

#include "platform/WinTypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

class CWnd;

namespace platform::detail {

class ThreadQueue : public std::enable_shared_from_this<ThreadQueue> {
public:
    using Clock = std::chrono::steady_clock;

    ThreadQueue();  // throws std::system_error when no eventfd can be made
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;
    ~ThreadQueue();

    // The calling thread's queue, made on first use; null when it cannot be made.
    static std::shared_ptr<ThreadQueue> ForCurrentThread();

    [[nodiscard]] bool IsOwnerThread() const { return std::this_thread::get_id() == m_owner; }

    // Targets. Register/Unregister run on the owning thread.
    std::uint64_t Register(CWnd* wnd);
    void Unregister(std::uint64_t id);
    [[nodiscard]] bool IsLive(std::uint64_t id);

    bool Post(std::uint64_t id, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Send(std::uint64_t id, UINT message, WPARAM wParam, LPARAM lParam);
    bool SetTimer(std::uint64_t id, UINT_PTR timerId, UINT elapseMs);
    bool KillTimer(std::uint64_t id, UINT_PTR timerId);

    bool RunPending();
    void RequestQuit();
    bool TakeQuit();
    // Waits, on the owning thread, until work arrives or timeoutMs passes
    // (-1: no time-out).
    void WaitForWork(int timeoutMs);
    [[nodiscard]] int WakeFd() const { return m_eventFd; }
    [[nodiscard]] std::size_t PendingCount();
    [[nodiscard]] int TimeUntilNextTimerMs();

    // The owning thread has ended: pending work is dropped, senders released,
    // and later posts and sends fail.
    void Close();

private:
    struct Posted {
        std::uint64_t target;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    struct Sent {
        std::uint64_t target;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT result = 0;
        bool done = false;  // guarded by m_mutex
    };
    struct Timer {
        std::uint64_t target;
        UINT_PTR id;
        std::chrono::milliseconds interval;
        Clock::time_point due;
    };

    bool RunSentMessages();
    // Marks that work is waiting: wakes the owning thread's own loop, or makes
    // the eventfd readable for an embedding loop. Returns true when the caller
    // must notify m_workArrived (after unlocking, where it can).
    [[nodiscard]] bool SignalLocked();
    void CompleteSendsLocked(std::uint64_t target, bool all);
    CWnd* FindLocked(std::uint64_t id);
    LRESULT Dispatch(std::uint64_t target, UINT message, WPARAM wParam, LPARAM lParam);

    const std::thread::id m_owner;
    const int m_eventFd;

    std::mutex m_mutex;
    std::condition_variable m_sendDone;
    std::condition_variable m_workArrived;            // wakes the owning thread waiting in its own loop
    std::unordered_map<std::uint64_t, CWnd*> m_live;  // guarded by m_mutex
    std::uint64_t m_nextId = 1;                       // guarded by m_mutex
    std::deque<Posted> m_posted;                      // guarded by m_mutex
    std::deque<Sent*> m_sent;                         // guarded by m_mutex
    std::vector<Timer> m_timers;                      // guarded by m_mutex
    bool m_signalled = false;                         // guarded by m_mutex; eventfd holds a count
    bool m_runWaiting = false;                        // guarded by m_mutex; the owner waits in WaitForWork
    bool m_woken = false;                             // guarded by m_mutex
    bool m_closed = false;                            // guarded by m_mutex
    std::atomic<bool> m_quit{false};                  // set under m_mutex, so a waiter sees it with the wake-up
    std::atomic<std::size_t> m_sentCount{0};          // m_sent.size(), readable without the lock
    std::atomic<std::uint64_t> m_unregisterGeneration{0};  // moves when a target goes; written under m_mutex
};

}  // namespace platform::detail
