// brimsub-demo: the library at work in a small survey application.
//
// The main thread is the user-interface thread. Its event loop is our own
// message loop, or (--loop=glib, --loop=qt) a toolkit's loop that runs ours
// through an adapter; the scenario advances in steps from a window timer, so
// every step runs inside whichever loop it is.
//
// Receivers and handles subscribe to catalogue keys in several subscription
// types; worker threads publish with Notify, NotifySend and NotifyPost;
// payloads are read by their receivers; a document's views refresh through a
// DocumentSubscriber; files in a temporary folder are watched, changed,
// deleted and re-created; the watchdog's view update rate is printed while the
// user-interface thread is kept busy for a moment. Every delivery line says
// what arrived, to whom, on which thread and how late.
//
//   brimsub-demo                  the scenario above, about 10 seconds
//   brimsub-demo --watch FILE...  print each change of the files until Ctrl-C
//   --loop=own|glib|qt            with either: the loop that runs the UI thread

#include <BrimSubscriber/Version.h>
#include <BrimSubscriber/filewatch/FileSubscription.h>
#include <BrimSubscriber/filewatch/NFData.h>
#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/mainthread/UIWatchdog.h>
#include <BrimSubscriber/payloads/DataId_NI.h>
#include <BrimSubscriber/payloads/DocumentSubscriber.h>
#include <BrimSubscriber/payloads/NFSyncProcessing.h>
#include <BrimSubscriber/payloads/SubKeys.h>
#include <BrimSubscriber/platform/Document.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/platform/Wnd.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/Subscription.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>

#ifdef BRIM_DEMO_WITH_GLIB
#include <BrimSubscriber/platform/glib/GlibLoop.h>

#include <glib.h>
#endif
#ifdef BRIM_DEMO_WITH_QT
#include <BrimSubscriber/platform/qt/QtLoop.h>

#include <QCoreApplication>
#include <QThread>
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <getopt.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Subscription types of this application.
constexpr int kDisplayType = 1;
constexpr int kProcessingType = 2;
constexpr int kDataType = 4;

const Clock::time_point g_start = Clock::now();
thread_local const char* t_threadName = "worker";

// When each key was last published, so that a receiver of a posted
// notification (which carries no payload) can still say how late it is.
class PublishTimes {
public:
    void Mark(const CString& key) {
        const std::lock_guard lock(m_mutex);
        m_times[key] = Clock::now();
    }
    long long MicrosecondsSince(const CString& key) {
        const std::lock_guard lock(m_mutex);
        const auto it = m_times.find(key);
        if (it == m_times.end()) return -1;
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - it->second).count();
    }

private:
    std::mutex m_mutex;
    std::map<CString, Clock::time_point> m_times;
};
PublishTimes g_published;

// Totals for the closing table: deliveries and lateness per way of delivering.
class Summary {
public:
    void Add(const std::string& way, long long lateUs) {
        const std::lock_guard lock(m_mutex);
        Row& row = m_rows[way];
        ++row.count;
        if (lateUs >= 0) {
            row.totalUs += lateUs;
            row.maxUs = std::max(row.maxUs, lateUs);
            ++row.timed;
        }
    }
    int Count(const std::string& way) {
        const std::lock_guard lock(m_mutex);
        return m_rows[way].count;
    }
    void Print() {
        const std::lock_guard lock(m_mutex);
        std::printf("\n%-28s %10s %14s %14s\n", "delivered by", "count", "mean late", "worst late");
        for (const auto& [way, row] : m_rows) {
            if (row.timed > 0) {
                std::printf("%-28s %10d %11lld us %11lld us\n", way.c_str(), row.count, row.totalUs / row.timed,
                            row.maxUs);
            } else {
                std::printf("%-28s %10d %14s %14s\n", way.c_str(), row.count, "-", "-");
            }
        }
    }

private:
    struct Row {
        int count = 0;
        int timed = 0;
        long long totalUs = 0;
        long long maxUs = 0;
    };
    std::mutex m_mutex;
    std::map<std::string, Row> m_rows;
};
Summary g_summary;

