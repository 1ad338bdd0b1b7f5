#include "meridan/periods/style_windows.hpp"

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

}  // namespace meridan::periods
