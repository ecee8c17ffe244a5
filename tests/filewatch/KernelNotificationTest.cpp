#include <BrimSubscriber/filewatch/FileWatcher.h>

#include "FileWatchTesting.h"
#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Diagnostics.h>

#include <thread>

namespace {

using namespace test;

// Watchers with the kernel's own source that poll only once an hour: what arrives sooner
// came from the kernel.
class KernelNotificationTest : public WatcherTest {
protected:
    FileWatcher m_kernel{FileWatcher::Options{.pollIntervalMs = kHour}};
    // The same with the test's seams and a clock that does not move unless told (PassNow).
    std::unique_ptr<platform::FileChangeSource> m_source = platform::MakeKernelFileChangeSource();
    FileWatcher m_still{FileWatcher::Options{.pollIntervalMs = kHour, .files = &m_seams, .changes = m_source.get(), .clock = &m_clock}};
    void PassNow() { m_clock.now += kHour, m_source->Interrupt(); }
};

// Each way editors save gives one report, made once the save is complete.
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
             EXPECT_EQ(m_seen, "third");
             out << "th";
         }, "fourth"},
    };
    for (const auto& s : saves) {
        SCOPED_TRACE(s.how);
        const int before = m_recorder.calls;
        s.save();
        ASSERT_TRUE(PumpUntil([&] { return m_recorder.calls > before; }));
        EXPECT_EQ(m_seen, s.contents);
        m_kernel.RunPassForTesting();  // nothing left for polling to find
        PumpUntil([] { return false; }, std::chrono::milliseconds(FileWatcher::kQuietIntervalMs * 2));
        EXPECT_EQ(m_recorder.calls, before + 1);
    }
}

// A link pointed at a file in another directory, or a directory on the way swapped for
// another, while a slow writer is half way through the file there: the save is reported by
// the kernel once, complete, and so are the saves after it.
TEST_F(KernelNotificationTest, SavesArriveThroughTheKernelAfterTheWayIsSwapped) {
    const fs::path a = m_dir / "a", b = m_dir / "b", link = m_dir / "link", parent = m_dir / "parent";
    for (const fs::path& dir : {a, b, parent}) fs::create_directory(dir);
    Touch(a / "f", 1000s, "a"), Touch(parent / "f", 1000s, "p");
    fs::create_symlink(a / "f", link);
    const struct { const char* what; fs::path watched; std::function<fs::path(int)> prepare, swap; } ways[] = {
        {"link pointed elsewhere", link, [&](int round) { return (round % 2 ? a : b) / "f"; },
         [&](int round) {
             fs::create_symlink((round % 2 ? a : b) / "f", m_dir / "new link");
             fs::rename(m_dir / "new link", link);
             return link;
         }},
        {"parent swapped", parent / "f", [&](int round) {
             fs::create_directory(m_dir / ("spare" + std::to_string(round)));
             return m_dir / ("spare" + std::to_string(round)) / "f";
         },
         [&](int round) {
             fs::rename(parent, m_dir / ("old" + std::to_string(round)));
             fs::rename(m_dir / ("spare" + std::to_string(round)), parent);
             return parent / "f";
         }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.what);
        Read(way.watched);
        ASSERT_TRUE(m_kernel.AddFileWatch(Key(way.watched)));
        for (int round = 0; round < 3; ++round) {
            const std::string complete = "save " + std::to_string(round) + " of 30 chunks, complete";
            std::ofstream out(way.prepare(round), std::ios::trunc);
            out << complete.substr(0, 10) << std::flush;
            way.swap(round);
            const int before = m_recorder.calls;
            for (std::size_t chunk = 10; chunk < complete.size(); chunk += 10) {
                PumpUntil([] { return false; }, 40ms);  // a writer pausing less than the quiet interval
                out << complete.substr(chunk, 10) << std::flush;
            }
            EXPECT_EQ(m_recorder.calls, before) << "nothing before the save is complete";
            out.close();
            ASSERT_TRUE(PumpUntil([&] { return m_recorder.calls > before; }));
            EXPECT_EQ(m_seen, complete);
            EXPECT_TRUE(m_kernel.HasKernelHelp(Key(way.watched)));
        }
        EXPECT_EQ(m_recorder.calls, 3) << "one report per save";
        m_kernel.RemoveFileWatch(Key(way.watched));
        m_recorder.calls = 0;
    }
}

