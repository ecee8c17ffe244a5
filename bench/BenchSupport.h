#pragma once

// Helpers shared by the side-by-side benchmarks.
//
// Benchmark names follow "<Group>/<Row>/<Implementation>" (for instance
// "Sync/OneKey10/Qt"), so that scripts/bench-report.py can put our figure and
// each peer's figure for the same row next to each other. Implementations
// whose name starts with "Ours" are ours, "Floor" marks a lower bound built
// from plain primitives, anything else is a peer library.
//
// Threading: each helper states its own rules below.

#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Event.h>
#include <BrimSubscriber/platform/MessageLoop.h>
#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Heap allocations made by the whole process so far (AllocationCounter.cpp).
std::uint64_t AllocationCount();

// Our user-interface thread: a thread of its own that is designated the
// user-interface thread, builds a SubscriptionMap and a MainThreadDispatcher
// there (so both can deliver to it), and runs our message loop until the
// fixture is destroyed. Construct and destroy on one thread.
class UiThread {
public:
    UiThread() {
        platform::Event ready;
        m_thread = std::thread([&] {
            platform::SetUserInterfaceThread();
            m_loop = &platform::MessageLoop::Current();
            m_map = std::make_unique<SubscriptionMap>();
            m_dispatcher = std::make_unique<MainThreadDispatcher>();
            ready.Set();
            m_loop->Run();
            m_dispatcher.reset();
            m_map.reset();
        });
        ready.Wait();
    }
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;
    ~UiThread() {
        m_loop->Quit();
        m_thread.join();
        platform::ClearUserInterfaceThread();
    }
    SubscriptionMap& Map() { return *m_map; }
    MainThreadDispatcher& Dispatcher() { return *m_dispatcher; }

private:
    std::thread m_thread;
    platform::MessageLoop* m_loop = nullptr;
    std::unique_ptr<SubscriptionMap> m_map;
    std::unique_ptr<MainThreadDispatcher> m_dispatcher;
};

// The user-interface thread of the process-wide hub (SubscriptionManager),
// where FileWatcher's notifications are delivered. The hub builds its maps on
// the thread of its first call, and only maps built on the user-interface
// thread can post there; FileWatcher's constructor and several benchmarks
// reach the hub, so BenchMain reaches it here before any benchmark runs. The
// thread designates itself the user-interface thread, reaches the hub, then
// runs our message loop until exit; later designations of other threads
// (UiThread above) do not move the hub's deliveries off it. It reaches
// MainThreadDispatcher::Instance() there too, through which FileWatcher posts.
class HubUiThread {
public:
    static HubUiThread& Instance() {
        static HubUiThread thread;
        return thread;
    }
    HubUiThread(const HubUiThread&) = delete;
    HubUiThread& operator=(const HubUiThread&) = delete;
    ~HubUiThread() {
        m_loop->Quit();
        m_thread.join();
    }

    // Whether file notifications reach this thread: false when the hub was
    // first reached elsewhere.
    static bool Delivers() {
        return SubscriptionManager::Instance().CanDeliverToUserInterfaceThread(FILE_SUBSCRIPTION_TYPE);
    }

    // Returns once every message posted to this thread before the call has
    // been handled (a message posted behind them has run), so that nothing a
    // receiver captured is still in use there.
    void Flush() {
        platform::Event done;
        while (!m_dispatcher->DispatchAsync([&done] { done.Set(); })) std::this_thread::yield();  // the queue is full
        done.Wait();
    }

    // Designates this thread the user-interface thread again: a UiThread
    // fixture designates its own and clears the designation when it goes,
    // after which the hub's posts and MainThreadDispatcher::Instance() reach
    // no thread until this is called. Returns once it has taken effect.
    void Designate() {
        platform::Event done;
        while (!m_dispatcher->DispatchAsync([&done] { platform::SetUserInterfaceThread(), done.Set(); })) {
            std::this_thread::yield();  // the queue is full
        }
        done.Wait();
    }

