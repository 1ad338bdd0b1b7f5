// The rules a portfolio snapshot must satisfy before the attribution or the exposure
// analyses weigh it. A snapshot's money fields and its positions' values and
// quantities feed every weight; a value that is not a finite number, or a negative
// holding, would spread NaN or a nonsense weight through the whole result instead of
// failing where the data is wrong. An index cannot be held as shares, so a holding
// whose instrument is an index is a mistake of the caller too.
#pragma once

#include <cmath>
#include <string_view>

namespace meridan::inputs {

/// What is wrong with one number of a snapshot, if anything.
enum class Fault { none, not_finite, negative, not_positive };

// The three rules are read for every position of every snapshot of a range, so
// they are defined here, where each caller can inline them.

/// A snapshot's `market_value` or `cash`: any finite number (cash may be negative,
/// a book may be overdrawn).
inline Fault money_fault(double value) {
    return std::isfinite(value) ? Fault::none : Fault::not_finite;
}

/// A position's `market_value` or `quantity`: finite and not negative.
inline Fault holding_fault(double value) {
    if (!std::isfinite(value)) return Fault::not_finite;
    return value < 0.0 ? Fault::negative : Fault::none;
}

/// The `market_value` of the snapshot a range ends on: finite and above 0, as it
/// divides the growth over the range.
inline Fault closing_value_fault(double value) {
    if (!std::isfinite(value)) return Fault::not_finite;
    return value > 0.0 ? Fault::none : Fault::not_positive;
}

/// The words that finish "<field> <value> …" for a fault: "is not a finite
/// number", "is negative", "is not above 0"; empty for `Fault::none`.
std::string_view describe(Fault fault);

/// The instrument type the market data gives an index.
inline constexpr std::string_view kIndexType = "INDX";

/// Whether an instrument of this type is an index, which no book holds as shares.
bool is_index_type(std::string_view type);

}  // namespace meridan::inputs
