#pragma once

// CDataId: the identity of one data item of a survey project.
//
// An id names a data set (a file set, a route list, a surface, ...) by its
// number within the project, and an item by its number within that data set.
// The default id is the empty id: data set 0, item 0. Ids are plain values:
// copies compare equal to their source, and ids order first by data set, then
// by item, so they can key an ordered set.
//
//   CDataId sounding(12, 40512);          // item 40512 of data set 12
//   std::set<CDataId> seen{sounding};
//   if (!seen.contains(CDataId(12, 40512))) { ... }
//
// Threading: a value type; distinct objects may be used from different
// threads, one object is not guarded.

#include "BaseRExport.h"

#include <cstdint>

class BRIMBASER_API CDataId {
public:
    // The empty id (data set 0, item 0).
    CDataId() = default;
    CDataId(std::uint32_t dataSet, std::uint64_t item) noexcept : m_dataSet(dataSet), m_item(item) {}

    [[nodiscard]] std::uint32_t GetDataSet() const noexcept { return m_dataSet; }
    [[nodiscard]] std::uint64_t GetItem() const noexcept { return m_item; }

    // True for the default id (and for every id equal to it).
    [[nodiscard]] bool IsEmpty() const noexcept;

    // Equal when both the data set and the item are equal.
    bool operator==(const CDataId& other) const noexcept;

    // Strict weak ordering (in fact total): by data set, then by item. Two ids
    // of which neither is less than the other are equal.
    bool operator<(const CDataId& other) const noexcept;

private:
    std::uint32_t m_dataSet = 0;
    std::uint64_t m_item = 0;
};
