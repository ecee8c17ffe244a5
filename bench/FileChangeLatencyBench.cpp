// From the end of a save to the callback it causes, side by side with the
// file watchers of Qt, GIO and libuv; and what the kernel's notifications
// cost our watcher while nothing changes.
//
// Latency ("Latency/<Save>/<Implementation>"): a fresh file in a fresh
// temporary directory is saved 200 times in one of three ways, by the
// benchmark thread:
// - WriteClose: open with O_TRUNC, one write of the whole content, close;
// - Rename: the content written to a temporary file in the same directory
//   (open, write, close), then renamed onto the name;
// - TruncWriteWrite: fopen("wb") (which truncates), fwrite of the first half,
//   fflush, fwrite of the second half, fflush, fclose: two write calls, the
//   file empty, then half written, before it is complete.
// - Symlink: the path watched is a symbolic link to a file in a directory
//   below; the save opens the link with O_TRUNC, writes and closes, so the
//   file it reaches is written.
// - ParentSwap: the path watched is a file in a directory that each save
//   first renames away, putting an empty directory in its place (rename,
//   mkdir, rename); 10 ms later the save creates the file there (open with
//   O_CREAT | O_TRUNC, write, close).
// Each save writes 4,096 bytes that differ from the save before. The save
// ends after close() (fclose()) or rename() returns. Every implementation
// delivers to a thread of this benchmark that runs its own loop, and the
// callback takes the steady_clock time there, first thing. After each save
// the benchmark thread waits 300 ms (the same for every implementation; ours
// waits 250 ms for a file written and kept open, so a delay of its own
// shows), then 30 ms more before the next save; every callback from the
// start of a save to the start of the next is that save's. A save's latency
// is from its end to the LAST callback it caused. Counters:
// - median_ns, p99_ns: over the saves that caused a callback (a latency below
//   zero means even the last callback came before the save had ended);
// - callbacks_per_save: callbacks divided by saves;
// - exactly_one_percent: saves that caused exactly one callback;
// - missed: saves that caused none;
// - early: callbacks that ran before their save had ended;
// - early_before_last_call: of those, the ones that ran even before the call
//   that completes the save (close, fclose, rename) was entered: the file was
//   reported truncated or half written. The others ran while that call was
//   still returning: the kernel reports a close or a rename from inside the
//   call, and a rename that replaces a file returns only after the replaced
//   file has been released, so a fast watcher can run before it returns;
// - stray: callbacks before the first save, after the watch had settled
//   (300 ms after it started).
// The implementations:
// - Ours: a FileWatcher of our own with default Options (2,000 ms polling,
//   the kernel's notifications on) watching the file; the receiver is
//   subscribed to the path in FILE_SUBSCRIPTION_TYPE through
//   SubscriptionManager, whose user-interface thread (bench::HubUiThread)
//   runs our platform::MessageLoop.
// - QtFsWatcher: QFileSystemWatcher made in a QThread that runs its event
//   loop; a callback is one fileChanged signal. After a rename Qt drops the
//   path from its watch list (it watched the file that was replaced); the
//   slot adds it again at once, as Qt's users must. Counter readds: how often
//   that happened (not counted as a miss).
// - GioMonitor: g_file_monitor_file with G_FILE_MONITOR_WATCH_MOVES, made on
//   a thread whose own GMainContext is pushed as the thread default and run
//   by a GMainLoop. A callback is one "changed" signal of kind CHANGED,
//   CHANGES_DONE_HINT or CREATED about the file, RENAMED onto it, or MOVED_IN
//   as it. Counters gio_changed, gio_done_hint, gio_created, gio_renamed,
//   gio_moved_in, gio_other: signals of each kind per save (other: not
//   counted as callbacks).
// - UvFsEvent: uv_fs_event_start on the file, on a thread that runs the uv
//   loop. The kernel watch libuv takes is on the file itself, so it ends with
//   the file that a rename replaces; it is not restarted (that is how its
//   users get it), and the saves after that count as missed as they happen.
//   Counters uv_change, uv_rename: events of each kind per save.
//
// A busy log ("BusyLog/Lines<rate>/<Implementation>"): a file appended line
// by line, each line opened with O_APPEND, written and closed, at 900 or
// 3,300 lines a second for 3 s, to a receiver that works 2 ms per callback
// on the thread that runs it. For ours another module meanwhile posts an
// empty call to the same user-interface thread (DispatchAsync on a
// dispatcher of its own there) once a millisecond. After the writer stops,
// the benchmark waits until no callback has run for a second. Counters:
// lines; reports (callbacks); busy_after_ms: from the writer's stop to the end
// of the last callback; for ours, posts_elsewhere and refused_elsewhere (the
// other module's posts, and those refused at the queue's bound).
//
// CPU share with the kernel's help ("Watch/IdleCpu10000/OursKernel" and
// "/OursPolling", counter cpu_percent): the 10,000 unchanged files of
// bench::WatchedFileSet under a FileWatcher of its own, measured as
// CpuShareOurs in PeerFileWatchBench.cpp measures (bench/WatchCpuShare.h)
// but over three polling periods: once with the kernel's notifications on
// (the default) and once with FileWatcher::SetKernelNotification(false),
// polling alone. Counter kernel_watches: directories watched through the
// kernel (those on the way to the files, and 0), so the row shows the switch
// took. With the kernel's help a pass looks only at the files the kernel
// cannot vouch for (none here: a local file system, every directory watched)
// and at its share of the slow sweep, one file in
// FileWatcher::kSlowSweepPasses; polling alone it looks at every file. Each
// is the median of five runs, since one run of each would compare two draws
// of the machine's load.

