#include <BrimSubscriber/filewatch/FileWatcher.h>

#include "FileWatchTesting.h"

#include <thread>

namespace {

using namespace test;

// Watchers with the kernel's own source that poll only once an hour: what arrives sooner came from the kernel.
class KernelNotificationTest : public WatcherTest {
protected:
    FileWatcher m_kernel{FileWatcher::Options{.pollIntervalMs = kHour}};
    // The same with the test's seams, a clock that does not move unless told (PassNow), and passes over every file.
    std::unique_ptr<platform::FileChangeSource> m_source = platform::MakeKernelFileChangeSource();
    FileWatcher m_still{FileWatcher::Options{
        .pollIntervalMs = kHour, .files = &m_seams, .changes = m_source.get(), .clock = &m_clock}};
    KernelNotificationTest() { m_still.SetSlowSweepPassesForTesting(1); }
    void PassNow() { m_clock.now += kHour, m_source->Interrupt(); }
    // And one whose kernel is the test's, passing every 10 s of that clock.
    ScriptedSource m_script;
    FileWatcher m_scripted{
        FileWatcher::Options{.pollIntervalMs = 10'000, .files = &m_seams, .changes = &m_script, .clock = &m_clock}};
};

// Each way of saving gives one report through the kernel, made once the save is complete, and so do the saves after it;
// also when, while a slow writer is half way through, a link on the way is pointed at a file in another directory or a
// directory on the way is swapped for another.
TEST_F(KernelNotificationTest, EachSaveIsReportedOnceWhenComplete) {
    const fs::path file = m_dir / "line.xyz", temporary = m_dir / ".line.xyz.swp", link = m_dir / "link";
    const fs::path a = m_dir / "a", b = m_dir / "b", parent = m_dir / "parent";
    for (const fs::path& dir : {a, b, parent}) fs::create_directory(dir);
    Touch(file, 1000s, "first");
    Touch(a / "f", 1000s, "a");
    Touch(parent / "f", 1000s, "p");
    fs::create_symlink(a / "f", link);
    // Writes in parts, pausing less than the quiet interval, and does `midway` after the first part.
    const auto writeSlowly = [&](const fs::path& target, int round, const std::function<void()>& midway) {
        const std::string complete = "save " + std::to_string(round) + " of 30 characters, complete";
        std::ofstream out(target, std::ios::trunc);
        out << complete.substr(0, 10) << std::flush;
        midway();
        const int before = m_recorder.calls;
        for (std::size_t part = 10; part < complete.size(); part += 10) {
            PumpUntil([] { return false; }, 40ms);
            out << complete.substr(part, 10) << std::flush;
        }
        EXPECT_EQ(m_recorder.calls, before) << "nothing before the save is complete";
    };
    const struct { const char* how; fs::path watched; std::function<void(int)> save; } saves[] = {
        {"write and close", file, [&](int round) { std::ofstream(file, std::ios::app) << " and " << round; }},
        {"temporary file renamed onto the name", file, [&](int round) {
             std::ofstream(temporary) << "renamed " << round;
             fs::rename(temporary, file);
         }},
        {"truncate, writes, close", file, [&](int round) { writeSlowly(file, round, [] {}); }},
        {"link pointed elsewhere", link, [&](int round) {
             writeSlowly((round % 2 ? a : b) / "f", round, [&] {
                 fs::create_symlink((round % 2 ? a : b) / "f", m_dir / "new link");
                 fs::rename(m_dir / "new link", link);
             });
         }},
        {"parent swapped", parent / "f", [&](int round) {
             const fs::path spare = m_dir / ("spare" + std::to_string(round));
             fs::create_directory(spare);
             writeSlowly(spare / "f", round, [&] {
                 fs::rename(parent, m_dir / ("old" + std::to_string(round)));
                 fs::rename(spare, parent);
             });
         }},
    };
    for (const auto& s : saves) {
        SCOPED_TRACE(s.how);
        Read(s.watched);
        ASSERT_TRUE(m_kernel.AddFileWatch(Key(s.watched)));
        const int first = m_recorder.calls;
        for (int round = 0; round < 3; ++round) {
            s.save(round);
            ASSERT_TRUE(PumpUntil([&] { return m_recorder.calls > first + round; })) << "round " << round;
            EXPECT_EQ(m_seen, Contents(s.watched));
            EXPECT_TRUE(m_kernel.HasKernelHelp(Key(s.watched)));
        }
        m_kernel.RunPassForTesting();  // nothing left for polling to find
        PumpUntil([] { return false; }, std::chrono::milliseconds(FileWatcher::kQuietIntervalMs * 2));
        EXPECT_EQ(m_recorder.calls, first + 3) << "one report per save";
        m_kernel.RemoveFileWatch(Key(s.watched));
    }
}

// Two spellings of one directory share its watch, and a directory that appears later is followed: each file's saves
// arrive through the kernel whichever spelling comes and goes; the watches go with the last file.
TEST_F(KernelNotificationTest, EachDirectoryIsWatchedOnceAndFollowedOnceItAppears) {
    const fs::path real = m_dir / "real", link = m_dir / "link", later = m_dir / "later";
    fs::create_directory(real);
    fs::create_directory_symlink(real, link);
    Touch(real / "a.txt", 1000s, "a"), Touch(real / "b.txt", 1000s, "b");
    const CString a = Key(real / "a.txt"), c = Key(later / "c");
    const CString others[] = {Key(link / "b.txt"), CString(real.string() + "/./b.txt")};
    Read(real / "a.txt");
    Listen(c);
    ASSERT_TRUE(m_kernel.AddFileWatch(a) && m_kernel.AddFileWatch(c));
    const std::size_t watches = m_kernel.GetKernelWatchCount();  // the files' directories and those on their way
    for (int round = 0; round < 3; ++round) {
        for (const CString& other : others) {
            if (round == 1) {
                EXPECT_TRUE(m_kernel.AddFileWatch(other));
            }
            if (round == 2) m_kernel.RemoveFileWatch(other);
        }
        EXPECT_EQ(m_kernel.GetKernelWatchCount(), watches);
        std::ofstream(real / "a.txt") << "save " << round;
        ASSERT_TRUE(PumpUntil([&] { return m_recorder.calls == round + 1; })) << "round " << round;
    }
    fs::create_directory(later);
    Touch(later / "c", 1000s, "c");
    EXPECT_TRUE(PumpUntil([&] { return m_recorder.calls == 4; }));
    EXPECT_EQ(m_kernel.GetKernelWatchCount(), watches + 1);
    for (const CString& path : {a, c}) m_kernel.RemoveFileWatch(path);
    EXPECT_EQ(m_kernel.GetKernelWatchCount(), 0U);
}

// A pass that waits for one file's disk holds up no call about another path, withdrawing the file it waits for posts
// nothing for it afterwards, and the pass decides about the files it saw only after reading what the kernel reported
// meanwhile.
TEST_F(KernelNotificationTest, APassWaitingForOneDiskDelaysNoOtherPath) {
    const fs::path slow = m_dir / "slow", written = m_dir / "written", other = m_dir / "other", unseen = m_dir / "unseen";
    Touch(slow, 1000s, "s"), Touch(written, 1000s, "complete");
    Listen(Key(slow));
    Read(written);
    ASSERT_TRUE(m_still.AddFileWatch(Key(slow)) && m_still.AddFileWatch(Key(written)));
    fs::create_directory(unseen);
    fs::create_hard_link(slow, unseen / "slow");
    std::ofstream(unseen / "slow") << "changed where the kernel does not look";
    m_seams.Hold(slow);
    PassNow();  // the polling thread's pass, which reads nothing from the kernel while it waits
    ASSERT_TRUE(m_seams.held.Wait(kGenerousTimeout.count()));
    std::ofstream out(written, std::ios::trunc);  // a save begins while the pass waits
    out << "comp" << std::flush;
    platform::Event returned;
    std::thread caller([&] {
        const bool added = m_still.AddFileWatch(Key(other));
        m_still.RemoveFileWatch(Key(other));
        m_still.RemoveFileWatch(Key(slow));
        if (added) returned.Set();
    });
    EXPECT_TRUE(returned.Wait(kGenerousTimeout.count())) << "the calls waited for the slow disk";
    m_seams.Release();
    caller.join();
    ASSERT_TRUE(PumpUntil([&] { return m_still.GetPassCountForTesting() == 1; }));
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(m_recorder.calls, 0) << "nothing for the path withdrawn, nor for the file half written";
    out << "lete";
    out.close();
    ASSERT_TRUE(PumpUntil([&] { return m_recorder.calls == 1; }));
    EXPECT_EQ(m_seen, "complete");
}

// With the kernel's reports scripted and the clock moving only when told: a file written and left open is examined once
// quiet for the interval (a write restarts it), or at once when closed, and a pass leaves it alone meanwhile unless
// written without pause for over a period. Where the kernel refuses a directory, the user is told (a query, a
// diagnostic), its files are polled, and each pass asks again. Files on a file system changed unseen are polled by
// every pass, those the kernel vouches for by one pass in kSlowSweepPasses, every file after an overflow; switched
// off, every watch goes.
TEST_F(KernelNotificationTest, WrittenFilesWaitForQuietAndRefusedOnesArePolled) {
    Diagnostics lost(brim::DiagnosticKind::KernelHelpLost);
    const fs::path file = m_dir / "f", refused = m_dir / "refused" / "f", remote = m_dir / "remote" / "f";
    for (const fs::path& dir : {refused.parent_path(), remote.parent_path()}) fs::create_directory(dir);
    m_script.refused.insert(refused.parent_path().string());
    m_script.remote.insert(remote.parent_path().string());
    for (const fs::path& path : {file, refused, remote}) {
        Touch(path, 1000s, "x"), Listen(Key(path));
        ASSERT_TRUE(m_scripted.AddFileWatch(Key(path)));
    }
    EXPECT_FALSE(m_scripted.HasKernelHelp(Key(refused)));
    EXPECT_TRUE(m_scripted.HasKernelHelp(Key(file)));
    ASSERT_EQ(lost.Messages().size(), 1U);
    EXPECT_NE(lost.Messages()[0].find(refused.string()), std::string::npos) << lost.Messages()[0];
    const int dir = m_script.WatchOf(m_dir.Path());
    const auto write = [&](int second, bool close) {
        Touch(file, std::chrono::seconds(second), "changed");
        m_script.Push({dir, "f", platform::FileChange::Kind::Modified});
        if (close) m_script.Push({dir, "f", platform::FileChange::Kind::Written});
    };
    const std::uint32_t quiet = FileWatcher::kQuietIntervalMs, period = 10'000;
    const struct { const char* what; std::function<void()> step; int reports; } steps[] = {
        {"written to, left open", [&] { write(2000, false); }, 0},
        {"a pass meanwhile", [&] { m_scripted.RunPassForTesting(); }, 0},
        {"quiet for less than the interval", [&] { m_clock.now += quiet - 1; }, 0},
        {"written again: the interval restarts", [&] { write(2001, false), m_script.Settle(), m_clock.now += 2; }, 0},
        {"quiet for the interval", [&] { m_clock.now += quiet - 2; }, 1},
        {"written and closed", [&] { write(2002, true); }, 2},
        {"written without pause for longer than a period: each pass of the polling thread looks", [&] {
             for (int i = 0; i < 45; ++i) write(3000 + i, false), m_script.Settle(), m_clock.now += quiet - 10;
             const std::uint64_t passes = m_scripted.GetPassCountForTesting(), looks = m_seams.Looks(file);
             for (int i = 45; i < 135 && m_scripted.GetPassCountForTesting() < passes + 2; ++i) {
                 write(3000 + i, false), m_script.Settle(), m_clock.now += quiet - 10;
             }
             EXPECT_EQ(m_seams.Looks(file) - looks, 2U);
         }, 3},
        {"the refused file changed: a pass reports it", [&] { Touch(refused, 2000s), m_clock.now += period; }, 4},
        {"refused no more: a pass asks the kernel again", [&] {
             m_script.refused.clear(), m_clock.now += period, m_script.Settle();
             EXPECT_TRUE(m_scripted.HasKernelHelp(Key(refused)));
         }, 4},
        {"changed unseen by the kernel (a mapped write): the remote file looked at by every pass, the local one by its "
         "sweep", [&] {
             const int looks[] = {m_seams.Looks(file), m_seams.Looks(remote)};
             Touch(file, 4000s), Touch(remote, 4000s);
             for (std::uint32_t i = 0; i < FileWatcher::kSlowSweepPasses; ++i) m_clock.now += period, m_script.Settle();
             EXPECT_EQ(m_seams.Looks(file) - looks[0], 1);
             EXPECT_EQ(m_seams.Looks(remote) - looks[1], int{FileWatcher::kSlowSweepPasses});
         }, 6},
        {"reports lost to an overflow: every file looked at at once", [&] {
             Touch(file, 4001s), Touch(refused, 4001s);
             m_script.Push({-1, "", platform::FileChange::Kind::Overflow});
         }, 8},
        {"switched off: every watch goes, and that is no loss to report", [&] {
             FileWatcher::SetKernelNotification(false);
             m_clock.now += period;
             m_script.Settle();
             FileWatcher::SetKernelNotification(true);
             EXPECT_EQ(m_script.Held() + m_scripted.GetKernelWatchCount(), 0U);
             EXPECT_FALSE(m_scripted.HasKernelHelp(Key(file)));
             EXPECT_EQ(lost.Messages().size(), 1U);
         }, 8},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.step();
        m_script.Settle();
        EXPECT_TRUE(brim::testing::RunUntilIdle());
        EXPECT_EQ(m_recorder.calls, s.reports);
    }
}

// Reports the kernel drops when its queue overflows are made up for by a full look at once.
TEST_F(KernelNotificationTest, AnOverflowOfTheKernelQueueIsMadeUpForAtOnce) {
    int limit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    if (limit <= 0 || limit > 1'000'000) GTEST_SKIP() << "the kernel's queue holds " << limit << " reports";
    const fs::path busy = m_dir / "busy", changed = m_dir / "changed", noise[] = {m_dir / "n1", m_dir / "n2"};
    for (const fs::path& path : {busy, changed, noise[0], noise[1]}) Touch(path, 1000s, "x");
    Listen(Key(changed));
    ASSERT_TRUE(m_still.AddFileWatch(Key(busy)) && m_still.AddFileWatch(Key(changed)));
    m_seams.Hold(busy);
    std::ofstream(busy) << "saved";  // the watcher looks at it, and waits
    ASSERT_TRUE(m_seams.held.Wait(kGenerousTimeout.count()));
    for (int i = 0; i <= limit; ++i) Touch(noise[i % 2], std::chrono::seconds(2000 + i));  // no two alike in a row
    Touch(changed, 2000s, "changed");  // its reports are lost
    m_seams.Release();
    EXPECT_TRUE(PumpUntil([&] { return m_recorder.calls == 1; }));
}

}  // namespace
