// The standard analysis periods that all end on the last date of a series: the last
// one, three and six months and year, the current month and year, and the whole
// series. Month and year steps follow calendar-month arithmetic with the day clamped
// to the end of a shorter month (31 March minus one month is 28 or 29 February), as
// `dateutil.relativedelta` does. Days are day numbers (meridan::dates).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace meridan::periods {

enum class Period {
    one_month,
    three_month,
    six_month,
    one_year,
    this_month,
    this_year,
    total,
};

/// The periods in the order results list them.
inline constexpr std::array<Period, 7> kStandardPeriods = {
    Period::one_month,  Period::three_month, Period::six_month, Period::one_year,
    Period::this_month, Period::this_year,   Period::total,
};

/// The result key of a period: "one_month" ... "total".
std::string_view key(Period period);

/// The period of a result key, if it is one.
std::optional<Period> from_key(std::string_view key);

/// First day of `period` for a series whose first day is `first_day` and last day
/// `last_day`: last_day minus 1, 3, 6 or 12 calendar months; the first of its month;
/// the first of January of its year; or first_day for "total".
std::int64_t period_start(Period period, std::int64_t last_day, std::int64_t first_day);

}  // namespace meridan::periods
