#include "BrimBaseR/DataId.h"

bool CDataId::IsEmpty() const noexcept {
    return *this == CDataId();
}

bool CDataId::operator==(const CDataId& other) const noexcept {
    return m_dataSet == other.m_dataSet && m_item == other.m_item;
}

bool CDataId::operator<(const CDataId& other) const noexcept {
    if (m_dataSet != other.m_dataSet) {
        return m_dataSet < other.m_dataSet;
    }
    return m_item < other.m_item;
}
