#include "platform/Event.h"
#include "platform/FileAccess.h"
#include "platform/PeriodicTimer.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"
#include "platform/WinThread.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(EventTest, AutoResetsAndTellsSignalFromTimeout) {
    platform::Event event;
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Set();  // two Sets before a Wait count as one
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(10));
    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.Wait(20000));
    setter.join();
}

TEST(TickCountTest, ReplacementSourceIsUsedUntilRestored) {
    static std::atomic<std::uint32_t> fake{0xFFFFFFF0U};
    const auto previous = platform::SetTickCountSource([] { return fake.load(); });
    EXPECT_EQ(previous, nullptr);
    EXPECT_EQ(platform::GetTickCount(), 0xFFFFFFF0U);
    fake = 5;  // wrapped
    EXPECT_EQ(platform::GetTickCount(), 5U);
    platform::SetTickCountSource(nullptr);
    const std::uint32_t a = platform::GetTickCount();
    const std::uint32_t b = platform::GetTickCount();
    EXPECT_LE(static_cast<std::uint32_t>(b - a), 1000U);
}

TEST(UserInterfaceThreadTest, OnlyTheDesignatedThreadIsTheUserInterfaceThread) {
    EXPECT_TRUE(platform::IsUserInterfaceThread());  // the test thread
    bool onWorker = true;
    std::thread([&] { onWorker = platform::IsUserInterfaceThread(); }).join();
    EXPECT_FALSE(onWorker);
}

TEST(UserInterfaceThreadTest, ThreadObjectIsPerThreadAndRestoredWhenDestroyed) {
    EXPECT_EQ(AfxGetThread(), nullptr);
    {
        CWinThread outer;
        EXPECT_EQ(AfxGetThread(), &outer);
        CWinThread* seenOnWorker = &outer;
        std::thread([&] { seenOnWorker = AfxGetThread(); }).join();
        EXPECT_EQ(seenOnWorker, nullptr);
        {
            CWinThread inner;
            EXPECT_EQ(AfxGetThread(), &inner);
        }
        EXPECT_EQ(AfxGetThread(), &outer);
    }
    EXPECT_EQ(AfxGetThread(), nullptr);
}

TEST(PeriodicTimerTest, RunsRepeatedlyAndNoCallbackAfterKillReturns) {
    std::atomic<int> calls{0};
    std::atomic<bool> killed{false};
    std::atomic<bool> lateCall{false};
    platform::Event thirdCall;
    const std::uint32_t id = platform::StartPeriodicTimer(5, [&] {
        if (killed) lateCall = true;
        if (++calls == 3) thirdCall.Set();
    });
    ASSERT_NE(id, 0U);
    ASSERT_TRUE(thirdCall.Wait(20000));
    platform::KillPeriodicTimer(id);
    killed = true;
    platform::KillPeriodicTimer(id);  // unknown by now: ignored
    platform::KillPeriodicTimer(0);
    EXPECT_FALSE(lateCall.load());
}

TEST(PeriodicTimerTest, KillFromInsideOwnCallbackDoesNotDeadlock) {
    std::atomic<std::uint32_t> id{0};
    std::atomic<int> calls{0};
    platform::Event killedItself;
    platform::Event started;
    id = platform::StartPeriodicTimer(1, [&] {
        started.Wait();  // id is stored before the first kill
        ++calls;
        platform::KillPeriodicTimer(id);
        killedItself.Set();
    });
    started.Set();
    ASSERT_TRUE(killedItself.Wait(20000));
    EXPECT_EQ(calls.load(), 1);
}

TEST(ThreadTest, LowPriorityRaisesNiceValueAndStartFailureIsReported) {
    platform::Thread thread;
    std::atomic<int> nice{-100};
    ASSERT_TRUE(thread.Start(
        [&] {
            errno = 0;
            nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
        },
        platform::ThreadPriority::Low));
    EXPECT_FALSE(thread.Start([] {}));  // already running one
    thread.Join();
    EXPECT_GT(nice.load(), ::getpriority(PRIO_PROCESS, 0));

    platform::Thread::SetStartFailureHookForTesting([] { return true; });
    platform::Thread refused;
    EXPECT_FALSE(refused.Start([] {}));
    EXPECT_FALSE(refused.IsStarted());
    platform::Thread::SetStartFailureHookForTesting(nullptr);
}

class FileAccessTest : public testing::Test {
protected:
    std::string PathOf(const char* name) const { return (m_dir / name).string(); }
    test::TempDir m_dir;
};

TEST_F(FileAccessTest, RegularFileHasFullResolutionTimeAndSize) {
    const std::string path = PathOf("data.xyz");
    std::ofstream(path) << "12345";
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const auto info = platform::GetFileAccess().Find(path);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->lastWriteNs, 1700000000LL * 1000000000LL + 123456789LL);
    EXPECT_EQ(info->size, 5U);
    EXPECT_TRUE(platform::GetFileAccess().CanOpenForReading(path));
}

TEST_F(FileAccessTest, AnythingButARegularFileIsNotFoundAndNeverBlocks) {
    auto& files = platform::GetFileAccess();
    const std::string fifo = PathOf("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(files.Find(fifo).has_value());
    EXPECT_FALSE(files.CanOpenForReading(fifo));  // would block forever without a writer
    EXPECT_FALSE(files.Find(m_dir.Path().string()).has_value());
    EXPECT_FALSE(files.CanOpenForReading(m_dir.Path().string()));
    EXPECT_FALSE(files.Find(PathOf("missing")).has_value());
    EXPECT_FALSE(files.Find("").has_value());
    const std::string withNul = PathOf("data") + std::string("\0.xyz", 5);
    std::ofstream(PathOf("data")) << "x";
    EXPECT_FALSE(files.Find(withNul).has_value());  // never the file before the NUL
    EXPECT_FALSE(files.CanOpenForReading(withNul));
    EXPECT_FALSE(files.Find("/dev/null").has_value());
}

TEST_F(FileAccessTest, ReplacementIsUsedUntilRestored) {
    struct Fake : platform::FileAccess {
        std::optional<platform::FileInfo> Find(const std::string&) override { return platform::FileInfo{7, 8}; }
        bool CanOpenForReading(const std::string&) override { return false; }
    } fake;
    EXPECT_EQ(platform::SetFileAccess(&fake), nullptr);
    EXPECT_EQ(platform::GetFileAccess().Find("/nowhere"), (platform::FileInfo{7, 8}));
    EXPECT_EQ(platform::SetFileAccess(nullptr), &fake);
    EXPECT_FALSE(platform::GetFileAccess().Find("/nowhere").has_value());
}

}  // namespace
