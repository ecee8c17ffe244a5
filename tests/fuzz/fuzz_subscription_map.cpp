// Fuzz target: SubscriptionMap against the reference model.
//
// The input is a program of one-byte choices, read front to back; past its
// end every choice reads as 0. The program is run twice, once on a real map
// and once on the model, and the two traces of Update calls (receiver,
// payload, nesting depth) must be identical; the first difference is printed
// and the process traps, which libFuzzer reports as a crash.
//
// Top level, until the input is used up, one action each:
//   op % 8: 0,1 Subscribe(key, subscriber)   2 Unsubscribe(key, subscriber)
//           3 Notify(key, payload, leaveOut) 4 Notify(keys, payload, leaveOut)
//           5 NotifySend(keys, payload, leaveOut)
//           6 NotifyPost(keys)               7 run the queued deliveries
//   key      one byte, % 8 into a fixed pool (case, empty, embedded NUL,
//            lone surrogate, supplementary character)
//   keys     one byte for the count (% 5), then one byte per key
//   subscriber one byte, % 7: six receivers, or null
//   leaveOut one byte, % 8: six receivers, or null
//   payload  one byte, % 4: three payload objects, or null
// Inside each Update (up to nesting depth 4) one byte decides, % 8:
//   0-3 nothing, 4 unsubscribe self from a key, 5 unsubscribe any receiver,
//   6-7 one more action as above (which may publish again on the same map,
//   or run the queued deliveries from inside the delivery).
// After the program, the queued deliveries are run until none is left.
// The map is built on the user-interface thread, so NotifySend runs at once
// and NotifyPost queues to this thread's message loop.

#include "SubscriptionMapModel.h"

#include "platform/WinThread.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kReceivers = 6;
constexpr int kMaxDepth = 4;
constexpr std::size_t kMaxPosts = 2000;         // well below the thread queue's limit
constexpr std::size_t kMaxUpdates = 1u << 19;   // bounds the time one input may take
constexpr int kMaxDrainRounds = 64;

const std::vector<CString>& KeyPool() {
    static const std::vector<CString> keys{
        CString(u"A"),
        CString(u"B"),
        CString(u"a"),
        CString(u""),
        CString(std::u16string_view(u"A\0B", 3)),
        CString(std::u16string_view(u"\xD800", 1)),
        CString(u"\U0001F600"),
        CString(u"RouteChanged/with a longer key"),
    };
    return keys;
}

const NotificationInfo* PayloadPool(int index) {
    static const NotificationInfo payloads[3];
    return index < 3 ? &payloads[index] : nullptr;
}

int PayloadIndex(const NotificationInfo* info) {
    for (int i = 0; i < 3; ++i) {
        if (PayloadPool(i) == info) return i;
    }
    return info == nullptr ? 3 : 4;  // 4: a pointer that no publisher passed
}

