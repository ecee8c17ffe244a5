#pragma once

// FileChangeSource: the operating system's word that something happened in a
// directory, for a file watcher that otherwise polls.
//
// A watcher asks the source to watch the directories of its files and waits
// on it: Wait returns as soon as changes arrive, when its time-out ends, or
// when Interrupt is called, whichever is first. The source only says that a
// name in a directory may have changed and how; what counts as a change is
// the watcher's own rule.
//
//   std::unique_ptr<platform::FileChangeSource> source = platform::MakeKernelFileChangeSource();
//   const int watch = source->AddDirectory("/survey");      // -1: no help for this directory
//   std::vector<platform::FileChange> changes;
//   const auto since = source->InterruptCount();            // before deciding to wait
//   if (!stopping) source->Wait(2000, since, changes);      // events, or 2 s, or an Interrupt
//
// The kernel's source (inotify on Linux) is null where the system gives none
// (no inotify instance left). A source that reports nothing waits just as
// well, so a watcher without the kernel's help polls with the same code.
//
// Threading: one thread at a time waits; AddDirectory, RemoveDirectory,
// Interrupt and InterruptCount may be called from any thread meanwhile.
// Lifetime: a watch lives until RemoveDirectory or until the directory goes
// (then a DirectoryGone change says so); ids of removed watches may be reused.

#include <BrimSubscriber/platform/PlatformExport.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct FileChange {
    enum class Kind {
        Written,        // a writer closed the file: its save is complete
        MovedIn,        // a file was renamed onto the name (a save through a temporary file)
        Attributes,     // times or permissions changed (utimensat, touch, chmod)
        Modified,       // written to, and perhaps still open
        Created,        // the name appeared (an empty file, a link)
        Removed,        // deleted, or renamed away
        DirectoryGone,  // the directory's watch ended: it was deleted, moved or unwatched
        Overflow,       // changes were lost; watch is -1
    };
    int watch = -1;    // as AddDirectory returned it
    std::string name;  // the entry in that directory; empty for the directory itself
    Kind kind = Kind::Overflow;
};

class BRIM_PLATFORM_API FileChangeSource {
public:
    FileChangeSource() = default;
    FileChangeSource(const FileChangeSource&) = delete;
    FileChangeSource& operator=(const FileChangeSource&) = delete;
    virtual ~FileChangeSource();

    // Watches the directory; returns its watch (0 or more), or -1 when the
    // system will not (it does not exist, the per-user watch limit is reached,
    // no permission). The caller watches a directory once.
    virtual int AddDirectory(const std::string& utf8Path) = 0;
    virtual void RemoveDirectory(int watch) = 0;

    // Waits up to timeoutMs (-1: no limit) for changes, or until there has
    // been an Interrupt since InterruptCount() returned `since` (at once when
    // there has), and appends the changes that arrived to `changes`.
    virtual void Wait(int timeoutMs, std::uint64_t since, std::vector<FileChange>& changes) = 0;

    // Ends the wait of whoever took InterruptCount() before this call.
    void Interrupt() {
        m_interrupts.fetch_add(1, std::memory_order_acq_rel);
        Wake();
    }
    [[nodiscard]] std::uint64_t InterruptCount() const { return m_interrupts.load(std::memory_order_acquire); }

protected:
    // Makes a Wait in progress return; it then finds InterruptCount() moved.
    virtual void Wake() = 0;

private:
    std::atomic<std::uint64_t> m_interrupts{0};
};

// The kernel's source, or null when the system cannot give one.
BRIM_PLATFORM_API std::unique_ptr<FileChangeSource> MakeKernelFileChangeSource();

// A source that reports nothing and refuses every directory: its Wait waits
// for the time-out or an Interrupt only.
BRIM_PLATFORM_API std::unique_ptr<FileChangeSource> MakeSilentFileChangeSource();

}  // namespace platform
