#include <BrimSubscriber/platform/WinThread.h>

#include <atomic>
#include <cstdint>

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

}  // namespace

void SetUserInterfaceThread() { g_uiThreadToken.store(CurrentToken(), std::memory_order_release); }

void ClearUserInterfaceThread() { g_uiThreadToken.store(0, std::memory_order_release); }

bool IsUserInterfaceThread() { return g_uiThreadToken.load(std::memory_order_acquire) == CurrentToken(); }

}  // namespace platform

CWinThread::CWinThread() : m_previous(platform::t_threadObject) { platform::t_threadObject = this; }

CWinThread::~CWinThread() {
    if (platform::t_threadObject == this) platform::t_threadObject = m_previous;
}

CWinApp::CWinApp() : m_wasUserInterfaceThread(platform::IsUserInterfaceThread()) {
    platform::SetUserInterfaceThread();
}

CWinApp::~CWinApp() {
    if (!m_wasUserInterfaceThread && platform::IsUserInterfaceThread()) platform::ClearUserInterfaceThread();
}

CWinThread* AfxGetThread() { return platform::t_threadObject; }
