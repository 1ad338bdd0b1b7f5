#include "meridan/brinson/linking.hpp"

#include <cmath>
#include <stdexcept>

#include "meridan/series/reductions.hpp"

namespace meridan::brinson {

using series::skipna_sum;

double weighted_sum(std::span<const double> weight, std::span<const double> ret) {
    if (weight.size() != ret.size())
        throw std::invalid_argument("weighted_sum: input sizes differ");
    double total = 0.0;
    for (std::size_t i = 0; i < weight.size(); ++i) {
        const double c = weight[i] * ret[i];
        if (!std::isnan(c)) total += c;
    }
    return total;
}

SectorResult link_periods(std::span<const SectorResult> periods,
                          std::span<const double> lengths) {
    if (periods.size() != lengths.size())
        throw std::invalid_argument("link_periods: one length per period expected");
    const std::size_t n = periods.empty() ? 0 : periods.front().weight.size();
    std::vector<double> weight(n, 0.0);
    std::vector<double> contribution(n, 0.0);
    double growth = 1.0;
    double total_length = 0.0;
    for (std::size_t p = 0; p < periods.size(); ++p) {
        const SectorResult& period = periods[p];
        if (period.weight.size() != n || period.ret.size() != n)
            throw std::invalid_argument("link_periods: periods differ in size");
        total_length += lengths[p];
        // Plain (not NaN-skipping) arithmetic: a missing value of a period makes its
        // row missing, and a missing period total makes every later row missing, as
        // the element-wise Series arithmetic does.
        double period_return = 0.0;
        for (std::size_t s = 0; s < n; ++s) {
            weight[s] += lengths[p] * period.weight[s];
            contribution[s] += growth * period.weight[s] * period.ret[s];
            period_return += period.weight[s] * period.ret[s];
        }
        growth *= 1.0 + period_return;
    }
    SectorResult out{std::move(weight), std::vector<double>(n, 0.0)};
    for (std::size_t s = 0; s < n; ++s) {
        out.weight[s] /= total_length;
        const double r = contribution[s] / out.weight[s];
        // Only 0/0 (and other missing values) become 0; x/0 stays infinite.
        out.ret[s] = std::isnan(r) ? 0.0 : r;
    }
    return out;
}

void divide_by_sum(std::span<double> weight) {
    const double total = skipna_sum(weight);
    for (double& w : weight) w /= total;
}

void normalise_weights(std::span<double> weight) {
    const double factor = 1.0 / skipna_sum(weight);
    for (double& w : weight) w *= factor;
}

double rescale_returns(std::span<const double> weight, std::span<double> ret,
                       double actual) {
    const double r1 = weighted_sum(weight, ret);
    if (r1 == 0.0) return 1.0;
    const double factor = actual / r1;
    for (double& r : ret) r *= factor;
    return factor;
}

SectorResult linked_total(std::span<const SectorResult> periods,
                          std::span<const double> lengths, double actual) {
    SectorResult linked = link_periods(periods, lengths);
    normalise_weights(linked.weight);
    rescale_returns(linked.weight, linked.ret, actual);
    return linked;
}

}  // namespace meridan::brinson
