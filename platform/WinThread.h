#pragma once

// The user-interface thread and thread objects.
//
// The application designates its user-interface thread by constructing its
// application object (CWinApp) on it, or by calling SetUserInterfaceThread()
// there, and runs that thread's message loop (platform/MessageLoop.h).
// IsUserInterfaceThread() answers on any thread whether it is that thread.
// Designating a thread gives it its message queue at once (so a post from
// another thread can be queued before that thread first runs its loop); the
// designation may move to another thread, or be cleared, at any time.
//
//   int main() {
//       CWinApp app;                         // this thread is now the UI thread
//       MainWindow wnd; wnd.CreateEx("Main");
//       app.SetMainWnd(&wnd);
//       platform::MessageLoop::Current().Run();
//   }
//
// A thread may have a thread object (CWinThread): it is registered for the
// thread on which it is constructed, AfxGetThread() returns it there, and its
// main window (SetMainWnd / GetMainWnd) is where thread-level requests such as
// a document's view refresh are posted.
//
// Threading: IsUserInterfaceThread, AfxGetThread and the functions of
// brim::platform below may be called anywhere. A thread object is
// constructed, used and destroyed on its own thread (debug builds report a
// use elsewhere: platform/ThreadChecker.h).

#include <BrimSubscriber/platform/PlatformExport.h>
#include <BrimSubscriber/platform/ThreadChecker.h>

#include <cstdint>

namespace brim {

class CWnd;

namespace platform {

// Makes the calling thread the user-interface thread (replacing any earlier
// one) and makes its message queue. Throws std::system_error, with the
// system's error code, when that queue cannot be made (no file descriptor is
// left); the designation is then unchanged.
BRIM_PLATFORM_API void SetUserInterfaceThread();
// Forgets the designation, so no thread is the user-interface thread.
BRIM_PLATFORM_API void ClearUserInterfaceThread();
BRIM_PLATFORM_API bool IsUserInterfaceThread();

}  // namespace platform

namespace platform {

// Whether a user-interface thread is designated and its loop can still take
// messages (the thread has not ended). A message target made now with
// CWnd::CreateExOnUserInterfaceThread would exist.
BRIM_PLATFORM_API bool HasUserInterfaceThread();

// A number that changes whenever the designation changes (another thread, or
// none, becomes the user-interface thread). Cheap: one atomic load. Whoever
// bound something to the user-interface thread compares it to tell whether
// that binding is still the current one.
BRIM_PLATFORM_API std::uint64_t UserInterfaceEpoch() noexcept;

}  // namespace platform

class BRIM_PLATFORM_API CWinThread {
public:
    CWinThread();
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;
    virtual ~CWinThread();

    [[nodiscard]] CWnd* GetMainWnd() const noexcept;
    void SetMainWnd(CWnd* wnd) noexcept;

private:
    CWnd* m_pMainWnd = nullptr;  // not owned
    platform::ThreadChecker m_thread;
    CWinThread* m_previous;      // thread object this one shadows on its thread
};

// The application object: a thread object whose thread is the user-interface
// thread for as long as it lives. Its construction throws as
// SetUserInterfaceThread does.
class BRIM_PLATFORM_API CWinApp : public CWinThread {
public:
    CWinApp();
    ~CWinApp() override;  // the thread stops being the user-interface thread, unless it was before

private:
    bool m_wasUserInterfaceThread;
};

// The thread object of the calling thread, or null when it has none.
BRIM_PLATFORM_API CWinThread* AfxGetThread();

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::AfxGetThread;
using brim::CWinApp;
using brim::CWinThread;
using brim::CWnd;
namespace platform {
using brim::platform::ClearUserInterfaceThread;
using brim::platform::IsUserInterfaceThread;
using brim::platform::SetUserInterfaceThread;
}  // namespace platform
#endif
