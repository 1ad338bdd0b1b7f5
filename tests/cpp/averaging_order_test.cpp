// Averaging of the latest dates reads a table in whichever order it is stored: the
// means of interleaved groups, with missing values and a cut window, are the same to
// the last bit whether the values are stored row by row or column by column.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "meridan/exposure/averaging.hpp"

namespace mx = meridan::exposure;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(AveragingOrder, RowAndColumnStorageGiveIdenticalMeans) {
    // Seven rows, three columns; groups interleaved, one row ignored (-1).
    const std::size_t rows = 7, cols = 3;
    const std::vector<std::int64_t> group = {0, 1, 0, -1, 1, 0, 1};
    std::vector<double> by_row(rows * cols), by_column(rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            double v = 0.1 * static_cast<double>(r + 1) + static_cast<double>(c) / 3.0;
            if (r == 5 && c == 1) v = kNaN;
            by_row[r * cols + c] = v;
            by_column[c * rows + r] = v;
        }
    }
    const mx::TableView row_view{by_row.data(), rows, cols, 3, 1};
    const mx::TableView column_view{by_column.data(), rows, cols, 1, 7};
    const mx::GroupMeans a = mx::average_last_rows(row_view, group, 2, 2);
    const mx::GroupMeans b = mx::average_last_rows(column_view, group, 2, 2);
    ASSERT_EQ(a.means.values.size(), b.means.values.size());
    for (std::size_t i = 0; i < a.means.values.size(); ++i) {
        if (std::isnan(a.means.values[i])) {
            EXPECT_TRUE(std::isnan(b.means.values[i]));
        } else {
            EXPECT_EQ(a.means.values[i], b.means.values[i]) << "at " << i;
        }
    }
    EXPECT_EQ(a.count, (std::vector<std::size_t>{3, 3}));
    // Group 0's last two rows are 5 and 2; column 1 of row 5 is missing.
    EXPECT_DOUBLE_EQ(a.means.at(0, 0), (0.6 + 0.3) / 2.0);
    EXPECT_DOUBLE_EQ(a.means.at(0, 1), 0.3 + 1.0 / 3.0);
    // Group 1's last two rows are 6 and 4.
    EXPECT_DOUBLE_EQ(a.means.at(1, 2), (0.7 + 0.5) / 2.0 + 2.0 / 3.0);
}

TEST(AveragingOrder, EveryWidthMatchesOneSumPerCellNewestFirst) {
    // Tables of 1 to 13 factors (the columns are summed a few at a time), groups stored
    // in runs and interleaved, missing values here and there: each mean is, to the
    // last bit, the sum of the group's latest present values taken newest first over
    // their count.
    std::mt19937 draw(7);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    const std::size_t rows = 40, groups = 4, window = 6;
    std::vector<std::int64_t> group(rows);
    for (std::size_t r = 0; r < rows; ++r)
        group[r] = r % 11 == 10 ? -1 : static_cast<std::int64_t>((r / 3) % groups);
    for (std::size_t cols = 1; cols <= 13; ++cols) {
        std::vector<double> cells(rows * cols);
        for (double& v : cells) v = draw() % 9 == 0 ? kNaN : value(draw);
        const mx::TableView view{cells.data(), rows, cols,
                                 static_cast<std::ptrdiff_t>(cols), 1};
        const mx::GroupMeans got = mx::average_last_rows(view, group, groups, window);
        for (std::size_t g = 0; g < groups; ++g) {
            for (std::size_t c = 0; c < cols; ++c) {
                double sum = 0.0, n = 0.0;
                std::size_t taken = 0;
                for (std::size_t r = rows; r-- > 0 && taken < window;) {
                    if (group[r] != static_cast<std::int64_t>(g)) continue;
                    ++taken;
                    if (std::isnan(cells[r * cols + c])) continue;
                    sum += cells[r * cols + c];
                    n += 1.0;
                }
                const double want = n > 0.0 ? sum / n : kNaN;
                if (std::isnan(want)) {
                    EXPECT_TRUE(std::isnan(got.means.at(g, c))) << cols << " " << g;
                } else {
                    EXPECT_EQ(got.means.at(g, c), want) << cols << " " << g << " " << c;
                }
            }
        }
    }
}

}  // namespace
