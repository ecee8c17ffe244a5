#include <BrimSubscriber/platform/WinThread.h>

#include "platform/internal/ThreadQueue.h"
#include "platform/internal/UserInterfaceQueue.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace brim {

namespace platform {
namespace {

// Each thread draws a distinct token on first use; the user-interface thread
// is the one whose token is stored. Tokens are never reused, so a thread that
// ends cannot be mistaken for a later one.
std::atomic<std::uint64_t> g_nextToken{1};
std::atomic<std::uint64_t> g_uiThreadToken{0};

std::uint64_t CurrentToken() {
    thread_local const std::uint64_t token = g_nextToken.fetch_add(1, std::memory_order_relaxed);
    return token;
}

thread_local CWinThread* t_threadObject = nullptr;

// The designated thread's queue, changed with the token under one lock.
// Never destroyed: handles and dispatchers ask for it during exit too.
struct Designation {
    std::mutex lock;
    std::shared_ptr<detail::ThreadQueue> queue;  // guarded by lock
    std::atomic<std::uint64_t> epoch{1};         // written under lock
};

Designation& TheDesignation() {
    static auto* designation = new Designation;
    return *designation;
}

void Designate(std::uint64_t token, std::shared_ptr<detail::ThreadQueue> queue) {
    Designation& d = TheDesignation();
    std::shared_ptr<detail::ThreadQueue> previous;  // released outside the lock
    const std::lock_guard lock(d.lock);
    previous = std::exchange(d.queue, std::move(queue));
    g_uiThreadToken.store(token, std::memory_order_release);
    d.epoch.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace

void SetUserInterfaceThread() {
    // The queue first: when it cannot be made, nothing changes.
    auto queue = detail::ThreadQueue::ForCurrentThread();
    Designate(CurrentToken(), std::move(queue));
}

void ClearUserInterfaceThread() { Designate(0, nullptr); }

namespace detail {

std::shared_ptr<ThreadQueue> UserInterfaceQueue() {
    Designation& d = TheDesignation();
    const std::lock_guard lock(d.lock);
    return d.queue;
}

}  // namespace detail

bool IsUserInterfaceThread() { return g_uiThreadToken.load(std::memory_order_acquire) == CurrentToken(); }

}  // namespace platform

CWinThread::CWinThread() : m_previous(platform::t_threadObject) { platform::t_threadObject = this; }

CWinThread::~CWinThread() {
    BRIM_DCHECK_THREAD(m_thread.CalledOnValidThread(), "a CWinThread destroyed off its own thread");
    if (platform::t_threadObject == this) platform::t_threadObject = m_previous;
}

CWinApp::CWinApp() : m_wasUserInterfaceThread(platform::IsUserInterfaceThread()) {
    platform::SetUserInterfaceThread();
}

CWinApp::~CWinApp() {
    if (!m_wasUserInterfaceThread && platform::IsUserInterfaceThread()) platform::ClearUserInterfaceThread();
}

CWnd* CWinThread::GetMainWnd() const noexcept {
    BRIM_DCHECK_THREAD(m_thread.CalledOnValidThread(), "CWinThread::GetMainWnd called off the object's own thread");
    return m_pMainWnd;
}

void CWinThread::SetMainWnd(CWnd* wnd) noexcept {
    BRIM_DCHECK_THREAD(m_thread.CalledOnValidThread(), "CWinThread::SetMainWnd called off the object's own thread");
    m_pMainWnd = wnd;
}

CWinThread* AfxGetThread() { return platform::t_threadObject; }

namespace platform {

bool HasUserInterfaceThread() {
    const auto queue = platform::detail::UserInterfaceQueue();
    return queue && !queue->IsClosed();
}

std::uint64_t UserInterfaceEpoch() noexcept {
    return platform::TheDesignation().epoch.load(std::memory_order_acquire);
}

}  // namespace platform

}  // namespace brim
