#pragma once

// NFSyncProcessing: the payload with which processing editors keep one
// another in step: the view and kind of editor, a name, the data item
// concerned, the edit mode, and the list of data items being edited.
//
//   NFSyncProcessing sync;
//   sync.Set(view, EditorTypes::profile, u"Line 12", CDataId(3, 12), EditModes::reject);
//   sync.AddEditIds(selectedIds);          // duplicates are added once
//   SubscriptionManager::Instance().Notify(type, ProcessingSubKeys::EDIT_MODE, &sync, nullptr);
//
// m_editIds holds no two ids that compare equal and keeps the order in which
// ids were first added; AddEditId, AddEditIds and RemoveEditId keep it so. A
// client that writes m_editIds directly must keep it so itself.
//
// Threading: not guarded; filled by the publisher, then only read during one
// delivery while the publisher waits.
// Ownership: the view is not owned and never touched; every other field is
// held by value.

#include <BrimSubscriber/payloads/BaseTypes.h>
#include <BrimSubscriber/platform/CString.h>
#include <BrimSubscriber/Export.h>
#include <BrimSubscriber/subscription/NotificationInfo.h>

#include <cstdint>
#include <vector>

namespace brim {

// A view of the windowing toolkit; the payload only carries a pointer to it.
class CView;

// The kind of processing editor. This library stores and copies the value
// and gives it no meaning; editors may use values beyond the named ones.
enum class EditorTypes : std::int32_t {
    none = 0,
    plan_view = 1,
    profile = 2,
    cross_section = 3,
    time_series = 4,
    point_cloud = 5,
};

// The edit mode of a processing editor. This library stores and copies the
// value and gives it no meaning; editors may use values beyond the named ones.
enum class EditModes : std::int32_t {
    none = 0,
    select = 1,
    reject = 2,
    accept = 3,
    interpolate = 4,
};

static_assert(sizeof(EditorTypes) == 4 && sizeof(EditModes) == 4, "both travel as 32-bit values");

class BRIMSUBSCRIBER_API NFSyncProcessing : public NotificationInfo {
public:
    // Null view, editor type and edit mode 0, empty name, empty data id, no
    // edit ids.
    NFSyncProcessing();

    // Copies every field, the whole list of edit ids included.
    NFSyncProcessing(const NFSyncProcessing& other);

    // Copies the view, editor type, name and edit mode, moves the data id and
    // takes over the list of edit ids. `other` keeps its name and is left with
    // an empty list.
    NFSyncProcessing(NFSyncProcessing&& other);

    // Assigns every field; the list becomes a copy of `other`'s. Assigning an
    // object to itself changes nothing.
    NFSyncProcessing& operator=(const NFSyncProcessing& other);

    // Copies the view, editor type, name and edit mode, move-assigns the data
    // id, and replaces this list with `other`'s, which is left empty.
    // Move-assigning an object to itself changes nothing.
    NFSyncProcessing& operator=(NFSyncProcessing&& other);

    ~NFSyncProcessing() override;

    // Assigns the view, editor type, name, data id and edit mode, in that
    // order; the list of edit ids is not touched.
    void Set(CView* view, EditorTypes editorType, const CString& name, const CDataId& dataId, EditModes editMode);

    // Appends `id` unless an equal id is already in the list.
    void AddEditId(const CDataId& id);

    // AddEditId for each element of `ids`, first to last: an id already in the
    // list, or standing twice in `ids`, is added at most once, at the place of
    // its first addition. `ids` may be m_editIds itself.
    void AddEditIds(const std::vector<CDataId>& ids);

    // Removes the first id equal to `id`; the ids behind it keep their order.
    // Does nothing if no id is equal.
    void RemoveEditId(const CDataId& id);

    // Empties the list of edit ids; no other field changes.
    void ClearEditIds() noexcept;

    CView* m_pView = nullptr;  // not owned
    EditorTypes m_editorType = EditorTypes::none;
    CString m_name;
    CDataId m_dataId;
    EditModes m_editMode = EditModes::none;
    std::vector<CDataId> m_editIds;
};

}  // namespace brim

#ifndef BRIM_NO_GLOBAL_NAMES  // the same names without brim::, see <BrimSubscriber/BrimSubscriber.h>
using brim::CView;
using brim::EditModes;
using brim::EditorTypes;
using brim::NFSyncProcessing;
#endif
