#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>

#include <BrimSubscriber/mainthread/WindowMessages.h>
#include <BrimSubscriber/platform/Diagnostics.h>
#include <BrimSubscriber/platform/WinThread.h>

#include "platform/internal/RingQueue.h"

#include <exception>
#include <utility>

namespace brim {

using Callable = brim::MoveOnlyFunction<void()>;
using brim::DispatchStatus;

// One hidden window on one thread's loop, with the numbered calls waiting
// for it. Posting numbers a call and rings the doorbell under one lock, so
// the doorbells arrive in the order of the numbers and a refused one is taken
// back from the end at once. The owning thread takes every queued call in one
// lock when it has run out of taken ones, and runs them from the front.
class MainThreadDispatcher::Binding {
public:
    Binding() { m_wnd.m_pOwner = this; }
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;
    // The window goes first, so no handler can reach the calls that follow
    // it; off the owning thread this waits for a call running there.
    ~Binding() { m_wnd.DestroyWindow(); }

    bool CreateHere() { return m_wnd.CreateEx(kWindowName); }
    bool CreateOnUserInterfaceThread() { return m_wnd.CreateExOnUserInterfaceThread(kWindowName); }

    // Queued, or refused with the call destroyed unrun and nothing left
    // behind. Allocation failure comes out as an exception, the same way.
    bool Post(Callable&& call);
    // False when the window or its thread was gone before the call ran.
    bool Send(Callable& waiting) {
        return m_wnd.TrySendMessage(WM_CALLBACK, 0, reinterpret_cast<LPARAM>(&waiting)).has_value();
    }
    [[nodiscard]] bool IsLive() const { return m_wnd.IsWindow(); }
    [[nodiscard]] std::size_t QueuedCount();
    // For a binding whose thread has ended: discards its calls once and
    // returns how many there were.
    std::size_t DiscardIfEnded() noexcept;

private:
    friend class CallbackWindow<Binding>;
    static constexpr const char* kWindowName = "MainThreadDispatcher Callback Window";

    struct Call {
        Call(std::uint32_t number, Callable&& callable) noexcept : id(number), call(std::move(callable)) {}
        std::uint32_t id;
        Callable call;
    };

    void OnCallbackMessage(WPARAM wParam, LPARAM lParam);
    void OnTimerMessage(WPARAM /*timerId*/) {}

