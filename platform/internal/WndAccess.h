#pragma once

// WndAccess: how the library's own posters (a dispatcher's binding) post a
// message together with data of their own in one lock, the thread queue's,
// instead of taking a lock of their own around CWnd::PostMessage (which takes
// the window's handle lock and then the queue's).
//
// Contract: the window is created before anything posts through it and
// destroyed only when nothing does any more (the poster's own lifetime
// ensures it), so neither call takes the handle lock.
// - PostWith: when the queue accepts the message, `commit()` runs under the
//   queue's lock, stores the poster's data and returns the message's wParam;
//   false (the queue is closed or full, or the window was never created)
//   with `commit` not run. Nothing is queued when `commit` throws.
// - UnderQueueLock: runs `f()` under the same lock, for reading or taking
//   what PostWith stored. `f` must not reach the window or its queue.
//
// Threading: any thread.

#include <BrimSubscriber/platform/Wnd.h>

namespace brim {

namespace platform::detail {

class WndAccess {
public:
    template <class Commit>
    static bool PostWith(CWnd& wnd, UINT message, LPARAM lParam, Commit& commit) {
        return wnd.PostCommitted(
            message, lParam, [](void* c) -> WPARAM { return (*static_cast<Commit*>(c))(); }, &commit);
    }
    template <class F>
    static void UnderQueueLock(const CWnd& wnd, F& f) {
        wnd.RunUnderQueueLock([](void* c) { (*static_cast<F*>(c))(); }, &f);
    }
};

}  // namespace platform::detail

}  // namespace brim
