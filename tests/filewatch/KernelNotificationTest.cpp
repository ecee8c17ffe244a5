#include <BrimSubscriber/filewatch/FileWatcher.h>

#include "FileWatchTesting.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <sstream>

namespace {

using namespace test;
using Kind = platform::FileChange::Kind;

// A source of the test's own: it refuses the directories it is told to and
// hands out the changes the test pushes; it counts the watches it holds.
struct ScriptedSource : platform::FileChangeSource {
    int AddDirectory(const std::string& path) override {
        const platform::LockGuard lock(mutex);
        return refused.count(path) != 0 ? -1 : (watches[next] = path, next++);
    }
    void RemoveDirectory(int watch) override { const platform::LockGuard lock(mutex); watches.erase(watch); }
    void Wait(int timeoutMs, std::uint64_t since, std::vector<platform::FileChange>& out) override {
        platform::UniqueLock lock(mutex);
        ++entered;
        cv.notify_all();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pending.empty() && InterruptCount() == since && cv.wait_until(lock.ForWait(), until) == std::cv_status::no_timeout) {}
        if (!pending.empty()) drainedAt = entered;
        out.insert(out.end(), pending.begin(), pending.end()), pending.clear();
    }
    // Returns once the watcher has handled every change pushed so far.
    void Settle() {
        platform::UniqueLock lock(mutex);
        while (!pending.empty() || entered == drainedAt) cv.wait(lock.ForWait());
    }
    void Wake() override { const platform::LockGuard lock(mutex); cv.notify_all(); }
    void Push(platform::FileChange change) { const platform::LockGuard lock(mutex); pending.push_back(std::move(change)); cv.notify_all(); }
    std::size_t Held() { const platform::LockGuard lock(mutex); return watches.size(); }
    platform::CriticalSection mutex;
    std::condition_variable cv;
    std::set<std::string> refused;
    std::map<int, std::string> watches;
    std::deque<platform::FileChange> pending;
    int next = 1, entered = 0, drainedAt = 0;
};

class KernelNotificationTest : public WatcherTest {
protected:
    // A watcher with the kernel's own source, which polls only once an hour.
    FileWatcher m_kernel{FileWatcher::Options{.pollIntervalMs = 3'600'000}};
    std::string m_seenContents;  // the file as the receiver found it
    Subscription m_reading{FILE_SUBSCRIPTION_TYPE};

    void Read(const fs::path& file) {
        m_reading.SetSubscriber([this, file](const NotificationInfo*) {
            m_seenContents = (std::ostringstream() << std::ifstream(file).rdbuf()).str();
            ++m_recorder.calls;
        });
        m_reading.Subscribe(Key(file));
    }
};

// Each way editors save gives one report, made once the save is complete, long
// before the next polling pass.
TEST_F(KernelNotificationTest, EachKindOfSaveIsReportedOnceWhenComplete) {
    const fs::path file = m_dir / "line.xyz", temporary = m_dir / ".line.xyz.swp";
    Touch(file, 1000s, "first");
    Read(file);
    ASSERT_TRUE(m_kernel.AddFileWatch(Key(file)));
    const struct { const char* how; std::function<void()> save; const char* contents; } saves[] = {
        {"write and close", [&] { std::ofstream(file, std::ios::app) << " and second"; }, "first and second"},
        {"temporary file renamed onto the name", [&] {
             std::ofstream(temporary) << "third";
             fs::rename(temporary, file);
         }, "third"},
        {"truncate, two writes, close", [&] {
             std::ofstream out(file, std::ios::trunc);
             out << "four" << std::flush;
             PumpUntil([] { return false; }, 20ms);  // half written, still open: nothing yet
             EXPECT_EQ(m_seenContents, "third");
             out << "th";
         }, "fourth"},
    };
    for (const auto& s : saves) {
        SCOPED_TRACE(s.how);
        const int before = m_recorder.calls;
        s.save();
        ASSERT_TRUE(PumpUntil([&] { return m_recorder.calls > before; }));
        EXPECT_EQ(m_seenContents, s.contents);
        m_kernel.RunPassForTesting();  // nothing left for polling to find
        PumpUntil([] { return false; }, std::chrono::milliseconds(FileWatcher::kQuietIntervalMs * 2));
        EXPECT_EQ(m_recorder.calls, before + 1);
    }
    m_kernel.RemoveFileWatch(Key(file));
}

