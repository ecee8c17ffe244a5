#include <BrimSubscriber/payloads/SubKeys.h>

namespace brim {

// When the constants are built.
//
// Each constant is an ordinary exported object with a dynamic initialiser, and
// two orders decide when that initialiser runs:
// - Across shared objects, the dynamic loader runs a library's initialisers
//   before those of every module that depends on it. A client executable or
//   library that links BrimSubscriber therefore finds the constants built
//   before its own static initialisers run, also when it is loaded later with
//   dlopen. (If a client executable was linked with copy relocations for the
//   constants, the library builds the client's copy, still first.)
// - Within this library, initialisers of different source files run in an
//   unspecified order. The constants carry the earliest user priority, so
//   they are built before any other static object of the library that might
//   read them, whatever the link order.
// Destruction mirrors this: the constants go after every object built later,
// clients' static objects included.
#define BRIM_KEY [[gnu::init_priority(101)]]

BRIM_KEY const CString file_update::WORKAREAS = u"WorkAreas";
BRIM_KEY const CString file_update::OBJECTPLACEMENT = u"ObjectPlacement";

BRIM_KEY const CString GeneralSubKeys::PROFILE_POSITION = u"PROFILE_POSITION";
BRIM_KEY const CString GeneralSubKeys::COLOR_CONTROL = u"COLOR_CONTROL";
BRIM_KEY const CString GeneralSubKeys::CMAP = u"CMAP";
BRIM_KEY const CString GeneralSubKeys::PROJECT_CHANGE = u"PROJECT_CHANGE";
BRIM_KEY const CString GeneralSubKeys::APPL_TYPE_CHANGE = u"APPL_TYPE_CHANGE";
BRIM_KEY const CString GeneralSubKeys::LAYER_ATTRIBUTE_CHANGE = u"LAYER_ATTRIBUTE_CHANGE";
BRIM_KEY const CString GeneralSubKeys::NEXT_TRIP_INFO = u"NEXT_TRIP_INFO";
BRIM_KEY const CString GeneralSubKeys::MANUAL_NEXT_TRIP = u"MANUAL_NEXT_TRIP";
BRIM_KEY const CString GeneralSubKeys::TOOLS_SETTINGS_CHANGE = u"TOOLS_SETTINGS_CHANGE";
BRIM_KEY const CString GeneralSubKeys::START_ROTATOR_COMMAND = u"START_ROTATOR_COMMAND";
BRIM_KEY const CString GeneralSubKeys::PROCESSING = u"PROCESSING";
BRIM_KEY const CString GeneralSubKeys::PROCESSING_DATA_EDITED = u"PROCESSING_DATA_EDITED";
BRIM_KEY const CString GeneralSubKeys::DATARANGE_CHANGED = u"DATARANGE_CHANGED";
BRIM_KEY const CString GeneralSubKeys::CUBE_SURFACE_CREATED = u"CUBE_SURFACE_CREATED";
BRIM_KEY const CString GeneralSubKeys::CUBE_SYNC_FINISHED = u"CUBE_SYNC_FINISHED";
BRIM_KEY const CString GeneralSubKeys::CUBE_START_CREATION = u"CUBE_START_CREATION";
BRIM_KEY const CString GeneralSubKeys::DTM_START_CREATION = u"DTM_START_CREATION";
BRIM_KEY const CString GeneralSubKeys::TIN_START_CREATION = u"TIN_START_CREATION";
BRIM_KEY const CString GeneralSubKeys::REFRESH_EXPLORER_VIEW = u"REFRESH_EXPLORER_VIEW";
BRIM_KEY const CString GeneralSubKeys::SNIPPET_SURFACE_CREATED = u"SNIPPET_SURFACE_CREATED";
BRIM_KEY const CString GeneralSubKeys::SSS_SURFACE_CREATED = u"SSS_SURFACE_CREATED";
BRIM_KEY const CString GeneralSubKeys::DEVICE_STATUS_CHANGED = u"DEVICE_STATUS_CHANGED";
BRIM_KEY const CString GeneralSubKeys::AIS_DATA_UPDATE = u"AIS_DATA_UPDATE";
BRIM_KEY const CString GeneralSubKeys::VIEW3D_SET_FILESETCOLORING = u"VIEW3D_SET_FILESETCOLORING";
BRIM_KEY const CString GeneralSubKeys::ADT_SELECTED_SONAR_CHANGE = u"ADT_SELECTED_SONAR_CHANGE";
BRIM_KEY const CString GeneralSubKeys::ADT_SELECTED_TRACK_CHANGE = u"ADT_SELECTED_TRACK_CHANGE";
BRIM_KEY const CString GeneralSubKeys::TRACKS_VISUALIZATION_CHANGE = u"TRACKS_VISUALIZATION_CHANGE";
BRIM_KEY const CString GeneralSubKeys::MASKS_CHANGE = u"MASKS_CHANGE";
BRIM_KEY const CString GeneralSubKeys::STS_SELECTED_SONAR_TARGET_CHANGE = u"STS_SELECTED_SONAR_TARGET_CHANGE";
BRIM_KEY const CString GeneralSubKeys::STS_SEND_TO_TARGETS_OUTPUT_DEVICE = u"STS_SEND_TO_TARGETS_OUTPUT_DEVICE";
BRIM_KEY const CString GeneralSubKeys::IMAGE_ICON_SELECTION_CHANGE = u"IMAGE_ICON_SELECTION_CHANGE";
BRIM_KEY const CString GeneralSubKeys::LOAD_CRANE_ROUTE = u"LOAD_CRANE_ROUTE";
BRIM_KEY const CString GeneralSubKeys::TOOLS_STATISTICS_PARMS_CHANGE = u"TOOLS_STATISTICS_PARMS_CHANGE";
BRIM_KEY const CString GeneralSubKeys::VCE_SELECTED_DEVICE_OFFSET_CHANGE = u"VCE_SELECTED_DEVICE_OFFSET_CHANGE";
BRIM_KEY const CString GeneralSubKeys::VCE_SELECTED_POINT_CHANGE = u"VCE_SELECTED_POINT_CHANGE";
BRIM_KEY const CString GeneralSubKeys::VCE_DEVICE_OFFSET_UPDATE = u"VCE_DEVICE_OFFSET_UPDATE";
BRIM_KEY const CString GeneralSubKeys::VCE_POINT_UPDATE = u"VCE_POINT_UPDATE";
BRIM_KEY const CString GeneralSubKeys::COLOR_TABLE_NAME_CHANGE = u"COLOR_TABLE_NAME_CHANGE";
BRIM_KEY const CString GeneralSubKeys::PROJECT_TRK_EXTEND_CHANGE = u"PROJECT_TRK_EXTEND_CHANGE";
BRIM_KEY const CString GeneralSubKeys::MESSAGE_VIEW_UPDATE = u"MESSAGE_VIEW_UPDATE";
BRIM_KEY const CString GeneralSubKeys::DISPLAY_LAYER_ADDED = u"DISPLAY_LAYER_ADDED";
BRIM_KEY const CString GeneralSubKeys::DISPLAY_LAYER_REMOVED = u"DISPLAY_LAYER_REMOVED";
BRIM_KEY const CString GeneralSubKeys::DISPLAY_LAYER_ENABLE_CHANGE = u"DISPLAY_LAYER_ENABLE_CHANGE";
BRIM_KEY const CString GeneralSubKeys::DISPLAY_LAYER_INITIALIZED = u"DISPLAY_LAYER_INITIALIZED";
BRIM_KEY const CString GeneralSubKeys::LOAD_ASLAID_ROUTE = u"LOAD_ASLAID_ROUTE";

BRIM_KEY const CString ProcessingSubKeys::PROCESSING_INFO = u"PROCESSING_INFO";
BRIM_KEY const CString ProcessingSubKeys::DATARANGE_CHANGED = u"DATARANGE_CHANGED";
BRIM_KEY const CString ProcessingSubKeys::VIEW_DESTROY = u"VIEW_DESTROY";
BRIM_KEY const CString ProcessingSubKeys::VIEW_INIT = u"VIEW_INIT";
BRIM_KEY const CString ProcessingSubKeys::NEW_VIEW_DATAID = u"NEW_VIEW_DATAID";
BRIM_KEY const CString ProcessingSubKeys::EDIT_MODE = u"EDIT_MODE";
BRIM_KEY const CString ProcessingSubKeys::DATA_SELECTED = u"DATA_SELECTED";
BRIM_KEY const CString ProcessingSubKeys::ACTIVATE_EDITOR = u"ACTIVATE_EDITOR";
BRIM_KEY const CString ProcessingSubKeys::UPDATE_CACHE = u"UPDATE_CACHE";
BRIM_KEY const CString ProcessingSubKeys::NEW_GRIDMODEL = u"NEW_GRIDMODEL";
BRIM_KEY const CString ProcessingSubKeys::REQUEST_GRIDMODEL = u"REQUEST_GRIDMODEL";

BRIM_KEY const CString sel_change::LOG_DTM = u"LOG_DTM";
BRIM_KEY const CString sel_change::WAYPOINT = u"WAYPOINT";
BRIM_KEY const CString sel_change::DESIGN_MODEL = u"DESIGN_MODEL";
BRIM_KEY const CString sel_change::WORKAREA = u"WORKAREA";
BRIM_KEY const CString sel_change::PLACEMENTPOINT = u"PLACEMENTPOINT";
BRIM_KEY const CString sel_change::LOG_DXF = u"LOG_DXF";
BRIM_KEY const CString sel_change::DREDGEINSTRUCTION = u"DREDGEINSTRUCTION";
BRIM_KEY const CString sel_change::ROUTE = u"ROUTE";
BRIM_KEY const CString sel_change::TIDE_STATIONS = u"TIDE_STATIONS";
BRIM_KEY const CString sel_change::ACTIVE_VESSEL = u"ACTIVE_VESSEL";
BRIM_KEY const CString sel_change::ALARMAREA = u"ALARMAREA";
BRIM_KEY const CString sel_change::LAYBARGEROUTE = u"LAYBARGEROUTE";
BRIM_KEY const CString sel_change::OBJECTPLACEMENT = u"OBJECTPLACEMENT";
BRIM_KEY const CString sel_change::BLOCK = u"BLOCK";
BRIM_KEY const CString sel_change::SOCKET_CONNECT = u"SOCKET_CONNECT";
BRIM_KEY const CString sel_change::CUTTER_PARMS = u"CUTTER_PARMS";
BRIM_KEY const CString sel_change::MARKER = u"MARKER";
BRIM_KEY const CString sel_change::PILE = u"PILE";
BRIM_KEY const CString sel_change::GRABPOSITION = u"GRABPOSITION";
BRIM_KEY const CString sel_change::RUNLINE = u"RUNLINE";
BRIM_KEY const CString sel_change::LOG_RLNCOV = u"LOG_RLNCOV";

#undef BRIM_KEY

GeneralSubKeys& GeneralSubKeys::operator=(const GeneralSubKeys& /*other*/) noexcept {
    return *this;
}

GeneralSubKeys& GeneralSubKeys::operator=(GeneralSubKeys&& /*other*/) noexcept {
    return *this;
}

ProcessingSubKeys& ProcessingSubKeys::operator=(const ProcessingSubKeys& /*other*/) noexcept {
    return *this;
}

ProcessingSubKeys& ProcessingSubKeys::operator=(ProcessingSubKeys&& /*other*/) noexcept {
    return *this;
}

}  // namespace brim