class Program {
public:
    Program(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint8_t Next() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    [[nodiscard]] bool Done() const { return m_pos >= m_size; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Trace entries: tagged 32-bit words, so two traces compare with ==.
enum Tag : std::uint32_t {
    kUpdate = 1,
    kAction = 2,
    kPump = 3,
    kDrain = 4,
};

std::uint32_t Word(Tag tag, std::uint32_t a, std::uint32_t b = 0, std::uint32_t c = 0) {
    return (static_cast<std::uint32_t>(tag) << 24) | ((a & 0xFF) << 16) | ((b & 0xFF) << 8) | (c & 0xFF);
}

class Driver {
public:
    Driver(fuzz::Registry& registry, const std::uint8_t* data, std::size_t size)
        : m_registry(registry), m_program(data, size) {
        for (int i = 0; i < kReceivers; ++i) m_receivers.push_back(std::make_unique<Receiver>(*this, i));
    }

    std::vector<std::uint32_t> Run() {
        while (!m_program.Done() && m_updates < kMaxUpdates) Act();
        for (int round = 0; round < kMaxDrainRounds && m_registry.Pending() > 0; ++round) {
            m_trace.push_back(Word(kDrain, static_cast<std::uint32_t>(m_registry.Pending())));
            m_registry.Pump();
        }
        m_trace.push_back(Word(kDrain, static_cast<std::uint32_t>(m_registry.Pending())));
        return std::move(m_trace);
    }

private:
    class Receiver final : public Subscriber {
    public:
        Receiver(Driver& driver, int id) : m_driver(driver), m_id(id) {}
        void Update(const NotificationInfo* info) override { m_driver.OnUpdate(*this, info); }
        [[nodiscard]] int Id() const { return m_id; }

    private:
        Driver& m_driver;
        int m_id;
    };

    const CString& Key() { return KeyPool()[m_program.Next() % KeyPool().size()]; }

    std::vector<CString> Keys() {
        std::vector<CString> keys;
        const int count = m_program.Next() % 5;
        for (int i = 0; i < count; ++i) keys.push_back(Key());
        return keys;
    }

    Subscriber* AnySubscriber() {
        const int index = m_program.Next() % (kReceivers + 1);
        return index < kReceivers ? m_receivers[static_cast<std::size_t>(index)].get() : nullptr;
    }

    Subscriber* LeaveOut() {
        const int index = m_program.Next() % 8;
        return index < kReceivers ? m_receivers[static_cast<std::size_t>(index)].get() : nullptr;
    }

    const NotificationInfo* Payload() { return PayloadPool(m_program.Next() % 4); }

    void OnUpdate(Receiver& self, const NotificationInfo* info) {
        ++m_updates;
        m_trace.push_back(Word(kUpdate, static_cast<std::uint32_t>(m_depth), static_cast<std::uint32_t>(self.Id()),
                               static_cast<std::uint32_t>(PayloadIndex(info))));
        if (m_depth >= kMaxDepth || m_updates >= kMaxUpdates) return;
        switch (m_program.Next() % 8) {
            case 4:
                m_registry.Unsubscribe(Key(), &self);
                break;
            case 5: {
                const CString& key = Key();
                m_registry.Unsubscribe(key, AnySubscriber());
                break;
            }
            case 6:
            case 7:
                Act();
                break;
            default:
                break;  // most receivers just listen
        }
    }

    void Act() {
        ++m_depth;
        const int op = m_program.Next() % 8;
        m_trace.push_back(Word(kAction, static_cast<std::uint32_t>(m_depth), static_cast<std::uint32_t>(op)));
        switch (op) {
            case 0:
            case 1: {
                const CString& key = Key();
                m_registry.Subscribe(key, AnySubscriber());
                break;
            }
            case 2: {
                const CString& key = Key();
                m_registry.Unsubscribe(key, AnySubscriber());
                break;
            }
            case 3: {
                const CString& key = Key();
                const NotificationInfo* info = Payload();
                m_registry.Notify(key, info, LeaveOut());
                break;
            }
            case 4: {
                const std::vector<CString> keys = Keys();
                const NotificationInfo* info = Payload();
                m_registry.Notify(keys, info, LeaveOut());
                break;
            }
            case 5: {
                const std::vector<CString> keys = Keys();
                const NotificationInfo* info = Payload();
                m_registry.NotifySend(keys, info, LeaveOut());
                break;
            }
            case 6: {
                const std::vector<CString> keys = Keys();
                if (m_posts < kMaxPosts) {
                    ++m_posts;
                    m_registry.NotifyPost(keys);
                }
                break;
            }
            default: {
                const bool handled = m_registry.Pump();
                m_trace.push_back(Word(kPump, handled ? 1 : 0, static_cast<std::uint32_t>(m_registry.Pending())));
                break;
            }
        }
        --m_depth;
    }

    fuzz::Registry& m_registry;
    Program m_program;
    std::vector<std::unique_ptr<Receiver>> m_receivers;
    std::vector<std::uint32_t> m_trace;
    int m_depth = 0;
    std::size_t m_updates = 0;
    std::size_t m_posts = 0;
};

void PrintWord(const char* label, const std::vector<std::uint32_t>& trace, std::size_t i) {
    if (i >= trace.size()) {
        std::fprintf(stderr, "  %s: (end of trace)\n", label);
        return;
    }
    const std::uint32_t w = trace[i];
    const std::uint32_t a = (w >> 16) & 0xFF;
    const std::uint32_t b = (w >> 8) & 0xFF;
    const std::uint32_t c = w & 0xFF;
    switch (w >> 24) {
        case kUpdate: std::fprintf(stderr, "  %s: Update depth %u receiver %u payload %u\n", label, a, b, c); break;
        case kAction: std::fprintf(stderr, "  %s: action depth %u op %u\n", label, a, b); break;
        case kPump: std::fprintf(stderr, "  %s: pump handled %u pending %u\n", label, a, b); break;
        default: std::fprintf(stderr, "  %s: drain pending %u\n", label, a); break;
    }
}

void ReportDifference(const std::vector<std::uint32_t>& real, const std::vector<std::uint32_t>& model) {
    std::size_t i = 0;
    while (i < real.size() && i < model.size() && real[i] == model[i]) ++i;
    std::fprintf(stderr, "SubscriptionMap differs from the model at trace entry %zu (real %zu, model %zu entries)\n",
                 i, real.size(), model.size());
    const std::size_t from = i > 8 ? i - 8 : 0;
    for (std::size_t k = from; k <= i + 2; ++k) {
        std::fprintf(stderr, "%zu%s\n", k, k == i ? "  <== first difference" : "");
        PrintWord("map  ", real, k);
        PrintWord("model", model, k);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // NotifySend and NotifyPost deliver only on a map built on the
    // user-interface thread; the fuzzing thread is that thread.
    platform::SetUserInterfaceThread();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint32_t> real;
    {
        fuzz::RealRegistry registry;
        real = Driver(registry, data, size).Run();
    }
    fuzz::ModelRegistry model;
    const std::vector<std::uint32_t> expected = Driver(model, data, size).Run();
    if (real != expected) {
        ReportDifference(real, expected);
        __builtin_trap();
    }
    return 0;
}