// A payload that remembers when it was published.
struct Stamp {
    Clock::time_point sent = Clock::now();
    long long LateUs() const {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
    }
};

void Line(const char* who, const std::string& what, long long lateUs) {
    const double at = std::chrono::duration<double>(Clock::now() - g_start).count();
    if (lateUs >= 0) {
        std::printf("%6.2fs  %-12s got %-44s on %-9s %7lld us late\n", at, who, what.c_str(), t_threadName, lateUs);
    } else {
        std::printf("%6.2fs  %-12s got %-44s on %s\n", at, who, what.c_str(), t_threadName);
    }
    std::fflush(stdout);
}

void Say(const char* text) {
    const double at = std::chrono::duration<double>(Clock::now() - g_start).count();
    std::printf("%6.2fs  -- %s\n", at, text);
    std::fflush(stdout);
}

// Payloads of this application: a data id, and the same with a stamp.
struct StampedDataId : DataId_NI, Stamp {
    using DataId_NI::DataId_NI;
};
struct StampedSync : NFSyncProcessing, Stamp {};
struct StampedFiles : NFData, Stamp {};

// The layer list: told about data items by id.
class LayerList : public Subscriber {
public:
    void Update(const NotificationInfo* info) override {
        if (const auto* id = dynamic_cast<const StampedDataId*>(info)) {
            const CDataId& data = id->GetDataId();
            const long long late = id->LateUs();
            Line("LayerList", "data item " + std::to_string(data.GetDataSet()) + "/" + std::to_string(data.GetItem()),
                 late);
            g_summary.Add("Notify (on the worker)", late);
        } else {
            const long long late = g_published.MicrosecondsSince(GeneralSubKeys::DISPLAY_LAYER_ADDED);
            Line("LayerList", "posted DISPLAY_LAYER_ADDED (no payload)", late);
            g_summary.Add("NotifyPost", late);
        }
    }
};

// A processing editor: reads which items another editor is working on.
class EditorPanel : public Subscriber {
public:
    explicit EditorPanel(const char* name) : m_name(name) {}
    void Update(const NotificationInfo* info) override {
        const auto* sync = dynamic_cast<const StampedSync*>(info);
        if (sync == nullptr) return;
        const long long late = sync->LateUs();
        Line(m_name, sync->m_name.ToUtf8() + " edits " + std::to_string(sync->m_editIds.size()) + " items", late);
        g_summary.Add("NotifySend", late);
    }

private:
    const char* m_name;
};

// A list of data files: reads the file-update records.
class DataFileList : public Subscriber {
public:
    void Update(const NotificationInfo* info) override {
        const auto* files = dynamic_cast<const StampedFiles*>(info);
        if (files == nullptr) return;
        const long long late = files->LateUs();
        for (int i = 0; i < files->NumFileUpdates(); ++i) {
            const NFData::DataUpdate& update = files->GetFileUpdate(i);
            Line("DataFileList",
                 update.m_fileName.ToUtf8() + ": " + std::to_string(update.m_count) + " updates, " +
                     std::to_string(update.m_ids.size()) + " ids",
                 late);
        }
        g_summary.Add("Notify with NFData", late);
    }
};

// A view of the survey document, refreshed through the main window.
class SurveyView : public CView {
public:
    explicit SurveyView(const char* name) : m_name(name) {}
    void OnUpdate(CView* /*sender*/, LPARAM hint, CObject* /*hintObject*/) override {
        const long long late = g_published.MicrosecondsSince(GeneralSubKeys::CMAP);
        Line(m_name, "a refresh (hint " + std::to_string(hint) + ")", late);
        g_summary.Add("DocumentSubscriber", late);
    }

private:
    const char* m_name;
};

