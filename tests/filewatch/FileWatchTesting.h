#pragma once

// File-watch test helpers: exact file times, scripted seams, a watcher that polls on request.

#include <BrimSubscriber/filewatch/FileSubscription.h>
#include <BrimSubscriber/filewatch/FileWatcher.h>
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Watched = std::vector<std::pair<CString, int>>;

inline CString Key(const fs::path& path) { return CString(path.string()); }

// Writes `contents` unless null, then sets the last-write time exactly.
inline void Touch(const fs::path& path, std::chrono::nanoseconds time, const char* contents = nullptr) {
    if (contents != nullptr) std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    fs::last_write_time(path, std::chrono::file_clock::from_sys(std::chrono::sys_time<std::chrono::nanoseconds>(time)));
}

struct Recorder : Subscriber {
    void Update(const NotificationInfo* /*info*/) override { ++calls; }
    std::atomic<int> calls{0};
};

// The system's seams, but `unreadable` paths do not open (tests run as root), look-ups wait
// while `hold` is set, and no thread starts while `refuse` is.
struct Seams : platform::FileAccess, platform::ThreadStarter {
    std::optional<platform::FileInfo> Find(const std::string& path) override {
        unnameable += path.empty() || path.find('\0') != path.npos || path.find("\xEF\xBF\xBD") != path.npos;
        if (hold) { held.Set(); release.Wait(static_cast<std::uint32_t>(kGenerousTimeout.count())); }
        return platform::SystemFileAccess().Find(path);
    }
    bool CanOpenForReading(const std::string& path) override {
        ++opens;
        return unreadable.count(path) == 0 && platform::SystemFileAccess().CanOpenForReading(path);
    }
    bool Start(platform::Thread& thread, std::function<void()> body, platform::ThreadPriority priority,
               const char* name) override {
        return !refuse && platform::SystemThreadStarter().Start(thread, std::move(body), priority, name);
    }
    std::set<std::string> unreadable;  // changed only while no pass runs
    std::atomic<int> opens{0}, unnameable{0};
    std::atomic<bool> hold{false};
    platform::Event held, release;
    bool refuse = false;
};

// Built on the test thread, the watcher reaches SubscriptionManager first, so reports arrive here.
class WatcherTest : public testing::Test {
protected:
    WatcherTest() { m_listening.SetSubscriber(&m_recorder, false); }
    bool Watch(const CString& path) {
        m_paths.push_back(path);
        m_listening.Subscribe(m_paths);
        return m_watcher->AddFileWatch(path);
    }
    void Pass() { m_watcher->RunPassForTesting(); PumpPending(); }
    TempDir m_dir;
    Seams m_seams;
    Recorder m_recorder;
    // Polling alone, one pass at a time: the kernel's part has tests of its own.
    std::unique_ptr<platform::FileChangeSource> m_silent = platform::MakeSilentFileChangeSource();
    std::unique_ptr<FileWatcher> m_watcher = std::make_unique<FileWatcher>(FileWatcher::Options{
        .pollIntervalMs = 3'600'000, .files = &m_seams, .threads = &m_seams, .changes = m_silent.get()});
    std::vector<CString> m_paths;
    Subscription m_listening{FILE_SUBSCRIPTION_TYPE};
};

}  // namespace test