#include "BenchSupport.h"
#include "QtPeers.h"
#include "WatchCpuShare.h"

#include <BrimSubscriber/filewatch/FileWatcher.h>
#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>

#include <QFileSystemWatcher>
#include <QString>
#include <QThread>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uv.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSaves = 200;
constexpr auto kCollect = 300ms;  // after each save, the same for every implementation
constexpr auto kGap = 30ms;       // then this much more before the next save
constexpr auto kSettle = 300ms;   // after the watch starts, before the first save
constexpr std::size_t kFileBytes = 4096;
constexpr int kIdlePeriods = 3;
constexpr int kIdleRepetitions = 5;

constexpr auto kSwapLead = 10ms;  // from a parent's swap to the save in it
constexpr auto kBusyRun = 3s;     // a busy log is written this long
constexpr auto kReceiverWork = 2ms;

enum class Save { WriteClose, Rename, TruncWriteWrite, Symlink, ParentSwap };

// When callbacks ran, taken first thing on the thread that runs them, and
// tallies of whatever else an implementation wants to show per save.
class CallbackLog {
public:
    // Each callback then also works `work` on its thread, as a receiver that
    // reads the file would; the time it ends is kept too.
    void SetWork(Clock::duration work) { m_work = work; }
    void Hit() { HitAt(Clock::now()); }
    void HitAt(Clock::time_point when) {
        {
            const std::lock_guard lock(m_mutex);
            m_times.push_back(when);
        }
        if (m_work == Clock::duration::zero()) return;
        while (Clock::now() < when + m_work) {
        }
        const std::lock_guard lock(m_mutex);
        m_lastEnd = Clock::now();
    }
    void Tally(const std::string& name) {
        const std::lock_guard lock(m_mutex);
        ++m_tallies[name];
    }
    std::vector<Clock::time_point> TakeTimes() {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_times, {});
    }
    std::map<std::string, std::uint64_t> TakeTallies() {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_tallies, {});
    }
    std::size_t Count() {
        const std::lock_guard lock(m_mutex);
        return m_times.size();
    }
    Clock::time_point LastEnd() {
        const std::lock_guard lock(m_mutex);
        return m_lastEnd;
    }

private:
    Clock::duration m_work{};  // set before the watch starts
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_times;
    std::map<std::string, std::uint64_t> m_tallies;
    Clock::time_point m_lastEnd{};
};

