#pragma once

// CallbackWindow: the hidden message target through which the dispatcher and
// the watchdog are reached on their thread.
//
// It hands WM_CALLBACK (with its parameters) to the owner's OnCallbackMessage and
// WM_TIMER (with the timer id) to its OnTimerMessage; every other message, and
// any message while no owner is set, takes the default handling.
//
//   class Doorbell {
//       friend class CallbackWindow<Doorbell>;
//       void OnCallbackMessage(WPARAM id, LPARAM extra);
//       void OnTimerMessage(WPARAM timerId);
//       CallbackWindow<Doorbell> m_wnd;   // m_wnd.m_pOwner = this; m_wnd.CreateEx("...")
//   };
//
// Threading and lifetime are those of CWnd: the handlers run on the thread
// that created the window; the owner destroys the window (DestroyWindow)
// before anything its handlers use goes.

#include <BrimSubscriber/mainthread/WindowMessages.h>
#include <BrimSubscriber/platform/Wnd.h>

namespace brim {

template <class Owner>
class CallbackWindow : public CWnd {
public:
    Owner* m_pOwner = nullptr;  // not owned

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (m_pOwner != nullptr) {
            if (message == WM_CALLBACK) {
                m_pOwner->OnCallbackMessage(wParam, lParam);
                return 0;
            }
            if (message == WM_TIMER) {
                m_pOwner->OnTimerMessage(wParam);
                return 0;
            }
        }
        return CWnd::WindowProc(message, wParam, lParam);
    }
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::CallbackWindow;
#endif
