// Calendar days as plain integers: the number of days since 1970-01-01 in the
// proleptic Gregorian calendar. Dates from the market-data client arrive as
// nanosecond timestamps, date objects or text; reducing all of them to a day number
// lets the rest of the code compare "the same calendar day" exactly and cheaply.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace meridan::dates {

struct CivilDay {
    int year;
    int month;  // 1..12
    int day;    // 1..31

    friend bool operator==(const CivilDay&, const CivilDay&) = default;
};

/// True when year-month-day names a real day (leap years included).
bool is_valid(int year, int month, int day);

/// Days in the month, 28..31.
int days_in_month(int year, int month);

/// Day number of a valid civil day.
std::int64_t days_from_civil(int year, int month, int day);

/// Civil day of a day number.
CivilDay civil_from_days(std::int64_t days);

/// Day number of a timestamp counted in `ticks_per_day` units since the epoch,
/// rounding towards earlier days (a time before midnight belongs to the day before).
std::int64_t day_of_ticks(std::int64_t ticks, std::int64_t ticks_per_day);

/// Calendar-month arithmetic: moves `months` months (negative: back) and clamps the
/// day to the length of the target month, so 31 March minus one month is 28 or 29
/// February.
CivilDay add_months(CivilDay day, int months);

/// Position of the first entry of `days` equal to `day`, if any.
std::optional<std::size_t> find_day(std::span<const std::int64_t> days,
                                    std::int64_t day);

}  // namespace meridan::dates