// A fresh temporary directory holding the saved file (4,096 bytes to begin
// with), removed with everything in it at the end.
class SaveTarget {
public:
    // The path watched is the file itself, or, for Symlink, a link to a file
    // in a directory below; for ParentSwap, a file in a directory that each
    // save replaces.
    explicit SaveTarget(Save save) {
        std::random_device random;
        m_dir = std::filesystem::temp_directory_path() / ("brim-bench-latency-" + std::to_string(random()));
        std::filesystem::create_directories(m_dir / "real");
        std::filesystem::create_directories(m_dir / "parent");
        const std::string name = "survey-line-12.xyz";
        m_path = (m_dir / (save == Save::ParentSwap ? "parent/" + name : name)).string();
        m_temporary = (m_dir / ("." + name + ".tmp")).string();
        if (save == Save::Symlink) std::filesystem::create_symlink(m_dir / "real" / name, m_path);
        std::ofstream(m_path, std::ios::binary) << Content(-1);
    }
    SaveTarget(const SaveTarget&) = delete;
    SaveTarget& operator=(const SaveTarget&) = delete;
    ~SaveTarget() {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    const std::string& Path() const { return m_path; }

    // When the call that completes a save (close, or rename) was entered,
    // and when it returned: the end of the save.
    struct Ends {
        Clock::time_point lastCall;
        Clock::time_point end;
    };

    // Saves the file the given way; nothing when a call failed.
    std::optional<Ends> Run(Save save, int number) const {
        const std::string content = Content(number);
        Ends ends;
        switch (save) {
            case Save::ParentSwap: {
                // The directory moves away and an empty one takes its name;
                // the save then creates the file in it.
                const std::string old = (m_dir / ("old" + std::to_string(number))).string();
                const std::string spare = (m_dir / "spare").string();
                const std::string parent = (m_dir / "parent").string();
                if (::rename(parent.c_str(), old.c_str()) != 0 || ::mkdir(spare.c_str(), 0755) != 0 ||
                    ::rename(spare.c_str(), parent.c_str()) != 0) {
                    return std::nullopt;
                }
                std::this_thread::sleep_for(kSwapLead);
                [[fallthrough]];
            }
            case Save::Symlink:  // through the link: the file it reaches is written
            case Save::WriteClose: {
                const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd < 0) return std::nullopt;
                const bool written = WriteAll(fd, content.data(), content.size());
                ends.lastCall = Clock::now();
                if (::close(fd) != 0 || !written) return std::nullopt;
                ends.end = Clock::now();
                return ends;
            }
            case Save::Rename: {
                const int fd = ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd < 0) return std::nullopt;
                const bool written = WriteAll(fd, content.data(), content.size());
                if (::close(fd) != 0 || !written) return std::nullopt;
                ends.lastCall = Clock::now();
                if (::rename(m_temporary.c_str(), m_path.c_str()) != 0) return std::nullopt;
                ends.end = Clock::now();
                return ends;
            }
            case Save::TruncWriteWrite: {
                std::FILE* file = std::fopen(m_path.c_str(), "wb");
                if (file == nullptr) return std::nullopt;
                const std::size_t half = content.size() / 2;
                const std::size_t rest = content.size() - half;
                // Each fflush makes one write call, so fclose only closes.
                bool written = std::fwrite(content.data(), 1, half, file) == half && std::fflush(file) == 0;
                written = std::fwrite(content.data() + half, 1, rest, file) == rest && std::fflush(file) == 0 && written;
                ends.lastCall = Clock::now();
                if (std::fclose(file) != 0 || !written) return std::nullopt;
                ends.end = Clock::now();
                return ends;
            }
        }
        return std::nullopt;
    }

    // Appends one line and closes the file: a log written as it goes.
    bool AppendLine(int number) const {
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) return false;
        const std::string line = "line " + std::to_string(number) + " of the log\n";
        const bool written = WriteAll(fd, line.data(), line.size());
        return ::close(fd) == 0 && written;
    }

private:
    // 4,096 bytes that name the save, so that no two saves write the same.
    static std::string Content(int number) {
        std::string text = "save " + std::to_string(number) + "\n";
        text.resize(kFileBytes, static_cast<char>('a' + (number + 26) % 26));
        text.back() = '\n';
        return text;
    }
    static bool WriteAll(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size);
            if (n <= 0) return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    std::filesystem::path m_dir;
    std::string m_path;
    std::string m_temporary;
};

