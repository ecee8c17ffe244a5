#pragma once

// The key catalogues: the keys on which the application's modules agree when
// they publish and subscribe. Four catalogues hold 79 constants:
//   file_update        2 keys, in mixed case ("WorkAreas", "ObjectPlacement")
//   GeneralSubKeys    45 keys
//   ProcessingSubKeys 11 keys
//   sel_change        21 keys
// Outside file_update every value is the constant's own name.
//
//   // publisher
//   SubscriptionManager::Instance().Notify(type, GeneralSubKeys::DISPLAY_LAYER_ADDED, &info, nullptr);
//   // subscriber, same subscription type
//   SubscriptionManager::Instance().Subscribe(type, GeneralSubKeys::DISPLAY_LAYER_ADDED, &receiver);
//
// Keys compare exactly, so a constant's value, not its name, is the key:
// GeneralSubKeys::DATARANGE_CHANGED and ProcessingSubKeys::DATARANGE_CHANGED
// are one key, while sel_change::OBJECTPLACEMENT ("OBJECTPLACEMENT") and
// file_update::OBJECTPLACEMENT ("ObjectPlacement") are two, as are
// sel_change::WORKAREA and file_update::WORKAREAS. Any other string may be used
// as a key too; the catalogues fix only the shared ones.
//
// Threading: the constants never change and may be read from any thread
// without locking.
// Lifetime: every constant is built while the library is loaded, before any
// code of a module that links the library runs (its static initialisers
// included), and is destroyed when the library is unloaded. A reference to a
// constant must not be used after the library has been unloaded.

#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/Export.h>

namespace brim {

namespace file_update {
extern BRIMSUBSCRIBER_API const CString WORKAREAS;  // "WorkAreas"
extern BRIMSUBSCRIBER_API const CString OBJECTPLACEMENT;  // "ObjectPlacement"
}  // namespace file_update

// Keys shared across the application. The class holds only constants; its
// assignments exist for source compatibility and do nothing.
class BRIMSUBSCRIBER_API GeneralSubKeys {
public:
    static const CString PROFILE_POSITION;
    static const CString COLOR_CONTROL;
    static const CString CMAP;
    static const CString PROJECT_CHANGE;
    static const CString APPL_TYPE_CHANGE;
    static const CString LAYER_ATTRIBUTE_CHANGE;
    static const CString NEXT_TRIP_INFO;
    static const CString MANUAL_NEXT_TRIP;
    static const CString TOOLS_SETTINGS_CHANGE;
    static const CString START_ROTATOR_COMMAND;
    static const CString PROCESSING;
    static const CString PROCESSING_DATA_EDITED;
    static const CString DATARANGE_CHANGED;
    static const CString CUBE_SURFACE_CREATED;
    static const CString CUBE_SYNC_FINISHED;
    static const CString CUBE_START_CREATION;
    static const CString DTM_START_CREATION;
    static const CString TIN_START_CREATION;
    static const CString REFRESH_EXPLORER_VIEW;
    static const CString SNIPPET_SURFACE_CREATED;
    static const CString SSS_SURFACE_CREATED;
    static const CString DEVICE_STATUS_CHANGED;
    static const CString AIS_DATA_UPDATE;
    static const CString VIEW3D_SET_FILESETCOLORING;
    static const CString ADT_SELECTED_SONAR_CHANGE;
    static const CString ADT_SELECTED_TRACK_CHANGE;
    static const CString TRACKS_VISUALIZATION_CHANGE;
    static const CString MASKS_CHANGE;
    static const CString STS_SELECTED_SONAR_TARGET_CHANGE;
    static const CString STS_SEND_TO_TARGETS_OUTPUT_DEVICE;
    static const CString IMAGE_ICON_SELECTION_CHANGE;
    static const CString LOAD_CRANE_ROUTE;
    static const CString TOOLS_STATISTICS_PARMS_CHANGE;
    static const CString VCE_SELECTED_DEVICE_OFFSET_CHANGE;
    static const CString VCE_SELECTED_POINT_CHANGE;
    static const CString VCE_DEVICE_OFFSET_UPDATE;
    static const CString VCE_POINT_UPDATE;
    static const CString COLOR_TABLE_NAME_CHANGE;
    static const CString PROJECT_TRK_EXTEND_CHANGE;
    static const CString MESSAGE_VIEW_UPDATE;
    static const CString DISPLAY_LAYER_ADDED;
    static const CString DISPLAY_LAYER_REMOVED;
    static const CString DISPLAY_LAYER_ENABLE_CHANGE;
    static const CString DISPLAY_LAYER_INITIALIZED;
    static const CString LOAD_ASLAID_ROUTE;

