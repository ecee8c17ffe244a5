// brimsub-demo: the library at work in a small survey application.
//
// The main thread is the user-interface thread and runs the message loop.
// Receivers and handles subscribe to catalogue keys in several subscription
// types; worker threads publish with Notify, NotifySend and NotifyPost;
// payloads are read by their receivers; a document's views refresh through a
// DocumentSubscriber; files in a temporary folder are watched, changed,
// deleted and re-created; the watchdog's view update rate is printed while the
// user-interface thread is kept busy for a moment. Every delivery line says
// what arrived, to whom, on which thread and how late.
//
//   brimsub-demo                  the scenario above, about 15 seconds
//   brimsub-demo --watch FILE...  print each change of the files until Ctrl-C

#include "filewatch/FileSubscription.h"
#include "filewatch/NFData.h"
#include "mainthread/MainThreadDispatcher.h"
#include "mainthread/UIWatchdog.h"
#include "payloads/DataId_NI.h"
#include "payloads/DocumentSubscriber.h"
#include "payloads/NFSyncProcessing.h"
#include "payloads/SubKeys.h"
#include "platform/Document.h"
#include "platform/MessageLoop.h"
#include "platform/WinThread.h"
#include "platform/Wnd.h"
#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/Subscription.h"
#include "subscription/SubscriptionManager.h"

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

bool Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return platform::MessageLoop::Current().RunUntil(done, timeout);
}

void Touch(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
    g_published.Mark(CString(u"file"));
}

int RunScenario() {
    CWinApp app;  // this thread is the user-interface thread
    t_threadName = "ui";
    MainFrame frame;
    frame.CreateEx("BrimSubscriber demo");
    app.SetMainWnd(&frame);
    auto& hub = SubscriptionManager::Instance();  // first use on the UI thread
    UIWatchdog::Instance().Start();
    bool ok = true;

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

    Say("Notify: two workers publish data ids; the receivers run on the workers");
    for (const char* name : {"worker-1", "worker-2"}) {
        std::thread([&hub, name] {
            t_threadName = name;
            const StampedDataId info(CDataId(12, name[7] == '1' ? 40512 : 40513));
            hub.Notify(kDisplayType, GeneralSubKeys::DISPLAY_LAYER_ADDED, &info, nullptr);
        }).join();
    }

    Say("NotifySend: an editor's selection reaches the other editors on the UI thread");
    std::atomic<bool> sent{false};
    std::thread sender([&] {
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
    ok &= Pump([&] { return sent.load(); }, 10s);
    sender.join();

    Say("NotifyPost: a worker posts and goes on; the layer list hears it later on the UI thread");
    std::thread([&] {
        t_threadName = "worker-4";
        g_published.Mark(GeneralSubKeys::DISPLAY_LAYER_ADDED);
        hub.NotifyPost(kDisplayType, GeneralSubKeys::DISPLAY_LAYER_ADDED);
        hub.NotifyPost(kDisplayType, GeneralSubKeys::DISPLAY_LAYER_ADDED);
    }).join();
    ok &= Pump([] { return g_summary.Count("NotifyPost") == 2; }, 10s);

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

    Say("DocumentSubscriber: a worker publishes CMAP; the views refresh on the UI thread");
    std::thread([&] {
        t_threadName = "worker-6";
        CWinThread thread;  // an application worker: its thread object knows the main window
        thread.SetMainWnd(&frame);
        g_published.Mark(GeneralSubKeys::CMAP);
        hub.Notify(kDisplayType, GeneralSubKeys::CMAP, nullptr, nullptr);
    }).join();
    ok &= Pump([] { return g_summary.Count("DocumentSubscriber") == 2; }, 10s);

    // --- Files: watched, changed, deleted and re-created ------------------
    const auto folder = std::filesystem::temp_directory_path() / ("brimsub-demo-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto sounding = folder / "sounding.xyz";
    Touch(sounding, "0 0 12.5\n");
    std::atomic<int> fileChanges{0};
    FileSubscription watched;
    watched.SetSubscriber(new FileChangePrinter([&] { ++fileChanges; }), true);
    watched.Subscribe(CString(sounding.string()));
    Say(("watching " + sounding.string() + " (the watcher looks every 2 s)").c_str());

    Touch(sounding, "0 0 12.5\n1 0 12.7\n");
    Say("changed it");
    ok &= Pump([&] { return fileChanges.load() == 1; }, 10s);
    std::filesystem::remove(sounding);
    Say("deleted it (a missing file is not a change)");
    Touch(sounding, "0 0 13.0\n");
    Say("re-created it");
    ok &= Pump([&] { return fileChanges.load() == 2; }, 10s);

    // --- The watchdog while the UI thread is busy, then free again ---------
    Say("the UI thread is kept busy for 2.5 s; a worker prints the view update rate each second");
    std::atomic<bool> reporting{true};
    std::thread reporter([&] {
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
    Pump([] { return false; }, 5200ms);  // keep the loop going while the reporter prints
    reporting = false;
    reporter.join();

    UIWatchdog::Instance().Stop();
    hub.Unsubscribe(kDisplayType, GeneralSubKeys::CMAP, &refresher);
    watched.Unsubscribe();
    std::filesystem::remove_all(folder);

    g_summary.Print();
    const bool complete = ok && fileChanges.load() == 2;
    std::printf("\n%s\n", complete ? "Every expected delivery arrived." : "Some expected delivery did not arrive.");
    return complete ? 0 : 1;
}

std::atomic<bool> g_interrupted{false};

int RunWatch(const std::vector<std::string>& files) {
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
        std::printf("watching %s\n", file.c_str());
    }
    std::signal(SIGINT, [](int) { g_interrupted = true; });
    std::signal(SIGTERM, [](int) { g_interrupted = true; });
    while (!g_interrupted) Pump([] { return g_interrupted.load(); }, 1s);
    handles.clear();
    UIWatchdog::Instance().Stop();
    std::printf("\nstopped\n");
    return 0;
}

void PrintHelp() {
    std::printf(
        "brimsub-demo: change notifications between the modules of one process.\n"
        "\n"
        "  brimsub-demo                  run the scenario (about 15 s): receivers on catalogue keys in\n"
        "                                several subscription types, workers publishing with Notify,\n"
        "                                NotifySend and NotifyPost, payloads, a document whose views\n"
        "                                refresh, files watched through changes, deletion and\n"
        "                                re-creation, and the view update rate while the user-interface\n"
        "                                thread is busy. Each line: what arrived, to whom, on which\n"
        "                                thread, how late. Ends with a summary; exit status 0 when every\n"
        "                                expected delivery arrived.\n"
        "  brimsub-demo --watch FILE...  watch the files until interrupted (Ctrl-C) and print each\n"
        "                                change as it arrives on the user-interface thread, with the\n"
        "                                current view update rate. Files are looked at every 2 s.\n"
        "  brimsub-demo --help           this text.\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return RunScenario();
    if (args[0] == "--help" || args[0] == "-h") {
        PrintHelp();
        return 0;
    }
    if (args[0] == "--watch" && args.size() > 1) return RunWatch({args.begin() + 1, args.end()});
    PrintHelp();
    return 2;
}
