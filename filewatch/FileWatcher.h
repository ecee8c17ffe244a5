#pragma once

// FileWatcher: watches individual files on disk and posts a notification when
// one of them changes.
//
// Clients register a path with AddFileWatch and withdraw it with
// RemoveFileWatch; registrations of one path are counted. A change is posted
// as a key-only notification in FILE_SUBSCRIPTION_TYPE keyed by the path as it
// was first added, so subscribers of that path are called later on the
// user-interface thread with a null payload. It is posted through
// MainThreadDispatcher::Instance(), which the watcher reaches when it is built.
//
//   SubscriptionManager::Instance();                      // first, on the UI thread
//   MainThreadDispatcher::Instance();                     // likewise
//   FileWatcher& watcher = FileWatcher::Instance();
//   if (watcher.AddFileWatch(CString("/survey/line 12.xyz"))) {
//       ...                                               // changes are posted
//       watcher.RemoveFileWatch(CString("/survey/line 12.xyz"));
//   }
//
// How a change is seen: each watcher has one low-priority thread
// ("brim-filewatch") that waits for the kernel's notifications (inotify) and
// makes the looks they call for. The kernel tells within a millisecond or two
// of a save's end (the writer closing the file, or renaming a temporary file
// onto its name); a file written to and kept open is examined once it has
// been quiet for kQuietIntervalMs. The kernel watches every directory the
// path passes through (and, through links, the directories of their
// targets), so a link pointed elsewhere or a directory on the way renamed or
// swapped is followed at once. As the net under all that, the same thread
// makes a pass each pollIntervalMs. A pass examines every file the kernel
// cannot vouch for: one on a network or FUSE file system (told by the file
// system's type: the kernel sees only what this machine does there), one
// with a directory on its way the kernel would not watch (the watch limit),
// one whose way is being traced again, and every file with the kernel's help
// switched off, when the passes are the only way of seeing. A file on a local
// file system whose whole way the kernel watches is examined by one pass in
// kSlowSweepPasses (about every 16 s; each pass takes its share of
// such files, in turn): a slow sweep for what the kernel never reports there
// (a write through a shared memory mapping, or through another hard link of
// the file in a directory not watched). After the kernel's queue overflowed,
// reports lost, every file is examined at once. A pass leaves alone a file
// the kernel says is being written, unless it has been written without pause
// for a whole period (a busy log), which every pass examines.
//
// What counts as a change: the file is there and its identity (device and
// inode), its last-write time (at full resolution) or its size differs from
// what was last reported (or read when the record was created). The change
// time is not used: chmod, chown and new links move it. A change that cannot
// be opened for reading is left for the next look. A file that disappears is
// not reported; when it comes back different, that is. A change counts as
// reported only once its notification is queued: when the user-interface
// thread's queue is full, it is reported by a later look.
//
// One report per path at a time: while a notification for a path waits in the
// user-interface thread's queue, further changes of that file are absorbed
// into it (its receivers read the file when they run, and so see the latest
// contents). The waiting call clears that state as it starts to run.
//
// Paths are compared exactly, by UTF-16 code unit, so two spellings of one
// file are two records notified under their own keys; the kernel watches
// their directory once. A relative path is resolved against the working
// directory when its record is created. A path that cannot be a file name
// (empty, with a NUL, not well-formed UTF-16) is "not found" for as long as it
// is watched. Only regular files are found, links followed; a trial opening
// never blocks and never opens anything but a regular file. A path given as
// bytes (std::string_view, std::filesystem::path) must be UTF-8: other bytes
// are refused, since no key could name them (brim::DiagnosticKind::PathNotUtf8).
//
// Threading: every public operation may be called from any thread. One lock
// guards the bookkeeping and is never held across a file-system call: a
// look at a file that waits for a slow disk delays only calls about that same
// path. AddFileWatch examines its own path on the caller's thread. Once the
// last RemoveFileWatch of a path has returned, nothing more is posted for it.
// The last RemoveFileWatch of all stops the polling thread and waits for it,
// and so for the look it may be making.
// Ownership/Lifetime: Instance() is created on first use and destroyed when
// the library is unloaded; its destructor stops and joins a polling thread
// that still runs before the records go. The watcher owns its polling thread,
// which exists exactly while at least one path is registered.
// Re-entrancy: no client code is called while the lock is held; a receiver of
// a file notification may add and remove watches.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/FileAccess.h>
#include <BrimSubscriber/platform/FileChangeSource.h>
#include <BrimSubscriber/platform/Thread.h>
#include <BrimSubscriber/platform/TickCount.h>
#include <BrimSubscriber/Export.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace brim {

namespace filewatch_detail {
class WatchCore;
}  // namespace filewatch_detail

class BRIMSUBSCRIBER_API FileWatcher {
public:
    // Milliseconds between the end of one polling pass and the next.
    static constexpr std::uint32_t kPollIntervalMs = 2000;
    // A file the kernel watches all the way on a local file system is
    // examined by one polling pass in this many (the slow sweep).
    static constexpr std::uint32_t kSlowSweepPasses = 8;
    // How long a file written to, but not closed, must stay quiet before it is
    // examined (a log kept open, a file linked into place, a directory on its
    // way swapped while it may have been written).
    static constexpr std::uint32_t kQuietIntervalMs = 250;

