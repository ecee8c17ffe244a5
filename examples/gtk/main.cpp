// A GTK 4 application as GTK developers write one: a GtkApplication whose
// "activate" builds the window, run by g_application_run. A GlibLoop attaches
// the library's message loop to GTK's main context, so posted notifications
// arrive on GTK's thread between its own events. A worker "loads" three
// layers; the label follows, and the window closes after the last one.

#include <BrimSubscriber/BrimSubscriber.h>
#include <BrimSubscriber/platform/glib/GlibLoop.h>

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <thread>

namespace {

constexpr int kLayerType = 3;
constexpr int kLayers = 3;

struct Window {
    GtkWidget* window = nullptr;
    GtkLabel* label = nullptr;
    Subscription layers{kLayerType};
    std::thread loader;
    int added = 0;
};

void OnActivate(GtkApplication* gtkApp, gpointer data) {
    auto& ui = *static_cast<Window*>(data);
    ui.window = gtk_application_window_new(gtkApp);
    gtk_window_set_title(GTK_WINDOW(ui.window), "Layers");
    ui.label = GTK_LABEL(gtk_label_new("no layer yet"));
    gtk_window_set_child(GTK_WINDOW(ui.window), GTK_WIDGET(ui.label));
    ui.layers.SetSubscriber([&ui](const NotificationInfo*) {
        const std::string text = std::to_string(++ui.added) + " of " + std::to_string(kLayers) + " layers added";
        gtk_label_set_text(ui.label, text.c_str());
        g_print("%s\n", text.c_str());
        if (ui.added == kLayers) gtk_window_destroy(GTK_WINDOW(ui.window));
    });
    ui.layers.Subscribe(u"DisplayLayerAdded");
    ui.loader = std::thread([] {
        for (int i = 0; i < kLayers; ++i) SubscriptionManager::Instance().NotifyPost(kLayerType, u"DisplayLayerAdded");
    });
    gtk_window_present(GTK_WINDOW(ui.window));
}

}  // namespace

int main(int argc, char** argv) {
    platform::GlibLoop brim;  // GTK's main thread is now the user-interface thread
    auto ui = std::make_unique<Window>();
    GtkApplication* gtkApp = gtk_application_new("org.example.BrimLayers", G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(gtkApp, "activate", G_CALLBACK(OnActivate), ui.get());
    const int status = g_application_run(G_APPLICATION(gtkApp), argc, argv);
    if (ui->loader.joinable()) ui->loader.join();
    g_object_unref(gtkApp);
    return status;
}
