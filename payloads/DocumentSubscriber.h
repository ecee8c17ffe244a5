#pragma once

// DocumentSubscriber: a ready-made receiver that refreshes a document's views.
//
// When a key it is subscribed to is notified, it asks the main window of the
// delivering thread's thread object, by a posted WM_DOCUMENT_SUBSCRIBER_UPDATE,
// to refresh all views of its document. It never refreshes inside the
// delivery itself. The application's main window handles the message by
// calling back UpdateViews:
//
//   LRESULT MainFrame::WindowProc(UINT msg, WPARAM w, LPARAM l) {
//       if (msg == WM_DOCUMENT_SUBSCRIBER_UPDATE) {
//           reinterpret_cast<DocumentSubscriber*>(l)->UpdateViews();
//           return 0;
//       }
//       ...
//   }
//   DocumentSubscriber refresher(&doc, 0, nullptr);
//   SubscriptionManager::Instance().Subscribe(2, GeneralSubKeys::CMAP, &refresher);
//
// WPARAM carries the document pointer, LPARAM the DocumentSubscriber's address.
// Deliveries on a thread without a thread object, or whose thread object has
// no main window, post nothing. Several notifications post one message each.
//
// Threading: Update may run on any thread; UpdateViews refreshes the views on
// the thread that calls it (the main window's, from its handler).
// Lifetime: nothing withdraws a posted message, so the subscriber and its
// document must outlive every message it has posted.

#include <BrimSubscriber/platform/Document.h>
#include <BrimSubscriber/platform/WinTypes.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/Subscriber.h>

#include <cstdint>

namespace brim {

inline constexpr UINT WM_DOCUMENT_SUBSCRIBER_UPDATE = WM_APP + 0x27;  // 0x8027

class BRIMSUBSCRIBER_API DocumentSubscriber : public Subscriber {
public:
    DocumentSubscriber(CDocument* document, std::int64_t hint, CObject* hintObject) noexcept
        : m_document(document), m_hint(hint), m_hintObject(hintObject) {}
    DocumentSubscriber(const DocumentSubscriber&) = default;
    DocumentSubscriber& operator=(const DocumentSubscriber&) = default;
    ~DocumentSubscriber() override;

    // Posts the refresh request; the payload is not used.
    void Update(const NotificationInfo* info) override;

    // Tells every view of the document to update, with the hint and hint
    // object, excluding none. Does nothing without a document.
    void UpdateViews();

private:
    CDocument* m_document;  // not owned
    std::int64_t m_hint;
    CObject* m_hintObject;  // not owned
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::DocumentSubscriber;
using brim::WM_DOCUMENT_SUBSCRIBER_UPDATE;
#endif
