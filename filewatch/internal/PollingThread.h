#pragma once

// PollingThread: the thread that waits for a watcher's reports and runs its
// rounds (WatchCore::RunRound) until asked to stop.
//
// A watcher has at most one polling thread that has not been asked to stop:
// it starts one with its first record and asks it to stop with its last.
// Each thread has its own stop request, so that a thread being stopped can
// never take a request meant for its successor, nor its successor one meant
// for it; and a successor waits for its predecessor to end before it waits
// on the change source, so that one thread at a time waits there, as the
// source requires.
//
// Concurrency: the stop request is set under the watcher's lock and read by
// the thread; `ended` is the thread's last act; everything else is written
// before the thread starts. A thread is joined without the watcher's lock,
// which it may be waiting for to begin a round.

#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/platform/Thread.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace brim {

namespace filewatch_detail {

class WatchCore;

class PollingThread {
public:
    // Starts a thread that runs `core`'s rounds once `predecessor` (null for
    // none) has ended, its first pass due at `firstPass`. Null when the
    // system could not start a thread.
    static std::shared_ptr<PollingThread> Start(WatchCore& core, platform::ThreadStarter& starter,
                                                std::shared_ptr<PollingThread> predecessor, std::uint32_t firstPass);

    void RequestStop() noexcept { m_stopRequested = true; }
    [[nodiscard]] const std::atomic<bool>& StopRequest() const noexcept { return m_stopRequested; }
    [[nodiscard]] bool IsCurrent() const noexcept { return m_thread.IsCurrent(); }
    void Join() { m_thread.Join(); }

private:
    void Run(WatchCore& core);

    std::atomic<bool> m_stopRequested{false};
    platform::Event m_ended;                      // set by the thread as its last act
    std::shared_ptr<PollingThread> m_predecessor;  // ending when this one started; null once it has ended
    std::uint32_t m_firstPass = 0;
    platform::Thread m_thread;                     // last, so that it is joined first
};

}  // namespace filewatch_detail

}  // namespace brim
