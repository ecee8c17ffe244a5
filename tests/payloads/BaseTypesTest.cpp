#include "payloads/BaseTypes.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

// The interned-id pool relies on a strict weak order in which "neither is
// less" means equal: the data set decides before the item.
TEST(CDataIdTest, OrderedSetKeepsOneEntryPerEqualIdInDataSetOrder) {
    const std::vector<CDataId> ids{{5, 1}, {1, UINT64_MAX}, {5, 1}, {2, 0}, {0, 0}, {1, UINT64_MAX}};
    const std::set<CDataId> pool(ids.begin(), ids.end());
    const std::vector<CDataId> expected{{0, 0}, {1, UINT64_MAX}, {2, 0}, {5, 1}};
    EXPECT_EQ(std::vector<CDataId>(pool.begin(), pool.end()), expected);
    EXPECT_TRUE(CDataId().IsEmpty());
    EXPECT_FALSE(CDataId(0, 1) == CDataId(1, 0));
}

// The file-update merge ORs pages, and must survive an invalid side.
TEST(PageTest, UnionCoversBothSpansAndAnInvalidSideAddsNothing) {
    Page page(4, 7);
    page |= Page(10, 12);
    page |= Page(1, 5);
    EXPECT_EQ(page, Page(1, 12));
    page |= Page();
    page |= Page(8, 2);  // reversed: invalid
    EXPECT_EQ(page, Page(1, 12));
    Page invalid;
    invalid |= Page(2, 3);
    EXPECT_EQ(invalid, Page(2, 3));
    invalid.Invalidate();
    EXPECT_FALSE(invalid.IsValid());
    EXPECT_FALSE(Page(-1, 3).IsValid());
}

}  // namespace