    // Another module's post to this thread, as DispatchAsync answers it.
    bool Post(std::function<void()>&& call) { return m_dispatcher->DispatchAsync(std::move(call)); }

private:
    HubUiThread() {
        platform::Event ready;
        m_thread = std::thread([&] {
            platform::SetUserInterfaceThread();
            m_loop = &platform::MessageLoop::Current();
            SubscriptionManager::Instance();
            MainThreadDispatcher::Instance();  // FileWatcher posts its reports through it
            m_dispatcher = std::make_unique<MainThreadDispatcher>();
            ready.Set();
            m_loop->Run();
            m_dispatcher.reset();
        });
        ready.Wait();
    }

    std::thread m_thread;
    platform::MessageLoop* m_loop = nullptr;
    std::unique_ptr<MainThreadDispatcher> m_dispatcher;  // posts behind the hub's messages
};

// CPU time a thread has used so far, read from its own clock (not the
// process's, which would count threads left by other rows and the toolkits'
// helper threads).
inline std::int64_t ThreadCpuNs(clockid_t clock) {
    timespec ts{};
    return clock_gettime(clock, &ts) == 0 ? std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec : 0;
}

// Where the measured threads run: producers on one CPU, the consumer on
// another, for every implementation alike. Left to the scheduler, a row's
// CPU per post moved by several times between runs with where it happened
// to put five threads on two CPUs (whether a woken thread found its CPU idle
// or had to preempt another, whether producers contended or took turns).
// Pinned, every implementation pays for the same thing: its producers' work
// on one CPU, taking turns there as they would on a busy machine, and its
// consumer's on the other, with the queue's data crossing between them.
inline constexpr int kProducerCpu = 0;
inline constexpr int kConsumerCpu = 1;

// Pins the calling thread to `cpu`; does nothing on a one-CPU machine.
inline void PinCurrentThread(int cpu) {
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Lets the calling thread run anywhere again.
inline void UnpinCurrentThread() {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned cpu = 0; cpu < std::thread::hardware_concurrency() && cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// The CPU clock of the thread that runs the posted or sent calls, noted by
// the first call that runs there (every implementation's consumer is found
// the same way), which also pins that thread to kConsumerCpu. Note() only on
// the consuming thread.
class ConsumerClock {
public:
    void Note() {
        if (m_noted) [[likely]] return;
        PinCurrentThread(kConsumerCpu);
        clockid_t clock{};
        const bool known = pthread_getcpuclockid(pthread_self(), &clock) == 0;
        const std::lock_guard lock(m_mutex);
        if (known) m_clock = clock;
        m_noted = true;
    }
    std::optional<clockid_t> Get() {
        const std::lock_guard lock(m_mutex);
        return m_clock;
    }

private:
    bool m_noted = false;  // consuming thread only
    std::mutex m_mutex;
    std::optional<clockid_t> m_clock;  // guarded by m_mutex
};

// Counts deliveries on the one consuming thread and wakes the measuring thread
// when the expected number has run. Every implementation uses this same
// object, so the cost of noticing the end is equal for all. Arm() before the
// producers start; Hit() only on the consuming thread.
//
// A gated batch holds the consumer inside the batch's first call until
// Open(): the producers then post into a queue whose consumer is busy, and
// the consumer takes the rest one after another without sleeping between
// them. Every implementation's queue sees the same pattern, one wake-up per
// batch, so what the batch costs is the posts' own work rather than how many
// times the scheduler let the consumer fall asleep in between.
class Completion {
public:
    void Arm(std::uint64_t expected, bool gated = false) {
        const std::lock_guard lock(m_mutex);
        m_target = m_count + expected;
        m_done = false;
        m_gateShut = gated;
        m_gateSeen = !gated;
    }
    void Open() {
        {
            const std::lock_guard lock(m_mutex);
            m_gateShut = false;
        }
        m_cv.notify_all();
    }
    void Hit() {
        m_clock.Note();
        if (!m_gateSeen) [[unlikely]] {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return !m_gateShut; });
            m_gateSeen = true;
        }
        if (++m_count != m_target) return;
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
    }
    // False when the batch did not complete within the timeout (posts lost).
    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [this] { return m_done; });
    }
    // The CPU clock of the thread that ran the calls, once one has run.
    std::optional<clockid_t> ConsumerCpuClock() { return m_clock.Get(); }

private:
    ConsumerClock m_clock;
    std::uint64_t m_count = 0;   // consuming thread only
    std::uint64_t m_target = 0;  // written by Arm before producers start
    bool m_gateSeen = true;      // consuming thread only, after Arm
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;      // guarded by m_mutex
    bool m_gateShut = false;  // guarded by m_mutex
};

