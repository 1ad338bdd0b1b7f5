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
    // that order, are chosen once, then read in the order of the storage (row by row
    // or column by column); either way each sum runs over the rows in the same order.
    std::vector<std::size_t> chosen;
    chosen.reserve(std::min(rows.rows, groups * window));
    for (std::size_t r = rows.rows; r-- > 0;) {
        if (group[r] < 0) continue;
        const auto g = static_cast<std::size_t>(group[r]);
        if (g >= groups)
            throw std::out_of_range("average_last_rows: group out of range");
        ++out.count[g];
        if (taken[g] == window) continue;
        ++taken[g];
        chosen.push_back(r);
    }
    const auto add = [&](std::size_t r, std::size_t c) {
        const double v = rows.at(r, c);
        if (std::isnan(v)) return;
        const auto g = static_cast<std::size_t>(group[r]);
        out.means.at(g, c) += v;
        present.at(g, c) += 1.0;
    };
    if (rows.col_stride == 1) {
        for (const std::size_t r : chosen)
            for (std::size_t c = 0; c < rows.cols; ++c) add(r, c);
    } else {
        for (std::size_t c = 0; c < rows.cols; ++c)
            for (const std::size_t r : chosen) add(r, c);
    }
    for (std::size_t i = 0; i < out.means.values.size(); ++i) {
        out.means.values[i] = present.values[i] > 0.0
                                  ? out.means.values[i] / present.values[i]
                                  : std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

}  // namespace meridan::exposure
