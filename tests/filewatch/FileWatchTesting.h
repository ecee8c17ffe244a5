#pragma once

// File-watch test helpers: exact file times, scripted seams, a clock and a change source the test drives, a watcher
// that polls on request.

#include <BrimSubscriber/filewatch/FileSubscription.h>
#include <BrimSubscriber/filewatch/FileWatcher.h>
#include <BrimSubscriber/platform/Diagnostics.h>
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>
#include "support/UiLoop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Watched = std::vector<std::pair<CString, int>>;
inline constexpr std::uint32_t kHour = 3'600'000;

inline CString Key(const fs::path& path) { return CString(path.string()); }

// Writes `contents` unless null, then sets the last-write time exactly.
inline void Touch(const fs::path& path, std::chrono::nanoseconds time, const char* contents = nullptr) {
    if (contents != nullptr) std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    fs::last_write_time(path, std::chrono::file_clock::from_sys(std::chrono::sys_time<std::chrono::nanoseconds>(time)));
}

inline std::string Contents(const fs::path& path) { return (std::ostringstream() << std::ifstream(path).rdbuf()).str(); }

struct Recorder : Subscriber {
    void Update(const NotificationInfo* /*info*/) override { ++calls; }
    std::atomic<int> calls{0};
};

// Keeps the messages of one kind of diagnostic while it lives, every kind reported afresh.
struct Diagnostics {
    explicit Diagnostics(brim::DiagnosticKind kind) : kind(kind) { brim::ForgetReportedDiagnostics(); }
    ~Diagnostics() { brim::SetDiagnosticHandler(previous); }
    std::vector<std::string> Messages() { const platform::LockGuard lock(mutex); return messages; }
    const brim::DiagnosticKind kind;
    platform::CriticalSection mutex;  // reports may come from the watcher's thread
    std::vector<std::string> messages;
    brim::DiagnosticHandler previous = brim::SetDiagnosticHandler([this](const brim::Diagnostic& d) {
        const platform::LockGuard lock(mutex);
        if (d.kind == kind) messages.emplace_back(d.message);
    });
};

// The system's seams, but `unreadable` paths do not open (tests run as root), look-ups of `held` wait for `release`,
// `afterFind` runs after each look-up, no thread starts while `refuse` is set, and Looks counts the look-ups of a path.
struct Seams : platform::FileAccess, platform::ThreadStarter {
    std::optional<platform::FileInfo> Find(const std::string& path) override {
        unnameable += path.empty() || path.find('\0') != path.npos || path.find("\xEF\xBF\xBD") != path.npos;
        { const platform::LockGuard lock(mutex); ++looks[path]; }
        if (path == Held()) { held.Set(); release.Wait(static_cast<std::uint32_t>(kGenerousTimeout.count())); }
        auto found = platform::SystemFileAccess().Find(path);
        if (afterFind) afterFind(path);
        return found;
    }
    bool CanOpenForReading(const std::string& path) override {
        ++opens;
        return unreadable.count(path) == 0 && platform::SystemFileAccess().CanOpenForReading(path);
    }
    bool Start(platform::Thread& thread, std::function<void()> body, platform::ThreadPriority priority,
               const char* name) override {
        return !refuse && platform::SystemThreadStarter().Start(thread, std::move(body), priority, name);
    }
    void Hold(const fs::path& path) { const platform::LockGuard lock(mutex); heldPath = path.string(); }
    void Release() { Hold({}), release.Set(); }
    std::string Held() { const platform::LockGuard lock(mutex); return heldPath; }
    int Looks(const fs::path& path) { const platform::LockGuard lock(mutex); return looks[path.string()]; }

    std::set<std::string> unreadable;  // changed only while no look runs
    std::function<void(const std::string&)> afterFind;
    std::atomic<int> opens{0}, unnameable{0};
    platform::Event held, release;
    bool refuse = false;
    platform::CriticalSection mutex;
    std::string heldPath;
    std::map<std::string, int> looks;
};

