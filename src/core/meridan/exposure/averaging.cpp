#include "meridan/exposure/averaging.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace meridan::exposure {

GroupMeans average_last_rows(const TableView& rows, std::span<const std::int64_t> group,
                             std::size_t groups, std::size_t window) {
    if (group.size() != rows.rows)
        throw std::invalid_argument("average_last_rows: one group per row expected");
    GroupMeans out{FactorTable(groups, rows.cols), std::vector<std::size_t>(groups, 0)};
    FactorTable present(groups, rows.cols);
    std::vector<std::size_t> taken(groups, 0);
    // Walking backwards meets each group's latest rows first: the rows averaged, in
    // that order, are chosen once, then summed in that order. Rows of one group are
    // usually stored together: the walk goes by runs of one group.
    std::vector<std::size_t> chosen;
    chosen.reserve(std::min(rows.rows, groups * window));
    for (std::size_t end = rows.rows; end > 0;) {
        const std::int64_t code = group[end - 1];
        std::size_t begin = end - 1;
        while (begin > 0 && group[begin - 1] == code) --begin;
        if (code >= 0) {
            const auto g = static_cast<std::size_t>(code);
            if (g >= groups)
                throw std::out_of_range("average_last_rows: group out of range");
            out.count[g] += end - begin;
            const std::size_t take = std::min(window - taken[g], end - begin);
            taken[g] += take;
            for (std::size_t r = end; r > end - take; --r) chosen.push_back(r - 1);
        }
        end = begin;
    }
    // Each group's sums are carried along a run of its rows, every column at once,
    // and written back when the group changes: the additions into each sum are the
    // same, in the same order, as one addition per row into the table, without
    // waiting on each other.
    std::vector<double> sum(rows.cols), n(rows.cols);
    std::size_t g = groups;  // no group yet
    const auto store = [&] {
        if (g == groups) return;
        for (std::size_t c = 0; c < rows.cols; ++c) {
            out.means.at(g, c) = sum[c];
            present.at(g, c) = n[c];
        }
    };
    for (const std::size_t r : chosen) {
        const auto rg = static_cast<std::size_t>(group[r]);
        if (rg != g) {
            store();
            g = rg;
            for (std::size_t c = 0; c < rows.cols; ++c) {
                sum[c] = out.means.at(g, c);
                n[c] = present.at(g, c);
            }
        }
        // A missing value adds 0.0, which leaves any sum as it is: a sum that starts
        // at +0.0 is never -0.0.
        const double* cell =
            rows.data + static_cast<std::ptrdiff_t>(r) * rows.row_stride;
        for (std::size_t c = 0; c < rows.cols; ++c, cell += rows.col_stride) {
            const double v = *cell;
            const bool missing = std::isnan(v);
            sum[c] += missing ? 0.0 : v;
            n[c] += missing ? 0.0 : 1.0;
        }
    }
    store();
    for (std::size_t i = 0; i < out.means.values.size(); ++i) {
        out.means.values[i] = present.values[i] > 0.0
                                  ? out.means.values[i] / present.values[i]
                                  : std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

}  // namespace meridan::exposure
