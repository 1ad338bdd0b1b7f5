// The style regression's window plan: step and direction by span, and which
// candidate ends run.
#include "meridan/periods/style_windows.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace mp = meridan::periods;

TEST(StyleWindows, StepAndDirectionBySpan) {
    struct {
        std::int64_t span;
        int months;
        bool backward;
    } cases[] = {{0, 3, false},    {270, 3, false}, {271, 3, true}, {365, 3, true},
                 {366, 6, false},  {547, 6, false}, {548, 6, true}, {1095, 6, true},
                 {1096, 12, true}, {5000, 12, true}};
    for (const auto& c : cases) {
        const mp::StyleStep step = mp::style_step(c.span);
        EXPECT_EQ(step.months, c.months) << c.span;
        EXPECT_EQ(step.backward, c.backward) << c.span;
        EXPECT_EQ(
            mp::style_end_multiples(step),
            (c.backward ? std::array<int, 3>{-2, -1, 0} : std::array<int, 3>{1, 2, 3}));
    }
}

TEST(StyleWindows, EndsPastTheLastDateAreCutAndStop) {
    const std::int64_t end = 100;
    using V = std::vector<std::int64_t>;
    EXPECT_EQ(mp::style_window_ends(V{10, 20, 30}, end), (V{10, 20, 30}));  // all short
    EXPECT_EQ(mp::style_window_ends(V{10, 120, 130}, end), (V{10, 100}));
    EXPECT_EQ(mp::style_window_ends(V{10, 100, 130}, end), (V{10, 100}));  // on the day
    EXPECT_EQ(mp::style_window_ends(V{150, 160, 170}, end), (V{100}));
}
