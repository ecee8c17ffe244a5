#pragma once

// SubscriptionManager: the process-wide hub of the registries.
//
// Owns one SubscriptionMap per subscription type, 0 to 16, and forwards
// subscribe, unsubscribe and notify calls to the map of the type given. The
// same key under two types names two unrelated subscriptions. Type 0
// (FILE_SUBSCRIPTION_TYPE) carries file-change notifications keyed by path;
// the application chooses the meaning of the others.
//
//   auto& hub = SubscriptionManager::Instance();     // first call on any thread
//   hub.Subscribe(3, GeneralSubKeys::DISPLAY_LAYER_ADDED, &layerList);
//   hub.Notify(3, GeneralSubKeys::DISPLAY_LAYER_ADDED, &info, nullptr);
//   hub.NotifyPost(3, GeneralSubKeys::DISPLAY_LAYER_ADDED);   // from any thread
//
// A type is valid when, read as an unsigned number, it is at most 16: every
// negative type is invalid. Every operation given an invalid type does
// nothing (and reports it through the diagnostics channel,
// platform/Diagnostics.h), and GetSubscriptionMap returns null.
//
// Notify goes to the map's one-key delivery; NotifySend and NotifyPost go
// through its several-keys delivery with one key. They differ only for a
// subscriber entered twice under the key: Notify calls it twice, NotifySend
// and NotifyPost once.
//
// The manager also interns data ids: GetSafeDataIdPtr returns one pointer per
// distinct id, valid and unchanged for the manager's life.
//
// Threading: every operation may be called from any thread, and Instance()
// may first be called on any thread, before or after the user-interface
// thread exists; the forwarding operations follow the map's rules (sends and
// posts reach the thread that is the user-interface thread at the time of
// the call).
// Lifetime: the manager lives until the library is unloaded (or the process
// exits); then every map and every interned id goes, without telling the
// subscribers. Handles destroyed after it (static ones, at exit) find
// nothing left to withdraw.

#include <BrimSubscriber/BrimBaseR/DataId.h>
#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>

namespace brim {

inline constexpr int SUBSCRIPTION_TYPE_COUNT = 17;
inline constexpr int FILE_SUBSCRIPTION_TYPE = 0;

class BRIMSUBSCRIBER_API SubscriptionManager {
public:
    // The hub, built on the first call. A failure to build it (the system
    // refuses the user-interface thread a file descriptor for its message
    // queue) throws std::system_error with the system's error code, and the
    // next call tries again.
    static SubscriptionManager& Instance();

    SubscriptionManager(const SubscriptionManager&) = delete;
    SubscriptionManager& operator=(const SubscriptionManager&) = delete;
    ~SubscriptionManager();

    // The map of the type, or null for an invalid type. The same pointer for
    // the manager's whole life.
    SubscriptionMap* GetSubscriptionMap(int type);

    void Subscribe(int type, const CString& key, Subscriber* subscriber);
    void Unsubscribe(int type, const CString& key, Subscriber* subscriber);
    void Notify(int type, const CString& key, const NotificationInfo* info, Subscriber* leaveOut);
    void NotifySend(int type, const CString& key, const NotificationInfo* info, Subscriber* leaveOut);
    void NotifyPost(int type, const CString& key);
    // NotifyPost that tells whether the notification was queued: false for an
    // invalid type and whenever NotifyPost would drop it (no user-interface
    // thread, it has ended, or its queue is full).
    [[nodiscard]] bool TryNotifyPost(int type, const CString& key);
    // The same carrying a payload, which every receiver's Update gets: the
    // reference travels with the post and is released after the delivery on
    // the user-interface thread, or before the call returns on this thread
    // when the post is refused (an invalid type included); SubscriptionMap's
    // "Posted payloads" tells the rest, and who may read it meanwhile. A post
    // of one key with a payload allocates nothing of its own.
    //
    //   hub.NotifyPost(3, GeneralSubKeys::DISPLAY_LAYER_ADDED, std::make_shared<const LayerInfo>(layer));
    void NotifyPost(int type, const CString& key, std::shared_ptr<const NotificationInfo> info);
    [[nodiscard]] bool TryNotifyPost(int type, const CString& key, std::shared_ptr<const NotificationInfo> info);

    // Diagnostics, cheap and callable from any thread: the entries under a
    // key of a type (0 for an invalid type; see SubscriptionMap); the posts
    // of every type that could not be queued.
    [[nodiscard]] std::size_t SubscriberCount(int type, const CString& key);
    [[nodiscard]] std::uint64_t DroppedPostCount();

    // Whether a NotifySend or NotifyPost of the type made now would reach a
    // user-interface thread: false for an invalid type, and while no
    // user-interface thread is designated or it has ended.
    [[nodiscard]] bool CanDeliverToUserInterfaceThread(int type);

    // A pointer to an interned id equal to `id`: the same pointer for equal
    // ids, for the manager's whole life; the value it points to never changes.
    const CDataId* GetSafeDataIdPtr(const CDataId& id);

private:
    friend class Subscription;  // asks whether its map went with the hub; MapFor

    SubscriptionManager();

    // True when `map` was one of the hub's maps and the hub is gone.
    static bool IsGoneMap(const SubscriptionMap* map) noexcept;
    // The map of a type, or null after reporting the invalid type.
    SubscriptionMap* MapFor(int type, const char* operation);
    static void ReportInvalidType(int type, const char* operation) noexcept;

    std::array<SubscriptionMap, SUBSCRIPTION_TYPE_COUNT> m_maps;
    std::set<CDataId> m_dataIds BRIM_GUARDED_BY(m_dataIdLock);  // only grows
    platform::RecursiveLock m_dataIdLock;
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::FILE_SUBSCRIPTION_TYPE;
using brim::SUBSCRIPTION_TYPE_COUNT;
using brim::SubscriptionManager;
#endif
