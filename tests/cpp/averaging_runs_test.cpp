// The means of each group's latest rows equal, to the last bit, a plain reference that
// adds one row at a time newest first, whatever the storage order and however the
// groups' rows are spread, with missing values and ignored rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "meridan/exposure/averaging.hpp"

namespace mx = meridan::exposure;

namespace {

std::vector<double> reference(const mx::TableView& t,
                              const std::vector<std::int64_t>& group,
                              std::size_t groups, std::size_t window) {
    std::vector<double> sum(groups * t.cols), n(groups * t.cols);
    std::vector<std::size_t> taken(groups);
    for (std::size_t r = t.rows; r-- > 0;) {
        if (group[r] < 0) continue;
        const auto g = static_cast<std::size_t>(group[r]);
        if (taken[g]++ >= window) continue;
        for (std::size_t c = 0; c < t.cols; ++c) {
            if (std::isnan(t.at(r, c))) continue;
            sum[g * t.cols + c] += t.at(r, c);
            n[g * t.cols + c] += 1.0;
        }
    }
    for (std::size_t i = 0; i < sum.size(); ++i)
        sum[i] = n[i] > 0.0 ? sum[i] / n[i] : std::numeric_limits<double>::quiet_NaN();
    return sum;
}

// (rows of a group stored together, stored row by row)
class AveragingRuns : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(AveragingRuns, EqualToAddingRowByRow) {
    const auto [grouped, row_major] = GetParam();
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::size_t groups = 40, cols = 10;
    std::vector<std::int64_t> group;
    for (std::size_t g = 0; g + 3 < groups; ++g)  // the last 3 groups have no rows
        group.insert(group.end(), 1 + static_cast<std::size_t>(u(rng) * 60),
                     static_cast<std::int64_t>(g));
    if (!grouped) std::shuffle(group.begin(), group.end(), rng);
    for (auto& g : group) g = u(rng) < 0.1 ? -1 : g;
    const std::size_t rows = group.size();
    std::vector<double> data(rows * cols);
    for (auto& v : data)
        v = u(rng) < 0.1 ? std::numeric_limits<double>::quiet_NaN()
                         : (u(rng) - 0.5) * 143;
    const auto r = static_cast<std::ptrdiff_t>(rows),
               c = static_cast<std::ptrdiff_t>(cols);
    const mx::TableView view{data.data(), rows, cols, row_major ? c : 1,
                             row_major ? 1 : r};

    const std::vector<double> got =
        mx::average_last_rows(view, group, groups).means.values;
    const std::vector<double> want = reference(view, group, groups, mx::kAveragedDates);
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << i;
        else
            EXPECT_EQ(got[i], want[i]) << i;  // the same additions in the same order
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, AveragingRuns,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

}  // namespace
