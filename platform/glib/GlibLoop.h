#pragma once

// GlibLoop: runs the calling thread's message loop inside a GLib main context.
//
// A GTK application keeps its main thread in the GLib main loop. Attaching our
// message loop to that loop's context makes the thread the user-interface
// thread of the library: NotifySend and NotifyPost deliveries, the
// dispatcher's calls, the watchdog's probes, file-watch notifications and
// document updates all run there, between the toolkit's own events.
//
//   int main(int argc, char** argv) {
//       gtk_init(&argc, &argv);
//       platform::GlibLoop brim;        // this thread is now the UI thread
//       ...build windows, subscribe, start workers...
//       gtk_main();
//   }
//
// The loop is attached as one GSource (default priority) that watches
// MessageLoop::WakeFd() and wakes for the next window timer. Each dispatch
// handles what is pending, as MessageLoop::RunPending() does. The source may
// recurse, so messages keep being handled inside nested toolkit loops (a modal
// dialog run from a handler).
//
// Threading: construct, use and destroy on the thread that runs the context
// and whose message loop is attached (debug builds report a use elsewhere,
// kind WrongThread). A context iterated by another thread
// does not run our handlers there: the source removes itself and logs a
// critical warning.
// Ownership/Lifetime: the source lives until the GlibLoop is destroyed.
// Destroy it before the thread ends; messages posted after that wait for the
// next attached or running loop of the thread.
// Re-entrancy: handlers may run nested GLib loops or our own RunUntil(), and
// may destroy the GlibLoop: the wake in progress then finishes the messages it
// has taken, and a quit request it finds is dropped.
// Exceptions: an exception cannot pass through GLib's C frames. One that
// leaves a handler is logged as a critical warning; the messages behind it
// stay queued and are handled at the next dispatch.

#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/glib/GlibExport.h>

#include <glib.h>

#include <functional>

namespace brim {

namespace platform {

class BRIM_GLIB_API GlibLoop {
public:
    using Role = LoopRole;

    // Attaches the calling thread's message loop to context (null: the
    // global default context, which gtk_main and g_application_run iterate).
    explicit GlibLoop(GMainContext* context = nullptr, Role role = Role::UserInterfaceThread);
    GlibLoop(const GlibLoop&) = delete;
    GlibLoop& operator=(const GlibLoop&) = delete;
    ~GlibLoop();

    // Called on this thread when MessageLoop::Quit() was asked for while no
    // Run() of ours was in progress, typically to quit the GMainLoop. Without
    // a handler such a request is dropped.
    void SetQuitHandler(std::function<void()> handler);

    [[nodiscard]] GMainContext* Context() const { return m_context; }

private:
    struct Source;
    static gboolean Prepare(GSource* source, gint* timeout);
    static gboolean Check(GSource* source);
    static gboolean Dispatch(GSource* source, GSourceFunc callback, gpointer data);

    MessageLoop m_loop;
    GMainContext* m_context;
    GSource* m_source = nullptr;
    std::function<void()> m_quitHandler;
};

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::GlibLoop;
}  // namespace platform
#endif
