#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>

#include <BrimSubscriber/mainthread/WindowMessages.h>
#include <BrimSubscriber/platform/Check.h>
#include <BrimSubscriber/platform/Lock.h>

#include "mainthread/internal/InPlaceCall.h"
#include "platform/internal/RingQueue.h"

#include <exception>
#include <utility>

using mainthread_detail::InPlaceCall;

// Posting numbers a call and rings the doorbell under one lock, so the
// doorbells arrive in the order of the numbers and a refused one is taken
// back from the end at once. The owning thread takes every queued call in
// one lock when it has run out of taken ones, and runs them from the front.
struct MainThreadDispatcher::Queue {
    struct Call {
        Call(std::uint32_t number, InPlaceCall&& callable) noexcept : id(number), call(std::move(callable)) {}
        std::uint32_t id;
        InPlaceCall call;
    };
    // The leaf lock of the dispatcher: held for a post, never while a
    // callable runs. It is taken before the window's and the thread queue's
    // locks, never after them (they belong to other objects, which the
    // analysis cannot order).
    platform::CriticalSection cs;
    std::uint32_t nextId BRIM_GUARDED_BY(cs) = 0;
    platform::detail::RingQueue<Call> pending BRIM_GUARDED_BY(cs);
    platform::detail::RingQueue<Call> taken;  // the owning thread's
    // taken.size(), for QueuedCount on other threads; written by the owning
    // thread only, so posting never touches its cache line.
    std::atomic<std::size_t> takenCount{0};
};

MainThreadDispatcher& MainThreadDispatcher::Instance() {
    static MainThreadDispatcher instance;
    return instance;
}

MainThreadDispatcher::MainThreadDispatcher() : m_queue(std::make_unique<Queue>()) {
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

bool MainThreadDispatcher::DispatchAsync(std::function<void()>&& call) {
    return Post(InPlaceCall(std::exchange(call, nullptr)));  // leaves the caller's empty
}

bool MainThreadDispatcher::Post(InPlaceCall&& call) {
    Queue& queue = *m_queue;
    InPlaceCall refused;  // destroyed after the lock is released: it may run any code
    std::exception_ptr failure;
    bool posted = false;
    {
        const platform::LockGuard lock(queue.cs);
        const std::uint32_t id = queue.nextId;
        queue.pending.emplace_back(id, std::move(call));  // unchanged if this throws
        try {
            posted = m_wnd.PostMessage(WM_CALLBACK, id, 0);
        } catch (...) {  // out of memory in the thread's queue: taken back as if refused, then rethrown
            failure = std::current_exception();
        }
        if (posted) {
            ++queue.nextId;  // wraps to 0 after 0xFFFFFFFF
        } else {
            refused = std::move(queue.pending[queue.pending.size() - 1].call);
            queue.pending.pop_back();
        }
    }
    if (failure) std::rethrow_exception(failure);
    if (!posted) m_refused.fetch_add(1, std::memory_order_relaxed);
    return posted;
}

bool MainThreadDispatcher::DispatchSync(std::function<void()>&& call) {
    // The caller waits, so the callable goes by address, never through the
    // queue: a send that is not handled (the window or its thread is gone)
    // leaves nothing behind.
    std::function<void()> waiting = std::exchange(call, nullptr);
    static_cast<void>(m_wnd.TrySendMessage(WM_CALLBACK, 0, reinterpret_cast<LPARAM>(&waiting)));
    return true;
}

std::size_t MainThreadDispatcher::QueuedCount() const {
    Queue& queue = *m_queue;
    const platform::LockGuard lock(queue.cs);
    return queue.pending.size() + queue.takenCount.load(std::memory_order_relaxed);
}

void MainThreadDispatcher::OnCallbackMessage(WPARAM wParam, LPARAM lParam) {
    BRIM_DCHECK(m_wnd.BelongsToCurrentThread(), "a dispatcher's callable reached a thread that does not own it");
    if (lParam != 0) {
        // A sent callable: it runs and goes here, on the owning thread.
        const std::function<void()> call = std::move(*reinterpret_cast<std::function<void()>*>(lParam));
        if (call) call();
        return;
    }
    OnCallback(static_cast<std::uint32_t>(wParam));
}

void MainThreadDispatcher::OnCallback(std::uint32_t id) {
    Queue& queue = *m_queue;
    if (queue.taken.empty()) {
        const platform::LockGuard lock(queue.cs);
        queue.taken.swap(queue.pending);
        queue.takenCount.store(queue.taken.size(), std::memory_order_relaxed);
    }
    // Doorbells arrive in the order of their numbers, so the call is at the
    // front; a number that matches nothing (its call was discarded with its
    // window) runs nothing.
    if (queue.taken.empty() || queue.taken.front().id != id) return;
    InPlaceCall call = std::move(queue.taken.front().call);
    queue.taken.pop_front();
    queue.takenCount.store(queue.taken.size(), std::memory_order_relaxed);
    if (call) call();
}
