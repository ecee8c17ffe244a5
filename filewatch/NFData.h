#pragma once

// NFData: the payload that describes updates of data files, one record per
// file (and kind of update), with an operation code chosen by the publisher.
//
//   NFData data;
//   NFData::DataUpdate update;
//   update.m_fileName = CString("/survey/line 12.xyz");
//   update.m_rangeMin = 10.0; update.m_rangeMax = 42.5;
//   update.m_ids = {CDataId(12, 7)};
//   update.m_page = Page(3, 5);
//   update.m_count = 1;
//   data.Add(update);                      // merged with any earlier record of that file
//   SubscriptionManager::Instance().Notify(type, file_update::WORKAREAS, &data, nullptr);
//
//   // in a receiver's Update
//   if (auto* files = dynamic_cast<const NFData*>(info))
//       for (int i = 0; i < files->NumFileUpdates(); ++i) Reload(files->GetFileUpdate(i));
//
// Records are kept in ascending order of file name, compared exactly by code
// unit (case, separators and relative parts count). Adding an update for a
// file that already has a record of the same m_kind merges the two:
//   m_rangeMin  the smaller value; a NaN on either side keeps the present value
//   m_rangeMax  the larger value; a NaN on either side keeps the present value
//   m_count     the sum, held at the int range instead of overflowing
//   m_ids       the present ids, then each incoming id not yet there, in order
//   m_page      the union while both pages are valid; invalid otherwise
//   m_fileName, m_kind unchanged
// An update whose file has records only of other kinds is not merged and not
// dropped: it is stored as a further record of that file, after the present
// ones. A file thus has one record per kind, and lookup by name yields the
// first of them.
//
// Threading: not guarded; filled by one thread, then only read during a
// delivery while the publisher waits.
// Ownership: holds its records by value. References and pointers returned by
// GetFileUpdate stay valid until the next Add, Clear, assignment or
// destruction of the payload.

#include <BrimSubscriber/payloads/BaseTypes.h>
#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>

#include <cstdint>
#include <vector>

namespace brim {

class BRIMSUBSCRIBER_API NFData : public NotificationInfo {
public:
    // The update of one file. A plain record with value semantics.
    struct DataUpdate {
        double m_rangeMin = 0.0;
        double m_rangeMax = 0.0;
        std::vector<CDataId> m_ids;
        CString m_fileName;
        Page m_page;
        std::int32_t m_count = 0;
        std::int32_t m_kind = -1;
    };

    // No records, operation 0.
    NFData();

    // Copy every record and the operation code. Assigning an object to itself
    // changes nothing.
    NFData(const NFData& other);
    NFData& operator=(const NFData& other);

    // Take over `other`'s records, leaving it without records, and copy its
    // operation code, which it keeps. Move-assigning an object to itself
    // changes nothing.
    NFData(NFData&& other) noexcept;
    NFData& operator=(NFData&& other) noexcept;

    ~NFData() override;

    // Merges `update` into the record of its file and kind, or stores a copy
    // of it at its place in name order (see above). `update` may be a record
    // of this payload.
    void Add(const DataUpdate& update);

    // Removes every record; the operation code is kept.
    void Clear() noexcept;

    [[nodiscard]] int NumFileUpdates() const noexcept;

    // The record at `index` in ascending order of file name (not in the order
    // of Add). Throws std::out_of_range unless 0 <= index < NumFileUpdates().
    [[nodiscard]] const DataUpdate& GetFileUpdate(int index) const;

    // The first record whose file name equals `fileName` exactly, or null if
    // there is none.
    [[nodiscard]] const DataUpdate* GetFileUpdate(const CString& fileName) const;

    void SetOperation(int operation) noexcept { m_operation = operation; }
    [[nodiscard]] int GetOperation() const noexcept { return m_operation; }

private:
    // Ascending by m_fileName; a file has at most one record per m_kind.
    std::vector<DataUpdate> m_updates;
    // Given meaning by publishers and subscribers; 0 after construction.
    std::int32_t m_operation = 0;
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::NFData;
#endif
