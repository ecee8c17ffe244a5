#include "payloads/AttributeMapNI.h"
#include "payloads/DataId_NI.h"
#include "payloads/Data_NI_Layer.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// Payloads never look behind their pointers, so any distinct addresses serve
// as attribute maps, documents and layers.
int g_objects[4];

template <typename T>
T* Fake(int index) {
    return reinterpret_cast<T*>(&g_objects[index]);
}

TEST(AttributeMapNITest, MovedFromPayloadKeepsItsSource) {
    const CString longSource(u"Grid editor, a source name too long for any short-string buffer");
    AttributeMapNI source(Fake<void>(0));
    source.SetAttributeMap(Fake<const CAttributeMap>(1));
    source.SetDataId(CDataId(4, 44));
    source.SetSource(longSource);

    const AttributeMapNI moved(std::move(source));
    EXPECT_EQ(source.GetSource(), longSource);  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_EQ(moved.GetSource(), longSource);
    EXPECT_EQ(moved.GetDataId(), CDataId(4, 44));
    EXPECT_EQ(moved.GetAttributeMap(), Fake<const CAttributeMap>(1));

    AttributeMapNI target(Fake<void>(2));
    EXPECT_EQ(&(target = std::move(source)), &target);
    EXPECT_EQ(source.GetSource(), longSource);  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_EQ(target.GetSource(), longSource);
    EXPECT_EQ(target.GetId(), Fake<void>(0));
}

// The payload classes' type information must cross the library boundary, and
// the layer payload takes the document first although it stores the layer first.
TEST(IdentifierPayloadsTest, ReceiverRecoversThePayloadClassFromItsBase) {
    const AttributeMapNI attributes(nullptr);
    const DataId_NI dataId(CDataId(1, 1));
    const Data_NI_Layer layer(Fake<CDisplayDoc>(0), Fake<CBrimBaseDisplayLayer>(1));
    const NotificationInfo* received[] = {&attributes, &dataId, &layer};
    EXPECT_EQ(dynamic_cast<const AttributeMapNI*>(received[0]), &attributes);
    EXPECT_EQ(dynamic_cast<const DataId_NI*>(received[1]), &dataId);
    EXPECT_EQ(dynamic_cast<const Data_NI_Layer*>(received[2]), &layer);
    EXPECT_EQ(dynamic_cast<const DataId_NI*>(received[0]), nullptr);
    EXPECT_EQ(dynamic_cast<const DataId_NI*>(received[1])->GetDataId(), CDataId(1, 1));
    EXPECT_EQ(layer.GetDoc(), Fake<CDisplayDoc>(0));
    EXPECT_EQ(layer.GetLayer(), Fake<CBrimBaseDisplayLayer>(1));
}

}  // namespace
