// Putting a date-indexed series onto another series' dates, as pandas' `reindex`
// does, with labels matched by calendar day.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace meridan::series {

/// `s.reindex(target, method="ffill")`: each target day takes the value of the
/// latest source day on or before it (the last of repeated days), NaN before the
/// first source day. A NaN stored in the source is carried as is: only missing
/// labels are filled. `source_days` must be ascending (std::invalid_argument
/// otherwise, as pandas refuses to pad over an unordered index).
std::vector<double> reindex_ffill(std::span<const std::int64_t> source_days,
                                  std::span<const double> values,
                                  std::span<const std::int64_t> target_days);

/// `s.reindex(target, fill_value=fill)`: each target day takes the value stored
/// under the same day, `fill` where the source has no such day. Source days may come
/// in any order but must be unique (std::invalid_argument otherwise, as pandas
/// cannot reindex from repeated labels).
std::vector<double> reindex_fill(std::span<const std::int64_t> source_days,
                                 std::span<const double> values,
                                 std::span<const std::int64_t> target_days,
                                 double fill);

}  // namespace meridan::series
