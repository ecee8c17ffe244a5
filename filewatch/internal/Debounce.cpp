#include "filewatch/internal/Debounce.h"

#include <algorithm>

namespace brim {

namespace filewatch_detail {
namespace {

// Milliseconds from `from` to `to` on the wrapping clock, negative when `to` is earlier.
std::int32_t Until(std::uint32_t from, std::uint32_t to) { return static_cast<std::int32_t>(to - from); }

}  // namespace

void Debounce::Touch(Id id) {
    const auto [found, first] = m_files.try_emplace(id);
    File& file = found->second;
    const std::uint32_t now = Now();
    if (first || now - file.lastTouch >= m_quietMs) file.busySince = now;
    file.lastTouch = now;
    file.touched = ++m_touches;
    if (!file.writing) {
        file.writing = true;
        ++m_writing;
    }
    file.due = now + m_quietMs;
}

void Debounce::Settle(Id id) {
    const auto found = m_files.find(id);
    if (found == m_files.end() || !found->second.writing) return;
    found->second.writing = false;
    --m_writing;
}

void Debounce::Forget(Id id) {
    Settle(id);
    m_files.erase(id);
}

bool Debounce::IsBeingWritten(Id id) const {
    if (m_writing == 0) return false;  // a pass asks for every file; most often none is
    const auto found = m_files.find(id);
    return found != m_files.end() && found->second.writing;
}

bool Debounce::IsBusyLongerThan(Id id, std::uint32_t periodMs) const {
    const auto found = m_files.find(id);
    if (found == m_files.end()) return false;
    const std::uint32_t now = Now();
    return now - found->second.lastTouch < m_quietMs && now - found->second.busySince >= periodMs;
}

bool Debounce::TouchedSince(Id id, std::uint64_t epoch) const {
    if (m_touches == epoch) return false;
    const auto found = m_files.find(id);
    return found != m_files.end() && found->second.touched > epoch;
}

void Debounce::TakeDue(std::vector<Id>& due) {
    if (m_writing == 0) return;
    const std::uint32_t now = Now();
    for (auto& [id, file] : m_files) {
        if (file.writing && Until(now, file.due) <= 0) {
            file.writing = false;
            --m_writing;
            due.push_back(id);
        }
    }
}

std::optional<std::uint32_t> Debounce::MsUntilNextDue() const {
    if (m_writing == 0) return std::nullopt;
    const std::uint32_t now = Now();
    std::int32_t next = INT32_MAX;
    for (const auto& [id, file] : m_files) {
        if (file.writing) next = std::min(next, Until(now, file.due));
    }
    return static_cast<std::uint32_t>(std::max(next, 0));
}

}  // namespace filewatch_detail

}  // namespace brim
