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
//       CWinApp app;                                   // this thread is the UI thread
//       Subscription layers(3);                        // first use of the hub, here
//       layers.SetSubscriber([](const NotificationInfo*) { platform::MessageLoop::Current().Quit(); });
//       layers.Subscribe(u"DisplayLayerAdded");
//       std::thread worker([] { SubscriptionManager::Instance().NotifyPost(3, u"DisplayLayerAdded"); });
//       platform::MessageLoop::Current().Run();
//       worker.join();
//   }
//
// The main-thread services (MainThreadDispatcher, UIWatchdog), file watching
// (FileWatcher, FileSubscription, NFData), the payloads and key catalogues,
// and the toolkit adapters have headers of their own under
// <BrimSubscriber/mainthread/>, <BrimSubscriber/filewatch/>,
// <BrimSubscriber/payloads/> and <BrimSubscriber/platform/glib|qt/>.

#include <BrimSubscriber/Version.h>
#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/Subscription.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>
