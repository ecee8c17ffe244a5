#include <BrimSubscriber/platform/FileAccess.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brim {

namespace platform {
namespace {

bool HasEmbeddedNul(const std::string& path) { return path.find('\0') != std::string::npos; }

FileInfo InfoOf(const struct stat& st) {
    FileInfo info;
    info.lastWriteNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return info;
}

// Splits a path at its separators onto the front of `components`, in order.
void PushComponents(const std::string& path, std::deque<std::string>& components) {
    std::deque<std::string> parts;
    for (std::size_t begin = 0; begin <= path.size();) {
        const std::size_t end = std::min(path.find('/', begin), path.size());
        parts.emplace_back(path, begin, end - begin);
        begin = end + 1;
    }
    components.insert(components.begin(), parts.begin(), parts.end());
}

std::string Join(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string Parent(const std::string& directory) {
    const std::size_t slash = directory.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : directory.substr(0, slash);
}

class SystemFiles final : public FileAccess {
public:
    std::optional<FileInfo> Find(const std::string& utf8Path) override {
        if (utf8Path.empty() || HasEmbeddedNul(utf8Path)) return std::nullopt;
        struct stat st {};
        if (::stat(utf8Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        return InfoOf(st);
    }

    bool CanOpenForReading(const std::string& utf8Path) override {
        if (utf8Path.empty() || HasEmbeddedNul(utf8Path)) return false;
        // O_NONBLOCK: opening a FIFO or a device must not wait for a peer,
        // whatever Find saw at this name a moment before.
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

std::vector<PathStep> FileAccess::Trace(const std::string& absoluteUtf8Path) {
    // Resolves the path as the kernel does, one entry at a time: a link's
    // target replaces the link among the components still to go, and ".."
    // goes up from the directory actually reached, which holds no link.
    std::vector<PathStep> steps;
    if (absoluteUtf8Path.empty() || absoluteUtf8Path[0] != '/' || HasEmbeddedNul(absoluteUtf8Path)) return steps;
    std::deque<std::string> components;
    PushComponents(absoluteUtf8Path, components);
    std::string directory = "/";
    int links = 0;
    while (!components.empty()) {
        const std::string name = std::move(components.front());
        components.pop_front();
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            directory = Parent(directory);
            continue;
        }
        const bool last = std::all_of(components.begin(), components.end(), [](const std::string& c) { return c.empty() || c == "."; });
        steps.push_back(PathStep{directory, name, last && components.empty()});
        const std::string entry = Join(directory, name);
        struct stat st {};
        if (::lstat(entry.c_str(), &st) != 0) break;  // missing: its appearance is the change to see
        if (S_ISLNK(st.st_mode)) {
            steps.back().leaf = false;
            if (++links > 40) break;
            std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
            const ssize_t length = ::readlink(entry.c_str(), target.data(), target.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) break;  // changed meanwhile
            target.resize(static_cast<std::size_t>(length));
            if (target[0] == '/') directory.assign(1, '/');  // the root; assign() keeps GCC 12's -Wrestrict quiet here
            PushComponents(target, components);
        } else if (S_ISDIR(st.st_mode)) {
            directory = entry;
        } else if (!last) {
            break;  // a file with more components after it names nothing
        }
    }
    return steps;
}

FileAccess& SystemFileAccess() {
    static SystemFiles files;  // no state: safe to use during exit
    return files;
}

}  // namespace platform

}  // namespace brim
