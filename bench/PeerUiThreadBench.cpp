// Handing work to the user-interface thread, side by side with peer loops.
//
// Every implementation gets a consumer thread of its own that runs its own
// event loop; the benchmark thread and, for posting, a gang of worker threads
// are the producers.
//
// Posting ("Post/Workers1", "Post/Workers4"): posts per second, counted until
// the last one has run on the consumer. Each batch of 8,000 stays below our
// bound of 10,000 messages waiting per thread, and every implementation is
// measured with the same batches and the same end-of-batch signal.
// - OursNotifyPost: SubscriptionMap::NotifyPost of one key, from a map built
//   on our user-interface thread, to one receiver (the key is copied and
//   looked up on delivery, as the call promises).
// - OursDispatchAsync: MainThreadDispatcher::DispatchAsync of a lambda.
// - Qt: a Qt 5 signal without arguments with Qt::QueuedConnection to a
//   lambda whose context object lives in a QThread running its event loop.
// - GLib: g_main_context_invoke to a GMainContext that a thread runs with
//   g_main_loop_run (each call attaches one idle source).
// - Asio: asio::post to an io_context that a thread runs.
//
// Sending ("Send/RoundTrip"): 20,000 round trips in sequence from the
// benchmark thread; median and 99th percentile of each one's steady_clock time.
// - OursNotifySend: SubscriptionMap::NotifySend of one key to one receiver.
// - OursDispatchSync: MainThreadDispatcher::DispatchSync of a lambda.
// - Qt: the payload signal with Qt::BlockingQueuedConnection.
// - GLib / Asio: the same post as above, then a std::condition_variable wait
//   until the callable has run.
// - FloorEventfd: two threads pinging one counter each way through a pair of
//   blocking eventfds, the least a kernel wake-up round trip costs.

#include "BenchSupport.h"
#include "QtPeers.h"

#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"
#include "subscription/SubscriptionMap.h"

#include <QCoreApplication>
#include <QThread>
#include <asio.hpp>
#include <benchmark/benchmark.h>
#include <glib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kPostIterations = 10;  // batches of 8,000 per measurement
constexpr int kPostRepetitions = 3;

// --- Consumers -------------------------------------------------------------------

// Qt: a QThread needs an application object to exist before it can run an
// event loop. It is created once, on the benchmark thread, and never run.
void EnsureQtApplication() {
    static int argc = 1;
    static char name[] = "brimsub-bench";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = [] {
        qRegisterMetaType<const NotificationInfo*>();
        return new QCoreApplication(argc, argv);  // lives until exit
    }();
    static_cast<void>(app);
}

// A QThread running its event loop, and an object living there as the
// context of the connected lambdas.
class QtConsumer {
public:
    QtConsumer() {
        EnsureQtApplication();
        m_context.moveToThread(&m_thread);
        m_thread.start();
    }
    QtConsumer(const QtConsumer&) = delete;
    QtConsumer& operator=(const QtConsumer&) = delete;
    ~QtConsumer() {
        m_thread.quit();
        m_thread.wait();
        // The context object may be destroyed now that its thread has ended.
    }
    QObject& Context() { return m_context; }

private:
    QThread m_thread;
    QObject m_context;
};

// GLib: a GMainContext of its own, run by a thread.
class GlibConsumer {
public:
    GlibConsumer() : m_context(g_main_context_new()), m_loop(g_main_loop_new(m_context, FALSE)) {
        std::mutex m;
        std::condition_variable cv;
        bool running = false;
        m_thread = std::thread([&] {
            g_main_context_push_thread_default(m_context);
            // The loop is running once this first source is dispatched, so a
            // later g_main_loop_quit cannot come before g_main_loop_run.
            auto started = [&] {
                {
                    const std::lock_guard lock(m);
                    running = true;
                }
                cv.notify_one();
            };
            using Started = decltype(started);
            GSource* idle = g_idle_source_new();
            g_source_set_callback(
                idle,
                [](gpointer data) -> gboolean {
                    (*static_cast<Started*>(data))();
                    return G_SOURCE_REMOVE;
                },
                &started, nullptr);
            g_source_attach(idle, m_context);
            g_source_unref(idle);
            g_main_loop_run(m_loop);
            g_main_context_pop_thread_default(m_context);
        });
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return running; });
    }
    GlibConsumer(const GlibConsumer&) = delete;
    GlibConsumer& operator=(const GlibConsumer&) = delete;
    ~GlibConsumer() {
        g_main_loop_quit(m_loop);
        m_thread.join();
        g_main_loop_unref(m_loop);
        g_main_context_unref(m_context);
    }
    GMainContext* Context() { return m_context; }

