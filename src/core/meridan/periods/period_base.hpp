// The base of a standard period (one_month ... total): the value a period's return
// is measured from. Rolling periods start on the same calendar day one, three, six
// or twelve months before the last date (a month back from 31 March is 28 or 29
// February); the base value is the first one on or after that day.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace meridan::periods {

struct RollingPeriod {
    const char* key;
    int months;  // calendar months back from the last date
};

/// The rolling periods in the order results list them.
inline constexpr std::array<RollingPeriod, 4> kRollingPeriods{{
    {"one_month", 1},
    {"three_month", 3},
    {"six_month", 6},
    {"one_year", 12},
}};

/// The day `months` calendar months before `end_day`, clamped to the month's end.
std::int64_t rolling_base_day(std::int64_t end_day, int months);

/// Position of a period's base value in a series with ascending `days`: the first
/// label on or after `base_day`, or the first label when there is no base day (the
/// whole series). Empty when no label lies on or after the base day.
std::optional<std::size_t> base_position(std::span<const std::int64_t> days,
                                         std::optional<std::int64_t> base_day);

/// Return of a series over a period: its last value divided by the base value, minus 1.
double period_return(std::span<const double> values, std::size_t base);

/// "YYYY-MM-DD" of a day number, zero-padded.
std::string iso_day(std::int64_t day);

}  // namespace meridan::periods
