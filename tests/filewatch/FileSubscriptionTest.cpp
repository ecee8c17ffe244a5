#include <BrimSubscriber/filewatch/FileSubscription.h>

#include "FileWatchTesting.h"
#include <BrimSubscriber/testing/NotificationSpy.h>

namespace {

using namespace test;

class FileSubscriptionTest : public WatcherTest {
protected:
    SubscriptionMap& m_map = *SubscriptionManager::Instance().GetSubscriptionMap(FILE_SUBSCRIPTION_TYPE);
    const CString m_a = Key(m_dir / "a"), m_b = Key(m_dir / "b");
};

// A receiver swapped on a subscribed handle takes its paths, and the owned earlier one is deleted once withdrawn (a
// debug build stops at a receiver deleted while still subscribed). The owned last one goes after its watches and
// subscriptions, uncalled by the report still queued.
TEST_F(FileSubscriptionTest, OwnedReceiversAreDeletedAfterTheirPathsAreWithdrawn) {
    bool deletedLast = false;
    struct Owned : Recorder {
        std::function<void()> onDelete;
        ~Owned() override { onDelete(); }
    };
    {
        FileSubscription files(*m_watcher);
        auto token = std::make_shared<int>(0);
        const std::weak_ptr<int> earlier = token;
        files.SetSubscriber([token](const NotificationInfo*) {});
        token.reset();
        m_seams.refuse = true;
        EXPECT_FALSE(files.Subscribe({m_a, m_b}));
        EXPECT_TRUE(files.GetPaths().empty() && m_watcher->GetWatchedPaths().empty() && !m_map.SubscriberCount(m_a));
        m_seams.refuse = false;
        ASSERT_TRUE(files.Subscribe({m_a, m_b}));
        auto* owned = new Owned;
        owned->onDelete = [&] { deletedLast = m_watcher->GetWatchedPaths().empty() && !m_map.SubscriberCount(m_a); };
        files.SetSubscriber(owned, true);
        EXPECT_TRUE(earlier.expired() && m_map.SubscriberCount(m_a) == 1U);
        Touch(m_dir / "b", 2000s, "b");
        Pass();
        EXPECT_EQ(owned->calls, 1);
        Touch(m_dir / "a", 2000s, "a");
        m_watcher->RunPassForTesting();  // queued, not yet delivered
    }
    EXPECT_TRUE(brim::testing::RunUntilIdle());  // would reach the deleted receiver, which the sanitizers report
    EXPECT_TRUE(deletedLast);
}

TEST_F(FileSubscriptionTest, SameListChangesNothingAnotherWithdrawsAndAddsAgain) {
    const brim::testing::NotificationSpy theirs(FILE_SUBSCRIPTION_TYPE, {m_a});
    FileSubscription files(*m_watcher);
    files.SetSubscriber(&m_recorder, false);
    // The watch of its own keeps a's record, so that adding a again examines it.
    ASSERT_TRUE(m_watcher->AddFileWatch(m_a) && files.Subscribe({m_a, m_b}));
    Touch(m_dir / "a", 2000s, "a");
    ASSERT_TRUE(files.Subscribe({m_a, m_b}));
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(m_recorder.calls + theirs.Count(), 0U) << "the same list examines nothing";
    ASSERT_TRUE(files.Subscribe({m_b, m_a}));
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(m_recorder.calls + theirs.Count(), 2U) << "another order withdrew a and added it again";
    ASSERT_TRUE(files.Subscribe({m_a, m_a}));
    EXPECT_EQ(m_watcher->GetWatchedPaths(), (Watched{{m_a, 3}}));
    Touch(m_dir / "a", 3000s);
    Pass();
    EXPECT_EQ(m_recorder.calls + theirs.Count(), 4U) << "a path listed twice is reported once to its receiver";
    ASSERT_TRUE(files.Subscribe(std::vector<CString>{}));
    EXPECT_EQ(m_watcher->GetWatchedPaths(), (Watched{{m_a, 1}})) << "an empty list withdraws every path";
}

// A path given as bytes must be UTF-8: other bytes name a file that no key can name, and decoding them (to U+FFFD)
// would watch another file. They are refused, and said to be.
TEST_F(FileSubscriptionTest, PathBytesThatAreNotUtf8AreRefused) {
    const std::string dir = m_dir.Path().string();
    const struct { const char* what; std::string bytes; bool utf8; } rows[] = {
        {"Latin-1", dir + "/caf\xE9.txt", false},
        {"overlong", dir + "/caf\xC0\xAF.txt", false},
        {"surrogate", dir + "/caf\xED\xA0\x80.txt", false},
        {"above U+10FFFF", dir + "/caf\xF4\x90\x80\x80.txt", false},
        {"cut short", dir + "/caf\xF0\x9F\x98", false},
        {"UTF-8", dir + "/caf\xC3\xA9.txt", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Diagnostics notUtf8(brim::DiagnosticKind::PathNotUtf8);
        FileSubscription files(*m_watcher);
        files.SetSubscriber(&m_recorder, false);
        EXPECT_EQ(files.Subscribe(std::string_view(row.bytes)), row.utf8);
        EXPECT_EQ(files.Subscribe(fs::path(row.bytes)), row.utf8);
        EXPECT_EQ(m_watcher->AddFileWatch(row.bytes) && m_watcher->RemoveFileWatch(fs::path(row.bytes)), row.utf8);
        EXPECT_EQ(files.GetPaths().size(), row.utf8 ? 1U : 0U);
        EXPECT_EQ(notUtf8.Messages().size(), row.utf8 ? 0U : 1U) << "reported once";
    }
}

}  // namespace
