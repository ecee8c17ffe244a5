#include <BrimSubscriber/platform/Document.h>

#include <algorithm>

namespace brim {

CObject::~CObject() = default;

CView::~CView() {
    if (m_pDocument != nullptr) m_pDocument->RemoveView(this);
}

void CView::OnUpdate(CView* /*sender*/, LPARAM /*hint*/, CObject* /*hintObject*/) {}

void CDocument::CheckThread(const char* operation) const {
    BRIM_DCHECK_THREAD(m_thread.CalledOnValidThread(), "CDocument::%s called off the document's own thread",
                       operation);
    static_cast<void>(operation);
}

CDocument::~CDocument() {
    CheckThread("~CDocument");
    for (CView* view : m_views) view->m_pDocument = nullptr;
}

void CDocument::AddView(CView* view) {
    CheckThread("AddView");
    if (view == nullptr || view->m_pDocument == this) return;
    if (view->m_pDocument != nullptr) view->m_pDocument->RemoveView(view);
    m_views.push_back(view);
    view->m_pDocument = this;
}

void CDocument::RemoveView(CView* view) {
    CheckThread("RemoveView");
    const auto it = std::find(m_views.begin(), m_views.end(), view);
    if (it == m_views.end()) return;
    m_views.erase(it);
    view->m_pDocument = nullptr;
}

void CDocument::UpdateAllViews(CView* sender, LPARAM hint, CObject* hintObject) {
    CheckThread("UpdateAllViews");
    // Walk a snapshot, so views may come and go meanwhile; a view removed
    // during the round is not told after its removal.
    const std::vector<CView*> views = m_views;
    for (CView* view : views) {
        if (view == sender) continue;
        if (std::find(m_views.begin(), m_views.end(), view) == m_views.end()) continue;
        view->OnUpdate(sender, hint, hintObject);
    }
}

}  // namespace brim