// The application's main window: refreshes documents when asked.
class MainFrame : public CWnd {
protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_DOCUMENT_SUBSCRIBER_UPDATE) {
            reinterpret_cast<DocumentSubscriber*>(lParam)->UpdateViews();
            return 0;
        }
        return CWnd::WindowProc(message, wParam, lParam);
    }
};

// Told when a watched file changes; it does not learn which one.
class FileChangePrinter : public Subscriber {
public:
    explicit FileChangePrinter(std::function<void()> onChange) : m_onChange(std::move(onChange)) {}
    void Update(const NotificationInfo* /*info*/) override {
        const long long late = g_published.MicrosecondsSince(CString(u"file"));
        Line("FileWatch", "a file change (no payload)", late);
        g_summary.Add("file watcher", late);
        if (m_onChange) m_onChange();
    }

private:
    std::function<void()> m_onChange;
};

// Which event loop runs the user-interface thread.
enum class LoopKind { Own, Glib, Qt };

const char* LoopName(LoopKind kind) {
    switch (kind) {
        case LoopKind::Glib:
            return "glib";
        case LoopKind::Qt:
            return "qt";
        case LoopKind::Own:
            break;
    }
    return "own";
}

// Null when this build has the loop, else why not.
const char* MissingLoop(LoopKind kind) {
#ifndef BRIM_DEMO_WITH_GLIB
    if (kind == LoopKind::Glib) {
        return "this build has no GLib adapter (BrimSubscriber::BrimPlatformGlib); configure with "
               "-DBRIM_WITH_GLIB=ON and glib-2.0 installed (Debian: libglib2.0-dev)";
    }
#endif
#ifndef BRIM_DEMO_WITH_QT
    if (kind == LoopKind::Qt) {
        return "this build has no Qt adapter (BrimSubscriber::BrimPlatformQt); configure with "
               "-DBRIM_WITH_QT=ON and Qt 6 installed (Debian: qt6-base-dev)";
    }
#endif
    static_cast<void>(kind);
    return nullptr;
}

// The event loop of the user-interface thread: our own message loop, a
// GMainLoop with a GlibLoop attached, or a QCoreApplication with a QtLoop.
// Constructed first on the main thread, as an application sets up its toolkit
// before anything else; Run() returns once MessageLoop::Quit() has been called
// on this thread (the adapters pass that on through their quit handlers).
class UiLoop {
public:
    UiLoop(LoopKind kind, [[maybe_unused]] int& argc, [[maybe_unused]] char** argv) : m_kind(kind) {
#ifdef BRIM_DEMO_WITH_GLIB
        if (kind == LoopKind::Glib) {
            m_glibMain = g_main_loop_new(nullptr, FALSE);
            m_glib = std::make_unique<platform::GlibLoop>();  // on the default context, which m_glibMain runs
            m_glib->SetQuitHandler([this] { g_main_loop_quit(m_glibMain); });
        }
#endif
#ifdef BRIM_DEMO_WITH_QT
        if (kind == LoopKind::Qt) {
            m_qtApp = std::make_unique<QCoreApplication>(argc, argv);
            m_qt = std::make_unique<platform::QtLoop>();
            m_qt->SetQuitHandler([] { QCoreApplication::quit(); });
        }
#endif
    }
    UiLoop(const UiLoop&) = delete;
    UiLoop& operator=(const UiLoop&) = delete;
    ~UiLoop() {
#ifdef BRIM_DEMO_WITH_GLIB
        m_glib.reset();
        if (m_glibMain != nullptr) g_main_loop_unref(m_glibMain);
#endif
#ifdef BRIM_DEMO_WITH_QT
        m_qt.reset();
        m_qtApp.reset();
#endif
    }

    void Run() {
        m_running = true;
#ifdef BRIM_DEMO_WITH_GLIB
        if (m_kind == LoopKind::Glib) g_main_loop_run(m_glibMain);
#endif
#ifdef BRIM_DEMO_WITH_QT
        if (m_kind == LoopKind::Qt) QCoreApplication::exec();
#endif
        if (m_kind == LoopKind::Own) platform::MessageLoop::Current().Run();
        m_running = false;
    }

