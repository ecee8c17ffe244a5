#pragma once

// Scenarios that every toolkit adapter must pass, each run by the toolkit's
// real event loop on the test thread: the library's deliveries, the
// watchdog's probes, file-watch notifications and document refreshes, and the
// adapter's own duties (quit requests, exceptions, nested loops, window
// timers, detaching).
//
// A scenario is a function template over a Toolkit class that offers:
//   Toolkit()                attaches the thread's message loop (Attach())
//   Attach(), Detach()       constructs / destroys the adapter
//   Adapter()                the adapter, for SetQuitHandler
//   bool Run()               runs the toolkit's main loop until Quit(); false
//                            when a generous time-out ended it instead
//   Quit()                   ends Run(); on the toolkit thread
//   bool RunNested(), QuitNested()   the same for a nested toolkit loop
//   Every(ms, f)             calls f on the toolkit thread every ms until it
//                            returns false; Later(f) calls it once
//   Criticals()              critical messages logged since construction
//   Thread()                 the toolkit thread (the test thread)
// The toolkit thread is also made the user-interface thread by the adapter.
// Workers use only the library, never the toolkit.

#include "filewatch/FileSubscription.h"
#include "filewatch/FileWatchTestSupport.h"
#include "mainthread/MainThreadDispatcher.h"
#include "mainthread/UIWatchdog.h"
#include "payloads/DocumentSubscriber.h"
#include "platform/Document.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/WinThread.h"
#include "platform/Wnd.h"
#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/SubscriptionManager.h"
#include "subscription/SubscriptionMap.h"
#include "support/TempDir.h"
#include "support/UiLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace scenarios {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
inline constexpr UINT kMsg = WM_APP + 1;

inline bool OnToolkitThread(std::thread::id toolkit) {
    return std::this_thread::get_id() == toolkit && platform::IsUserInterfaceThread();
}

// What every toolkit side shares: Later() on top of its Every(), and the
// record of critical messages, which its log handler adds to.
template <class Derived>
class ToolkitBase {
public:
    void Later(std::function<void()> call) {
        static_cast<Derived*>(this)->Every(0, [call = std::move(call)] {
            call();
            return false;
        });
    }
    std::vector<std::string> Criticals() {
        const std::lock_guard lock(m_logMutex);
        return m_criticals;
    }

protected:
    void RecordCritical(std::string message) {
        const std::lock_guard lock(m_logMutex);
        m_criticals.push_back(std::move(message));
    }

private:
    std::mutex m_logMutex;
    std::vector<std::string> m_criticals;  // guarded by m_logMutex
};

// Values in arrival order, and how many arrived off the toolkit thread.
class Log {
public:
    explicit Log(std::thread::id toolkit) : m_toolkit(toolkit) {}
    void Add(int value) {
        const std::lock_guard lock(m_mutex);
        m_values.push_back(value);
        if (!OnToolkitThread(m_toolkit)) ++m_misplaced;
    }
    std::vector<int> Values() {
        const std::lock_guard lock(m_mutex);
        return m_values;
    }
    int Misplaced() {
        const std::lock_guard lock(m_mutex);
        return m_misplaced;
    }

private:
    const std::thread::id m_toolkit;
    std::mutex m_mutex;
    std::vector<int> m_values;
    int m_misplaced = 0;
};

// A message target of the calling thread that hands each message to onMessage.
class Target : public CWnd {
public:
    explicit Target(const char* name = "target") { EXPECT_TRUE(CreateEx(name)); }
    std::function<void(UINT, WPARAM, LPARAM)> onMessage;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (onMessage) onMessage(message, wParam, lParam);
        return 0;
    }
};

