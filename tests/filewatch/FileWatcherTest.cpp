#include "filewatch/FileWatcher.h"

#include "FileWatchTestSupport.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/Wnd.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>

namespace {

using test::Key;
using test::Recorder;
using test::SetWriteTime;
using test::WriteFile;
namespace fs = std::filesystem;

using test::kNeverPoll;

class FileWatcherTest : public testing::Test {
protected:
    // Reached first on the user-interface thread, so posted notifications are
    // delivered there.
    void SetUp() override { SubscriptionManager::Instance(); }

    static Subscription Listen(const CString& key, Recorder& recorder) {
        Subscription subscription(FILE_SUBSCRIPTION_TYPE);
        subscription.SetSubscriber(&recorder, false);
        subscription.Subscribe(key);
        return subscription;
    }

    static void Pass(FileWatcher& watcher) { test::PassAndDeliver(watcher); }

    test::TempDir m_dir;
};

TEST_F(FileWatcherTest, ChangesAreReportedOncePerChangeAtFullTimeResolution) {
    const fs::path file = m_dir / "line.xyz";
    WriteFile(file, "abc");
    SetWriteTime(file, 1000, 200'000'000);
    FileWatcher watcher(kNeverPoll);
    Recorder recorder;
    const Subscription listening = Listen(Key(file), recorder);
    ASSERT_TRUE(watcher.AddFileWatch(Key(file)));

    Pass(watcher);
    EXPECT_EQ(recorder.calls, 0) << "a new record is not reported";

    SetWriteTime(file, 1000, 800'000'000);  // rewritten within the second already seen
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1) << "one report per change";

    WriteFile(file, "xyz");  // other contents, but time and size restored exactly
    SetWriteTime(file, 1000, 800'000'000);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1);

    WriteFile(file, "longer");  // time restored, size not
    SetWriteTime(file, 1000, 800'000'000);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 2);

    SetWriteTime(file, 1001);  // touched
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 3);

    WriteFile(file, "a");  // several changes between two passes
    SetWriteTime(file, 1002);
    WriteFile(file, "bb");
    SetWriteTime(file, 1003);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 4);
    EXPECT_EQ(recorder.misplacedCalls, 0);
    watcher.RemoveFileWatch(Key(file));
}

// The user-interface thread is busy and its queue is full when a saved file is
// examined: the change waits for a pass after the queue has room.
TEST_F(FileWatcherTest, ChangeSeenWhileTheQueueIsFullIsReportedOnceThereIsRoom) {
    const fs::path file = m_dir / "line.xyz";
    WriteFile(file, "abc");
    FileWatcher watcher(kNeverPoll);
    Recorder recorder;
    const Subscription listening = Listen(Key(file), recorder);
    ASSERT_TRUE(watcher.AddFileWatch(Key(file)));

    auto backlog = std::make_unique<CWnd>();
    ASSERT_TRUE(backlog->CreateEx("backlog"));
    std::thread([&] {
        while (backlog->PostMessage(WM_APP + 1, 0, 0)) {
        }
    }).join();
    WriteFile(file, "abcd");
    watcher.RunPassForTesting();  // the post is refused
    backlog.reset();              // its messages go: the queue has room again
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1) << "one report per change";
    watcher.RemoveFileWatch(Key(file));
}

TEST_F(FileWatcherTest, MissingFileIsSilentUntilItComesBackDifferent) {
    const fs::path file = m_dir / "later.xyz";
    FileWatcher watcher(kNeverPoll);
    Recorder recorder;
    const Subscription listening = Listen(Key(file), recorder);
    ASSERT_TRUE(watcher.AddFileWatch(Key(file)));
    EXPECT_TRUE(watcher.IsPollingForTesting()) << "a missing file is watched all the same";
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 0);

    WriteFile(file, "1");
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1) << "created";

    fs::remove(file);
    Pass(watcher);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1) << "a deletion is never reported";

    WriteFile(m_dir / "next", "22");
    SetWriteTime(m_dir / "next", 2000);
    fs::rename(m_dir / "next", file);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 2) << "re-created by rename";

    fs::remove(file);
    WriteFile(file, "22");
    SetWriteTime(file, 2000);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 2) << "came back exactly as last reported";
    EXPECT_EQ(recorder.misplacedCalls, 0);
    watcher.RemoveFileWatch(Key(file));
}