// When one save began, entered its last call (close or rename), and ended.
struct SaveTimes {
    Clock::time_point begin;
    Clock::time_point lastCall;
    Clock::time_point end;
};

// Waits for the watch to settle, forgets what its start caused (counted as
// stray, apart from what the saves cause), then makes the 200 saves with
// their pauses. False when a save failed.
bool MakeSaves(benchmark::State& state, const SaveTarget& target, Save save, CallbackLog& log,
               std::vector<SaveTimes>& saves, std::size_t& stray) {
    std::this_thread::sleep_for(kSettle);
    stray = log.TakeTimes().size();
    log.TakeTallies();
    for (int i = 0; i < kSaves; ++i) {
        const Clock::time_point begin = Clock::now();
        const auto ends = target.Run(save, i);
        if (!ends) {
            state.SkipWithError("a save failed");
            return false;
        }
        saves.push_back({begin, ends->lastCall, ends->end});
        std::this_thread::sleep_until(ends->end + kCollect + kGap);
    }
    return true;
}

// The counters of one run from the saves and the callback times.
void Report(benchmark::State& state, const std::vector<SaveTimes>& saves, std::vector<Clock::time_point> times,
            std::size_t stray) {
    std::sort(times.begin(), times.end());
    std::vector<std::int64_t> latencies;
    std::size_t callbacks = 0;
    std::size_t exactlyOne = 0;
    std::size_t missed = 0;
    std::size_t early = 0;
    std::size_t beforeLastCall = 0;
    auto next = std::lower_bound(times.begin(), times.end(), saves.front().begin);
    stray += static_cast<std::size_t>(next - times.begin());
    for (std::size_t i = 0; i < saves.size(); ++i) {
        const auto until = i + 1 < saves.size() ? std::lower_bound(next, times.end(), saves[i + 1].begin) : times.end();
        const auto count = static_cast<std::size_t>(until - next);
        callbacks += count;
        if (count == 0) {
            ++missed;
        } else {
            if (count == 1) ++exactlyOne;
            early += static_cast<std::size_t>(std::count_if(next, until, [&](Clock::time_point t) { return t < saves[i].end; }));
            beforeLastCall += static_cast<std::size_t>(
                std::count_if(next, until, [&](Clock::time_point t) { return t < saves[i].lastCall; }));
            latencies.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(*(until - 1) - saves[i].end).count());
        }
        next = until;
    }
    const double n = static_cast<double>(saves.size());
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        const auto at = [&](double q) {
            return static_cast<double>(latencies[static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1))]);
        };
        state.counters["median_ns"] = at(0.5);
        state.counters["p99_ns"] = at(0.99);
    }
    state.counters["saves"] = n;
    state.counters["callbacks_per_save"] = static_cast<double>(callbacks) / n;
    state.counters["exactly_one_percent"] = 100.0 * static_cast<double>(exactlyOne) / n;
    state.counters["missed"] = static_cast<double>(missed);
    state.counters["early"] = static_cast<double>(early);
    state.counters["early_before_last_call"] = static_cast<double>(beforeLastCall);
    state.counters["stray"] = static_cast<double>(stray);
}

void ReportTallies(benchmark::State& state, const std::map<std::string, std::uint64_t>& tallies,
                   std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const auto found = tallies.find(name);
        state.counters[name] = static_cast<double>(found == tallies.end() ? 0 : found->second) / kSaves;
    }
}

