#include <BrimSubscriber/platform/Wnd.h>

#include "platform/internal/ThreadQueue.h"
#include "platform/internal/UserInterfaceQueue.h"

#include <utility>

namespace brim {

using platform::detail::ThreadQueue;

CWnd::CWnd() = default;

CWnd::~CWnd() { DestroyWindow(); }

bool CWnd::CreateEx(const char* windowName) {
    DestroyWindow();
    return CreateOn(ThreadQueue::ForCurrentThread(), windowName);
}

bool CWnd::CreateExOnUserInterfaceThread(const char* windowName) {
    DestroyWindow();
    return CreateOn(platform::detail::UserInterfaceQueue(), windowName);
}

bool CWnd::CreateOn(std::shared_ptr<ThreadQueue> queue, const char* windowName) {
    if (!queue) return false;
    const std::uint64_t id = queue->Register(this);
    if (id == 0) return false;
    const platform::LockGuard lock(m_handleLock);
    m_createdOn = queue.get();
    m_handle = Handle{std::move(queue), id};
    m_name = windowName != nullptr ? windowName : "";
    return true;
}

bool CWnd::DestroyWindow() {
    Handle handle;
    {
        const platform::LockGuard lock(m_handleLock);
        handle = std::exchange(m_handle, Handle{});
    }
    if (!handle.queue) return false;
    handle.queue->Unregister(handle.id);
    return true;
}

CWnd::Handle CWnd::GetHandle() const {
    const platform::LockGuard lock(m_handleLock);
    return m_handle;
}

bool CWnd::IsWindow() const {
    const Handle handle = GetHandle();
    return handle.queue && handle.queue->IsLive(handle.id);
}

bool CWnd::BelongsToCurrentThread() const {
    const Handle handle = GetHandle();
    return handle.queue && handle.queue->IsOwnerThread() && handle.queue->IsLive(handle.id);
}

std::string CWnd::GetWindowName() const {
    const platform::LockGuard lock(m_handleLock);
    return m_name;
}

bool CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // Posting never blocks, so it may hold the handle lock instead of paying
    // for a copy of the handle.
    const platform::LockGuard lock(m_handleLock);
    return m_handle.queue && m_handle.queue->Post(m_handle.id, this, message, wParam, lParam);
}

// The handle is read without its lock: the poster keeps it unchanged meanwhile.
bool CWnd::PostCommitted(UINT message, LPARAM lParam, WPARAM (*commit)(void*), void* context) {
    return m_handle.queue &&
           m_handle.queue->PostWith(m_handle.id, this, message, lParam, [commit, context] { return commit(context); });
}

void CWnd::RunUnderQueueLock(void (*run)(void*), void* context) const {
    if (m_createdOn != nullptr) {
        m_createdOn->WithLock([run, context] { run(context); });
    } else {
        run(context);  // nothing can be posted to a window that was never created
    }
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return TrySendMessage(message, wParam, lParam).value_or(0);
}

std::optional<LRESULT> CWnd::TrySendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const Handle handle = GetHandle();
    if (!handle.queue) return std::nullopt;
    return handle.queue->Send(handle.id, message, wParam, lParam);
}

bool CWnd::SetTimer(UINT_PTR timerId, UINT elapseMs) {
    const Handle handle = GetHandle();
    return handle.queue && handle.queue->SetTimer(handle.id, timerId, elapseMs);
}

bool CWnd::KillTimer(UINT_PTR timerId) {
    const Handle handle = GetHandle();
    return handle.queue && handle.queue->KillTimer(handle.id, timerId);
}

LRESULT CWnd::WindowProc(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/) { return 0; }

}  // namespace brim
