#pragma once

// File look-up and trial opening. The object that uses it takes a FileAccess,
// the system's by default, so that a test can script what one object sees.
//
//   if (auto info = platform::SystemFileAccess().Find("/data/line12.xyz")) {
//       use(info->lastWriteNs, info->size);
//   }
//
// Find reports a regular file only: a directory, device, FIFO, socket or a
// path that names nothing is "not found". Symbolic links are followed, so the
// file reported is the file the path reaches. A path with an embedded NUL
// names nothing.
// CanOpenForReading opens the path for reading without ever blocking (a FIFO
// or device would otherwise wait for a writer) and without acquiring a
// controlling terminal, checks that what was opened is a regular file, and
// closes it again.
//
// Threading: the system's implementation may be used from any thread. One
// given to an object must be too, and must outlive the object.

#include <BrimSubscriber/platform/PlatformExport.h>

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct FileInfo {
    std::int64_t lastWriteNs = 0;  // last-write time, nanoseconds since the epoch
    std::uint64_t size = 0;        // bytes
    friend bool operator==(const FileInfo&, const FileInfo&) = default;
};

class BRIM_PLATFORM_API FileAccess {
public:
    virtual ~FileAccess();
    [[nodiscard]] virtual std::optional<FileInfo> Find(const std::string& utf8Path) = 0;
    [[nodiscard]] virtual bool CanOpenForReading(const std::string& utf8Path) = 0;
};

// The system's file access.
BRIM_PLATFORM_API FileAccess& SystemFileAccess();

}  // namespace platform