// Two spellings of one directory share its watch; each file's saves arrive through the
// kernel whichever spelling comes and goes.
TEST_F(KernelNotificationTest, SpellingsOfOneDirectoryShareItsWatch) {
    const fs::path real = m_dir / "real", link = m_dir / "link";
    fs::create_directory(real);
    fs::create_directory_symlink(real, link);
    Touch(real / "a.txt", 1000s, "a"), Touch(real / "b.txt", 1000s, "b");
    const CString a = Key(real / "a.txt"), others[] = {Key(link / "b.txt"), CString(real.string() + "/./b.txt")};
    Read(real / "a.txt");
    ASSERT_TRUE(m_kernel.AddFileWatch(a));
    const std::size_t watches = m_kernel.GetKernelWatchCount();
    EXPECT_GE(watches, 2U) << "the file's directory and the directories on its way";
    for (int round = 0; round < 3; ++round) {
        for (const CString& other : others) {
            if (round == 1) {
                EXPECT_TRUE(m_kernel.AddFileWatch(other));
            } else if (round == 2) {
                m_kernel.RemoveFileWatch(other);
            }
        }
        EXPECT_EQ(m_kernel.GetKernelWatchCount(), watches);
        std::ofstream(real / "a.txt") << "save " << round;
        ASSERT_TRUE(PumpUntil([&] { return m_recorder.calls == round + 1; })) << "round " << round;
    }
    m_kernel.RemoveFileWatch(a);
    EXPECT_EQ(m_kernel.GetKernelWatchCount(), 0U);
}

// A file saved over and over while its report waits for the user-interface thread holds
// one place in the queue; its receiver reads it once, as last written.
TEST_F(KernelNotificationTest, ABusyFileHoldsOnePlaceInTheQueue) {
    const fs::path log = m_dir / "log";
    Touch(log, 1000s, "");
    Read(log);
    ASSERT_TRUE(m_still.AddFileWatch(Key(log)));
    std::size_t queued = 0;
    for (int line = 0; line < 20; ++line) {
        std::ofstream(log, std::ios::app) << "line " << line << "\n";
        ASSERT_TRUE(m_seams.opened.Wait(kGenerousTimeout.count())) << "the watcher looked at it";
        queued = std::max(queued, MainThreadDispatcher::Instance().QueuedCount());
    }
    EXPECT_LE(queued, 1U);
    const std::string last = Contents(log);
    ASSERT_TRUE(PumpUntil([&] { return m_seen == last; }));
    EXPECT_LE(m_recorder.calls, 2) << "one report for the burst, and at most one for a change seen as it ran";
}

// A pass that waits for one file's disk holds up no call about another path, withdrawing
// the file it waits for posts nothing for it afterwards, and the pass decides about the
// files it saw only after reading what the kernel reported meanwhile.
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
    PumpPending();
    EXPECT_EQ(m_recorder.calls, 0) << "nothing for the path withdrawn, nor for the file half written";
    out << "lete";
    out.close();
    ASSERT_TRUE(PumpUntil([&] { return m_recorder.calls == 1; }));
    EXPECT_EQ(m_seen, "complete");
}

// A directory that appears later is followed through the kernel; the watches go with the
// last file.
TEST_F(KernelNotificationTest, ADirectoryThatAppearsLaterIsFollowed) {
    const fs::path later = m_dir / "later";
    Listen(Key(later / "c"));
    ASSERT_TRUE(m_kernel.AddFileWatch(Key(later / "c")));
    const std::size_t before = m_kernel.GetKernelWatchCount();
    fs::create_directory(later);
    Touch(later / "c", 1000s, "c");
    EXPECT_TRUE(PumpUntil([&] { return m_recorder.calls == 1; }));
    EXPECT_EQ(m_kernel.GetKernelWatchCount(), before + 1);
    m_kernel.RemoveFileWatch(Key(later / "c"));
    EXPECT_EQ(m_kernel.GetKernelWatchCount(), 0U);
}

