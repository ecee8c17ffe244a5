#include "payloads/SubKeys.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

// Read by this executable's own static initialisation: the library must have
// built its constants before any code of a client module runs.
const CString s_keyCopiedAtStaticInit = GeneralSubKeys::DISPLAY_LAYER_ADDED;
const CString s_mixedCaseKeyCopiedAtStaticInit = file_update::WORKAREAS;

struct KeyRow {
    const CString* constant;
    std::u16string_view expected;
};

// Every constant with its agreed value, catalogue by catalogue in declaration
// order: file_update (2), GeneralSubKeys (45), ProcessingSubKeys (11),
// sel_change (21).
const KeyRow kKeys[] = {
    {&file_update::WORKAREAS, u"WorkAreas"},
    {&file_update::OBJECTPLACEMENT, u"ObjectPlacement"},
    {&GeneralSubKeys::PROFILE_POSITION, u"PROFILE_POSITION"},
    {&GeneralSubKeys::COLOR_CONTROL, u"COLOR_CONTROL"},
    {&GeneralSubKeys::CMAP, u"CMAP"},
    {&GeneralSubKeys::PROJECT_CHANGE, u"PROJECT_CHANGE"},
    {&GeneralSubKeys::APPL_TYPE_CHANGE, u"APPL_TYPE_CHANGE"},
    {&GeneralSubKeys::LAYER_ATTRIBUTE_CHANGE, u"LAYER_ATTRIBUTE_CHANGE"},
    {&GeneralSubKeys::NEXT_TRIP_INFO, u"NEXT_TRIP_INFO"},
    {&GeneralSubKeys::MANUAL_NEXT_TRIP, u"MANUAL_NEXT_TRIP"},
    {&GeneralSubKeys::TOOLS_SETTINGS_CHANGE, u"TOOLS_SETTINGS_CHANGE"},
    {&GeneralSubKeys::START_ROTATOR_COMMAND, u"START_ROTATOR_COMMAND"},
    {&GeneralSubKeys::PROCESSING, u"PROCESSING"},
    {&GeneralSubKeys::PROCESSING_DATA_EDITED, u"PROCESSING_DATA_EDITED"},
    {&GeneralSubKeys::DATARANGE_CHANGED, u"DATARANGE_CHANGED"},
    {&GeneralSubKeys::CUBE_SURFACE_CREATED, u"CUBE_SURFACE_CREATED"},
    {&GeneralSubKeys::CUBE_SYNC_FINISHED, u"CUBE_SYNC_FINISHED"},
    {&GeneralSubKeys::CUBE_START_CREATION, u"CUBE_START_CREATION"},
    {&GeneralSubKeys::DTM_START_CREATION, u"DTM_START_CREATION"},
    {&GeneralSubKeys::TIN_START_CREATION, u"TIN_START_CREATION"},
    {&GeneralSubKeys::REFRESH_EXPLORER_VIEW, u"REFRESH_EXPLORER_VIEW"},
    {&GeneralSubKeys::SNIPPET_SURFACE_CREATED, u"SNIPPET_SURFACE_CREATED"},
    {&GeneralSubKeys::SSS_SURFACE_CREATED, u"SSS_SURFACE_CREATED"},
    {&GeneralSubKeys::DEVICE_STATUS_CHANGED, u"DEVICE_STATUS_CHANGED"},
    {&GeneralSubKeys::AIS_DATA_UPDATE, u"AIS_DATA_UPDATE"},
    {&GeneralSubKeys::VIEW3D_SET_FILESETCOLORING, u"VIEW3D_SET_FILESETCOLORING"},
    {&GeneralSubKeys::ADT_SELECTED_SONAR_CHANGE, u"ADT_SELECTED_SONAR_CHANGE"},
    {&GeneralSubKeys::ADT_SELECTED_TRACK_CHANGE, u"ADT_SELECTED_TRACK_CHANGE"},
    {&GeneralSubKeys::TRACKS_VISUALIZATION_CHANGE, u"TRACKS_VISUALIZATION_CHANGE"},
    {&GeneralSubKeys::MASKS_CHANGE, u"MASKS_CHANGE"},
    {&GeneralSubKeys::STS_SELECTED_SONAR_TARGET_CHANGE, u"STS_SELECTED_SONAR_TARGET_CHANGE"},
    {&GeneralSubKeys::STS_SEND_TO_TARGETS_OUTPUT_DEVICE, u"STS_SEND_TO_TARGETS_OUTPUT_DEVICE"},
    {&GeneralSubKeys::IMAGE_ICON_SELECTION_CHANGE, u"IMAGE_ICON_SELECTION_CHANGE"},
    {&GeneralSubKeys::LOAD_CRANE_ROUTE, u"LOAD_CRANE_ROUTE"},
    {&GeneralSubKeys::TOOLS_STATISTICS_PARMS_CHANGE, u"TOOLS_STATISTICS_PARMS_CHANGE"},
    {&GeneralSubKeys::VCE_SELECTED_DEVICE_OFFSET_CHANGE, u"VCE_SELECTED_DEVICE_OFFSET_CHANGE"},
    {&GeneralSubKeys::VCE_SELECTED_POINT_CHANGE, u"VCE_SELECTED_POINT_CHANGE"},
    {&GeneralSubKeys::VCE_DEVICE_OFFSET_UPDATE, u"VCE_DEVICE_OFFSET_UPDATE"},
    {&GeneralSubKeys::VCE_POINT_UPDATE, u"VCE_POINT_UPDATE"},
    {&GeneralSubKeys::COLOR_TABLE_NAME_CHANGE, u"COLOR_TABLE_NAME_CHANGE"},
    {&GeneralSubKeys::PROJECT_TRK_EXTEND_CHANGE, u"PROJECT_TRK_EXTEND_CHANGE"},
    {&GeneralSubKeys::MESSAGE_VIEW_UPDATE, u"MESSAGE_VIEW_UPDATE"},
    {&GeneralSubKeys::DISPLAY_LAYER_ADDED, u"DISPLAY_LAYER_ADDED"},
    {&GeneralSubKeys::DISPLAY_LAYER_REMOVED, u"DISPLAY_LAYER_REMOVED"},
    {&GeneralSubKeys::DISPLAY_LAYER_ENABLE_CHANGE, u"DISPLAY_LAYER_ENABLE_CHANGE"},
    {&GeneralSubKeys::DISPLAY_LAYER_INITIALIZED, u"DISPLAY_LAYER_INITIALIZED"},
    {&GeneralSubKeys::LOAD_ASLAID_ROUTE, u"LOAD_ASLAID_ROUTE"},
    {&ProcessingSubKeys::PROCESSING_INFO, u"PROCESSING_INFO"},
    {&ProcessingSubKeys::DATARANGE_CHANGED, u"DATARANGE_CHANGED"},
    {&ProcessingSubKeys::VIEW_DESTROY, u"VIEW_DESTROY"},
    {&ProcessingSubKeys::VIEW_INIT, u"VIEW_INIT"},
    {&ProcessingSubKeys::NEW_VIEW_DATAID, u"NEW_VIEW_DATAID"},
    {&ProcessingSubKeys::EDIT_MODE, u"EDIT_MODE"},
    {&ProcessingSubKeys::DATA_SELECTED, u"DATA_SELECTED"},
    {&ProcessingSubKeys::ACTIVATE_EDITOR, u"ACTIVATE_EDITOR"},
    {&ProcessingSubKeys::UPDATE_CACHE, u"UPDATE_CACHE"},
    {&ProcessingSubKeys::NEW_GRIDMODEL, u"NEW_GRIDMODEL"},
    {&ProcessingSubKeys::REQUEST_GRIDMODEL, u"REQUEST_GRIDMODEL"},
    {&sel_change::LOG_DTM, u"LOG_DTM"},
    {&sel_change::WAYPOINT, u"WAYPOINT"},
    {&sel_change::DESIGN_MODEL, u"DESIGN_MODEL"},
    {&sel_change::WORKAREA, u"WORKAREA"},
    {&sel_change::PLACEMENTPOINT, u"PLACEMENTPOINT"},
    {&sel_change::LOG_DXF, u"LOG_DXF"},
    {&sel_change::DREDGEINSTRUCTION, u"DREDGEINSTRUCTION"},
    {&sel_change::ROUTE, u"ROUTE"},
    {&sel_change::TIDE_STATIONS, u"TIDE_STATIONS"},
    {&sel_change::ACTIVE_VESSEL, u"ACTIVE_VESSEL"},
    {&sel_change::ALARMAREA, u"ALARMAREA"},
    {&sel_change::LAYBARGEROUTE, u"LAYBARGEROUTE"},
    {&sel_change::OBJECTPLACEMENT, u"OBJECTPLACEMENT"},
    {&sel_change::BLOCK, u"BLOCK"},
    {&sel_change::SOCKET_CONNECT, u"SOCKET_CONNECT"},
    {&sel_change::CUTTER_PARMS, u"CUTTER_PARMS"},
    {&sel_change::MARKER, u"MARKER"},
    {&sel_change::PILE, u"PILE"},
    {&sel_change::GRABPOSITION, u"GRABPOSITION"},
    {&sel_change::RUNLINE, u"RUNLINE"},
    {&sel_change::LOG_RLNCOV, u"LOG_RLNCOV"},
};

TEST(SubKeysTest, EveryConstantHoldsItsAgreedValue) {
    ASSERT_EQ(std::size(kKeys), 79u);
    for (const KeyRow& row : kKeys) {
        EXPECT_EQ(row.constant->view(), row.expected) << CString(row.expected).ToUtf8();
        EXPECT_FALSE(row.constant->IsEmpty());
    }
}

TEST(SubKeysTest, CrossCatalogueKeysCompareByValue) {
    EXPECT_EQ(GeneralSubKeys::DATARANGE_CHANGED, ProcessingSubKeys::DATARANGE_CHANGED);
    EXPECT_NE(file_update::OBJECTPLACEMENT, sel_change::OBJECTPLACEMENT);
    EXPECT_NE(file_update::WORKAREAS, sel_change::WORKAREA);
}

TEST(SubKeysTest, ConstantsAreBuiltBeforeClientStaticInitialisers) {
    EXPECT_EQ(s_keyCopiedAtStaticInit, CString(u"DISPLAY_LAYER_ADDED"));
    EXPECT_EQ(s_mixedCaseKeyCopiedAtStaticInit, CString(u"WorkAreas"));
}

}  // namespace
