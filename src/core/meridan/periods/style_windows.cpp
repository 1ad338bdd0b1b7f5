#include "meridan/periods/style_windows.hpp"

#include "meridan/dates/civil.hpp"

namespace meridan::periods {

StyleStep style_step(std::int64_t span_days) {
    // 547.5 is half of three years: compared on whole days, more than 547.5 is 548
    // or more.
    if (span_days > 1095) return {12, true};
    if (span_days > 365) return {6, span_days >= 548};
    return {3, span_days > 270};
}

std::array<int, 3> style_end_multiples(const StyleStep& step) {
    if (step.backward) return {-2, -1, 0};
    return {1, 2, 3};
}

std::vector<std::int64_t> style_window_ends(std::span<const std::int64_t> candidates,
                                            std::int64_t end_day) {
    std::vector<std::int64_t> ends;
    for (std::int64_t e : candidates) {
        ends.push_back(e > end_day ? end_day : e);
        if (e >= end_day) break;
    }
    return ends;
}

std::vector<std::int64_t> style_window_ends(std::int64_t start_day, std::int64_t end_day,
                                            std::int64_t span_days) {
    const StyleStep step = style_step(span_days);
    const dates::CivilDay anchor = dates::civil_from_days(step.backward ? end_day : start_day);
    std::vector<std::int64_t> candidates;
    for (int k : style_end_multiples(step)) {
        const dates::CivilDay e = dates::add_months(anchor, k * step.months);
        candidates.push_back(dates::days_from_civil(e.year, e.month, e.day));
    }
    return style_window_ends(candidates, end_day);
}

}  // namespace meridan::periods
