#include <BrimSubscriber/payloads/NFSyncProcessing.h>

#include <algorithm>
#include <utility>

namespace brim {

NFSyncProcessing::NFSyncProcessing() = default;

NFSyncProcessing::NFSyncProcessing(const NFSyncProcessing& other) = default;

// The name is copied rather than moved: a publisher that hands its payload on
// still knows which editor it described.
NFSyncProcessing::NFSyncProcessing(NFSyncProcessing&& other)
    : NotificationInfo(other),
      m_pView(other.m_pView),
      m_editorType(other.m_editorType),
      m_name(other.m_name),
      m_dataId(std::move(other.m_dataId)),
      m_editMode(other.m_editMode),
      m_editIds(std::move(other.m_editIds)) {
    other.m_editIds.clear();
}

NFSyncProcessing& NFSyncProcessing::operator=(const NFSyncProcessing& other) = default;

NFSyncProcessing& NFSyncProcessing::operator=(NFSyncProcessing&& other) {
    // Taking over one's own list would empty it.
    if (this == &other) {
        return *this;
    }
    NotificationInfo::operator=(other);
    m_pView = other.m_pView;
    m_editorType = other.m_editorType;
    m_name = other.m_name;
    m_dataId = std::move(other.m_dataId);
    m_editMode = other.m_editMode;
    m_editIds = std::move(other.m_editIds);
    other.m_editIds.clear();
    return *this;
}

NFSyncProcessing::~NFSyncProcessing() = default;

void NFSyncProcessing::Set(CView* view, EditorTypes editorType, const CString& name, const CDataId& dataId,
                           EditModes editMode) {
    m_pView = view;
    m_editorType = editorType;
    m_name = name;
    m_dataId = dataId;
    m_editMode = editMode;
}

void NFSyncProcessing::AddEditId(const CDataId& id) {
    if (std::find(m_editIds.begin(), m_editIds.end(), id) == m_editIds.end()) {
        m_editIds.push_back(id);
    }
}

void NFSyncProcessing::AddEditIds(const std::vector<CDataId>& ids) {
    // Indexing with a bound taken up front keeps this sound when `ids` is
    // m_editIds: appending may reallocate, which would invalidate iterators.
    const std::size_t count = ids.size();
    for (std::size_t i = 0; i < count; ++i) {
        const CDataId id = ids[i];
        AddEditId(id);
    }
}

void NFSyncProcessing::RemoveEditId(const CDataId& id) {
    const auto found = std::find(m_editIds.begin(), m_editIds.end(), id);
    if (found != m_editIds.end()) {
        m_editIds.erase(found);
    }
}

void NFSyncProcessing::ClearEditIds() noexcept {
    m_editIds.clear();
}

}  // namespace brim
