#include <BrimSubscriber/platform/FileAccess.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

bool HasEmbeddedNul(const std::string& path) { return path.find('\0') != std::string::npos; }

class SystemFiles final : public FileAccess {
public:
    std::optional<FileInfo> Find(const std::string& utf8Path) override {
        if (utf8Path.empty() || HasEmbeddedNul(utf8Path)) return std::nullopt;
        struct stat st {};
        if (::stat(utf8Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        FileInfo info;
        info.lastWriteNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        info.size = static_cast<std::uint64_t>(st.st_size);
        return info;
    }

    bool CanOpenForReading(const std::string& utf8Path) override {
        if (utf8Path.empty() || HasEmbeddedNul(utf8Path)) return false;
        // O_NONBLOCK: opening a FIFO or a device must not wait for a peer.
        int fd = -1;
        do {
            fd = ::open(utf8Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return false;
        struct stat st {};
        const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        ::close(fd);
        return regular;
    }
};

}  // namespace

FileAccess::~FileAccess() = default;

FileAccess& SystemFileAccess() {
    static SystemFiles files;  // no state: safe to use during exit
    return files;
}

}  // namespace platform
