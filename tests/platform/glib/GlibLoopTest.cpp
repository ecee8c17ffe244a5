#include <BrimSubscriber/platform/glib/GlibLoop.h>

#include "platform/ToolkitScenarios.h"

#include <glib.h>
#include <gtest/gtest.h>


// GLib's side of the scenarios: GMainLoops on the default context; critical messages are counted, not printed.
struct GlibToolkit : scenarios::Toolkit<GlibToolkit, platform::GlibLoop> {
    GlibToolkit() { g_log_set_default_handler(&Record, this), Attach(); }
    ~GlibToolkit() {
        for (GSource* source : m_sources) g_source_destroy(source), g_source_unref(source);
        Detach(), g_log_set_default_handler(g_log_default_handler, nullptr);
    }
    void RunLoop() {
        m_loops.push_back(g_main_loop_new(nullptr, FALSE));
        g_main_loop_run(m_loops.back());
        g_main_loop_unref(m_loops.back());
        m_loops.pop_back();
    }
    void Quit() { g_main_loop_quit(m_loops.back()); }
    void Every(int ms, std::function<bool()> call) {
        GSource* source = g_timeout_source_new(static_cast<guint>(ms));  // default priority, as ours
        g_source_set_callback(
            source, [](gpointer f) { return gboolean{(*static_cast<std::function<bool()>*>(f))()}; },
            new std::function<bool()>(std::move(call)), [](gpointer f) { delete static_cast<std::function<bool()>*>(f); });
        g_source_attach(source, nullptr);
        m_sources.push_back(source);
    }
    static void Record(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer self) {
        if ((level & G_LOG_LEVEL_CRITICAL) == 0) return g_log_default_handler(domain, level, message, nullptr);
        static_cast<GlibToolkit*>(self)->Add(scenarios::kCritical);
    }

    std::vector<GMainLoop*> m_loops;
    std::vector<GSource*> m_sources;
};

BRIM_TOOLKIT_SCENARIO_TESTS(GlibLoopTest, GlibToolkit)

