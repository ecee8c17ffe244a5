// A Qt 6 Widgets application: QApplication runs the GUI thread's event loop,
// and a QtLoop attaches the library's message loop to it, so posted
// notifications arrive on the GUI thread between Qt's own events. A worker
// "loads" three layers; the label follows, and the application quits after
// the last one.

#include <BrimSubscriber/BrimSubscriber.h>
#include <BrimSubscriber/platform/qt/QtLoop.h>

#include <QApplication>
#include <QLabel>

#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    constexpr int kLayerType = 3;
    constexpr int kLayers = 3;
    QApplication app(argc, argv);
    platform::QtLoop brim;  // the GUI thread is now the user-interface thread
    QLabel label("no layer yet");
    label.setWindowTitle("Layers");

    int added = 0;
    Subscription layers(kLayerType);
    layers.SetSubscriber([&](const NotificationInfo*) {
        const QString text = QString("%1 of %2 layers added").arg(++added).arg(kLayers);
        label.setText(text);
        std::printf("%s\n", qPrintable(text));
        if (added == kLayers) QApplication::quit();
    });
    layers.Subscribe(u"DisplayLayerAdded");
    std::thread loader([] {
        for (int i = 0; i < kLayers; ++i) SubscriptionManager::Instance().NotifyPost(kLayerType, u"DisplayLayerAdded");
    });
    label.show();
    const int status = QApplication::exec();
    loader.join();
    return status;
}
