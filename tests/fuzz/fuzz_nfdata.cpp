// Fuzz target: NFData::Add sequences against a model.
//
// The model keeps, per file name, the list of records of that name in order
// of arrival of their kinds, in a std::map ordered by the name's code units;
// flattening it in key order gives the records NFData must hold, in the order
// it must hold them. Merging follows the payload's rules: smaller minimum and
// larger maximum unless a NaN is involved, the count summed and held at the
// int range, ids united in order of first arrival, the page united while both
// sides are valid and invalid otherwise; a record of a new kind for a known
// name goes behind that name's present records.
//
// The input is read as a sequence of operations, one byte each (% 8), with
// their operands following; past its end every byte reads as 0, and the run
// stops when the input is used up:
//   0-3 Add(record)            4 Add(one of the payload's own records)
//   5   Clear()                6 SetOperation(4 bytes)
//   7   copy, move and self-assignment round trips
// A record: name (% 8 into a pool with case variants, the empty name, an
// embedded NUL and non-BMP units), kind (% 4: -1, 0, 1, or 4 raw bytes),
// rangeMin and rangeMax (% 16 into a pool with NaN, infinities and signed
// zeros, or 8 raw bytes), count (% 4: small, INT_MAX, INT_MIN, or 4 raw
// bytes), up to 4 ids from a pool of 6 (repeats likely), page (first and
// last from -2 to 5, or invalid).
// After each operation every record, the lookups by index (with the range
// check at both ends) and by name, and the operation code are compared with
// the model; any difference traps.

#include "filewatch/NFData.h"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using DataUpdate = NFData::DataUpdate;

[[noreturn]] void Fail(const char* what, int index = -1) {
    std::fprintf(stderr, "NFData differs from the model: %s (record %d)\n", what, index);
    __builtin_trap();
}

void Check(bool ok, const char* what, int index = -1) {
    if (!ok) Fail(what, index);
}

