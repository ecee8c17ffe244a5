#include <BrimSubscriber/filewatch/FileWatcher.h>

#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <utility>

namespace {

// The absolute UTF-8 name under which `path` is looked up, or an empty string
// when the path cannot name a file here. A lone surrogate would be converted
// to U+FFFD and a NUL would cut the name short, and either could then name
// another file than the one meant; such paths are never looked up.
std::string LookupPathOf(const CString& path) {
    if (path.IsEmpty() || !path.IsWellFormed() || path.view().find(u'\0') != std::u16string_view::npos) {
        return {};
    }
    // Resolved once, so that a later change of the working directory cannot
    // move a relative watch onto another file.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path.ToUtf8()), error);
    if (error) return {};
    return absolute.string();
}

// Set when Instance() is destroyed; constant-initialised, so it stays readable
// throughout exit, when handles that outlive the watcher are destroyed.
constinit std::atomic<bool> g_instanceGone{false};

// Whether watchers ask the kernel for help; on unless the application says.
constinit std::atomic<bool> g_kernelNotification{true};

}  // namespace

// A polling thread with its own stop request, so that a thread being stopped
// can never take a request meant for its successor. A successor waits for
// its predecessor to end before it waits on the change source, so one thread
// at a time waits there.
struct FileWatcher::Poller {
    std::atomic<bool> stopRequested{false};  // set under the watcher's m_filesLock
    platform::Event ended;                   // set by the thread as its last act
    std::shared_ptr<Poller> predecessor;     // ending when this one started; null once it has ended
    // Declared last so that it is destroyed (and joined) first.
    platform::Thread thread;
};

FileWatcher& FileWatcher::Instance() {
    static FileWatcher instance;
    return instance;
}

FileWatcher::FileWatcher() : FileWatcher(Options{}) { m_isInstance = true; }

bool FileWatcher::IsInstanceGone() noexcept { return g_instanceGone.load(std::memory_order_acquire); }

void FileWatcher::SetKernelNotification(bool enabled) noexcept {
    g_kernelNotification.store(enabled, std::memory_order_release);
}

bool FileWatcher::IsKernelNotificationEnabled() noexcept { return g_kernelNotification.load(std::memory_order_acquire); }

FileWatcher::FileWatcher(const Options& options)
    : m_fileAccess(options.files != nullptr ? *options.files : platform::SystemFileAccess()),
      m_threadStarter(options.threads != nullptr ? *options.threads : platform::SystemThreadStarter()),
      m_pollIntervalMs(options.pollIntervalMs) {
    if (options.changes != nullptr) {
        m_source = options.changes;
    } else {
        // Without the kernel's help (no inotify instance left) the watcher
        // polls, waiting on a source that reports nothing.
        m_ownSource = platform::MakeKernelFileChangeSource();
        if (!m_ownSource) m_ownSource = platform::MakeSilentFileChangeSource();
        m_source = m_ownSource.get();
    }
    // The polling thread posts through the manager. Reaching it here finishes
    // its construction before this watcher's, so at unload the manager is
    // destroyed after the watcher has stopped its thread.
    SubscriptionManager::Instance();
}

FileWatcher::~FileWatcher() {
    std::shared_ptr<Poller> ending;
    {
        const platform::LockGuard lock(m_filesLock);
        ending = TakeThread();
    }
    JoinThread(ending);
    if (m_isInstance) g_instanceGone.store(true, std::memory_order_release);
}

bool FileWatcher::AddFileWatch(const CString& path) {
    const platform::LockGuard lock(m_filesLock);
    if (const auto found = m_index.find(path.view()); found != m_index.end()) {
        watched_file& file = *found->second;
        CheckFile(file);
        ++file.ref_count;
        return true;
    }

    watched_file record;
    record.path = path;
    record.lookupPath = LookupPathOf(path);
    record.last_write_time = ReadState(record.lookupPath);
    m_files.push_back(std::move(record));
    const FileList::iterator added = std::prev(m_files.end());
    bool registered = false;
    try {
        m_index.emplace(added->path.view(), added);
        AddPlaces(added);
        // A record is only ever kept while a polling thread runs for it.
        registered = m_watchThread != nullptr || StartThread();
    } catch (...) {
        Erase(added);
        throw;
    }
    if (!registered) Erase(added);
    return registered;
}

void FileWatcher::Erase(FileList::iterator record) {
    RemovePlaces(record);
    m_index.erase(record->path.view());  // first: its key views the record's path
    m_files.erase(record);
}

void FileWatcher::RemoveFileWatch(const CString& path) {
    std::shared_ptr<Poller> ending;
    {
        const platform::LockGuard lock(m_filesLock);
        const auto found = m_index.find(path.view());
        if (found == m_index.end()) return;
        if (--found->second->ref_count > 0) return;
        Erase(found->second);
        if (m_files.empty()) ending = TakeThread();
    }
    // Without the lock: the thread may be waiting for it to begin a pass.
    JoinThread(ending);
}