    // Ends Run() in the toolkit's own way, without MessageLoop::Quit().
    void EndDirectly() {
#ifdef BRIM_DEMO_WITH_GLIB
        if (m_kind == LoopKind::Glib) g_main_loop_quit(m_glibMain);
#endif
#ifdef BRIM_DEMO_WITH_QT
        if (m_kind == LoopKind::Qt) QCoreApplication::quit();
#endif
        if (m_kind == LoopKind::Own) platform::MessageLoop::Current().Quit();
    }

    // Whether the caller runs inside Run(), in the toolkit's own loop function.
    [[nodiscard]] bool Inside() const {
#ifdef BRIM_DEMO_WITH_GLIB
        if (m_kind == LoopKind::Glib) return g_main_loop_is_running(m_glibMain) && g_main_depth() > 0;
#endif
#ifdef BRIM_DEMO_WITH_QT
        if (m_kind == LoopKind::Qt) return QThread::currentThread()->loopLevel() > 0;
#endif
        return m_running;
    }

    [[nodiscard]] std::string Describe() const {
        switch (m_kind) {
            case LoopKind::Glib:
                return "glib: a GMainLoop (g_main_loop_run) with platform::GlibLoop attached";
            case LoopKind::Qt:
                return "qt: QCoreApplication::exec() with platform::QtLoop attached";
            case LoopKind::Own:
                break;
        }
        return "own: platform::MessageLoop::Run()";
    }

private:
    LoopKind m_kind;
    bool m_running = false;
#ifdef BRIM_DEMO_WITH_GLIB
    GMainLoop* m_glibMain = nullptr;
    std::unique_ptr<platform::GlibLoop> m_glib;
#endif
#ifdef BRIM_DEMO_WITH_QT
    std::unique_ptr<QCoreApplication> m_qtApp;
    std::unique_ptr<platform::QtLoop> m_qt;
#endif
};

// Runs a scenario one step at a time from a window timer of the user-interface
// thread, so that whichever loop runs the thread drives it. A step starts, and
// the next one starts once its done() holds, or once its timeout has passed,
// which fails it. After the last step it asks the thread's loop to quit with
// MessageLoop::Quit(); a loop still running two seconds later is ended
// directly, and that counts as a failure.
class Stepper : public CWnd {
public:
    struct Step {
        std::function<void()> start;
        std::function<bool()> done = [] { return true; };
        std::chrono::milliseconds timeout = 10s;  // milliseconds::max(): none
        std::function<void()> finish = [] {};
    };

    Stepper(UiLoop& loop, std::vector<Step> steps, UINT tickMs)
        : m_loop(loop), m_steps(std::move(steps)), m_tickMs(tickMs) {}

    // Starts ticking; the first step starts at the first tick, inside the loop.
    void Begin() {
        CreateEx("demo steps");
        SetTimer(kTimer, m_tickMs);
    }
    [[nodiscard]] bool Finished() const { return m_index == m_steps.size(); }
    [[nodiscard]] bool AllInTime() const { return Finished() && m_inTime; }
    [[nodiscard]] bool RanInsideLoop() const { return m_insideLoop; }
    [[nodiscard]] bool LoopEndedOnQuit() const { return !m_endedDirectly; }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_TIMER && wParam == kTimer) {
            Tick();
            return 0;
        }
        return CWnd::WindowProc(message, wParam, lParam);
    }