private:
    GMainContext* m_context;
    GMainLoop* m_loop;
    std::thread m_thread;
};

// Asio: an io_context kept running by a work guard, run by a thread.
class AsioConsumer {
public:
    AsioConsumer() : m_guard(asio::make_work_guard(m_io)), m_thread([this] { m_io.run(); }) {}
    AsioConsumer(const AsioConsumer&) = delete;
    AsioConsumer& operator=(const AsioConsumer&) = delete;
    ~AsioConsumer() {
        m_guard.reset();
        m_io.stop();
        m_thread.join();
    }
    asio::io_context& Io() { return m_io; }

private:
    asio::io_context m_io;
    asio::executor_work_guard<asio::io_context::executor_type> m_guard;
    std::thread m_thread;
};

// --- Posting ------------------------------------------------------------------------

class CompletionReceiver : public Subscriber {
public:
    explicit CompletionReceiver(bench::Completion& completion) : m_completion(completion) {}
    void Update(const NotificationInfo* /*info*/) override { m_completion.Hit(); }

private:
    bench::Completion& m_completion;
};

void PostOursNotifyPost(benchmark::State& state, int workers) {
    bench::UiThread ui;
    bench::Completion completion;
    CompletionReceiver receiver(completion);
    const CString key(u"FileChanged");
    ui.Map().Subscribe(key, &receiver);
    const std::vector<CString> keys{key};
    // NotifyPost reports nothing; a message it drops shows as a batch that
    // never completes.
    bench::MeasurePostThroughput(state, completion, workers, [&] {
        ui.Map().NotifyPost(keys);
        return true;
    });
    ui.Map().Unsubscribe(key, &receiver);
}

void PostOursDispatchAsync(benchmark::State& state, int workers) {
    bench::UiThread ui;
    bench::Completion completion;
    bench::MeasurePostThroughput(state, completion, workers,
                                 [&] { return ui.Dispatcher().DispatchAsync([&completion] { completion.Hit(); }); });
}

void PostQt(benchmark::State& state, int workers) {
    QtConsumer consumer;
    QtSender sender;
    bench::Completion completion;
    QObject::connect(&sender, &QtSender::Posted, &consumer.Context(), [&completion] { completion.Hit(); },
                     Qt::QueuedConnection);
    bench::MeasurePostThroughput(state, completion, workers, [&] {
        Q_EMIT sender.Posted();
        return true;
    });
}

void PostGlib(benchmark::State& state, int workers) {
    GlibConsumer consumer;
    bench::Completion completion;
    bench::MeasurePostThroughput(state, completion, workers, [&] {
        g_main_context_invoke(
            consumer.Context(),
            [](gpointer data) -> gboolean {
                static_cast<bench::Completion*>(data)->Hit();
                return G_SOURCE_REMOVE;
            },
            &completion);
        return true;
    });
}

void PostAsio(benchmark::State& state, int workers) {
    AsioConsumer consumer;
    bench::Completion completion;
    bench::MeasurePostThroughput(state, completion, workers, [&] {
        asio::post(consumer.Io(), [&completion] { completion.Hit(); });
        return true;
    });
}

// --- Sending ------------------------------------------------------------------------

class CountingReceiver : public Subscriber {
public:
    void Update(const NotificationInfo* /*info*/) override { ++count; }
    std::uint64_t count = 0;
};

