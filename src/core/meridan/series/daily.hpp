// Daily series as parallel arrays of day numbers and float values, with the pandas
// operations the analyses apply to them, reproduced exactly so that results do not
// depend on the installed pandas: carrying values onto another calendar
// (`reindex(method="ffill")`), the pad-filled day-over-day change
// (`pct_change(fill_method="pad")`) and the start of a label slice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace meridan::series {

/// Position of the first entry of `days` that is smaller than the entry before it,
/// if any: series must be in ascending date order for the operations below.
std::optional<std::size_t> first_out_of_order(std::span<const std::int64_t> days);

/// `values` (dated by ascending `source_days`) carried onto `target_days`: each
/// target day takes the value of the last source day on or before it (the last of
/// several equal days), NaN before the first source day. A NaN value is carried as
/// it is: only missing days are filled, not missing values.
std::vector<double> reindex_pad(std::span<const std::int64_t> source_days,
                                std::span<const double> values,
                                std::span<const std::int64_t> target_days);

/// Day-over-day relative change after forward-filling missing values: out[0] is NaN,
/// out[i] = f[i] / f[i−1] − 1 where f is `values` with each NaN replaced by the last
/// earlier non-NaN value (leading NaNs stay NaN). A missing day thus changes by 0 and
/// the next day is measured against the last known value.
std::vector<double> pct_change_pad(std::span<const double> values);

/// Position of the first of the ascending `days` on or after `day`: where a label
/// slice from `day` starts (`days.size()` when none is).
std::size_t first_on_or_after(std::span<const std::int64_t> days, std::int64_t day);

}  // namespace meridan::series
