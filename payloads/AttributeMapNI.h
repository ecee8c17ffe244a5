#pragma once

// AttributeMapNI: a payload naming a data item together with its attribute
// map, the source of the change and an opaque id chosen by the publisher.
//
//   AttributeMapNI info(this);            // id: the publishing object
//   info.SetDataId(CDataId(7, 1203));
//   info.SetAttributeMap(&attributes);
//   info.SetSource(u"Inspector");
//   SubscriptionManager::Instance().Notify(type, key, &info, nullptr);
//
//   // in a receiver's Update
//   auto* change = dynamic_cast<const AttributeMapNI*>(info);
//
// Threading: not guarded; filled by the publisher, then only read during one
// delivery while the publisher waits.
// Ownership: the attribute map and the id are not owned; the payload never
// reads or destroys what they point to. Copies copy the pointers.

#include <BrimSubscriber/payloads/BaseTypes.h>
#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>

#include <utility>

namespace brim {

class BRIMSUBSCRIBER_API AttributeMapNI : public NotificationInfo {
public:
    // Stores `id`; the attribute map is null, the data id empty and the
    // source empty. There is no default constructor.
    explicit AttributeMapNI(void* id) noexcept;

    // Copy every field.
    AttributeMapNI(const AttributeMapNI& other);
    AttributeMapNI& operator=(const AttributeMapNI& other);

    // Move the data id; copy the attribute map pointer, the id and the source,
    // so the moved-from payload keeps its source.
    AttributeMapNI(AttributeMapNI&& other);
    AttributeMapNI& operator=(AttributeMapNI&& other);

    ~AttributeMapNI() override;

    [[nodiscard]] const CDataId& GetDataId() const noexcept { return m_dataId; }
    void SetDataId(const CDataId& dataId) { m_dataId = dataId; }

    // The pointer as stored; may be null.
    [[nodiscard]] const CAttributeMap* GetAttributeMap() const noexcept { return m_attributeMap; }
    void SetAttributeMap(const CAttributeMap* attributeMap) noexcept { m_attributeMap = attributeMap; }

    // The id given at construction (or taken over by an assignment); there is
    // no setter.
    [[nodiscard]] void* GetId() const noexcept { return m_id; }

    [[nodiscard]] CString GetSource() const { return m_source; }
    void SetSource(CString source) noexcept { m_source = std::move(source); }

private:
    const CAttributeMap* m_attributeMap = nullptr;  // not owned
    CDataId m_dataId;
    void* m_id = nullptr;                           // not owned
    CString m_source;
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::AttributeMapNI;
#endif
