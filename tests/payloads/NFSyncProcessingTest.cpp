#include "payloads/NFSyncProcessing.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

const CDataId a(1, 10);
const CDataId b(1, 20);
const CDataId c(2, 10);
const CDataId d(3, 5);

CView* SomeView() {
    static int view = 0;
    return reinterpret_cast<CView*>(&view);
}

NFSyncProcessing FilledPayload() {
    NFSyncProcessing sync;
    sync.Set(SomeView(), EditorTypes::profile, u"Line 12, a name longer than any short-string buffer", d,
             EditModes::reject);
    sync.AddEditIds({a, b, c});
    return sync;
}

TEST(NFSyncProcessingTest, EditIdsStayUniqueInOrderOfFirstAddition) {
    NFSyncProcessing sync;
    sync.AddEditId(b);
    sync.AddEditId(b);
    sync.AddEditIds({a, b, a, c});
    EXPECT_EQ(sync.m_editIds, (std::vector<CDataId>{b, a, c}));
    // The payload's own list as argument adds nothing and must not trip over
    // the list growing beneath it.
    sync.AddEditIds(sync.m_editIds);
    sync.AddEditId(sync.m_editIds.front());
    EXPECT_EQ(sync.m_editIds, (std::vector<CDataId>{b, a, c}));
}

TEST(NFSyncProcessingTest, RemoveTakesOutOnlyTheMatchingId) {
    NFSyncProcessing sync;
    sync.AddEditIds({a, b, c});
    sync.RemoveEditId(d);
    EXPECT_EQ(sync.m_editIds, (std::vector<CDataId>{a, b, c}));
    sync.RemoveEditId(b);
    EXPECT_EQ(sync.m_editIds, (std::vector<CDataId>{a, c}));
}

TEST(NFSyncProcessingTest, MoveTakesTheListButLeavesTheName) {
    NFSyncProcessing source = FilledPayload();
    const CString name = source.m_name;

    const NFSyncProcessing moved(std::move(source));
    EXPECT_TRUE(source.m_editIds.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_EQ(source.m_name, name);
    EXPECT_EQ(moved.m_editIds, (std::vector<CDataId>{a, b, c}));
    EXPECT_EQ(moved.m_name, name);
    EXPECT_EQ(moved.m_dataId, d);

    NFSyncProcessing target;
    target.AddEditId(d);
    NFSyncProcessing second = FilledPayload();
    EXPECT_EQ(&(target = std::move(second)), &target);
    EXPECT_TRUE(second.m_editIds.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_EQ(second.m_name, name);
    EXPECT_EQ(target.m_editIds, (std::vector<CDataId>{a, b, c}));
    EXPECT_EQ(target.m_editMode, EditModes::reject);
}

TEST(NFSyncProcessingTest, AssigningToItselfKeepsTheList) {
    NFSyncProcessing sync = FilledPayload();
    NFSyncProcessing& self = sync;
    sync = self;
    EXPECT_EQ(sync.m_editIds, (std::vector<CDataId>{a, b, c}));
    sync = std::move(self);
    EXPECT_EQ(sync.m_editIds, (std::vector<CDataId>{a, b, c}));
}

}  // namespace
