#pragma once

// BrimSubscriber: change notifications between the modules of one process.
//
// This header covers the common case: receivers, subscription handles, the
// hub, the user-interface thread and its message loop, and the version.
//
//   #include <BrimSubscriber/BrimSubscriber.h>
//
//   #include <thread>
//
//   int main() {
//       brim::CWinApp app;                             // this thread is the UI thread
//       brim::Subscription layers(3);                  // first use of the hub, here
//       layers.SetSubscriber([](const brim::NotificationInfo*) { brim::platform::MessageLoop::Current().Quit(); });
//       layers.Subscribe(u"DisplayLayerAdded");
//       std::thread worker([] { brim::SubscriptionManager::Instance().NotifyPost(3, u"DisplayLayerAdded"); });
//       brim::platform::MessageLoop::Current().Run();
//       worker.join();
//   }
//
// The main-thread services (MainThreadDispatcher, UIWatchdog), file watching
// (FileWatcher, FileSubscription, NFData), the payloads and key catalogues,
// and the toolkit adapters have headers of their own under
// <BrimSubscriber/mainthread/>, <BrimSubscriber/filewatch/>,
// <BrimSubscriber/payloads/> and <BrimSubscriber/platform/glib|qt/>.
//
// Names: every type, function, constant and typedef of the library is in
// namespace brim, the platform layer's in brim::platform (brim::CString,
// brim::notify_all, brim::platform::MessageLoop, brim::sel_change::ROUTE).
// By default each header also declares its names where older code finds
// them, by using-declarations at global scope and in the namespaces platform,
// sel_change and file_update (real namespaces, which a client may open too).
// A client that defines BRIM_NO_GLOBAL_NAMES before its first include of a
// library header gets brim:: only, and may use UINT, CString, CWnd,
// notify_all or its own namespace platform freely. A client that writes
// `using namespace brim;` defines it too: otherwise platform:: (sel_change::,
// file_update::) names two namespaces there and is ambiguous. Macros keep
// their BRIM prefix; the sibling libraries' names (CDataId, Page, HINSTANCE,
// BRIMX::) stay where those libraries declare them.

#include <BrimSubscriber/Version.h>
#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/Subscription.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>