TEST_F(FileWatcherTest, PathAddedTwiceIsOneCountedRecordExaminedAtOnce) {
    const fs::path file = m_dir / "twice.xyz";
    WriteFile(file, "abc");
    FileWatcher watcher(kNeverPoll);
    Recorder recorder;
    const Subscription listening = Listen(Key(file), recorder);
    ASSERT_TRUE(watcher.AddFileWatch(Key(file)));
    SetWriteTime(file, 3000);
    ASSERT_TRUE(watcher.AddFileWatch(Key(file)));  // sees the change now, on this thread
    test::PumpPending();
    EXPECT_EQ(recorder.calls, 1);
    EXPECT_EQ(watcher.GetWatchCountForTesting(Key(file)), 2);
    EXPECT_EQ(watcher.GetRecordCountForTesting(), 1U);

    watcher.RemoveFileWatch(Key(file));
    EXPECT_EQ(watcher.GetWatchCountForTesting(Key(file)), 1);
    EXPECT_TRUE(watcher.IsPollingForTesting());
    watcher.RemoveFileWatch(Key(file));
    EXPECT_EQ(watcher.GetRecordCountForTesting(), 0U);
    EXPECT_FALSE(watcher.IsPollingForTesting());
    watcher.RemoveFileWatch(Key(file));  // more removals than adds: nothing happens
    watcher.RemoveFileWatch(Key(m_dir / "never added"));
    EXPECT_EQ(watcher.GetRecordCountForTesting(), 0U);
}

TEST_F(FileWatcherTest, SpellingsAreSeparateRecordsReportedInFirstAddedOrder) {
    const fs::path upper = m_dir / "Data.txt";
    const fs::path lower = m_dir / "data.txt";
    const CString doubled(m_dir.Path().string() + "//data.txt");  // the same file as `lower`
    WriteFile(upper, "U");
    WriteFile(lower, "l");
    FileWatcher watcher(kNeverPoll);
    std::vector<std::string> order;
    Recorder upperRecorder("upper", &order), lowerRecorder("lower", &order), doubledRecorder("doubled", &order);
    const Subscription l1 = Listen(Key(upper), upperRecorder);
    const Subscription l2 = Listen(Key(lower), lowerRecorder);
    const Subscription l3 = Listen(doubled, doubledRecorder);
    ASSERT_TRUE(watcher.AddFileWatch(Key(lower)));
    ASSERT_TRUE(watcher.AddFileWatch(doubled));
    ASSERT_TRUE(watcher.AddFileWatch(Key(upper)));
    EXPECT_EQ(watcher.GetRecordCountForTesting(), 3U);

    SetWriteTime(lower, 4000);
    Pass(watcher);
    EXPECT_EQ(order, (std::vector<std::string>{"lower", "doubled"}));

    SetWriteTime(upper, 4001);
    SetWriteTime(lower, 4001);
    Pass(watcher);
    EXPECT_EQ(order, (std::vector<std::string>{"lower", "doubled", "lower", "doubled", "upper"}));
    for (const CString& key : {Key(lower), doubled, Key(upper)}) watcher.RemoveFileWatch(key);
}

// Whatever a path holds or names, the outcome is "not found" or "cannot be
// opened": strings that cannot be a file name never reach the file system
// (a converted or cut name could be another, real file), and nothing but a
// regular file is ever opened.
TEST_F(FileWatcherTest, BadPathsAreNotFoundAndNeverOpened) {
    const fs::path file = m_dir / "f";
    const fs::path replaced = m_dir / "a\xEF\xBF\xBD";  // "a" + U+FFFD, what a lone surrogate converts to
    WriteFile(file, "f");
    WriteFile(replaced, "r");
    fs::create_directory(m_dir / "sub");
    fs::create_symlink(file, m_dir / "link");
    fs::create_symlink(m_dir / "nothing", m_dir / "dangling");
    fs::create_directory_symlink(m_dir / "sub", m_dir / "dirlink");
    const CString withNul(Key(file).str() + std::u16string(1, u'\0') + u"y");
    const CString loneSurrogate(Key(m_dir / "a").str() + std::u16string(1, char16_t{0xD800}));
    const std::vector<CString> unnameable{CString(), withNul, loneSurrogate};
    std::vector<CString> notFound{Key(m_dir / "sub"), Key(m_dir / "dangling"), Key(m_dir / "dirlink"),
                                  CString("/dev/null"), CString(file.string() + "/"), Key(m_dir / std::string(300, 'n'))};
    const fs::path fifo = m_dir / "fifo";
    if (std::system(("mkfifo '" + fifo.string() + "'").c_str()) == 0) notFound.push_back(Key(fifo));
    notFound.insert(notFound.end(), unnameable.begin(), unnameable.end());

    test::ScriptedFileAccess access;
    FileWatcher watcher(kNeverPoll);
    Recorder linkRecorder, others;
    const Subscription listeningLink = Listen(Key(m_dir / "link"), linkRecorder);
    std::vector<Subscription> listening;
    for (const CString& path : notFound) {
        listening.push_back(Listen(path, others));
        ASSERT_TRUE(watcher.AddFileWatch(path));
        ASSERT_TRUE(watcher.AddFileWatch(path));  // a second add examines the path at once
    }
    ASSERT_TRUE(watcher.AddFileWatch(Key(m_dir / "link")));
    WriteFile(m_dir / "sub" / "new", "changes the directory's time");
    for (const fs::path& touched : {m_dir / "sub", fifo, file, replaced}) {
        if (fs::exists(touched)) SetWriteTime(touched, 6000);
    }
    Pass(watcher);
    EXPECT_EQ(others.calls, 0);
    EXPECT_EQ(linkRecorder.calls, 1) << "a link is followed to its file";
    EXPECT_EQ(access.openAttempts, 1) << "nothing but the regular file was opened";
    for (const std::string& seen : access.PathsSeen()) {
        EXPECT_EQ(seen.find('\0'), std::string::npos);
        EXPECT_EQ(seen.find("\xEF\xBF\xBD"), std::string::npos) << "a lone surrogate reached the file system";
        EXPECT_FALSE(seen.empty());
    }
    for (const CString& path : notFound) {
        watcher.RemoveFileWatch(path);
        watcher.RemoveFileWatch(path);
    }
    watcher.RemoveFileWatch(Key(m_dir / "link"));
}