private:
    static constexpr UINT_PTR kTimer = 1;

    void Tick() {
        if (Finished()) {
            if (Clock::now() - m_quitAt < 2s) return;
            KillTimer(kTimer);
            Say("the loop did not end on MessageLoop::Quit(); ending it directly");
            m_endedDirectly = true;
            m_loop.EndDirectly();
            return;
        }
        if (!m_started) {
            m_started = true;
            m_insideLoop = m_loop.Inside();
            Start();
        }
        while (!Finished()) {
            Step& step = m_steps[m_index];
            const bool done = step.done();
            if (!done && Clock::now() < m_deadline) return;
            if (!done) {
                Say("this step timed out");
                m_inTime = false;
            }
            step.finish();
            ++m_index;
            if (!Finished()) Start();
        }
        m_quitAt = Clock::now();
        platform::MessageLoop::Current().Quit();  // an adapter passes it on to its quit handler
    }

    void Start() {
        const Step& step = m_steps[m_index];
        m_deadline =
            step.timeout == std::chrono::milliseconds::max() ? Clock::time_point::max() : Clock::now() + step.timeout;
        step.start();
    }

    UiLoop& m_loop;
    std::vector<Step> m_steps;
    UINT m_tickMs;
    std::size_t m_index = 0;
    bool m_started = false;
    bool m_inTime = true;
    bool m_insideLoop = false;
    bool m_endedDirectly = false;
    Clock::time_point m_deadline;
    Clock::time_point m_quitAt;
};

void Touch(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
    g_published.Mark(CString(u"file"));
}