bool FileWatcher::StartThread() {
    auto poller = std::make_shared<Poller>();
    poller->predecessor = m_lastStopped.lock();
    Poller& started = *poller;
    if (!m_threadStarter.Start(started.thread, [this, &started] { WatchThreadFunc(started); },
                               platform::ThreadPriority::Low, "brim-filewatch")) {
        return false;
    }
    m_watchThread = std::move(poller);
    return true;
}

std::shared_ptr<FileWatcher::Poller> FileWatcher::TakeThread() {
    // Taking the poller out under the lock is what makes start and stop safe
    // against each other: from here on an AddFileWatch sees no thread and
    // starts a new one, and only this caller can stop, and wait for, the old.
    std::shared_ptr<Poller> ending = std::move(m_watchThread);
    if (ending) {
        ending->stopRequested = true;
        m_lastStopped = ending;
        m_source->Interrupt();
    }
    return ending;
}

void FileWatcher::JoinThread(const std::shared_ptr<Poller>& poller) {
    // A thread waiting for the lock to begin a pass ends as soon as it gets it.
    if (poller) poller->thread.Join();
}

void FileWatcher::WatchThreadFunc(Poller& poller) {
    if (poller.predecessor) {
        poller.predecessor->ended.Wait();
        poller.predecessor.reset();
    }
    std::vector<platform::FileChange> changes;
    Clock::time_point nextPass = Clock::now() + std::chrono::milliseconds(m_pollIntervalMs.load(std::memory_order_relaxed));
    for (;;) {
        // Taken before the stop request is looked at, so that a request made
        // after the look still ends the wait.
        const std::uint64_t since = m_source->InterruptCount();
        Clock::time_point wakeAt = nextPass;
        {
            const platform::LockGuard lock(m_filesLock);
            if (poller.stopRequested) break;
            if (const auto quiet = NextQuietDue(); quiet && *quiet < wakeAt) wakeAt = *quiet;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now()).count();
        changes.clear();
        m_source->Wait(static_cast<int>(std::clamp<std::int64_t>(wait, 0, 0x7FFFFFFF)), since, changes);

        const platform::LockGuard lock(m_filesLock);
        if (poller.stopRequested) break;
        try {
            // Lost events: a full pass at once, as if its time had come.
            if (HandleChanges(changes)) nextPass = Clock::now();
            RunQuietChecks();
            if (Clock::now() >= nextPass) {
                WatchDirectories();
                RunPass();
                m_passCount.fetch_add(1, std::memory_order_release);
                nextPass = Clock::now() + std::chrono::milliseconds(m_pollIntervalMs.load(std::memory_order_relaxed));
            }
        } catch (const std::exception&) {
            // Out of memory while posting: the record keeps its old state, so
            // the next pass tries again. Nobody could receive the exception.
        }
    }
    poller.ended.Set();
}