// Runs the saves against a watch that `Watch` starts on construction (on its
// own thread) and stops on destruction, then reports. `extra` adds an
// implementation's own counters from the watch and the log's tallies.
template <class Watch>
void MeasureLatency(benchmark::State& state, Save save,
                    const std::function<void(benchmark::State&, Watch&, const std::map<std::string, std::uint64_t>&)>& extra = {}) {
    std::vector<SaveTimes> saves;
    std::vector<Clock::time_point> times;
    std::map<std::string, std::uint64_t> tallies;
    std::size_t stray = 0;
    for (auto _ : state) {
        const SaveTarget target(save);
        CallbackLog log;
        Watch watch(target.Path(), log);
        if (!watch.Started()) {
            state.SkipWithError("the watch could not be started");
            return;
        }
        if (!MakeSaves(state, target, save, log, saves, stray)) return;
        watch.Stop();  // no callback runs after this
        times = log.TakeTimes();
        tallies = log.TakeTallies();
        if (extra) extra(state, watch, tallies);
    }
    Report(state, saves, std::move(times), stray);
}

// --- Ours ---------------------------------------------------------------------------

class OursWatch {
public:
    OursWatch(const std::string& path, CallbackLog& log)
        : m_key(path), m_receiver([&log](const NotificationInfo*) { log.Hit(); }) {
        FileWatcher::SetKernelNotification(true);
        SubscriptionManager::Instance().Subscribe(FILE_SUBSCRIPTION_TYPE, m_key, &m_receiver);
        m_started = m_watcher.AddFileWatch(m_key);
        m_kernelWatches = m_watcher.GetKernelWatchCount();
    }
    OursWatch(const OursWatch&) = delete;
    OursWatch& operator=(const OursWatch&) = delete;
    ~OursWatch() { Stop(); }
    bool Started() const { return m_started; }
    std::size_t KernelWatches() const { return m_kernelWatches; }
    void Stop() {
        if (m_stopped) return;
        m_stopped = true;
        if (m_started) m_watcher.RemoveFileWatch(m_key);
        SubscriptionManager::Instance().Unsubscribe(FILE_SUBSCRIPTION_TYPE, m_key, &m_receiver);
        // A notification queued before the unsubscription may still be
        // running the receiver on the hub's thread.
        bench::HubUiThread::Instance().Flush();
    }

private:
    const CString m_key;
    CallbackSubscriber m_receiver;
    FileWatcher m_watcher{FileWatcher::Options{}};
    bool m_started = false;
    bool m_stopped = false;
    std::size_t m_kernelWatches = 0;
};

void LatencyOurs(benchmark::State& state, Save save) {
    bench::HubUiThread::Instance().Designate();  // a posting row before this one may have cleared it
    if (!bench::HubUiThread::Delivers()) {
        state.SkipWithError("the hub was first reached off the user-interface thread");
        return;
    }
    MeasureLatency<OursWatch>(state, save, [](benchmark::State& s, OursWatch& watch, const auto&) {
        s.counters["kernel_watches"] = static_cast<double>(watch.KernelWatches());
    });
}

// --- Qt: QFileSystemWatcher -------------------------------------------------------------

class QtWatch : private QThread {
public:
    QtWatch(const std::string& path, CallbackLog& log) : m_path(QString::fromStdString(path)), m_log(log) {
        bench::EnsureQtApplication();
        start();
        m_ready.Wait();
    }
    QtWatch(const QtWatch&) = delete;
    QtWatch& operator=(const QtWatch&) = delete;
    ~QtWatch() override { Stop(); }
    bool Started() const { return m_started; }
    void Stop() {
        quit();
        wait();
    }
    int Readds() const { return m_readds; }
    int FailedReadds() const { return m_failedReadds; }

private:
    void run() override {
        QFileSystemWatcher watcher;
        m_started = watcher.addPath(m_path);
        QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &watcher, [this, &watcher](const QString& path) {
            m_log.Hit();
            // The watch went with the file a rename replaced: watch the name again.
            if (!watcher.files().contains(path)) {
                if (watcher.addPath(path)) {
                    ++m_readds;
                } else {
                    ++m_failedReadds;
                }
            }
        });
        m_ready.Set();
        exec();
    }

    const QString m_path;
    CallbackLog& m_log;
    platform::Event m_ready;
    bool m_started = false;         // written before m_ready is set
    std::atomic<int> m_readds{0};
    std::atomic<int> m_failedReadds{0};
};

