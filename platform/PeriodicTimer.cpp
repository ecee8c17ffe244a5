#include <BrimSubscriber/platform/PeriodicTimer.h>

#include <BrimSubscriber/platform/Lock.h>

#include "platform/internal/ThreadName.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

namespace brim {

namespace platform {
namespace {

// One thread per timer: a periodic callback must never be held up by another
// timer's slow callback, and the process has very few such timers.
struct TimerState {
    CriticalSection mutex;
    std::condition_variable cv;
    bool stopped BRIM_GUARDED_BY(mutex) = false;
    std::thread::id threadId BRIM_GUARDED_BY(mutex);  // written before the thread runs a callback
};

// The timer's thread: the callback every period until the state is stopped.
void RunTimer(TimerState& state, std::chrono::milliseconds period, const std::function<void()>& callback) {
    detail::NameCurrentThread("brim-timer");
    auto next = std::chrono::steady_clock::now() + period;
    UniqueLock lock(state.mutex);
    for (;;) {
        while (!state.stopped && state.cv.wait_until(lock.ForWait(), next) != std::cv_status::timeout) {
        }
        if (state.stopped) return;
        lock.Unlock();
        callback();
        lock.Lock();
        // Keep the cadence; after a long stall start afresh instead of firing
        // a burst of late callbacks.
        next += period;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now + period;
    }
}

struct TimerRecord {
    std::shared_ptr<TimerState> state;
    std::thread thread;
};

class TimerRegistry {
public:
    std::uint32_t Start(std::uint32_t periodMs, std::function<void()> callback) {
        auto state = std::make_shared<TimerState>();
        const auto period = std::chrono::milliseconds(periodMs == 0 ? 1 : periodMs);
        const LockGuard lock(m_mutex);
        std::uint32_t id = 0;
        do {
            id = m_nextId++;
        } while (id == 0 || m_timers.contains(id));
        TimerRecord record{state, {}};
        try {
            record.thread = std::thread([state, period, callback = std::move(callback)] {
                RunTimer(*state, period, callback);
            });
        } catch (const std::system_error&) {
            return 0;
        }
        {
            const LockGuard stateLock(state->mutex);
            state->threadId = record.thread.get_id();
        }
        m_timers.emplace(id, std::move(record));
        return id;
    }

    void Kill(std::uint32_t id) {
        TimerRecord record;
        {
            const LockGuard lock(m_mutex);
            const auto it = m_timers.find(id);
            if (it == m_timers.end()) return;
            record = std::move(it->second);
            m_timers.erase(it);
        }
        bool fromOwnCallback = false;
        {
            const LockGuard stateLock(record.state->mutex);
            record.state->stopped = true;
            fromOwnCallback = record.state->threadId == std::this_thread::get_id();
        }
        record.state->cv.notify_all();
        if (fromOwnCallback) {
            record.thread.detach();  // it ends as soon as this callback returns
        } else {
            record.thread.join();
        }
    }

private:
    CriticalSection m_mutex;
    std::uint32_t m_nextId BRIM_GUARDED_BY(m_mutex) = 1;
    std::map<std::uint32_t, TimerRecord> m_timers BRIM_GUARDED_BY(m_mutex);
};

TimerRegistry& Registry() {
    // Never destroyed: timers may be killed from other libraries' static
    // destructors, after this library's own statics would be gone. It holds
    // no thread once every timer is killed.
    static auto* registry = new TimerRegistry;
    return *registry;
}

}  // namespace

std::uint32_t StartPeriodicTimer(std::uint32_t periodMs, std::function<void()> callback) {
    return Registry().Start(periodMs, std::move(callback));
}

void KillPeriodicTimer(std::uint32_t id) {
    if (id != 0) Registry().Kill(id);
}

}  // namespace platform

}  // namespace brim
