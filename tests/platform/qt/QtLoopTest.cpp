#include <BrimSubscriber/platform/qt/QtLoop.h>

#include "platform/ToolkitScenarios.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdio>


// Qt's side of the scenarios: QEventLoops under a QCoreApplication; critical messages are counted, not printed, and
// never abort.
struct QtToolkit : scenarios::Toolkit<QtToolkit, platform::QtLoop> {
    QtToolkit() : m_app(m_argc, m_argv) { s_current = this, qInstallMessageHandler(&Record), Attach(); }
    ~QtToolkit() { Detach(), qInstallMessageHandler(nullptr); }
    void RunLoop() {
        QEventLoop loop;
        m_loops.push_back(&loop);
        loop.exec();
        m_loops.pop_back();
    }
    void Quit() { m_loops.back()->quit(); }
    void Every(int ms, std::function<bool()> call) {
        auto* timer = new QTimer(&m_timers);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, call = std::move(call)] { if (!call()) timer->stop(); });
        timer->start(ms);
    }
    static void Record(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg) return s_current->Add(scenarios::kCritical);
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }

    static inline QtToolkit* s_current = nullptr;
    int m_argc = 1;
    char m_name[8] = "qt-test";
    char* m_argv[2] = {m_name, nullptr};
    QCoreApplication m_app;
    QObject m_timers;  // parent of Every's timers
    std::vector<QEventLoop*> m_loops;
};

BRIM_TOOLKIT_SCENARIO_TESTS(QtLoopTest, QtToolkit)

