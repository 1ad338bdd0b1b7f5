#include "meridan/tearsheet/drawdowns.hpp"

#include <algorithm>

namespace meridan::tearsheet {

std::vector<double> underwater(std::span<const double> values) {
    std::vector<double> out(values.size());
    double peak = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        peak = i == 0 ? values[i] : std::max(peak, values[i]);
        out[i] = values[i] / peak - 1.0;
    }
    return out;
}

std::vector<Drawdown> worst_drawdowns(std::span<const double> values, std::size_t top) {
    std::vector<Drawdown> episodes;
    const std::size_t n = values.size();
    std::size_t i = 1;
    std::size_t peak = 0;  // position of the latest day at the running maximum
    while (i < n) {
        if (values[i] >= values[peak]) {
            peak = i++;
            continue;
        }
        // Below the peak from day i until the value is back at or above it.
        Drawdown d{peak, i, std::nullopt, 0, 0.0};
        std::size_t j = i;
        for (; j < n && values[j] < values[peak]; ++j) {
            if (values[j] < values[d.trough]) d.trough = j;
        }
        if (j < n) d.recovery = j;
        d.length = (j < n ? j : n - 1) - peak;
        d.depth = values[d.trough] / values[peak] - 1.0;
        episodes.push_back(d);
        i = j;  // the recovery day (if any) is examined as a possible new peak
    }
    std::stable_sort(
        episodes.begin(), episodes.end(),
        [](const Drawdown& a, const Drawdown& b) { return a.depth < b.depth; });
    if (episodes.size() > top) episodes.resize(top);
    return episodes;
}

}  // namespace meridan::tearsheet
