#include <BrimSubscriber/filewatch/FileWatcher.h>

#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>

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

}  // namespace

struct FileWatcher::Poller {
    platform::Event stop;
    std::atomic<bool> stopRequested{false};  // set under the watcher's m_filesLock
    // Declared last so that it is destroyed (and joined) first.
    platform::Thread thread;
};

FileWatcher& FileWatcher::Instance() {
    static FileWatcher instance;
    return instance;
}

FileWatcher::FileWatcher() : FileWatcher(Options{}) { m_isInstance = true; }

bool FileWatcher::IsInstanceGone() noexcept { return g_instanceGone.load(std::memory_order_acquire); }

FileWatcher::FileWatcher(const Options& options)
    : m_fileAccess(options.files != nullptr ? *options.files : platform::SystemFileAccess()),
      m_threadStarter(options.threads != nullptr ? *options.threads : platform::SystemThreadStarter()),
      m_pollIntervalMs(options.pollIntervalMs) {
    // The polling thread posts through the manager. Reaching it here finishes
    // its construction before this watcher's, so at unload the manager is
    // destroyed after the watcher has stopped its thread.
    SubscriptionManager::Instance();
}

FileWatcher::~FileWatcher() {
    std::unique_ptr<Poller> ending;
    {
        const platform::LockGuard lock(m_filesLock);
        ending = TakeThread();
    }
    JoinThread(std::move(ending));
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

    watched_file record{path, LookupPathOf(path), std::nullopt, 1};
    record.last_write_time = ReadState(record.lookupPath);
    m_files.push_back(std::move(record));
    const FileList::iterator added = std::prev(m_files.end());
    bool registered = false;
    try {
        m_index.emplace(added->path.view(), added);
        // A record is only ever kept while a polling thread runs for it.
        registered = m_watchThread != nullptr || StartThread();
    } catch (...) {
        m_index.erase(path.view());
        m_files.erase(added);
        throw;
    }
    if (!registered) {
        m_index.erase(path.view());
        m_files.erase(added);
    }
    return registered;
}

void FileWatcher::RemoveFileWatch(const CString& path) {
    std::unique_ptr<Poller> ending;
    {
        const platform::LockGuard lock(m_filesLock);
        const auto found = m_index.find(path.view());
        if (found == m_index.end()) return;
        if (--found->second->ref_count > 0) return;
        const FileList::iterator record = found->second;
        m_index.erase(found);  // first: its key views the record's path
        m_files.erase(record);
        if (m_files.empty()) ending = TakeThread();
    }
    // Without the lock: the thread may be waiting for it to begin a pass.
    JoinThread(std::move(ending));
}

bool FileWatcher::StartThread() {
    auto poller = std::make_unique<Poller>();
    Poller& started = *poller;
    if (!m_threadStarter.Start(started.thread, [this, &started] { WatchThreadFunc(started); },
                               platform::ThreadPriority::Low, "brim-filewatch")) {
        return false;
    }
    m_watchThread = std::move(poller);
    return true;
}

std::unique_ptr<FileWatcher::Poller> FileWatcher::TakeThread() {
    // Taking the poller out under the lock is what makes start and stop safe
    // against each other: from here on an AddFileWatch sees no thread and
    // starts a new one, and only this caller can stop, and wait for, the old.
    std::unique_ptr<Poller> ending = std::move(m_watchThread);
    if (ending) {
        ending->stopRequested = true;
        ending->stop.Set();
    }
    return ending;
}

void FileWatcher::JoinThread(std::unique_ptr<Poller> poller) {
    // A thread waiting for the lock to begin a pass ends as soon as it gets it.
    if (poller) poller->thread.Join();
}

void FileWatcher::WatchThreadFunc(Poller& poller) {
    while (!poller.stop.Wait(m_pollIntervalMs.load(std::memory_order_relaxed))) {
        const platform::LockGuard lock(m_filesLock);
        if (poller.stopRequested) return;
        try {
            RunPass();
        } catch (const std::exception&) {
            // Out of memory while posting: the record keeps its old state, so
            // the next pass tries again. Nobody could receive the exception.
        }
        m_passCount.fetch_add(1, std::memory_order_release);
    }
}

std::optional<platform::FileInfo> FileWatcher::ReadState(const std::string& lookupPath) const {
    if (lookupPath.empty()) return std::nullopt;
    return m_fileAccess.Find(lookupPath);
}

void FileWatcher::RunPass() {
    for (watched_file& file : m_files) CheckFile(file);
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

bool FileWatcher::IsPolling() const {
    const platform::LockGuard lock(m_filesLock);
    return m_watchThread != nullptr && !m_watchThread->stopRequested;
}
