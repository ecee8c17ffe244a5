#include <BrimSubscriber/platform/FileChangeSource.h>

#include <BrimSubscriber/platform/Event.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace brim {

namespace platform {
namespace {

class SilentSource final : public FileChangeSource {
public:
    DirectoryWatch AddDirectory(const std::string& /*utf8Path*/, WatchedEvents /*events*/) override {
        return DirectoryWatch{-1, {}, ENOSYS, false};
    }
    void RemoveDirectory(int /*watch*/) override {}
    void ReadPending(std::vector<FileChange>& /*changes*/) override {}

    void Wait(int timeoutMs, std::uint64_t since) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        // A wake-up left by an interrupt already answered only costs one more look.
        while (InterruptCount() == since) {
            std::uint32_t wait = kInfinite;
            if (timeoutMs >= 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                wait = static_cast<std::uint32_t>(std::max<std::int64_t>(left, 0));
            }
            if (!m_woken.Wait(wait)) return;
        }
    }

protected:
    void Wake() override { m_woken.Set(); }

private:
    Event m_woken;
};

}  // namespace

FileChangeSource::~FileChangeSource() = default;

std::unique_ptr<FileChangeSource> MakeSilentFileChangeSource() { return std::make_unique<SilentSource>(); }

}  // namespace platform

}  // namespace brim
