#include "meridan/series/daily.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace meridan::series {

std::optional<std::size_t> first_out_of_order(std::span<const std::int64_t> days) {
    for (std::size_t i = 1; i < days.size(); ++i) {
        if (days[i] < days[i - 1]) return i;
    }
    return std::nullopt;
}

std::vector<double> reindex_pad(std::span<const std::int64_t> source_days,
                                std::span<const double> values,
                                std::span<const std::int64_t> target_days) {
    std::vector<double> out(target_days.size(),
                            std::numeric_limits<double>::quiet_NaN());
    // One merge pass when the targets ascend (a calendar); a search where they do not.
    std::size_t known = 0;  // source days on or before the current target
    for (std::size_t i = 0; i < target_days.size(); ++i) {
        const std::int64_t day = target_days[i];
        if (i > 0 && day < target_days[i - 1]) {
            known = static_cast<std::size_t>(
                std::upper_bound(source_days.begin(), source_days.end(), day) -
                source_days.begin());
        }
        while (known < source_days.size() && source_days[known] <= day) ++known;
        if (known > 0) out[i] = values[known - 1];
    }
    return out;
}

std::vector<double> pct_change_pad(std::span<const double> values) {
    std::vector<double> out(values.size(), std::numeric_limits<double>::quiet_NaN());
    double previous = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double current = std::isnan(values[i]) ? previous : values[i];
        if (i > 0) out[i] = current / previous - 1.0;
        previous = current;
    }
    return out;
}

std::size_t first_on_or_after(std::span<const std::int64_t> days, std::int64_t day) {
    return static_cast<std::size_t>(std::lower_bound(days.begin(), days.end(), day) -
                                    days.begin());
}

}  // namespace meridan::series
