#include "filewatch/internal/WatchedFiles.h"

#include <BrimSubscriber/mainthread/MainThreadDispatcher.h>
#include <BrimSubscriber/platform/Diagnostics.h>
#include <BrimSubscriber/subscription/SubscriptionManager.h>
#include <BrimSubscriber/subscription/SubscriptionMap.h>

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace brim {

namespace filewatch_detail {
namespace {

// The offset of the first byte that does not belong to a well-formed UTF-8
// sequence (no overlong forms, no surrogates, nothing above U+10FFFF), or
// the size when there is none.
std::size_t FirstIllFormed(std::string_view bytes) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = at(i);
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;  // the second byte's range, narrowed for the leads that need it
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return i;
        }
        if (i + length > bytes.size()) return i;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char c = at(i + k);
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return i;
        }
        i += length;
    }
    return i;
}

}  // namespace

bool IsChange(const std::optional<platform::FileInfo>& last, const std::optional<platform::FileInfo>& seen) {
    // A file that is not there is never a change: its last state is kept, so
    // that it is reported when it comes back different.
    if (!seen) return false;
    return !last || last->identity != seen->identity || last->lastWriteNs != seen->lastWriteNs || last->size != seen->size;
}

bool AcceptUtf8Path(std::string_view bytes, const char* operation) {
    const std::size_t bad = FirstIllFormed(bytes);
    if (bad == bytes.size()) return true;
    // Only the well-formed part is shown: the rest could be anything.
    ReportDiagnostic(DiagnosticKind::PathNotUtf8, FILE_SUBSCRIPTION_TYPE,
                     "%s refused a path that is not UTF-8 (byte 0x%02X at offset %zu, after \"%.*s\"): "
                     "no key can name it, and decoding it would name another file",
                     operation, static_cast<unsigned>(static_cast<unsigned char>(bytes[bad])), bad, static_cast<int>(bad),
                     bytes.data());
    return false;
}

std::string LookupPathOf(const CString& path) {
    // A lone surrogate would be converted to U+FFFD and a NUL would cut the
    // name short, and either could then name another file than the one
    // meant; such paths are never looked up.
    if (path.IsEmpty() || !path.IsWellFormed() || path.view().find(u'\0') != std::u16string_view::npos) return {};
    // Resolved once, so that a later change of the working directory cannot
    // move a relative watch onto another file.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path.ToUtf8()), error);
    if (error) return {};
    return absolute.string();
}

Record* WatchedFiles::Find(const CString& path) {
    const auto found = m_ids.find(path.view());
    return found == m_ids.end() ? nullptr : &m_records.at(found->second);
}

Record* WatchedFiles::Get(Id id) {
    const auto found = m_records.find(id);
    return found == m_records.end() ? nullptr : &found->second;
}

Record& WatchedFiles::Add(const CString& path, std::string lookupPath, std::optional<platform::FileInfo> state) {
    Record record;
    record.id = m_nextId;
    record.path = path;
    record.lookupPath = std::make_shared<const std::string>(std::move(lookupPath));
    record.last = state;
    record.waiting = std::make_shared<std::atomic<bool>>(false);
    Record& added = m_records.emplace(record.id, std::move(record)).first->second;
    try {
        m_ids.emplace(added.path.view(), added.id);
    } catch (...) {
        m_records.erase(added.id);
        throw;
    }
    ++m_nextId;
    return added;
}

void WatchedFiles::Erase(Id id) {
    const auto found = m_records.find(id);
    if (found == m_records.end()) return;
    m_ids.erase(found->second.path.view());  // first: its key views the record's path
    m_records.erase(found);
}

bool WatchedFiles::Report(Record& record, const platform::FileInfo& seen) {
    if (!record.waiting->load()) {
        record.waiting->store(true);
        // The flag is cleared before the receivers run, so that a change
        // they might miss, made while they read, is posted again.
        bool posted = false;
        try {
            // The several-keys delivery calls a receiver subscribed twice to
            // the path once.
            posted = m_dispatcher.DispatchAsync([waiting = record.waiting, keys = std::vector<CString>{record.path}, map = &m_map] {
                waiting->store(false);
                map->Notify(keys, nullptr, nullptr);
            });
        } catch (...) {
            record.waiting->store(false);
            throw;
        }
        if (!posted) {
            record.waiting->store(false);
            return false;
        }
    }
    record.last = seen;
    ++record.version;
    return true;
}

}  // namespace filewatch_detail

}  // namespace brim
