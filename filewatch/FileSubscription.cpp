#include <BrimSubscriber/filewatch/FileSubscription.h>

#include <BrimSubscriber/filewatch/FileWatcher.h>
#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>

#include "filewatch/internal/WatchedFiles.h"

#include <cstddef>
#include <utility>

namespace brim {

namespace {

// Withdraws the first `count` watches of `paths`, last added first.
void RemoveWatches(FileWatcher& watcher, const std::vector<CString>& paths, std::size_t count) {
    while (count > 0) watcher.RemoveFileWatch(paths[--count]);
}

}  // namespace

// The watcher posts its reports through the dispatcher's instance, which
// delivers on the thread that first reached it: reached here, with the hub.
FileSubscription::FileSubscription() : m_subscription(FILE_SUBSCRIPTION_TYPE) { MainThreadDispatcher::Instance(); }

FileSubscription::FileSubscription(FileWatcher& watcher) : m_subscription(FILE_SUBSCRIPTION_TYPE), m_watcher(&watcher) {
    MainThreadDispatcher::Instance();
}

FileWatcher& FileSubscription::Watcher() const {
    return m_watcher != nullptr ? *m_watcher : FileWatcher::Instance();
}

FileSubscription::~FileSubscription() {
    Unsubscribe();
    // m_subscription then deletes an owned receiver, now that nothing can
    // reach it any more.
}

void FileSubscription::SetSubscriber(Subscriber* subscriber, bool owns) {
    m_subscription.SetSubscriber(subscriber, owns);
}

void FileSubscription::SetSubscriber(CallbackSubscriber::Callback callback) {
    m_subscription.SetSubscriber(std::move(callback));
}

Subscriber* FileSubscription::GetSubscriber() const noexcept { return m_subscription.GetSubscriber(); }

bool FileSubscription::Subscribe(const CString& path) { return Subscribe(std::vector<CString>{path}); }

bool FileSubscription::Subscribe(std::string_view utf8Path) {
    return brim::filewatch_detail::AcceptUtf8Path(utf8Path, "FileSubscription::Subscribe") && Subscribe(CString(utf8Path));
}

bool FileSubscription::Subscribe(const std::vector<CString>& paths) {
    if (m_subscription.IsSubscribed(paths)) return true;
    Unsubscribe();

    FileWatcher& watcher = Watcher();
    std::size_t added = 0;
    try {
        for (; added < paths.size(); ++added) {
            if (!watcher.AddFileWatch(paths[added])) {
                // All or nothing: a handle never keeps a subscription whose
                // file nobody polls, nor a watch it does not hold as a key.
                RemoveWatches(watcher, paths, added);
                return false;
            }
        }
        m_subscription.Subscribe(paths);
    } catch (...) {
        RemoveWatches(watcher, paths, added);
        m_subscription.Unsubscribe();
        throw;
    }
    return true;
}

void FileSubscription::Unsubscribe() {
    // A handle that outlives the process-wide watcher (a static one, at exit)
    // has no watch left to withdraw.
    if (m_watcher != nullptr || !FileWatcher::IsInstanceGone()) {
        RemoveWatches(Watcher(), m_subscription.GetKeys(), m_subscription.GetKeys().size());
    }
    m_subscription.Unsubscribe();
}

const std::vector<CString>& FileSubscription::GetPaths() const noexcept { return m_subscription.GetKeys(); }

}  // namespace brim
