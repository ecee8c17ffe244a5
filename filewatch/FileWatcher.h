#pragma once

// FileWatcher: watches individual files on disk and posts a notification when
// one of them changes.
//
// Clients register a path with AddFileWatch and withdraw it with
// RemoveFileWatch; registrations of one path are counted. While at least one
// path is registered, a low-priority polling thread examines every registered
// file every 2000 milliseconds. When a file's last-write time or size differs
// from what was last seen and the file can be opened for reading, the watcher
// posts a key-only notification in FILE_SUBSCRIPTION_TYPE keyed by the path as
// it was first added (SubscriptionManager::NotifyPost), so subscribers of that
// path are called later on the user-interface thread with a null payload. A
// change counts as reported only once its notification is queued: when the
// user-interface thread's queue is full, the file keeps its old state and the
// change is reported by a later pass.
//
//   SubscriptionManager::Instance();                      // first, on the UI thread
//   FileWatcher& watcher = FileWatcher::Instance();
//   if (watcher.AddFileWatch(CString("/survey/line 12.xyz"))) {
//       ...                                               // changes are posted
//       watcher.RemoveFileWatch(CString("/survey/line 12.xyz"));
//   }
//
// What counts as a change: the last-write time, at the full resolution the
// file system keeps, or the size differs from the values last reported (or
// read when the record was created). Several changes between two passes give
// one notification; a change that restores both time and size exactly gives
// none. A file that disappears is not reported; when it comes back with other
// values, that is reported. A file whose values changed but that cannot be
// opened for reading is examined again at every pass and reported once it
// can be opened.
//
// Paths are compared exactly, by UTF-16 code unit; no normalisation of case,
// separators or relative parts takes place, so two spellings of one file are
// two records notified under their own keys. How a path is looked up:
// - A relative path is resolved against the working directory at the moment
//   its record is created; a later change of directory does not move it.
// - A path that cannot be a file name here (empty, holding a NUL character, or
//   not well-formed UTF-16, i.e. with a lone surrogate) is never handed to the
//   file system: it is "not found" for as long as it is watched.
// - Only regular files are found; symbolic links are followed. A directory,
//   device, FIFO, socket, dangling link or over-long name is "not found". A
//   trial opening never blocks and never opens anything but a regular file.
// - A file that is found but cannot be opened (permissions, say) is "cannot
//   be opened".
//
// Threading: every public operation may be called from any thread. One lock
// guards the records; it is held for the whole of AddFileWatch, for
// RemoveFileWatch up to stopping the thread, and by the polling thread for a
// whole pass, during which it calls NotifyPost (which only queues). The
// polling thread never waits for the user-interface thread, so
// RemoveFileWatch may be called there.
// Ownership/Lifetime: Instance() is created on first use and destroyed when
// the library is unloaded; its destructor stops and joins a polling thread
// that still runs before the records go. The watcher owns its polling thread,
// which exists exactly while at least one path is registered.
// Re-entrancy: no client code is called while the lock is held; a receiver of
// a file notification may add and remove watches.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/FileAccess.h>
#include <BrimSubscriber/platform/FileChangeSource.h>
#include <BrimSubscriber/platform/Lock.h>
#include <BrimSubscriber/platform/Thread.h>
#include <BrimSubscriber/Export.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class BRIMSUBSCRIBER_API FileWatcher {
public:
    // Milliseconds between the end of one polling pass and the next.
    static constexpr std::uint32_t kPollIntervalMs = 2000;

    // The process-wide watcher, created on the first call (thread-safe). It
    // polls every kPollIntervalMs.
    static FileWatcher& Instance();

    // How long a file that was written to, but not closed, must stay quiet
    // before it is examined (a log kept open, a file linked into place).
    // Polling passes leave such a file alone unless it has been written for
    // longer than a whole period, so a save is not reported half done.
    static constexpr std::uint32_t kQuietIntervalMs = 250;

    // What a watcher of its own is built with. Null members stand for the
    // system's; whatever is given must outlive the watcher.
    struct Options {
        std::uint32_t pollIntervalMs = kPollIntervalMs;
        platform::FileAccess* files = nullptr;        // looks files up and opens them
        platform::ThreadStarter* threads = nullptr;   // starts the polling thread
        platform::FileChangeSource* changes = nullptr;  // the kernel's notifications (inotify)
    };

    // A watcher of its own: for tests, measurements, or a part of the
    // application that wants other settings. FileSubscription can use it.
    explicit FileWatcher(const Options& options);

    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // Stops and joins the polling thread if one still runs (waiting for a pass
    // in progress), then releases the records. No other call may be running
    // or made on this watcher meanwhile.
    ~FileWatcher();

    // Registers one more interest in `path`. For a path already registered,
    // the file is examined at once on the calling thread (a change since the
    // last pass is posted now) and its count goes up. For a new path, the
    // file's current state is recorded without any notification, and the
    // polling thread is started if none runs.
    // Returns false only when a new path needed a polling thread and the
    // system could not start one: nothing is registered then, and the caller
    // must not call RemoveFileWatch for this call. A later call may succeed.
    bool AddFileWatch(const CString& path);

    // Withdraws one interest in `path`. Does nothing for a path that is not
    // registered (or already withdrawn as often as it was added). Removing the
    // last registered path stops the polling thread and waits for it, at most
    // for the pass in progress; the thread has ended when the call returns.
    void RemoveFileWatch(const CString& path);

    // Whether watchers use the kernel's change notifications, for the whole
    // process (on by default). Off, they poll alone, exactly as without it:
    // for a file system where notifications are known to misbehave. A change
    // takes effect for the directories of paths added afterwards at once, and
    // for the others at the next polling pass.
    static void SetKernelNotification(bool enabled) noexcept;
    [[nodiscard]] static bool IsKernelNotificationEnabled() noexcept;

    // --- Diagnostics: read-only, thread-safe, each takes the records' lock ---
    // The registered paths, in first-added order, with their counts.
    [[nodiscard]] std::vector<std::pair<CString, int>> GetWatchedPaths() const;
    // True while a polling thread runs that has not been asked to stop.
    [[nodiscard]] bool IsPolling() const;
    // Directories watched through the kernel now.
    [[nodiscard]] std::size_t GetKernelWatchCount() const;

    // --- For tests and measurements -------------------------------------------
    // Sets the interval from the polling thread's next wait on.
    void SetPollIntervalForTesting(std::uint32_t pollIntervalMs) noexcept;
    // Makes one pass over every record on the calling thread, now.
    void RunPassForTesting();
    // Passes completed by polling threads since construction.
    [[nodiscard]] std::uint64_t GetPassCountForTesting() const noexcept;

