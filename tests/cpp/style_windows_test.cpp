// Window plans of the style regression, by span.
#include "meridan/periods/style_windows.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "meridan/dates/civil.hpp"
#include "meridan/periods/period_base.hpp"

namespace mp = meridan::periods;

namespace {

std::int64_t day(int y, int m, int d) { return meridan::dates::days_from_civil(y, m, d); }

struct PlanCase {
    int y, m, d;  // first date
    std::int64_t span;
    std::vector<std::string> ends;
};

void PrintTo(const PlanCase& c, std::ostream* os) {
    *os << c.y << "-" << c.m << "-" << c.d << " + " << c.span << " days";
}

class StylePlan : public ::testing::TestWithParam<PlanCase> {};

}  // namespace

TEST_P(StylePlan, EndsByHand) {
    const PlanCase& c = GetParam();
    const std::int64_t start = day(c.y, c.m, c.d);
    std::vector<std::string> ends;
    for (std::int64_t e : mp::style_window_ends(start, start + c.span, c.span))
        ends.push_back(mp::iso_day(e));
    EXPECT_EQ(ends, c.ends);
}

INSTANTIATE_TEST_SUITE_P(
    Spans, StylePlan,
    ::testing::Values(
        // Quarters forward: the first end passes the last date and is cut to it.
        PlanCase{2015, 1, 5, 60, {"2015-03-06"}},
        PlanCase{2015, 1, 5, 100, {"2015-04-05", "2015-04-15"}},
        PlanCase{2015, 1, 5, 270, {"2015-04-05", "2015-07-05", "2015-10-02"}},
        // Quarters backward from 271 days on.
        PlanCase{2015, 1, 5, 300, {"2015-05-01", "2015-08-01", "2015-11-01"}},
        PlanCase{2015, 1, 5, 365, {"2015-07-05", "2015-10-05", "2016-01-05"}},
        // Half years forward up to 547 days; an end on the last date stops there.
        PlanCase{2015, 1, 5, 366, {"2015-07-05", "2016-01-05", "2016-01-06"}},
        PlanCase{2015, 1, 5, 500, {"2015-07-05", "2016-01-05", "2016-05-19"}},
        PlanCase{2015, 1, 5, 547, {"2015-07-05", "2016-01-05", "2016-07-05"}},
        // The third end falls a day short: the last day enters no window.
        PlanCase{2014, 1, 1, 547, {"2014-07-01", "2015-01-01", "2015-07-01"}},
        PlanCase{2015, 1, 5, 548, {"2015-07-06", "2016-01-06", "2016-07-06"}},
        PlanCase{2015, 1, 5, 1095, {"2017-01-04", "2017-07-04", "2018-01-04"}},
        PlanCase{2015, 1, 5, 1096, {"2016-01-05", "2017-01-05", "2018-01-05"}},
        // Month ends clamp, and the k-th end moves k steps at once from the anchor
        // (31 August + 12 months is 31 August, not 29 August).
        PlanCase{2015, 8, 31, 100, {"2015-11-30", "2015-12-09"}},
        PlanCase{2015, 8, 31, 500, {"2016-02-29", "2016-08-31", "2017-01-12"}},
        // A one-day series: one window of that day.
        PlanCase{2015, 1, 5, 0, {"2015-01-05"}}));

TEST(StyleStep, Thresholds) {
    struct {
        std::int64_t span;
        int months;
        bool backward;
    } cases[] = {{0, 3, false},   {270, 3, false}, {271, 3, true},  {365, 3, true},
                 {366, 6, false}, {547, 6, false}, {548, 6, true},  {1095, 6, true},
                 {1096, 12, true}, {5000, 12, true}};
    for (const auto& c : cases) {
        const mp::StyleStep step = mp::style_step(c.span);
        EXPECT_EQ(step.months, c.months) << c.span;
        EXPECT_EQ(step.backward, c.backward) << c.span;
    }
}

TEST(StyleWindows, CutsAndStopsOnCandidates) {
    const std::int64_t end = 100;
    using V = std::vector<std::int64_t>;
    EXPECT_EQ(mp::style_window_ends(V{10, 20, 30}, end), (V{10, 20, 30}));
    EXPECT_EQ(mp::style_window_ends(V{10, 120, 130}, end), (V{10, 100}));
    EXPECT_EQ(mp::style_window_ends(V{100, 120, 130}, end), (V{100}));
    EXPECT_EQ(mp::style_window_ends(V{150, 160, 170}, end), (V{100}));
}
