// Handing work to the user-interface thread, side by side with peer loops.
//
// Every implementation gets a consumer thread of its own that runs its own
// event loop; the benchmark thread and, for posting, a gang of worker threads
// are the producers.
//
// Posting ("Post/Workers1", "Post/Workers4"): posts per second, counted until
// the last one has run on the consumer. Each batch of 8,000 stays below our
// bound of 10,000 messages waiting per thread, and every implementation is
// measured with the same batches and the same end-of-batch signal. Counter
// cpu_ns_per_post: the producers' and the consumer's CPU time per post in a
// gated batch (bench::MeasurePostThroughput), with the producers pinned to
// one CPU and the consumer to the other (bench::PinCurrentThread). Counter
// asio_ratio, on our two rows on our own loop: their CPU per post over Asio's,
// the two posted in alternation after the row's own loop
// (bench::PairPostsWithPeer), since the rows' own figures are taken minutes
// apart while this host's speed drifts.
// - OursNotifyPost: SubscriptionMap::NotifyPost of one key, from a map built
//   on our user-interface thread, to one receiver (the key is copied and
//   looked up on delivery, as the call promises).
// - OursDispatchAsync: MainThreadDispatcher::DispatchAsync of a lambda.
// - Qt: a Qt 6 signal without arguments with Qt::QueuedConnection to a
//   lambda whose context object lives in a QThread running its event loop.
// - GLib: g_main_context_invoke to a GMainContext that a thread runs with
//   g_main_loop_run (each call attaches one idle source).
// - Asio: asio::post to an io_context that a thread runs.
// "Post/Lambda48Workers1" and "Post/Lambda48Workers4": the same, with a lambda
// that captures 48 bytes (the completion and five 64-bit words it sums),
// given as it is to MainThreadDispatcher::DispatchAsync (kept in place: no
// std::function is made) and to asio::post.
//
// "Post/PayloadWorkers1" and "Post/PayloadWorkers4": the same, each post
// carrying a result made for it by its worker with std::make_shared (one
// allocation of the caller's per post, the same for all three) and read on
// the consumer: SubscriptionMap::NotifyPost of one key with the
// shared_ptr<const NotificationInfo>; Qt: a signal with that shared_ptr as
// its one argument, Qt::QueuedConnection; Asio: asio::post of a lambda that
// captures it.
//
// Sending ("Send/RoundTrip"): 20,000 round trips in sequence from the
// benchmark thread; median and 99th percentile of each one's steady_clock time,
// each the median over five such runs, and cpu_ns_per_round_trip, the sending
// and the consuming thread's CPU time per round trip, pinned as for posting.
// Counters asio_ratio, qt_ratio and glib_ratio, on our two rows on our own
// loop: their CPU per round trip over that peer's, the two sent in
// alternation after the row's own round trips (bench::PairRoundTripsWithPeer).
// - OursNotifySend: SubscriptionMap::NotifySend of one key to one receiver.
// - OursDispatchSync: MainThreadDispatcher::DispatchSync of a lambda.
// - Qt: the payload signal with Qt::BlockingQueuedConnection.
// - GLib / Asio: the same post as above, then a std::condition_variable wait
//   until the callable has run.
// - FloorEventfd: two threads pinging one counter each way through a pair of
//   blocking eventfds, the least a kernel wake-up round trip costs.
//
// Inside a toolkit's loop ("Post/GlibWorkers1", "Post/GlibWorkers4",
// "Send/GlibRoundTrip", and the same with "Qt"): our user-interface thread is
// a toolkit thread whose message loop is attached by our adapter, and the
// toolkit's own way of handing work to a thread is measured on an identical
// thread. The consumer is designated the user-interface thread, builds a
// SubscriptionMap and a MainThreadDispatcher, attaches the adapter and runs
// the toolkit's loop, for our rows and the toolkit's alike, so that both pay
// for the same sources being polled.
// - GLib thread: a GMainContext of its own, pushed as the thread default,
//   with platform::GlibLoop attached and run by g_main_loop_run. Ours are the
//   four calls above; GLib is g_main_context_invoke (post), and the same
//   followed by a condition-variable wait (round trip).
// - Qt thread: a QThread running its event loop, with platform::QtLoop made
//   on it. Ours as above; Qt is QMetaObject::invokeMethod of a lambda on an
//   object living in that thread, with Qt::QueuedConnection (post) and
//   Qt::BlockingQueuedConnection (round trip).

