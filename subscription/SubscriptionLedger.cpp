#include "subscription/internal/SubscriptionLedger.h"

#include <BrimSubscriber/platform/Check.h>
#include <BrimSubscriber/platform/Diagnostics.h>
#include <BrimSubscriber/platform/Lock.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

namespace brim {

namespace subscription_ledger {

#if BRIM_DCHECK_IS_ON || BRIM_LEDGER_IN_RELEASE
namespace {

struct Entry {
    const SubscriptionMap* map;
    int type;
    CString key;
};

struct Ledger {
    platform::CriticalSection lock;  // a leaf: taken under a registry's lock, never the other way
    std::unordered_map<const Subscriber*, std::vector<Entry>> entries BRIM_GUARDED_BY(lock);
};

Ledger& TheLedger() {
    static auto* ledger = new Ledger;  // never destroyed: receivers die during exit too
    return *ledger;
}

}  // namespace

void Entered(const Subscriber* subscriber, const SubscriptionMap* map, int type, const CString& key) {
    if (subscriber == nullptr) return;
    Ledger& ledger = TheLedger();
    const platform::LockGuard lock(ledger.lock);
    ledger.entries[subscriber].push_back(Entry{map, type, key});
}

void Removed(const Subscriber* subscriber, const SubscriptionMap* map, const CString& key) {
    if (subscriber == nullptr) return;
    Ledger& ledger = TheLedger();
    const platform::LockGuard lock(ledger.lock);
    const auto it = ledger.entries.find(subscriber);
    if (it == ledger.entries.end()) return;
    std::vector<Entry>& held = it->second;
    const auto entry = std::find_if(held.begin(), held.end(), [&](const Entry& e) { return e.map == map && e.key == key; });
    if (entry != held.end()) held.erase(entry);
    if (held.empty()) ledger.entries.erase(it);
}

void MapGone(const SubscriptionMap* map) {
    Ledger& ledger = TheLedger();
    const platform::LockGuard lock(ledger.lock);
    for (auto it = ledger.entries.begin(); it != ledger.entries.end();) {
        std::erase_if(it->second, [map](const Entry& e) { return e.map == map; });
        it = it->second.empty() ? ledger.entries.erase(it) : std::next(it);
    }
}

void ReceiverGone(const Subscriber* subscriber) {
    Ledger& ledger = TheLedger();
    int type = -1;
    std::string key;
    std::size_t count = 0;
    {
        const platform::LockGuard lock(ledger.lock);
        const auto it = ledger.entries.find(subscriber);
        if (it == ledger.entries.end()) return;
        type = it->second.front().type;
        key = it->second.front().key.ToUtf8();
        count = it->second.size();
    }
    // Reported with no lock held: the handler may do anything.
    brim::ReportDiagnostic(brim::DiagnosticKind::ReceiverDestroyedWhileSubscribed, type,
                           "a receiver was destroyed while still subscribed (type %d, key \"%s\", %zu entries in "
                           "all): unsubscribe it first, or let a Subscription handle own it",
                           type, key.c_str(), count);
}
#endif

}  // namespace subscription_ledger

}  // namespace brim