int RunScenario(LoopKind kind, int& argc, char** argv) {
    UiLoop loop(kind, argc, argv);
    CWinApp app;  // this thread is the user-interface thread
    t_threadName = "ui";
    MainFrame frame;
    frame.CreateEx("BrimSubscriber demo");
    app.SetMainWnd(&frame);
    auto& hub = SubscriptionManager::Instance();  // first use on the UI thread
    UIWatchdog::Instance().Start();

    // --- Receivers and handles on catalogue keys in several types -----------
    Subscription layers(kDisplayType);
    layers.SetSubscriber(new LayerList, true);
    layers.Subscribe({GeneralSubKeys::DISPLAY_LAYER_ADDED, GeneralSubKeys::DISPLAY_LAYER_REMOVED});
    Subscription planEditor(kProcessingType);
    planEditor.SetSubscriber(new EditorPanel("PlanEditor"), true);
    planEditor.Subscribe(ProcessingSubKeys::DATARANGE_CHANGED);
    Subscription profileEditor(kProcessingType);
    profileEditor.SetSubscriber(new EditorPanel("ProfileEdit"), true);
    profileEditor.Subscribe(ProcessingSubKeys::DATARANGE_CHANGED);
    Subscription dataFiles(kDataType);
    dataFiles.SetSubscriber(new DataFileList, true);
    dataFiles.Subscribe(file_update::WORKAREAS);

    CDocument survey;
    SurveyView plan("PlanView");
    SurveyView profile("ProfileView");
    survey.AddView(&plan);
    survey.AddView(&profile);
    DocumentSubscriber refresher(&survey, 7, nullptr);
    hub.Subscribe(kDisplayType, GeneralSubKeys::CMAP, &refresher);

    // State that the steps share; it outlives the loop.
    std::atomic<bool> sent{false};
    std::thread sender;
    const auto folder = std::filesystem::temp_directory_path() / ("brimsub-demo-" + std::to_string(::getpid()));
    const auto sounding = folder / "sounding.xyz";
    std::atomic<int> fileChanges{0};
    FileSubscription watched;
    std::atomic<bool> reporting{true};
    std::thread reporter;
    Clock::time_point busyFrom;

    // The steps, in order; each starts once the one before is done.
    Stepper::Step notify{.start = [&] {
        Say("Notify: two workers publish data ids; the receivers run on the workers");
        for (const char* name : {"worker-1", "worker-2"}) {
            std::thread([&hub, name] {
                t_threadName = name;
                const StampedDataId info(CDataId(12, name[7] == '1' ? 40512 : 40513));
                hub.Notify(kDisplayType, GeneralSubKeys::DISPLAY_LAYER_ADDED, &info, nullptr);
            }).join();
        }
    }};

    Stepper::Step send{.start = [&] {
        Say("NotifySend: an editor's selection reaches the other editors on the UI thread");
        sender = std::thread([&] {
            t_threadName = "worker-3";
            StampedSync sync;
            sync.Set(nullptr, EditorTypes::plan_view, CString(u"PlanEditor"), CDataId(12, 1), EditModes::select);
            sync.AddEditIds({CDataId(12, 40512), CDataId(12, 40513), CDataId(12, 40512)});  // kept once each
            // The plan editor leaves itself out.
            hub.GetSubscriptionMap(kProcessingType)
                ->NotifySend({ProcessingSubKeys::DATARANGE_CHANGED}, &sync, planEditor.GetSubscriber());
            Line("worker-3", "control back from NotifySend", sync.LateUs());
            sent = true;
        });
    }};
    send.done = [&] { return sent.load(); };
    send.finish = [&] { sender.join(); };

    Stepper::Step post{.start = [&] {
        Say("NotifyPost: a worker posts and goes on; the layer list hears it later on the UI thread");
        std::thread([&] {
            t_threadName = "worker-4";
            g_published.Mark(GeneralSubKeys::DISPLAY_LAYER_ADDED);
            hub.NotifyPost(kDisplayType, GeneralSubKeys::DISPLAY_LAYER_ADDED);
            hub.NotifyPost(kDisplayType, GeneralSubKeys::DISPLAY_LAYER_ADDED);
        }).join();
    }};
    post.done = [] { return g_summary.Count("NotifyPost") == 2; };

    Stepper::Step fileData{.start = [&] {
        Say("NFData: updates of data files, merged per file, read by the file list");
        std::thread([&] {
            t_threadName = "worker-5";
            StampedFiles files;
            for (const auto& [name, id] : {std::pair{"line 12.xyz", 7}, {"line 11.xyz", 3}, {"line 12.xyz", 8}}) {
                NFData::DataUpdate update;
                update.m_fileName = CString(name);
                update.m_ids = {CDataId(12, static_cast<std::uint64_t>(id))};
                update.m_count = 1;
                files.Add(update);
            }
            hub.Notify(kDataType, file_update::WORKAREAS, &files, nullptr);
        }).join();
    }};

    Stepper::Step document{.start = [&] {
        Say("DocumentSubscriber: a worker publishes CMAP; the views refresh on the UI thread");
        std::thread([&] {
            t_threadName = "worker-6";
            CWinThread thread;  // an application worker: its thread object knows the main window
            thread.SetMainWnd(&frame);
            g_published.Mark(GeneralSubKeys::CMAP);
            hub.Notify(kDisplayType, GeneralSubKeys::CMAP, nullptr, nullptr);
        }).join();
    }};
    document.done = [] { return g_summary.Count("DocumentSubscriber") == 2; };

    // --- Files: watched, changed, deleted and re-created ------------------
    Stepper::Step change{.start = [&] {
        std::filesystem::create_directories(folder);
        Touch(sounding, "0 0 12.5\n");
        watched.SetSubscriber(new FileChangePrinter([&] { ++fileChanges; }), true);
        watched.Subscribe(CString(sounding.string()));
        Say(("watching " + sounding.string() + " (told by the kernel when a save completes; polled every 2 s)").c_str());
        Touch(sounding, "0 0 12.5\n1 0 12.7\n");
        Say("changed it");
    }};
    change.done = [&] { return fileChanges.load() == 1; };

    Stepper::Step recreate{.start = [&] {
        std::filesystem::remove(sounding);
        Say("deleted it (a missing file is not a change)");
        Touch(sounding, "0 0 13.0\n");
        Say("re-created it");
    }};
    recreate.done = [&] { return fileChanges.load() == 2; };

    // --- The watchdog while the UI thread is busy, then free again ---------
    Stepper::Step busy{.start = [&] {
        Say("the UI thread is kept busy for 2.5 s; a worker prints the view update rate each second");
        busyFrom = Clock::now();
        reporter = std::thread([&] {
            t_threadName = "reporter";
            for (int second = 1; second <= 5 && reporting; ++second) {
                std::this_thread::sleep_for(1s);  // the demo's own pace, not a wait for work
                const double at = std::chrono::duration<double>(Clock::now() - g_start).count();
                std::printf("%6.2fs  view update rate: %7.1f ms\n", at, UIWatchdog::Instance().GetViewUpdateRate());
                std::fflush(stdout);
            }
        });
        MainThreadDispatcher::Instance().DispatchAsync([] {
            std::this_thread::sleep_for(2500ms);  // a long, blocking piece of UI work
        });
    }};
    busy.done = [&] { return Clock::now() - busyFrom >= 5200ms; };  // the loop goes on while the reporter prints
    busy.finish = [&] {
        reporting = false;
        reporter.join();
    };

    Stepper stepper(loop, {notify, send, post, fileData, document, change, recreate, busy}, 5);
    stepper.Begin();
    loop.Run();  // the steps run inside it; the last one quits it

    if (sender.joinable()) sender.join();
    reporting = false;
    if (reporter.joinable()) reporter.join();
    UIWatchdog::Instance().Stop();
    hub.Unsubscribe(kDisplayType, GeneralSubKeys::CMAP, &refresher);
    watched.Unsubscribe();
    std::filesystem::remove_all(folder);

    g_summary.Print();
    std::printf("\nloop %s; the steps ran %s it%s.\n", loop.Describe().c_str(),
                stepper.RanInsideLoop() ? "inside" : "OUTSIDE",
                stepper.LoopEndedOnQuit() ? "" : ", but it did not end on MessageLoop::Quit()");
    const bool delivered = stepper.AllInTime() && fileChanges.load() == 2;
    std::printf("%s\n", delivered ? "Every expected delivery arrived." : "Some expected delivery did not arrive.");
    return delivered && stepper.RanInsideLoop() && stepper.LoopEndedOnQuit() ? 0 : 1;
}

