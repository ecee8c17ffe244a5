#pragma once

// ThreadQueue: the message queue of one thread, behind CWnd and MessageLoop:
// the posted messages in order of posting, the sent messages whose senders
// wait, and the wake-up of the loop that runs them. The thread's targets
// (platform/internal/TargetTable.h) and window timers
// (platform/internal/TimerQueue.h) are parts of their own.
//
// Contract:
// - Post appends a message for a live target and never blocks; it fails when
//   the queue is closed, the target is not live, or kPostedQueueLimit posted
//   messages already wait (those taken into the batch being run included).
// - Send from the owning thread calls the target's handler at once. From any
//   other thread it waits until the owning thread has handled the message, or
//   until the target is unregistered or the queue closed; the result says
//   which (no value: not handled).
// - RunPending, on the owning thread only, runs one pass, in these steps:
//     1. TakeWakeUp: drain the wake-up descriptor (kept readable while a batch
//        is being run, for nested loops that poll it);
//     2. RunSentMessages: every waiting sent message;
//     3. RunPostedBatch: the posted messages, a batch at a time. When no batch
//        is being run, everything posted so far becomes the batch, in one
//        lock. Messages are taken from the front of the batch one by one, so
//        a handler that runs a nested loop (RunPending inside a handler) goes
//        on with the same batch, in order of posting; the pass that took the
//        batch stops when it is used up, or when a nested pass has started a
//        newer one. Sent messages that arrive meanwhile run before the next
//        posted one. A Quit request, or an exception from a handler, ends the
//        step and leaves the rest of the batch for the next pass, which
//        finishes it and then runs the messages waiting by then;
//     4. RunDueTimers: one WM_TIMER per due timer, unless Quit was requested.
//   Whatever is left for a later pass keeps the queue signalled, so neither
//   Run nor a polling event loop sleeps on it.
// - Unregister may run on any thread. After it, no handler of the target
//   starts; its posted messages and timers are dropped and its senders
//   released. From a thread other than the owning one it also waits until a
//   handler of the target that runs on the owning thread right now (nested
//   ones included) has returned, so the target may be destroyed afterwards
//   (the TargetTable's handshake). The caller must not hold anything such a
//   handler waits for.
// - Close, when the owning thread ends: every target goes, pending work is
//   dropped, senders are released, and later posts and sends fail.
//
// Concurrency: m_mutex guards the posted and sent messages and the wake-up
// state; a poster or sender changes them and signals under it, the owning
// thread takes them under it and runs handlers outside it. The owning thread
// sleeps on a futex word that a signal moves on, and a sender on another
// that each completed send moves on, so that a round trip costs each side one
// wake and one wait and never a wake-up of the mutex. The batch being
// run is the owning thread's alone; the atomics beside it are copies of
// counts that other threads read without the lock. Every post takes m_mutex,
// so it is a FutexLock, one atomic instruction each way. It ranks after a
// CWnd's handle lock and before the timers' and the targets' locks
// (brim::platform::LockRank).
//
// Threading: RunPending, RunUntil's waits (WaitForWork) and TakeQuit
// on the owning thread; everything else on any thread.

#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/ThreadChecker.h>
#include <BrimSubscriber/platform/WinTypes.h>
#include <BrimSubscriber/platform/Wnd.h>
#include "platform/internal/Futex.h"
#include "platform/internal/FutexLock.h"
#include "platform/internal/RingQueue.h"
#include "platform/internal/TargetTable.h"
#include "platform/internal/TimerQueue.h"
#include "platform/internal/WakeUpFd.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace brim {

namespace platform::detail {

class ThreadQueue : public std::enable_shared_from_this<ThreadQueue> {
public:
    using Clock = std::chrono::steady_clock;

    ThreadQueue();  // throws std::system_error when no wake-up descriptor can be made
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;
    ~ThreadQueue();

    // The calling thread's queue, made on first use. Throws std::system_error
    // when it cannot be made (the next call tries again); null once the
    // thread has ended.
    static std::shared_ptr<ThreadQueue> ForCurrentThread();

    [[nodiscard]] bool IsOwnerThread() const { return m_owner.CalledOnValidThread(); }
    // Whether the owning thread has ended (Close): nothing can be queued any more.
    [[nodiscard]] bool IsClosed();

