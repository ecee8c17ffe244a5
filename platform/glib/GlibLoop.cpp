#include <BrimSubscriber/platform/ThreadChecker.h>
#include <BrimSubscriber/platform/glib/GlibLoop.h>

#include <BrimSubscriber/platform/WinThread.h>

#include <utility>

namespace brim {

namespace platform {

// GLib allocates the source with this layout; the fields after the GSource
// header are ours, and GLib never constructs or destroys them.
struct GlibLoop::Source {
    GSource base;
    GlibLoop* owner;
    gpointer fdTag;
};

namespace {

GSourceFuncs g_sourceFuncs{};  // filled once, read by GLib for every source

}  // namespace

GlibLoop::GlibLoop(GMainContext* context, Role role)
    : m_loop(MessageLoop::Current()), m_context(context != nullptr ? context : g_main_context_default()) {
    static const bool kFilled = [] {
        g_sourceFuncs.prepare = &GlibLoop::Prepare;
        g_sourceFuncs.check = &GlibLoop::Check;
        g_sourceFuncs.dispatch = &GlibLoop::Dispatch;
        return true;
    }();
    static_cast<void>(kFilled);

    g_main_context_ref(m_context);
    m_source = g_source_new(&g_sourceFuncs, sizeof(Source));
    auto* source = reinterpret_cast<Source*>(m_source);
    source->owner = this;
    source->fdTag = g_source_add_unix_fd(m_source, m_loop.WakeFd(), G_IO_IN);
    g_source_set_can_recurse(m_source, TRUE);
    g_source_set_name(m_source, "BrimSubscriber message loop");
    g_source_attach(m_source, m_context);
    if (role == Role::UserInterfaceThread) SetUserInterfaceThread();
}

GlibLoop::~GlibLoop() {
    BRIM_DCHECK_THREAD(m_loop.BelongsToCurrentThread(), "a GlibLoop destroyed off the thread whose loop it attached");
    reinterpret_cast<Source*>(m_source)->owner = nullptr;  // a dispatch in progress sees that it is gone
    g_source_destroy(m_source);
    g_source_unref(m_source);
    g_main_context_unref(m_context);
}

void GlibLoop::SetQuitHandler(std::function<void()> handler) {
    BRIM_DCHECK_THREAD(m_loop.BelongsToCurrentThread(), "GlibLoop::SetQuitHandler called off the loop's thread");
    m_quitHandler = std::move(handler);
}

gboolean GlibLoop::Prepare(GSource* source, gint* timeout) {
    const GlibLoop& self = *reinterpret_cast<Source*>(source)->owner;
    // The context is polled by a thread that is not ours: fire at once, so
    // that Dispatch can detach the source instead of the fd waking it forever.
    if (!self.m_loop.BelongsToCurrentThread()) {
        *timeout = 0;
        return TRUE;
    }
    *timeout = self.m_loop.TimeUntilNextTimerMs();
    return *timeout == 0 ? TRUE : FALSE;
}

gboolean GlibLoop::Check(GSource* source) {
    auto* s = reinterpret_cast<Source*>(source);
    if ((g_source_query_unix_fd(source, s->fdTag) & G_IO_IN) != 0) return TRUE;
    return s->owner->m_loop.TimeUntilNextTimerMs() == 0 ? TRUE : FALSE;
}

gboolean GlibLoop::Dispatch(GSource* source, GSourceFunc /*callback*/, gpointer /*data*/) {
    auto* s = reinterpret_cast<Source*>(source);
    if (!s->owner->m_loop.BelongsToCurrentThread()) {
        g_critical("BrimSubscriber: the GMainContext of a GlibLoop is run by a thread other than the one "
                   "that attached it; the message loop is detached from it");
        return G_SOURCE_REMOVE;
    }
    // A handler may destroy the adapter. The wake then goes on with its own
    // copy of the loop, and the destructor clears s->owner; GLib keeps the
    // source itself alive until this call returns.
    MessageLoop loop = s->owner->m_loop;
    loop.RunPendingForDriver(
        [s] {
            if (s->owner == nullptr || !s->owner->m_quitHandler) return;
            const std::function<void()> handler = s->owner->m_quitHandler;  // it may destroy the adapter
            handler();
        },
        [](const char* what) { g_critical("BrimSubscriber: a message handler threw: %s", what); });
    return s->owner != nullptr ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

}  // namespace platform

}  // namespace brim
