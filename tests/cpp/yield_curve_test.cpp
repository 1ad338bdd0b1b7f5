// Tenor choice at the boundaries of each window length.
#include "meridan/risk/yield_curve.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace mr = meridan::risk;

TEST(YieldCurve, TableRunsFromS0ToY50InAscendingDays) {
    const auto tenors = mr::yield_curve_tenors();
    ASSERT_EQ(tenors.size(), 21u);
    for (std::size_t i = 1; i < tenors.size(); ++i)
        EXPECT_LT(tenors[i - 1].days, tenors[i].days);
    for (const auto& t :
         tenors) {  // the column is the label with its letter moved last
        EXPECT_EQ(std::string(t.column),
                  std::string(t.label.substr(1)) + std::string(t.label.substr(0, 1)));
    }
}

TEST(YieldCurve, LongestTenorStrictlyShorterThanTheWindow) {
    const std::vector<std::pair<long, std::string>> cases{
        {-5, "0S"},     {0, "0S"},      {30, "0S"},      {31, "1M"},   {60, "1M"},
        {61, "2M"},     {365, "9M"},    {366, "1Y"},     {3650, "9Y"}, {3651, "10Y"},
        {18250, "40Y"}, {18251, "50Y"}, {100000, "50Y"},
    };
    for (const auto& [days, column] : cases)
        EXPECT_EQ(mr::tenor_for_window(days).column, column) << days;
}
