#pragma once

// File look-up, trial opening and path tracing. The object that uses it takes
// a FileAccess, the system's by default, so that a test can script what one
// object sees.
//
//   if (auto info = platform::SystemFileAccess().Find("/data/line12.xyz")) {
//       use(info->lastWriteNs, info->size, info->identity);
//   }
//
// Find reports a regular file only: a directory, device, FIFO, socket or a
// path that names nothing is "not found". Symbolic links are followed, so the
// file reported is the file the path reaches, with its identity (device and
// inode): two names of one file report the same identity, and a file replaced
// under its name reports another. A path with an embedded NUL names nothing.
// CanOpenForReading opens the path for reading without ever blocking (a FIFO
// or device would otherwise wait for a peer) and without acquiring a
// controlling terminal, checks that what was opened is a regular file, and
// closes it again.
// Trace lists every directory entry that the path's resolution looks up, in
// order: each component of the path and, through each symbolic link met, each
// component of its target. Renaming, removing or creating any of those entries
// can change the file that the path reaches; nothing else can.
//
// Threading: the system's implementation may be used from any thread. One
// given to an object must be too, and must outlive the object.

#include <BrimSubscriber/platform/PlatformExport.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brim {

namespace platform {

// Which file or directory the kernel means: its device and inode.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

struct FileInfo {
    std::int64_t lastWriteNs = 0;  // last-write time, nanoseconds since the epoch
    std::uint64_t size = 0;        // bytes
    FileIdentity identity;         // the file itself, links followed
    friend bool operator==(const FileInfo&, const FileInfo&) = default;
};

// One entry that a path's resolution looks up: `name` in `directory`.
struct PathStep {
    std::string directory;  // absolute, free of links, "." and ".."
    std::string name;
    // True for the entry the whole path ends at (the file itself); false for
    // a directory on the way or a symbolic link, which only lead to it.
    bool leaf = false;
    friend bool operator==(const PathStep&, const PathStep&) = default;
};

class BRIM_PLATFORM_API FileAccess {
public:
    virtual ~FileAccess();
    [[nodiscard]] virtual std::optional<FileInfo> Find(const std::string& utf8Path) = 0;
    [[nodiscard]] virtual bool CanOpenForReading(const std::string& utf8Path) = 0;
    // The entries `absoluteUtf8Path` is resolved through, as the system
    // resolves it now. The list ends at the first entry that does not exist
    // or cannot be followed (not a directory, no permission, 40 links); that
    // entry is included, since its appearance would change the path. The
    // system's tracing unless overridden.
    [[nodiscard]] virtual std::vector<PathStep> Trace(const std::string& absoluteUtf8Path);
};

// The system's file access.
BRIM_PLATFORM_API FileAccess& SystemFileAccess();

}  // namespace platform

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
namespace platform {
using brim::platform::FileAccess;
using brim::platform::FileIdentity;
using brim::platform::FileInfo;
using brim::platform::PathStep;
using brim::platform::SystemFileAccess;
}  // namespace platform
#endif
