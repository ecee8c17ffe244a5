#include "filewatch/FileSubscription.h"

#include "FileWatchTestSupport.h"
#include "filewatch/FileWatcher.h"
#include "platform/Thread.h"
#include "subscription/SubscriptionManager.h"
#include "subscription/SubscriptionMap.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

using test::Key;
using test::Recorder;
using test::SetWriteTime;
using test::WriteFile;
namespace fs = std::filesystem;


class FileSubscriptionTest : public testing::Test {
protected:
    void SetUp() override {
        SubscriptionManager::Instance();  // dispatchers on the user-interface thread
        // Passes happen when a test runs one, unless it asks for polling.
        FileWatcher::Instance().SetPollIntervalForTesting(test::kNeverPoll);
        WriteFile(m_a, "a");
        WriteFile(m_b, "b");
    }
    void TearDown() override {
        EXPECT_EQ(Watcher().GetRecordCountForTesting(), 0U) << "a handle left a watch behind";
        EXPECT_FALSE(Watcher().IsPollingForTesting());
    }
    static FileWatcher& Watcher() { return FileWatcher::Instance(); }
    static void Pass() { test::PassAndDeliver(Watcher()); }

    test::TempDir m_dir;
    const fs::path m_a = m_dir / "a.xyz";
    const fs::path m_b = m_dir / "b.xyz";
};

TEST_F(FileSubscriptionTest, ChangeReachesTheReceiverOnceThroughThePollingThread) {
    Watcher().SetPollIntervalForTesting(5);
    Recorder recorder;
    FileSubscription files;
    files.SetSubscriber(&recorder, false);
    ASSERT_TRUE(files.Subscribe(Key(m_a)));
    SetWriteTime(m_a, 1000);
    ASSERT_TRUE(test::PumpUntil([&] { return recorder.calls == 1; }));
    const std::uint64_t passes = Watcher().GetPassCountForTesting();
    ASSERT_TRUE(test::PumpUntil([&] { return Watcher().GetPassCountForTesting() >= passes + 2; }));
    test::PumpPending();
    EXPECT_EQ(recorder.calls, 1);
    EXPECT_EQ(recorder.misplacedCalls, 0) << "on the user-interface thread, with a null payload";
}

TEST_F(FileSubscriptionTest, SameListChangesNothingAnotherOrderWithdrawsAndAddsAgain) {
    Recorder mine, theirs;
    FileSubscription other;  // keeps a's record alive, so re-adding it examines the file
    other.SetSubscriber(&theirs, false);
    ASSERT_TRUE(other.Subscribe(Key(m_a)));
    FileSubscription files;
    files.SetSubscriber(&mine, false);
    ASSERT_TRUE(files.Subscribe({Key(m_a), Key(m_b)}));

    SetWriteTime(m_a, 2000);
    ASSERT_TRUE(files.Subscribe({Key(m_a), Key(m_b)}));
    test::PumpPending();
    EXPECT_EQ(mine.calls + theirs.calls, 0) << "the same list examines nothing";
    EXPECT_EQ(Watcher().GetWatchCountForTesting(Key(m_a)), 2);

    ASSERT_TRUE(files.Subscribe({Key(m_b), Key(m_a)}));
    test::PumpPending();
    EXPECT_EQ(mine.calls, 1) << "re-adding a examined it";
    EXPECT_EQ(theirs.calls, 1);
    EXPECT_EQ(files.GetPaths(), (std::vector<CString>{Key(m_b), Key(m_a)}));

    ASSERT_TRUE(files.Subscribe(std::vector<CString>{}));  // an empty list withdraws everything
    EXPECT_TRUE(files.GetPaths().empty());
    EXPECT_EQ(Watcher().GetWatchCountForTesting(Key(m_a)), 1);
    EXPECT_EQ(Watcher().GetWatchCountForTesting(Key(m_b)), 0);
    SetWriteTime(m_a, 2001);
    Pass();
    EXPECT_EQ(mine.calls, 1);
    EXPECT_EQ(theirs.calls, 2);
}

