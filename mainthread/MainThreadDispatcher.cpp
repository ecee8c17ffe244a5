#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>

#include <BrimSubscriber/mainthread/WindowMessages.h>
#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/Diagnostics.h>
#include <BrimSubscriber/platform/WinThread.h>

#include "platform/internal/RingQueue.h"
#include "platform/internal/WndAccess.h"

#include <utility>

namespace brim {

using Callable = brim::MoveOnlyFunction<void()>;
using brim::DispatchStatus;

// One hidden window on one thread's loop, with the calls waiting for it.
// Posting stores a call and rings its doorbell in one lock, the thread
// queue's (platform/internal/WndAccess.h), so calls and doorbells are in the
// same order, one doorbell per call, and a call whose doorbell the queue
// refuses is never stored. Each doorbell runs the call at the front: the
// owning thread takes every stored call in that lock when it has run out of
// taken ones. Posted keys wait in a queue of their own, each rung by a
// doorbell of their own kind in the same lock, so the order of the doorbells
// is the order of all posts. Doorbells go only with their window or their
// thread's queue, and the calls then go too (DiscardIfEnded), so the two
// never fall out of step; a doorbell that finds no call runs nothing.
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
    // The same for a posted key, whose reference the queue takes.
    bool PostKey(KeyHandler handler, void* context, const CString& key);
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

    void OnCallbackMessage(WPARAM wParam, LPARAM lParam);
    void OnTimerMessage(WPARAM /*timerId*/) {}
    // The next post of one kind, at the front of its taken queue, which is
    // first refilled from the pending one (in the queue's lock) when empty;
    // null when there is none. The caller moves it out and pops it before it
    // runs: a nested loop inside it runs the next doorbells, which take the
    // next posts from the front.
    template <class Queued>
    Queued* Next(platform::detail::RingQueue<Queued>& taken, platform::detail::RingQueue<Queued>& pending);
    template <class Queued>
    void PopTaken(platform::detail::RingQueue<Queued>& taken) noexcept {
        taken.pop_front();
        CountTaken();
    }
    void CountTaken() noexcept {
        m_takenCount.store(m_taken.size() + m_takenKeys.size(), std::memory_order_relaxed);
    }

    // A doorbell's wParam: which queue its post waits in.
    static constexpr WPARAM kCallDoorbell = 0;
    static constexpr WPARAM kKeyDoorbell = 1;
    // 32 bytes, where a queued callable takes 80.
    struct KeyPost {
        KeyPost(KeyHandler handler, void* context, const CString& key) noexcept
            : handler(handler), context(context), key(key) {}
        KeyHandler handler;
        void* context;
        CString key;
    };

    // Guarded by the window's thread queue's lock (taken through
    // platform::detail::WndAccess, which the analysis cannot follow); no
    // callable runs under it.
    platform::detail::RingQueue<Callable> m_pending;
    platform::detail::RingQueue<KeyPost> m_pendingKeys;
    bool m_discarded = false;
    // The owning thread's. Read by others only once that thread has ended
    // (its queue's lock, taken by IsLive, orders the reads after its writes).
    platform::detail::RingQueue<Callable> m_taken;
    platform::detail::RingQueue<KeyPost> m_takenKeys;
    // Both taken queues' size, for QueuedCount on other threads; written by
    // the owning thread only, so posting never touches its cache line.
    std::atomic<std::size_t> m_takenCount{0};
    CallbackWindow<Binding> m_wnd;
};

bool MainThreadDispatcher::Binding::Post(Callable&& call) {
    // Under the queue's lock, once the queue has room for the doorbell;
    // unchanged if the call's place cannot be allocated.
    auto store = [&] {
        m_pending.emplace_back(std::move(call));
        return kCallDoorbell;
    };
    bool posted = false;
    try {
        posted = platform::detail::WndAccess::PostWith(m_wnd, WM_CALLBACK, 0, store);
    } catch (...) {  // out of memory: nothing was queued; the call goes as if refused
        const Callable refused = std::move(call);
        throw;
    }
    if (!posted) {
        const Callable refused = std::move(call);  // destroyed here, outside any lock: it may run any code
    }
    return posted;
}

