#include "filewatch/NFData.h"

#include <gtest/gtest.h>

#include <cmath>

#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using DataUpdate = NFData::DataUpdate;

DataUpdate Update(const char16_t* name, double rangeMin = 0.0, double rangeMax = 0.0, std::int32_t count = 0) {
    DataUpdate update;
    update.m_fileName = name;
    update.m_rangeMin = rangeMin;
    update.m_rangeMax = rangeMax;
    update.m_count = count;
    return update;
}

std::vector<CString> NamesInOrder(const NFData& data) {
    std::vector<CString> names;
    for (int i = 0; i < data.NumFileUpdates(); ++i) {
        names.push_back(data.GetFileUpdate(i).m_fileName);
    }
    return names;
}

TEST(NFDataTest, RecordsAreOrderedByNameNotByArrival) {
    NFData data;
    data.Add(Update(u"b", 2.0));
    data.Add(Update(u"a", 1.0));
    data.Add(Update(u"c", 3.0));
    data.Add(Update(u"b", 4.0, 9.0));  // default kind -1 on both sides: merged
    ASSERT_EQ(data.NumFileUpdates(), 3);
    EXPECT_EQ(NamesInOrder(data), (std::vector<CString>{u"a", u"b", u"c"}));
    EXPECT_EQ(data.GetFileUpdate(0).m_rangeMin, 1.0);
    EXPECT_EQ(data.GetFileUpdate(1).m_rangeMax, 9.0);
    EXPECT_EQ(data.GetFileUpdate(2).m_rangeMin, 3.0);
}

TEST(NFDataTest, LookupByNameIsExact) {
    NFData data;
    EXPECT_EQ(data.GetFileUpdate(CString(u"a")), nullptr);
    data.Add(Update(u"/survey/Line.xyz", 1.0));
    data.Add(Update(u"/survey/line.xyz", 2.0));
    data.Add(Update(u"/survey/line.xyz.bak", 3.0));
    EXPECT_EQ(data.NumFileUpdates(), 3);
    ASSERT_NE(data.GetFileUpdate(CString(u"/survey/line.xyz")), nullptr);
    EXPECT_EQ(data.GetFileUpdate(CString(u"/survey/line.xyz"))->m_rangeMin, 2.0);
    EXPECT_EQ(data.GetFileUpdate(CString(u"/survey/Line.xyz"))->m_rangeMin, 1.0);
    EXPECT_EQ(data.GetFileUpdate(CString(u"/survey/line")), nullptr);
    EXPECT_EQ(data.GetFileUpdate(CString(u"/survey/m")), nullptr);
}

TEST(NFDataTest, IndexOutsideTheRecordsThrowsInsteadOfReading) {
    NFData data;
    EXPECT_THROW((void)data.GetFileUpdate(0), std::out_of_range);  // no records at all
    data.Add(Update(u"a"));
    data.Add(Update(u"b"));
    EXPECT_EQ(data.GetFileUpdate(1).m_fileName, CString(u"b"));
    EXPECT_THROW((void)data.GetFileUpdate(2), std::out_of_range);
    EXPECT_THROW((void)data.GetFileUpdate(-1), std::out_of_range);
    EXPECT_THROW((void)data.GetFileUpdate(std::numeric_limits<int>::min()), std::out_of_range);
    data.Clear();
    EXPECT_THROW((void)data.GetFileUpdate(0), std::out_of_range);
}

TEST(NFDataTest, UpdatesOfOneFileAndKindMergeIntoOneRecord) {
    DataUpdate first = Update(u"f", 5.0, 10.0, 2);
    first.m_ids = {CDataId(1, 1), CDataId(1, 2)};
    first.m_page = Page(4, 6);
    first.m_kind = 3;
    DataUpdate second = Update(u"f", 7.0, 20.0, 5);
    second.m_ids = {CDataId(1, 3), CDataId(1, 2), CDataId(1, 3), CDataId(0, 9)};
    second.m_page = Page(9, 12);
    second.m_kind = 3;

    NFData data;
    data.Add(Update(u"e"));
    data.Add(first);
    data.Add(second);
    ASSERT_EQ(data.NumFileUpdates(), 2);
    const DataUpdate& merged = data.GetFileUpdate(1);
    EXPECT_EQ(merged.m_fileName, CString(u"f"));
    EXPECT_EQ(merged.m_rangeMin, 5.0);
    EXPECT_EQ(merged.m_rangeMax, 20.0);
    EXPECT_EQ(merged.m_count, 7);
    EXPECT_EQ(merged.m_ids, (std::vector<CDataId>{{1, 1}, {1, 2}, {1, 3}, {0, 9}}));
    EXPECT_EQ(merged.m_page, Page(4, 12));
    EXPECT_EQ(merged.m_kind, 3);
}

