#include <BrimSubscriber/platform/FileChangeSource.h>

#include <BrimSubscriber/platform/Lock.h>

#include <chrono>
#include <condition_variable>

namespace platform {
namespace {

class SilentSource final : public FileChangeSource {
public:
    int AddDirectory(const std::string& /*utf8Path*/) override { return -1; }
    void RemoveDirectory(int /*watch*/) override {}

    void Wait(int timeoutMs, std::uint64_t since, std::vector<FileChange>& /*changes*/) override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        UniqueLock lock(m_mutex);
        while (InterruptCount() == since) {
            if (timeoutMs < 0) {
                m_woken.wait(lock.ForWait());
            } else if (m_woken.wait_until(lock.ForWait(), deadline) == std::cv_status::timeout) {
                return;
            }
        }
    }

protected:
    void Wake() override {
        // Under the lock, so that a waiter between its check and its wait
        // cannot miss the notification.
        const LockGuard lock(m_mutex);
        m_woken.notify_all();
    }

private:
    CriticalSection m_mutex;
    std::condition_variable m_woken;
};

}  // namespace

FileChangeSource::~FileChangeSource() = default;

std::unique_ptr<FileChangeSource> MakeSilentFileChangeSource() { return std::make_unique<SilentSource>(); }

}  // namespace platform
