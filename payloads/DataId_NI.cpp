#include <BrimSubscriber/payloads/DataId_NI.h>

namespace brim {

DataId_NI::DataId_NI() noexcept = default;

DataId_NI::DataId_NI(const CDataId& dataId) noexcept : m_dataId(dataId) {}

DataId_NI::DataId_NI(const DataId_NI& other) = default;

DataId_NI::DataId_NI(DataId_NI&& other) noexcept = default;

DataId_NI& DataId_NI::operator=(const DataId_NI& other) = default;

DataId_NI& DataId_NI::operator=(DataId_NI&& other) noexcept = default;

DataId_NI::~DataId_NI() = default;

}  // namespace brim
