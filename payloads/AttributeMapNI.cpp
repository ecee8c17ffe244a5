#include <BrimSubscriber/payloads/AttributeMapNI.h>

namespace brim {

AttributeMapNI::AttributeMapNI(void* id) noexcept : m_id(id) {}

AttributeMapNI::AttributeMapNI(const AttributeMapNI& other) = default;

AttributeMapNI& AttributeMapNI::operator=(const AttributeMapNI& other) = default;

// The source is copied, not moved: a publisher that moves its payload on
// still reads its own source afterwards.
AttributeMapNI::AttributeMapNI(AttributeMapNI&& other)
    : NotificationInfo(other),
      m_attributeMap(other.m_attributeMap),
      m_dataId(std::move(other.m_dataId)),
      m_id(other.m_id),
      m_source(other.m_source) {}

AttributeMapNI& AttributeMapNI::operator=(AttributeMapNI&& other) {
    NotificationInfo::operator=(other);
    m_attributeMap = other.m_attributeMap;
    m_dataId = std::move(other.m_dataId);
    m_id = other.m_id;
    m_source = other.m_source;
    return *this;
}

AttributeMapNI::~AttributeMapNI() = default;

}  // namespace brim
