#pragma once

// WatchedFiles: the watcher's records, one per path, what counts as a change
// of a record's file, and the one report per record that may wait for the
// user-interface thread.
//
// A record is keyed by its path exactly as given (UTF-16 units), and carries
// the state of its file that was last reported (or first read). The change
// rule: a file that is there differs from the state kept when its identity
// (device and inode), its last-write time or its size differs. The change
// time is not used (chmod, chown and new links move it), so a file whose
// contents are rewritten in place to the same size and time is no change.
//
//   WatchedFiles files(dispatcher, map);
//   Record& record = files.Add(path, lookupPath, state);
//   if (WatchedFiles::IsChange(record.last, seen)) files.Report(record, *seen);
//
// At most one report per record waits in the user-interface thread's queue:
// Report posts one call and sets the record's waiting flag; the call clears
// the flag as it starts to run, before any receiver reads the file. A change
// seen while the flag is set is absorbed: it is recorded as reported, since
// the waiting call has not yet run and its receivers will read the file as
// it is then. One busy file therefore holds one place in the queue, however
// often it changes, and never crowds out another module's posts.
//
// Concurrency: the records are guarded by the watcher's lock, under which
// every member is called (Report included: posting only queues). The waiting
// flags are the one state shared beyond it: set here under the lock, cleared
// by the posted call on the user-interface thread; sequentially consistent,
// so a change absorbed is one that call's receivers will see.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/FileAccess.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace brim {

class MainThreadDispatcher;
class SubscriptionMap;

namespace filewatch_detail {

using Id = std::uint64_t;

struct Record {
    Id id = 0;                                       // never reused, so a stale look can tell
    CString path;                                    // as first added; the notification key
    std::shared_ptr<const std::string> lookupPath;   // absolute UTF-8 form, read without the lock; empty: unnameable
    int refCount = 1;                                // AddFileWatch calls not yet withdrawn, >= 1
    std::optional<platform::FileInfo> last;          // last reported or first read; none: not found
    std::uint64_t version = 0;                       // moves whenever `last` does
    bool attached = false;                           // its way is attached to the kernel's watches
    bool kernelHelp = true;                          // false once the kernel refused a directory on its way
    bool covered = false;                            // attached, and the kernel sees every change on its way
    std::shared_ptr<std::atomic<bool>> waiting;      // a report of it waits for the user-interface thread
};

// True when `seen` is a change from `last` by the rule above.
[[nodiscard]] bool IsChange(const std::optional<platform::FileInfo>& last, const std::optional<platform::FileInfo>& seen);

// False, after a PathNotUtf8 diagnostic, when `bytes` is not well-formed
// UTF-8 (a path that no key could name).
[[nodiscard]] bool AcceptUtf8Path(std::string_view bytes, const char* operation);

// The absolute UTF-8 name under which `path` is looked up; empty when the
// path cannot name a file here.
[[nodiscard]] std::string LookupPathOf(const CString& path);

class WatchedFiles {
public:
    // Reports go to `map`'s receivers through `dispatcher`.
    WatchedFiles(MainThreadDispatcher& dispatcher, SubscriptionMap& map) : m_dispatcher(dispatcher), m_map(map) {}

    [[nodiscard]] Record* Find(const CString& path);
    [[nodiscard]] Record* Get(Id id);
    Record& Add(const CString& path, std::string lookupPath, std::optional<platform::FileInfo> state);
    void Erase(Id id);
    [[nodiscard]] bool IsEmpty() const noexcept { return m_records.empty(); }
    [[nodiscard]] std::size_t Size() const noexcept { return m_records.size(); }
    // In first-added order.
    [[nodiscard]] const std::map<Id, Record>& All() const noexcept { return m_records; }

    // Reports `seen` as the record's new state, or absorbs it into the report
    // already waiting. False when the queue refused the post: the record then
    // keeps its state, so a later look finds the change again.
    bool Report(Record& record, const platform::FileInfo& seen);

private:
    MainThreadDispatcher& m_dispatcher;
    SubscriptionMap& m_map;
    Id m_nextId = 1;
    std::map<Id, Record> m_records;                     // ids grow: first-added order
    std::unordered_map<std::u16string_view, Id> m_ids;  // keys view the records' own paths
};

}  // namespace filewatch_detail

}  // namespace brim
