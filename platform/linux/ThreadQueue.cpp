#include "platform/linux/ThreadQueue.h"

#include "platform/Wnd.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
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

void ThreadQueue::SignalLocked() {
    if (m_signalled) return;
    m_signalled = true;
    const std::uint64_t one = 1;
    // A full counter (impossible with one pending write) or EAGAIN still
    // leaves the fd readable, which is all a waiter needs.
    [[maybe_unused]] const auto written = ::write(m_eventFd, &one, sizeof one);
}

void ThreadQueue::CompleteSendsLocked(std::uint64_t target, bool all) {
    bool released = false;
    for (auto it = m_sent.begin(); it != m_sent.end();) {
        if (all || (*it)->target == target) {
            (*it)->result = 0;
            (*it)->done = true;
            it = m_sent.erase(it);
            released = true;
        } else {
            ++it;
        }
    }
    if (released) m_sendDone.notify_all();
}

bool ThreadQueue::Post(std::uint64_t id, UINT message, WPARAM wParam, LPARAM lParam) {
    const std::lock_guard lock(m_mutex);
    if (m_closed || !m_live.contains(id) || m_posted.size() >= CWnd::kPostedQueueLimit) {
        return false;
    }
    m_posted.push_back(Posted{id, message, wParam, lParam});
    SignalLocked();
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
    SignalLocked();
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
    SignalLocked();  // a loop waiting for an earlier deadline must recompute it
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

bool ThreadQueue::RunPending() {
    bool handled = false;
    std::size_t postedBudget = 0;
    {
        const std::lock_guard lock(m_mutex);
        std::uint64_t drained = 0;
        [[maybe_unused]] const auto read = ::read(m_eventFd, &drained, sizeof drained);
        m_signalled = false;
        postedBudget = m_posted.size();
    }
    bool timersChecked = false;
    for (;;) {
        std::unique_lock lock(m_mutex);
        if (m_quit) break;
        if (!m_sent.empty()) {
            Sent* sent = m_sent.front();
            m_sent.pop_front();
            CWnd* wnd = FindLocked(sent->target);
            lock.unlock();
            LRESULT result = 0;
            try {
                result = wnd != nullptr ? wnd->WindowProc(sent->message, sent->wParam, sent->lParam) : 0;
            } catch (...) {
                lock.lock();
                sent->done = true;
                m_sendDone.notify_all();
                throw;
            }
            lock.lock();
            sent->result = result;
            sent->done = true;
            m_sendDone.notify_all();
            handled = true;
            continue;
        }
        if (postedBudget > 0 && !m_posted.empty()) {
            --postedBudget;
            const Posted posted = m_posted.front();
            m_posted.pop_front();
            CWnd* wnd = FindLocked(posted.target);
            lock.unlock();
            if (wnd != nullptr) wnd->WindowProc(posted.message, posted.wParam, posted.lParam);
            handled = true;
            continue;
        }
        if (timersChecked) break;
        timersChecked = true;
        // Timer messages come after the posted ones: one WM_TIMER per due timer.
        const auto now = Clock::now();
        std::vector<std::pair<std::uint64_t, UINT_PTR>> due;
        for (Timer& timer : m_timers) {
            if (timer.due <= now) {
                due.emplace_back(timer.target, timer.id);
                timer.due = now + timer.interval;
            }
        }
        lock.unlock();
        for (const auto& [target, timerId] : due) {
            // A handler may have killed a later timer of the same batch.
            bool stillSet = false;
            CWnd* wnd = nullptr;
            {
                const std::lock_guard relock(m_mutex);
                stillSet = std::any_of(m_timers.begin(), m_timers.end(),
                                       [&](const Timer& t) { return t.target == target && t.id == timerId; });
                wnd = FindLocked(target);
            }
            if (stillSet && wnd != nullptr) {
                wnd->WindowProc(WM_TIMER, timerId, 0);
                handled = true;
            }
        }
    }
    const std::lock_guard lock(m_mutex);
    if (!m_sent.empty() || !m_posted.empty()) SignalLocked();
    return handled;
}

void ThreadQueue::RequestQuit() {
    const std::lock_guard lock(m_mutex);
    m_quit = true;
    SignalLocked();
}

bool ThreadQueue::TakeQuit() {
    const std::lock_guard lock(m_mutex);
    return std::exchange(m_quit, false);
}

int ThreadQueue::TimeUntilNextTimerMs() {
    const std::lock_guard lock(m_mutex);
    if (!m_sent.empty() || !m_posted.empty() || m_quit) return 0;
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
    pollfd fd{m_eventFd, POLLIN, 0};
    // EINTR simply returns early; the caller loops.
    [[maybe_unused]] const int ready = ::poll(&fd, 1, timeoutMs);
}

void ThreadQueue::Close() {
    const std::lock_guard lock(m_mutex);
    m_closed = true;
    m_posted.clear();
    m_timers.clear();
    m_live.clear();
    CompleteSendsLocked(0, true);
}

}  // namespace platform::detail
