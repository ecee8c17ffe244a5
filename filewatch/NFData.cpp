#include <BrimSubscriber/filewatch/NFData.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <utility>

namespace brim {

namespace {

using DataUpdate = NFData::DataUpdate;
using UpdateIterator = std::vector<DataUpdate>::iterator;
using ConstUpdateIterator = std::vector<DataUpdate>::const_iterator;

bool NameLess(const DataUpdate& record, const CString& name) noexcept {
    return record.m_fileName.Compare(name) < 0;
}

bool NameGreater(const CString& name, const DataUpdate& record) noexcept {
    return name.Compare(record.m_fileName) < 0;
}

std::int32_t SaturatingAdd(std::int32_t a, std::int32_t b) noexcept {
    const std::int64_t sum = std::int64_t{a} + std::int64_t{b};
    const std::int64_t lowest = std::numeric_limits<std::int32_t>::min();
    const std::int64_t highest = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::clamp(sum, lowest, highest));
}

// Appends to `present` each id of `incoming` that it does not hold yet, in the
// order of `incoming`, each once. Small lists are searched directly; large
// ones through sorted copies, so a merge costs O((n + m) log (n + m)) instead
// of n * m comparisons.
void MergeIds(std::vector<CDataId>& present, const std::vector<CDataId>& incoming) {
    if (&present == &incoming) return;  // a record merged with itself holds every id already
    constexpr std::size_t kDirectSearchLimit = 256;
    if (present.size() * incoming.size() <= kDirectSearchLimit) {
        present.reserve(present.size() + incoming.size());  // the appends below cannot fail
        for (const CDataId& id : incoming) {
            if (std::find(present.begin(), present.end(), id) == present.end()) present.push_back(id);
        }
        return;
    }
    std::vector<CDataId> held(present);
    std::sort(held.begin(), held.end());
    // The incoming ids by value, each value's first arrival first.
    std::vector<std::size_t> order(incoming.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&incoming](std::size_t a, std::size_t b) { return incoming[a] < incoming[b]; });
    std::vector<bool> append(incoming.size(), false);
    std::size_t count = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const CDataId& id = incoming[order[k]];
        const bool firstOfValue = k == 0 || incoming[order[k - 1]] < id;
        if (firstOfValue && !std::binary_search(held.begin(), held.end(), id)) {
            append[order[k]] = true;
            ++count;
        }
    }
    present.reserve(present.size() + count);  // the appends below cannot fail
    for (std::size_t i = 0; i < incoming.size(); ++i) {
        if (append[i]) present.push_back(incoming[i]);
    }
}

// Folds `incoming` into `present`, both records of one file and one kind.
void Merge(DataUpdate& present, const DataUpdate& incoming) {
    // The ids first: the only step that can fail (out of memory), so a failed
    // merge leaves the record as it was.
    MergeIds(present.m_ids, incoming.m_ids);

    // Plain comparisons: a NaN on either side leaves the present bound as it is.
    if (present.m_rangeMin > incoming.m_rangeMin) present.m_rangeMin = incoming.m_rangeMin;
    if (incoming.m_rangeMax > present.m_rangeMax) present.m_rangeMax = incoming.m_rangeMax;
    // Counts of many merged updates can exceed the int range; holding them at
    // the bound keeps a huge count huge instead of wrapping it negative.
    present.m_count = SaturatingAdd(present.m_count, incoming.m_count);

    const bool incomingPageValid = incoming.m_page.IsValid();
    if (present.m_page.IsValid()) {
        present.m_page |= incoming.m_page;
    }
    if (!incomingPageValid) {
        present.m_page.Invalidate();
    }
}

}  // namespace

NFData::NFData() = default;

NFData::NFData(const NFData& other) = default;

NFData& NFData::operator=(const NFData& other) {
    if (this != &other) {
        NotificationInfo::operator=(other);
        m_updates = other.m_updates;
        m_operation = other.m_operation;
    }
    return *this;
}

NFData::NFData(NFData&& other) noexcept
    : NotificationInfo(other), m_updates(std::move(other.m_updates)), m_operation(other.m_operation) {
    other.m_updates.clear();
}

NFData& NFData::operator=(NFData&& other) noexcept {
    // Taking over one's own records would lose them.
    if (this != &other) {
        NotificationInfo::operator=(other);
        m_updates = std::move(other.m_updates);
        other.m_updates.clear();
        m_operation = other.m_operation;
    }
    return *this;
}

NFData::~NFData() = default;

void NFData::Add(const DataUpdate& update) {
    const UpdateIterator first = std::lower_bound(m_updates.begin(), m_updates.end(), update.m_fileName, NameLess);
    const UpdateIterator last = std::upper_bound(first, m_updates.end(), update.m_fileName, NameGreater);
    for (UpdateIterator record = first; record != last; ++record) {
        if (record->m_kind == update.m_kind) {
            Merge(*record, update);
            return;
        }
    }
    // Inserting at the end of the file's records keeps the name order and
    // leaves earlier records of the file first, where lookup by name finds
    // them. `update` cannot be one of this payload's records here: a record
    // always finds itself above.
    m_updates.insert(last, update);
}

void NFData::Clear() noexcept {
    m_updates.clear();
}

int NFData::NumFileUpdates() const noexcept {
    return static_cast<int>(m_updates.size());
}

const NFData::DataUpdate& NFData::GetFileUpdate(int index) const {
    if (index < 0 || index >= NumFileUpdates()) {
        throw std::out_of_range("NFData::GetFileUpdate: index outside the records");
    }
    return m_updates[static_cast<std::size_t>(index)];
}

const NFData::DataUpdate* NFData::GetFileUpdate(const CString& fileName) const {
    const ConstUpdateIterator found = std::lower_bound(m_updates.begin(), m_updates.end(), fileName, NameLess);
    if (found == m_updates.end() || found->m_fileName.Compare(fileName) != 0) {
        return nullptr;
    }
    return &*found;
}

}  // namespace brim