private:
    using Clock = std::chrono::steady_clock;

    // One registered path.
    struct watched_file {
        CString path;                          // as first added; the notification key
        std::string lookupPath;                // absolute UTF-8 form; empty when unnameable
        std::optional<platform::FileInfo> last_write_time;  // last reported or first read; none = not found
        int ref_count = 1;                     // AddFileWatch calls not yet withdrawn, >= 1
        // Where the kernel reports it: "<directory>/<name>", of the path as
        // given and, when it is a link, of the file it reaches.
        std::vector<std::string> places;
        std::optional<Clock::time_point> quietDue;  // examine then, unless it is closed first
        Clock::time_point writtenSince;             // first write the kernel reported since the last examination
    };
    using FileList = std::list<watched_file>;

    // A directory holding watched files, and its kernel watch (-1: none).
    struct Directory {
        int watch = -1;
        int users = 0;  // places in it
    };

    // A polling thread with its own stop request, so that a thread being
    // stopped can never take a signal meant for its successor, nor its
    // successor one meant for it.
    struct Poller;

    friend class FileSubscription;  // asks whether the process-wide watcher is gone

    FileWatcher();

    // True once Instance() has been destroyed (at unload or exit).
    static bool IsInstanceGone() noexcept;

    // Starts a polling thread. False when none could start.
    bool StartThread() BRIM_REQUIRES(m_filesLock);
    // Asks the running polling thread, if any, to stop and hands it over;
    // JoinThread, called without the lock, waits for it to end.
    [[nodiscard]] std::shared_ptr<Poller> TakeThread() BRIM_REQUIRES(m_filesLock);
    static void JoinThread(const std::shared_ptr<Poller>& poller);
    void WatchThreadFunc(Poller& poller) BRIM_EXCLUDES(m_filesLock);
    void RunPass() BRIM_REQUIRES(m_filesLock);
    void CheckFile(watched_file& file) BRIM_REQUIRES(m_filesLock);
    // The kernel's part: where a record is reported, watching and releasing
    // its directories, and acting on what was reported.
    void AddPlaces(FileList::iterator record) BRIM_REQUIRES(m_filesLock);
    void RemovePlaces(FileList::iterator record) BRIM_REQUIRES(m_filesLock);
    void WatchDirectories() BRIM_REQUIRES(m_filesLock);
    // Asks the kernel to watch `directory`; `watched.watch` stays -1 when it will not.
    void Watch(const std::string& directory, Directory& watched) BRIM_REQUIRES(m_filesLock);
    // Gives the directory's watch back to the kernel.
    void Release(Directory& watched) BRIM_REQUIRES(m_filesLock);
    // Forgets a record that no longer is, or never became, watched.
    void Erase(FileList::iterator record) BRIM_REQUIRES(m_filesLock);
    // Acts on what the kernel reported; true when events were lost.
    bool HandleChanges(const std::vector<platform::FileChange>& changes) BRIM_REQUIRES(m_filesLock);
    void RunQuietChecks() BRIM_REQUIRES(m_filesLock);
    [[nodiscard]] std::optional<Clock::time_point> NextQuietDue() const BRIM_REQUIRES(m_filesLock);
    [[nodiscard]] std::optional<platform::FileInfo> ReadState(const std::string& lookupPath) const;

    platform::FileAccess& m_fileAccess;
    platform::ThreadStarter& m_threadStarter;
    mutable platform::CriticalSection m_filesLock;
    FileList m_files BRIM_GUARDED_BY(m_filesLock);  // first-added order
    // Path -> its record. The key views the record's own path, which a list
    // node keeps in place for the record's life.
    std::unordered_map<std::u16string_view, FileList::iterator> m_index BRIM_GUARDED_BY(m_filesLock);
    std::shared_ptr<Poller> m_watchThread BRIM_GUARDED_BY(m_filesLock);  // set iff m_files is not empty
    std::weak_ptr<Poller> m_lastStopped BRIM_GUARDED_BY(m_filesLock);    // may still be ending
    std::unique_ptr<platform::FileChangeSource> m_ownSource;
    platform::FileChangeSource* m_source;  // m_ownSource or the one given
    std::unordered_map<std::string, Directory> m_directories BRIM_GUARDED_BY(m_filesLock);
    std::unordered_map<int, std::string> m_directoryOfWatch BRIM_GUARDED_BY(m_filesLock);
    std::unordered_multimap<std::string, FileList::iterator> m_recordsAt BRIM_GUARDED_BY(m_filesLock);  // by place
    std::vector<FileList::iterator> m_quietFiles BRIM_GUARDED_BY(m_filesLock);  // records with quietDue set
    std::atomic<std::uint32_t> m_pollIntervalMs;
    std::atomic<std::uint64_t> m_passCount{0};
    bool m_isInstance = false;  // this is Instance()
};
