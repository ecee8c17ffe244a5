#include <BrimSubscriber/subscription/SubscriptionManager.h>

#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Check.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include "subscription/Recorder.h"
#include "subscription/fixtures/CountingHandle.h"
#include <BrimSubscriber/testing/NotificationSpy.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <system_error>
#include <thread>

namespace {

const CString K(u"K");

// One registry per type 0-16 (what an invalid type does is the misuse table's): Notify goes to the one-key delivery
// (once per entry), NotifySend and NotifyPost to the several-keys one (once per receiver), each in its type only.
TEST(SubscriptionManagerTest, EachTypeDeliversInItsOwnRegistryByItsOwnRule) {
    auto& hub = SubscriptionManager::Instance();
    std::string log;
    test::Recorder a('A', log), b('B', log);
    for (const int type : {-1, 17, INT_MIN}) EXPECT_TRUE(!hub.GetSubscriptionMap(type) && !hub.CanDeliverToUserInterfaceThread(type));
    for (test::Recorder* r : {&a, &a, &b}) hub.Subscribe(r == &b ? 4 : 3, K, r);
    const NotificationInfo info;
    hub.Notify(3, K, &info, nullptr), hub.NotifySend(3, K, &info, nullptr);
    EXPECT_TRUE(hub.TryNotifyPost(3, K));
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    hub.Notify(4, K, nullptr, nullptr);
    EXPECT_EQ(log, "A*A*A*AB");
    for (test::Recorder* r : {&a, &a, &b}) hub.Unsubscribe(r == &b ? 4 : 3, K, r);
}

// A handle and the process-wide dispatcher built at namespace scope, before main designates the user-interface
// thread: a post made then is refused, not lost silently; sends and posts made once it exists reach that thread.
CountingHandle g_saved(7, u"Saved");
MainThreadDispatcher& g_dispatcher = MainThreadDispatcher::Instance();
const bool g_refusedBeforeMain = !SubscriptionManager::Instance().TryNotifyPost(7, u"Saved");

TEST(SubscriptionManagerTest, HandleBuiltBeforeMainHearsTheUserInterfaceThread) {
    std::thread worker([] {
        SubscriptionManager::Instance().NotifySend(7, u"Saved", nullptr, nullptr);  // waits for the delivery
        SubscriptionManager::Instance().NotifyPost(7, u"Saved");
        g_dispatcher.DispatchAsync([] { g_saved.received += platform::IsUserInterfaceThread() ? 10 : 100; });
    });
    EXPECT_TRUE(test::PumpUntil([] { return g_saved.received == 12; })) << g_saved.received;
    worker.join();
    EXPECT_TRUE(g_refusedBeforeMain && g_saved.offThread == 0);
}

// In a child process with every file descriptor taken: a thread's queue, first needed when the thread is made the
// user-interface thread, cannot be made; the system's error comes out, nothing changes, and it works once
// descriptors are free again.
TEST(SubscriptionManagerTest, DescriptorShortageAtFirstUseIsReportedAndRetried) {
    const auto scenario = [] {
        // The sanitizers need descriptors of their own the first time they check a
        // type; let them meet the map's, the dispatcher's and system_error first.
        std::thread([] { const SubscriptionMap map; const MainThreadDispatcher dispatcher; }).join();
        try { throw std::system_error(std::make_error_code(std::errc::too_many_files_open)); }
        catch (const std::system_error& e) { if (e.code() != std::errc::too_many_files_open || e.what() == nullptr) std::_Exit(9); }
        SubscriptionManager::Instance();
        int status = 0;
        std::thread([&] {
            const rlimit limit{64, 64};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return void(status = 10);
            std::vector<int> taken;
            for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
            for (const auto& attempt : {+[] { platform::SetUserInterfaceThread(); }, +[] { platform::MessageLoop::Current(); },
                                        +[] { MainThreadDispatcher(); }}) {
                try {
                    attempt(), status = 11;
                } catch (const std::system_error& e) {
                    if (e.code() != std::errc::too_many_files_open) status = 12;
                }
            }
            if (platform::IsUserInterfaceThread()) status = 13;
            for (const int fd : taken) ::close(fd);
            platform::SetUserInterfaceThread();
            brim::testing::NotificationSpy spy(3, {K});
            SubscriptionManager::Instance().NotifyPost(3, K);
            if (status == 0 && !(spy.WaitForCount(1) && spy.Records()[0].userInterfaceThread)) status = 14;
        }).join();
        std::_Exit(status);
    };
    EXPECT_EXIT(scenario(), testing::ExitedWithCode(0), "");
}

}  // namespace