// A worker thread that can always be joined: when it has not finished after
// the generous time-out (blocked in a send to a toolkit loop that no longer
// runs), the test fails and the test thread runs its own loop to free it.
class Worker {
public:
    explicit Worker(std::function<void()> body)
        : m_thread([this, body = std::move(body)] {
              body();
              m_done = true;
              m_finished.Set();
          }) {}
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() { Join(); }
    void Join() {
        if (!m_thread.joinable()) return;
        if (!m_finished.Wait(static_cast<std::uint32_t>(test::kGenerousTimeout.count()))) {
            ADD_FAILURE() << "a worker never finished";
            test::PumpUntil([this] { return m_done.load(); });
        }
        m_thread.join();
    }

private:
    std::atomic<bool> m_done{false};
    platform::Event m_finished;
    std::thread m_thread;  // last: starts once the rest exists
};

// Waits, handling nothing, until done() holds; false after the generous time-out.
inline bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + test::kGenerousTimeout;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

inline CString Key(int n) { return CString(std::to_string(n)); }

// --- Deliveries --------------------------------------------------------------

// NotifySend on the toolkit thread is a direct call; from a worker it returns
// only once delivered on the toolkit thread; a worker's NotifyPosts arrive
// there in order, while another worker's sends cut in.
template <class Toolkit>
void SubscriptionDeliveriesRunOnTheToolkitThread() {
    Toolkit tk;
    SubscriptionMap map;  // built on the user-interface thread: it can send and post
    Log log(tk.Thread());
    struct Numbered : Subscriber {
        Numbered(int n, Log& log) : n(n), log(log) {}
        void Update(const NotificationInfo* info) override {
            last = info;
            log.Add(n);
        }
        const int n;
        Log& log;
        std::atomic<const NotificationInfo*> last{nullptr};
    };
    constexpr int kPosts = 300;
    constexpr int kSent = kPosts + 1;
    constexpr int kSends = 30;
    std::deque<Numbered> receivers;
    for (int i = 0; i <= kSent; ++i) map.Subscribe(Key(i), &receivers.emplace_back(i, log));
    struct Finisher : Subscriber {
        Toolkit* tk = nullptr;
        int workersDone = 0;  // toolkit thread only
        void Update(const NotificationInfo*) override {
            if (++workersDone == 2) tk->Quit();
        }
    } finisher;
    finisher.tk = &tk;
    map.Subscribe(u"done", &finisher);

    std::optional<Worker> poster, sender;
    tk.Later([&] {
        const NotificationInfo info;
        map.NotifySend({Key(0)}, &info, nullptr);
        EXPECT_EQ(log.Values(), std::vector<int>{0}) << "NotifySend on the toolkit thread must deliver at once";
        EXPECT_EQ(receivers[0].last.load(), &info);
        poster.emplace([&] {
            for (int i = 1; i <= kPosts; ++i) map.NotifyPost({Key(i)});
            map.NotifyPost({u"done"});
        });
        sender.emplace([&] {
            for (int i = 0; i < kSends; ++i) {
                const NotificationInfo info;
                map.NotifySend({Key(kSent)}, &info, nullptr);
                EXPECT_EQ(receivers[kSent].last.load(), &info) << "NotifySend returned before its delivery";
            }
            map.NotifyPost({u"done"});
        });
    });
    ASSERT_TRUE(tk.Run()) << "the workers' notifications never all arrived";
    poster->Join();
    sender->Join();

    std::vector<int> posted = log.Values();
    EXPECT_EQ(std::count(posted.begin(), posted.end(), kSent), kSends);
    std::erase(posted, kSent);
    ASSERT_EQ(posted.size(), static_cast<std::size_t>(kPosts + 1));
    for (int i = 0; i <= kPosts; ++i) ASSERT_EQ(posted[static_cast<std::size_t>(i)], i) << "posted out of order";
    EXPECT_EQ(log.Misplaced(), 0) << "delivered off the toolkit thread";
}

