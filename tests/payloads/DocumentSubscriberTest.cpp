#include "payloads/DocumentSubscriber.h"

#include "platform/Document.h"
#include "platform/WinThread.h"
#include "platform/Wnd.h"
#include "subscription/NotificationInfo.h"
#include "subscription/SubscriptionManager.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

struct Refresh {
    LPARAM hint;
    CObject* hintObject;
    std::thread::id thread;
};

class RecordingView : public CView {
public:
    std::vector<Refresh> refreshes;
    void OnUpdate(CView* sender, LPARAM hint, CObject* hintObject) override {
        EXPECT_EQ(sender, nullptr);
        refreshes.push_back({hint, hintObject, std::this_thread::get_id()});
    }
};

// The application's main window: answers the refresh request as applications do.
class MainFrame : public CWnd {
public:
    int requests = 0;
    std::vector<std::pair<WPARAM, LPARAM>> received;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message != WM_DOCUMENT_SUBSCRIBER_UPDATE) return CWnd::WindowProc(message, wParam, lParam);
        ++requests;
        received.emplace_back(wParam, lParam);
        reinterpret_cast<DocumentSubscriber*>(lParam)->UpdateViews();
        return 0;
    }
};

const CString kKey(u"CMAP");

TEST(DocumentSubscriberTest, NotifyFromWorkerRefreshesEveryViewOnTheUiThreadWithTheHint) {
    CWinApp app;
    MainFrame frame;
    ASSERT_TRUE(frame.CreateEx("Main frame"));
    app.SetMainWnd(&frame);
    CDocument doc;
    RecordingView a;
    RecordingView b;
    doc.AddView(&a);
    doc.AddView(&b);
    CObject hintObject;
    DocumentSubscriber refresher(&doc, 42, &hintObject);
    auto& hub = SubscriptionManager::Instance();
    hub.Subscribe(2, kKey, &refresher);

    std::thread worker([&] {
        // A worker thread of the application: its thread object knows the
        // main window, as the application set it up.
        CWinThread thread;
        thread.SetMainWnd(&frame);
        hub.Notify(2, kKey, nullptr, nullptr);
        hub.Notify(2, kKey, nullptr, nullptr);  // two notifications, two requests
    });
    worker.join();
    EXPECT_TRUE(a.refreshes.empty());  // never inside the delivery
    ASSERT_TRUE(test::PumpUntil([&] { return frame.requests == 2; }));
    for (const auto& [w, l] : frame.received) {
        EXPECT_EQ(w, reinterpret_cast<WPARAM>(&doc));
        EXPECT_EQ(l, reinterpret_cast<LPARAM>(&refresher));
    }
    for (RecordingView* view : {&a, &b}) {
        ASSERT_EQ(view->refreshes.size(), 2U);
        EXPECT_EQ(view->refreshes[0].hint, 42);
        EXPECT_EQ(view->refreshes[0].hintObject, &hintObject);
        EXPECT_EQ(view->refreshes[0].thread, std::this_thread::get_id());
    }
    hub.Unsubscribe(2, kKey, &refresher);
}

TEST(DocumentSubscriberTest, ThreadWithoutThreadObjectOrMainWindowPostsNothing) {
    CWinApp app;  // no main window yet
    MainFrame frame;
    ASSERT_TRUE(frame.CreateEx("Main frame"));
    CDocument doc;
    RecordingView view;
    doc.AddView(&view);
    DocumentSubscriber refresher(&doc, 0, nullptr);
    const NotificationInfo info;
    refresher.Update(&info);  // UI thread: thread object, but no main window
    std::thread([&] { refresher.Update(nullptr); }).join();  // no thread object at all
    std::thread([&] {
        CWinThread thread;  // a thread object without a main window
        refresher.Update(nullptr);
    }).join();
    test::PumpPending();
    EXPECT_EQ(frame.requests, 0);
    EXPECT_TRUE(view.refreshes.empty());

    app.SetMainWnd(&frame);
    refresher.Update(nullptr);
    test::PumpPending();
    EXPECT_EQ(frame.requests, 1);
    ASSERT_EQ(view.refreshes.size(), 1U);
    EXPECT_EQ(view.refreshes[0].hint, 0);
    EXPECT_EQ(view.refreshes[0].hintObject, nullptr);
}

TEST(DocumentTest, ViewsThatLeaveDuringARefreshAreNotToldAfterwards) {
    CDocument doc;
    RecordingView first;
    auto second = std::make_unique<RecordingView>();
    struct Remover : CView {
        std::unique_ptr<RecordingView>* victim = nullptr;
        void OnUpdate(CView*, LPARAM, CObject*) override { victim->reset(); }
    } remover;
    remover.victim = &second;
    doc.AddView(&first);
    doc.AddView(&remover);
    doc.AddView(second.get());
    doc.UpdateAllViews(nullptr, 1, nullptr);  // must not reach the destroyed view
    EXPECT_EQ(first.refreshes.size(), 1U);
    EXPECT_EQ(doc.GetViews().size(), 2U);
    doc.UpdateAllViews(&first, 2, nullptr);  // the sender is left out
    EXPECT_EQ(first.refreshes.size(), 1U);
    {
        CDocument shortLived;
        shortLived.AddView(&first);  // moves the view to the other document
        EXPECT_EQ(doc.GetViews().size(), 1U);
    }
    EXPECT_EQ(first.GetDocument(), nullptr);  // the document let go of it
}

}  // namespace
