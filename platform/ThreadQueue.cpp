#include "platform/internal/ThreadQueue.h"

#include <BrimSubscriber/platform/Wnd.h>

#include <utility>

namespace brim {

namespace platform::detail {
namespace {

// Closes the calling thread's queue when the thread ends, so that senders
// waiting on it are released and later posts fail instead of piling up.
struct CurrentQueue {
    std::shared_ptr<ThreadQueue> queue;
    CurrentQueue() = default;
    CurrentQueue(const CurrentQueue&) = delete;
    CurrentQueue& operator=(const CurrentQueue&) = delete;
    ~CurrentQueue();
};

thread_local CurrentQueue t_current;
// Trivially destructible, so it can still be read after the thread's other
// thread-local objects are gone (static destructors at exit run then).
thread_local bool t_ended = false;

CurrentQueue::~CurrentQueue() {
    t_ended = true;
    if (queue) queue->Close();
}

}  // namespace

// On the way out of a pass, normal or by exception: work left for a later
// pass keeps the queue signalled.
class ThreadQueue::LeftoverSignal {
public:
    explicit LeftoverSignal(ThreadQueue& queue) : m_queue(queue) {}
    LeftoverSignal(const LeftoverSignal&) = delete;
    LeftoverSignal& operator=(const LeftoverSignal&) = delete;
    ~LeftoverSignal() {
        bool notify = false;
        {
            const LockGuard lock(m_queue.m_mutex);
            notify = m_queue.HasWorkLocked() && m_queue.SignalLocked();
        }
        if (notify) m_queue.WakeOwner();
    }

private:
    ThreadQueue& m_queue;
};

ThreadQueue::ThreadQueue() = default;

ThreadQueue::~ThreadQueue() = default;

std::shared_ptr<ThreadQueue> ThreadQueue::ForCurrentThread() {
    if (t_ended) return nullptr;
    // Not make_shared: the constructor may throw (no descriptor left), and
    // nothing of a half-built control block should be touched then.
    if (!t_current.queue) t_current.queue = std::shared_ptr<ThreadQueue>(new ThreadQueue());
    return t_current.queue;
}

bool ThreadQueue::IsClosed() {
    const LockGuard lock(m_mutex);
    return m_closed;
}

void ThreadQueue::Unregister(std::uint64_t id) {
    {
        // The target ends and its messages go in one section of m_mutex, so
        // a batch taken under it never holds a message of an ended target
        // with a generation that says it is live. From then on a send or a
        // timer for it is refused, so what is dropped here stays dropped.
        const LockGuard lock(m_mutex);
        if (!m_targets.Remove(id)) return;
        m_posted.erase_if([this, id](const Posted& p) BRIM_NO_THREAD_SAFETY_ANALYSIS {  // under m_mutex
            if (p.target != id) return false;
            m_postedCount -= p.count;
            return true;
        });
        CompleteSendsLocked(id, false);
    }
    m_timers.KillAllOf(id);
    // On the owning thread a handler may destroy any target, its own
    // included; it knows what it runs inside.
    if (!IsOwnerThread()) m_targets.WaitForHandlersOf(id);
}

bool ThreadQueue::HasWorkLocked() const {
    return !m_sent.empty() || !m_posted.empty() || m_batchSize.load(std::memory_order_relaxed) > 0 ||
           m_quit.load(std::memory_order_acquire);
}

int ThreadQueue::WakeFd() {
    const LockGuard lock(m_mutex);
    if (!m_wakeUpPolled.exchange(true, std::memory_order_relaxed) && m_signalled) m_wakeUp.Signal();
    return m_wakeUp.Fd();
}

void ThreadQueue::CompleteSendsLocked(std::uint64_t target, bool all) {
    for (auto it = m_sent.begin(); it != m_sent.end();) {
        if (all || (*it)->target == target) {
            Sent* const sent = *it;
            it = m_sent.erase(it);
            m_sentCount.fetch_sub(1, std::memory_order_relaxed);
            CompleteSend(*sent, std::nullopt);
        } else {
            ++it;
        }
    }
}

void ThreadQueue::CompleteSend(Sent& sent, std::optional<LRESULT> result) noexcept {
    sent.delivered = result.has_value();
    sent.result = result.value_or(0);
    // From this store on the sender may return and `sent` end: nothing below
    // touches it. The word moves after it, so a sender that read the word
    // before seeing `done` unset does not sleep through this.
    sent.done.store(true, std::memory_order_release);
    m_sendWord.fetch_add(1, std::memory_order_seq_cst);
    // Every sender waits on the one word, and only the one whose send this
    // was will stay awake. A sender counts itself before it reads the word,
    // so either it is counted here or it sees the word moved.
    if (m_sendWaiters.load(std::memory_order_seq_cst) > 0) FutexWake(m_sendWord);
}

bool ThreadQueue::Post(std::uint64_t id, CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostWith(id, wnd, message, lParam, [wParam] { return wParam; });
}

std::optional<LRESULT> ThreadQueue::Send(std::uint64_t id, UINT message, WPARAM wParam, LPARAM lParam) {
    if (IsOwnerThread()) {
        const std::uint64_t generation = m_targets.Generation();
        CWnd* const wnd = m_targets.Find(id);
        LRESULT result = 0;
        if (wnd == nullptr || !m_targets.RunHandler(id, wnd, generation, message, wParam, lParam, &result)) {
            return std::nullopt;
        }
        return result;
    }
    Sent sent{id, message, wParam, lParam};
    bool wake = false;
    {
        const LockGuard lock(m_mutex);
        // Checked under m_mutex: an Unregister either ends the target before
        // this (refused here) or completes this send after it is queued.
        if (m_closed || !m_targets.IsLive(id)) return std::nullopt;
        m_sent.push_back(&sent);
        m_sentCount.fetch_add(1, std::memory_order_release);
        wake = SignalLocked();
    }
    if (wake) WakeOwner();
    m_sendWaiters.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
        // The word first: a completion after this read moves it, and the
        // wait below then returns at once.
        const std::uint32_t seen = m_sendWord.load(std::memory_order_seq_cst);
        if (sent.done.load(std::memory_order_acquire)) break;
        FutexWait(m_sendWord, seen);
    }
    m_sendWaiters.fetch_sub(1, std::memory_order_relaxed);
    if (!sent.delivered) return std::nullopt;
    return sent.result;
}

bool ThreadQueue::SetTimer(std::uint64_t id, UINT_PTR timerId, UINT elapseMs) {
    if (!m_timers.Set(id, timerId, elapseMs)) return false;
    Signal();  // a loop waiting for an earlier deadline must recompute it
    return true;
}

void ThreadQueue::SetTimerClock(const brim::platform::TimerClock* clock) {
    m_timers.SetClock(clock);
    Signal();
}

void ThreadQueue::Signal() {
    bool wake = false;
    {
        const LockGuard lock(m_mutex);
        wake = SignalLocked();
    }
    if (wake) WakeOwner();
}

bool ThreadQueue::RunPending() {
    const LeftoverSignal leftover(*this);
    TakeWakeUp();
    bool handled = RunSentMessages();
    handled = RunPostedBatch() || handled;
    if (m_quit.load(std::memory_order_acquire)) return handled;
    return RunDueTimers() || handled;
}

void ThreadQueue::TakeWakeUp() {
    const LockGuard lock(m_mutex);
    if (!m_signalled || m_batchSize.load(std::memory_order_relaxed) > 0) return;
    if (m_wakeUpPolled.load(std::memory_order_relaxed)) m_wakeUp.Drain();
    m_signalled = false;
}

bool ThreadQueue::RunSentMessages() {
    bool handled = false;
    for (;;) {
        FutexUniqueLock lock(m_mutex);
        if (m_sent.empty()) return handled;
        Sent* sent = m_sent.front();
        m_sent.pop_front();
        m_sentCount.fetch_sub(1, std::memory_order_relaxed);
        lock.Unlock();
        // Taken off the queue, the send is this thread's alone: neither an
        // Unregister nor Close can reach it any more. Its word belongs to the
        // queue, which the sender keeps alive while it waits.
        const std::uint64_t generation = m_targets.Generation();
        CWnd* const wnd = m_targets.Find(sent->target);
        LRESULT result = 0;
        bool ran = false;
        try {
            ran = m_targets.RunHandler(sent->target, wnd, generation, sent->message, sent->wParam, sent->lParam,
                                       &result);
        } catch (...) {
            CompleteSend(*sent, LRESULT{0});  // it ran; the sender must not wait for ever on a handler that threw
            throw;
        }
        CompleteSend(*sent, ran ? std::optional<LRESULT>(result) : std::nullopt);
        handled = true;
    }
}

bool ThreadQueue::RunPostedBatch() {
    // A batch left by an earlier pass (a Quit, an exception) is finished
    // first; the messages waiting by then follow, so that nothing posted
    // before this pass began waits behind its timers.
    const bool leftover = !m_batch.empty();
    if (!leftover && !TakeBatch()) return false;
    bool handled = RunBatch();
    if (leftover && m_batch.empty() && !m_quit.load(std::memory_order_acquire) && TakeBatch()) {
        handled = RunBatch() || handled;
    }
    return handled;
}

bool ThreadQueue::TakeBatch() {
    const LockGuard lock(m_mutex);
    if (m_posted.empty()) return false;
    // Every target of the batch was live when posted; one that has ended
    // since is skipped by RunHandler once the generation has moved.
    m_batchGeneration = m_targets.Generation();
    m_batch.swap(m_posted);
    m_batchSize.store(m_postedCount, std::memory_order_relaxed);
    m_batchTaken = std::exchange(m_postedCount, 0);
    ++m_batchEpoch;
    // A handler may open a nested loop that polls the descriptor; it must
    // wake for the rest of this batch.
    if (m_batchTaken > 1 && m_wakeUpPolled.load(std::memory_order_relaxed)) {
        static_cast<void>(SignalLocked());  // the owner runs, so no waiter needs notifying
    }
    return true;
}

bool ThreadQueue::RunBatch() {
    const std::uint64_t epoch = m_batchEpoch;
    bool handled = false;
    while (!m_batch.empty() && m_batchEpoch == epoch) {
        if (m_quit.load(std::memory_order_acquire)) break;
        if (m_sentCount.load(std::memory_order_acquire) > 0) handled = RunSentMessages() || handled;
        if (const std::uint64_t generation = m_targets.Generation(); generation != m_batchGeneration) {
            // A target went: resolve the rest of the batch afresh.
            for (std::size_t i = 0; i < m_batch.size(); ++i) m_batch[i].wnd = m_targets.Find(m_batch[i].target);
            m_batchGeneration = generation;
        }
        if (m_batch.empty() || m_batchEpoch != epoch) break;  // a sent message's handler ran a nested pass
        // Read field by field: a run's count changes in place with each of
        // its messages, and a copy of the whole entry, read wide across it,
        // waited for that store every time.
        Posted& front = m_batch.front();
        const std::uint64_t target = front.target;
        CWnd* const wnd = front.wnd;
        const UINT message = front.message;
        const WPARAM wParam = front.wParam;
        const LPARAM lParam = front.lParam;
        if (--front.count == 0) m_batch.pop_front();
        m_batchSize.store(m_batchSize.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        handled = true;
        m_targets.RunHandler(target, wnd, m_batchGeneration, message, wParam, lParam);
    }
    return handled;
}

bool ThreadQueue::RunDueTimers() {
    // Timer messages come after the posted ones: one WM_TIMER per due timer.
    // The pass owns its list: a handler's nested loop runs a pass of its own,
    // which reuses the kept storage while this one is still walking its list.
    std::vector<TimerQueue::Key> due;
    due.swap(m_dueTimers);
    due.clear();
    m_timers.TakeDue(due);
    bool handled = false;
    for (const TimerQueue::Key& key : due) {
        // A handler may have killed a later timer of the same pass.
        if (!m_timers.IsSet(key)) continue;
        const std::uint64_t generation = m_targets.Generation();
        CWnd* const wnd = m_targets.Find(key.first);
        if (wnd != nullptr && m_targets.RunHandler(key.first, wnd, generation, WM_TIMER, key.second, 0)) {
            handled = true;
        }
    }
    m_dueTimers.swap(due);  // its storage serves the next pass
    return handled;
}

void ThreadQueue::RequestQuit() {
    const LockGuard lock(m_mutex);
    m_quit.store(true, std::memory_order_release);
    if (SignalLocked()) WakeOwner();
}

bool ThreadQueue::TakeQuit() { return m_quit.exchange(false, std::memory_order_acq_rel); }

int ThreadQueue::TimeUntilNextTimerMs() {
    {
        const LockGuard lock(m_mutex);
        if (HasWorkLocked()) return 0;
    }
    return m_timers.MsUntilNext();
}

std::size_t ThreadQueue::PendingCount() {
    const LockGuard lock(m_mutex);
    return m_sent.size() + m_postedCount + m_batchSize.load(std::memory_order_relaxed);
}

void ThreadQueue::WaitForWork(int timeoutMs) {
    FutexUniqueLock lock(m_mutex);
    if (m_signalled || HasWorkLocked() || timeoutMs == 0) return;
    m_runWaiting = true;
    m_woken = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_woken) {
        // Read under m_mutex, where a signal moves it: a wake-up after the
        // unlock changes the word, and the wait returns at once.
        const std::uint32_t seen = m_workWord.load(std::memory_order_relaxed);
        std::chrono::nanoseconds left(-1);
        if (timeoutMs > 0) {
            left = deadline - Clock::now();
            if (left.count() <= 0) break;
        }
        lock.Unlock();
        FutexWait(m_workWord, seen, left);
        lock.Lock();
    }
    m_runWaiting = false;
}

void ThreadQueue::Close() {
    const LockGuard lock(m_mutex);
    m_targets.Close();
    m_timers.Clear();
    m_closed = true;
    m_posted.clear();
    m_postedCount = 0;
    CompleteSendsLocked(0, true);
    if (IsOwnerThread()) {
        m_batch.clear();
        m_batchSize.store(0, std::memory_order_relaxed);
        m_batchTaken = 0;
    }
}

}  // namespace platform::detail

}  // namespace brim