    // Targets. Register on any thread (the target belongs to the owning
    // thread whoever registers it); 0 when the queue is closed.
    std::uint64_t Register(CWnd* wnd) { return m_targets.Add(wnd); }
    void Unregister(std::uint64_t id);
    [[nodiscard]] bool IsLive(std::uint64_t id) { return m_targets.IsLive(id); }

    // `wnd` is the target `id`; its caller holds the target's handle lock, so
    // the target cannot be unregistered meanwhile.
    bool Post(std::uint64_t id, CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam);
    // Post for a poster that keeps data of its own beside each message and
    // wants both in one lock: when the message is accepted, `commit()` runs
    // under the queue's lock, stores the poster's part and returns the
    // message's wParam. Nothing is queued when it throws. The target must
    // stay registered meanwhile (its owner does not unregister it while
    // posting, as a CWnd's handle lock ensures for Post). Not taken: false,
    // and `commit` has not run.
    template <class Commit>
    bool PostWith(std::uint64_t id, CWnd* wnd, UINT message, LPARAM lParam, Commit&& commit);
    // Runs `f()` under the queue's lock: for the data a poster stores
    // through PostWith. `f` must not call back into the queue.
    template <class F>
    decltype(auto) WithLock(F&& f) {
        const LockGuard lock(m_mutex);
        return f();
    }
    std::optional<LRESULT> Send(std::uint64_t id, UINT message, WPARAM wParam, LPARAM lParam);
    bool SetTimer(std::uint64_t id, UINT_PTR timerId, UINT elapseMs);
    bool KillTimer(std::uint64_t id, UINT_PTR timerId) { return m_timers.Kill(id, timerId); }
    void SetTimerClock(const brim::platform::TimerClock* clock);

    bool RunPending();
    void RequestQuit();
    bool TakeQuit();
    [[nodiscard]] bool IsQuitRequested() const { return m_quit.load(std::memory_order_acquire); }
    // Waits, on the owning thread, until work arrives or timeoutMs passes
    // (-1: no time-out).
    void WaitForWork(int timeoutMs);
    // The wake-up descriptor, for an event loop that polls it. Once asked
    // for, it is also kept readable while a batch of posted messages is being
    // run, so that a nested loop of the polling kind wakes for the rest.
    [[nodiscard]] int WakeFd();
    [[nodiscard]] std::size_t PendingCount();
    [[nodiscard]] int TimeUntilNextTimerMs();

    void Close();

private:
    // A posted message, or a run of identical ones posted one after another
    // (a poster that keeps its data beside the queue rings the same doorbell
    // for each): `count` messages, handled one by one as if queued apart,
    // which makes a burst of them take one place instead of one each.
    struct Posted {
        std::uint64_t target;
        CWnd* wnd;  // the target as resolved when posted; re-resolved after an Unregister
        UINT message;
        std::uint32_t count;
        WPARAM wParam;
        LPARAM lParam;
        [[nodiscard]] bool Repeats(std::uint64_t t, UINT m, WPARAM w, LPARAM l) const {
            return target == t && message == m && wParam == w && lParam == l;
        }
    };
    struct Sent {
        std::uint64_t target;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        // Written by the one thread that completes the send, before `done`;
        // read by the sender after it.
        LRESULT result = 0;
        bool delivered = false;  // the handler ran
        // Set once, when the send leaves the queue for good; the sender may
        // return (and the object end) the moment it sees it.
        std::atomic<bool> done{false};
    };
    class LeftoverSignal;

    // The steps of one pass (see above).
    void TakeWakeUp();
    bool RunSentMessages();
    bool RunPostedBatch();
    bool TakeBatch() BRIM_EXCLUDES(m_mutex);  // false when nothing was waiting
    bool RunBatch();
    bool RunDueTimers();

    // Marks that work is waiting: wakes the owning thread's own loop, or makes
    // the descriptor readable for a polling loop. Returns true when the caller
    // must call WakeOwner (after unlocking, where it can).
    [[nodiscard]] bool SignalLocked() BRIM_REQUIRES(m_mutex);
    void WakeOwner() noexcept { FutexWake(m_workWord, 1); }
    void Signal() BRIM_EXCLUDES(m_mutex);
    // Hands a taken send back to its sender, who may return at once.
    void CompleteSend(Sent& sent, std::optional<LRESULT> result) noexcept;
    [[nodiscard]] bool HasWorkLocked() const BRIM_REQUIRES(m_mutex);
    // Whether a post may be queued now: open, and below the bound.
    [[nodiscard]] bool RoomForPostLocked() const BRIM_REQUIRES(m_mutex);
    void CompleteSendsLocked(std::uint64_t target, bool all) BRIM_REQUIRES(m_mutex);

