#include <BrimSubscriber/filewatch/NFData.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <tuple>

namespace {

using DataUpdate = NFData::DataUpdate;

auto Fields(const DataUpdate& u) {  // the bounds by their bits, so that a NaN equals itself
    return std::tuple(u.m_fileName.str(), u.m_kind, std::bit_cast<std::uint64_t>(u.m_rangeMin),
                      std::bit_cast<std::uint64_t>(u.m_rangeMax), u.m_count, u.m_ids, u.m_page);
}

// The merge rules written out plainly; names in code-unit order, their kinds in order of arrival.
struct Model {
    void Add(DataUpdate in) {
        std::vector<DataUpdate>& records = files[in.m_fileName.str()];
        const auto p = std::find_if(records.begin(), records.end(), [&](auto& r) { return r.m_kind == in.m_kind; });
        if (p == records.end()) return records.push_back(std::move(in));
        if (!std::isnan(p->m_rangeMin + in.m_rangeMin)) p->m_rangeMin = std::min(p->m_rangeMin, in.m_rangeMin);
        if (!std::isnan(p->m_rangeMax + in.m_rangeMax)) p->m_rangeMax = std::max(p->m_rangeMax, in.m_rangeMax);
        const std::int64_t count = std::int64_t{p->m_count} + in.m_count;
        p->m_count = static_cast<std::int32_t>(std::clamp<std::int64_t>(count, INT32_MIN, INT32_MAX));
        for (const CDataId& id : in.m_ids) {
            if (std::find(p->m_ids.begin(), p->m_ids.end(), id) == p->m_ids.end()) p->m_ids.push_back(id);
        }
        p->m_page = p->m_page.IsValid() && in.m_page.IsValid() ? p->m_page |= in.m_page : Page();
    }
    std::map<std::u16string, std::vector<DataUpdate>> files;
};

// Seeded updates, with id lists long enough for either way of merging them.
TEST(NFDataTest, AddsFollowTheMergeRules) {
    const char16_t* names[] = {u"/s/a", u"/s/A", u"/s/a.bak", u"", u"/s/\U0001F600", u"/s/\xFFFF"};
    const double bounds[] = {0.0, -0.0, 1.5, -7.0, 1e300, -HUGE_VAL, std::nan("")};
    const std::int32_t counts[] = {0, 1, -2, INT32_MAX, INT32_MIN, INT32_MAX / 2};
    std::mt19937 random(20240611);
    const auto below = [&](std::size_t n) { return static_cast<std::int32_t>(random() % n); };
    const auto pick = [&](const auto& pool) { return pool[below(std::size(pool))]; };
    NFData data;
    Model model;
    for (int step = 0; step < 2000 && !testing::Test::HasFailure(); ++step) {
        std::vector<const DataUpdate*> flat;
        for (const auto& [name, records] : model.files) for (const DataUpdate& r : records) flat.push_back(&r);
        ASSERT_EQ(data.NumFileUpdates(), static_cast<int>(flat.size()));
        for (int i = 0; i < data.NumFileUpdates(); ++i) EXPECT_EQ(Fields(data.GetFileUpdate(i)), Fields(*flat[i]));
        EXPECT_THROW((void)data.GetFileUpdate(-1), std::out_of_range);
        EXPECT_THROW((void)data.GetFileUpdate(data.NumFileUpdates()), std::out_of_range);
        for (const CString name : names) {
            const auto first = std::find_if(flat.begin(), flat.end(), [&](auto* r) { return r->m_fileName == name; });
            const int index = static_cast<int>(first - flat.begin());
            EXPECT_EQ(data.GetFileUpdate(name), first == flat.end() ? nullptr : &data.GetFileUpdate(index));
        }
        DataUpdate update{pick(bounds), pick(bounds), std::vector<CDataId>(below(40)), pick(names),
                          Page(below(8) - 2, below(8) - 2), pick(counts), below(3) - 1};
        for (CDataId& id : update.m_ids) id = CDataId(below(3), below(20));
        // Now and then one of its own records, added to itself.
        const DataUpdate& added = !flat.empty() && random() % 8 == 0 ? data.GetFileUpdate(below(flat.size())) : update;
        model.Add(added);
        data.Add(added);
    }
    EXPECT_EQ((Page(4, 7) |= Page(1, 5)) |= Page(9, 12), Page(1, 12));  // the model itself unites pages with |=
    EXPECT_EQ(Page(4, 7) |= Page(), Page(4, 7)) << "an invalid right side leaves a page as it is";
}

}  // namespace
