#include "platform/qt/QtLoop.h"

#include "platform/ToolkitScenarios.h"
#include "platform/WinThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <QtGlobal>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Qt's side of the shared scenarios: a QCoreApplication whose exec() runs on
// the test thread, with the QtLoop attached. Critical messages are recorded
// instead of printed, and never abort.
class QtToolkit : public scenarios::ToolkitBase<QtToolkit> {
public:
    QtToolkit() : m_app(m_argc, m_argv) {
        qunsetenv("QT_FATAL_CRITICALS");  // read at the first critical message
        s_current = this;
        m_oldHandler = qInstallMessageHandler(&Record);
        // The adapter, not the test main, makes this the user-interface thread.
        platform::ClearUserInterfaceThread();
        Attach();
    }
    QtToolkit(const QtToolkit&) = delete;
    QtToolkit& operator=(const QtToolkit&) = delete;
    ~QtToolkit() {
        Detach();
        qInstallMessageHandler(m_oldHandler);
        s_current = nullptr;
    }

    void Attach() {
        m_adapter.reset();
        m_adapter = std::make_unique<platform::QtLoop>();
    }
    void Detach() { m_adapter.reset(); }
    platform::QtLoop& Adapter() { return *m_adapter; }
    [[nodiscard]] std::thread::id Thread() const { return m_thread; }

    bool Run() {
        return Guarded([] { QCoreApplication::exec(); }, [] { QCoreApplication::quit(); });
    }
    void Quit() { QCoreApplication::quit(); }
    bool RunNested() {
        QEventLoop nested;
        QEventLoop* outer = std::exchange(m_nested, &nested);
        const bool finished = Guarded([&] { nested.exec(); }, [&] { nested.quit(); });
        m_nested = outer;
        return finished;
    }
    void QuitNested() { m_nested->quit(); }

    void Every(int ms, std::function<bool()> call) {
        auto* timer = new QTimer(&m_timers);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, call = std::move(call)] {
            if (!call()) timer->stop();
        });
        timer->start(ms);
    }
private:
    bool Guarded(const std::function<void()>& run, const std::function<void()>& quit) {
        bool fired = false;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &guard, [&] {
            fired = true;
            quit();
        });
        guard.start(static_cast<int>(test::kGenerousTimeout.count()));
        run();
        return !fired;
    }

    static void Record(QtMsgType type, const QMessageLogContext& /*context*/, const QString& message) {
        QtToolkit* toolkit = s_current;
        if (type != QtCriticalMsg || toolkit == nullptr) {
            std::fprintf(stderr, "%s\n", qPrintable(message));
            return;
        }
        toolkit->RecordCritical(message.toStdString());
    }

    static inline QtToolkit* s_current = nullptr;
    int m_argc = 1;
    char m_name[8] = "qt-test";
    char* m_argv[2] = {m_name, nullptr};
    QCoreApplication m_app;
    QObject m_timers;  // parent of Every's timers
    QEventLoop* m_nested = nullptr;
    QtMessageHandler m_oldHandler = nullptr;
    std::unique_ptr<platform::QtLoop> m_adapter;  // on the heap: a use after Detach() is caught
    const std::thread::id m_thread = std::this_thread::get_id();
};

BRIM_TOOLKIT_SCENARIO_TESTS(QtLoopTest, QtToolkit)

}  // namespace