// Handles on one path share its watch: a path listed twice counts twice yet
// reaches its receiver once per change, and a handle used on a worker thread
// still hears on the user-interface thread.
TEST_F(FileSubscriptionTest, HandlesOnOnePathShareItsWatch) {
    Recorder first, second;
    auto one = std::make_unique<FileSubscription>();
    FileSubscription two;
    one->SetSubscriber(&first, false);
    ASSERT_TRUE(one->Subscribe({Key(m_a), Key(m_a)}));
    std::thread([&] {
        two.SetSubscriber(&second, false);
        EXPECT_TRUE(two.Subscribe(Key(m_a)));
    }).join();
    EXPECT_EQ(Watcher().GetWatchCountForTesting(Key(m_a)), 3);
    SetWriteTime(m_a, 3000);
    Pass();
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);

    one.reset();
    EXPECT_EQ(Watcher().GetWatchCountForTesting(Key(m_a)), 1);
    SetWriteTime(m_a, 3001);
    Pass();
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 2);
    EXPECT_EQ(first.misplacedCalls + second.misplacedCalls, 0);
    std::thread([&] { two.Unsubscribe(); }).join();
}

// Records what it saw when it was deleted, and whether anything reached it
// afterwards.
class OwnedReceiver : public Subscriber {
public:
    explicit OwnedReceiver(CString path) : m_path(std::move(path)) {}
    ~OwnedReceiver() override {
        s_deleted = true;
        s_watchCountAtDeletion = FileWatcher::Instance().GetWatchCountForTesting(m_path);
    }
    void Update(const NotificationInfo* /*info*/) override {
        if (s_deleted) ++s_callsAfterDeletion;
    }
    static inline bool s_deleted = false;
    static inline int s_watchCountAtDeletion = -1;
    static inline int s_callsAfterDeletion = 0;

private:
    CString m_path;
};

TEST_F(FileSubscriptionTest, OwnedReceiverIsDeletedAfterItsPathsAndHearsNothingQueued) {
    {
        FileSubscription files;
        files.SetSubscriber(new OwnedReceiver(Key(m_a)), true);
        ASSERT_TRUE(files.Subscribe({Key(m_a), Key(m_b)}));
        SetWriteTime(m_a, 5000);
        Watcher().RunPassForTesting();  // queued, not yet delivered
    }
    ASSERT_TRUE(OwnedReceiver::s_deleted);
    EXPECT_EQ(OwnedReceiver::s_watchCountAtDeletion, 0);
    test::PumpPending();
    EXPECT_EQ(OwnedReceiver::s_callsAfterDeletion, 0);
}

TEST_F(FileSubscriptionTest, ThreadThatCannotStartLeavesTheHandleEmpty) {
    struct HookGuard {
        ~HookGuard() { platform::Thread::SetStartFailureHookForTesting(nullptr); }
    } guard;
    Recorder recorder;
    FileSubscription files;
    files.SetSubscriber(&recorder, false);
    platform::Thread::SetStartFailureHookForTesting([] { return true; });
    EXPECT_FALSE(files.Subscribe({Key(m_a), Key(m_b)}));
    EXPECT_TRUE(files.GetPaths().empty());
    EXPECT_EQ(Watcher().GetRecordCountForTesting(), 0U);
    SubscriptionManager::Instance().GetSubscriptionMap(FILE_SUBSCRIPTION_TYPE)->Notify(Key(m_a), nullptr, nullptr);
    EXPECT_EQ(recorder.calls, 0) << "not subscribed either";

    platform::Thread::SetStartFailureHookForTesting(nullptr);
    ASSERT_TRUE(files.Subscribe({Key(m_a), Key(m_b)}));
    SetWriteTime(m_b, 6000);
    Pass();
    EXPECT_EQ(recorder.calls, 1);
}

// The receiver withdraws its own handle from inside Update, on the
// user-interface thread with the map's lock held, while the polling thread
// runs: the stop must not wait for anything that thread is holding.
TEST_F(FileSubscriptionTest, ReceiverMayUnsubscribeItsHandleFromUpdate) {
    Watcher().SetPollIntervalForTesting(1);
    FileSubscription files;
    struct SelfRemover : Subscriber {
        FileSubscription* handle = nullptr;
        int calls = 0;
        void Update(const NotificationInfo* /*info*/) override {
            ++calls;
            handle->Unsubscribe();
        }
    } receiver;
    receiver.handle = &files;
    files.SetSubscriber(&receiver, false);
    ASSERT_TRUE(files.Subscribe({Key(m_a), Key(m_b)}));
    SetWriteTime(m_a, 7000);
    SetWriteTime(m_b, 7000);
    ASSERT_TRUE(test::PumpUntil([&] { return receiver.calls >= 1; }));
    test::PumpPending();
    EXPECT_EQ(receiver.calls, 1) << "the second notification found no subscription";
    EXPECT_TRUE(files.GetPaths().empty());
}

}  // namespace