// A fixed set of worker threads that each run the same job once per Run(),
// so that thread start-up is not part of what is measured. Run() and Wait()
// from the owning thread only.
class WorkerGang {
public:
    explicit WorkerGang(int count) {
        for (int i = 0; i < count; ++i) {
            m_threads.emplace_back([this, i] { Loop(i); });
        }
    }
    WorkerGang(const WorkerGang&) = delete;
    WorkerGang& operator=(const WorkerGang&) = delete;
    ~WorkerGang() {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_start.notify_all();
        for (auto& t : m_threads) t.join();
    }

    // Starts `job(workerIndex)` on every worker and returns at once.
    void Run(std::function<void(int)> job) {
        {
            const std::lock_guard lock(m_mutex);
            m_job = std::move(job);
            m_running = static_cast<int>(m_threads.size());
            ++m_generation;
        }
        m_start.notify_all();
    }
    // Returns when every worker has finished the job of the last Run().
    void Wait() {
        std::unique_lock lock(m_mutex);
        m_finished.wait(lock, [this] { return m_running == 0; });
    }
    // The CPU time the workers have used so far, from their own clocks.
    std::int64_t CpuNs() {
        std::int64_t total = 0;
        for (auto& t : m_threads) {
            clockid_t clock{};
            if (pthread_getcpuclockid(t.native_handle(), &clock) == 0) total += ThreadCpuNs(clock);
        }
        return total;
    }

private:
    void Loop(int index) {
        PinCurrentThread(kProducerCpu);
        std::uint64_t seen = 0;
        for (;;) {
            std::function<void(int)> job;
            {
                std::unique_lock lock(m_mutex);
                m_start.wait(lock, [&] { return m_stop || m_generation != seen; });
                if (m_stop) return;
                seen = m_generation;
                job = m_job;
            }
            job(index);
            {
                const std::lock_guard lock(m_mutex);
                if (--m_running == 0) m_finished.notify_one();
            }
        }
    }

    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_start;
    std::condition_variable m_finished;
    std::function<void(int)> m_job;  // guarded by m_mutex
    std::uint64_t m_generation = 0;  // guarded by m_mutex
    int m_running = 0;               // guarded by m_mutex
    bool m_stop = false;             // guarded by m_mutex
};

// Posting: the most messages that may wait on our user-interface thread at
// once (a post beyond it fails), and the batch every implementation posts
// before waiting for the last message to run. A batch stays below the bound
// whatever the number of workers.
inline constexpr std::uint64_t kPostedQueueBound = 10'000;
inline constexpr std::uint64_t kPostBatch = 8'000;
static_assert(kPostBatch < kPostedQueueBound);

// Ours against another implementation in alternation: `ours()` and
// `other()` each measure one turn and return its CPU time (nullopt: the turn
// failed); they take `pairs` turns each, each first in every other pair, so
// that both meet this host's drift alike (it moves over minutes by more than
// the differences measured). Ours' total over the other's; nullopt when a
// turn failed.
template <class Ours, class Other>
std::optional<double> AlternatedRatio(int pairs, Ours ours, Other other) {
    std::int64_t oursNs = 0;
    std::int64_t otherNs = 0;
    const auto turn = [](auto& measure, std::int64_t& total) {
        const std::optional<std::int64_t> ns = measure();
        if (ns) total += *ns;
        return ns.has_value();
    };
    for (int pair = 0; pair < pairs; ++pair) {
        const bool ok = pair % 2 == 0 ? turn(ours, oursNs) && turn(other, otherNs)
                                      : turn(other, otherNs) && turn(ours, oursNs);
        if (!ok) return std::nullopt;
    }
    return static_cast<double>(oursNs) / static_cast<double>(otherNs);
}

// AlternatedRatio of work done on this thread alone: turns of `perTurn`
// calls of each, timed on this thread's CPU clock. Such a turn never fails.
template <class Ours, class Other>
double AlternatedThreadCpuRatio(int pairs, int perTurn, Ours ours, Other other) {
    const auto turn = [perTurn](auto& work) -> std::optional<std::int64_t> {
        const std::int64_t start = ThreadCpuNs(CLOCK_THREAD_CPUTIME_ID);
        for (int i = 0; i < perTurn; ++i) work();
        return ThreadCpuNs(CLOCK_THREAD_CPUTIME_ID) - start;
    };
    return AlternatedRatio(pairs, [&] { return turn(ours); }, [&] { return turn(other); }).value();
}

