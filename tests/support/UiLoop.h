#pragma once

// Helpers for tests, whose main() makes the test thread the user-interface thread. A test that waits for work done
// there pumps its loop until the condition holds, and fails loudly after a generous time-out instead of hanging:
//   ASSERT_TRUE(test::PumpUntil([&] { return received == 3; }));
// TempDir is a directory of the test's own, removed with everything in it.

#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/Wnd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>

namespace test {

inline constexpr std::chrono::milliseconds kGenerousTimeout{20000};

inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kGenerousTimeout) {
    return platform::MessageLoop::Current().RunUntil(done, timeout);
}

// Posts until the calling thread's queue is full; the messages go with the returned window.
inline std::unique_ptr<CWnd> FillQueue() {
    auto filler = std::make_unique<CWnd>();
    EXPECT_TRUE(filler->CreateEx("filler"));
    while (filler->PostMessage(WM_APP + 7, 0, 0)) {
    }
    EXPECT_EQ(platform::MessageLoop::Current().PendingCount(), CWnd::kPostedQueueLimit) << "the queue is not full";
    return filler;
}

struct TempDir {
    TempDir() { std::filesystem::create_directories(path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
    std::filesystem::path operator/(const std::string& name) const { return path / name; }
    [[nodiscard]] const std::filesystem::path& Path() const { return path; }
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("brim-test-" + std::to_string(std::random_device()()));
};

}  // namespace test