// A file written and left open is examined once quiet for the interval (a write restarts
// it), or at once when closed; a pass leaves it alone meanwhile, unless it has been written
// without pause for longer than a whole period. The clock moves only when told.
TEST_F(KernelNotificationTest, AFileBeingWrittenIsExaminedOnceQuietOrClosed) {
    ScriptedSource source;
    const fs::path file = m_dir / "f";
    Touch(file, 1000s, "x"), Listen(Key(file));
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = 10'000, .changes = &source, .clock = &m_clock});
    ASSERT_TRUE(watcher.AddFileWatch(Key(file)));
    const int dir = source.WatchOf(m_dir.Path());
    ASSERT_GE(dir, 0);
    const auto write = [&](int second, bool close) {
        Touch(file, std::chrono::seconds(second), "changed");
        source.Push({dir, "f", Kind::Modified});
        if (close) source.Push({dir, "f", Kind::Written});
    };
    const std::uint32_t quiet = FileWatcher::kQuietIntervalMs;
    const struct { const char* what; std::function<void()> step; int reports; } steps[] = {
        {"written to, left open", [&] { write(2000, false); }, 0},
        {"a pass meanwhile", [&] { watcher.RunPassForTesting(); }, 0},
        {"quiet for less than the interval", [&] { m_clock.now += quiet - 1; }, 0},
        {"written again: the interval starts again", [&] { write(2001, false), source.Settle(), m_clock.now += 2; }, 0},
        {"quiet for the interval", [&] { m_clock.now += quiet - 2; }, 1},
        {"written and closed", [&] { write(2002, true); }, 2},
        {"written without pause for longer than a period", [&] {
             for (int i = 0; i < 45; ++i) write(3000 + i, false), source.Settle(), m_clock.now += quiet - 10;
             watcher.RunPassForTesting();
         }, 3},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.step();
        source.Settle();
        PumpPending();
        EXPECT_EQ(m_recorder.calls, s.reports);
    }
}

// Where the kernel will not watch a directory, the user is told (a query, a diagnostic),
// polling reports the file's changes, and each pass asks the kernel again; switched off,
// every watch goes.
TEST_F(KernelNotificationTest, AFileTheKernelRefusesIsPolledAndSaidToBe) {
    ScriptedSource source;
    std::vector<std::string> diagnostics;
    const brim::DiagnosticHandler previous = brim::SetDiagnosticHandler([&](const brim::Diagnostic& d) {
        if (d.kind == brim::DiagnosticKind::KernelHelpLost) diagnostics.emplace_back(d.message);
    });
    brim::ForgetReportedDiagnostics();
    const fs::path refused = m_dir / "refused", file = refused / "f", other = m_dir / "other";
    fs::create_directory(refused);
    source.refused.insert(refused.string());
    FileWatcher watcher(FileWatcher::Options{.pollIntervalMs = 1000, .files = &m_seams, .changes = &source, .clock = &m_clock});
    for (const fs::path& path : {file, other}) {
        Touch(path, 1000s, "x"), Listen(Key(path));
        ASSERT_TRUE(watcher.AddFileWatch(Key(path)));
    }
    EXPECT_FALSE(watcher.HasKernelHelp(Key(file)));
    EXPECT_TRUE(watcher.HasKernelHelp(Key(other)));
    ASSERT_EQ(diagnostics.size(), 1U);
    EXPECT_NE(diagnostics[0].find(file.string()), std::string::npos) << diagnostics[0];
    Touch(file, 2000s);
    m_clock.now += 1000;
    source.Settle();
    PumpPending();
    EXPECT_EQ(m_recorder.calls, 1) << "polling reported it";
    source.refused.clear();
    m_clock.now += 1000;
    source.Settle();
    EXPECT_TRUE(watcher.HasKernelHelp(Key(file))) << "asked again at the pass";
    FileWatcher::SetKernelNotification(false);
    m_clock.now += 1000;
    source.Settle();
    FileWatcher::SetKernelNotification(true);
    EXPECT_EQ(source.Held() + watcher.GetKernelWatchCount(), 0U);
    EXPECT_FALSE(watcher.HasKernelHelp(Key(other)));
    EXPECT_EQ(diagnostics.size(), 1U) << "switched off is no loss to report";
    brim::SetDiagnosticHandler(previous);
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