void LatencyQt(benchmark::State& state, Save save) {
    MeasureLatency<QtWatch>(state, save, [](benchmark::State& s, QtWatch& watch, const auto&) {
        s.counters["readds"] = watch.Readds();
        s.counters["failed_readds"] = watch.FailedReadds();
    });
}

// --- GIO: GFileMonitor ------------------------------------------------------------------

class GioWatch {
public:
    GioWatch(const std::string& path, CallbackLog& log)
        : m_path(path), m_log(log), m_context(g_main_context_new()), m_loop(g_main_loop_new(m_context, FALSE)) {
        m_thread = std::thread([this] { Run(); });
        m_ready.Wait();
        if (!m_started) Stop();
    }
    GioWatch(const GioWatch&) = delete;
    GioWatch& operator=(const GioWatch&) = delete;
    ~GioWatch() {
        Stop();
        g_main_loop_unref(m_loop);
        g_main_context_unref(m_context);
    }
    bool Started() const { return m_started; }
    void Stop() {
        if (!m_thread.joinable()) return;
        g_main_loop_quit(m_loop);
        m_thread.join();
    }

private:
    void Run() {
        g_main_context_push_thread_default(m_context);
        GFile* file = g_file_new_for_path(m_path.c_str());
        GFileMonitor* monitor = g_file_monitor_file(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
        m_started = monitor != nullptr;
        if (monitor != nullptr) {
            g_signal_connect(monitor, "changed", G_CALLBACK(&GioWatch::OnChanged), this);
            // The loop runs once this source is dispatched, so a later
            // g_main_loop_quit cannot come before g_main_loop_run.
            GSource* idle = g_idle_source_new();
            g_source_set_callback(
                idle,
                [](gpointer self) -> gboolean {
                    static_cast<GioWatch*>(self)->m_ready.Set();
                    return G_SOURCE_REMOVE;
                },
                this, nullptr);
            g_source_attach(idle, m_context);
            g_source_unref(idle);
            g_main_loop_run(m_loop);
            g_file_monitor_cancel(monitor);
            g_object_unref(monitor);
        } else {
            m_ready.Set();
        }
        g_object_unref(file);
        g_main_context_pop_thread_default(m_context);
    }

    static bool IsPath(GFile* file, const std::string& path) {
        if (file == nullptr) return false;
        char* own = g_file_get_path(file);
        const bool same = own != nullptr && path == own;
        g_free(own);
        return same;
    }

    static void OnChanged(GFileMonitor* /*monitor*/, GFile* file, GFile* other, GFileMonitorEvent event, gpointer data) {
        const Clock::time_point now = Clock::now();
        auto& self = *static_cast<GioWatch*>(data);
        bool counted = false;
        switch (event) {
            case G_FILE_MONITOR_EVENT_CHANGED:
                self.m_log.Tally("gio_changed");
                counted = IsPath(file, self.m_path);
                break;
            case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
                self.m_log.Tally("gio_done_hint");
                counted = IsPath(file, self.m_path);
                break;
            case G_FILE_MONITOR_EVENT_CREATED:
                self.m_log.Tally("gio_created");
                counted = IsPath(file, self.m_path);
                break;
            case G_FILE_MONITOR_EVENT_RENAMED:
                self.m_log.Tally("gio_renamed");
                counted = IsPath(other, self.m_path);
                break;
            case G_FILE_MONITOR_EVENT_MOVED_IN:
                self.m_log.Tally("gio_moved_in");
                counted = IsPath(file, self.m_path);
                break;
            default:
                self.m_log.Tally("gio_other");
                break;
        }
        if (counted) self.m_log.HitAt(now);
    }

    const std::string m_path;
    CallbackLog& m_log;
    GMainContext* m_context;
    GMainLoop* m_loop;
    platform::Event m_ready;
    bool m_started = false;  // written before m_ready is set
    std::thread m_thread;
};

void LatencyGio(benchmark::State& state, Save save) {
    MeasureLatency<GioWatch>(state, save, [](benchmark::State& s, GioWatch&, const auto& tallies) {
        ReportTallies(s, tallies, {"gio_changed", "gio_done_hint", "gio_created", "gio_renamed", "gio_moved_in", "gio_other"});
    });
}

// --- libuv: uv_fs_event -----------------------------------------------------------------

class UvWatch {
public:
    UvWatch(const std::string& path, CallbackLog& log) : m_path(path), m_log(log) {
        m_thread = std::thread([this] { Run(); });
        m_ready.Wait();
    }
    UvWatch(const UvWatch&) = delete;
    UvWatch& operator=(const UvWatch&) = delete;
    ~UvWatch() { Stop(); }
    bool Started() const { return m_startError == 0; }
    void Stop() {
        if (!m_thread.joinable()) return;
        uv_async_send(&m_stop);
        m_thread.join();
    }

private:
    void Run() {
        uv_loop_init(&m_loop);
        m_stop.data = this;
        uv_async_init(&m_loop, &m_stop, [](uv_async_t* async) {
            auto& self = *static_cast<UvWatch*>(async->data);
            uv_fs_event_stop(&self.m_event);
            uv_close(reinterpret_cast<uv_handle_t*>(&self.m_event), nullptr);
            uv_close(reinterpret_cast<uv_handle_t*>(&self.m_stop), nullptr);
        });
        uv_fs_event_init(&m_loop, &m_event);
        m_event.data = this;
        m_startError = uv_fs_event_start(&m_event, &UvWatch::OnEvent, m_path.c_str(), 0);
        m_ready.Set();
        uv_run(&m_loop, UV_RUN_DEFAULT);
        uv_loop_close(&m_loop);
    }