// Batches of posts from a gang of workers to one consumer: each of the
// gang's threads calls post() perWorker times, then the caller waits for the
// consumer to have run them all. `post` returns false when the implementation
// refused the message.
template <class Post>
class PostBatches {
public:
    PostBatches(WorkerGang& gang, int workers, Completion& completion, Post& post)
        : m_gang(gang),
          m_perWorker(kPostBatch / static_cast<std::uint64_t>(workers)),
          m_size(m_perWorker * static_cast<std::uint64_t>(workers)),
          m_completion(completion),
          m_post(post) {}

    [[nodiscard]] std::uint64_t Size() const { return m_size; }

    // Posts one batch and waits until it has run: nullptr, or what went wrong.
    const char* Run(bool gated) {
        m_completion.Arm(m_size, gated);
        // Handed over by reference, so that starting the workers allocates
        // nothing and an allocation count around it is the posting's alone.
        m_gang.Run(std::ref(m_job));
        m_gang.Wait();
        m_completion.Open();
        if (m_refused.load() != 0) return "a post was refused";
        if (!m_completion.Wait()) return "posted messages did not all run";
        return nullptr;
    }

    struct Cpu {
        std::int64_t producers = 0;
        std::int64_t consumer = 0;
        bool known = false;  // the consumer's clock was found
    };
    // A gated batch (see Completion) and the CPU time its producers and its
    // consumer spent, from their own clocks; nullopt when it failed (the
    // reason in `error`).
    std::optional<Cpu> RunGated(const char*& error) {
        const std::optional<clockid_t> consumer = m_completion.ConsumerCpuClock();
        const auto consumerNow = [&] { return consumer ? ThreadCpuNs(*consumer) : 0; };
        const std::int64_t producersBefore = m_gang.CpuNs();
        const std::int64_t consumerBefore = consumerNow();
        error = Run(true);
        if (error != nullptr) return std::nullopt;
        return Cpu{m_gang.CpuNs() - producersBefore, consumerNow() - consumerBefore, consumer.has_value()};
    }

private:
    WorkerGang& m_gang;
    std::uint64_t m_perWorker;
    std::uint64_t m_size;
    Completion& m_completion;
    Post& m_post;
    std::atomic<std::uint64_t> m_refused{0};
    std::function<void(int)> m_job = [this](int) {
        for (std::uint64_t i = 0; i < m_perWorker; ++i) {
            if (!m_post()) m_refused.fetch_add(1, std::memory_order_relaxed);
        }
    };
};

// Posts per second counted until the last one has run: every iteration, a
// batch of kPostBatch posts (PostBatches), timed until the consumer has run
// them all.
//
// CPU per post comes from a second, gated batch in each iteration (outside
// the timed part; see Completion): the CPU time of the posting threads and
// the consuming thread together, from their own clocks, divided by the posts.
// Measured in the free-running batches it swung by several times between
// runs, with whether the consumer slept and was woken between posts or kept
// pace; held behind the gate, each batch pays for one wake-up and otherwise
// for the enqueuing and the running of its posts.
template <class Post>
void MeasurePostThroughput(benchmark::State& state, Completion& completion, int workers, Post post) {
    WorkerGang gang(workers);
    PostBatches<Post> batches(gang, workers, completion, post);
    const std::uint64_t batch = batches.Size();
    constexpr std::uint64_t kWarmUpBatches = 2;
    std::uint64_t allocations = 0;
    std::uint64_t warmUpAllocations = 0;
    std::uint64_t rounds = 0;
    std::int64_t cpuNs = 0;  // producers' and consumer's, over the counted gated batches
    std::int64_t consumerCpuNs = 0;  // of which the consumer's
    bool cpuKnown = true;
    const char* error = nullptr;
    for (auto _ : state) {
        const std::uint64_t allocationsBefore = AllocationCount();
        if ((error = batches.Run(false)) != nullptr) break;
        state.PauseTiming();
        const std::optional<typename PostBatches<Post>::Cpu> cpu = batches.RunGated(error);
        state.ResumeTiming();
        if (!cpu) break;
        // The first batches warm the queues up: each is a pair of buffers
        // that trade places at every batch taken, so both halves must grow
        // to the traffic (a bounded number of allocations, once). From the
        // third iteration on is the steady state.
        const std::uint64_t made = AllocationCount() - allocationsBefore;
        if (++rounds > kWarmUpBatches) {
            allocations += made;
            cpuNs += cpu->producers + cpu->consumer;
            consumerCpuNs += cpu->consumer;
            cpuKnown = cpuKnown && cpu->known;
        } else {
            warmUpAllocations += made;
        }
    }
    if (error != nullptr) {
        state.SkipWithError(error);
        return;
    }
    const std::uint64_t counted = rounds > kWarmUpBatches ? rounds - kWarmUpBatches : 0;
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batch));
    state.counters["workers"] = workers;
    state.counters["warmup_allocs"] = static_cast<double>(warmUpAllocations);
    state.counters["allocs_total"] = static_cast<double>(warmUpAllocations + allocations);
    if (counted != 0) {
        // Both batches of each counted iteration.
        state.counters["allocs_per_post"] = static_cast<double>(allocations) / static_cast<double>(2 * counted * batch);
        if (cpuKnown) {
            const auto perPost = [&](std::int64_t ns) { return static_cast<double>(ns) / static_cast<double>(counted * batch); };
            state.counters["cpu_ns_per_post"] = perPost(cpuNs);
            state.counters["consumer_cpu_ns_per_post"] = perPost(consumerCpuNs);
        }
    }
}

// Ours against a peer in alternation (AlternatedRatio), after the row's own
// loop: gated batches of each from one gang of workers, both consumers pinned
// alike. `counter` becomes ours' CPU over the peer's.
template <class OursPost, class PeerPost>
void PairPostsWithPeer(benchmark::State& state, int workers, const char* counter, Completion& oursCompletion,
                       OursPost oursPost, Completion& peerCompletion, PeerPost peerPost) {
    if (state.error_occurred()) return;  // the row itself failed: nothing to compare
    constexpr int kWarmUp = 2;
    constexpr int kPairs = 40;
    WorkerGang gang(workers);
    PostBatches<OursPost> ours(gang, workers, oursCompletion, oursPost);
    PostBatches<PeerPost> peer(gang, workers, peerCompletion, peerPost);
    const char* error = nullptr;
    // A consumer's clock is found by the first call it runs: the warm-up
    // batches find the peer's.
    for (int i = 0; i < kWarmUp; ++i) {
        if (!ours.RunGated(error) || !peer.RunGated(error)) {
            state.SkipWithError(error);
            return;
        }
    }
    const auto turn = [&error](auto& batches) -> std::optional<std::int64_t> {
        const auto cpu = batches.RunGated(error);
        if (!cpu) return std::nullopt;
        if (!cpu->known) {
            error = "a consumer's CPU clock was not found";
            return std::nullopt;
        }
        return cpu->producers + cpu->consumer;
    };
    const std::optional<double> ratio = AlternatedRatio(kPairs, [&] { return turn(ours); }, [&] { return turn(peer); });
    if (!ratio) {
        state.SkipWithError(error);
        return;
    }
    state.counters[counter] = *ratio;
}

// Sending: round trips made one after another from the measuring thread (a
// worker), each timed on its own with steady_clock. The median and the 99th
// percentile become counters; a short warm-up is not counted. `consumer` is
// noted by the sent call on the thread that runs it; cpu_ns_per_round_trip
// is the measuring thread's CPU time and that thread's together, from their
// own clocks, over the counted round trips.
inline constexpr int kRoundTrips = 20'000;
inline constexpr int kRoundTripWarmUp = 1'000;

