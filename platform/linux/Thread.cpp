#include <BrimSubscriber/platform/Thread.h>

#include "platform/internal/ThreadName.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <system_error>
#include <utility>

namespace brim {

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

void detail::NameCurrentThread(const char* name) {
    // Linux keeps 15 characters of a thread's name; a longer one is cut there.
    char shortName[16] = {};
    std::strncpy(shortName, name != nullptr ? name : "", sizeof shortName - 1);
    [[maybe_unused]] const int rc = ::pthread_setname_np(::pthread_self(), shortName);
}

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body, ThreadPriority priority, const char* name) {
    if (m_thread.joinable()) return false;
    try {
        m_thread = std::thread([body = std::move(body), priority, threadName = std::string(name != nullptr ? name : "")] {
            detail::NameCurrentThread(threadName.c_str());
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
        bool Start(Thread& thread, std::function<void()> body, ThreadPriority priority, const char* name) override {
            return thread.Start(std::move(body), priority, name);
        }
    };
    static SystemStarter starter;  // no state: safe to use during exit
    return starter;
}

}  // namespace platform

}  // namespace brim
