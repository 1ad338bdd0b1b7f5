// The means of the latest rows of each group, against a plain reference that adds one
// row at a time in the order the rows are chosen (newest first): equal to the last
// bit, whatever the storage order, however the groups' rows are spread, with missing
// values, ignored rows and groups without rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "meridan/exposure/averaging.hpp"

namespace mx = meridan::exposure;

namespace {

mx::GroupMeans reference(const mx::TableView& rows,
                         const std::vector<std::int64_t>& group, std::size_t groups,
                         std::size_t window) {
    mx::GroupMeans out{mx::FactorTable(groups, rows.cols),
                       std::vector<std::size_t>(groups, 0)};
    mx::FactorTable present(groups, rows.cols);
    std::vector<std::size_t> taken(groups, 0);
    for (std::size_t r = rows.rows; r-- > 0;) {
        if (group[r] < 0) continue;
        const auto g = static_cast<std::size_t>(group[r]);
        ++out.count[g];
        if (taken[g]++ >= window) continue;
        for (std::size_t c = 0; c < rows.cols; ++c) {
            const double v = rows.at(r, c);
            if (std::isnan(v)) continue;
            out.means.at(g, c) += v;
            present.at(g, c) += 1.0;
        }
    }
    for (std::size_t i = 0; i < out.means.values.size(); ++i)
        out.means.values[i] = present.values[i] > 0.0
                                  ? out.means.values[i] / present.values[i]
                                  : std::numeric_limits<double>::quiet_NaN();
    return out;
}

struct Layout {
    const char* name;
    bool grouped;    // each group's rows stored together (a reply's usual order)
    bool row_major;  // storage order of the values
    double missing;  // share of missing cells
    double ignored;  // share of rows without a group (code -1)
};

class AveragingRuns : public ::testing::TestWithParam<Layout> {};

TEST_P(AveragingRuns, EqualToAddingRowByRow) {
    const Layout& layout = GetParam();
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::size_t groups = 40, cols = 10, window = 22;
    std::vector<std::int64_t> group;
    for (std::size_t g = 0; g < groups - 3; ++g) {  // the last 3 groups have no rows
        const std::size_t n = 1 + static_cast<std::size_t>(u(rng) * 60);
        for (std::size_t k = 0; k < n; ++k)
            group.push_back(static_cast<std::int64_t>(g));
    }
    if (!layout.grouped) std::shuffle(group.begin(), group.end(), rng);
    for (auto& g : group)
        if (u(rng) < layout.ignored) g = -1;
    const std::size_t rows = group.size();
    std::vector<double> data(rows * cols);
    for (auto& v : data)
        v = u(rng) < layout.missing ? std::numeric_limits<double>::quiet_NaN()
                                    : (u(rng) - 0.5) * 1e3 / 7.0;
    const mx::TableView view = layout.row_major
                                   ? mx::TableView{data.data(), rows, cols,
                                                   static_cast<std::ptrdiff_t>(cols), 1}
                                   : mx::TableView{data.data(), rows, cols, 1,
                                                   static_cast<std::ptrdiff_t>(rows)};

    const mx::GroupMeans got = mx::average_last_rows(view, group, groups, window);
    const mx::GroupMeans want = reference(view, group, groups, window);
    EXPECT_EQ(got.count, want.count);
    ASSERT_EQ(got.means.values.size(), want.means.values.size());
    for (std::size_t i = 0; i < want.means.values.size(); ++i) {
        const double a = got.means.values[i], b = want.means.values[i];
        if (std::isnan(b))
            EXPECT_TRUE(std::isnan(a)) << "cell " << i;
        else
            EXPECT_EQ(a, b) << "cell " << i;  // the same additions in the same order
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AveragingRuns,
    ::testing::Values(Layout{"GroupedByColumn", true, false, 0.0, 0.0},
                      Layout{"GroupedByRow", true, true, 0.05, 0.0},
                      Layout{"InterleavedByColumn", false, false, 0.1, 0.1},
                      Layout{"InterleavedByRow", false, true, 0.0, 0.2},
                      Layout{"MostlyMissing", true, false, 0.9, 0.05}),
    [](const ::testing::TestParamInfo<Layout>& info) { return info.param.name; });

TEST(AveragingRuns, GroupOutOfRangeIsRefused) {
    const std::vector<double> data{1.0, 2.0};
    const mx::TableView view{data.data(), 2, 1, 1, 1};
    const std::vector<std::int64_t> group{0, 3};
    EXPECT_THROW(mx::average_last_rows(view, group, 2), std::out_of_range);
}

}  // namespace
