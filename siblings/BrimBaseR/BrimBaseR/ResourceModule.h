#pragma once

// The base library's resource module: a loaded module tells the base library
// which module handle to use for its resources.
//
//   BRIMX::LoadDLLResourceDLL(self, self);   // at load, after registration
//   HINSTANCE res = BRIMX::GetResourceModule();
//
// Threading: both functions may be called from any thread.
// Ownership: the base library records the handle; it does not open, keep
// open or close the module behind it.

#include "BaseRExport.h"

// An opaque module handle: whatever the loading module uses to name itself.
using HINSTANCE = void*;

namespace BRIMX {

// Records `resourceModule` as the module whose resources the base library
// uses from now on. `instance` is the module making the call; it is not
// kept. Never fails; a null handle is recorded as null.
BRIMBASER_API void LoadDLLResourceDLL(HINSTANCE instance, HINSTANCE resourceModule) noexcept;

// The handle last recorded by LoadDLLResourceDLL, or null if there was none.
BRIMBASER_API HINSTANCE GetResourceModule() noexcept;

}  // namespace BRIMX
