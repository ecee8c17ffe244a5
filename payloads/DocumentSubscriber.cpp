#include <BrimSubscriber/payloads/DocumentSubscriber.h>

#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/platform/Wnd.h>

namespace brim {

DocumentSubscriber::~DocumentSubscriber() = default;

void DocumentSubscriber::Update(const NotificationInfo* /*info*/) {
    CWinThread* thread = AfxGetThread();
    if (thread == nullptr) return;
    CWnd* mainWnd = thread->GetMainWnd();
    if (mainWnd == nullptr) return;
    // Whether the post succeeds is not the publisher's concern: a refresh
    // that cannot be queued is simply skipped.
    static_cast<void>(mainWnd->PostMessage(WM_DOCUMENT_SUBSCRIBER_UPDATE, reinterpret_cast<WPARAM>(m_document),
                                           reinterpret_cast<LPARAM>(this)));
}

void DocumentSubscriber::UpdateViews() {
    if (m_document != nullptr) m_document->UpdateAllViews(nullptr, m_hint, m_hintObject);
}

}  // namespace brim