    static void OnEvent(uv_fs_event_t* handle, const char* /*filename*/, int events, int /*status*/) {
        const Clock::time_point now = Clock::now();
        auto& self = *static_cast<UvWatch*>(handle->data);
        if ((events & UV_CHANGE) != 0) self.m_log.Tally("uv_change");
        if ((events & UV_RENAME) != 0) self.m_log.Tally("uv_rename");
        self.m_log.HitAt(now);
    }

    const std::string m_path;
    CallbackLog& m_log;
    uv_loop_t m_loop{};
    uv_async_t m_stop{};
    uv_fs_event_t m_event{};
    int m_startError = 0;  // written before m_ready is set
    platform::Event m_ready;
    std::thread m_thread;
};

void LatencyUv(benchmark::State& state, Save save) {
    MeasureLatency<UvWatch>(state, save, [](benchmark::State& s, UvWatch&, const auto& tallies) {
        ReportTallies(s, tallies, {"uv_change", "uv_rename"});
    });
}

// --- A busy log -------------------------------------------------------------------------

// A log appended line by line (open, append, close) at `rate` lines a second
// for kBusyRun, to a receiver that works kReceiverWork per callback. For ours,
// another module posts to the same user-interface thread once a millisecond
// meanwhile; the posts refused are counted. After the writer stops, the
// callbacks still to come are waited for (until none has run for a second).
template <class Watch>
void MeasureBusyLog(benchmark::State& state, int rate, bool ours) {
    const SaveTarget target(Save::WriteClose);
    CallbackLog log;
    log.SetWork(kReceiverWork);
    std::uint64_t lines = 0;
    std::atomic<std::uint64_t> posts{0};
    std::atomic<std::uint64_t> refused{0};
    Clock::time_point stopped;
    for (auto _ : state) {
        Watch watch(target.Path(), log);
        if (!watch.Started()) {
            state.SkipWithError("the watch could not be started");
            return;
        }
        std::this_thread::sleep_for(kSettle);
        log.TakeTimes();
        std::atomic<bool> writing{true};
        std::thread elsewhere;
        if (ours) {
            elsewhere = std::thread([&] {
                for (auto next = Clock::now(); writing; next += 1ms) {
                    ++posts;
                    if (!bench::HubUiThread::Instance().Post([] {})) ++refused;
                    std::this_thread::sleep_until(next + 1ms);
                }
            });
        }
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
        const Clock::time_point begin = Clock::now();
        for (auto next = begin; Clock::now() < begin + kBusyRun; next += period) {
            if (!target.AppendLine(static_cast<int>(lines++))) {
                state.SkipWithError("a line could not be written");
                break;
            }
            std::this_thread::sleep_until(next + period);
        }
        stopped = Clock::now();
        writing = false;
        if (elsewhere.joinable()) elsewhere.join();
        for (std::size_t seen = SIZE_MAX; seen != log.Count() && Clock::now() < stopped + 30s;) {
            seen = log.Count();
            std::this_thread::sleep_for(1s);
        }
        watch.Stop();
    }
    const Clock::time_point lastEnd = log.LastEnd();
    state.counters["lines"] = static_cast<double>(lines);
    state.counters["reports"] = static_cast<double>(log.TakeTimes().size());
    state.counters["busy_after_ms"] =
        lastEnd > stopped ? std::chrono::duration<double, std::milli>(lastEnd - stopped).count() : 0.0;
    if (ours) {
        state.counters["posts_elsewhere"] = static_cast<double>(posts);
        state.counters["refused_elsewhere"] = static_cast<double>(refused);
    }
}

// --- CPU share of 10,000 idle files, with the kernel's help and without -----------------

void IdleCpuOurs(benchmark::State& state, bool kernel) {
    std::vector<CString> paths;
    for (const std::string& p : bench::WatchedFileSet::Paths()) paths.emplace_back(p);
    bench::WatchCpuShare share;
    FileWatcher::SetKernelNotification(kernel);
    for (auto _ : state) share = bench::MeasureOurWatchCpuShare(paths, kIdlePeriods);
    FileWatcher::SetKernelNotification(true);
    state.counters["cpu_percent"] = share.percent;
    state.counters["window_s"] = share.windowSeconds;
    state.counters["kernel_watches"] = static_cast<double>(share.kernelWatches);
}

// --- Registration -----------------------------------------------------------------------

const bool kRegistered = [] {
    const std::pair<const char*, Save> saves[] = {{"WriteClose", Save::WriteClose},
                                                  {"Rename", Save::Rename},
                                                  {"TruncWriteWrite", Save::TruncWriteWrite},
                                                  {"Symlink", Save::Symlink},
                                                  {"ParentSwap", Save::ParentSwap}};
    const std::pair<const char*, void (*)(benchmark::State&, Save)> implementations[] = {
        {"Ours", LatencyOurs}, {"QtFsWatcher", LatencyQt}, {"GioMonitor", LatencyGio}, {"UvFsEvent", LatencyUv}};
    for (const auto& [saveName, save] : saves) {
        for (const auto& [implName, measure] : implementations) {
            const std::string name = std::string("Latency/") + saveName + "/" + implName;
            benchmark::RegisterBenchmark(name.c_str(), [measure = measure, save = save](benchmark::State& state) {
                measure(state, save);
            })->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
        }
    }
    const std::pair<const char*, void (*)(benchmark::State&, int)> busy[] = {
        {"Ours", [](benchmark::State& s, int rate) { MeasureBusyLog<OursWatch>(s, rate, true); }},
        {"QtFsWatcher", [](benchmark::State& s, int rate) { MeasureBusyLog<QtWatch>(s, rate, false); }},
        {"GioMonitor", [](benchmark::State& s, int rate) { MeasureBusyLog<GioWatch>(s, rate, false); }},
        {"UvFsEvent", [](benchmark::State& s, int rate) { MeasureBusyLog<UvWatch>(s, rate, false); }}};
    for (const int rate : {900, 3300}) {
        for (const auto& [implName, measure] : busy) {
            const std::string name = "BusyLog/Lines" + std::to_string(rate) + "/" + implName;
            benchmark::RegisterBenchmark(name.c_str(), [measure = measure, rate](benchmark::State& state) {
                measure(state, rate);
            })->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
        }
    }
    for (const auto& [implName, kernel] : {std::pair{"OursKernel", true}, std::pair{"OursPolling", false}}) {
        const std::string name = std::string("Watch/IdleCpu10000/") + implName;
        benchmark::RegisterBenchmark(name.c_str(), [kernel = kernel](benchmark::State& state) { IdleCpuOurs(state, kernel); })
            ->Iterations(1)->Repetitions(kIdleRepetitions)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace
