#include "platform/glib/GlibLoop.h"

#include "mainthread/MainThreadDispatcher.h"
#include "subscription/Subscriber.h"
#include "subscription/SubscriptionMap.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(GlibLoopTest, SmokePostsAndSendsFromWorker) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    {
        platform::GlibLoop brim(context);
        MainThreadDispatcher dispatcher;
        std::vector<int> seen;
        std::thread worker([&] {
            for (int i = 0; i < 100; ++i) dispatcher.DispatchAsync([&seen, i] { seen.push_back(i); });
            dispatcher.DispatchSync([&] { seen.push_back(1000); });
            dispatcher.DispatchAsync([&] { g_main_loop_quit(loop); });
        });
        g_main_loop_run(loop);
        worker.join();
        ASSERT_EQ(seen.size(), 101u);
    }
    g_main_loop_unref(loop);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

}  // namespace
