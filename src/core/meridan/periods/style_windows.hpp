// The windows of the style regression: up to three expanding windows that all start
// on the series' first date. Their step and the side their ends are counted from
// follow the span: whole years past three years, half years past one year, quarters
// otherwise; ends are counted back from the last date when the span is long enough
// for three steps to fit comfortably (more than 547.5 days for half years, more than
// 270 days for quarters, always for years), and forward from the first date otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace meridan::periods {

struct StyleStep {
    int months;     // 3, 6 or 12
    bool backward;  // ends counted back from the last date
};

/// Step and direction for a span of `span_days` whole days.
StyleStep style_step(std::int64_t span_days);

/// Candidate window ends as signed multiples of the step, in order: -2, -1, 0 from
/// the last date when backward, +1, +2, +3 from the first date when forward. The
/// k-th end moves k steps at once from its anchor (31 August plus 12 months is
/// 31 August, where two 6-month steps would give 29 August).
std::array<int, 3> style_end_multiples(const StyleStep& step);

/// The window ends actually used, from the candidate end days in order: an end past
/// `end_day` is cut to it, and the first end that reaches `end_day` is the last
/// window. One to three days.
std::vector<std::int64_t> style_window_ends(std::span<const std::int64_t> candidates,
                                            std::int64_t end_day);

}  // namespace meridan::periods
