#include "filewatch/internal/KernelWatches.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace brim {

namespace filewatch_detail {
namespace {

const std::string kDirectoryItself;  // the name under which a directory's own end is kept

}  // namespace

void AcquireChain(platform::FileAccess& files, platform::FileChangeSource& source, const std::string& lookupPath,
                  Chain& chain) {
    chain.steps = files.Trace(lookupPath);
    chain.watches.reserve(chain.steps.size());  // so that no watch is taken and then lost to a failed push_back
    for (std::size_t i = 0; i < chain.steps.size(); ++i) {
        const platform::PathStep& step = chain.steps[i];
        // A directory met twice on the way (through a link) is asked for once
        // per kind of events; the kernel widens the one watch.
        std::size_t same = 0;
        while (same < i && (chain.steps[same].directory != step.directory || chain.steps[same].leaf != step.leaf)) ++same;
        const auto events = step.leaf ? platform::WatchedEvents::Files : platform::WatchedEvents::Names;
        chain.watches.push_back(same < i ? chain.watches[same] : source.AddDirectory(step.directory, events));
    }
}

Acquisition::Acquisition(platform::CriticalSection& lock, KernelWatches* watches, std::size_t chains)
    : m_lock(lock), m_watches(*watches), m_chains(chains) {
    const platform::LockGuard guard(m_lock);
    m_begun = m_watches.BeginAcquire();
}

Acquisition::~Acquisition() {
    if (m_ended) return;
    const platform::LockGuard guard(m_lock);
    End();
}

void Acquisition::End() noexcept {
    for (const Chain& chain : m_chains) m_watches.EndAcquire(chain);
    m_ended = true;
}

KernelWatches::~KernelWatches() {
    for (const auto& [watch, identity] : m_identityOf) m_source.RemoveDirectory(watch);
    for (const int watch : m_unused) {
        if (m_identityOf.count(watch) == 0) m_source.RemoveDirectory(watch);
    }
}

std::uint64_t KernelWatches::BeginAcquire() noexcept {
    ++m_acquiring;
    return m_reports;
}

void KernelWatches::EndAcquire(const Chain& chain) noexcept {
    // A watch the kernel handed out but nobody attached goes back, once no
    // acquirer can be holding it unattached.
    --m_acquiring;
    for (const platform::DirectoryWatch& watch : chain.watches) {
        if (watch.watch >= 0 && m_identityOf.count(watch.watch) == 0) GiveBack(watch.watch);
    }
    if (m_acquiring > 0) return;
    for (const int watch : m_unused) {
        if (m_identityOf.count(watch) == 0) m_source.RemoveDirectory(watch);
    }
    m_unused.clear();
    m_lastReportOn.clear();
}

void KernelWatches::GiveBack(int watch) noexcept {
    if (m_acquiring > 0) {
        try {
            m_unused.push_back(watch);
            return;
        } catch (const std::bad_alloc&) {  // then at once: at worst an acquirer attaches a watch that says nothing
        }
    }
    m_source.RemoveDirectory(watch);
}

bool KernelWatches::ReportedSince(int watch, const std::string& name, std::uint64_t begun) const {
    for (const std::string* entry : {&name, &kDirectoryItself}) {
        const auto seen = m_lastReportOn.find({watch, *entry});
        if (seen != m_lastReportOn.end() && seen->second > begun) return true;
    }
    return false;
}

KernelWatches::Attached KernelWatches::Attach(Id id, const Chain& chain, std::uint64_t begun, std::string& refused, int& error) {
    Detach(id);
    std::vector<Place>& places = m_chains[id];
    places.reserve(chain.steps.size());
    Attached result = Attached::Helped;
    for (std::size_t i = 0; i < chain.steps.size(); ++i) {
        const platform::PathStep& step = chain.steps[i];
        const platform::DirectoryWatch& watch = chain.watches[i];
        if (watch.watch < 0) {
            if (watch.error == ENOENT || watch.error == ESTALE || watch.error == ENOTDIR) {
                result = Attached::Stale;  // the directory went between the trace and the watch
            } else if (result == Attached::Helped || result == Attached::Partial) {
                result = Attached::Refused;
                refused = step.directory;
                error = watch.error;
            }
            continue;
        }
        if (ReportedSince(watch.watch, step.name, begun)) result = Attached::Stale;
        if (!watch.complete && result == Attached::Helped) result = Attached::Partial;
        Directory& directory = m_directories[watch.directory];
        if (directory.watch != watch.watch) {
            if (directory.watch >= 0) m_identityOf.erase(directory.watch);
            directory.watch = watch.watch;
            m_identityOf[watch.watch] = watch.directory;
        }
        ++directory.users;
        Place place{watch.directory, step.name};
        m_places[place].push_back(Hit{id, step.leaf});
        places.push_back(std::move(place));
    }
    return result;
}

void KernelWatches::Detach(Id id) {
    const auto chain = m_chains.find(id);
    if (chain == m_chains.end()) return;
    for (const Place& place : chain->second) {
        if (const auto uses = m_places.find(place); uses != m_places.end()) {
            std::vector<Hit>& hits = uses->second;
            const auto own = std::find_if(hits.begin(), hits.end(), [id](const Hit& hit) { return hit.record == id; });
            if (own != hits.end()) hits.erase(own);
            if (hits.empty()) m_places.erase(uses);
        }
        const auto directory = m_directories.find(place.first);
        if (directory == m_directories.end() || --directory->second.users > 0) continue;
        if (directory->second.watch >= 0) {
            m_identityOf.erase(directory->second.watch);
            GiveBack(directory->second.watch);
        }
        m_directories.erase(directory);
    }
    m_chains.erase(chain);
}

void KernelWatches::DetachAll() {
    while (!m_chains.empty()) Detach(m_chains.begin()->first);
}

void KernelWatches::Route(const platform::FileChange& change, std::vector<Hit>& hits) {
    using Kind = platform::FileChange::Kind;
    if (m_acquiring > 0 && change.watch >= 0 && change.kind != Kind::Written && change.kind != Kind::Modified &&
        change.kind != Kind::Attributes) {
        // An entry renamed, created or removed, or a directory gone, while a
        // chain through it was being acquired: that chain may be out of date.
        m_lastReportOn[{change.watch, change.kind == Kind::DirectoryGone ? kDirectoryItself : change.name}] = ++m_reports;
    }
    const auto found = m_identityOf.find(change.watch);
    if (found == m_identityOf.end()) return;  // a watch given back meanwhile
    const platform::FileIdentity identity = found->second;
    if (change.kind != Kind::DirectoryGone) {
        if (const auto uses = m_places.find(Place{identity, change.name}); uses != m_places.end()) {
            hits.insert(hits.end(), uses->second.begin(), uses->second.end());
        }
        return;
    }
    // Deleted, moved or unmounted: the watch no longer says anything about
    // the way, so every record through it is traced again, and it goes back.
    for (auto it = m_places.lower_bound(Place{identity, std::string()}); it != m_places.end() && it->first.first == identity; ++it) {
        for (const Hit& hit : it->second) hits.push_back(Hit{hit.record, false});
    }
    m_identityOf.erase(found);
    m_directories[identity].watch = -1;
    GiveBack(change.watch);
}

}  // namespace filewatch_detail

}  // namespace brim
