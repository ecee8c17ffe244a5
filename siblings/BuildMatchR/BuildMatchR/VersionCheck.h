#pragma once

// The load-time version check: may a module of the given version and build
// be loaded into this release of the application?
//
//   if (!CheckDllVersion(0x05050100, __FILE__, __DATE__ " " __TIME__)) {
//       ...   // refuse the load
//   }
//
// A module fits when its version has the major and minor components of the
// release this library was built for: modules of one release share their
// interfaces, while the patch and build components may differ between them.
// The source path and build stamp identify the build being checked; they must
// be given but are not compared, since the modules of a release are built
// independently of one another.
//
// Threading: may be called from any thread, also while a module is being
// loaded; it keeps no state and takes no lock.
// Ownership: the strings are only read during the call.

#include "BuildMatchRExport.h"

// Returns true when the module may be loaded. `version` has one component per
// byte, the major component in the top byte (0x05050100 is 5.5.1.0).
// `sourcePath` and `buildDateTime` must be non-null and non-empty, or the
// module is refused. Never throws.
BUILDMATCHR_API bool CheckDllVersion(unsigned int version, const char* sourcePath, const char* buildDateTime) noexcept;
