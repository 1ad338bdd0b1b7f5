#include "meridan/exposure/averaging.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace meridan::exposure {

namespace {

struct Run {
    std::size_t group, last, length;  // rows last, last - 1, ... of `group`
};

// Adds the cells of columns [c0, c0 + W) over the rows of `run`, newest first, into
// those columns' sums and counts. The W sums are held apart from memory while the run
// is walked, so that each row's additions run side by side.
template <std::size_t W>
void add_run(const TableView& rows, const Run& run, std::size_t c0, double* total,
             double* seen) {
    std::array<double, W> sum{}, n{};
    for (std::size_t j = 0; j < W; ++j) {
        sum[j] = total[c0 + j];
        n[j] = seen[c0 + j];
    }
    const double* row = rows.data +
                        static_cast<std::ptrdiff_t>(run.last) * rows.row_stride +
                        static_cast<std::ptrdiff_t>(c0) * rows.col_stride;
    for (std::size_t k = 0; k < run.length; ++k, row -= rows.row_stride) {
        for (std::size_t j = 0; j < W; ++j) {
            const double v = row[static_cast<std::ptrdiff_t>(j) * rows.col_stride];
            const bool missing = std::isnan(v);
            sum[j] += missing ? 0.0 : v;
            n[j] += missing ? 0.0 : 1.0;
        }
    }
    for (std::size_t j = 0; j < W; ++j) {
        total[c0 + j] = sum[j];
        seen[c0 + j] = n[j];
    }
}

}  // namespace

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
    // starts at +0.0 is never -0.0). A few columns' sums advance together, row by
    // row, so that no addition waits long for the one before it in the same sum.
    for (const Run& run : runs) {
        double* const total = out.means.values.data() + run.group * rows.cols;
        double* const seen = present.values.data() + run.group * rows.cols;
        std::size_t c = 0;
        for (; c + 8 <= rows.cols; c += 8) add_run<8>(rows, run, c, total, seen);
        if (c + 4 <= rows.cols) {
            add_run<4>(rows, run, c, total, seen);
            c += 4;
        }
        if (c + 2 <= rows.cols) {
            add_run<2>(rows, run, c, total, seen);
            c += 2;
        }
        if (c < rows.cols) add_run<1>(rows, run, c, total, seen);
    }
    for (std::size_t i = 0; i < out.means.values.size(); ++i) {
        out.means.values[i] = present.values[i] > 0.0
                                  ? out.means.values[i] / present.values[i]
                                  : std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

}  // namespace meridan::exposure