TEST(NFDataTest, InvalidPageOnEitherSideInvalidatesTheMergedPage) {
    DataUpdate valid = Update(u"f");
    valid.m_page = Page(1, 2);
    const DataUpdate invalid = Update(u"f");

    NFData presentValid;
    presentValid.Add(valid);
    presentValid.Add(invalid);
    EXPECT_FALSE(presentValid.GetFileUpdate(0).m_page.IsValid());

    NFData presentInvalid;
    presentInvalid.Add(invalid);
    presentInvalid.Add(valid);
    EXPECT_FALSE(presentInvalid.GetFileUpdate(0).m_page.IsValid());
}

TEST(NFDataTest, OtherKindOfAPresentFileIsKeptBesideIt) {
    DataUpdate soundings = Update(u"f", 1.0, 2.0, 1);
    soundings.m_kind = 1;
    DataUpdate tides = Update(u"f", 50.0, 60.0, 4);
    tides.m_kind = 2;

    NFData data;
    data.Add(Update(u"g"));
    data.Add(soundings);
    data.Add(tides);
    data.Add(Update(u"a"));
    data.Add(tides);
    EXPECT_EQ(NamesInOrder(data), (std::vector<CString>{u"a", u"f", u"f", u"g"}));
    EXPECT_EQ(data.GetFileUpdate(1).m_kind, 1);
    EXPECT_EQ(data.GetFileUpdate(1).m_count, 1);
    EXPECT_EQ(data.GetFileUpdate(2).m_kind, 2);
    EXPECT_EQ(data.GetFileUpdate(2).m_count, 8);
    EXPECT_EQ(data.GetFileUpdate(CString(u"f")), &data.GetFileUpdate(1));
}

TEST(NFDataTest, NaNOnEitherSideKeepsThePresentBound) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    NFData nanFirst;
    nanFirst.Add(Update(u"f", nan, nan));
    nanFirst.Add(Update(u"f", -3.0, 8.0));
    EXPECT_TRUE(std::isnan(nanFirst.GetFileUpdate(0).m_rangeMin));
    EXPECT_TRUE(std::isnan(nanFirst.GetFileUpdate(0).m_rangeMax));
    NFData nanLast;
    nanLast.Add(Update(u"f", -3.0, 8.0));
    nanLast.Add(Update(u"f", nan, nan));
    EXPECT_EQ(nanLast.GetFileUpdate(0).m_rangeMin, -3.0);
    EXPECT_EQ(nanLast.GetFileUpdate(0).m_rangeMax, 8.0);
}

TEST(NFDataTest, CountSumIsHeldAtTheIntRange) {
    constexpr std::int32_t highest = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    NFData data;
    data.Add(Update(u"high", 0.0, 0.0, highest - 1));
    data.Add(Update(u"high", 0.0, 0.0, 5));
    data.Add(Update(u"low", 0.0, 0.0, lowest + 1));
    data.Add(Update(u"low", 0.0, 0.0, -5));
    EXPECT_EQ(data.GetFileUpdate(CString(u"high"))->m_count, highest);
    EXPECT_EQ(data.GetFileUpdate(CString(u"low"))->m_count, lowest);
}

TEST(NFDataTest, AddingOneOfItsOwnRecordsMergesItWithItself) {
    DataUpdate update = Update(u"f", 1.0, 2.0, 3);
    update.m_ids = {CDataId(1, 1), CDataId(1, 2)};
    NFData data;
    data.Add(update);
    data.Add(data.GetFileUpdate(0));
    ASSERT_EQ(data.NumFileUpdates(), 1);
    EXPECT_EQ(data.GetFileUpdate(0).m_count, 6);
    EXPECT_EQ(data.GetFileUpdate(0).m_ids, update.m_ids);
}

TEST(NFDataTest, ClearCopyAndMoveTreatRecordsAndOperationApart) {
    NFData data;
    data.SetOperation(42);
    data.Add(Update(u"b"));
    data.Add(Update(u"a"));

    const NFData copy(data);
    EXPECT_EQ(NamesInOrder(copy), (std::vector<CString>{u"a", u"b"}));
    EXPECT_EQ(copy.GetOperation(), 42);

    NFData moved(std::move(data));
    EXPECT_EQ(data.NumFileUpdates(), 0);  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_EQ(data.GetOperation(), 42);
    EXPECT_EQ(moved.NumFileUpdates(), 2);

    NFData target;
    target.Add(Update(u"z"));
    target = std::move(moved);
    EXPECT_EQ(moved.NumFileUpdates(), 0);  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_EQ(moved.GetOperation(), 42);
    EXPECT_EQ(NamesInOrder(target), (std::vector<CString>{u"a", u"b"}));

    NFData& self = target;
    target = self;
    target = std::move(self);
    EXPECT_EQ(target.NumFileUpdates(), 2);

    target.Clear();
    EXPECT_EQ(target.NumFileUpdates(), 0);
    EXPECT_EQ(target.GetOperation(), 42);
}

}  // namespace
