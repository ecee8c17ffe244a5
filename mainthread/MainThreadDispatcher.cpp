#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>

#include <BrimSubscriber/mainthread/WindowMessages.h>
#include <BrimSubscriber/platform/Check.h>

#include <algorithm>
#include <optional>
#include <utility>

MainThreadDispatcher& MainThreadDispatcher::Instance() {
    static MainThreadDispatcher instance;
    return instance;
}

MainThreadDispatcher::MainThreadDispatcher() {
    m_wnd.m_pOwner = this;
    m_wnd.CreateEx("MainThreadDispatcher Callback Window");
}

MainThreadDispatcher::~MainThreadDispatcher() {
    // The window goes first, so no handler can reach the queue that follows
    // it; off the owning thread this waits for a callable running there. The
    // members' order would destroy the window first anyway; this says so, and
    // keeps it so should a member ever follow the window.
    m_wnd.DestroyWindow();
}

std::uint32_t MainThreadDispatcher::Enqueue(std::function<void()>&& call) {
    const platform::LockGuard lock(m_cs);
    const std::uint32_t id = m_nextId++;  // wraps to 0 after 0xFFFFFFFF
    m_queue.push_back(QueuedCall{id, std::exchange(call, nullptr)});  // leaves the caller's empty
    return id;
}

bool MainThreadDispatcher::DispatchAsync(std::function<void()>&& call) {
    const std::uint32_t id = Enqueue(std::move(call));
    bool posted = false;
    try {
        posted = m_wnd.PostMessage(WM_CALLBACK, id, 0);
    } catch (...) {
        Discard(id);  // no doorbell will ever ring for it
        throw;
    }
    if (!posted) {
        Discard(id);
        m_refused.fetch_add(1, std::memory_order_relaxed);
    }
    return posted;
}

bool MainThreadDispatcher::DispatchSync(std::function<void()>&& call) {
    const std::uint32_t id = Enqueue(std::move(call));
    std::optional<LRESULT> handled;
    try {
        handled = m_wnd.TrySendMessage(WM_CALLBACK, id, 0);
    } catch (...) {
        // The send could not be queued (or the callable threw, and is gone
        // already); either way nothing of it may stay behind.
        Discard(id);
        throw;
    }
    // Not handled: the window or its thread is gone, so the record could never
    // run; keeping it would grow the queue with every such call.
    if (!handled) Discard(id);
    return true;
}

std::size_t MainThreadDispatcher::QueuedCount() const {
    const platform::LockGuard lock(m_cs);
    return m_queue.size();
}

void MainThreadDispatcher::Discard(std::uint32_t id) {
    std::function<void()> discarded;  // destroyed after the lock is released
    const platform::LockGuard lock(m_cs);
    const auto it = std::find_if(m_queue.begin(), m_queue.end(), [id](const QueuedCall& q) { return q.id == id; });
    if (it != m_queue.end()) {
        discarded = std::move(it->call);
        m_queue.erase(it);
    }
}

void MainThreadDispatcher::OnCallback(std::uint32_t id) {
    BRIM_DCHECK(m_wnd.BelongsToCurrentThread(), "a dispatcher's callable reached a thread that does not own it");
    std::function<void()> call;
    {
        const platform::LockGuard lock(m_cs);
        const auto it = std::find_if(m_queue.begin(), m_queue.end(), [id](const QueuedCall& q) { return q.id == id; });
        if (it == m_queue.end()) return;
        call = std::move(it->call);
        m_queue.erase(it);
    }
    if (call) call();
}
