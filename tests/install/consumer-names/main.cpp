// A client with its own global UINT, WPARAM, CString, CWnd, notify_all and namespace platform. It includes every
// installed header (all-headers.h, listed by the install check) with BRIM_NO_GLOBAL_NAMES and uses brim:: alone.

#include <cstdio>
#include <string>

using UINT = double;
using WPARAM = const char*;
struct CString {
    std::string text;
};
class CWnd {};
inline constexpr int notify_all = 7;
namespace platform {
struct MessageLoop {};
}  // namespace platform

#define BRIM_NO_GLOBAL_NAMES
#include <all-headers.h>

int main() {
    brim::CWinApp app;
    brim::Subscription layers(3);
    int heard = 0;
    layers.SetSubscriber([&](const brim::NotificationInfo*) { ++heard; });
    layers.Subscribe(u8"DisplayLayerAdded");  // UTF-8 keys convert as UTF-16 ones do
    brim::SubscriptionManager::Instance().NotifyPost(3, u"DisplayLayerAdded");
    layers.Notify(brim::notify_all, nullptr);
    brim::testing::RunUntilIdle();

    const UINT half = 0.5;
    const WPARAM own = "own";
    const CString mine{"mine"};
    [[maybe_unused]] const CWnd window;
    [[maybe_unused]] const platform::MessageLoop loop;
    std::printf("heard %d of 2; the program's own names: %g %s %s %d\n", heard, half, own, mine.text.c_str(), notify_all);
    return heard == 2 ? 0 : 1;
}