template <class Send>
void MeasureRoundTrips(benchmark::State& state, ConsumerClock& consumer, Send send) {
    using Clock = std::chrono::steady_clock;
    std::vector<std::int64_t> ns(kRoundTrips);
    std::int64_t cpuNs = 0;
    bool cpuKnown = true;
    PinCurrentThread(kProducerCpu);
    for (auto _ : state) {
        for (int i = 0; i < kRoundTripWarmUp; ++i) send();
        const std::optional<clockid_t> clock = consumer.Get();
        const auto cpuNow = [&] { return ThreadCpuNs(CLOCK_THREAD_CPUTIME_ID) + (clock ? ThreadCpuNs(*clock) : 0); };
        const std::int64_t cpuBefore = cpuNow();
        for (int i = 0; i < kRoundTrips; ++i) {
            const auto start = Clock::now();
            send();
            ns[static_cast<std::size_t>(i)] =
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        }
        cpuNs += cpuNow() - cpuBefore;
        cpuKnown = cpuKnown && clock.has_value();
    }
    UnpinCurrentThread();
    std::sort(ns.begin(), ns.end());
    const auto at = [&](double q) {
        return static_cast<double>(ns[static_cast<std::size_t>(q * static_cast<double>(ns.size() - 1))]);
    };
    state.counters["median_ns"] = at(0.5);
    state.counters["p99_ns"] = at(0.99);
    state.counters["round_trips"] = kRoundTrips;
    if (cpuKnown && state.iterations() != 0) {
        state.counters["cpu_ns_per_round_trip"] =
            static_cast<double>(cpuNs) / static_cast<double>(state.iterations() * kRoundTrips);
    }
}

// Ours against a peer in alternation (AlternatedRatio), after the row's own
// round trips: chunks of round trips of each from this thread, pinned as in
// MeasureRoundTrips. `counter` becomes ours' CPU (this thread's and our
// consumer's) over the peer's (this thread's and the peer's consumer's).
template <class Ours, class Peer>
void PairRoundTripsWithPeer(benchmark::State& state, const char* counter, ConsumerClock& oursConsumer, Ours ours,
                            ConsumerClock& peerConsumer, Peer peer) {
    if (state.error_occurred()) return;  // the row itself failed: nothing to compare
    constexpr int kPairs = 40;
    constexpr int kPerChunk = 500;
    PinCurrentThread(kProducerCpu);
    for (int i = 0; i < kRoundTripWarmUp; ++i) ours(), peer();  // the peer's consumer notes its clock
    const std::optional<clockid_t> oursClock = oursConsumer.Get();
    const std::optional<clockid_t> peerClock = peerConsumer.Get();
    if (!oursClock || !peerClock) {
        UnpinCurrentThread();
        state.SkipWithError("a consumer's CPU clock was not found");
        return;
    }
    const auto chunk = [](auto& send, clockid_t consumer) -> std::optional<std::int64_t> {
        const auto now = [&] { return ThreadCpuNs(CLOCK_THREAD_CPUTIME_ID) + ThreadCpuNs(consumer); };
        const std::int64_t start = now();
        for (int i = 0; i < kPerChunk; ++i) send();
        return now() - start;
    };
    const std::optional<double> ratio =
        AlternatedRatio(kPairs, [&] { return chunk(ours, *oursClock); }, [&] { return chunk(peer, *peerClock); });
    UnpinCurrentThread();
    state.counters[counter] = ratio.value();  // a chunk never fails
}

// Watching: 10,000 small real files in a temporary directory, named as in
// FileWatcherBench.cpp, created on first use (from any benchmark of any file)
// and removed at exit. Their absolute UTF-8 paths, in creation order.
inline constexpr int kWatchedFiles = 10'000;

class WatchedFileSet {
public:
    static const std::vector<std::string>& Paths() {
        static const WatchedFileSet set;
        return set.m_paths;
    }
    WatchedFileSet(const WatchedFileSet&) = delete;
    WatchedFileSet& operator=(const WatchedFileSet&) = delete;
    ~WatchedFileSet() {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

private:
    WatchedFileSet() {
        std::random_device random;
        m_dir = std::filesystem::temp_directory_path() / ("brim-bench-peers-" + std::to_string(random()));
        std::filesystem::create_directories(m_dir);
        for (int i = 0; i < kWatchedFiles; ++i) {
            const std::filesystem::path file = m_dir / ("survey-line-" + std::to_string(i) + ".xyz");
            std::ofstream(file) << i;
            m_paths.push_back(file.string());
        }
    }

    std::filesystem::path m_dir;
    std::vector<std::string> m_paths;
};

}  // namespace bench
