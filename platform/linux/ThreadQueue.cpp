#include "platform/linux/ThreadQueue.h"

#include "platform/Wnd.h"

#include <algorithm>
#include <cerrno>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace platform::detail {
namespace {

int MakeEventFd() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    return fd;
}

// Closes the calling thread's queue when the thread ends, so that senders
// waiting on it are released and later posts fail instead of piling up.
struct CurrentQueue {
    std::shared_ptr<ThreadQueue> queue;
    CurrentQueue() = default;
    CurrentQueue(const CurrentQueue&) = delete;
    CurrentQueue& operator=(const CurrentQueue&) = delete;
    ~CurrentQueue() {
        if (queue) queue->Close();
    }
};

thread_local CurrentQueue t_current;

}  // namespace

ThreadQueue::ThreadQueue() : m_owner(std::this_thread::get_id()), m_eventFd(MakeEventFd()) {}

ThreadQueue::~ThreadQueue() { ::close(m_eventFd); }

std::shared_ptr<ThreadQueue> ThreadQueue::ForCurrentThread() {
    if (!t_current.queue) {
        try {
            t_current.queue = std::make_shared<ThreadQueue>();
        } catch (const std::system_error&) {
            return nullptr;
        }
    }
    return t_current.queue;
}

std::uint64_t ThreadQueue::Register(CWnd* wnd) {
    const std::lock_guard lock(m_mutex);
    if (m_closed) return 0;
    const std::uint64_t id = m_nextId++;
    m_live.emplace(id, wnd);
    return id;
}

void ThreadQueue::Unregister(std::uint64_t id) {
    const std::lock_guard lock(m_mutex);
    if (m_live.erase(id) == 0) return;
    m_unregisterGeneration.fetch_add(1, std::memory_order_relaxed);
    std::erase_if(m_posted, [id](const Posted& p) { return p.target == id; });
    std::erase_if(m_timers, [id](const Timer& t) { return t.target == id; });
    CompleteSendsLocked(id, false);
}

bool ThreadQueue::IsLive(std::uint64_t id) {
    const std::lock_guard lock(m_mutex);
    return m_live.contains(id);
}

CWnd* ThreadQueue::FindLocked(std::uint64_t id) {
    const auto it = m_live.find(id);
    return it == m_live.end() ? nullptr : it->second;
}

bool ThreadQueue::SignalLocked() {
    if (m_runWaiting) {
        // The owning thread waits in its own loop: a condition variable wakes
        // it for less than the eventfd's write, poll and read. One wake-up is
        // enough however much work arrives before it runs.
        if (m_woken) return false;
        m_woken = true;
        return true;
    }
    if (m_signalled) return false;
    m_signalled = true;
    const std::uint64_t one = 1;
    // A full counter (impossible with one pending write) or EAGAIN still
    // leaves the fd readable, which is all a waiter needs.
    [[maybe_unused]] const auto written = ::write(m_eventFd, &one, sizeof one);
    return false;
}

void ThreadQueue::CompleteSendsLocked(std::uint64_t target, bool all) {
    bool released = false;
    for (auto it = m_sent.begin(); it != m_sent.end();) {
        if (all || (*it)->target == target) {
            (*it)->result = 0;
            (*it)->done = true;
            it = m_sent.erase(it);
            m_sentCount.fetch_sub(1, std::memory_order_relaxed);
            released = true;
        } else {
            ++it;
        }
    }
    if (released) m_sendDone.notify_all();
}

bool ThreadQueue::Post(std::uint64_t id, UINT message, WPARAM wParam, LPARAM lParam) {
    bool wake = false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_closed || !m_live.contains(id) || m_posted.size() >= CWnd::kPostedQueueLimit) {
            return false;
        }
        m_posted.push_back(Posted{id, message, wParam, lParam});
        wake = SignalLocked();
    }
    // After the unlock, so the woken loop does not block on the mutex at once.
    if (wake) m_workArrived.notify_one();
    return true;
}

