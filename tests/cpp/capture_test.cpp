// Capture and stability where they are undefined (their hand-worked values are
// checked from Python, through perilon.Risk).
#include "meridan/risk/capture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace mr = meridan::risk;

TEST(Capture, UndefinedCases) {
    const std::vector<double> up{0.01, 0.02};
    EXPECT_TRUE(std::isnan(mr::capture(up, up, false, 244.0)));  // no falling day
    EXPECT_TRUE(std::isnan(mr::capture(std::vector<double>{}, {}, true, 244.0)));
    EXPECT_TRUE(std::isnan(mr::stability(std::vector<double>{0.01})));
    EXPECT_TRUE(std::isnan(mr::stability(std::vector<double>{0.0, 0.0, 0.0})));
    EXPECT_TRUE(std::isnan(mr::stability(std::vector<double>{0.01, -1.0})));
    const double g = std::expm1(0.01);
    EXPECT_NEAR(mr::stability(std::vector<double>{g, g, g, g}), 1.0, 1e-12);
}