    // The process-wide watcher, created on the first call (thread-safe).
    static FileWatcher& Instance();

    // What a watcher of its own is built with. Null members stand for the
    // system's; whatever is given must outlive the watcher.
    struct Options {
        std::uint32_t pollIntervalMs = kPollIntervalMs;
        platform::FileAccess* files = nullptr;          // looks files up, opens and traces them
        platform::ThreadStarter* threads = nullptr;     // starts the polling thread
        platform::FileChangeSource* changes = nullptr;  // the kernel's notifications (inotify)
        const platform::TickClock* clock = nullptr;     // times the quiet interval and the passes
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
    // last look is posted now) and its count goes up. For a new path, the
    // file's current state is recorded without any notification, the kernel
    // is asked to watch its way, and the polling thread is started if none
    // runs.
    // Returns false only when a new path needed a polling thread and the
    // system could not start one: nothing is registered then, and the caller
    // must not call RemoveFileWatch for this call. A later call may succeed.
    bool AddFileWatch(const CString& path);
    // The same for a path given as UTF-8 bytes; false, with nothing
    // registered, when they are not well-formed UTF-8.
    bool AddFileWatch(std::string_view utf8Path);
    // The same for a std::filesystem::path (a template only so that a string
    // or a literal chooses the overload above without ambiguity).
    template <class Path>
        requires std::same_as<Path, std::filesystem::path>
    bool AddFileWatch(const Path& path) {
        return AddFileWatch(std::string_view(path.native()));
    }

    // Withdraws one interest in `path`. Does nothing for a path that is not
    // registered (or already withdrawn as often as it was added). Removing the
    // last registered path stops the polling thread and waits for it, at most
    // for the pass in progress; the thread has ended when the call returns.
    void RemoveFileWatch(const CString& path);
    // The same for UTF-8 bytes; false when they are not UTF-8 (nothing can be
    // registered under them).
    bool RemoveFileWatch(std::string_view utf8Path);
    template <class Path>
        requires std::same_as<Path, std::filesystem::path>
    bool RemoveFileWatch(const Path& path) {
        return RemoveFileWatch(std::string_view(path.native()));
    }

    // Whether watchers use the kernel's change notifications, for the whole
    // process (on by default). Off, they poll alone: for a file system where
    // notifications are known to misbehave. A change takes effect for paths
    // added afterwards at once, and for the others at the next polling pass.
    static void SetKernelNotification(bool enabled) noexcept;
    [[nodiscard]] static bool IsKernelNotificationEnabled() noexcept;

    // Whether the kernel watches every directory on the way to `path`'s file,
    // so that a save is reported as it ends. False for a path not registered,
    // with the kernel's help switched off, and for a file seen by polling
    // alone: the kernel refused a directory (its watch limit, permissions).
    // When a file that should have it is refused, brim::DiagnosticKind::
    // KernelHelpLost says so; the watcher asks again at every pass.
    [[nodiscard]] bool HasKernelHelp(const CString& path) const;

    // --- Diagnostics: read-only, thread-safe, each takes the records' lock ---
    // The registered paths, in first-added order, with their counts.
    [[nodiscard]] std::vector<std::pair<CString, int>> GetWatchedPaths() const;
    // True while a polling thread runs that has not been asked to stop.
    [[nodiscard]] bool IsPolling() const;
    // Directories the kernel watches for this watcher now: each directory on
    // the way to a watched file (links' targets included) counts once, by
    // identity, whatever the spellings and however many files pass through it.
    [[nodiscard]] std::size_t GetKernelWatchCount() const;

    // --- For tests and measurements -------------------------------------------
    // Sets the interval from the polling thread's next wait on.
    void SetPollIntervalForTesting(std::uint32_t pollIntervalMs) noexcept;
    // From the next pass on, a file the kernel watches all the way is
    // examined by one pass in `passes` (0 or 1: by every pass).
    void SetSlowSweepPassesForTesting(std::uint32_t passes) noexcept;
    // Makes one pass over every record on the calling thread, now (the
    // sweep's files included).
    void RunPassForTesting();
    // Passes completed by polling threads since construction.
    [[nodiscard]] std::uint64_t GetPassCountForTesting() const noexcept;

private:
    friend class FileSubscription;  // asks whether the process-wide watcher is gone

    FileWatcher();

    // True once Instance() has been destroyed (at unload or exit).
    static bool IsInstanceGone() noexcept;

    std::unique_ptr<platform::FileChangeSource> m_ownSource;  // when none was given
    // Everything else; see filewatch/internal/WatchCore.h.
    const std::unique_ptr<brim::filewatch_detail::WatchCore> m_core;
    bool m_isInstance = false;  // this is Instance()
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::FileWatcher;
#endif
