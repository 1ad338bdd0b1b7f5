// Units of a time-weighted unit value: external money (deposits, withdrawals, the
// opening value) buys and redeems units at the unit value of the close before its
// day, so a flow changes the number of units and never the value of one unit. The
// unit value then measures the portfolio's return alone, whatever money came and
// went.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace meridan::flows {

/// Why a flow could not be turned into units.
enum class UnitFault {
    not_finite,     // the flow is NaN or infinite
    over_redeemed,  // a withdrawal redeems more units than are held
    worthless,      // the unit value it would trade at is not finite and above 0
};

/// A flow that cannot be booked in units: the day's position, the flow, and the
/// units and unit value of the close before it.
class UnitError : public std::invalid_argument {
public:
    UnitError(UnitFault fault, std::size_t day, double flow, double units_before,
              double unit_value_before);

    UnitFault fault;
    std::size_t day;
    double flow;
    double units_before;
    double unit_value_before;  // the unit value the flow trades at
};

/// A value below 0: an account holds nothing at worst (0, everything withdrawn), so
/// such a value is a fault of the series, not a loss. The day's position and the
/// value.
class NegativeValueError : public std::invalid_argument {
public:
    NegativeValueError(std::size_t day, double value);

    std::size_t day;
    double value;
};

/// Throws NegativeValueError for the first of `values` below 0. NaN passes.
void refuse_negative_values(std::span<const double> values);

/// Writes, for each day d of `values` (the portfolio's value at the close, after
/// that day's flows) and `flows` (the net external flow of day d, positive in; the
/// opening value counts as a flow on the first day), the units outstanding at the
/// close and the unit value values[d] / units[d].
///
/// Before the first non-zero flow there are no units and the unit value is NaN. The
/// first flow buys units at 1.0. A flow F on day d buys F / u units (redeems, when
/// negative), where u is the unit value at the close of day d-1, or, when no units
/// were held then, the last unit value there was (1.0 if none). Units that fall to
/// within 1e-9 of the units held before the flow are 0 exactly (everything was
/// withdrawn): the unit value is NaN until the next deposit. A withdrawal of all
/// there is at the close (values[d] == 0) worth more or less than the close before
/// (the day's sales paid out after a rise or a fall) is redeemed at the day's close
/// instead, the value before it per unit, which is then the day's unit value and
/// the price a later deposit buys at; no units are left. Throws
/// NegativeValueError for a value below 0 (before looking at any flow); UnitError
/// for a flow that redeems more units than are held, one that would trade at a unit
/// value that is not finite and above 0, and a flow that is not finite; and
/// std::invalid_argument when the four spans differ in length. O(n), no allocation.
void unit_values(std::span<const double> values, std::span<const double> flows,
                 std::span<double> units, std::span<double> unit_value);

/// As `unit_values`, for a portfolio whose first value is its opening value: the
/// flow of the first day is values[0] (the day's own flows are already in it),
/// whatever flows[0] holds.
void unit_values_from_opening(std::span<const double> values,
                              std::span<const double> flows, std::span<double> units,
                              std::span<double> unit_value);

/// Adds each flow (`amounts[i]` on calendar day `flow_days[i]`) into `out[d]`, where
/// `days[d]` is its day; `days` ascending and distinct, `out` one entry per day.
/// Several flows on one day add up. Returns the position of the first flow whose day
/// is not one of `days`, and then adds nothing; std::invalid_argument for spans of
/// different lengths.
std::optional<std::size_t> flows_by_day(std::span<const std::int64_t> days,
                                        std::span<const std::int64_t> flow_days,
                                        std::span<const double> amounts,
                                        std::span<double> out);

/// Units and unit values of `unit_values`, in new vectors.
struct UnitSeries {
    std::vector<double> units;
    std::vector<double> unit_value;
};
UnitSeries unit_values(std::span<const double> values, std::span<const double> flows);

}  // namespace meridan::flows
