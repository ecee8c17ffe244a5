#pragma once

// A receiver that logs its name, then '*' for a payload and '!' when off the
// user-interface thread, and then runs an optional action.

#include <BrimSubscriber/platform/WinThread.h>
#include <BrimSubscriber/subscription/Subscriber.h>

#include <functional>
#include <string>

namespace test {

struct Recorder : Subscriber {
    Recorder(char name, std::string& log) : name(name), log(log) {}
    void Update(const NotificationInfo* info) override {
        log += info != nullptr ? std::string{name, '*'} : std::string{name};
        if (!platform::IsUserInterfaceThread()) log += '!';
        if (onUpdate) onUpdate();
    }
    const char name;
    std::string& log;
    std::function<void()> onUpdate;
};

}  // namespace test
