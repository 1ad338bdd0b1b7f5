#include "meridan/flows/units.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace meridan::flows {

namespace {

constexpr double nan_ = std::numeric_limits<double>::quiet_NaN();

// Units left this close to 0, relative to the units held before the withdrawal,
// are what is left of a withdrawal of everything after rounding.
constexpr double kEmptied = 1e-9;

const char* describe(UnitFault fault) {
    switch (fault) {
        case UnitFault::not_finite:
            return "a flow that is not finite";
        case UnitFault::over_redeemed:
            return "a withdrawal of more than is held";
        case UnitFault::worthless:
            return "a flow into a portfolio worth nothing";
    }
    return "a flow that cannot be booked";
}

// The loop of unit_values; with `opening`, the first day's flow is its value.
void run_units(std::span<const double> values, std::span<const double> flows,
               std::span<double> units, std::span<double> unit_value, bool opening) {
    const std::size_t n = values.size();
    if (flows.size() != n || units.size() != n || unit_value.size() != n)
        throw std::invalid_argument(
            "unit_values: values, flows and outputs differ in length");
    refuse_negative_values(values);
    double held = 0.0;        // units at the close of the day before
    double price = nan_;      // unit value at the close of the day before
    double last_price = 1.0;  // the last unit value there was, for a fresh start
    for (std::size_t d = 0; d < n; ++d) {
        const double flow = opening && d == 0 ? values[0] : flows[d];
        // The unit value a withdrawal out of the day's own proceeds is redeemed at.
        double exit_price = nan_;
        if (flow != 0.0) {
            if (!std::isfinite(flow))
                throw UnitError(UnitFault::not_finite, d, flow, held, price);
            // With no units held the flow trades at the last unit value there was,
            // so a portfolio emptied and refilled keeps one unit value series.
            const double at = held > 0.0 ? price : last_price;
            if (!(at > 0.0) || !std::isfinite(at))
                throw UnitError(UnitFault::worthless, d, flow, held, at);
            double after = held + flow / at;
            if (flow < 0.0 && held > 0.0 && values[d] == 0.0 &&
                std::fabs(after) > kEmptied * held) {
                // Everything there is at the close taken out, worth more or less than
                // the close before (the day's sales paid out after a rise or a fall):
                // redeemed at the day's close, the value before it per unit, so that
                // the day's return is kept and the account holds no units. Anything
                // short of everything stays at the close before, where more than it
                // was worth is refused.
                const double close = -flow / held;
                if (std::isfinite(close)) {
                    exit_price = close;
                    after = 0.0;
                }
            }
            if (std::fabs(after) <= kEmptied * held) {
                after = 0.0;
            } else if (after < 0.0) {
                throw UnitError(UnitFault::over_redeemed, d, flow, held, at);
            }
            held = after;
        }
        units[d] = held;
        if (held > 0.0) {
            price = values[d] / held;
            // Only a usable value can price a later fresh start; a worthless
            // portfolio is refused when money next moves.
            if (price > 0.0 && std::isfinite(price)) last_price = price;
            unit_value[d] = price;
        } else {
            // Emptied at the close: the day's unit value is the one it was redeemed
            // at, which a later deposit buys at.
            price = nan_;
            if (!std::isnan(exit_price)) last_price = exit_price;
            unit_value[d] = exit_price;
        }
    }
}

}  // namespace

UnitError::UnitError(UnitFault fault_, std::size_t day_, double flow_,
                     double units_before_, double unit_value_before_)
    : std::invalid_argument(std::string(describe(fault_)) + " on day " +
                            std::to_string(day_)),
      fault(fault_),
      day(day_),
      flow(flow_),
      units_before(units_before_),
      unit_value_before(unit_value_before_) {}

NegativeValueError::NegativeValueError(std::size_t day_, double value_)
    : std::invalid_argument("a value below 0 on day " + std::to_string(day_)),
      day(day_),
      value(value_) {}

void refuse_negative_values(std::span<const double> values) {
    for (std::size_t d = 0; d < values.size(); ++d)
        if (values[d] < 0.0) throw NegativeValueError(d, values[d]);
}

void unit_values(std::span<const double> values, std::span<const double> flows,
                 std::span<double> units, std::span<double> unit_value) {
    run_units(values, flows, units, unit_value, false);
}

void unit_values_from_opening(std::span<const double> values,
                              std::span<const double> flows, std::span<double> units,
                              std::span<double> unit_value) {
    run_units(values, flows, units, unit_value, true);
}

std::optional<std::size_t> flows_by_day(std::span<const std::int64_t> days,
                                        std::span<const std::int64_t> flow_days,
                                        std::span<const double> amounts,
                                        std::span<double> out) {
    if (flow_days.size() != amounts.size() || out.size() != days.size())
        throw std::invalid_argument("flows_by_day: spans differ in length");
    for (std::size_t i = 0; i < flow_days.size(); ++i) {
        const auto at = std::lower_bound(days.begin(), days.end(), flow_days[i]);
        if (at == days.end() || *at != flow_days[i]) return i;
    }
    for (std::size_t i = 0; i < flow_days.size(); ++i) {
        const auto at = std::lower_bound(days.begin(), days.end(), flow_days[i]);
        out[static_cast<std::size_t>(at - days.begin())] += amounts[i];
    }
    return std::nullopt;
}

UnitSeries unit_values(std::span<const double> values, std::span<const double> flows) {
    UnitSeries out{std::vector<double>(values.size()),
                   std::vector<double>(values.size())};
    unit_values(values, flows, out.units, out.unit_value);
    return out;
}

}  // namespace meridan::flows
