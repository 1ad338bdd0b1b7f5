#include "meridan/periods/period_base.hpp"

#include <cstdio>

#include "meridan/dates/civil.hpp"
#include "meridan/series/label_slice.hpp"

namespace meridan::periods {

std::int64_t rolling_base_day(std::int64_t end_day, int months) {
    const dates::CivilDay base =
        dates::add_months(dates::civil_from_days(end_day), -months);
    return dates::days_from_civil(base.year, base.month, base.day);
}

std::optional<std::size_t> base_position(std::span<const std::int64_t> days,
                                         std::optional<std::int64_t> base_day) {
    if (days.empty()) return std::nullopt;
    if (!base_day) return 0;
    return series::first_on_or_after(days, *base_day);
}

double period_return(std::span<const double> values, std::size_t base) {
    return values.back() / values[base] - 1.0;
}

std::string iso_day(std::int64_t day) {
    const dates::CivilDay c = dates::civil_from_days(day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", c.year, c.month, c.day);
    return text;
}

}  // namespace meridan::periods
