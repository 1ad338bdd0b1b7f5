// Day-number conversions after the well-known era-based algorithm: exact for every
// day of the proleptic Gregorian calendar representable in the integer types used.
#include "meridan/dates/civil.hpp"

#include <algorithm>

namespace meridan::dates {

namespace {

bool is_leap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

int days_in_month(int year, int month) {
    static constexpr int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && is_leap(year)) return 29;
    return lengths[month - 1];
}

bool is_valid(int year, int month, int day) {
    return month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month);
}

std::int64_t days_from_civil(int year, int month, int day) {
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (month + 9) % 12;  // March is 0
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

CivilDay civil_from_days(std::int64_t days) {
    const std::int64_t z = days + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    return {static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)};
}

std::int64_t day_of_ticks(std::int64_t ticks, std::int64_t ticks_per_day) {
    return floor_div(ticks, ticks_per_day);
}

CivilDay add_months(CivilDay day, int months) {
    const std::int64_t index =
        static_cast<std::int64_t>(day.year) * 12 + (day.month - 1) + months;
    const int year = static_cast<int>(floor_div(index, 12));
    const int month =
        static_cast<int>(index - static_cast<std::int64_t>(year) * 12) + 1;
    return {year, month, std::min(day.day, days_in_month(year, month))};
}

std::optional<std::size_t> find_day(std::span<const std::int64_t> days,
                                    std::int64_t day) {
    const auto it = std::find(days.begin(), days.end(), day);
    if (it == days.end()) return std::nullopt;
    return static_cast<std::size_t>(it - days.begin());
}

}  // namespace meridan::dates
