// The money-weighted return (internal rate of return) of a portfolio's cash flows:
// the annual rate at which the flows in and the value taken out at the end balance.
// It answers how the investor's money fared, timing of deposits included, where the
// unit value answers how the portfolio itself fared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace meridan::flows {

/// The annual rate r in (-1, 10) with sum_i amounts[i] * (1+r)^(-days[i]/365) = 0.
/// `amounts` are seen from one side: the opening value and deposits positive,
/// withdrawals and the value at the end negative; `days[i]` counts calendar days
/// from the start (>= 0, any order). Every sign change of the sum over the range is
/// found; with exactly one, the rate is refined to full double precision. NaN when
/// no rate, or more than one, balances the flows, when every amount is 0 and when
/// there are fewer than two flows. std::invalid_argument for spans of different
/// lengths, an amount that is not finite or a day that is negative or not finite.
double money_weighted_rate(std::span<const double> amounts,
                           std::span<const double> days);

/// The figure shown for a window of `days` calendar days at the annual `rate`: the
/// rate itself for a year or more, otherwise the return over the window,
/// (1+rate)^(days/365) - 1, since annualising a short window magnifies it. NaN
/// stays NaN; std::invalid_argument for a negative number of days.
double window_return(double rate, double days);

/// The days the money was in, as indexes into a portfolio's `values` and net
/// external `flows` by day: from the first day money is in (the first day, or with
/// an opening value of 0 the day of the first flow that is not 0) to the last (the
/// last day, or the day the account was emptied when it stays empty, with no flow,
/// to the end). The window a money-weighted figure is given for. {0, 0} for no
/// values; std::invalid_argument for spans of different lengths.
struct InvestedRange {
    std::size_t first = 0, last = 0;
};
InvestedRange invested_range(std::span<const double> values,
                             std::span<const double> flows);

/// The window figure of the money-weighted rate of a portfolio valued `values[d]` on
/// calendar days `days[d]` (ascending) with net external flows `flows[d]` (positive
/// in): the opening value values[0] goes in on the first day (that day's flows are
/// already in it), each later day's flow at its day, and the last value comes out on
/// the last day. Time counts over the days the money was in (invested_range), so
/// that the window (a year or more, or less) is the time the money was invested. A
/// window shorter than a year whose amounts change sign once has its return sought
/// directly, in (-1, 10), where the annual rate lies beyond the search's 10 (a day's 1
/// %, a week's 5 %). NaN for no values or no single rate; NegativeValueError
/// (units.hpp) for a value below 0; std::invalid_argument for spans of different
/// lengths, days out of order and a first or last value that is not finite.
double money_weighted_return(std::span<const std::int64_t> days,
                             std::span<const double> values,
                             std::span<const double> flows);

}  // namespace meridan::flows