bool MainThreadDispatcher::Binding::PostKey(KeyHandler handler, void* context, const CString& key) {
    // Under the queue's lock, as a call; unchanged if it cannot grow.
    auto store = [&] {
        m_pendingKeys.emplace_back(handler, context, key);
        return kKeyDoorbell;
    };
    return platform::detail::WndAccess::PostWith(m_wnd, WM_CALLBACK, 0, store);
}

std::size_t MainThreadDispatcher::Binding::QueuedCount() {
    std::size_t pending = 0;
    auto count = [&] { pending = m_pending.size() + m_pendingKeys.size(); };
    platform::detail::WndAccess::UnderQueueLock(m_wnd, count);
    return pending + m_takenCount.load(std::memory_order_relaxed);
}

std::size_t MainThreadDispatcher::Binding::DiscardIfEnded() noexcept {
    if (IsLive()) return 0;
    // Destroyed outside the lock.
    platform::detail::RingQueue<Callable> pending;
    platform::detail::RingQueue<KeyPost> pendingKeys;
    bool first = false;
    auto take = [&] {
        first = !std::exchange(m_discarded, true);
        if (first) {
            pending.swap(m_pending);
            pendingKeys.swap(m_pendingKeys);
        }
    };
    platform::detail::WndAccess::UnderQueueLock(m_wnd, take);
    if (!first) return 0;
    const std::size_t count = pending.size() + pendingKeys.size() + m_taken.size() + m_takenKeys.size();
    m_taken.clear();
    m_takenKeys.clear();
    CountTaken();
    return count;
}

void MainThreadDispatcher::Binding::OnCallbackMessage(WPARAM wParam, LPARAM lParam) {
    if (lParam != 0) {
        // A sent callable: it runs and goes here, on the owning thread.
        Callable call = std::move(*reinterpret_cast<Callable*>(lParam));
        if (call) call();
        return;
    }
    if (wParam == kKeyDoorbell) {
        KeyPost* const next = Next(m_takenKeys, m_pendingKeys);
        if (next == nullptr) return;
        const KeyHandler handler = next->handler;
        void* const context = next->context;
        const CString key = std::move(next->key);
        PopTaken(m_takenKeys);
        handler(context, key);
        return;
    }
    Callable* const next = Next(m_taken, m_pending);
    if (next == nullptr) return;
    Callable call = std::move(*next);
    PopTaken(m_taken);
    if (call) call();
}

template <class Queued>
Queued* MainThreadDispatcher::Binding::Next(platform::detail::RingQueue<Queued>& taken,
                                            platform::detail::RingQueue<Queued>& pending) {
    if (taken.empty()) {
        auto take = [&] {
            taken.swap(pending);
            CountTaken();
        };
        platform::detail::WndAccess::UnderQueueLock(m_wnd, take);
    }
    return taken.empty() ? nullptr : &taken.front();
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
    if (binding == nullptr) {
        const Callable refused = std::move(call);  // destroyed unrun, as a binding destroys one it refuses
    } else if (binding->Post(std::move(call))) {
        return DispatchStatus::Accepted;
    }
    return Refused(binding);
}

DispatchStatus MainThreadDispatcher::TryDispatchKey(KeyHandler handler, void* context, const CString& key) {
    Binding* binding = CurrentBinding();
    if (binding != nullptr && binding->PostKey(handler, context, key)) return DispatchStatus::Accepted;
    return Refused(binding);
}

DispatchStatus MainThreadDispatcher::Refused(const Binding* binding) {
    m_refused.fetch_add(1, std::memory_order_relaxed);
    if (binding == nullptr) return DispatchStatus::NoThread;
    return binding->IsLive() ? DispatchStatus::QueueFull : DispatchStatus::ThreadGone;
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