// A directory that appears later is polled, then watched; the watches go
// with the last file.
TEST_F(KernelNotificationTest, DirectoryThatAppearsLaterIsPolledThenWatched) {
    const fs::path later = m_dir / "later";
    const CString a = Key(m_dir / "a"), b = Key(m_dir / "b"), c = Key(later / "c");
    m_kernel.SetPollIntervalForTesting(20);
    for (const CString& path : {a, b, c}) ASSERT_TRUE(m_kernel.AddFileWatch(path));
    EXPECT_EQ(m_kernel.GetKernelWatchCount(), 1U);
    Watch(c);
    fs::create_directory(later);
    Touch(later / "c", 1000s, "c");
    EXPECT_TRUE(PumpUntil([&] { return m_recorder.calls == 1 && m_kernel.GetKernelWatchCount() == 2; }));
    for (const CString& path : {a, b, c}) m_kernel.RemoveFileWatch(path);
    EXPECT_EQ(m_kernel.GetKernelWatchCount(), 0U);
}

// A pass leaves a file the kernel saw being written to its close: it is never
// reported half written.
TEST_F(KernelNotificationTest, APassLeavesAFileBeingWrittenToItsClose) {
    ScriptedSource source;
    const fs::path file = m_dir / "f";
    Touch(file, 1000s, "x"), Watch(Key(file));
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = 3'600'000, .changes = &source});
    ASSERT_TRUE(watcher.AddFileWatch(Key(file)));
    Touch(file, 2000s, "half");
    source.Push({1, "f", Kind::Modified});
    source.Settle();
    watcher.RunPassForTesting();
    PumpPending();
    EXPECT_EQ(m_recorder.calls, 0);
    source.Push({1, "f", Kind::Written});
    EXPECT_TRUE(PumpUntil([&] { return m_recorder.calls == 1; }));
    watcher.RemoveFileWatch(Key(file));
}

// Whatever the kernel fails to say (no source at all, a directory refused, an
// overflow of lost events), polling still reports, and an overflow at once.
TEST_F(KernelNotificationTest, PollingCarriesOnWhereTheKernelFails) {
    ScriptedSource source;
    const fs::path refused = m_dir / "refused", file = refused / "f", other = m_dir / "other", third = m_dir / "third";
    fs::create_directory(refused);
    source.refused.insert(refused.string());
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = 3'600'000, .files = &m_seams, .changes = &source});
    for (const fs::path& path : {file, other, third}) {
        Touch(path, 1000s, "x"), Watch(Key(path));
        ASSERT_TRUE(watcher.AddFileWatch(Key(path)));
    }
    EXPECT_EQ(source.Held(), 1U) << "one watch for the directory of other and third, none for the refused";
    watcher.RemoveFileWatch(Key(third));
    EXPECT_EQ(source.Held(), 1U);
    Touch(file, 2000s), Touch(other, 2000s);
    source.Push({-1, "", Kind::Overflow});
    EXPECT_TRUE(PumpUntil([&] { return m_recorder.calls == 2; }));
    FileWatcher::SetKernelNotification(false);  // off: the next pass releases every watch
    source.Push({-1, "", Kind::Overflow});
    EXPECT_TRUE(PumpUntil([&] { return source.Held() == 0; }));
    FileWatcher::SetKernelNotification(true);
    std::unique_ptr<platform::FileChangeSource> none = platform::MakeSilentFileChangeSource();
    FileWatcher polling(FileWatcher::Options{.pollIntervalMs = 20, .changes = none.get()});
    ASSERT_TRUE(polling.AddFileWatch(Key(file)));
    Touch(file, 3000s);
    EXPECT_TRUE(PumpUntil([&] { return m_recorder.calls == 3; }));
    for (const fs::path& path : {file, other}) watcher.RemoveFileWatch(Key(path));
    polling.RemoveFileWatch(Key(file));
}

}  // namespace
