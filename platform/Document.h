#pragma once

// Documents and their views.
//
// A CDocument holds the data that one or more CViews show. When the data
// changes, UpdateAllViews tells every view (but the one that made the change,
// if given) to refresh, passing a hint through unchanged.
//
//   class SurveyView : public CView {
//       void OnUpdate(CView* sender, LPARAM hint, CObject* hintObject) override { Redraw(); }
//   };
//   CDocument doc; SurveyView a, b;
//   doc.AddView(&a); doc.AddView(&b);
//   doc.UpdateAllViews(nullptr, 0, nullptr);    // a.OnUpdate, then b.OnUpdate
//
// Threading: a document and its views belong to the thread that built the
// document (normally the user-interface thread); no member is guarded, and
// debug builds report a use on another thread (platform/ThreadChecker.h).
// Ownership: a document does not own its views; a view must be removed (or
// destroyed, which removes it) before its document is destroyed.
// Re-entrancy: a view may add or remove views from inside OnUpdate; views
// added then are not told in this round.

#include <BrimSubscriber/platform/PlatformExport.h>
#include <BrimSubscriber/platform/ThreadChecker.h>
#include <BrimSubscriber/platform/WinTypes.h>

#include <vector>

namespace brim {

// Base of objects passed as hints.
class BRIM_PLATFORM_API CObject {
public:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
    virtual ~CObject();
};

class CDocument;

class BRIM_PLATFORM_API CView : public CObject {
public:
    CView() = default;
    CView(const CView&) = delete;
    CView& operator=(const CView&) = delete;
    ~CView() override;  // removes the view from its document

    [[nodiscard]] CDocument* GetDocument() const noexcept { return m_pDocument; }

    // Called by the document's UpdateAllViews. The default does nothing.
    virtual void OnUpdate(CView* sender, LPARAM hint, CObject* hintObject);

private:
    friend class CDocument;
    CDocument* m_pDocument = nullptr;  // not owned
};

class BRIM_PLATFORM_API CDocument : public CObject {
public:
    CDocument() = default;
    CDocument(const CDocument&) = delete;
    CDocument& operator=(const CDocument&) = delete;
    ~CDocument() override;  // detaches the views that are still attached

    // Attaches the view (detaching it from another document first).
    void AddView(CView* view);
    void RemoveView(CView* view);
    [[nodiscard]] const std::vector<CView*>& GetViews() const noexcept { return m_views; }

    // Calls OnUpdate(sender, hint, hintObject) on every view except sender,
    // in the order they were added.
    void UpdateAllViews(CView* sender, LPARAM hint = 0, CObject* hintObject = nullptr);

private:
    void CheckThread(const char* operation) const;

    std::vector<CView*> m_views;  // not owned
    platform::ThreadChecker m_thread;
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::CDocument;
using brim::CObject;
using brim::CView;
#endif