LRESULT ThreadQueue::Send(std::uint64_t id, UINT message, WPARAM wParam, LPARAM lParam) {
    if (IsOwnerThread()) {
        return Dispatch(id, message, wParam, lParam);
    }
    Sent sent{id, message, wParam, lParam};
    std::unique_lock lock(m_mutex);
    if (m_closed || !m_live.contains(id)) return 0;
    m_sent.push_back(&sent);
    m_sentCount.fetch_add(1, std::memory_order_release);
    if (SignalLocked()) {
        lock.unlock();
        m_workArrived.notify_one();
        lock.lock();
    }
    m_sendDone.wait(lock, [&sent] { return sent.done; });
    return sent.result;
}

bool ThreadQueue::SetTimer(std::uint64_t id, UINT_PTR timerId, UINT elapseMs) {
    const std::lock_guard lock(m_mutex);
    if (m_closed || !m_live.contains(id)) return false;
    const auto interval = std::chrono::milliseconds(std::max<UINT>(elapseMs, 1));
    const auto due = Clock::now() + interval;
    const auto it = std::find_if(m_timers.begin(), m_timers.end(),
                                 [&](const Timer& t) { return t.target == id && t.id == timerId; });
    if (it != m_timers.end()) {
        it->interval = interval;
        it->due = due;
    } else {
        m_timers.push_back(Timer{id, timerId, interval, due});
    }
    if (SignalLocked()) m_workArrived.notify_one();  // a loop waiting for an earlier deadline must recompute it
    return true;
}

bool ThreadQueue::KillTimer(std::uint64_t id, UINT_PTR timerId) {
    const std::lock_guard lock(m_mutex);
    return std::erase_if(m_timers, [&](const Timer& t) { return t.target == id && t.id == timerId; }) > 0;
}

LRESULT ThreadQueue::Dispatch(std::uint64_t target, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* wnd = nullptr;
    {
        const std::lock_guard lock(m_mutex);
        wnd = FindLocked(target);
    }
    // Targets are destroyed only on this thread, so the target found here is
    // still alive while its handler runs.
    return wnd != nullptr ? wnd->WindowProc(message, wParam, lParam) : 0;
}

bool ThreadQueue::RunSentMessages() {
    bool handled = false;
    for (;;) {
        std::unique_lock lock(m_mutex);
        if (m_sent.empty()) return handled;
        Sent* sent = m_sent.front();
        m_sent.pop_front();
        m_sentCount.fetch_sub(1, std::memory_order_relaxed);
        CWnd* wnd = FindLocked(sent->target);
        lock.unlock();
        LRESULT result = 0;
        try {
            result = wnd != nullptr ? wnd->WindowProc(sent->message, sent->wParam, sent->lParam) : 0;
        } catch (...) {
            lock.lock();
            sent->done = true;  // the sender must not wait for ever on a handler that threw
            lock.unlock();
            m_sendDone.notify_all();
            throw;
        }
        lock.lock();
        sent->result = result;
        sent->done = true;
        lock.unlock();
        // Notified after the unlock, so the woken sender does not block on the
        // mutex straight away. The condition variable belongs to the queue,
        // which the sender keeps alive, so it may return the moment it sees done.
        m_sendDone.notify_all();
        handled = true;
    }
}

