#pragma once

// Helpers for the file-watch tests: a private temporary directory, files with
// exact contents and last-write times, a receiver that records its calls, and
// a file access that can pretend a file is unreadable (tests run as root,
// where permissions never stop an open).

#include "filewatch/FileWatcher.h"
#include "platform/CString.h"
#include "platform/Event.h"
#include "platform/FileAccess.h"
#include "platform/WinThread.h"
#include "subscription/Subscriber.h"
#include "support/TempDir.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace test {

// A polling interval after which no test is still running: passes happen only
// when a test runs one.
inline constexpr std::uint32_t kNeverPoll = 3'600'000;

// One pass on the calling (user-interface) thread, then every notification
// it queued is delivered.
inline void PassAndDeliver(FileWatcher& watcher) {
    watcher.RunPassForTesting();
    PumpPending();
}

namespace fs = std::filesystem;


inline CString Key(const fs::path& path) { return CString(path.string()); }

inline void WriteFile(const fs::path& path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    ASSERT_TRUE(out.good()) << path;
}

// Sets the last-write time to an exact instant: `seconds` since the epoch
// plus `nanoseconds`.
inline void SetWriteTime(const fs::path& path, std::int64_t seconds, std::int64_t nanoseconds = 0) {
    const std::chrono::sys_time<std::chrono::nanoseconds> when{std::chrono::seconds(seconds) +
                                                              std::chrono::nanoseconds(nanoseconds)};
    fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
}

// Records every Update: how often, whether each came on the user-interface
// thread with a null payload, and its name into a shared order log.
class Recorder : public Subscriber {
public:
    explicit Recorder(std::string name = {}, std::vector<std::string>* order = nullptr)
        : m_name(std::move(name)), m_order(order) {}
    void Update(const NotificationInfo* info) override {
        ++calls;
        if (info != nullptr || !platform::IsUserInterfaceThread()) ++misplacedCalls;
        if (m_order != nullptr) m_order->push_back(m_name);
    }
    std::atomic<int> calls{0};
    std::atomic<int> misplacedCalls{0};  // with a payload, or off the user-interface thread

private:
    std::string m_name;
    std::vector<std::string>* m_order;
};

// The system's file access, except that paths made unreadable are found but
// cannot be opened, and that a closed gate holds look-ups made off the test
// thread (a pass in progress). It remembers every path it was asked about.
class ScriptedFileAccess : public platform::FileAccess {
public:
    ScriptedFileAccess() : m_system(&platform::GetFileAccess()) { platform::SetFileAccess(this); }
    ScriptedFileAccess(const ScriptedFileAccess&) = delete;
    ScriptedFileAccess& operator=(const ScriptedFileAccess&) = delete;
    ~ScriptedFileAccess() override { platform::SetFileAccess(nullptr); }

    std::optional<platform::FileInfo> Find(const std::string& path) override {
        std::unique_lock lock(m_mutex);
        m_seen.insert(path);
        if (std::this_thread::get_id() != m_owner && !m_gateOpen) {
            passHeld.Set();
            m_gate.wait_for(lock, kGenerousTimeout, [this] { return m_gateOpen; });
        }
        lock.unlock();
        return m_system->Find(path);
    }
    bool CanOpenForReading(const std::string& path) override {
        {
            const std::lock_guard lock(m_mutex);
            m_seen.insert(path);
            ++openAttempts;
            if (m_unreadable.count(path) != 0) return false;
        }
        return m_system->CanOpenForReading(path);
    }
    void SetReadable(const fs::path& path, bool readable) {
        const std::lock_guard lock(m_mutex);
        readable ? (void)m_unreadable.erase(path.string()) : (void)m_unreadable.insert(path.string());
    }
    void SetGateOpen(bool open) {
        const std::lock_guard lock(m_mutex);
        m_gateOpen = open;
        m_gate.notify_all();
    }
    std::set<std::string> PathsSeen() {
        const std::lock_guard lock(m_mutex);
        return m_seen;
    }

    std::atomic<int> openAttempts{0};
    platform::Event passHeld;  // set when a look-up waits at the closed gate

private:
    platform::FileAccess* const m_system;  // the access in force before this one
    const std::thread::id m_owner = std::this_thread::get_id();
    std::mutex m_mutex;
    std::condition_variable m_gate;
    bool m_gateOpen = true;              // guarded by m_mutex
    std::set<std::string> m_unreadable;  // guarded by m_mutex
    std::set<std::string> m_seen;        // guarded by m_mutex
};

}  // namespace test