std::atomic<bool> g_interrupted{false};

int RunWatch(LoopKind kind, int& argc, char** argv, const std::vector<std::string>& files) {
    UiLoop loop(kind, argc, argv);
    CWinApp app;
    t_threadName = "ui";
    SubscriptionManager::Instance();
    UIWatchdog::Instance().Start();
    std::vector<std::unique_ptr<FileSubscription>> handles;
    for (const std::string& file : files) {
        struct Printer : Subscriber {
            std::string path;
            void Update(const NotificationInfo* /*info*/) override {
                const double at = std::chrono::duration<double>(Clock::now() - g_start).count();
                std::printf("%6.2fs  changed: %s   (view update rate %.1f ms)\n", at, path.c_str(),
                            UIWatchdog::Instance().GetViewUpdateRate());
                std::fflush(stdout);
            }
        };
        auto* printer = new Printer;
        printer->path = file;
        auto handle = std::make_unique<FileSubscription>();
        handle->SetSubscriber(printer, true);
        handle->Subscribe(CString(std::string_view(file)));
        handles.push_back(std::move(handle));
        std::printf("watching %s (loop %s)\n", file.c_str(), loop.Describe().c_str());
    }
    std::signal(SIGINT, [](int) { g_interrupted = true; });
    std::signal(SIGTERM, [](int) { g_interrupted = true; });
    // One step that lasts until interrupted, checked ten times a second.
    Stepper stepper(
        loop,
        {{.start = [] {}, .done = [] { return g_interrupted.load(); }, .timeout = std::chrono::milliseconds::max()}},
        100);
    stepper.Begin();
    loop.Run();
    handles.clear();
    UIWatchdog::Instance().Stop();
    std::printf("\nstopped\n");
    return 0;
}

