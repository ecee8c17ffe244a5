#include <BrimSubscriber/payloads/Data_NI_Layer.h>

namespace brim {

Data_NI_Layer::Data_NI_Layer() noexcept = default;

Data_NI_Layer::Data_NI_Layer(CDisplayDoc* doc, CBrimBaseDisplayLayer* layer) noexcept : m_layer(layer), m_doc(doc) {}

Data_NI_Layer::Data_NI_Layer(const Data_NI_Layer& other) noexcept = default;

Data_NI_Layer& Data_NI_Layer::operator=(const Data_NI_Layer& other) noexcept = default;

Data_NI_Layer::~Data_NI_Layer() = default;

void Data_NI_Layer::SetData(CDisplayDoc* doc, CBrimBaseDisplayLayer* layer) noexcept {
    m_layer = layer;
    m_doc = doc;
}

}  // namespace brim
