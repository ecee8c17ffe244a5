#pragma once

// CWnd: a message target owned by one thread (a hidden window).
//
// A target is created on a thread with CreateEx and belongs to that thread's
// message loop (platform/MessageLoop.h): every message to it is handled there,
// by its WindowProc. Derive from CWnd and override WindowProc to handle
// messages; the default returns 0.
//
//   class Doorbell : public CWnd {
//       LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override { Ring(w); return 0; }
//   };
//   Doorbell bell; bell.CreateEx("Doorbell");      // on the owning thread
//   bell.PostMessage(WM_APP + 1, 42, 0);            // from any thread
//
// Delivery rules:
// - PostMessage queues the message and returns at once. It fails (false) when
//   the target does not exist, its thread has ended, or the thread's queue
//   already holds kPostedQueueLimit messages. Posted messages of one thread
//   are handled in the order posted, also across nested loops: a handler that
//   runs the loop again goes on with the messages posted after its own.
// - SendMessage on the owning thread calls WindowProc directly and returns its
//   result. From any other thread it queues the message and blocks until the
//   owning thread has handled it; sent messages are handled before posted
//   ones. When the target is destroyed, or its thread ends, before the message
//   is handled, SendMessage returns 0 instead of blocking forever. A send to a
//   target that does not exist returns 0 at once. TrySendMessage tells these
//   cases apart: it has no value when the message was not handled.
// - SetTimer starts (or restarts) a numbered timer from any thread; when it is
//   due, the owning loop generates WM_TIMER (WPARAM = timer id) once no posted
//   message is waiting, and then every interval until KillTimer.
// - DestroyWindow drops the target's posted messages and timers and releases
//   the senders waiting on it. On the owning thread it returns at once (a
//   handler may destroy its own target). On any other thread it also waits
//   until a handler of the target that is running on the owning thread has
//   returned; the caller must not hold anything that handler waits for.
//
// Threading: CreateEx on the owning thread, CreateExOnUserInterfaceThread on
// any thread; DestroyWindow, PostMessage,
// SendMessage, SetTimer, KillTimer and IsWindow on any thread.
// Lifetime: the object must outlive every call made on it; a destroyed window
// (DestroyWindow) may be created again. ~CWnd destroys the window, but a
// derived class whose handler uses its own members calls DestroyWindow in its
// own destructor, before those members go.

#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/PlatformExport.h>
#include <BrimSubscriber/platform/WinTypes.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace brim {

namespace platform::detail {
class TargetTable;
class ThreadQueue;
class WndAccess;
}

class BRIM_PLATFORM_API CWnd {
public:
    // Bound of a thread's posted-message queue, as on the desktop platform.
    static constexpr std::size_t kPostedQueueLimit = 10000;

    CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd();  // destroys the window if it still exists

    // Creates the target on the calling thread (destroying an earlier one of
    // this object first). Returns false when the thread is ending and its
    // queue is closed. Throws std::system_error, with the system's error code,
    // when the thread's queue cannot be made (no file descriptor is left).
    bool CreateEx(const char* windowName);
    // Creates the target on the loop of the thread that is the user-interface
    // thread now, from any thread: its messages are handled there. Returns
    // false when no user-interface thread is designated or it has ended.
    bool CreateExOnUserInterfaceThread(const char* windowName);
    bool DestroyWindow();
    [[nodiscard]] bool IsWindow() const;
    // Whether the window exists and belongs to the calling thread.
    [[nodiscard]] bool BelongsToCurrentThread() const;
    [[nodiscard]] std::string GetWindowName() const;

    bool PostMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT SendMessage(UINT message, WPARAM wParam, LPARAM lParam);
    std::optional<LRESULT> TrySendMessage(UINT message, WPARAM wParam, LPARAM lParam);
    bool SetTimer(UINT_PTR timerId, UINT elapseMs);
    bool KillTimer(UINT_PTR timerId);

protected:
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

private:
    friend class platform::detail::TargetTable;  // runs WindowProc
    friend class platform::detail::WndAccess;    // the library's own posters, see below

    struct Handle {
        std::shared_ptr<platform::detail::ThreadQueue> queue;
        std::uint64_t id = 0;
    };
    [[nodiscard]] Handle GetHandle() const;
    bool CreateOn(std::shared_ptr<platform::detail::ThreadQueue> queue, const char* windowName);

    // For the library's own posters (platform/internal/WndAccess.h), which
    // keep data of their own beside each message and create and destroy the
    // window only while nothing posts: a post whose `commit(context)` stores
    // that data and returns the wParam under the thread queue's lock, and
    // `run(context)` under that lock, without the handle lock either time.
    bool PostCommitted(UINT message, LPARAM lParam, WPARAM (*commit)(void*), void* context)
        BRIM_NO_THREAD_SAFETY_ANALYSIS;
    void RunUnderQueueLock(void (*run)(void*), void* context) const BRIM_NO_THREAD_SAFETY_ANALYSIS;

    // Ranked after a dispatcher's locks and before the thread queue's
    // (brim::platform::LockRank); the queue never calls back into a CWnd
    // while it holds its own lock.
    mutable platform::CriticalSection m_handleLock{brim::platform::LockRank::WindowHandle};
    Handle m_handle BRIM_GUARDED_BY(m_handleLock);
    // The queue of the last creation, kept through DestroyWindow, for
    // RunUnderQueueLock: a poster's handler takes that lock while another
    // thread destroys the window and waits for the handler, so it must not
    // read m_handle, which DestroyWindow clears first. The queue outlives the
    // wait (DestroyWindow holds it until the target is gone).
    platform::detail::ThreadQueue* m_createdOn = nullptr;
    std::string m_name BRIM_GUARDED_BY(m_handleLock);
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::CWnd;
#endif