#include "BenchSupport.h"
#include "QtPeers.h"

#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/platform/glib/GlibLoop.h>
#include <BrimSubscriber/platform/qt/QtLoop.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>
#include <BrimSubscriber/subscription/Subscriber.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <QMetaObject>
#include <QThread>
#include <asio.hpp>
#include <benchmark/benchmark.h>
#include <glib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr int kPostIterations = 10;  // batches of 8,000 per measurement
constexpr int kPostRepetitions = 3;
// On a 2-core virtual machine a round trip took about 7-10 us when the
// scheduler kept both threads on one CPU and about 20-25 us when the woken
// thread's CPU had to be woken too, and which of the two happened changed
// during a run. The threads are now pinned to two CPUs, so every round trip
// is of the second kind; the median of five runs, interleaved with the
// other rows' runs, still keeps one draw of the machine's load from
// deciding a row.
constexpr int kSendRepetitions = 5;

// --- Consumers -------------------------------------------------------------------

// What a toolkit's consumer thread runs besides the toolkit's own loop.
enum class Hosting {
    ToolkitOnly,  // nothing of ours
    OurLoop,      // our user-interface thread, its message loop attached by our adapter
};

// Our user-interface thread inside a toolkit's loop, built on the consumer
// thread before its loop runs and destroyed there after it returns: the
// thread is designated the user-interface thread first (the map builds its
// dispatcher only there), then the map and the dispatcher are built, then the
// adapter attaches the thread's message loop to the toolkit's loop. The
// adapter goes first on the way out.
struct UiDesignation {
    UiDesignation() { platform::SetUserInterfaceThread(); }
};

template <class Adapter>
class OursInToolkit : UiDesignation {
public:
    // `toolkit` is what the adapter attaches to besides the calling thread
    // (the GMainContext; nothing for Qt).
    template <class... Toolkit>
    explicit OursInToolkit(Toolkit... toolkit) : m_adapter(toolkit..., Adapter::Role::OtherThread) {}

    SubscriptionMap& Map() { return m_map; }
    MainThreadDispatcher& Dispatcher() { return m_dispatcher; }

private:
    SubscriptionMap m_map;
    MainThreadDispatcher m_dispatcher;
    Adapter m_adapter;  // declared last: attached after the others are built, detached before they go
};

// The part of a toolkit consumer that holds our user-interface thread when it
// hosts one. Attach and Detach on the consumer thread; Map and Dispatcher
// only while it is attached.
template <class Adapter>
class OursSlot {
public:
    OursSlot(const OursSlot&) = delete;
    OursSlot& operator=(const OursSlot&) = delete;
    SubscriptionMap& Map() { return m_ours->Map(); }
    MainThreadDispatcher& Dispatcher() { return m_ours->Dispatcher(); }

protected:
    OursSlot() = default;
    // After the consumer thread has been joined.
    ~OursSlot() {
        if (m_designated) platform::ClearUserInterfaceThread();
    }
    template <class... Toolkit>
    void Attach(Hosting hosting, Toolkit... toolkit) {
        if (hosting != Hosting::OurLoop) return;
        m_ours.emplace(toolkit...);
        m_designated = true;
    }
    void Detach() { m_ours.reset(); }

private:
    std::optional<OursInToolkit<Adapter>> m_ours;
    bool m_designated = false;  // read by the owning thread after the join
};

// A QThread running its event loop, an object living there as the context of
// the connected lambdas and invoked calls, and, when asked for, our
// user-interface thread attached by platform::QtLoop made on that thread.
class QtConsumer : public OursSlot<platform::QtLoop>, private QThread {
public:
    explicit QtConsumer(Hosting hosting = Hosting::ToolkitOnly) : m_hosting(hosting) {
        bench::EnsureQtApplication();
        m_context.moveToThread(this);
        start();
        m_ready.Wait();
    }
    QtConsumer(const QtConsumer&) = delete;
    QtConsumer& operator=(const QtConsumer&) = delete;
    // A quit() that comes before exec() makes exec() return at once.
    ~QtConsumer() override {
        quit();
        wait();
        // The context object may be destroyed now that its thread has ended.
    }
    QObject& Context() { return m_context; }

private:
    void run() override {
        Attach(m_hosting);
        m_ready.Set();
        exec();
        Detach();
    }

