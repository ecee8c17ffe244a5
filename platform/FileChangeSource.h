#pragma once

// FileChangeSource: the operating system's word that something happened in a
// directory, for a file watcher that otherwise polls.
//
// A watcher asks the source to watch the directories its paths pass through,
// waits on it, and reads what arrived. Wait returns as soon as reports are
// pending, when its time-out ends, or when Interrupt is called, whichever is
// first; ReadPending takes the reports without ever waiting, so a watcher can
// also read them at any moment it needs to know (before deciding that a file
// is complete, say). The source only says that a name in a directory may have
// changed and how; what counts as a change is the watcher's own rule.
//
//   std::unique_ptr<platform::FileChangeSource> source = platform::MakeKernelFileChangeSource();
//   auto dir = source->AddDirectory("/survey", platform::WatchedEvents::Files);
//   // dir.watch == -1: no help for this directory (dir.error says why)
//   const auto since = source->InterruptCount();            // before deciding to wait
//   if (!stopping) source->Wait(2000, since);               // reports, or 2 s, or an Interrupt
//   std::vector<platform::FileChange> changes;
//   source->ReadPending(changes);
//
// A directory is watched once whatever its name: watching it again, through
// any spelling or link, returns the same watch with its events widened, and
// the watch says which directory (device and inode) it is on. The kernel's
// source (inotify on Linux) is null where the system gives none (no inotify
// instance left); it tells a directory on a file system changed unseen by it
// (network, FUSE) by the file system's type. A source that reports nothing
// waits just as well, so a watcher without the kernel's help polls with the
// same code.
//
// Threading: one thread at a time waits; calls of ReadPending must not
// overlap; AddDirectory, RemoveDirectory, Interrupt and InterruptCount may be
// called from any thread at any time.
// Lifetime: a watch lives until RemoveDirectory or until the directory goes
// (then a DirectoryGone change says so); ids of removed watches may be reused.

#include <BrimSubscriber/platform/FileAccess.h>
#include <BrimSubscriber/platform/PlatformExport.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brim {

namespace platform {

struct FileChange {
    enum class Kind {
        Written,        // a writer closed the file: its save is complete
        MovedIn,        // an entry was renamed onto the name (a save through a temporary file)
        Attributes,     // times or permissions changed (utimensat, touch, chmod)
        Modified,       // written to, and perhaps still open
        Created,        // the name appeared (an empty file, a link, a directory)
        Removed,        // deleted, or renamed away
        DirectoryGone,  // the directory itself was deleted, moved or unwatched; name is empty
        Overflow,       // changes were lost; watch is -1
    };
    int watch = -1;    // as AddDirectory returned it
    std::string name;  // the entry in that directory; empty for the directory itself
    Kind kind = Kind::Overflow;
};

// What a watch reports about the directory's entries.
enum class WatchedEvents {
    Names,  // entries created, removed or renamed, and the directory's own end
    Files,  // those, and writes, closes and attribute changes of the entries
};

struct DirectoryWatch {
    int watch = -1;          // 0 or more; -1 when the system will not watch
    FileIdentity directory;  // the directory watched, when watch >= 0
    int error = 0;           // the system's reason when watch is -1 (ENOENT, ENOSPC: watch limit, EACCES)
    // Whether every change in the directory passes through this kernel, so
    // that its reports are complete. False on network and FUSE file systems
    // (NFS, SMB, Ceph, 9P, AFS...), whose other clients, servers or daemons
    // change files unseen, and whenever the source cannot tell.
    bool complete = false;
};

class BRIM_PLATFORM_API FileChangeSource {
public:
    FileChangeSource() = default;
    FileChangeSource(const FileChangeSource&) = delete;
    FileChangeSource& operator=(const FileChangeSource&) = delete;
    virtual ~FileChangeSource();

    // Watches the directory that `utf8Path` names now.
    virtual DirectoryWatch AddDirectory(const std::string& utf8Path, WatchedEvents events) = 0;
    virtual void RemoveDirectory(int watch) = 0;

    // Waits up to timeoutMs (-1: no limit) until reports are pending, or until
    // there has been an Interrupt since InterruptCount() returned `since` (at
    // once when there has). Reads nothing.
    virtual void Wait(int timeoutMs, std::uint64_t since) = 0;

    // Appends every report that has arrived to `changes`; never waits.
    virtual void ReadPending(std::vector<FileChange>& changes) = 0;

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

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::DirectoryWatch;
using brim::platform::FileChange;
using brim::platform::FileChangeSource;
using brim::platform::MakeKernelFileChangeSource;
using brim::platform::MakeSilentFileChangeSource;
using brim::platform::WatchedEvents;
}  // namespace platform
#endif
