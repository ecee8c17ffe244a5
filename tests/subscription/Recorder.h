#pragma once

// Test receivers that record who was called, with which payload, on which
// thread, and that can run an action from inside their Update.

#include "subscription/NotificationInfo.h"
#include "subscription/Subscriber.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

struct Call {
    std::string who;
    const NotificationInfo* info;
    std::thread::id thread;
};

class CallLog {
public:
    void Add(Call call) {
        const std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    std::vector<Call> Calls() {
        const std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<std::string> Names() {
        const std::lock_guard lock(m_mutex);
        std::vector<std::string> names;
        for (const Call& c : m_calls) names.push_back(c.who);
        return names;
    }
    std::size_t Size() {
        const std::lock_guard lock(m_mutex);
        return m_calls.size();
    }
    void Clear() {
        const std::lock_guard lock(m_mutex);
        m_calls.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<Call> m_calls;
};

class NamedSubscriber : public Subscriber {
public:
    NamedSubscriber(std::string name, CallLog& log) : m_name(std::move(name)), m_log(log) {}
    void Update(const NotificationInfo* info) override {
        m_log.Add({m_name, info, std::this_thread::get_id()});
        if (onUpdate) onUpdate(info);
    }
    std::function<void(const NotificationInfo*)> onUpdate;

private:
    std::string m_name;
    CallLog& m_log;
};

using Names = std::vector<std::string>;

}  // namespace test