void PrintHelp() {
    std::printf(
        "brimsub-demo: change notifications between the modules of one process.\n"
        "\n"
        "  brimsub-demo                  run the scenario (about 10 s): receivers on catalogue keys in\n"
        "                                several subscription types, workers publishing with Notify,\n"
        "                                NotifySend and NotifyPost, payloads, a document whose views\n"
        "                                refresh, files watched through changes, deletion and\n"
        "                                re-creation, and the view update rate while the user-interface\n"
        "                                thread is busy. Each line: what arrived, to whom, on which\n"
        "                                thread, how late. Ends with a summary and the loop that ran;\n"
        "                                exit status 0 when every expected delivery arrived, inside\n"
        "                                the loop, and the loop ended on MessageLoop::Quit().\n"
        "  brimsub-demo --watch FILE...  watch the files until interrupted (Ctrl-C) and print each\n"
        "                                change as it arrives on the user-interface thread, with the\n"
        "                                current view update rate. A change arrives when its save\n"
        "                                completes; where the kernel cannot tell, within 2 s.\n"
        "  brimsub-demo --help           this text; --version: the demo's and the library's version.\n"
        "\n"
        "  --loop=own|glib|qt            the event loop that runs the user-interface thread, with\n"
        "                                either command (default own):\n"
        "                                  own   our message loop, platform::MessageLoop::Run()\n"
        "                                  glib  a GMainLoop with platform::GlibLoop attached\n"
        "                                  qt    a QCoreApplication with platform::QtLoop (no display)\n"
        "                                glib and qt need the adapter in this build (exit status 2\n"
        "                                otherwise). This build has: own%s%s.\n",
        MissingLoop(LoopKind::Glib) == nullptr ? ", glib" : "", MissingLoop(LoopKind::Qt) == nullptr ? ", qt" : "");
}

}  // namespace

int main(int argc, char** argv) {
    LoopKind kind = LoopKind::Own;
    bool watch = false;
    static const option kOptions[] = {
        {"loop", required_argument, nullptr, 'l'},
        {"watch", no_argument, nullptr, 'w'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    // getopt_long names an unknown option itself ("unrecognized option").
    for (int c; (c = getopt_long(argc, argv, "hV", kOptions, nullptr)) != -1;) {
        switch (c) {
            case 'l':
                if (std::strcmp(optarg, "own") == 0) {
                    kind = LoopKind::Own;
                } else if (std::strcmp(optarg, "glib") == 0) {
                    kind = LoopKind::Glib;
                } else if (std::strcmp(optarg, "qt") == 0) {
                    kind = LoopKind::Qt;
                } else {
                    std::fprintf(stderr, "brimsub-demo: unknown loop '%s': own, glib or qt\n", optarg);
                    return 2;
                }
                break;
            case 'w':
                watch = true;
                break;
            case 'h':
                PrintHelp();
                return 0;
            case 'V':
                std::printf("brimsub-demo %s (library %s)\n", BRIMSUBSCRIBER_VERSION_STRING, BrimSubscriberVersion());
                return 0;
            default:
                std::fprintf(stderr, "Try 'brimsub-demo --help'.\n");
                return 2;
        }
    }
    const std::vector<std::string> files(argv + optind, argv + argc);
    if (watch == files.empty()) {
        std::fprintf(stderr, watch ? "brimsub-demo: --watch needs at least one file\n"
                                   : "brimsub-demo: unexpected argument '%s'\n",
                     watch ? "" : files.front().c_str());
        std::fprintf(stderr, "Try 'brimsub-demo --help'.\n");
        return 2;
    }
    if (const char* missing = MissingLoop(kind)) {
        std::fprintf(stderr, "brimsub-demo: --loop=%s: %s\n", LoopName(kind), missing);
        return 2;
    }
    // The toolkits see only the program's name: the options were ours.
    int toolkitArgc = 1;
    return watch ? RunWatch(kind, toolkitArgc, argv, files) : RunScenario(kind, toolkitArgc, argv);
}