// As root every file opens; the replaceable access makes one unreadable.
TEST_F(FileWatcherTest, UnreadableChangeIsRetriedAndReportedOnceItOpens) {
    const fs::path file = m_dir / "locked.xyz";
    WriteFile(file, "abc");
    test::ScriptedFileAccess access;
    FileWatcher watcher(kNeverPoll);
    Recorder recorder;
    const Subscription listening = Listen(Key(file), recorder);
    ASSERT_TRUE(watcher.AddFileWatch(Key(file)));

    access.SetReadable(file, false);
    SetWriteTime(file, 7000);
    Pass(watcher);
    const int attempts = access.openAttempts;
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 0);
    EXPECT_GT(access.openAttempts, attempts) << "re-examined at every pass";

    access.SetReadable(file, true);
    Pass(watcher);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1);
    watcher.RemoveFileWatch(Key(file));
}

TEST_F(FileWatcherTest, RelativePathKeepsTheFileItNamedWhenAdded) {
    fs::create_directory(m_dir / "a");
    fs::create_directory(m_dir / "b");
    WriteFile(m_dir / "a" / "rel.txt", "a");
    WriteFile(m_dir / "b" / "rel.txt", "b");
    const fs::path previous = fs::current_path();
    struct Restore {
        fs::path path;
        ~Restore() { fs::current_path(path); }
    } restore{previous};

    FileWatcher watcher(kNeverPoll);
    Recorder recorder;
    const Subscription listening = Listen(CString("rel.txt"), recorder);
    fs::current_path(m_dir / "a");
    ASSERT_TRUE(watcher.AddFileWatch(CString("rel.txt")));
    fs::current_path(m_dir / "b");
    SetWriteTime(m_dir / "b" / "rel.txt", 8000);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 0);
    SetWriteTime(m_dir / "a" / "rel.txt", 8000);
    Pass(watcher);
    EXPECT_EQ(recorder.calls, 1);
    watcher.RemoveFileWatch(CString("rel.txt"));
}

TEST_F(FileWatcherTest, PollingThreadRunsExactlyWhileRecordsExist) {
    const fs::path file = m_dir / "polled.xyz";
    WriteFile(file, "abc");
    FileWatcher watcher(5);
    Recorder recorder;
    const Subscription listening = Listen(Key(file), recorder);
    EXPECT_FALSE(watcher.IsPollingForTesting());

    for (int round = 1; round <= 2; ++round) {  // a stopped watcher starts again
        ASSERT_TRUE(watcher.AddFileWatch(Key(file)));
        EXPECT_TRUE(watcher.IsPollingForTesting());
        SetWriteTime(file, 9000 + round);
        ASSERT_TRUE(test::PumpUntil([&] { return recorder.calls == round; }));
        const std::uint64_t passes = watcher.GetPassCountForTesting();
        ASSERT_TRUE(test::PumpUntil([&] { return watcher.GetPassCountForTesting() >= passes + 2; }));
        test::PumpPending();
        EXPECT_EQ(recorder.calls, round) << "later passes do not report the change again";
        watcher.RemoveFileWatch(Key(file));
        EXPECT_FALSE(watcher.IsPollingForTesting());
    }
    EXPECT_EQ(recorder.misplacedCalls, 0);
}

