#pragma once

// MainThreadDispatcher: runs callables on its owning thread.
//
// The owning thread is the thread that constructed the dispatcher; in this
// library it is the user-interface thread. Any thread hands it a callable,
// either queued without waiting (DispatchAsync) or run while the caller waits
// (DispatchSync). The callables stay in the dispatcher's own numbered queue; a
// hidden window of the owning thread is only the doorbell: each dispatch posts
// or sends one WM_CALLBACK carrying the number, and the window's handler runs
// the callable with that number. Queued callables are kept in place, as
// brim::MoveOnlyFunction (mainthread/MoveOnlyFunction.h): a lambda of up to
// 64 bytes of captures, given directly, is queued without an allocation once
// the queue has grown to the traffic. A std::function is accepted as before
// and travels inside one (its own storage may allocate).
//
//   auto& ui = MainThreadDispatcher::Instance();
//   ui.DispatchAsync([text] { statusBar.SetText(text); });   // from a worker
//   ui.DispatchSync([&] { snapshot = model.Copy(); });       // waits for it
//   if (ui.TryDispatchAsync(Refresh{view}) == brim::DispatchStatus::QueueFull) { ... }
//
// Which thread: a dispatcher constructed with MainThreadDispatcher() owns
// the thread that constructed it. One constructed with
// FollowUserInterfaceThread (as Instance() and every registry's own are)
// runs each callable on the thread that is the user-interface thread at the
// time of its dispatch, whichever thread constructed it and whenever: before
// any user-interface thread exists, or after it has ended, a dispatch is
// refused (DispatchAsync returns false, DispatchSync runs nothing) and
// reported through the diagnostics channel (platform/Diagnostics.h). When the
// designation moves, callables already queued still run on the thread they
// were queued for, if it still runs its loop; each thread it has followed
// costs the dispatcher one hidden window there until it is destroyed.
//
// Order: callables dispatched asynchronously from one thread to one owning
// thread run in the order of dispatch; a DispatchSync does not wait behind
// them. Each callable runs at most once, and only on its owning thread, with
// no lock of the dispatcher held, so it may dispatch again (a nested
// DispatchSync runs at once). An empty callable is accepted like any other
// and runs nothing.
//
// Threading: DispatchAsync, DispatchSync and the counts from any thread;
// construction (of the first kind) on the owning thread; destruction on any
// thread.
// Lifetime: destroying the dispatcher discards every queued callable unrun
// (destroying what it captured). Destroyed off an owning thread, it first
// waits until a callable of its that runs there right now has returned, so no
// callable ever runs on a destroyed dispatcher. The dispatcher cannot be
// copied or moved.
// Deadlock: a thread that the owning thread waits for must not call
// DispatchSync, nor destroy the dispatcher while one of its callables waits for
// that thread; a DispatchSync caller must not hold anything the callable needs.

#include <BrimSubscriber/mainthread/CallbackWindow.h>
#include <BrimSubscriber/mainthread/MoveOnlyFunction.h>
#include <BrimSubscriber/Export.h>

#include <BrimSubscriber/platform/Lock.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace brim {

class CString;
class SubscriptionMap;

// What became of a dispatch.
enum class DispatchStatus {
    Accepted,    // queued (async), or handed to the owning thread (sync)
    NoThread,    // no owning thread: none designated yet, or it has ended
    QueueFull,   // the owning thread's queue holds CWnd::kPostedQueueLimit messages
    ThreadGone,  // the owning thread ended, or the window went, before the call could be queued
};

class BRIMSUBSCRIBER_API MainThreadDispatcher {
public:
    // The process-wide dispatcher. It follows the user-interface thread, so it
    // may be reached first on any thread.
    static MainThreadDispatcher& Instance();

    // Selects the constructor of a dispatcher that follows the user-interface thread.
    struct FollowUserInterfaceThread {
        explicit FollowUserInterfaceThread() = default;
    };

    // A dispatcher owned by the calling thread. Throws std::system_error,
    // with the system's error code, when that thread's message queue cannot
    // be made (no file descriptor is left).
    MainThreadDispatcher();
    // A dispatcher that follows the user-interface thread. Made on that
    // thread, it binds to it at once (and throws as above); elsewhere it
    // binds at its first dispatch.
    explicit MainThreadDispatcher(FollowUserInterfaceThread);
    MainThreadDispatcher(const MainThreadDispatcher&) = delete;
    MainThreadDispatcher& operator=(const MainThreadDispatcher&) = delete;
    ~MainThreadDispatcher();

    // Queues the callable for the owning thread and returns at once. Returns
    // false when it cannot be queued (no owning thread, its window or loop is
    // gone, or its queue is full): the callable is then destroyed unrun and
    // the queue is as before. `call` is left empty either way.
    bool DispatchAsync(std::function<void()>&& call);

