// The points of the yield curve used as risk-free rates, and the choice of the point
// that fits an analysis window: the longest tenor strictly shorter than the window,
// so the rate rounds down to the next shorter curve point.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace meridan::risk {

struct Tenor {
    int days;                 // length in calendar days (a month 30, a year 365)
    std::string_view label;   // letter then number: "S0", "M3", "Y10"
    std::string_view column;  // the curve's column: number then letter, "3M"
};

/// The 21 tenors, shortest first, from "S0" (0 days) to "Y50" (18250 days).
std::span<const Tenor> yield_curve_tenors();

/// The tenor for a window of `window_days` calendar days (end minus start; may be
/// zero or negative): "S0" up to 30 days, then each tenor for windows longer than its
/// day count up to the next tenor's day count inclusive ("M9" for 365 days, "Y1" for
/// 366), "Y50" beyond 18250.
const Tenor& tenor_for_window(std::int64_t window_days);

}  // namespace meridan::risk
