#include "platform/glib/GlibLoop.h"

#include "platform/ToolkitScenarios.h"
#include "platform/WinThread.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// GLib's side of the shared scenarios: a GMainLoop on a context (the global
// default one unless given), run on the test thread, with the GlibLoop
// attached to that context. Critical messages are recorded instead of printed,
// and never abort.
class GlibToolkit : public scenarios::ToolkitBase<GlibToolkit> {
public:
    // Takes over the reference to `context`; null: the global default context.
    explicit GlibToolkit(GMainContext* context = nullptr)
        : m_context(context != nullptr ? context : g_main_context_ref(g_main_context_default())),
          m_loop(g_main_loop_new(m_context, FALSE)),
          m_oldFatal(g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK))),
          m_oldHandler(g_log_set_default_handler(&Record, this)) {
        // The adapter, not the test main, makes this the user-interface thread.
        platform::ClearUserInterfaceThread();
        Attach();
    }
    GlibToolkit(const GlibToolkit&) = delete;
    GlibToolkit& operator=(const GlibToolkit&) = delete;
    ~GlibToolkit() {
        for (GSource* source : m_sources) {
            g_source_destroy(source);
            g_source_unref(source);
        }
        Detach();
        g_main_loop_unref(m_loop);
        g_main_context_unref(m_context);
        g_log_set_default_handler(m_oldHandler, nullptr);
        g_log_set_always_fatal(m_oldFatal);
    }

    void Attach() {
        m_adapter.reset();
        m_adapter = std::make_unique<platform::GlibLoop>(m_context);
    }
    void Detach() { m_adapter.reset(); }
    platform::GlibLoop& Adapter() { return *m_adapter; }
    [[nodiscard]] std::thread::id Thread() const { return m_thread; }

    bool Run() { return RunLoop(m_loop); }
    void Quit() { g_main_loop_quit(m_loop); }
    bool RunNested() {
        GMainLoop* outer = m_nested;
        m_nested = g_main_loop_new(m_context, FALSE);
        const bool finished = RunLoop(m_nested);
        g_main_loop_unref(std::exchange(m_nested, outer));
        return finished;
    }
    void QuitNested() { g_main_loop_quit(m_nested); }

    void Every(int ms, std::function<bool()> call) {
        // A timeout, not an idle source: it has the default priority, as ours has.
        GSource* source = g_timeout_source_new(static_cast<guint>(ms));
        g_source_set_callback(
            source,
            [](gpointer call) -> gboolean {
                return (*static_cast<std::function<bool()>*>(call))() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
            },
            new std::function<bool()>(std::move(call)),
            [](gpointer call) { delete static_cast<std::function<bool()>*>(call); });
        g_source_attach(source, m_context);
        m_sources.push_back(source);
    }
private:
    bool RunLoop(GMainLoop* loop) {
        struct Guard {
            GMainLoop* loop;
            bool fired = false;
        } guard{loop};
        GSource* timeout = g_timeout_source_new(static_cast<guint>(test::kGenerousTimeout.count()));
        g_source_set_callback(
            timeout,
            [](gpointer data) -> gboolean {
                auto* guard = static_cast<Guard*>(data);
                guard->fired = true;
                g_main_loop_quit(guard->loop);
                return G_SOURCE_REMOVE;
            },
            &guard, nullptr);
        g_source_attach(timeout, m_context);
        g_main_loop_run(loop);
        g_source_destroy(timeout);
        g_source_unref(timeout);
        return !guard.fired;
    }

    static void Record(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer self) {
        if ((level & G_LOG_LEVEL_CRITICAL) == 0) {
            g_log_default_handler(domain, level, message, nullptr);
            return;
        }
        auto* toolkit = static_cast<GlibToolkit*>(self);
        toolkit->RecordCritical(message);
    }

    GMainContext* m_context;
    GMainLoop* m_loop;
    GMainLoop* m_nested = nullptr;
    GLogLevelFlags m_oldFatal;
    GLogFunc m_oldHandler;
    std::unique_ptr<platform::GlibLoop> m_adapter;  // on the heap: a use after Detach() is caught
    std::vector<GSource*> m_sources;
    const std::thread::id m_thread = std::this_thread::get_id();
};

BRIM_TOOLKIT_SCENARIO_TESTS(GlibLoopTest, GlibToolkit)

// A thread other than the owner iterating the context: the source runs no
// handler there, logs one critical and detaches, so that thread's
// non-blocking iterations find nothing to do instead of firing forever. The
// message stays queued for the owning thread.
TEST(GlibLoopTest, ContextIteratedByAnotherThreadDetachesTheSourceWithACritical) {
    GlibToolkit tk(g_main_context_new());
    scenarios::Target target;
    scenarios::Log log(tk.Thread());
    target.onMessage = [&](UINT, WPARAM w, LPARAM) { log.Add(static_cast<int>(w)); };
    ASSERT_TRUE(target.PostMessage(scenarios::kMsg, 1, 0));
    int dispatches = 0;
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) dispatches += g_main_context_iteration(tk.Adapter().Context(), FALSE);
    });
    other.join();
    EXPECT_EQ(dispatches, 1) << "the source kept firing on the other thread";
    EXPECT_TRUE(log.Values().empty()) << "a handler ran on the wrong thread";
    const std::vector<std::string> criticals = tk.Criticals();
    ASSERT_EQ(criticals.size(), 1U);
    EXPECT_NE(criticals[0].find("other than"), std::string::npos) << criticals[0];

    test::PumpPending();
    EXPECT_EQ(log.Values(), std::vector<int>{1});
    EXPECT_EQ(log.Misplaced(), 0);
}

}  // namespace
