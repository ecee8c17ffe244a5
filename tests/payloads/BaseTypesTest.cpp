#include "payloads/BaseTypes.h"

#include "BrimBaseR/ResourceModule.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

TEST(CDataIdTest, DefaultIdIsEmptyAndEqualOnlyToEmptyIds) {
    EXPECT_TRUE(CDataId().IsEmpty());
    EXPECT_EQ(CDataId(), CDataId(0, 0));
    EXPECT_FALSE(CDataId(0, 1).IsEmpty());
    EXPECT_FALSE(CDataId(1, 0).IsEmpty());
    EXPECT_FALSE(CDataId(0, 1) == CDataId(1, 0));
}

TEST(CDataIdTest, OrdersByDataSetBeforeItem) {
    const CDataId lowSetHighItem(1, UINT64_MAX);
    const CDataId highSetLowItem(2, 0);
    EXPECT_TRUE(lowSetHighItem < highSetLowItem);
    EXPECT_FALSE(highSetLowItem < lowSetHighItem);
    EXPECT_FALSE(CDataId(2, 3) < CDataId(2, 3));
}

TEST(CDataIdTest, OrderedSetKeepsOneEntryPerEqualId) {
    const std::vector<CDataId> ids{{5, 1}, {1, 9}, {5, 1}, {1, 2}, {0, 0}, {1, 9}};
    const std::set<CDataId> pool(ids.begin(), ids.end());
    const std::vector<CDataId> expected{{0, 0}, {1, 2}, {1, 9}, {5, 1}};
    EXPECT_EQ(std::vector<CDataId>(pool.begin(), pool.end()), expected);
}

TEST(PageTest, ValidityFollowsTheSpan) {
    EXPECT_FALSE(Page().IsValid());
    EXPECT_TRUE(Page(0, 0).IsValid());
    EXPECT_TRUE(Page(3, 9).IsValid());
    EXPECT_FALSE(Page(9, 3).IsValid());
    EXPECT_FALSE(Page(-1, 3).IsValid());
    Page page(3, 9);
    page.Invalidate();
    EXPECT_FALSE(page.IsValid());
}

TEST(PageTest, UnionCoversBothSpans) {
    Page page(4, 7);
    page |= Page(10, 12);
    EXPECT_EQ(page.GetFirst(), 4);
    EXPECT_EQ(page.GetLast(), 12);
    page |= Page(1, 5);
    EXPECT_EQ(page, Page(1, 12));
}

TEST(PageTest, UnionWithInvalidSideAddsNothing) {
    Page page(4, 7);
    page |= Page();
    page |= Page(8, 2);
    EXPECT_EQ(page, Page(4, 7));

    Page invalid;
    invalid |= Page(2, 3);
    EXPECT_EQ(invalid, Page(2, 3));

}

TEST(ResourceModuleTest, RecordsTheLastResourceModule) {
    int first = 0;
    int second = 0;
    BRIMX::LoadDLLResourceDLL(&first, &first);
    EXPECT_EQ(BRIMX::GetResourceModule(), &first);
    BRIMX::LoadDLLResourceDLL(&first, &second);
    EXPECT_EQ(BRIMX::GetResourceModule(), &second);
}

}  // namespace
