#include <BrimSubscriber/platform/MessageLoop.h>

#include <BrimSubscriber/platform/Diagnostics.h>

#include "platform/internal/ThreadQueue.h"

#include <exception>
#include <system_error>

namespace brim {

namespace platform {

using detail::ThreadQueue;

MessageLoop::MessageLoop(std::shared_ptr<ThreadQueue> queue) : m_queue(std::move(queue)) {}

MessageLoop& MessageLoop::Current() {
    // The loop object keeps the thread's queue alive for as long as anyone
    // holds a reference; the queue itself is closed when the thread ends.
    thread_local MessageLoop loop([] {
        auto queue = ThreadQueue::ForCurrentThread();  // throws when the system refuses its descriptor
        if (!queue) throw std::system_error(std::make_error_code(std::errc::operation_canceled), "thread is ending");
        return queue;
    }());
    return loop;
}

namespace {

// A loop runs only on its own thread: run anywhere else, its handlers would
// run on the wrong thread. Such a call is refused and reported.
bool CheckOwner(const ThreadQueue& queue, const char* operation) {
    if (queue.IsOwnerThread()) return true;
    brim::ReportDiagnostic(brim::DiagnosticKind::LoopOnWrongThread, -1,
                           "MessageLoop::%s called on a thread that does not own the loop: refused, nothing ran",
                           operation);
    return false;
}

}  // namespace

void MessageLoop::Run() {
    if (!CheckOwner(*m_queue, "Run")) return;
    // The same steps as any loop that drives this one. The wait is the one
    // difference: instead of polling WakeFd() it sleeps on the queue's
    // condition variable, which spares posting threads the eventfd write.
    for (;;) {
        RunPending();
        if (TakeQuitRequest()) return;
        m_queue->WaitForWork(TimeUntilNextTimerMs());
    }
}

bool MessageLoop::RunPending() {
    return CheckOwner(*m_queue, "RunPending") && m_queue->RunPending();
}

bool MessageLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    if (!CheckOwner(*m_queue, "RunUntil")) return false;
    const auto deadline = ThreadQueue::Clock::now() + timeout;
    for (;;) {
        m_queue->RunPending();
        if (done()) return true;
        // A waiting Quit stops posted messages; waiting on would only spin.
        // The request stays for the Run it is meant for.
        if (m_queue->IsQuitRequested()) return false;
        const auto now = ThreadQueue::Clock::now();
        if (now >= deadline) return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        int wait = m_queue->TimeUntilNextTimerMs();
        // Wake at least every 10 ms: done() may depend on other threads that
        // do not post to this loop.
        constexpr int kRecheckMs = 10;
        if (wait < 0 || wait > kRecheckMs) wait = kRecheckMs;
        m_queue->WaitForWork(static_cast<int>(std::min<std::int64_t>(wait, left)));
    }
}

void MessageLoop::Quit() { m_queue->RequestQuit(); }

bool MessageLoop::TakeQuitRequest() {
    return CheckOwner(*m_queue, "TakeQuitRequest") && m_queue->TakeQuit();
}

void MessageLoop::RunPendingForDriver(const std::function<void()>& onQuit,
                                      const std::function<void(const char* what)>& onException) noexcept {
    const auto report = [&onException](const char* what) noexcept {
        // The reporter runs inside a noexcept function; one that throws
        // itself ends the process, as any exception leaving a C loop would.
        if (onException) onException(what);
    };
    try {
        RunPending();
        if (TakeQuitRequest() && onQuit) onQuit();
    } catch (const std::exception& e) {
        report(e.what());
    } catch (...) {
        report("an exception of unknown type");
    }
}

bool MessageLoop::BelongsToCurrentThread() const { return m_queue->IsOwnerThread(); }

std::size_t MessageLoop::PendingCount() const { return m_queue->PendingCount(); }

int MessageLoop::WakeFd() const { return m_queue->WakeFd(); }

int MessageLoop::TimeUntilNextTimerMs() const { return m_queue->TimeUntilNextTimerMs(); }

void MessageLoop::SetTimerClock(const brim::platform::TimerClock* clock) { m_queue->SetTimerClock(clock); }

}  // namespace platform

}  // namespace brim