// Removing the last path races with adding a new one: the remover has
// released the lock and is stopping the thread while the adder registers.
// Whatever the interleaving, a registered path must have a live poller, and
// every remover must come back.
TEST_F(FileWatcherTest, AddAndRemoveFromSeveralThreadsNeverLeaveARecordUnpolled) {
    constexpr int kThreads = 4;
    constexpr int kMinRounds = 300;
    const fs::path shared = m_dir / "shared";
    WriteFile(shared, "s");
    FileWatcher watcher(1);
    std::atomic<int> unpolled{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const CString own = Key(m_dir / ("own" + std::to_string(t)));
            for (int round = 0; round < kMinRounds || (watcher.GetPassCountForTesting() < 20 && round < 100'000);
                 ++round) {
                const CString& path = round % 2 == 0 ? own : Key(shared);
                if (!watcher.AddFileWatch(path)) ++refused;
                if (!watcher.IsPollingForTesting()) ++unpolled;  // our record is still there
                watcher.RemoveFileWatch(path);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(unpolled, 0);
    EXPECT_EQ(refused, 0);
    EXPECT_GE(watcher.GetPassCountForTesting(), 20U) << "passes ran during the churn";
    EXPECT_EQ(watcher.GetRecordCountForTesting(), 0U);
    EXPECT_FALSE(watcher.IsPollingForTesting());

    Recorder recorder;
    const Subscription listening = Listen(Key(shared), recorder);
    ASSERT_TRUE(watcher.AddFileWatch(Key(shared)));
    SetWriteTime(shared, 10'000);
    EXPECT_TRUE(test::PumpUntil([&] { return recorder.calls == 1; }));
    watcher.RemoveFileWatch(Key(shared));
}

TEST_F(FileWatcherTest, ThreadThatCannotStartRegistersNothing) {
    struct HookGuard {
        ~HookGuard() { platform::Thread::SetStartFailureHookForTesting(nullptr); }
    } guard;
    const auto refuse = [] { platform::Thread::SetStartFailureHookForTesting([] { return true; }); };
    const auto allow = [] { platform::Thread::SetStartFailureHookForTesting(nullptr); };
    const CString first = Key(m_dir / "first"), second = Key(m_dir / "second");
    FileWatcher watcher(kNeverPoll);

    refuse();
    EXPECT_FALSE(watcher.AddFileWatch(first));
    EXPECT_EQ(watcher.GetRecordCountForTesting(), 0U);
    EXPECT_FALSE(watcher.IsPollingForTesting());
    watcher.RemoveFileWatch(first);  // nothing to withdraw, nothing waited for

    allow();
    ASSERT_TRUE(watcher.AddFileWatch(first));
    refuse();  // a running poller serves new paths without a start
    EXPECT_TRUE(watcher.AddFileWatch(second));
    EXPECT_TRUE(watcher.AddFileWatch(first));
    EXPECT_EQ(watcher.GetWatchCountForTesting(first), 2);
    for (const CString& path : {first, first, second}) watcher.RemoveFileWatch(path);
    EXPECT_FALSE(watcher.IsPollingForTesting());
    EXPECT_FALSE(watcher.AddFileWatch(second));
    EXPECT_EQ(watcher.GetRecordCountForTesting(), 0U);
}

TEST_F(FileWatcherTest, DestroyingAWatcherStopsItsThreadAfterThePassInProgress) {
    const fs::path file = m_dir / "busy.xyz";
    WriteFile(file, "abc");
    test::ScriptedFileAccess access;
    auto watcher = std::make_unique<FileWatcher>(1);
    ASSERT_TRUE(watcher->AddFileWatch(Key(file)));  // still registered at destruction
    access.SetGateOpen(false);
    ASSERT_TRUE(access.passHeld.Wait(test::kGenerousTimeout.count()));

    platform::Event destroyed;
    std::thread destroyer([&] {
        watcher.reset();
        destroyed.Set();
    });
    EXPECT_FALSE(destroyed.Wait(0)) << "destruction did not wait for the pass in progress";
    access.SetGateOpen(true);
    EXPECT_TRUE(destroyed.Wait(test::kGenerousTimeout.count()));
    destroyer.join();
    // A thread left running would now use the freed records, which the
    // sanitizer builds report.
}

}  // namespace