    // Both do nothing and return *this.
    GeneralSubKeys& operator=(const GeneralSubKeys& other) noexcept;
    GeneralSubKeys& operator=(GeneralSubKeys&& other) noexcept;
};

// Keys with which the processing editors keep one another in step. The class
// holds only constants; its assignments exist for source compatibility and do
// nothing.
class BRIMSUBSCRIBER_API ProcessingSubKeys {
public:
    static const CString PROCESSING_INFO;
    static const CString DATARANGE_CHANGED;
    static const CString VIEW_DESTROY;
    static const CString VIEW_INIT;
    static const CString NEW_VIEW_DATAID;
    static const CString EDIT_MODE;
    static const CString DATA_SELECTED;
    static const CString ACTIVATE_EDITOR;
    static const CString UPDATE_CACHE;
    static const CString NEW_GRIDMODEL;
    static const CString REQUEST_GRIDMODEL;

    // Both do nothing and return *this.
    ProcessingSubKeys& operator=(const ProcessingSubKeys& other) noexcept;
    ProcessingSubKeys& operator=(ProcessingSubKeys&& other) noexcept;
};

// Keys that announce a change of the selected object of a kind.
namespace sel_change {
extern BRIMSUBSCRIBER_API const CString LOG_DTM;
extern BRIMSUBSCRIBER_API const CString WAYPOINT;
extern BRIMSUBSCRIBER_API const CString DESIGN_MODEL;
extern BRIMSUBSCRIBER_API const CString WORKAREA;
extern BRIMSUBSCRIBER_API const CString PLACEMENTPOINT;
extern BRIMSUBSCRIBER_API const CString LOG_DXF;
extern BRIMSUBSCRIBER_API const CString DREDGEINSTRUCTION;
extern BRIMSUBSCRIBER_API const CString ROUTE;
extern BRIMSUBSCRIBER_API const CString TIDE_STATIONS;
extern BRIMSUBSCRIBER_API const CString ACTIVE_VESSEL;
extern BRIMSUBSCRIBER_API const CString ALARMAREA;
extern BRIMSUBSCRIBER_API const CString LAYBARGEROUTE;
extern BRIMSUBSCRIBER_API const CString OBJECTPLACEMENT;
extern BRIMSUBSCRIBER_API const CString BLOCK;
extern BRIMSUBSCRIBER_API const CString SOCKET_CONNECT;
extern BRIMSUBSCRIBER_API const CString CUTTER_PARMS;
extern BRIMSUBSCRIBER_API const CString MARKER;
extern BRIMSUBSCRIBER_API const CString PILE;
extern BRIMSUBSCRIBER_API const CString GRABPOSITION;
extern BRIMSUBSCRIBER_API const CString RUNLINE;
extern BRIMSUBSCRIBER_API const CString LOG_RLNCOV;
}  // namespace sel_change

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::GeneralSubKeys;
using brim::ProcessingSubKeys;
namespace file_update {
using brim::file_update::OBJECTPLACEMENT;
using brim::file_update::WORKAREAS;
}  // namespace file_update
namespace sel_change {
using brim::sel_change::ACTIVE_VESSEL;
using brim::sel_change::ALARMAREA;
using brim::sel_change::BLOCK;
using brim::sel_change::CUTTER_PARMS;
using brim::sel_change::DESIGN_MODEL;
using brim::sel_change::DREDGEINSTRUCTION;
using brim::sel_change::GRABPOSITION;
using brim::sel_change::LAYBARGEROUTE;
using brim::sel_change::LOG_DTM;
using brim::sel_change::LOG_DXF;
using brim::sel_change::LOG_RLNCOV;
using brim::sel_change::MARKER;
using brim::sel_change::OBJECTPLACEMENT;
using brim::sel_change::PILE;
using brim::sel_change::PLACEMENTPOINT;
using brim::sel_change::ROUTE;
using brim::sel_change::RUNLINE;
using brim::sel_change::SOCKET_CONNECT;
using brim::sel_change::TIDE_STATIONS;
using brim::sel_change::WAYPOINT;
using brim::sel_change::WORKAREA;
}  // namespace sel_change
#endif
