#include <BrimSubscriber/filewatch/FileWatcher.h>

#include "filewatch/internal/WatchCore.h"
#include "filewatch/internal/WatchedFiles.h"

#include <atomic>
#include <utility>

namespace brim {

// The watcher itself holds no state of its own beyond what it was given; the
// process-wide switch and the instance's end are atomics, readable at any
// time, during exit included.

namespace {

// Set when Instance() is destroyed; constant-initialised, so it stays readable
// throughout exit, when handles that outlive the watcher are destroyed.
constinit std::atomic<bool> g_instanceGone{false};

// Whether watchers ask the kernel for help; on unless the application says.
constinit std::atomic<bool> g_kernelNotification{true};

// Without the kernel's help (no inotify instance left) a watcher polls,
// waiting on a source that reports nothing.
std::unique_ptr<platform::FileChangeSource> MakeOwnSource() {
    std::unique_ptr<platform::FileChangeSource> source = platform::MakeKernelFileChangeSource();
    return source ? std::move(source) : platform::MakeSilentFileChangeSource();
}

}  // namespace

FileWatcher& FileWatcher::Instance() {
    static FileWatcher instance;
    return instance;
}

FileWatcher::FileWatcher() : FileWatcher(Options{}) { m_isInstance = true; }

FileWatcher::FileWatcher(const Options& options)
    : m_ownSource(options.changes != nullptr ? nullptr : MakeOwnSource()),
      m_core(std::make_unique<brim::filewatch_detail::WatchCore>(
          options.files != nullptr ? *options.files : platform::SystemFileAccess(),
          options.threads != nullptr ? *options.threads : platform::SystemThreadStarter(),
          options.clock != nullptr ? *options.clock : platform::SystemTickClock(),
          options.changes != nullptr ? *options.changes : *m_ownSource, options.pollIntervalMs)) {}

FileWatcher::~FileWatcher() {
    // m_core stops and joins the polling thread, then releases the records;
    // only then does the source it waited on go.
    if (m_isInstance) g_instanceGone.store(true, std::memory_order_release);
}

bool FileWatcher::IsInstanceGone() noexcept { return g_instanceGone.load(std::memory_order_acquire); }

void FileWatcher::SetKernelNotification(bool enabled) noexcept { g_kernelNotification.store(enabled, std::memory_order_release); }

bool FileWatcher::IsKernelNotificationEnabled() noexcept { return g_kernelNotification.load(std::memory_order_acquire); }

bool FileWatcher::AddFileWatch(const CString& path) { return m_core->Add(path); }

bool FileWatcher::AddFileWatch(std::string_view utf8Path) {
    return brim::filewatch_detail::AcceptUtf8Path(utf8Path, "FileWatcher::AddFileWatch") && AddFileWatch(CString(utf8Path));
}

void FileWatcher::RemoveFileWatch(const CString& path) { m_core->Remove(path); }

bool FileWatcher::RemoveFileWatch(std::string_view utf8Path) {
    if (!brim::filewatch_detail::AcceptUtf8Path(utf8Path, "FileWatcher::RemoveFileWatch")) return false;
    RemoveFileWatch(CString(utf8Path));
    return true;
}

bool FileWatcher::HasKernelHelp(const CString& path) const { return m_core->HasKernelHelp(path); }

std::vector<std::pair<CString, int>> FileWatcher::GetWatchedPaths() const { return m_core->WatchedPaths(); }

bool FileWatcher::IsPolling() const { return m_core->IsPolling(); }

std::size_t FileWatcher::GetKernelWatchCount() const { return m_core->KernelWatchCount(); }

void FileWatcher::SetPollIntervalForTesting(std::uint32_t pollIntervalMs) noexcept { m_core->SetPollInterval(pollIntervalMs); }

void FileWatcher::SetSlowSweepPassesForTesting(std::uint32_t passes) noexcept { m_core->SetSlowSweepPasses(passes); }

void FileWatcher::RunPassForTesting() { m_core->RunPass(); }

std::uint64_t FileWatcher::GetPassCountForTesting() const noexcept { return m_core->PassCount(); }

}  // namespace brim