// Time that moves only when the test says.
struct ManualClock : platform::TickClock {
    std::uint32_t Now() const override { return now; }
    std::atomic<std::uint32_t> now{0xFFFF'F000};  // wraps during the test
};

// A change source the test scripts: it pushes reports, AddDirectory refuses what it is told to and calls `remote` ones
// changed unseen (directories are known by device and inode, as the kernel knows them), and Settle returns once the
// watcher is idle with nothing read or due.
struct ScriptedSource : platform::FileChangeSource {
    platform::DirectoryWatch AddDirectory(const std::string& path, platform::WatchedEvents) override {
        struct stat st {};
        const platform::LockGuard lock(mutex);
        if (refused.count(path) != 0 || ::stat(path.c_str(), &st) != 0) return {-1, {}, refused.count(path) ? ENOSPC : ENOENT};
        const platform::FileIdentity identity{st.st_dev, st.st_ino};
        const auto [it, added] = watches.emplace(identity, next);
        next += added;
        return {it->second, identity, 0, remote.count(path) == 0};
    }
    void RemoveDirectory(int watch) override {
        const platform::LockGuard lock(mutex);
        std::erase_if(watches, [watch](const auto& w) { return w.second == watch; });
    }
    void Wait(int timeoutMs, std::uint64_t since) override {
        platform::UniqueLock lock(mutex);
        if (since == InterruptCount() && timeoutMs > 0 && pending.empty()) idleSince = since, idle = true, cv.notify_all();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pending.empty() && InterruptCount() == since && cv.wait_until(lock.ForWait(), until) == std::cv_status::no_timeout) {}
        idle = false;
    }
    void ReadPending(std::vector<platform::FileChange>& out) override {
        const platform::LockGuard lock(mutex);
        out.insert(out.end(), pending.begin(), pending.end()), pending.clear();
    }
    void Wake() override { const platform::LockGuard lock(mutex); cv.notify_all(); }
    void Push(platform::FileChange change) { const platform::LockGuard lock(mutex); pending.push_back(std::move(change)); cv.notify_all(); }
    void Settle() {
        Interrupt();
        const std::uint64_t target = InterruptCount();
        platform::UniqueLock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock.ForWait(), kGenerousTimeout, [&] { return idle && idleSince >= target; })) << "never settled";
    }
    int WatchOf(const fs::path& directory) {  // throws when the directory is not watched
        struct stat st {};
        ::stat(directory.c_str(), &st);
        const platform::LockGuard lock(mutex);
        return watches.at({st.st_dev, st.st_ino});
    }
    std::size_t Held() { const platform::LockGuard lock(mutex); return watches.size(); }
    platform::CriticalSection mutex;
    std::condition_variable cv;
    std::set<std::string> refused, remote;
    std::map<platform::FileIdentity, int> watches;
    std::deque<platform::FileChange> pending;
    int next = 1;
    bool idle = false;             // the watcher waits with nothing to do
    std::uint64_t idleSince = 0;   // since when, in interrupts
};

// Built on the test thread, the watcher reaches SubscriptionManager first, so reports arrive here.
class WatcherTest : public testing::Test {
protected:
    WatcherTest() {
        m_listening.SetSubscriber(&m_recorder, false);
        m_reading.SetSubscriber([this](const NotificationInfo*) { m_seen = Contents(m_read), ++m_recorder.calls; });
    }
    // Subscribes m_recorder to `path`; Watch also watches it with m_watcher.
    void Listen(const CString& path) { m_paths.push_back(path), m_listening.Subscribe(m_paths); }
    bool Watch(const CString& path) { return Listen(path), m_watcher->AddFileWatch(path); }
    void Pass() { m_watcher->RunPassForTesting(); EXPECT_TRUE(brim::testing::RunUntilIdle()); }
    // Subscribes a receiver that reads `file` into m_seen.
    void Read(const fs::path& file) { m_reading.Subscribe(Key(m_read = file)); }
    TempDir m_dir;
    Seams m_seams;
    Recorder m_recorder;
    ManualClock m_clock;
    // Polling alone, one pass at a time: the kernel's part has tests of its own.
    std::unique_ptr<platform::FileChangeSource> m_silent = platform::MakeSilentFileChangeSource();
    std::unique_ptr<FileWatcher> m_watcher = std::make_unique<FileWatcher>(FileWatcher::Options{
        .pollIntervalMs = kHour, .files = &m_seams, .threads = &m_seams, .changes = m_silent.get(), .clock = &m_clock});
    std::vector<CString> m_paths;
    Subscription m_listening{FILE_SUBSCRIPTION_TYPE}, m_reading{FILE_SUBSCRIPTION_TYPE};
    fs::path m_read;
    std::string m_seen;  // the file as the reading receiver found it
};

}  // namespace test
