#include <BrimSubscriber/filewatch/FileSubscription.h>

#include "FileWatchTesting.h"

namespace {

using namespace test;

class FileSubscriptionTest : public WatcherTest {
protected:
    SubscriptionMap& m_map = *SubscriptionManager::Instance().GetSubscriptionMap(FILE_SUBSCRIPTION_TYPE);
    const CString m_a = Key(m_dir / "a"), m_b = Key(m_dir / "b");
};

// The owned receiver goes after its watches and subscriptions, uncalled by the report still queued.
TEST_F(FileSubscriptionTest, OwnedReceiverIsDeletedAfterItsPathsAreWithdrawn) {
    bool deletedLast = false;
    struct Owned : Recorder {
        std::function<void()> onDelete;
        ~Owned() override { onDelete(); }
    };
    {
        FileSubscription files(*m_watcher);
        auto* owned = new Owned;
        owned->onDelete = [&] { deletedLast = m_watcher->GetWatchedPaths().empty() && !m_map.SubscriberCount(m_a); };
        files.SetSubscriber(owned, true);
        m_seams.refuse = true;
        EXPECT_FALSE(files.Subscribe({m_a, m_b}));
        EXPECT_TRUE(files.GetPaths().empty() && m_watcher->GetWatchedPaths().empty() && !m_map.SubscriberCount(m_a));
        m_seams.refuse = false;
        ASSERT_TRUE(files.Subscribe({m_a, m_b}));
        Touch(m_dir / "a", 2000s, "a");
        m_watcher->RunPassForTesting();  // queued, not yet delivered
    }
    PumpPending();  // would reach the deleted receiver, which the sanitizers report
    EXPECT_TRUE(deletedLast);
}

TEST_F(FileSubscriptionTest, SameListChangesNothingAnotherWithdrawsAndAddsAgain) {
    Recorder theirs;
    FileSubscription other(*m_watcher), files(*m_watcher);  // other keeps a's record: adding a again examines it
    other.SetSubscriber(&theirs, false);
    files.SetSubscriber(&m_recorder, false);
    ASSERT_TRUE(other.Subscribe(m_a) && files.Subscribe({m_a, m_b}));
    Touch(m_dir / "a", 2000s, "a");
    ASSERT_TRUE(files.Subscribe({m_a, m_b}));
    PumpPending();
    EXPECT_EQ(m_recorder.calls + theirs.calls, 0) << "the same list examines nothing";
    ASSERT_TRUE(files.Subscribe({m_b, m_a}));
    PumpPending();
    EXPECT_EQ(m_recorder.calls + theirs.calls, 2) << "another order withdrew a and added it again";
    ASSERT_TRUE(files.Subscribe({m_a, m_a}));
    EXPECT_EQ(m_watcher->GetWatchedPaths(), (Watched{{m_a, 3}}));
    Touch(m_dir / "a", 3000s);
    Pass();
    EXPECT_EQ(m_recorder.calls + theirs.calls, 4) << "a path listed twice is reported once to its receiver";
    ASSERT_TRUE(files.Subscribe(std::vector<CString>{}));
    EXPECT_EQ(m_watcher->GetWatchedPaths(), (Watched{{m_a, 1}})) << "an empty list withdraws every path";
}

}  // namespace