void SendOursNotifySend(benchmark::State& state) {
    bench::UiThread ui;
    CountingReceiver receiver;
    const CString key(u"SelectionChanged");
    ui.Map().Subscribe(key, &receiver);
    const std::vector<CString> keys{key};
    const NotificationInfo info;
    bench::MeasureRoundTrips(state, [&] { ui.Map().NotifySend(keys, &info, nullptr); });
    ui.Map().Unsubscribe(key, &receiver);
    if (receiver.count != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not deliver");
}

void SendOursDispatchSync(benchmark::State& state) {
    bench::UiThread ui;
    std::uint64_t count = 0;
    bench::MeasureRoundTrips(state, [&] { ui.Dispatcher().DispatchSync([&count] { ++count; }); });
    if (count != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not run");
}

void SendQt(benchmark::State& state) {
    QtConsumer consumer;
    QtSender sender;
    std::uint64_t count = 0;
    QObject::connect(&sender, &QtSender::Changed, &consumer.Context(), [&count](const NotificationInfo*) { ++count; },
                     Qt::BlockingQueuedConnection);
    const NotificationInfo info;
    bench::MeasureRoundTrips(state, [&] { Q_EMIT sender.Changed(&info); });
    if (count != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not run");
}

// The caller's half of a posted call that it waits for.
struct Rendezvous {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;  // guarded by mutex
    std::uint64_t count = 0;

    void Complete() {
        ++count;
        {
            const std::lock_guard lock(mutex);
            done = true;
        }
        cv.notify_one();
    }
    void Await() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return done; });
        done = false;
    }
};

void SendGlib(benchmark::State& state) {
    GlibConsumer consumer;
    Rendezvous r;
    bench::MeasureRoundTrips(state, [&] {
        g_main_context_invoke(
            consumer.Context(),
            [](gpointer data) -> gboolean {
                static_cast<Rendezvous*>(data)->Complete();
                return G_SOURCE_REMOVE;
            },
            &r);
        r.Await();
    });
    if (r.count != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not run");
}

void SendAsio(benchmark::State& state) {
    AsioConsumer consumer;
    Rendezvous r;
    bench::MeasureRoundTrips(state, [&] {
        asio::post(consumer.Io(), [&r] { r.Complete(); });
        r.Await();
    });
    if (r.count != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not run");
}

void SendFloorEventfd(benchmark::State& state) {
    const int ping = ::eventfd(0, EFD_CLOEXEC);
    const int pong = ::eventfd(0, EFD_CLOEXEC);
    if (ping < 0 || pong < 0) {
        state.SkipWithError("eventfd failed");
        return;
    }
    // The partner echoes each ping; a ping of 2 asks it to end.
    std::thread partner([&] {
        for (;;) {
            std::uint64_t v = 0;
            if (::read(ping, &v, sizeof v) != sizeof v) continue;
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto w = ::write(pong, &one, sizeof one);
            if (v == 2) return;
        }
    });
    const auto roundTrip = [&](std::uint64_t value) {
        [[maybe_unused]] const auto w = ::write(ping, &value, sizeof value);
        std::uint64_t v = 0;
        while (::read(pong, &v, sizeof v) != sizeof v) {
        }
    };
    bench::MeasureRoundTrips(state, [&] { roundTrip(1); });
    roundTrip(2);
    partner.join();
    ::close(ping);
    ::close(pong);
}

// --- Registration -------------------------------------------------------------------

const bool kRegistered = [] {
    for (int workers : {1, 4}) {
        const std::string row = "Post/Workers" + std::to_string(workers) + "/";
        const auto add = [&](const std::string& impl, void (*fn)(benchmark::State&, int)) {
            benchmark::RegisterBenchmark((row + impl).c_str(), fn, workers)
                ->Iterations(kPostIterations)
                ->Repetitions(kPostRepetitions)
                ->ReportAggregatesOnly(true)
                ->UseRealTime();
        };
        add("OursNotifyPost", PostOursNotifyPost);
        add("OursDispatchAsync", PostOursDispatchAsync);
        add("Qt", PostQt);
        add("GLib", PostGlib);
        add("Asio", PostAsio);
    }
    const auto add = [](const std::string& impl, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(("Send/RoundTrip/" + impl).c_str(), fn)->Iterations(1)->UseRealTime();
    };
    add("OursNotifySend", SendOursNotifySend);
    add("OursDispatchSync", SendOursDispatchSync);
    add("Qt", SendQt);
    add("GLib", SendGlib);
    add("Asio", SendAsio);
    add("FloorEventfd", SendFloorEventfd);
    return true;
}();

}  // namespace
