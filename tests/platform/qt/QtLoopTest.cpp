#include "platform/qt/QtLoop.h"

#include "mainthread/MainThreadDispatcher.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(QtLoopTest, SmokePostsAndSendsFromWorker) {
    int argc = 1;
    char name[] = "qt-test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    platform::QtLoop brim;
    MainThreadDispatcher dispatcher;
    std::vector<int> seen;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) dispatcher.DispatchAsync([&seen, i] { seen.push_back(i); });
        dispatcher.DispatchSync([&] { seen.push_back(1000); });
        dispatcher.DispatchAsync([&] { QCoreApplication::quit(); });
    });
    app.exec();
    worker.join();
    ASSERT_EQ(seen.size(), 101u);
}

}  // namespace