bool ThreadQueue::RunPending() {
    {
        const std::lock_guard lock(m_mutex);
        if (m_signalled) {
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto read = ::read(m_eventFd, &drained, sizeof drained);
            m_signalled = false;
        }
    }
    bool handled = RunSentMessages();

    // The posted messages waiting now are taken in one go, with their targets
    // resolved, so that each message costs no lock of its own. Targets are
    // destroyed on this thread only; when one is destroyed meanwhile (the
    // generation moves), the rest of the batch is resolved afresh.
    struct Batched {
        Posted posted;
        CWnd* wnd;
    };
    std::vector<Batched> batch;
    std::uint64_t generation = 0;
    {
        const std::lock_guard lock(m_mutex);
        batch.reserve(m_posted.size());
        for (const Posted& posted : m_posted) batch.push_back({posted, FindLocked(posted.target)});
        m_posted.clear();
        generation = m_unregisterGeneration.load(std::memory_order_relaxed);
    }
    std::size_t next = 0;
    // Messages not handled because Quit() was called or a handler threw go
    // back to the front of the queue, in their order.
    struct PutBack {
        ThreadQueue& queue;
        std::vector<Batched>& batch;
        std::size_t& next;
        PutBack(ThreadQueue& q, std::vector<Batched>& b, std::size_t& n) : queue(q), batch(b), next(n) {}
        PutBack(const PutBack&) = delete;
        PutBack& operator=(const PutBack&) = delete;
        ~PutBack() {
            if (next >= batch.size()) return;
            const std::lock_guard lock(queue.m_mutex);
            for (std::size_t i = batch.size(); i > next; --i) queue.m_posted.push_front(batch[i - 1].posted);
            if (queue.SignalLocked()) queue.m_workArrived.notify_one();
        }
    } putBack{*this, batch, next};
    while (next < batch.size()) {
        if (m_quit.load(std::memory_order_acquire)) return handled;
        if (m_sentCount.load(std::memory_order_acquire) > 0) handled = RunSentMessages() || handled;
        const Batched& item = batch[next++];
        CWnd* wnd = item.wnd;
        if (m_unregisterGeneration.load(std::memory_order_relaxed) != generation) {
            const std::lock_guard lock(m_mutex);
            wnd = FindLocked(item.posted.target);
        }
        if (wnd != nullptr) wnd->WindowProc(item.posted.message, item.posted.wParam, item.posted.lParam);
        handled = true;
    }
    if (m_quit.load(std::memory_order_acquire)) return handled;

    // Timer messages come after the posted ones: one WM_TIMER per due timer.
    std::vector<std::pair<std::uint64_t, UINT_PTR>> due;
    {
        const std::lock_guard lock(m_mutex);
        const auto now = Clock::now();
        for (Timer& timer : m_timers) {
            if (timer.due <= now) {
                due.emplace_back(timer.target, timer.id);
                timer.due = now + timer.interval;
            }
        }
    }
    for (const auto& timer : due) {
        const std::uint64_t target = timer.first;
        const UINT_PTR timerId = timer.second;
        // A handler may have killed a later timer of the same batch.
        CWnd* wnd = nullptr;
        {
            const std::lock_guard lock(m_mutex);
            const bool stillSet = std::any_of(m_timers.begin(), m_timers.end(),
                                              [&](const Timer& t) { return t.target == target && t.id == timerId; });
            wnd = stillSet ? FindLocked(target) : nullptr;
        }
        if (wnd != nullptr) {
            wnd->WindowProc(WM_TIMER, timerId, 0);
            handled = true;
        }
    }
    const std::lock_guard lock(m_mutex);
    if ((!m_sent.empty() || !m_posted.empty()) && SignalLocked()) m_workArrived.notify_one();
    return handled;
}

void ThreadQueue::RequestQuit() {
    const std::lock_guard lock(m_mutex);
    m_quit.store(true, std::memory_order_release);
    if (SignalLocked()) m_workArrived.notify_one();
}

bool ThreadQueue::TakeQuit() { return m_quit.exchange(false, std::memory_order_acq_rel); }

int ThreadQueue::TimeUntilNextTimerMs() {
    const std::lock_guard lock(m_mutex);
    if (!m_sent.empty() || !m_posted.empty() || m_quit.load(std::memory_order_acquire)) return 0;
    if (m_timers.empty()) return -1;
    const auto next = std::min_element(m_timers.begin(), m_timers.end(),
                                       [](const Timer& a, const Timer& b) { return a.due < b.due; })->due;
    const auto now = Clock::now();
    if (next <= now) return 0;
    // Round up so that a loop woken by the timeout finds the timer due.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::min<std::int64_t>(wait, 0x7FFFFFFF));
}

std::size_t ThreadQueue::PendingCount() {
    const std::lock_guard lock(m_mutex);
    return m_sent.size() + m_posted.size();
}

void ThreadQueue::WaitForWork(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    if (m_signalled || !m_sent.empty() || !m_posted.empty() || m_quit.load(std::memory_order_acquire)) return;
    if (timeoutMs == 0) return;
    m_runWaiting = true;
    m_woken = false;
    const auto woken = [this] { return m_woken; };
    if (timeoutMs < 0) {
        m_workArrived.wait(lock, woken);
    } else {
        m_workArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken);
    }
    m_runWaiting = false;
}

void ThreadQueue::Close() {
    const std::lock_guard lock(m_mutex);
    m_closed = true;
    m_unregisterGeneration.fetch_add(1, std::memory_order_relaxed);
    m_posted.clear();
    m_timers.clear();
    m_live.clear();
    CompleteSendsLocked(0, true);
}

}  // namespace platform::detail
