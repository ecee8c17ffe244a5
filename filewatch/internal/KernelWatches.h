#pragma once

// KernelWatches: the kernel's directory watches a file watcher holds, and
// which watched records each report concerns.
//
// A record's path reaches its file through a chain of directory entries (the
// path's components, and those of every link met on the way). Each entry is
// a place, (directory identity, name); the last is the file's own, a "leaf",
// where writes and closes are reported, and the others are where a rename or
// a swapped link would change the file the path reaches. A directory is
// watched once, keyed by its identity (device and inode), however many
// records pass through it and however their paths spell it; the watch goes
// back to the kernel when the last place in it is withdrawn.
//
//   Chain chain = AcquireChain(files, source, "/survey/link/line.xyz");  // without the lock
//   ... under the lock:
//   watches.Attach(id, chain, begun, &refused, &error);
//   watches.Route(change, hits);   // {id, leaf} for each record concerned
//
// Concurrency: the watcher calls every member under its lock, except
// AcquireChain, which makes the file-system calls (tracing the path and
// asking the kernel for watches) and touches no state, so that it runs
// without the lock. Chains acquired that way may be out of date by the time
// they are attached, and a watch handed out by the kernel may be one that
// another thread is giving back; BeginAcquire and EndAcquire bracket each
// acquisition so that neither can go unnoticed: no watch is given back while
// an acquisition is in flight, and a report on a directory of the chain
// during the acquisition marks the attached chain stale.

#include <BrimSubscriber/platform/FileAccess.h>
#include <BrimSubscriber/platform/FileChangeSource.h>
#include <BrimSubscriber/platform/Lock.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brim {

namespace filewatch_detail {

// The way to one file as traced, with the watch taken on each step's directory.
struct Chain {
    std::vector<platform::PathStep> steps;
    std::vector<platform::DirectoryWatch> watches;  // one per step
};

// Traces `lookupPath` into `chain` and watches each step's directory: file
// events where the file itself lives, names elsewhere. Makes file-system calls
// and keeps no state: called without the watcher's lock. Should it throw, the
// watches taken so far are in `chain`, for EndAcquire.
void AcquireChain(platform::FileAccess& files, platform::FileChangeSource& source, const std::string& lookupPath,
                  Chain& chain);

class KernelWatches {
public:
    using Id = std::uint64_t;

    explicit KernelWatches(platform::FileChangeSource& source) : m_source(source) {}
    KernelWatches(const KernelWatches&) = delete;
    KernelWatches& operator=(const KernelWatches&) = delete;
    // Gives every watch back.
    ~KernelWatches();

    // Brackets an acquisition: BeginAcquire before AcquireChain, EndAcquire
    // with its chain once the chain is attached or dropped.
    [[nodiscard]] std::uint64_t BeginAcquire() noexcept;
    void EndAcquire(const Chain& chain) noexcept;

    enum class Attached {
        Helped,   // every directory on the way is watched, and the kernel sees every change in it
        Partial,  // every one is watched, but one is on a file system changed unseen (network, FUSE)
        Refused,  // the kernel would not watch one (the watch limit, permissions)
        Stale,    // the way changed while the chain was acquired: acquire again
    };
    // Replaces the record's places with those of `chain`, acquired since
    // `begun` (BeginAcquire's value). On Refused, names the directory the
    // kernel refused and the system's reason.
    Attached Attach(Id id, const Chain& chain, std::uint64_t begun, std::string& refused, int& error);
    // Withdraws the record's places; watches left without a place go back.
    void Detach(Id id);
    void DetachAll();
    [[nodiscard]] bool HasChains() const noexcept { return !m_chains.empty(); }

    struct Hit {
        Id record;
        bool leaf;  // the report is about the file itself, not the way to it
    };
    // Appends the records `change` concerns: the users of the entry it
    // names; for a directory that went, every record whose way passed
    // through it (its watch is given back).
    void Route(const platform::FileChange& change, std::vector<Hit>& hits);

    // Directories watched through the kernel now, by identity.
    [[nodiscard]] std::size_t WatchCount() const noexcept { return m_identityOf.size(); }

private:
    struct Directory {
        int watch = -1;  // -1 once the kernel dropped it
        int users = 0;   // places in it
    };
    using Place = std::pair<platform::FileIdentity, std::string>;

    void GiveBack(int watch) noexcept;
    [[nodiscard]] bool ReportedSince(int watch, const std::string& name, std::uint64_t begun) const;

    platform::FileChangeSource& m_source;
    std::map<platform::FileIdentity, Directory> m_directories;
    std::unordered_map<int, platform::FileIdentity> m_identityOf;  // watch -> its directory
    std::map<Place, std::vector<Hit>> m_places;                    // ordered: a directory's places are adjacent
    std::unordered_map<Id, std::vector<Place>> m_chains;           // each attached record's places
    int m_acquiring = 0;                                           // acquisitions in flight
    std::vector<int> m_unused;                                     // to give back when none is
    std::uint64_t m_reports = 0;                                   // reports routed while acquiring
    // (watch, name) -> the last of those that changed the name's entry; name
    // empty: the directory itself went.
    std::map<std::pair<int, std::string>, std::uint64_t> m_lastReportOn;
};

// One acquisition of chains: begun under the watcher's lock as it is made,
// its chains acquired without the lock, attached and ended under the lock
// again; ended on every way out, should an acquisition throw.
class Acquisition {
public:
    // Takes `lock` to begin; `watches` is guarded by it.
    Acquisition(platform::CriticalSection& lock, KernelWatches* watches, std::size_t chains);
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;
    ~Acquisition();

    // Without the lock: acquires chain `i` for `lookupPath`.
    void Acquire(std::size_t i, platform::FileAccess& files, platform::FileChangeSource& source, const std::string& lookupPath) {
        AcquireChain(files, source, lookupPath, m_chains[i]);
    }
    [[nodiscard]] const Chain& ChainOf(std::size_t i) const { return m_chains[i]; }
    [[nodiscard]] std::uint64_t Begun() const noexcept { return m_begun; }
    // Under the lock, once every chain is attached or dropped.
    void End() noexcept;

private:
    platform::CriticalSection& m_lock;
    KernelWatches& m_watches;
    std::vector<Chain> m_chains;
    std::uint64_t m_begun = 0;
    bool m_ended = false;
};

}  // namespace filewatch_detail

}  // namespace brim
