// Averaging of the latest dates reads a table in whichever order it is stored: the
// means of interleaved groups, with missing values and a cut window, are the same to
// the last bit whether the values are stored row by row or column by column.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

}  // namespace
