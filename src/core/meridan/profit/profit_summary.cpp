#include "meridan/profit/profit_summary.hpp"

#include <cmath>
#include <string>

#include "meridan/periods/period_base.hpp"

namespace meridan::profit {

namespace {

double series_return(const DatedValues& s, const char* which, const char* key,
                     std::optional<std::int64_t> base_day) {
    if (s.values.empty() || s.days.size() != s.values.size())
        throw EmptyPeriod(std::string(which) + " series is empty");
    const auto base = periods::base_position(s.days, base_day);
    if (!base) {
        throw EmptyPeriod(std::string(which) + " series has no value on or after " +
                          periods::iso_day(*base_day) + ", the base of \"" + key +
                          "\"");
    }
    return periods::period_return(s.values, *base);
}

}  // namespace

std::vector<SummaryRow> profit_summary(const DatedValues& portfolio,
                                       const DatedValues& benchmark,
                                       std::int64_t end_day,
                                       const CalendarBases& calendar_bases,
                                       std::int64_t span_days) {
    std::vector<SummaryRow> rows;
    rows.reserve(8);
    auto add = [&](const char* key, std::optional<std::int64_t> p_base,
                   std::optional<std::int64_t> b_base) {
        rows.push_back({key, series_return(portfolio, "portfolio", key, p_base),
                        series_return(benchmark, "benchmark", key, b_base)});
    };
    for (const auto& period : periods::kRollingPeriods) {
        const std::int64_t base = periods::rolling_base_day(end_day, period.months);
        add(period.key, base, base);
    }
    add("this_month", calendar_bases.month_portfolio, calendar_bases.month_benchmark);
    add("this_year", calendar_bases.year_portfolio, calendar_bases.year_benchmark);
    add("total", std::nullopt, std::nullopt);
    if (span_days > 365) {
        const double exponent = 365.0 / static_cast<double>(span_days);
        auto annualized = [exponent](const DatedValues& s) {
            return std::pow(s.values.back() / s.values.front(), exponent) - 1.0;
        };
        rows.push_back(
            {"annualized_total", annualized(portfolio), annualized(benchmark)});
    }
    return rows;
}

}  // namespace meridan::profit