    // The leaf lock of the dispatcher: held for a post, never while a
    // callable runs; ranked before the window's and the thread queue's
    // (brim::platform::LockRank).
    platform::CriticalSection m_cs{brim::platform::LockRank::DispatcherQueue};
    std::uint32_t m_nextId BRIM_GUARDED_BY(m_cs) = 0;
    platform::detail::RingQueue<Call> m_pending BRIM_GUARDED_BY(m_cs);
    bool m_discarded BRIM_GUARDED_BY(m_cs) = false;
    // The owning thread's. Read by others only once that thread has ended
    // (its queue's lock, taken by IsLive, orders the reads after its writes).
    platform::detail::RingQueue<Call> m_taken;
    // m_taken.size(), for QueuedCount on other threads; written by the owning
    // thread only, so posting never touches its cache line.
    std::atomic<std::size_t> m_takenCount{0};
    CallbackWindow<Binding> m_wnd;
};

bool MainThreadDispatcher::Binding::Post(Callable&& call) {
    Callable refused;  // destroyed after the lock is released: it may run any code
    std::exception_ptr failure;
    bool posted = false;
    {
        const platform::LockGuard lock(m_cs);
        const std::uint32_t id = m_nextId;
        m_pending.emplace_back(id, std::move(call));  // unchanged if this throws
        try {
            posted = m_wnd.PostMessage(WM_CALLBACK, id, 0);
        } catch (...) {  // out of memory in the thread's queue: taken back as if refused, then rethrown
            failure = std::current_exception();
        }
        if (posted) {
            ++m_nextId;  // wraps to 0 after 0xFFFFFFFF
        } else {
            refused = std::move(m_pending[m_pending.size() - 1].call);
            m_pending.pop_back();
        }
    }
    if (failure) std::rethrow_exception(failure);
    return posted;
}

std::size_t MainThreadDispatcher::Binding::QueuedCount() {
    const platform::LockGuard lock(m_cs);
    return m_pending.size() + m_takenCount.load(std::memory_order_relaxed);
}

std::size_t MainThreadDispatcher::Binding::DiscardIfEnded() noexcept {
    if (IsLive()) return 0;
    platform::detail::RingQueue<Call> pending;  // destroyed outside the lock
    {
        const platform::LockGuard lock(m_cs);
        if (std::exchange(m_discarded, true)) return 0;
        pending.swap(m_pending);
    }
    const std::size_t count = pending.size() + m_taken.size();
    m_taken.clear();
    m_takenCount.store(0, std::memory_order_relaxed);
    return count;
}

void MainThreadDispatcher::Binding::OnCallbackMessage(WPARAM wParam, LPARAM lParam) {
    if (lParam != 0) {
        // A sent callable: it runs and goes here, on the owning thread.
        Callable call = std::move(*reinterpret_cast<Callable*>(lParam));
        if (call) call();
        return;
    }
    const auto id = static_cast<std::uint32_t>(wParam);
    if (m_taken.empty()) {
        const platform::LockGuard lock(m_cs);
        m_taken.swap(m_pending);
        m_takenCount.store(m_taken.size(), std::memory_order_relaxed);
    }
    // Doorbells arrive in the order of their numbers, so the call is at the
    // front; a number that matches nothing (its call was discarded with its
    // window) runs nothing.
    if (m_taken.empty() || m_taken.front().id != id) return;
    Callable call = std::move(m_taken.front().call);
    m_taken.pop_front();
    m_takenCount.store(m_taken.size(), std::memory_order_relaxed);
    if (call) call();
}

MainThreadDispatcher& MainThreadDispatcher::Instance() {
    static MainThreadDispatcher instance{FollowUserInterfaceThread{}};
    return instance;
}

MainThreadDispatcher::MainThreadDispatcher() : m_follows(false) {
    auto binding = std::make_unique<Binding>();
    // As on the desktop platform, a window that cannot be made (the thread
    // is ending) leaves a dispatcher whose dispatches are refused.
    static_cast<void>(binding->CreateHere());
    m_current.store(binding.get(), std::memory_order_release);
    const platform::LockGuard lock(m_bindLock);
    m_bindings.push_back(std::move(binding));
}

MainThreadDispatcher::MainThreadDispatcher(FollowUserInterfaceThread) : m_follows(true) {
    // Made on the user-interface thread, it binds there now, so that a
    // failure to make that thread's queue shows here, as for the first kind.
    const std::uint64_t epoch = brim::platform::UserInterfaceEpoch();
    if (platform::IsUserInterfaceThread()) static_cast<void>(Rebind(epoch));
}

MainThreadDispatcher::~MainThreadDispatcher() {
    std::vector<std::unique_ptr<Binding>> bindings;
    {
        const platform::LockGuard lock(m_bindLock);
        m_dying = true;  // a call still running cannot bind again meanwhile
        bindings.swap(m_bindings);
    }
    // Outside the lock: each waits for a call of its running on its thread,
    // and such a call may dispatch through this dispatcher.
    bindings.clear();
}

MainThreadDispatcher::Binding* MainThreadDispatcher::CurrentBinding() {
    if (!m_follows) return m_current.load(std::memory_order_acquire);
    const std::uint64_t epoch = brim::platform::UserInterfaceEpoch();
    if (m_epoch.load(std::memory_order_acquire) == epoch) return m_current.load(std::memory_order_acquire);
    return Rebind(epoch);
}

MainThreadDispatcher::Binding* MainThreadDispatcher::Rebind(std::uint64_t epoch) {
    const platform::LockGuard lock(m_bindLock);
    if (m_epoch.load(std::memory_order_relaxed) == epoch || m_dying) return m_current.load(std::memory_order_relaxed);
    auto binding = std::make_unique<Binding>();
    Binding* current = nullptr;
    if (binding->CreateOnUserInterfaceThread()) {
        m_bindings.push_back(std::move(binding));
        current = m_bindings.back().get();
    }
    m_current.store(current, std::memory_order_release);
    m_epoch.store(epoch, std::memory_order_release);
    return current;
}

bool MainThreadDispatcher::DispatchAsync(std::function<void()>&& call) {
    // Leaves the caller's function empty; an empty one travels as an empty
    // call, whose doorbell runs nothing.
    return DispatchAsync(Callable(std::exchange(call, nullptr)));
}

DispatchStatus MainThreadDispatcher::TryDispatchAsync(Callable&& call) {
    Binding* binding = CurrentBinding();
    DispatchStatus status = DispatchStatus::Accepted;
    if (binding == nullptr) {
        status = DispatchStatus::NoThread;
        Callable refused = std::move(call);
    } else if (!binding->Post(std::move(call))) {
        status = binding->IsLive() ? DispatchStatus::QueueFull : DispatchStatus::ThreadGone;
    }
    if (status != DispatchStatus::Accepted) m_refused.fetch_add(1, std::memory_order_relaxed);
    return status;
}

void MainThreadDispatcher::ReportRefusal(DispatchStatus status, int subscriptionType) const {
    switch (status) {
        case DispatchStatus::Accepted:
            return;
        case DispatchStatus::QueueFull:
            brim::ReportDiagnostic(brim::DiagnosticKind::QueueFull, subscriptionType,
                                   "a post to the user-interface thread was refused: its queue holds %zu messages",
                                   CWnd::kPostedQueueLimit);
            return;
        case DispatchStatus::NoThread:
        case DispatchStatus::ThreadGone:
            brim::ReportDiagnostic(brim::DiagnosticKind::CannotDeliver, subscriptionType,
                                   "a send or post (subscription type %d; -1: none) cannot arrive: %s",
                                   subscriptionType,
                                   m_follows ? "no user-interface thread is designated, or it has ended"
                                             : "the dispatcher's thread has ended");
            return;
    }
}

bool MainThreadDispatcher::DispatchSync(std::function<void()>&& call) {
    return DispatchSync(Callable(std::exchange(call, nullptr)));
}

DispatchStatus MainThreadDispatcher::TryDispatchSync(Callable&& call) {
    // The caller waits, so the callable goes by address, never through the
    // queue: a send that is not handled (the window or its thread is gone)
    // leaves nothing behind.
    Callable waiting = std::move(call);
    Binding* binding = CurrentBinding();
    if (binding == nullptr) return DispatchStatus::NoThread;
    return binding->Send(waiting) ? DispatchStatus::Accepted : DispatchStatus::ThreadGone;
}

bool MainThreadDispatcher::CanDispatch() {
    const Binding* binding = CurrentBinding();
    return binding != nullptr && binding->IsLive();
}

// Bindings are only ever appended while the dispatcher lives, so the one
// at an index stays valid once read; the lock is held for that read only.
MainThreadDispatcher::Binding* MainThreadDispatcher::BindingAt(std::size_t index) const {
    const platform::LockGuard lock(m_bindLock);
    return index < m_bindings.size() ? m_bindings[index].get() : nullptr;
}

std::size_t MainThreadDispatcher::QueuedCount() const {
    std::size_t queued = 0;
    for (std::size_t i = 0; Binding* binding = BindingAt(i); ++i) queued += binding->QueuedCount();
    return queued;
}

std::uint64_t MainThreadDispatcher::DiscardedCount() noexcept {
    // Outside the binding lock: discarding destroys callables, which may run
    // any code, including a dispatch through this dispatcher.
    std::size_t discarded = 0;
    for (std::size_t i = 0; Binding* binding = BindingAt(i); ++i) discarded += binding->DiscardIfEnded();
    return m_discarded.fetch_add(discarded, std::memory_order_relaxed) + discarded;
}

}  // namespace brim
