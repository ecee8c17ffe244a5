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

TEST(AttributeMapNITest, FreshPayloadHoldsOnlyItsId) {
    const AttributeMapNI info(Fake<void>(0));
    EXPECT_EQ(info.GetId(), Fake<void>(0));
    EXPECT_EQ(info.GetAttributeMap(), nullptr);
    EXPECT_TRUE(info.GetSource().IsEmpty());
    EXPECT_TRUE(info.GetDataId().IsEmpty());
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

TEST(Data_NI_LayerTest, ReturnsDocumentAndLayerInConstructorOrder) {
    Data_NI_Layer info(Fake<CDisplayDoc>(0), Fake<CBrimBaseDisplayLayer>(1));
    EXPECT_EQ(info.GetDoc(), Fake<CDisplayDoc>(0));
    EXPECT_EQ(info.GetLayer(), Fake<CBrimBaseDisplayLayer>(1));

    const Data_NI_Layer moved(std::move(info));
    info.SetData(Fake<CDisplayDoc>(2), Fake<CBrimBaseDisplayLayer>(3));  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_EQ(info.GetDoc(), Fake<CDisplayDoc>(2));
    EXPECT_EQ(info.GetLayer(), Fake<CBrimBaseDisplayLayer>(3));
    EXPECT_EQ(moved.GetDoc(), Fake<CDisplayDoc>(0));
    EXPECT_EQ(moved.GetLayer(), Fake<CBrimBaseDisplayLayer>(1));
}

TEST(IdentifierPayloadsTest, ReceiverRecoversThePayloadClassFromItsBase) {
    const AttributeMapNI attributes(nullptr);
    const DataId_NI dataId(CDataId(1, 1));
    const Data_NI_Layer layer;
    const NotificationInfo* received[] = {&attributes, &dataId, &layer};
    EXPECT_EQ(dynamic_cast<const AttributeMapNI*>(received[0]), &attributes);
    EXPECT_EQ(dynamic_cast<const DataId_NI*>(received[1]), &dataId);
    EXPECT_EQ(dynamic_cast<const Data_NI_Layer*>(received[2]), &layer);
    EXPECT_EQ(dynamic_cast<const DataId_NI*>(received[0]), nullptr);
    EXPECT_EQ(dynamic_cast<const DataId_NI*>(received[1])->GetDataId(), CDataId(1, 1));
}

}  // namespace
