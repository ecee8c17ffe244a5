#pragma once

// DataId_NI: a payload naming the data item that changed.
//
//   DataId_NI info(CDataId(4, 88));
//   SubscriptionManager::Instance().Notify(type, key, &info, nullptr);
//
//   // in a receiver's Update
//   if (auto* changed = dynamic_cast<const DataId_NI*>(info)) Reload(changed->GetDataId());
//
// Threading: not guarded; filled by the publisher, then only read during one
// delivery while the publisher waits.
// Ownership: holds its data id by value.

#include <BrimSubscriber/payloads/BaseTypes.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>

namespace brim {

class BRIMSUBSCRIBER_API DataId_NI : public NotificationInfo {
public:
    // The empty data id.
    DataId_NI() noexcept;
    explicit DataId_NI(const CDataId& dataId) noexcept;

    DataId_NI(const DataId_NI& other);
    DataId_NI(DataId_NI&& other) noexcept;
    DataId_NI& operator=(const DataId_NI& other);
    DataId_NI& operator=(DataId_NI&& other) noexcept;
    ~DataId_NI() override;

    [[nodiscard]] const CDataId& GetDataId() const noexcept { return m_dataId; }
    void SetDataId(const CDataId& dataId) noexcept { m_dataId = dataId; }

private:
    CDataId m_dataId;
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::DataId_NI;
#endif
