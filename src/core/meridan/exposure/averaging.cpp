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
    // Walking backwards meets each group's latest rows first: the rows averaged are
    // chosen once, as runs of neighbouring rows of one group (rows of an instrument
    // are usually stored together), then summed in that order, newest first.
    struct Run {
        std::size_t group, last, length;  // rows last, last - 1, ... of `group`
    };
    std::vector<Run> runs;
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
            if (take > 0) runs.push_back({g, end - 1, take});
        }
        end = begin;
    }
    // Each sum is carried along a run and written back after it: the additions into
    // each sum are the same, in the same order, as one addition per row into the
    // table. A missing value adds 0.0, which leaves any sum as it is (a sum that
    // starts at +0.0 is never -0.0).
    for (const Run& run : runs) {
        for (std::size_t c = 0; c < rows.cols; ++c) {
            const double* cell =
                rows.data + static_cast<std::ptrdiff_t>(run.last) * rows.row_stride +
                static_cast<std::ptrdiff_t>(c) * rows.col_stride;
            double sum = out.means.at(run.group, c), n = present.at(run.group, c);
            for (std::size_t k = 0; k < run.length; ++k, cell -= rows.row_stride) {
                const double v = *cell;
                const bool missing = std::isnan(v);
                sum += missing ? 0.0 : v;
                n += missing ? 0.0 : 1.0;
            }
            out.means.at(run.group, c) = sum;
            present.at(run.group, c) = n;
        }
    }
    for (std::size_t i = 0; i < out.means.values.size(); ++i) {
        out.means.values[i] = present.values[i] > 0.0
                                  ? out.means.values[i] / present.values[i]
                                  : std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

}  // namespace meridan::exposure
