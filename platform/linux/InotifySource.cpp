#include <BrimSubscriber/platform/FileChangeSource.h>

#include "platform/internal/WakeUpFd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

namespace brim {

namespace platform {
namespace {

using Kind = FileChange::Kind;

// The directory's entries appearing and going: what changes a path's way to its file.
constexpr std::uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// And what happens to a file in it.
constexpr std::uint32_t kFileEvents = kNameEvents | IN_CLOSE_WRITE | IN_ATTRIB | IN_MODIFY;
// Every watch asks for the directory's own end too, and widens what an
// earlier request for the same directory asked for instead of replacing it.
constexpr std::uint32_t kAlways = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;

// The kind of one event, or false for what a file watcher does not need
// (opens and reads).
bool KindOf(std::uint32_t mask, Kind& kind) {
    if ((mask & IN_Q_OVERFLOW) != 0) {
        kind = Kind::Overflow;
    } else if ((mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
        kind = Kind::DirectoryGone;
    } else if ((mask & kFileEvents) == 0) {
        return false;
    } else if ((mask & IN_CLOSE_WRITE) != 0) {
        kind = Kind::Written;
    } else if ((mask & IN_MOVED_TO) != 0) {
        kind = Kind::MovedIn;
    } else if ((mask & IN_ATTRIB) != 0) {
        kind = Kind::Attributes;
    } else if ((mask & IN_MODIFY) != 0) {
        kind = Kind::Modified;
    } else if ((mask & IN_CREATE) != 0) {
        kind = Kind::Created;
    } else {
        kind = Kind::Removed;  // IN_DELETE or IN_MOVED_FROM, the rest of kFileEvents
    }
    return true;
}

// File systems whose files change without this kernel knowing, by statfs's
// f_type: the kernel reports only what its own processes do there, so a
// watcher must keep polling them. Network and cluster file systems (their
// other clients and servers write unseen) and FUSE (its daemon serves what it
// likes: sshfs, GlusterFS, virtiofs, NTFS through ntfs-3g). Every other type
// is taken as local.
constexpr std::uint32_t kIncompleteFileSystems[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2, SMB3
    0x65735546,  // FUSE
    0x00C36400,  // Ceph
    0x01021997,  // 9P (Plan 9 shares of virtual machines and WSL)
    0x5346414F,  // AFS (OpenAFS)
    0x6B414653,  // AFS (the kernel's kAFS)
    0x73757245,  // Coda
    0x564C,      // NCP (NetWare)
    0x7461636F,  // OCFS2
    0x01161970,  // GFS2
    0x0BD00BD0,  // Lustre
    0x47504653,  // GPFS
    0x19830326,  // BeeGFS
    0x20030528,  // OrangeFS
    0x786F4256,  // VirtualBox shared folders
    0x7C7C6673,  // Parallels shared folders
};

// Whether this kernel sees every change made in the directory open as `dir`;
// false when its file system cannot be told.
bool SeesEveryChange(int dir) {
    struct statfs fs {};
    if (::fstatfs(dir, &fs) != 0) return false;
    const auto type = static_cast<std::uint32_t>(fs.f_type);
    return std::find(std::begin(kIncompleteFileSystems), std::end(kIncompleteFileSystems), type) ==
           std::end(kIncompleteFileSystems);
}

FileIdentity IdentityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

class InotifySource final : public FileChangeSource {
public:
    explicit InotifySource(int fd) : m_fd(fd) {}
    ~InotifySource() override { ::close(m_fd); }

    DirectoryWatch AddDirectory(const std::string& utf8Path, WatchedEvents events) override {
        const std::uint32_t mask = (events == WatchedEvents::Files ? kFileEvents : kNameEvents) | kAlways;
        // The watch goes on the directory opened here, through its descriptor,
        // so that the identity returned is the one watched even if the name is
        // swapped meanwhile. Without /proc, the name is watched and the
        // identity checked before and after.
        DirectoryWatch result;
        const int dir = ::open(utf8Path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat st {};
        if (dir < 0 || ::fstat(dir, &st) != 0) {
            result.error = errno;
            if (dir >= 0) ::close(dir);
            return result;
        }
        result.directory = IdentityOf(st);
        int watch = ::inotify_add_watch(m_fd, ("/proc/self/fd/" + std::to_string(dir)).c_str(), mask);
        if (watch < 0 && errno == ENOENT) {
            watch = ::inotify_add_watch(m_fd, utf8Path.c_str(), mask);
            struct stat after {};
            if (watch >= 0 && (::stat(utf8Path.c_str(), &after) != 0 || IdentityOf(after) != result.directory)) {
                watch = -1;
                errno = ESTALE;  // swapped meanwhile; the caller tries again later
            }
        }
        result.error = watch < 0 ? errno : 0;
        result.watch = watch < 0 ? -1 : watch;
        result.complete = watch >= 0 && SeesEveryChange(dir);
        ::close(dir);
        return result;
    }

    void RemoveDirectory(int watch) override { static_cast<void>(::inotify_rm_watch(m_fd, watch)); }

    void Wait(int timeoutMs, std::uint64_t since) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;) {
            // Only one thread waits at a time, so the interrupt descriptor can
            // be drained here without taking a wake-up meant for another.
            if (InterruptCount() != since) {
                m_interrupt.Drain();
                return;
            }
            int wait = timeoutMs;
            if (timeoutMs >= 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                wait = left > 0 ? static_cast<int>(left) : 0;
            }
            std::array<pollfd, 2> fds{pollfd{m_fd, POLLIN, 0}, pollfd{m_interrupt.Fd(), POLLIN, 0}};
            const int ready = ::poll(fds.data(), fds.size(), wait);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0 || (fds[0].revents & POLLIN) != 0 || (fds[1].revents & POLLIN) == 0) {
                return;  // time-out, reports, or an error that waiting again would repeat
            }
            // The interrupt descriptor is readable. A new interrupt shows in
            // the count at the top; one already answered only left the
            // descriptor readable, and is drained so as not to spin.
            if (InterruptCount() == since) m_interrupt.Drain();
        }
    }

    void ReadPending(std::vector<FileChange>& changes) override {
        alignas(inotify_event) std::array<char, 16384> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init)
        for (;;) {
            const ssize_t length = ::read(m_fd, buffer.data(), buffer.size());
            if (length <= 0) {
                if (length < 0 && errno == EINTR) continue;
                return;  // EAGAIN: all read
            }
            for (ssize_t offset = 0; offset < length;) {
                inotify_event header{};
                std::memcpy(&header, buffer.data() + offset, sizeof header);
                Kind kind{};
                if (KindOf(header.mask, kind)) {
                    // The name is NUL-padded to its field's length.
                    const char* name = buffer.data() + offset + sizeof header;
                    changes.push_back(FileChange{header.wd, std::string(name, ::strnlen(name, header.len)), kind});
                }
                offset += static_cast<ssize_t>(sizeof header + header.len);
            }
        }
    }

protected:
    void Wake() override { m_interrupt.Signal(); }

private:
    int m_fd;
    detail::WakeUpFd m_interrupt;
};

}  // namespace

std::unique_ptr<FileChangeSource> MakeKernelFileChangeSource() {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return nullptr;
    try {
        return std::make_unique<InotifySource>(fd);
    } catch (const std::system_error&) {  // no descriptor for the interrupt
        ::close(fd);
        return nullptr;
    }
}

}  // namespace platform

}  // namespace brim
