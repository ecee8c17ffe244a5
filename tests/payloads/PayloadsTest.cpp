#include <BrimSubscriber/payloads/DocumentSubscriber.h>
#include <BrimSubscriber/payloads/NFSyncProcessing.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/platform/Wnd.h>
#include <BrimSubscriber/testing/RunUntilIdle.h>

#include <gtest/gtest.h>

#include <thread>

TEST(NFSyncProcessingTest, EditIdsStayUniqueInOrderOfFirstAddition) {
    const CDataId a(1, 10), b(1, 20), c(2, 10);
    NFSyncProcessing sync;
    sync.AddEditId(b);
    sync.AddEditIds({a, b, a, c});
    sync.AddEditIds(sync.m_editIds);
    sync.RemoveEditId(a);
    EXPECT_EQ(sync.m_editIds, (std::vector<CDataId>{b, c}));
}

struct MainFrame : CWnd {  // handles the refresh request as the header shows
    std::vector<std::pair<WPARAM, LPARAM>> requests;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message != WM_DOCUMENT_SUBSCRIBER_UPDATE) return CWnd::WindowProc(message, wParam, lParam);
        requests.emplace_back(wParam, lParam);
        reinterpret_cast<DocumentSubscriber*>(lParam)->UpdateViews();
        return 0;
    }
};

TEST(DocumentSubscriberTest, UpdatePostsToTheMainWindowOfTheCallingThreadsThreadObject) {
    MainFrame frame;
    ASSERT_TRUE(frame.CreateEx("Main frame"));
    CDocument doc;
    DocumentSubscriber refresher(&doc, 42, nullptr);
    std::thread([&] {
        CWinThread worker;
        worker.SetMainWnd(&frame);
        refresher.Update(nullptr);
    }).join();
    ASSERT_TRUE(brim::testing::RunUntilIdle());
    const auto request = std::pair(reinterpret_cast<WPARAM>(&doc), reinterpret_cast<LPARAM>(&refresher));
    EXPECT_EQ(frame.requests, std::vector{request});
}
