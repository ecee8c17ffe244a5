#pragma once

// The module's load and unload entry, as the loading application sees it.
//
// When the system loads the library, before anyone can call into it, the
// module has BuildMatchR check its version and build (CheckDllVersion). If
// the check passes, the module records its own handle, under which its
// resources are found, and hands that handle to the base library
// (BRIMX::LoadDLLResourceDLL). If the check refuses, nothing is recorded and
// nothing else is done.
//
// A shared library cannot make its own load fail here, so a refused module
// stays mapped, marked module_refused, and the loader is expected to ask and
// unload it. Nothing in the library depends on the registration, so a refused
// module that is used anyway does not crash; it is simply not supported.
//
//   void* lib = dlopen("libBrimSubscriber.so.6", RTLD_NOW);
//   auto state = reinterpret_cast<module_state_t (*)()>(dlsym(lib, "BrimSubscriberModuleState"));
//   if (state() != module_attached) dlclose(lib);   // refused: as if the load had failed
//
// An application linked against the library at build time calls
// BrimSubscriberModuleState() once at start instead.
//
// When the library is unloaded, the registration is withdrawn, then the
// singletons (SubscriptionManager, FileWatcher, MainThreadDispatcher,
// UIWatchdog) are destroyed in the reverse order of their first Instance()
// call, then the library's key constants. At process exit the runtime
// destroys the static objects of every module first and withdraws the
// registration after them.
//
// Threading: both queries may be called from any thread.
// Ownership/Lifetime: the module handle names this loaded library and is
// valid only while it stays loaded; nothing is opened or owned through it.
// Re-entrancy: the load and unload steps take no lock, start no thread and
// create no window; they call only BuildMatchR and BrimBaseR.

#include <BrimSubscriber/BrimBaseR/ResourceModule.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/Version.h>

namespace brim {

// The module's version: one component per byte, the major component in the
// top byte (0x05050100 for 5.5.1.0).
inline constexpr unsigned int BRIMSUBSCRIBER_VERSION =
    (BRIMSUBSCRIBER_VERSION_MAJOR << 24) | (BRIMSUBSCRIBER_VERSION_MINOR << 16) |
    (BRIMSUBSCRIBER_VERSION_PATCH << 8) | BRIMSUBSCRIBER_VERSION_TWEAK;

enum module_state_t {
    module_not_attached = 0,  // the load step has not run
    module_attached = 1,      // the version check passed and the module is registered
    module_refused = 2,       // the version check refused the load; nothing is registered
    module_detached = 3,      // the unload step has withdrawn the registration
};

// The state left by the module's load and unload steps.
extern "C" BRIMSUBSCRIBER_API module_state_t BrimSubscriberModuleState() noexcept;

// The handle under which the module's resources are found while it is
// attached (the one handed to BRIMX::LoadDLLResourceDLL); null otherwise.
extern "C" BRIMSUBSCRIBER_API HINSTANCE BrimSubscriberModuleHandle() noexcept;

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::BRIMSUBSCRIBER_VERSION;
using brim::BrimSubscriberModuleHandle;
using brim::BrimSubscriberModuleState;
using brim::module_attached;
using brim::module_detached;
using brim::module_not_attached;
using brim::module_refused;
using brim::module_state_t;
#endif
