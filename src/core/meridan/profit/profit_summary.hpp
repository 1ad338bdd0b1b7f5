// Profit-and-loss summary: the portfolio's and the benchmark's returns over the
// standard periods ending on the portfolio's last date, each series measured from
// its own base value, and the annualised total return over spans longer than a year.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace meridan::profit {

/// A value series on ascending calendar days.
struct DatedValues {
    std::span<const std::int64_t> days;
    std::span<const double> values;
};

/// Base days of "this_month" and "this_year" for each series: the latest trading
/// day before the month or the year began, as the market-data service answered it
/// for that series; empty when it knows none (the whole series is the period).
struct CalendarBases {
    std::optional<std::int64_t> month_portfolio;
    std::optional<std::int64_t> month_benchmark;
    std::optional<std::int64_t> year_portfolio;
    std::optional<std::int64_t> year_benchmark;
};

struct SummaryRow {
    const char* key;
    double portfolio;
    double benchmark;
};

/// A period none of whose days is in a series (its base lies after the last value).
class EmptyPeriod : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

/// Rows in result order: one_month, three_month, six_month, one_year, this_month,
/// this_year, total, and annualized_total when `span_days` exceeds 365 (365 days a
/// year, fractional exponent). Rolling bases are counted back from `end_day`, the
/// last date of the portfolio series as given. Both series must be non-empty and
/// ascending; throws EmptyPeriod naming the series, the period and its base day.
std::vector<SummaryRow> profit_summary(const DatedValues& portfolio,
                                       const DatedValues& benchmark,
                                       std::int64_t end_day,
                                       const CalendarBases& calendar_bases,
                                       std::int64_t span_days);

}  // namespace meridan::profit
