#include "BrimBaseR/Page.h"

#include <algorithm>

void Page::Invalidate() noexcept {
    *this = Page();
}

Page& Page::operator|=(const Page& other) noexcept {
    if (!other.IsValid()) {
        return *this;
    }
    if (!IsValid()) {
        *this = other;
        return *this;
    }
    m_first = std::min(m_first, other.m_first);
    m_last = std::max(m_last, other.m_last);
    return *this;
}

bool Page::operator==(const Page& other) const noexcept {
    if (!IsValid() || !other.IsValid()) {
        return IsValid() == other.IsValid();
    }
    return m_first == other.m_first && m_last == other.m_last;
}