// The dispatcher's asynchronous calls from one worker run in order on the
// toolkit thread; DispatchSync returns only after its callable ran there, and
// a DispatchSync made there runs at once.
template <class Toolkit>
void DispatcherCallsRunOnTheToolkitThreadInOrder() {
    Toolkit tk;
    MainThreadDispatcher dispatcher;
    Log log(tk.Thread());
    Worker worker([&] {
        for (int i = 0; i < 200; ++i) {
            dispatcher.DispatchAsync([&log, i] { log.Add(i); });
            if (i % 50 == 49) {
                std::atomic<bool> ran{false};
                dispatcher.DispatchSync([&] {
                    bool inner = false;
                    dispatcher.DispatchSync([&] { inner = true; });
                    EXPECT_TRUE(inner) << "a DispatchSync on the toolkit thread must run at once";
                    EXPECT_TRUE(OnToolkitThread(tk.Thread()));
                    ran = true;
                });
                EXPECT_TRUE(ran.load()) << "DispatchSync returned before its callable ran";
            }
        }
        dispatcher.DispatchAsync([&] { tk.Quit(); });
    });
    ASSERT_TRUE(tk.Run()) << "the dispatched calls never all ran";
    worker.Join();
    const std::vector<int> values = log.Values();
    ASSERT_EQ(values.size(), 200U);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(values[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(log.Misplaced(), 0);
}

// --- Watchdog, file watcher, documents ------------------------------------------

// The watchdog's probe is answered through the toolkit loop: while the toolkit
// keeps its thread busy for 400 ms at a time the rate rises, and once the
// toolkit lets go it falls again.
template <class Toolkit>
void WatchdogRateFollowsTheToolkitLoop(bool postedMessageProbe) {
    Toolkit tk;
    UIWatchdog watchdog{100};
    watchdog.SetKIVmode(postedMessageProbe);
    watchdog.Start();
    bool busy = true;
    double rate = 0;
    tk.Every(1, [&] {
        if (busy) std::this_thread::sleep_for(400ms);  // the toolkit's own long piece of work
        return busy;
    });
    tk.Every(20, [&] {
        rate = watchdog.GetViewUpdateRate();
        if (busy && rate > 250.0) busy = false;
        if (!busy && rate < 100.0) tk.Quit();
        return true;
    });
    const bool finished = tk.Run();
    watchdog.Stop();
    EXPECT_TRUE(finished) << (busy ? "the rate never rose, at " : "the rate never fell back, at ") << rate;
    EXPECT_TRUE(tk.Criticals().empty());
}

// The polling thread's notifications reach the receivers on the toolkit
// thread, once per change.
template <class Toolkit>
void FileChangesArePostedToTheToolkitThread() {
    Toolkit tk;
    SubscriptionManager::Instance();  // maps and dispatchers on the user-interface thread
    FileWatcher& watcher = FileWatcher::Instance();
    watcher.SetPollIntervalForTesting(5);
    test::TempDir dir;
    const auto a = dir / "a.xyz";
    const auto b = dir / "b.xyz";
    test::WriteFile(a, "a");
    test::WriteFile(b, "b");
    test::Recorder onA, onB;
    FileSubscription watchA, watchB;
    watchA.SetSubscriber(&onA, false);
    watchB.SetSubscriber(&onB, false);
    ASSERT_TRUE(watchA.Subscribe(test::Key(a)));
    ASSERT_TRUE(watchB.Subscribe(test::Key(b)));
    test::SetWriteTime(a, 1000);
    test::SetWriteTime(b, 2000);

    // Once both arrived, two more passes; then a message queued behind
    // anything those passes posted ends the run.
    std::uint64_t passesWhenBoth = 0;
    Target last;
    last.onMessage = [&](UINT, WPARAM, LPARAM) { tk.Quit(); };
    tk.Every(5, [&] {
        if (passesWhenBoth == 0 && onA.calls > 0 && onB.calls > 0) passesWhenBoth = watcher.GetPassCountForTesting();
        if (passesWhenBoth == 0 || watcher.GetPassCountForTesting() < passesWhenBoth + 2) return true;
        last.PostMessage(kMsg, 0, 0);
        return false;
    });
    ASSERT_TRUE(tk.Run()) << "calls: " << onA.calls << ", " << onB.calls;
    EXPECT_EQ(onA.calls, 1);
    EXPECT_EQ(onB.calls, 1);
    EXPECT_EQ(onA.misplacedCalls + onB.misplacedCalls, 0) << "off the toolkit thread, or with a payload";
}

// A notification published from a worker, directly or posted, makes the main
// window refresh the document's views on the toolkit thread, never inside
// the delivery.
template <class Toolkit>
void DocumentRefreshRunsOnTheToolkitThread() {
    Toolkit tk;
    CWinApp app;  // the toolkit thread's thread object
    struct View : CView {
        explicit View(Log& log) : log(log) {}
        void OnUpdate(CView* /*sender*/, LPARAM hint, CObject* /*hintObject*/) override { log.Add(static_cast<int>(hint)); }
        Log& log;
    };
    Log refreshes(tk.Thread());
    CDocument doc;
    View first(refreshes), second(refreshes);
    doc.AddView(&first);
    doc.AddView(&second);
    DocumentSubscriber refresher(&doc, 42, nullptr);
    int requests = 0;
    Target frame("Main frame");
    frame.onMessage = [&](UINT message, WPARAM, LPARAM lParam) {
        if (message != WM_DOCUMENT_SUBSCRIBER_UPDATE) return;
        reinterpret_cast<DocumentSubscriber*>(lParam)->UpdateViews();
        if (++requests == 2) tk.Quit();
    };
    app.SetMainWnd(&frame);
    SubscriptionMap map;
    const CString key(u"CMAP");
    map.Subscribe(key, &refresher);
    Worker worker([&] {
        CWinThread thread;  // an application's worker: its thread object knows the main window
        thread.SetMainWnd(&frame);
        map.Notify(key, nullptr, nullptr);  // delivered here, refreshed there
        map.NotifyPost({key});              // delivered there, where the application's main window is asked
    });
    const bool finished = tk.Run();
    worker.Join();
    map.Unsubscribe(key, &refresher);
    ASSERT_TRUE(finished) << "refresh requests handled: " << requests;
    EXPECT_EQ(refreshes.Values(), (std::vector<int>{42, 42, 42, 42}));
    EXPECT_EQ(refreshes.Misplaced(), 0) << "views refreshed off the toolkit thread";
}

// --- The adapter's own duties ---------------------------------------------------

// Quit() while no Run() of ours is in progress: dropped without a quit
// handler (the toolkit loop goes on, and can idle), given to the handler on
// the toolkit thread otherwise. Either way no message is lost or reordered.
// (Whether messages queued behind the request still run before the toolkit
// loop returns is the toolkit's affair: Qt's own dispatcher runs them.)
template <class Toolkit>
void QuitWithoutARunGoesToTheQuitHandler() {
    Toolkit tk;
    platform::MessageLoop loop = platform::MessageLoop::Current();  // a copy shares the loop
    Target target;
    Log log(tk.Thread());
    target.onMessage = [&](UINT, WPARAM w, LPARAM) {
        log.Add(static_cast<int>(w));
        if (w == 3 || w == 6) tk.Quit();
    };
    {
        Worker worker([&] {
            loop.Quit();
            target.PostMessage(kMsg, 1, 0);
            loop.Quit();
            target.PostMessage(kMsg, 2, 0);
            target.PostMessage(kMsg, 3, 0);
        });
        ASSERT_TRUE(tk.Run()) << "a dropped quit request held the messages behind it";
    }
    EXPECT_EQ(log.Values(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(loop.TimeUntilNextTimerMs(), -1) << "a quit request is still waiting; the loop can never idle";

    int quits = 0;
    tk.Adapter().SetQuitHandler([&] {
        ++quits;
        EXPECT_TRUE(OnToolkitThread(tk.Thread()));
        tk.Quit();
    });
    {
        Worker worker([&] {
            loop.Quit();
            target.PostMessage(kMsg, 4, 0);
            target.PostMessage(kMsg, 5, 0);
        });
        ASSERT_TRUE(tk.Run()) << "Quit() never reached the quit handler";
    }
    EXPECT_EQ(quits, 1);
    ASSERT_TRUE(target.PostMessage(kMsg, 6, 0));
    ASSERT_TRUE(tk.Run()) << "messages behind the quit were lost";
    EXPECT_EQ(log.Values(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(log.Misplaced(), 0);
}

// An exception leaving a handler, posted or sent, std:: or not, is logged as
// a critical; the sender is released and the messages behind it still run,
// in order.
template <class Toolkit>
void ExceptionIsLoggedAndLaterMessagesStillRun() {
    Toolkit tk;
    Target target;
    Log log(tk.Thread());
    target.onMessage = [&](UINT, WPARAM w, LPARAM) {
        log.Add(static_cast<int>(w));
        if (w == 2) throw std::runtime_error("posted handler failed");
        if (w == 4) throw std::logic_error("sent handler failed");
        if (w == 5) throw 5;
        if (w == 7) tk.Quit();
    };
    Worker worker([&] {
        for (WPARAM w : {1, 2, 3}) target.PostMessage(kMsg, w, 0);
        target.SendMessage(kMsg, 4, 0);  // must return although its handler threw
        for (WPARAM w : {5, 6, 7}) target.PostMessage(kMsg, w, 0);
    });
    ASSERT_TRUE(tk.Run()) << "handled: " << log.Values().size();
    worker.Join();
    std::vector<int> values = log.Values();
    EXPECT_EQ(std::count(values.begin(), values.end(), 4), 1);
    std::erase(values, 4);  // the send may overtake 1 to 3
    EXPECT_EQ(values, (std::vector<int>{1, 2, 3, 5, 6, 7}));
    const std::vector<std::string> criticals = tk.Criticals();
    ASSERT_EQ(criticals.size(), 3U);
    const auto logged = [&](const char* text) {
        return std::any_of(criticals.begin(), criticals.end(),
                           [&](const std::string& c) { return c.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(logged("posted handler failed"));
    EXPECT_TRUE(logged("sent handler failed"));
}

// A nested toolkit loop run from a handler (a modal dialog) handles the sends
// and posts that arrive meanwhile; the rest of the outer batch follows after it.
template <class Toolkit>
void NestedToolkitLoopKeepsHandlingMessages() {
    // A nested loop (a modal dialog in the handler of 1) handles what was
    // posted behind 1, in order, then a worker's send and post; the modal
    // waits for the last of them. 9, posted after the modal, comes last.
    Toolkit tk;
    Target target;
    Log log(tk.Thread());
    std::atomic<bool> threeHandled{false};
    std::optional<Worker> worker;
    target.onMessage = [&](UINT, WPARAM w, LPARAM) {
        log.Add(static_cast<int>(w));
        if (w == 1) {
            worker.emplace([&] {
                threeHandled.wait(false);
                target.SendMessage(kMsg, 4, 0);
                target.PostMessage(kMsg, 5, 0);
            });
            EXPECT_TRUE(tk.RunNested()) << "the nested loop did not handle our messages";
            log.Add(100);
            target.PostMessage(kMsg, 9, 0);
        }
        if (w == 3) {
            threeHandled = true;
            threeHandled.notify_one();
        }
        if (w == 5) tk.QuitNested();
        if (w == 9) tk.Quit();
    };
    for (WPARAM w : {1, 2, 3}) target.PostMessage(kMsg, w, 0);
    ASSERT_TRUE(tk.Run());
    worker->Join();
    EXPECT_EQ(log.Values(), (std::vector<int>{1, 2, 3, 4, 5, 100, 9}));
    EXPECT_EQ(log.Misplaced(), 0);
}

// Window timers fire through the toolkit loop: first one set by a worker;
// once it is killed and nothing else wakes the adapter, one set on the
// toolkit thread outside any handler of ours, far off and then re-set to
// soon, so the adapter must wake for the new, earlier deadline.
template <class Toolkit>
void WindowTimersFireThroughTheToolkitLoop() {
    constexpr UINT_PTR kFromWorker = 1;
    constexpr UINT_PTR kFromToolkit = 2;
    Toolkit tk;
    Target target;
    int fromWorker = 0;
    int fromToolkit = 0;
    int misplaced = 0;
    Clock::time_point resetAt{};
    const auto setFromToolkit = [&] {
        EXPECT_TRUE(target.SetTimer(kFromToolkit, 600000));
        tk.Every(30, [&] {
            resetAt = Clock::now();
            EXPECT_TRUE(target.SetTimer(kFromToolkit, 20));
            return false;
        });
    };
    target.onMessage = [&](UINT message, WPARAM id, LPARAM) {
        if (message != WM_TIMER) return;
        if (!OnToolkitThread(tk.Thread())) ++misplaced;
        if (id == kFromWorker && ++fromWorker == 3) {
            target.KillTimer(kFromWorker);
            tk.Later(setFromToolkit);
        }
        if (id == kFromToolkit && ++fromToolkit == 3) {
            target.KillTimer(kFromToolkit);
            tk.Quit();
        }
    };
    Worker worker([&] { EXPECT_TRUE(target.SetTimer(kFromWorker, 20)); });
    ASSERT_TRUE(tk.Run()) << "timer messages: " << fromWorker << " and " << fromToolkit;
    EXPECT_LT(Clock::now() - resetAt, 3s) << "three 20 ms ticks came far too late";
    EXPECT_EQ(fromWorker, 3);
    EXPECT_EQ(fromToolkit, 3);
    EXPECT_EQ(misplaced, 0);
}

// Destroying the adapter inside a toolkit callback, in the toolkit iteration
// in which our source is due as well (GLib dispatches the callback first, as
// it was scheduled first): the toolkit then runs none of our handlers
// (posted, sent or timer), and a new adapter handles the backlog in order.
template <class Toolkit>
void DetachedAdapterRunsNothingAndANewOneTakesOver() {
    Toolkit tk;
    Target target;
    Log log(tk.Thread());
    bool attached = true;
    int whileDetached = 0;
    target.onMessage = [&](UINT message, WPARAM w, LPARAM) {
        if (!attached) ++whileDetached;
        log.Add(message == WM_TIMER ? -1 : static_cast<int>(w));
        if (message == WM_TIMER) {
            target.KillTimer(1);
            tk.Quit();
        }
    };
    tk.Detach();
    tk.Later([&] {
        EXPECT_TRUE(target.PostMessage(kMsg, 1, 0));
        EXPECT_TRUE(target.PostMessage(kMsg, 2, 0));
        EXPECT_TRUE(target.SetTimer(1, 10));
        tk.Detach();
        attached = false;
    });
    tk.Attach();
    ASSERT_TRUE(target.PostMessage(kMsg, 0, 0));  // our source is due at once
    tk.Every(150, [&] {                            // well past the timer's due time
        tk.Quit();
        return false;
    });
    ASSERT_TRUE(tk.Run());
    EXPECT_EQ(whileDetached, 0) << "a handler ran without an adapter";

    const std::size_t queued = platform::MessageLoop::Current().PendingCount();
    Worker sender([&] { target.SendMessage(kMsg, 3, 0); });
    ASSERT_TRUE(WaitFor([&] { return platform::MessageLoop::Current().PendingCount() == queued + 1; }));
    tk.Attach();
    attached = true;
    ASSERT_TRUE(tk.Run()) << "the new adapter did not handle the backlog";
    sender.Join();
    std::vector<int> values = log.Values();
    EXPECT_EQ(std::count(values.begin(), values.end(), 0), 1);
    std::erase(values, 0);  // handled before the callback, or with the backlog
    EXPECT_EQ(values, (std::vector<int>{3, 1, 2, -1}));  // sent first, then posted, then the timer
    EXPECT_EQ(log.Misplaced(), 0);
    EXPECT_TRUE(tk.Criticals().empty());
}

// One of our handlers destroys the adapter and asks to quit: the wake in
// progress ends without touching the adapter again (the quit request stops it
// after that handler, as in our own loop), the destroyed adapter's quit
// handler is not called, and nothing of ours runs until a new adapter is
// attached, which handles the rest in order.
template <class Toolkit>
void AdapterDestroyedByItsOwnHandler() {
    Toolkit tk;
    Target target;
    Log log(tk.Thread());
    bool attached = true;
    int whileDetached = 0;
    tk.Adapter().SetQuitHandler([] { ADD_FAILURE() << "the destroyed adapter's quit handler ran"; });
    target.onMessage = [&](UINT, WPARAM w, LPARAM) {
        log.Add(static_cast<int>(w));
        if (w == 1) {
            tk.Detach();
            attached = false;
            platform::MessageLoop::Current().Quit();
        } else if (w == 3) {
            if (!attached) ++whileDetached;
            tk.Quit();
        }
    };
    ASSERT_TRUE(target.PostMessage(kMsg, 1, 0));
    ASSERT_TRUE(target.PostMessage(kMsg, 2, 0));  // left queued by the quit request
    tk.Every(100, [&] {
        EXPECT_TRUE(target.PostMessage(kMsg, 3, 0));  // waits for the next adapter
        tk.Every(100, [&] {
            tk.Quit();
            return false;
        });
        return false;
    });
    ASSERT_TRUE(tk.Run());
    EXPECT_EQ(log.Values(), (std::vector<int>{1}));
    tk.Attach();
    attached = true;
    ASSERT_TRUE(tk.Run()) << "the new adapter did not handle what was left";
    EXPECT_EQ(log.Values(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(whileDetached, 0);
    EXPECT_EQ(log.Misplaced(), 0);
    EXPECT_TRUE(tk.Criticals().empty());
}

}  // namespace scenarios

// Declares the shared scenarios as tests of `suite`, run with `Toolkit`.
#define BRIM_TOOLKIT_SCENARIO_TESTS(suite, Toolkit)                          \
    TEST(suite, SubscriptionDeliveriesRunOnTheToolkitThread) {               \
        scenarios::SubscriptionDeliveriesRunOnTheToolkitThread<Toolkit>();   \
    }                                                                        \
    TEST(suite, DispatcherCallsRunOnTheToolkitThreadInOrder) {               \
        scenarios::DispatcherCallsRunOnTheToolkitThreadInOrder<Toolkit>();   \
    }                                                                        \
    TEST(suite, WatchdogWindowTimerProbeFollowsTheToolkitLoop) {             \
        scenarios::WatchdogRateFollowsTheToolkitLoop<Toolkit>(false);        \
    }                                                                        \
    TEST(suite, WatchdogPostedMessageProbeFollowsTheToolkitLoop) {           \
        scenarios::WatchdogRateFollowsTheToolkitLoop<Toolkit>(true);         \
    }                                                                        \
    TEST(suite, FileChangesArePostedToTheToolkitThread) {                    \
        scenarios::FileChangesArePostedToTheToolkitThread<Toolkit>();        \
    }                                                                        \
    TEST(suite, DocumentRefreshRunsOnTheToolkitThread) {                     \
        scenarios::DocumentRefreshRunsOnTheToolkitThread<Toolkit>();         \
    }                                                                        \
    TEST(suite, QuitWithoutARunGoesToTheQuitHandler) {                       \
        scenarios::QuitWithoutARunGoesToTheQuitHandler<Toolkit>();           \
    }                                                                        \
    TEST(suite, ExceptionIsLoggedAndLaterMessagesStillRun) {                 \
        scenarios::ExceptionIsLoggedAndLaterMessagesStillRun<Toolkit>();     \
    }                                                                        \
    TEST(suite, NestedToolkitLoopKeepsHandlingMessages) {                    \
        scenarios::NestedToolkitLoopKeepsHandlingMessages<Toolkit>();        \
    }                                                                        \
    TEST(suite, WindowTimersFireThroughTheToolkitLoop) {                     \
        scenarios::WindowTimersFireThroughTheToolkitLoop<Toolkit>();         \
    }                                                                        \
    TEST(suite, DetachedAdapterRunsNothingAndANewOneTakesOver) {             \
        scenarios::DetachedAdapterRunsNothingAndANewOneTakesOver<Toolkit>(); \
    }                                                                        \
    TEST(suite, AdapterDestroyedByItsOwnHandler) {                           \
        scenarios::AdapterDestroyedByItsOwnHandler<Toolkit>();               \
    }
