#pragma once

// The lock+lookup+loop floor of the delivery rows, built as a shared library
// of its own. Our delivery runs in a shared library and calls receivers that
// live in the application; on this kind of machine an indirect call from one
// loaded object into another costs several times a call within one (about
// 2.6x per call measured), so a floor compiled into the benchmark executable
// would be cheaper than any library can be, by a margin that moves with where
// the loader puts each object. Here the floor pays the same crossing as we do.

#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace brim {
class NotificationInfo;
}

namespace bench {

using FloorSlot = std::function<void(const brim::NotificationInfo*)>;

// One recursive lock over a table of keys, each with its slots in a vector.
class __attribute__((visibility("default"))) FloorTable {
public:
    void Add(const std::u16string& key, FloorSlot slot);
    // Calls every slot of `key`, under the lock; nothing when it has none.
    void Publish(const std::u16string& key, const brim::NotificationInfo* info);

private:
    std::recursive_mutex m_lock;
    std::unordered_map<std::u16string, std::vector<FloorSlot>> m_slots;  // guarded by m_lock
};

}  // namespace bench
