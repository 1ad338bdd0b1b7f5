#include "meridan/brinson/effects.hpp"

#include <cmath>
#include <stdexcept>

#include "meridan/brinson/linking.hpp"
#include "meridan/series/reductions.hpp"

namespace meridan::brinson {

using series::skipna_sum;

Effects attribution_effects(std::span<const double> wp, std::span<const double> wb,
                            std::span<const double> rp, std::span<const double> rb,
                            Method method) {
    const std::size_t n = wp.size();
    if (wb.size() != n || rp.size() != n || rb.size() != n)
        throw std::invalid_argument("attribution_effects: input sizes differ");
    Effects e{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n),
              std::vector<double>(n)};
    const double benchmark_total = weighted_sum(wb, rb);
    for (std::size_t s = 0; s < n; ++s) {
        const double q1 = wb[s] * rb[s];
        const double q3 = wb[s] * rp[s];
        const double q4 = wp[s] * rp[s];
        if (method == Method::BHB) {
            const double q2 = wp[s] * rb[s];
            e.allocation[s] = q2 - q1;
            e.selection[s] = q3 - q1;
            e.interaction[s] = q4 - q3 - q2 + q1;
            e.total[s] = q4 - q1;
        } else {
            const double active_weight = wp[s] - wb[s];
            e.allocation[s] = active_weight * (rb[s] - benchmark_total);
            e.selection[s] = wb[s] * (rp[s] - rb[s]);
            e.interaction[s] = active_weight * (rp[s] - rb[s]);
            e.total[s] = e.allocation[s] + e.selection[s] + e.interaction[s];
        }
    }
    return e;
}

std::vector<double> attribution_table(std::span<const double> wp,
                                      std::span<const double> wb,
                                      std::span<const double> rp,
                                      std::span<const double> rb, Method method) {
    const Effects e = attribution_effects(wp, wb, rp, rb, method);
    const std::size_t n = wp.size();
    std::vector<double> table((n + 1) * kTableColumns);
    for (std::size_t s = 0; s < n; ++s) {
        double* row = table.data() + s * kTableColumns;
        row[0] = wp[s];
        row[1] = wb[s];
        row[2] = wp[s] - wb[s];
        row[3] = rp[s];
        row[4] = rb[s];
        row[5] = rp[s] - rb[s];
        row[6] = e.allocation[s];
        row[7] = e.selection[s];
        row[8] = e.interaction[s];
        row[9] = e.total[s];
    }
    double* total = table.data() + n * kTableColumns;
    const double portfolio_return = weighted_sum(wp, rp);
    const double benchmark_return = weighted_sum(wb, rb);
    total[0] = skipna_sum(wp);
    total[1] = skipna_sum(wb);
    total[2] = 0.0;
    total[3] = portfolio_return;
    total[4] = benchmark_return;
    total[5] = portfolio_return - benchmark_return;
    total[6] = skipna_sum(e.allocation);
    total[7] = skipna_sum(e.selection);
    total[8] = skipna_sum(e.interaction);
    total[9] = skipna_sum(e.total);
    return table;
}

}  // namespace meridan::brinson
