#pragma once

// Data_NI_Layer: a payload naming a display layer and the display document
// that holds it.
//
//   Data_NI_Layer info(doc, layer);       // document first, then layer
//   SubscriptionManager::Instance().Notify(type, GeneralSubKeys::DISPLAY_LAYER_ADDED, &info, nullptr);
//
//   // in a receiver's Update
//   if (auto* added = dynamic_cast<const Data_NI_Layer*>(info)) Show(added->GetLayer());
//
// Threading: not guarded; filled by the publisher, then only read during one
// delivery while the publisher waits.
// Ownership: neither the document nor the layer is owned; the payload never
// reads or destroys them, and copies (moves included) copy the pointers.

#include <BrimSubscriber/payloads/BaseTypes.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>

namespace brim {

class BRIMSUBSCRIBER_API Data_NI_Layer : public NotificationInfo {
public:
    // Both pointers null.
    Data_NI_Layer() noexcept;
    Data_NI_Layer(CDisplayDoc* doc, CBrimBaseDisplayLayer* layer) noexcept;

    // Copy both pointers. There are no separate move operations: a move copies.
    Data_NI_Layer(const Data_NI_Layer& other) noexcept;
    Data_NI_Layer& operator=(const Data_NI_Layer& other) noexcept;
    ~Data_NI_Layer() override;

    [[nodiscard]] const CDisplayDoc* GetDoc() const noexcept { return m_doc; }
    [[nodiscard]] CBrimBaseDisplayLayer* GetLayer() const noexcept { return m_layer; }

    // Replaces both pointers; the document comes first, as in the constructor.
    void SetData(CDisplayDoc* doc, CBrimBaseDisplayLayer* layer) noexcept;

private:
    CBrimBaseDisplayLayer* m_layer = nullptr;  // not owned
    CDisplayDoc* m_doc = nullptr;              // not owned
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::Data_NI_Layer;
#endif
