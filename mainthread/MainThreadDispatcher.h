#pragma once

// MainThreadDispatcher: runs callables on its owning thread.
//
// The owning thread is the thread that constructed the dispatcher; in this
// library it is the user-interface thread. Any thread hands it a callable,
// either queued without waiting (DispatchAsync) or run while the caller waits
// (DispatchSync). The callables stay in the dispatcher's own numbered queue; a
// hidden window of the owning thread is only the doorbell: each dispatch posts
// or sends one WM_CALLBACK carrying the number, and the window's handler runs
// the callable with that number. Queued callables are kept in place, not on
// the heap: a callable of up to 64 bytes (a std::function's own storage, say)
// is queued without an allocation once the queue has grown to the traffic.
//
//   auto& ui = MainThreadDispatcher::Instance();
//   ui.DispatchAsync([text] { statusBar.SetText(text); });   // from a worker
//   ui.DispatchSync([&] { snapshot = model.Copy(); });       // waits for it
//
// Order: callables dispatched asynchronously from one thread run in the order
// of dispatch; a DispatchSync does not wait behind them. Each callable runs at
// most once, and only on the owning thread, with no lock of the dispatcher
// held, so it may dispatch again (a nested DispatchSync runs at once).
//
// Threading: DispatchAsync, DispatchSync and QueuedCount from any thread;
// construction on the owning thread; destruction on any thread.
// Lifetime: destroying the dispatcher discards every queued callable unrun
// (destroying what it captured). Destroyed off the owning thread, it first
// waits until a callable of its that runs on the owning thread right now has
// returned, so no callable ever runs on a destroyed dispatcher. The dispatcher
// cannot be copied or moved.
// Deadlock: a thread that the owning thread waits for must not call
// DispatchSync, nor destroy the dispatcher while one of its callables waits for
// that thread; a DispatchSync caller must not hold anything the callable needs.

#include <BrimSubscriber/mainthread/CallbackWindow.h>
#include <BrimSubscriber/Export.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace mainthread_detail {
class InPlaceCall;
}

class BRIMSUBSCRIBER_API MainThreadDispatcher {
public:
    // The process-wide dispatcher; the first call constructs it on the calling
    // thread, which should be the user-interface thread.
    static MainThreadDispatcher& Instance();

    // Throws std::system_error, with the system's error code, when the owning
    // thread's message queue cannot be made (no file descriptor is left).
    MainThreadDispatcher();
    MainThreadDispatcher(const MainThreadDispatcher&) = delete;
    MainThreadDispatcher& operator=(const MainThreadDispatcher&) = delete;
    ~MainThreadDispatcher();

    // Queues the callable for the owning thread and returns at once. Returns
    // false when the doorbell cannot be rung (the window is gone or the
    // owning thread's queue is full): the callable is then destroyed unrun and
    // the queue is as before. `call` is left empty either way.
    bool DispatchAsync(std::function<void()>&& call);

    // Runs the callable on the owning thread and returns after it has run: at
    // once, nested, when called on the owning thread. Always returns true. If
    // the window no longer exists, or the owning thread ends before handling
    // it, the callable does not run and is destroyed before the call returns;
    // nothing of it stays queued.
    bool DispatchSync(std::function<void()>&& call);

    // Diagnostics, cheap and callable from any thread:
    // callables queued and not yet run or discarded;
    [[nodiscard]] std::size_t QueuedCount() const;
    // DispatchAsync calls refused so far (queue full, window or thread gone).
    [[nodiscard]] std::uint64_t RefusedCount() const noexcept { return m_refused.load(std::memory_order_relaxed); }

private:
    friend class CallbackWindow<MainThreadDispatcher>;
    friend class SubscriptionMap;  // posts its deliveries in place
    using CallbackWnd = CallbackWindow<MainThreadDispatcher>;
    struct Queue;

    // DispatchAsync's work, for a callable already in place.
    bool Post(mainthread_detail::InPlaceCall&& call);
    void OnCallback(std::uint32_t id);
    void OnCallbackMessage(WPARAM wParam, LPARAM lParam);
    void OnTimerMessage(WPARAM /*timerId*/) {}

    // The numbered calls and their lock (see the .cpp): queued by any thread,
    // taken in batches by the owning thread.
    const std::unique_ptr<Queue> m_queue;
    CallbackWnd m_wnd;
    std::atomic<std::uint64_t> m_refused{0};
};
