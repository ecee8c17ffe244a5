#pragma once

// FileSubscription: a handle through which a client is told about changes of
// files on disk.
//
// The client gives it one receiver and a list of paths. For every path the
// handle registers a watch with FileWatcher::Instance() and subscribes the
// receiver to the path, as key, in FILE_SUBSCRIPTION_TYPE. When a watched
// file changes, the receiver's Update is called on the user-interface thread
// with a null payload (it cannot tell which of its paths changed). Destroying
// the handle withdraws the watches and then the subscriptions.
//
//   FileSubscription files;                                // on any thread
//   files.SetSubscriber(new ReloadOnChange(doc), true);    // the handle owns it
//   files.Subscribe({CString("/survey/line 12.xyz"), CString("/survey/line 13.xyz")});
//   ...
//   // ~FileSubscription: watches withdrawn, subscriptions removed, receiver deleted
//
// Subscribe replaces the list: the same list in the same order changes
// nothing (no file is examined again); any other list withdraws every current
// path first. Watches are added before the subscriptions and withdrawn before
// them. Several handles, or one handle listing a path twice, may watch the
// same path; the watcher counts them, and the receiver is still called once
// per change.
//
// Threading: one handle is used by one thread at a time; different handles
// may be used on different threads. Notifications arrive on the user-interface
// thread whichever thread subscribed (the thread that is the user-interface
// thread when the change is posted).
// Ownership/Lifetime: the receiver is owned only when SetSubscriber was told
// so, and is then deleted after every path has been withdrawn. A notification
// still queued when the handle goes away finds no subscription and calls
// nobody.
// Re-entrancy: a receiver may use its own handle from inside Update (on the
// user-interface thread); Unsubscribe there waits at most for one polling
// pass, which never waits for the user-interface thread.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/Subscription.h>

#include <concepts>
#include <filesystem>
#include <string_view>
#include <vector>

namespace brim {

class FileWatcher;

class BRIMSUBSCRIBER_API FileSubscription {
public:
    // An empty handle on the map of FILE_SUBSCRIPTION_TYPE: no receiver, not
    // owning, no paths. Creates SubscriptionManager and MainThreadDispatcher's
    // instance when it is the first caller.
    // Its watches go to FileWatcher::Instance().
    FileSubscription();
    // The same, with watches on a watcher of the caller's, which must outlive
    // the handle.
    explicit FileSubscription(FileWatcher& watcher);
    FileSubscription(const FileSubscription&) = delete;
    FileSubscription& operator=(const FileSubscription&) = delete;
    // Unsubscribe, then delete the receiver if the handle owns it.
    ~FileSubscription();

    // Sets the receiver and whether the handle deletes it. On a subscribed
    // handle the paths move to the new receiver, and an owned earlier one is
    // deleted once withdrawn, as Subscription::SetSubscriber does (which
    // may throw std::bad_alloc, leaving everything unchanged).
    void SetSubscriber(Subscriber* subscriber, bool owns);
    // Same as SetSubscriber(new CallbackSubscriber(callback), true).
    void SetSubscriber(CallbackSubscriber::Callback callback);
    [[nodiscard]] Subscriber* GetSubscriber() const noexcept;

    // Same as Subscribe with a list holding only `path`.
    bool Subscribe(const CString& path);
    // The same for a path given as UTF-8 bytes. Returns false, changing
    // nothing, when they are not well-formed UTF-8 (reported as
    // brim::DiagnosticKind::PathNotUtf8): no key can name such a path, and
    // decoding it (to U+FFFD) would name another file.
    bool Subscribe(std::string_view utf8Path);
    // The same for a std::filesystem::path (a template only so that a string
    // or a literal chooses the overload above without ambiguity).
    template <class Path>
        requires std::same_as<Path, std::filesystem::path>
    bool Subscribe(const Path& path) {
        return Subscribe(std::string_view(path.native()));
    }

    // Replaces the watched paths with `paths` (an empty list withdraws all).
    // Returns true when the handle now watches `paths`. Returns false when a
    // watch could not be registered because no polling thread could be
    // started: every path of this call is withdrawn again and the handle is
    // left empty; a later Subscribe may succeed.
    bool Subscribe(const std::vector<CString>& paths);

    // Withdraws every path: the watches (which may wait for a polling pass in
    // progress, when this was the last watch of the process), then the
    // subscriptions.
    void Unsubscribe();

    // The watched paths, in the order given to the last successful Subscribe.
    [[nodiscard]] const std::vector<CString>& GetPaths() const noexcept;

private:
    [[nodiscard]] FileWatcher& Watcher() const;

    Subscription m_subscription;
    FileWatcher* m_watcher = nullptr;  // null: FileWatcher::Instance()
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::FileSubscription;
using brim::FileWatcher;
#endif