const std::vector<CString>& NamePool() {
    static const std::vector<CString> names{
        CString(u"/survey/a.xyz"),
        CString(u"/survey/A.xyz"),
        CString(u"/survey/b.xyz"),
        CString(u""),
        CString(std::u16string_view(u"/survey/a\0.xyz", 14)),
        CString(u"/survey/\U0001F600.xyz"),
        CString(u"/survey/\xFFFF.xyz"),
        CString(u"/survey/./a.xyz"),
    };
    return names;
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t Next() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    template <typename T>
    T Raw() {
        std::uint8_t bytes[sizeof(T)];
        for (auto& b : bytes) b = Next();
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    [[nodiscard]] bool Done() const { return m_pos >= m_size; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

double Bound(Input& in) {
    static const double pool[15] = {
        0.0, -0.0, 1.0, -1.0, 2.5, 1e300, -1e300,
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::lowest(),
        std::numeric_limits<double>::max(), 42.0,
    };
    const int choice = in.Next() % 16;
    return choice < 15 ? pool[choice] : in.Raw<double>();
}

std::int32_t Count(Input& in) {
    switch (in.Next() % 4) {
        case 0: return static_cast<std::int32_t>(in.Next() % 5) - 2;
        case 1: return std::numeric_limits<std::int32_t>::max();
        case 2: return std::numeric_limits<std::int32_t>::min();
        default: return in.Raw<std::int32_t>();
    }
}

std::int32_t Kind(Input& in) {
    switch (in.Next() % 4) {
        case 0: return -1;
        case 1: return 0;
        case 2: return 1;
        default: return in.Raw<std::int32_t>();
    }
}

CDataId Id(Input& in) {
    static const CDataId pool[6] = {
        CDataId(), CDataId(1, 1), CDataId(1, 2), CDataId(2, 1), CDataId(0xFFFFFFFFu, ~std::uint64_t{0}), CDataId(0, 1),
    };
    return pool[in.Next() % 6];
}

Page MakePage(Input& in) {
    const std::uint8_t b = in.Next();
    if (b % 8 == 7) return Page();
    const std::int32_t first = static_cast<std::int32_t>(b % 8) - 2;
    const std::int32_t last = static_cast<std::int32_t>(in.Next() % 8) - 2;
    return Page(first, last);
}

DataUpdate Record(Input& in) {
    DataUpdate u;
    u.m_fileName = NamePool()[in.Next() % NamePool().size()];
    u.m_kind = Kind(in);
    u.m_rangeMin = Bound(in);
    u.m_rangeMax = Bound(in);
    u.m_count = Count(in);
    const int ids = in.Next() % 5;
    for (int i = 0; i < ids; ++i) u.m_ids.push_back(Id(in));
    u.m_page = MakePage(in);
    return u;
}

// The model's page: validity and, when valid, the span.
struct ModelPage {
    bool valid = false;
    std::int32_t first = 0;
    std::int32_t last = 0;
};

ModelPage ToModel(const Page& p) {
    if (p.GetFirst() >= 0 && p.GetFirst() <= p.GetLast()) return {true, p.GetFirst(), p.GetLast()};
    return {};
}

struct ModelRecord {
    double rangeMin;
    double rangeMax;
    std::vector<CDataId> ids;
    CString fileName;
    ModelPage page;
    std::int64_t count;
    std::int32_t kind;
};

ModelRecord ToModel(const DataUpdate& u) {
    return {u.m_rangeMin, u.m_rangeMax, u.m_ids, u.m_fileName, ToModel(u.m_page), u.m_count, u.m_kind};
}

class Model {
public:
    void Add(const ModelRecord& incoming) {
        std::vector<ModelRecord>& records = m_byName[incoming.fileName.str()];
        for (ModelRecord& present : records) {
            if (present.kind == incoming.kind) {
                Merge(present, incoming);
                return;
            }
        }
        records.push_back(incoming);
    }

    void Clear() { m_byName.clear(); }

    [[nodiscard]] std::vector<const ModelRecord*> Flat() const {
        std::vector<const ModelRecord*> flat;
        for (const auto& [name, records] : m_byName) {
            for (const ModelRecord& r : records) flat.push_back(&r);
        }
        return flat;
    }

    [[nodiscard]] const ModelRecord* First(const CString& name) const {
        const auto it = m_byName.find(name.str());
        return it == m_byName.end() || it->second.empty() ? nullptr : &it->second.front();
    }

    std::int32_t operation = 0;

private:
    static void Merge(ModelRecord& present, const ModelRecord& incoming) {
        const bool nan = present.rangeMin != present.rangeMin || incoming.rangeMin != incoming.rangeMin;
        if (!nan && incoming.rangeMin < present.rangeMin) present.rangeMin = incoming.rangeMin;
        const bool nanMax = present.rangeMax != present.rangeMax || incoming.rangeMax != incoming.rangeMax;
        if (!nanMax && incoming.rangeMax > present.rangeMax) present.rangeMax = incoming.rangeMax;
        present.count += incoming.count;
        if (present.count > std::numeric_limits<std::int32_t>::max()) present.count = std::numeric_limits<std::int32_t>::max();
        if (present.count < std::numeric_limits<std::int32_t>::min()) present.count = std::numeric_limits<std::int32_t>::min();
        std::vector<CDataId> ids = present.ids;
        for (const CDataId& id : incoming.ids) {
            bool seen = false;
            for (const CDataId& have : ids) seen = seen || (have.GetDataSet() == id.GetDataSet() && have.GetItem() == id.GetItem());
            if (!seen) ids.push_back(id);
        }
        present.ids = std::move(ids);
        if (present.page.valid && incoming.page.valid) {
            present.page.first = std::min(present.page.first, incoming.page.first);
            present.page.last = std::max(present.page.last, incoming.page.last);
        } else {
            present.page = ModelPage{};
        }
    }

    // Ordered by code unit, as std::u16string compares.
    std::map<std::u16string, std::vector<ModelRecord>> m_byName;
};

bool SameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

void CheckRecord(const DataUpdate& actual, const ModelRecord& expected, int index) {
    Check(actual.m_fileName == expected.fileName, "file name", index);
    Check(actual.m_kind == expected.kind, "kind", index);
    Check(SameBits(actual.m_rangeMin, expected.rangeMin), "rangeMin", index);
    Check(SameBits(actual.m_rangeMax, expected.rangeMax), "rangeMax", index);
    Check(actual.m_count == expected.count, "count", index);
    Check(actual.m_ids.size() == expected.ids.size(), "number of ids", index);
    for (std::size_t i = 0; i < actual.m_ids.size(); ++i) {
        Check(actual.m_ids[i].GetDataSet() == expected.ids[i].GetDataSet() &&
                  actual.m_ids[i].GetItem() == expected.ids[i].GetItem(),
              "id", index);
    }
    const ModelPage page = ToModel(actual.m_page);
    Check(page.valid == expected.page.valid, "page validity", index);
    Check(actual.m_page.IsValid() == expected.page.valid, "Page::IsValid", index);
    if (page.valid) Check(page.first == expected.page.first && page.last == expected.page.last, "page span", index);
}

void CheckPayload(const NFData& data, const Model& model) {
    const std::vector<const ModelRecord*> flat = model.Flat();
    Check(data.NumFileUpdates() == static_cast<int>(flat.size()), "number of records");
    for (int i = 0; i < data.NumFileUpdates(); ++i) {
        CheckRecord(data.GetFileUpdate(i), *flat[static_cast<std::size_t>(i)], i);
        if (i > 0) Check(data.GetFileUpdate(i - 1).m_fileName.Compare(data.GetFileUpdate(i).m_fileName) <= 0, "name order", i);
    }
    for (const int outside : {-1, data.NumFileUpdates()}) {
        bool threw = false;
        try {
            static_cast<void>(data.GetFileUpdate(outside));
        } catch (const std::out_of_range&) {
            threw = true;
        }
        Check(threw, "index outside the records does not throw out_of_range", outside);
    }
    for (const CString& name : NamePool()) {
        const DataUpdate* found = data.GetFileUpdate(name);
        const ModelRecord* expected = model.First(name);
        Check((found == nullptr) == (expected == nullptr), "lookup by name finds a record or not");
        if (found != nullptr) CheckRecord(*found, *expected, -2);
    }
    Check(data.GetOperation() == model.operation, "operation code");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    Input in(bytes, size);
    NFData data;
    Model model;
    int operations = 0;
    while (!in.Done() && operations++ < 4096) {
        switch (in.Next() % 8) {
            case 4: {
                // A record of the payload itself: Add must read it before it
                // changes it (a merge with itself doubles the count only).
                const std::uint8_t pick = in.Next();
                if (data.NumFileUpdates() == 0) break;
                const int index = pick % data.NumFileUpdates();
                const ModelRecord own = *model.Flat()[static_cast<std::size_t>(index)];
                model.Add(own);
                data.Add(data.GetFileUpdate(index));
                break;
            }
            case 5:
                data.Clear();
                model.Clear();
                break;
            case 6: {
                const auto operation = in.Raw<std::int32_t>();
                data.SetOperation(operation);
                model.operation = operation;
                break;
            }
            case 7: {
                NFData copy(data);
                CheckPayload(copy, model);
                NFData assigned;
                assigned.SetOperation(model.operation ^ 1);
                assigned.Add(DataUpdate{});
                assigned = copy;
                CheckPayload(assigned, model);
                NFData& alias = assigned;
                assigned = alias;
                CheckPayload(assigned, model);
                NFData moved(std::move(copy));
                CheckPayload(moved, model);
                Check(copy.NumFileUpdates() == 0 && copy.GetOperation() == model.operation,  // NOLINT(bugprone-use-after-move)
                      "moved-from payload keeps records or loses its operation");
                assigned = std::move(moved);
                CheckPayload(assigned, model);
                NFData& self = assigned;
                assigned = std::move(self);
                CheckPayload(assigned, model);
                data = std::move(assigned);
                break;
            }
            default: {
                const DataUpdate update = Record(in);
                model.Add(ToModel(update));
                data.Add(update);
                break;
            }
        }
        CheckPayload(data, model);
    }
    return 0;
}
