#include <BrimSubscriber/payloads/SubKeys.h>

#include <gtest/gtest.h>

#include <utility>

namespace {

struct KeyRow { const CString* constant; std::u16string_view value; };
// Outside file_update, every key's value is its name.
#define G(name) KeyRow{&GeneralSubKeys::name, u"" #name}
#define P(name) KeyRow{&ProcessingSubKeys::name, u"" #name}
#define S(name) KeyRow{&sel_change::name, u"" #name}
const KeyRow kKeys[] = {
    {&file_update::WORKAREAS, u"WorkAreas"}, {&file_update::OBJECTPLACEMENT, u"ObjectPlacement"},
    G(PROFILE_POSITION), G(COLOR_CONTROL), G(CMAP), G(PROJECT_CHANGE), G(APPL_TYPE_CHANGE),
    G(LAYER_ATTRIBUTE_CHANGE), G(NEXT_TRIP_INFO), G(MANUAL_NEXT_TRIP), G(TOOLS_SETTINGS_CHANGE),
    G(START_ROTATOR_COMMAND), G(PROCESSING), G(PROCESSING_DATA_EDITED), G(DATARANGE_CHANGED),
    G(CUBE_SURFACE_CREATED), G(CUBE_SYNC_FINISHED), G(CUBE_START_CREATION), G(DTM_START_CREATION),
    G(TIN_START_CREATION), G(REFRESH_EXPLORER_VIEW), G(SNIPPET_SURFACE_CREATED), G(SSS_SURFACE_CREATED),
    G(DEVICE_STATUS_CHANGED), G(AIS_DATA_UPDATE), G(VIEW3D_SET_FILESETCOLORING), G(ADT_SELECTED_SONAR_CHANGE),
    G(ADT_SELECTED_TRACK_CHANGE), G(TRACKS_VISUALIZATION_CHANGE), G(MASKS_CHANGE),
    G(STS_SELECTED_SONAR_TARGET_CHANGE), G(STS_SEND_TO_TARGETS_OUTPUT_DEVICE), G(IMAGE_ICON_SELECTION_CHANGE),
    G(LOAD_CRANE_ROUTE), G(TOOLS_STATISTICS_PARMS_CHANGE), G(VCE_SELECTED_DEVICE_OFFSET_CHANGE),
    G(VCE_SELECTED_POINT_CHANGE), G(VCE_DEVICE_OFFSET_UPDATE), G(VCE_POINT_UPDATE), G(COLOR_TABLE_NAME_CHANGE),
    G(PROJECT_TRK_EXTEND_CHANGE), G(MESSAGE_VIEW_UPDATE), G(DISPLAY_LAYER_ADDED), G(DISPLAY_LAYER_REMOVED),
    G(DISPLAY_LAYER_ENABLE_CHANGE), G(DISPLAY_LAYER_INITIALIZED), G(LOAD_ASLAID_ROUTE),
    P(PROCESSING_INFO), P(DATARANGE_CHANGED), P(VIEW_DESTROY), P(VIEW_INIT), P(NEW_VIEW_DATAID), P(EDIT_MODE),
    P(DATA_SELECTED), P(ACTIVATE_EDITOR), P(UPDATE_CACHE), P(NEW_GRIDMODEL), P(REQUEST_GRIDMODEL),
    S(LOG_DTM), S(WAYPOINT), S(DESIGN_MODEL), S(WORKAREA), S(PLACEMENTPOINT), S(LOG_DXF), S(DREDGEINSTRUCTION),
    S(ROUTE), S(TIDE_STATIONS), S(ACTIVE_VESSEL), S(ALARMAREA), S(LAYBARGEROUTE), S(OBJECTPLACEMENT), S(BLOCK),
    S(SOCKET_CONNECT), S(CUTTER_PARMS), S(MARKER), S(PILE), S(GRABPOSITION), S(RUNLINE), S(LOG_RLNCOV),
};

TEST(SubKeysTest, EveryConstantHoldsItsAgreedValue) {
    ASSERT_EQ(std::size(kKeys), 79U);
    for (const KeyRow& row : kKeys) EXPECT_EQ(row.constant->str(), row.value);
}

TEST(SubKeysTest, CatalogueAssignmentsReturnTheirTarget) {
    const auto returnsTarget = [](auto keys) {
        return &(keys = std::as_const(keys)) == &keys && &(keys = decltype(keys)()) == &keys;
    };
    EXPECT_TRUE(returnsTarget(GeneralSubKeys()) && returnsTarget(ProcessingSubKeys()));
}

}  // namespace
