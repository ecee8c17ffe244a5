#include "platform/Thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace platform {
namespace {

// Nice value of a low-priority thread: well below the application's threads,
// yet still scheduled promptly on a busy machine.
constexpr int kLowPriorityNice = 10;

void LowerCurrentThreadPriority() {
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    // Failure leaves the thread at normal priority, which is harmless.
    [[maybe_unused]] const int rc = ::setpriority(PRIO_PROCESS, tid, kLowPriorityNice);
}

}  // namespace

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body, ThreadPriority priority) {
    if (m_thread.joinable()) return false;
    try {
        m_thread = std::thread([body = std::move(body), priority] {
            if (priority == ThreadPriority::Low) LowerCurrentThreadPriority();
            body();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void Thread::Join() {
    if (m_thread.joinable() && !IsCurrent()) m_thread.join();
}

ThreadStarter::~ThreadStarter() = default;

ThreadStarter& SystemThreadStarter() {
    class SystemStarter final : public ThreadStarter {
    public:
        bool Start(Thread& thread, std::function<void()> body, ThreadPriority priority) override {
            return thread.Start(std::move(body), priority);
        }
    };
    static SystemStarter starter;  // no state: safe to use during exit
    return starter;
}

}  // namespace platform
