#include "meridan/periods/standard.hpp"

#include "meridan/dates/civil.hpp"
#include "meridan/periods/period_base.hpp"

namespace meridan::periods {

namespace {

constexpr std::array<std::string_view, 7> kKeys = {
    "one_month",  "three_month", "six_month", "one_year",
    "this_month", "this_year",   "total",
};

}  // namespace

std::string_view key(Period period) { return kKeys[static_cast<std::size_t>(period)]; }

std::optional<Period> from_key(std::string_view k) {
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (kKeys[i] == k) return static_cast<Period>(i);
    }
    return std::nullopt;
}

std::int64_t period_start(Period period, std::int64_t last_day,
                          std::int64_t first_day) {
    const dates::CivilDay last = dates::civil_from_days(last_day);
    switch (period) {
        case Period::one_month:
            return rolling_base_day(last_day, 1);
        case Period::three_month:
            return rolling_base_day(last_day, 3);
        case Period::six_month:
            return rolling_base_day(last_day, 6);
        case Period::one_year:  // a year back from 29 February lands on the 28th
            return rolling_base_day(last_day, 12);
        case Period::this_month:
            return dates::days_from_civil(last.year, last.month, 1);
        case Period::this_year:
            return dates::days_from_civil(last.year, 1, 1);
        case Period::total:
            return first_day;
    }
    return first_day;
}

}  // namespace meridan::periods