    // The same for any callable, kept as it is (no std::function is made):
    // a lambda, a function object, a brim::MoveOnlyFunction. An empty one
    // (nullptr, a null function pointer, an empty function object of the
    // library's or the standard's) is queued and runs nothing.
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, std::function<void()>> &&
                 std::is_constructible_v<brim::MoveOnlyFunction<void()>, F>)
    bool DispatchAsync(F&& call) {
        const brim::DispatchStatus status = TryDispatchAsync(brim::MoveOnlyFunction<void()>(std::forward<F>(call)));
        ReportRefusal(status, -1);
        return status == brim::DispatchStatus::Accepted;
    }

    // DispatchAsync that tells why a callable was refused and reports
    // nothing: a caller that reports it in its own terms (a registry names
    // its subscription type) calls ReportRefusal itself.
    brim::DispatchStatus TryDispatchAsync(brim::MoveOnlyFunction<void()>&& call);

    // Runs the callable on the owning thread and returns after it has run: at
    // once, nested, when called on the owning thread. Always returns true. If
    // there is no owning thread, its window no longer exists, or it ends
    // before handling the call, the callable does not run and is destroyed
    // before the call returns; nothing of it stays queued, and the refusal is
    // reported through the diagnostics channel.
    bool DispatchSync(std::function<void()>&& call);

    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, std::function<void()>> &&
                 std::is_constructible_v<brim::MoveOnlyFunction<void()>, F>)
    bool DispatchSync(F&& call) {
        ReportRefusal(TryDispatchSync(brim::MoveOnlyFunction<void()>(std::forward<F>(call))), -1);
        return true;
    }

    // DispatchSync that reports nothing: NoThread when there was no owning
    // thread to run it, ThreadGone when its window or thread was gone before
    // it ran (in both cases it did not run), Accepted otherwise.
    brim::DispatchStatus TryDispatchSync(brim::MoveOnlyFunction<void()>&& call);

    // Reports a refused dispatch (any status but Accepted) through the
    // diagnostics channel, once per kind and subscription type (-1: none).
    void ReportRefusal(brim::DispatchStatus status, int subscriptionType) const;

    // Whether a dispatch made now would reach a running owning thread's loop.
    [[nodiscard]] bool CanDispatch();

    // Diagnostics, cheap and callable from any thread:
    // callables queued and not yet run or discarded;
    [[nodiscard]] std::size_t QueuedCount() const;
    // DispatchAsync calls refused so far (no owning thread, queue full,
    // window or thread gone);
    [[nodiscard]] std::uint64_t RefusedCount() const noexcept { return m_refused.load(std::memory_order_relaxed); }
    // callables that were queued and then discarded unrun because their
    // owning thread ended first (counted when first asked after it ended).
    [[nodiscard]] std::uint64_t DiscardedCount() noexcept;

private:
    class Binding;
    // A registry's commonest post, one key without payload: the key (by
    // reference) and the handler that delivers it wait in a queue of their
    // own, in order with the callables (one doorbell each, rung in the same
    // lock), and run as a callable would, without a callable made, moved or
    // called through for them. Refused, counted and discarded as a callable
    // is; the key's reference goes when it has run or is discarded.
    friend class SubscriptionMap;
    using KeyHandler = void (*)(void* context, const CString& key);
    brim::DispatchStatus TryDispatchKey(KeyHandler handler, void* context, const CString& key);
    // The status of a post that `binding` refused (null: there was none), counted.
    brim::DispatchStatus Refused(const Binding* binding);
    // The binding to dispatch through now; null when there is none.
    Binding* CurrentBinding();
    Binding* Rebind(std::uint64_t epoch);
    [[nodiscard]] Binding* BindingAt(std::size_t index) const;

    const bool m_follows;
    // The bindings made so far, each kept until the dispatcher goes, since a
    // dispatching thread may still hold one that is no longer current.
    mutable platform::CriticalSection m_bindLock{brim::platform::LockRank::DispatcherBindings};
    std::vector<std::unique_ptr<Binding>> m_bindings BRIM_GUARDED_BY(m_bindLock);
    bool m_dying BRIM_GUARDED_BY(m_bindLock) = false;
    // The binding for the user-interface designation of epoch m_epoch (null:
    // there was no user-interface thread); written under m_bindLock,
    // m_current before m_epoch, so a reader that sees the epoch sees it.
    std::atomic<Binding*> m_current{nullptr};
    std::atomic<std::uint64_t> m_epoch{0};
    std::atomic<std::uint64_t> m_refused{0};
    std::atomic<std::uint64_t> m_discarded{0};
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::MainThreadDispatcher;
#endif