    const ThreadChecker m_owner;
    WakeUpFd m_wakeUp;
    TargetTable m_targets;
    TimerQueue m_timers{m_targets};

    FutexLock m_mutex{brim::platform::LockRank::ThreadQueue};
    FutexWord m_workWord{0};  // moved on by each wake-up of the owner waiting in WaitForWork, under m_mutex
    FutexWord m_sendWord{0};  // moved on after each send is completed; senders wait on it
    std::atomic<int> m_sendWaiters{0};  // senders between queuing and seeing their send done
    RingQueue<Posted> m_posted BRIM_GUARDED_BY(m_mutex);
    std::size_t m_postedCount BRIM_GUARDED_BY(m_mutex) = 0;  // the messages in m_posted, runs counted out
    std::deque<Sent*> m_sent BRIM_GUARDED_BY(m_mutex);
    bool m_signalled BRIM_GUARDED_BY(m_mutex) = false;   // the descriptor is readable
    bool m_runWaiting BRIM_GUARDED_BY(m_mutex) = false;  // the owner waits in WaitForWork
    bool m_woken BRIM_GUARDED_BY(m_mutex) = false;
    bool m_closed BRIM_GUARDED_BY(m_mutex) = false;
    std::atomic<bool> m_wakeUpPolled{false};  // an event loop polls the descriptor
    std::atomic<bool> m_quit{false};          // set under m_mutex, so a waiter sees it with the wake-up
    std::atomic<std::size_t> m_sentCount{0};  // m_sent.size(), readable without the lock

    // The batch of posted messages being run: owning thread only.
    RingQueue<Posted> m_batch;
    std::uint64_t m_batchGeneration = 0;  // the targets' generation when the batch's targets were resolved
    std::uint64_t m_batchEpoch = 0;       // counts the batches taken
    std::atomic<std::size_t> m_batchSize{0};  // the messages left in m_batch, readable by other threads
    std::size_t m_batchTaken BRIM_GUARDED_BY(m_mutex) = 0;  // m_batchSize when it was taken: never less
    std::vector<TimerQueue::Key> m_dueTimers;  // owning thread only: storage lent to each pass in turn
};

// Defined here, so that every post inlines them.
inline bool ThreadQueue::RoomForPostLocked() const {
    if (m_closed) return false;
    // The batch being run counts too, but it is the owning thread's to
    // change: read it only near the bound, so that a post does not fetch
    // that thread's cache line each time.
    return m_postedCount + m_batchTaken < CWnd::kPostedQueueLimit ||
           m_postedCount + m_batchSize.load(std::memory_order_relaxed) < CWnd::kPostedQueueLimit;
}

inline bool ThreadQueue::SignalLocked() {
    if (m_runWaiting) {
        // The owning thread waits in its own loop: its futex word wakes it
        // for less than the descriptor's write, poll and read. One wake-up
        // is enough however much work arrives before it runs. The word moves
        // under m_mutex, where the owner read it before it went to sleep, so
        // a wake-up between the two is never lost.
        if (m_woken) return false;
        m_woken = true;
        m_workWord.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (m_signalled) return false;
    m_signalled = true;
    // Only an event loop that polls the descriptor needs it readable; our own
    // loop finds m_signalled when it next looks.
    if (m_wakeUpPolled.load(std::memory_order_relaxed)) m_wakeUp.Signal();
    return false;
}

template <class Commit>
bool ThreadQueue::PostWith(std::uint64_t id, CWnd* wnd, UINT message, LPARAM lParam, Commit&& commit) {
    bool wake = false;
    {
        const LockGuard lock(m_mutex);
        if (!RoomForPostLocked()) return false;
        m_posted.make_room();  // may throw: nothing has changed yet
        const WPARAM wParam = commit();
        if (!m_posted.empty() && m_posted.back().Repeats(id, message, wParam, lParam)) {
            ++m_posted.back().count;  // the bound keeps it far below the type's limit
        } else {
            m_posted.emplace_back(Posted{id, wnd, message, 1, wParam, lParam});  // room made: cannot throw
        }
        ++m_postedCount;
        wake = SignalLocked();
    }
    // After the unlock, so the woken loop does not block on the mutex at once.
    if (wake) WakeOwner();
    return true;
}

}  // namespace platform::detail

}  // namespace brim
