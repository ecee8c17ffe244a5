// Misuse that returns normally still leaves a trace: each kind is reported
// through the diagnostics channel once per kind and subscription type, with
// the outcome the headers promise. The switches (BRIM_DIAGNOSTICS, the
// build's default) are tried in child processes.

#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/mainthread/UIWatchdog.h>
#include <BrimSubscriber/platform/Document.h>
#include <BrimSubscriber/platform/Check.h>
#include <BrimSubscriber/platform/Diagnostics.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/platform/Wnd.h>
#include <BrimSubscriber/subscription/Subscription.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include "subscription/Recorder.h"
#include "support/UiLoop.h"
#include <BrimSubscriber/testing/RunUntilIdle.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

const CString K(u"K");

std::string Str(auto... values) { return ((std::to_string(values) + ' ') + ...); }

class MisuseTest : public testing::Test {
public:
    void SetUp() override {
        brim::SetDiagnosticsMode(brim::DiagnosticsMode::Warn);
        previous = brim::SetDiagnosticHandler([this](const brim::Diagnostic& d) {
            const std::lock_guard lock(reportsLock);
            if (reports.empty()) firstMessage = d.message;
            reports += std::string(brim::DiagnosticKindName(d.kind)) + ':' + std::to_string(d.subscriptionType) + ' ';
        });
    }
    void TearDown() override { brim::SetDiagnosticHandler(previous); }
    std::string Reports() {
        const std::lock_guard lock(reportsLock);
        return reports;
    }

    std::mutex reportsLock;
    std::string reports;       // "<kind>:<type> " per report
    std::string firstMessage;  // the first report's text
    brim::DiagnosticHandler previous;
    std::string log;
    test::Recorder a{'A', log};
    SubscriptionManager& hub = SubscriptionManager::Instance();
};

struct MisuseCase {
    const char* misuse;
    std::string (*run)(MisuseTest&);
    const char* outcome;
    const char* reports;
};

// Each case misuses twice or more: once per kind and type.
const MisuseCase kCases[] = {
    {"a post with no user-interface thread: refused and counted; TryNotifyPost only answers",
     [](MisuseTest& t) {
         const std::uint64_t before = t.hub.DroppedPostCount();
         platform::ClearUserInterfaceThread();
         const bool tried = t.hub.TryNotifyPost(5, K), can = t.hub.CanDeliverToUserInterfaceThread(5);
         const std::string afterTry = t.Reports();
         t.hub.NotifyPost(5, K), t.hub.NotifyPost(5, K), t.hub.NotifyPost(8, K);
         return afterTry + Str(tried, can, t.hub.DroppedPostCount() - before);
     },
     "0 0 4 ", "cannot-deliver:5 cannot-deliver:8 "},
    {"a send with no user-interface thread: delivers nothing and returns",
     [](MisuseTest& t) {
         t.hub.Subscribe(6, K, &t.a);
         platform::ClearUserInterfaceThread();
         t.hub.NotifySend(6, K, nullptr, nullptr), MainThreadDispatcher::Instance().DispatchSync([&t] { t.log += '!'; });
         platform::SetUserInterfaceThread();
         t.hub.NotifySend(6, K, nullptr, nullptr), t.hub.Unsubscribe(6, K, &t.a);
         return t.log;
     },
     "A", "cannot-deliver:6 cannot-deliver:-1 "},
    {"a loop run from a thread that does not own it: refused, nothing runs there",
     [](MisuseTest& t) {
         platform::MessageLoop ui = platform::MessageLoop::Current();
         MainThreadDispatcher::Instance().DispatchAsync([&t] { t.log += platform::IsUserInterfaceThread() ? 'u' : '!'; });
         std::string seen;
         std::thread([&] {
             seen = Str(ui.RunPending(), ui.RunUntil([] { return true; }, std::chrono::milliseconds(0)), ui.TakeQuitRequest());
             ui.Run();  // returns at once
         }).join();
         EXPECT_TRUE(brim::testing::RunUntilIdle());
         return seen + t.log;
     },
     "0 0 0 u", "loop-on-wrong-thread:-1 "},
    {"invalid types: nothing done, reported once for all of them",
     [](MisuseTest& t) {
         t.hub.Subscribe(17, K, &t.a), t.hub.NotifyPost(-1, K), t.hub.Notify(INT_MIN, K, nullptr, nullptr);
         Subscription handle(INT_MAX);
         handle.SetSubscriber(&t.a, false), handle.Subscribe(K), handle.SetType(3);
         t.hub.Notify(3, K, nullptr, nullptr), handle.Unsubscribe();
         return t.log + Str(t.hub.SubscriberCount(17, K), t.hub.TryNotifyPost(16, K));
     },
     "A0 1 ", "invalid-subscription-type:17 "},
    {"a full queue: posts refused, counted per type",
     [](MisuseTest& t) {
         const std::uint64_t before = t.hub.DroppedPostCount();
         std::string seen;
         {
             const auto filler = test::FillQueue();  // its messages go with it
             t.hub.NotifyPost(7, K), t.hub.NotifyPost(7, K);
             seen = Str(MainThreadDispatcher::Instance().DispatchAsync([] {}), t.hub.DroppedPostCount() - before);
         }
         EXPECT_TRUE(brim::testing::RunUntilIdle());
         return seen;
     },
     "0 2 ", "queue-full:7 queue-full:-1 "},
#if BRIM_DCHECK_IS_ON
    {"a receiver destroyed while still subscribed",
     [](MisuseTest& t) {
         SubscriptionMap held;
         for (int i = 0; i < 2; ++i) {
             held.Subscribe(K, std::make_unique<CallbackSubscriber>(nullptr).get());  // destroyed right after
             held.Unsubscribe(K, nullptr);
         }
         return t.firstMessage.substr(0, 58);
     },
     "a receiver was destroyed while still subscribed (type -1, ", "receiver-destroyed-while-subscribed:-1 "},
    // Debug builds check every "only on its own thread" of a public header; the call goes on.
    {"a thread object used off its own thread",
     [](MisuseTest&) {
         CWinThread thread;
         CWnd frame, *seen = nullptr;
         thread.SetMainWnd(&frame);
         std::thread([&] { seen = thread.GetMainWnd(); }).join();
         return Str(seen == &frame);
     },
     "1 ", "wrong-thread:-1 "},
    {"a document used off its own thread",
     [](MisuseTest&) {
         CDocument doc;
         CView view;
         doc.AddView(&view);
         std::thread([&] { doc.UpdateAllViews(nullptr), doc.RemoveView(&view); }).join();
         return Str(doc.GetViews().size());
     },
     "0 ", "wrong-thread:-1 "},
    {"a watchdog stopped off the thread that started it",
     [](MisuseTest&) {
         UIWatchdog watchdog(24U * 3600U * 1000U);
         watchdog.Start();
         std::thread([&] { watchdog.Stop(); }).join();
         return Str(watchdog.GetViewUpdateRate());
     },
     "125.000000 ", "wrong-thread:-1 "},
#endif
};

