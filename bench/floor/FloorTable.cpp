#include "FloorTable.h"

namespace bench {

void FloorTable::Add(const std::u16string& key, FloorSlot slot) {
    const std::lock_guard guard(m_lock);
    m_slots[key].push_back(std::move(slot));
}

void FloorTable::Publish(const std::u16string& key, const brim::NotificationInfo* info) {
    const std::lock_guard guard(m_lock);
    const auto it = m_slots.find(key);
    if (it == m_slots.end()) return;
    for (const FloorSlot& slot : it->second) slot(info);
}

}  // namespace bench