namespace {

// "<directory>/<name>" of a path, split at its last separator.
std::pair<std::string, std::string> SplitPlace(const std::string& place) {
    const std::size_t slash = place.rfind('/');
    return {place.substr(0, slash == 0 ? 1 : slash), place.substr(slash + 1)};
}

std::string PlaceOf(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

}  // namespace

void FileWatcher::AddPlaces(FileList::iterator record) {
    if (record->lookupPath.empty()) return;  // never handed to the file system
    record->places.push_back(record->lookupPath);
    // A link is reported where its file lives as well.
    std::error_code error;
    const std::string resolved = std::filesystem::canonical(record->lookupPath, error).string();
    if (!error && resolved != record->lookupPath) record->places.push_back(resolved);
    const bool kernel = IsKernelNotificationEnabled();
    for (const std::string& place : record->places) {
        m_recordsAt.emplace(place, record);
        const std::string directory = SplitPlace(place).first;
        Directory& watched = m_directories[directory];
        if (watched.users++ == 0 && kernel) Watch(directory, watched);
    }
}

void FileWatcher::RemovePlaces(FileList::iterator record) {
    for (const std::string& place : record->places) {
        for (auto [it, end] = m_recordsAt.equal_range(place); it != end; ++it) {
            if (it->second == record) {
                m_recordsAt.erase(it);
                break;
            }
        }
        const std::string directory = SplitPlace(place).first;
        const auto found = m_directories.find(directory);
        if (found == m_directories.end() || --found->second.users > 0) continue;
        Release(found->second);
        m_directories.erase(found);
    }
    record->places.clear();
    std::erase(m_quietFiles, record);
}

void FileWatcher::WatchDirectories() {
    // At each pass: directories that had no watch (they did not exist yet,
    // the watch limit was reached, or a watch ended) get one when they can;
    // with the kernel's help switched off, every watch goes.
    const bool kernel = IsKernelNotificationEnabled();
    for (auto& [directory, watched] : m_directories) {
        if (kernel && watched.watch < 0) {
            Watch(directory, watched);
        } else if (!kernel) {
            Release(watched);
        }
    }
}

void FileWatcher::Watch(const std::string& directory, Directory& watched) {
    watched.watch = m_source->AddDirectory(directory);
    if (watched.watch >= 0) m_directoryOfWatch[watched.watch] = directory;
}

void FileWatcher::Release(Directory& watched) {
    if (watched.watch < 0) return;
    m_source->RemoveDirectory(watched.watch);
    m_directoryOfWatch.erase(watched.watch);
    watched.watch = -1;
}

bool FileWatcher::HandleChanges(const std::vector<platform::FileChange>& changes) {
    using Kind = platform::FileChange::Kind;
    bool overflow = false;
    for (const platform::FileChange& change : changes) {
        if (change.kind == Kind::Overflow) {
            overflow = true;  // something was lost: look at everything, now
            continue;
        }
        const auto directory = m_directoryOfWatch.find(change.watch);
        if (directory == m_directoryOfWatch.end()) continue;  // a watch released meanwhile
        if (change.kind == Kind::DirectoryGone) {
            // Polling looks after its files; the next pass watches the
            // directory again if it comes back. A directory moved away keeps
            // its watch in the kernel until it is released here.
            if (const auto watched = m_directories.find(directory->second); watched != m_directories.end()) {
                Release(watched->second);
            }
            continue;
        }
        const auto [first, last] = m_recordsAt.equal_range(PlaceOf(directory->second, change.name));
        for (auto it = first; it != last; ++it) {
            watched_file& file = *it->second;
            switch (change.kind) {
                case Kind::Written:     // the save is complete: the same examination as a pass
                case Kind::MovedIn:
                case Kind::Attributes:
                    file.quietDue.reset();
                    CheckFile(file);
                    break;
                case Kind::Modified:  // perhaps still being written: wait until it is closed, or quiet
                case Kind::Created:
                    if (!file.quietDue) {
                        m_quietFiles.push_back(it->second);
                        file.writtenSince = Clock::now();
                    }
                    file.quietDue = Clock::now() + std::chrono::milliseconds(kQuietIntervalMs);
                    break;
                default:
                    break;  // removed: a missing file is not a change
            }
        }
    }
    return overflow;
}

void FileWatcher::RunQuietChecks() {
    const Clock::time_point now = Clock::now();
    for (auto it = m_quietFiles.begin(); it != m_quietFiles.end();) {
        watched_file& file = **it;
        if (!file.quietDue) {
            it = m_quietFiles.erase(it);  // examined meanwhile
        } else if (*file.quietDue <= now) {
            file.quietDue.reset();
            it = m_quietFiles.erase(it);
            CheckFile(file);
        } else {
            ++it;
        }
    }
}

std::optional<FileWatcher::Clock::time_point> FileWatcher::NextQuietDue() const {
    std::optional<Clock::time_point> next;
    for (const FileList::iterator& file : m_quietFiles) {
        if (file->quietDue && (!next || *file->quietDue < *next)) next = file->quietDue;
    }
    return next;
}

std::optional<platform::FileInfo> FileWatcher::ReadState(const std::string& lookupPath) const {
    if (lookupPath.empty()) return std::nullopt;
    return m_fileAccess.Find(lookupPath);
}

void FileWatcher::RunPass() {
    // A file the kernel saw being written is left to its close or its quiet
    // interval, so that a pass never reports it half written; one written for
    // longer than a whole period (a busy log) is examined all the same.
    const Clock::time_point writingLongerThan = Clock::now() - std::chrono::milliseconds(m_pollIntervalMs.load(std::memory_order_relaxed));
    for (watched_file& file : m_files) {
        if (!file.quietDue || file.writtenSince <= writingLongerThan) CheckFile(file);
    }
}

void FileWatcher::CheckFile(watched_file& file) {
    const std::optional<platform::FileInfo> current = ReadState(file.lookupPath);
    // A file that is not there is never reported; its last state is kept, so
    // that it is reported when it comes back different.
    if (!current || current == file.last_write_time) return;
    // Left for the next pass when it cannot be opened now.
    if (!m_fileAccess.CanOpenForReading(file.lookupPath)) return;
    // Stored only once the notification is queued: when the queue is full (or
    // queuing throws), the change is still seen by the next pass.
    if (SubscriptionManager::Instance().TryNotifyPost(FILE_SUBSCRIPTION_TYPE, file.path)) {
        file.last_write_time = current;
    }
}

void FileWatcher::SetPollIntervalForTesting(std::uint32_t pollIntervalMs) noexcept {
    m_pollIntervalMs.store(pollIntervalMs, std::memory_order_relaxed);
}

void FileWatcher::RunPassForTesting() {
    const platform::LockGuard lock(m_filesLock);
    RunPass();
}

std::uint64_t FileWatcher::GetPassCountForTesting() const noexcept {
    return m_passCount.load(std::memory_order_acquire);
}

std::vector<std::pair<CString, int>> FileWatcher::GetWatchedPaths() const {
    const platform::LockGuard lock(m_filesLock);
    std::vector<std::pair<CString, int>> paths;
    paths.reserve(m_files.size());
    for (const watched_file& file : m_files) paths.emplace_back(file.path, file.ref_count);
    return paths;
}

std::size_t FileWatcher::GetKernelWatchCount() const {
    const platform::LockGuard lock(m_filesLock);
    return m_directoryOfWatch.size();
}

bool FileWatcher::IsPolling() const {
    const platform::LockGuard lock(m_filesLock);
    return m_watchThread != nullptr && !m_watchThread->stopRequested;
}