    const Hosting m_hosting;
    platform::Event m_ready;
    QObject m_context;
};

// GLib: a GMainContext of its own, pushed as the thread default and run by a
// thread, with our user-interface thread attached by platform::GlibLoop when
// asked for.
class GlibConsumer : public OursSlot<platform::GlibLoop> {
public:
    explicit GlibConsumer(Hosting hosting = Hosting::ToolkitOnly)
        : m_context(g_main_context_new()), m_loop(g_main_loop_new(m_context, FALSE)) {
        std::mutex m;
        std::condition_variable cv;
        bool running = false;
        m_thread = std::thread([&] {
            g_main_context_push_thread_default(m_context);
            Attach(hosting, m_context);
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
            Detach();
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

// Our user-interface thread inside each toolkit's loop; the toolkit's own
// rows of the same table use these very threads.
struct GlibUiThread : GlibConsumer {
    GlibUiThread() : GlibConsumer(Hosting::OurLoop) {}
};
struct QtUiThread : QtConsumer {
    QtUiThread() : QtConsumer(Hosting::OurLoop) {}
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

// The Asio row's post: an empty lambda that reports to the completion.
auto AsioPost(AsioConsumer& consumer, bench::Completion& completion) {
    return [&consumer, &completion] {
        asio::post(consumer.Io(), [&completion] { completion.Hit(); });
        return true;
    };
}

// After one of our rows on our own loop: its post and the Asio row's in
// alternation (bench::PairPostsWithPeer), counter `asio_ratio`.
template <class Post>
void PairWithAsio(benchmark::State& state, int workers, bench::Completion& completion, Post post) {
    AsioConsumer consumer;
    bench::Completion asioCompletion;
    bench::PairPostsWithPeer(state, workers, "asio_ratio", completion, post, asioCompletion,
                             AsioPost(consumer, asioCompletion));
}

class CompletionReceiver : public Subscriber {
public:
    explicit CompletionReceiver(bench::Completion& completion) : m_completion(completion) {}
    void Update(const NotificationInfo* /*info*/) override { m_completion.Hit(); }

private:
    bench::Completion& m_completion;
};

// `Ui` is our user-interface thread: bench::UiThread (our own loop),
// GlibUiThread or QtUiThread. Posts one key to `Receiver` (made with the
// completion); `post(map, keys)` is the call measured. With `PairedWithAsio`,
// then in alternation with the Asio row's post.
template <class Ui, class Receiver = CompletionReceiver, bool PairedWithAsio = false, class Post>
void PostThroughMap(benchmark::State& state, int workers, const char16_t* keyName, Post post) {
    Ui ui;
    bench::Completion completion;
    Receiver receiver(completion);
    const CString key(keyName);
    ui.Map().Subscribe(key, &receiver);
    const std::vector<CString> keys{key};
    // NotifyPost reports nothing; a message it drops shows as a batch that
    // never completes.
    const auto measured = [&] {
        post(ui.Map(), keys);
        return true;
    };
    bench::MeasurePostThroughput(state, completion, workers, measured);
    if constexpr (PairedWithAsio) PairWithAsio(state, workers, completion, measured);
    ui.Map().Unsubscribe(key, &receiver);
}

template <class Ui>
void PostOursNotifyPost(benchmark::State& state, int workers) {
    PostThroughMap<Ui, CompletionReceiver, std::is_same_v<Ui, bench::UiThread>>(
        state, workers, u"FileChanged",
        [](SubscriptionMap& map, const std::vector<CString>& keys) { map.NotifyPost(keys); });
}

template <class Ui>
void PostOursDispatchAsync(benchmark::State& state, int workers) {
    Ui ui;
    bench::Completion completion;
    const auto measured = [&] { return ui.Dispatcher().DispatchAsync([&completion] { completion.Hit(); }); };
    bench::MeasurePostThroughput(state, completion, workers, measured);
    if constexpr (std::is_same_v<Ui, bench::UiThread>) PairWithAsio(state, workers, completion, measured);
}

// 48 bytes of captures: the completion's address and five words.
auto Lambda48(bench::Completion& completion) {
    return [&completion, words = std::array<std::uint64_t, 5>{1, 2, 3, 4, 5}] {
        if (words[0] + words[1] + words[2] + words[3] + words[4] == 15) completion.Hit();
    };
}
static_assert(sizeof(decltype(Lambda48(std::declval<bench::Completion&>()))) == 48);

void PostOursDispatchAsyncLambda48(benchmark::State& state, int workers) {
    bench::UiThread ui;
    bench::Completion completion;
    bench::MeasurePostThroughput(state, completion, workers,
                                 [&] { return ui.Dispatcher().DispatchAsync(Lambda48(completion)); });
}

void PostAsioLambda48(benchmark::State& state, int workers) {
    AsioConsumer consumer;
    bench::Completion completion;
    bench::MeasurePostThroughput(state, completion, workers, [&] {
        asio::post(consumer.Io(), Lambda48(completion));
        return true;
    });
}

// A worker's result, made for each post and read by the receiver.
struct PostedResult : NotificationInfo {
    explicit PostedResult(std::uint64_t v) : value(v) {}
    const std::uint64_t value;
};

void HitIfResult(bench::Completion& completion, const NotificationInfo* info) {
    if (info != nullptr && static_cast<const PostedResult*>(info)->value == 1) completion.Hit();
}

class ResultReceiver : public Subscriber {
public:
    explicit ResultReceiver(bench::Completion& completion) : m_completion(completion) {}
    void Update(const NotificationInfo* info) override { HitIfResult(m_completion, info); }

private:
    bench::Completion& m_completion;
};

void PostOursNotifyPostPayload(benchmark::State& state, int workers) {
    PostThroughMap<bench::UiThread, ResultReceiver>(
        state, workers, u"ResultReady", [](SubscriptionMap& map, const std::vector<CString>& keys) {
            map.NotifyPost(keys, std::make_shared<const PostedResult>(1));
        });
}

void PostQtPayload(benchmark::State& state, int workers) {
    QtConsumer consumer;
    QtSender sender;
    bench::Completion completion;
    QObject::connect(
        &sender, &QtSender::PostedResult, &consumer.Context(),
        [&completion](const std::shared_ptr<const NotificationInfo>& info) { HitIfResult(completion, info.get()); },
        Qt::QueuedConnection);
    bench::MeasurePostThroughput(state, completion, workers, [&] {
        Q_EMIT sender.PostedResult(std::make_shared<const PostedResult>(1));
        return true;
    });
}

void PostAsioPayload(benchmark::State& state, int workers) {
    AsioConsumer consumer;
    bench::Completion completion;
    bench::MeasurePostThroughput(state, completion, workers, [&] {
        std::shared_ptr<const NotificationInfo> info = std::make_shared<const PostedResult>(1);
        asio::post(consumer.Io(), [&completion, info = std::move(info)] { HitIfResult(completion, info.get()); });
        return true;
    });
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

// `Consumer` is GlibConsumer (the toolkit alone) or GlibUiThread.
template <class Consumer>
void PostGlib(benchmark::State& state, int workers) {
    Consumer consumer;
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

void PostQtInvoke(benchmark::State& state, int workers) {
    QtUiThread consumer;
    bench::Completion completion;
    bench::MeasurePostThroughput(state, completion, workers, [&] {
        return QMetaObject::invokeMethod(&consumer.Context(), [&completion] { completion.Hit(); }, Qt::QueuedConnection);
    });
}

void PostAsio(benchmark::State& state, int workers) {
    AsioConsumer consumer;
    bench::Completion completion;
    bench::MeasurePostThroughput(state, completion, workers, AsioPost(consumer, completion));
}

// --- Sending ------------------------------------------------------------------------

// The caller's half of a posted call that it waits for.
struct Rendezvous {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;  // guarded by mutex
    std::uint64_t count = 0;
    bench::ConsumerClock consumer;

    void Complete() {
        consumer.Note();
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

// The Asio row's send: a posted lambda, then a wait until it has run.
auto AsioSend(AsioConsumer& consumer, Rendezvous& r) {
    return [&consumer, &r] {
        asio::post(consumer.Io(), [&r] { r.Complete(); });
        r.Await();
    };
}

class CountingReceiver : public Subscriber {
public:
    void Update(const NotificationInfo* /*info*/) override {
        consumer.Note();
        ++count;
    }
    bench::ConsumerClock consumer;
    std::uint64_t count = 0;
};

// The GLib row's send: g_main_context_invoke, then a wait until it has run.
template <class Consumer>
auto GlibSend(Consumer& consumer, Rendezvous& r) {
    return [&consumer, &r] {
        g_main_context_invoke(
            consumer.Context(),
            [](gpointer data) -> gboolean {
                static_cast<Rendezvous*>(data)->Complete();
                return G_SOURCE_REMOVE;
            },
            &r);
        r.Await();
    };
}

// The Qt row's send: the payload signal, blocking-queued to a lambda living
// on a QtConsumer.
class QtBlockingSend {
public:
    QtBlockingSend() {
        QObject::connect(
            &m_sender, &QtSender::Changed, &m_consumer.Context(), [this](const NotificationInfo*) { clock.Note(), ++count; },
            Qt::BlockingQueuedConnection);
    }
    void operator()() { Q_EMIT m_sender.Changed(&m_info); }

    bench::ConsumerClock clock;
    std::uint64_t count = 0;  // written on the consumer, read after the sends have returned

private:
    QtConsumer m_consumer;
    QtSender m_sender;  // declared after the consumer: destroyed, and so disconnected, first
    const NotificationInfo m_info;
};

// After one of our rows on our own loop: its send and each peer's in
// alternation (bench::PairRoundTripsWithPeer), counters `asio_ratio`,
// `qt_ratio` and `glib_ratio`. One peer at a time: the others' threads are
// not running meanwhile.
template <class Ui, class Send>
void PairRoundTripsWithPeers(benchmark::State& state, bench::ConsumerClock& consumer, Send send) {
    if constexpr (std::is_same_v<Ui, bench::UiThread>) {
        {
            AsioConsumer asio;
            Rendezvous r;
            bench::PairRoundTripsWithPeer(state, "asio_ratio", consumer, send, r.consumer, AsioSend(asio, r));
        }
        {
            QtBlockingSend qt;
            bench::PairRoundTripsWithPeer(state, "qt_ratio", consumer, send, qt.clock, [&qt] { qt(); });
        }
        {
            GlibConsumer glib;
            Rendezvous r;
            bench::PairRoundTripsWithPeer(state, "glib_ratio", consumer, send, r.consumer, GlibSend(glib, r));
        }
    }
}

template <class Ui>
void SendOursNotifySend(benchmark::State& state) {
    Ui ui;
    CountingReceiver receiver;
    const CString key(u"SelectionChanged");
    ui.Map().Subscribe(key, &receiver);
    const std::vector<CString> keys{key};
    const NotificationInfo info;
    const auto send = [&] { ui.Map().NotifySend(keys, &info, nullptr); };
    bench::MeasureRoundTrips(state, receiver.consumer, send);
    const std::uint64_t delivered = receiver.count;
    PairRoundTripsWithPeers<Ui>(state, receiver.consumer, send);
    ui.Map().Unsubscribe(key, &receiver);
    if (delivered != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not deliver");
}

template <class Ui>
void SendOursDispatchSync(benchmark::State& state) {
    Ui ui;
    std::uint64_t count = 0;
    bench::ConsumerClock consumer;
    const auto send = [&] { ui.Dispatcher().DispatchSync([&] { consumer.Note(), ++count; }); };
    bench::MeasureRoundTrips(state, consumer, send);
    const std::uint64_t ran = count;
    PairRoundTripsWithPeers<Ui>(state, consumer, send);
    if (ran != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not run");
}

void SendQt(benchmark::State& state) {
    QtBlockingSend qt;
    bench::MeasureRoundTrips(state, qt.clock, [&qt] { qt(); });
    if (qt.count != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not run");
}

template <class Consumer>
void SendGlib(benchmark::State& state) {
    Consumer consumer;
    Rendezvous r;
    bench::MeasureRoundTrips(state, r.consumer, GlibSend(consumer, r));
    if (r.count != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not run");
}

void SendQtInvoke(benchmark::State& state) {
    QtUiThread consumer;
    std::uint64_t count = 0;
    bench::ConsumerClock clock;
    bench::MeasureRoundTrips(state, clock, [&] {
        QMetaObject::invokeMethod(&consumer.Context(), [&] { clock.Note(), ++count; }, Qt::BlockingQueuedConnection);
    });
    if (count != bench::kRoundTrips + bench::kRoundTripWarmUp) state.SkipWithError("a send did not run");
}

void SendAsio(benchmark::State& state) {
    AsioConsumer consumer;
    Rendezvous r;
    bench::MeasureRoundTrips(state, r.consumer, AsioSend(consumer, r));
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
    bench::ConsumerClock clock;
    std::thread partner([&] {
        for (;;) {
            clock.Note();
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
    bench::MeasureRoundTrips(state, clock, [&] { roundTrip(1); });
    roundTrip(2);
    partner.join();
    ::close(ping);
    ::close(pong);
}

// --- Registration -------------------------------------------------------------------

using PostFn = void (*)(benchmark::State&, int);
using SendFn = void (*)(benchmark::State&);

// One consumer setting: the prefix of its row names, and its implementations.
struct RowFamily {
    std::string prefix;
    std::vector<std::pair<std::string, PostFn>> post;
    std::vector<std::pair<std::string, SendFn>> send;
};

const bool kRegistered = [] {
    const std::vector<RowFamily> families{
        {"",
         {{"OursNotifyPost", PostOursNotifyPost<bench::UiThread>},
          {"OursDispatchAsync", PostOursDispatchAsync<bench::UiThread>},
          {"Qt", PostQt},
          {"GLib", PostGlib<GlibConsumer>},
          {"Asio", PostAsio}},
         {{"OursNotifySend", SendOursNotifySend<bench::UiThread>},
          {"OursDispatchSync", SendOursDispatchSync<bench::UiThread>},
          {"Qt", SendQt},
          {"GLib", SendGlib<GlibConsumer>},
          {"Asio", SendAsio},
          {"FloorEventfd", SendFloorEventfd}}},
        {"Lambda48", {{"OursDispatchAsync", PostOursDispatchAsyncLambda48}, {"Asio", PostAsioLambda48}}, {}},
        {"Payload", {{"OursNotifyPost", PostOursNotifyPostPayload}, {"Qt", PostQtPayload}, {"Asio", PostAsioPayload}}, {}},
        {"Glib",
         {{"OursNotifyPost", PostOursNotifyPost<GlibUiThread>},
          {"OursDispatchAsync", PostOursDispatchAsync<GlibUiThread>},
          {"GLib", PostGlib<GlibUiThread>}},
         {{"OursNotifySend", SendOursNotifySend<GlibUiThread>},
          {"OursDispatchSync", SendOursDispatchSync<GlibUiThread>},
          {"GLib", SendGlib<GlibUiThread>}}},
        {"Qt",
         {{"OursNotifyPost", PostOursNotifyPost<QtUiThread>},
          {"OursDispatchAsync", PostOursDispatchAsync<QtUiThread>},
          {"Qt", PostQtInvoke}},
         {{"OursNotifySend", SendOursNotifySend<QtUiThread>},
          {"OursDispatchSync", SendOursDispatchSync<QtUiThread>},
          {"Qt", SendQtInvoke}}},
    };
    for (const RowFamily& family : families) {
        for (int workers : {1, 4}) {
            const std::string row = "Post/" + family.prefix + "Workers" + std::to_string(workers) + "/";
            for (const auto& [impl, fn] : family.post) {
                benchmark::RegisterBenchmark((row + impl).c_str(), fn, workers)
                    ->Iterations(kPostIterations)
                    ->Repetitions(kPostRepetitions)
                    ->ReportAggregatesOnly(true)
                    ->UseRealTime();
            }
        }
        for (const auto& [impl, fn] : family.send) {
            benchmark::RegisterBenchmark(("Send/" + family.prefix + "RoundTrip/" + impl).c_str(), fn)
                ->Iterations(1)
                ->Repetitions(kSendRepetitions)
                ->ReportAggregatesOnly(true)
                ->UseRealTime();
        }
    }
    return true;
}();

}  // namespace
