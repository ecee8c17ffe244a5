#include <BrimSubscriber/subscription/Subscription.h>

#include <BrimSubscriber/subscription/NotificationInfo.h>
#include "subscription/Recorder.h"
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <gtest/gtest.h>

namespace {

const CString K1(u"K1");
const CString K2(u"K2");

// A handle `sub` of receiver R on `map`; S is another receiver.
struct World {
    // Whom each key's one-key delivery on `m` reaches: "<K1>|<K2>|".
    std::string Probe(SubscriptionMap& m) {
        std::string seen;
        for (const CString& key : {K1, K2}) log.clear(), m.Notify(key, nullptr, nullptr), seen += log + '|';
        return seen;
    }
    std::string log;
    test::Recorder r{'R', log}, s{'S', log};  // outlive the maps that hold them
    SubscriptionMap map, other;
    Subscription sub{&map};
};

// Logs 'D' when reached; checks, while being deleted, whether the map still reaches it.
struct Dying : Subscriber {
    explicit Dying(World& w) : w(w) {}
    void Update(const NotificationInfo*) override { w.log += deleting ? "(reached while deleted)" : "D"; }
    ~Dying() override { deleting = true, w.map.Notify(K1, nullptr, nullptr); }
    World& w;
    bool deleting = false;
};

struct HandleCase {
    const char* rule;
    const char* expected;
    std::string (*run)(World&);
};

const HandleCase kHandleCases[] = {
    {"Subscribe replaces the keys", "|R|", [](World& w) { return w.sub.Subscribe(K1), w.sub.Subscribe(K2), w.Probe(w.map); }},
    {"the same keys in the same order change nothing", "RS|R|",
     [](World& w) { return w.sub.Subscribe({K1, K2}), w.map.Subscribe(K1, &w.s), w.sub.Subscribe({K1, K2}), w.Probe(w.map); }},
    {"another order enters the keys again, behind the others", "SR|R|1",
     [](World& w) {
         w.sub.Subscribe({K1, K2}), w.map.Subscribe(K1, &w.s), w.sub.Subscribe({K2, K1});
         return w.Probe(w.map) + std::to_string(w.sub.IsSubscribed({K2, K1}));
     }},
    {"an empty key list removes every entry", "||0",
     [](World& w) { return w.sub.Subscribe({K1, K2}), w.sub.Subscribe(std::vector<CString>{}), w.Probe(w.map) + std::to_string(w.sub.IsSubscribed()); }},
    {"SetMap to the same map changes nothing; to another moves the entries in order", "R|RRS|" "|S|" "R|RR|",
     [](World& w) {
         w.sub.Subscribe({K2, K1, K2}), w.map.Subscribe(K2, &w.s), w.sub.SetMap(&w.map);
         const std::string same = w.Probe(w.map);
         return w.sub.SetMap(&w.other), same + w.Probe(w.map) + w.Probe(w.other);
     }},
    {"SetSubscriber on a subscribed handle moves its keys: the earlier receiver is withdrawn, the new one entered",
     "SS|S|" "SS|S|" "||",
     [](World& w) {
         w.sub.Subscribe({K1, K2}), w.map.Subscribe(K1, &w.s), w.sub.SetSubscriber(&w.s, false);
         const std::string moved = w.Probe(w.map);
         w.sub.SetSubscriber(&w.s, true), w.sub.SetSubscriber(&w.s, false);  // the same pointer: only ownership
         const std::string same = w.Probe(w.map);
         return w.sub.Subscribe(std::vector<CString>{}), w.map.Unsubscribe(K1, &w.s), moved + same + w.Probe(w.map);
     }},
    {"an owned receiver is deleted once its entries are gone: replaced (the new one entered first) or emptied", "D",
     [](World& w) {
         Subscription owner(&w.map);
         owner.SetSubscriber(new Dying(w), true), owner.Subscribe(K1), owner.SetSubscriber(new Dying(w), true);
         return owner = Subscription(), w.log;
     }},
    {"replaced inside its own Update (by a delivery or called directly): deleted after that Update returns",
     "alive|S|alive|gone",
     [](World& w) {
         Subscription owner(&w.map);
         std::weak_ptr<int> token;
         std::string seen;
         for (const bool direct : {false, true}) {
             auto held = std::make_shared<int>(0);
             token = held;
             owner.SetSubscriber([&w, &owner, &token, held](const NotificationInfo*) {
                 owner.SetSubscriber(&w.s, false);
                 w.log += token.expired() ? "freed|" : "alive|";
             });
             owner.Subscribe(K2);
             w.log.clear();
             direct ? owner.Notify(notify_self_only, nullptr) : w.map.Notify(K2, nullptr, nullptr);
             seen += w.log;
             seen += direct ? "" : w.Probe(w.map).substr(1);
             owner.Unsubscribe();
         }
         return seen + (token.expired() ? "gone" : "kept");
     }},
    {"a move takes the entries and empties the source; a move-assignment first removes the target's", "000R|R|||",
     [](World& w) {
         w.sub.Subscribe({K1, K2});
         Subscription moved(std::move(w.sub));
         std::string seen = std::to_string(w.sub.IsSubscribed()) + std::to_string(w.sub.GetSubscriber() != nullptr) +
                            std::to_string(w.sub.GetMap() != nullptr);
         Subscription target(&w.map);
         target.SetSubscriber(&w.s, false), target.Subscribe(K2), target = std::move(moved);
         seen += w.Probe(w.map);
         return target = Subscription(), seen + w.Probe(w.map);
     }},
    {"notify modes others, all, self only and out of range; self only needs no map", "S*|R*S*|R*||S",
     [](World& w) {
         w.sub.Subscribe({K1, K2}), w.map.Subscribe(K2, &w.s), w.map.Subscribe(K1, &w.r);  // R once more, elsewhere
         const NotificationInfo info;
         for (const int mode : {0 + notify_others, 0 + notify_all, 0 + notify_self_only, 3}) w.sub.Notify(static_cast<self_notify_t>(mode), &info), w.log += '|';
         Subscription detached;
         detached.SetSubscriber(&w.s, false), detached.Notify(notify_self_only, nullptr), detached.Notify(notify_all, nullptr);
         return w.log;
     }},
};

TEST(SubscriptionTest, HandleRules) {
    for (const HandleCase& c : kHandleCases) {
        SCOPED_TRACE(c.rule);
        World w;
        w.sub.SetSubscriber(&w.r, false);
        EXPECT_EQ(c.run(w), c.expected);
    }
}

}  // namespace
