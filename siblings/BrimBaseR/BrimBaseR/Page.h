#pragma once

// Page: the span of pages of a paged data file that an update touches.
//
// A valid page span runs from its first to its last page, both included,
// page numbers counting from 0. The default span is invalid: it stands for
// "no particular pages". Merging with |= forms the smallest span that covers
// both; an invalid side adds nothing to it.
//
//   Page touched(4, 7);
//   touched |= Page(10, 12);               // now pages 4 to 12
//   touched |= Page();                     // unchanged: invalid adds nothing
//   touched.Invalidate();                  // touched.IsValid() is false
//
// Page is plain data: it is trivially copyable and trivially destructible, so
// records that hold one may copy it as bytes and never destroy it.
//
// Threading: a value type; distinct objects may be used from different
// threads, one object is not guarded.

#include "BaseRExport.h"

#include <cstdint>
#include <type_traits>

class BRIMBASER_API Page {
public:
    // The invalid span.
    Page() = default;

    // The span from page `first` to page `last`. It is valid only when
    // 0 <= first <= last; other arguments give an invalid span.
    Page(std::int32_t first, std::int32_t last) noexcept : m_first(first), m_last(last) {}

    [[nodiscard]] bool IsValid() const noexcept { return m_first >= 0 && m_first <= m_last; }

    // Makes the span invalid.
    void Invalidate() noexcept;

    // First and last page of a valid span; meaningless for an invalid one.
    [[nodiscard]] std::int32_t GetFirst() const noexcept { return m_first; }
    [[nodiscard]] std::int32_t GetLast() const noexcept { return m_last; }

    // Widens this span to cover `other` as well. An invalid `other` leaves this
    // span unchanged; an invalid this span becomes a copy of `other`.
    Page& operator|=(const Page& other) noexcept;

    // Two valid spans are equal when they cover the same pages; all invalid
    // spans are equal to one another.
    bool operator==(const Page& other) const noexcept;

private:
    std::int32_t m_first = 0;
    std::int32_t m_last = -1;
};

static_assert(std::is_trivially_copyable_v<Page>, "Page is copied as plain data");
static_assert(std::is_trivially_destructible_v<Page>, "Page is never explicitly destroyed");