TEST_F(MisuseTest, EachMisuseHasItsOutcomeAndIsReportedOncePerKindAndType) {
    for (const MisuseCase& c : kCases) {
        SCOPED_TRACE(c.misuse);
        brim::ForgetReportedDiagnostics();
        reports.clear(), log.clear();
        EXPECT_EQ(c.run(*this), c.outcome);
        EXPECT_EQ(Reports(), c.reports);
        platform::SetUserInterfaceThread();
    }
}

// The switches, each in a process of its own: the variable is read once, at the first report.
TEST(MisuseSwitchTest, EnvironmentVariableAndBuildDefault) {
    const auto destroySubscribed = [] {
        SubscriptionMap held;
        held.Subscribe(K, std::make_unique<CallbackSubscriber>(nullptr).get());  // destroyed right after
        std::_Exit(0);
    };
    const auto postWithoutUserInterfaceThread = [] {
        platform::ClearUserInterfaceThread();
        SubscriptionManager::Instance().NotifyPost(2, K);
        std::_Exit(0);
    };
    ::setenv("BRIM_DIAGNOSTICS", "fatal", 1);
    EXPECT_DEATH(postWithoutUserInterfaceThread(), "subscription type 2; -1: none\\) cannot arrive");
    ::setenv("BRIM_DIAGNOSTICS", "off", 1);
    EXPECT_EXIT(destroySubscribed(), testing::ExitedWithCode(0), "^$");
    ::setenv("BRIM_DIAGNOSTICS", "warn", 1);
    EXPECT_EXIT(postWithoutUserInterfaceThread(), testing::ExitedWithCode(0), "cannot arrive");
    ::unsetenv("BRIM_DIAGNOSTICS");
#if BRIM_DCHECK_IS_ON
    EXPECT_DEATH(destroySubscribed(), "destroyed while still subscribed \\(type -1, key \"K\"");
#else
    EXPECT_EXIT(postWithoutUserInterfaceThread(), testing::ExitedWithCode(0), "^$");
#endif
}

}  // namespace
