// Up and down capture and stability on series worked by hand, with A = 2 so that the
// annual return over two days is their compound return.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "meridan/risk/capture.hpp"

namespace mr = meridan::risk;

TEST(Capture, RisingAndFallingDays) {
    const std::vector<double> r{0.02, -0.01, 0.03, -0.04, 0.0};
    const std::vector<double> b{0.01, -0.02, 0.02, -0.02, 0.0};
    // Rising: r 2 %, 3 % (1.0506) against b 1 %, 2 % (1.0302).
    EXPECT_NEAR(mr::capture(r, b, true, 2.0), 0.0506 / 0.0302, 1e-12);
    // Falling: r −1 %, −4 % (0.9504) against −2 %, −2 % (0.9604).
    EXPECT_NEAR(mr::capture(r, b, false, 2.0), 0.0496 / 0.0396, 1e-12);
    // No falling day, or a benchmark that nets to nothing: undefined.
    const std::vector<double> up{0.01, 0.02};
    EXPECT_TRUE(std::isnan(mr::capture(up, up, false, 244.0)));
    EXPECT_TRUE(std::isnan(mr::capture(std::vector<double>{}, {}, true, 244.0)));
}

TEST(Stability, LinesAndTheirUndefinedCases) {
    const double g = std::expm1(0.01);
    EXPECT_NEAR(mr::stability(std::vector<double>{g, g, g, g}), 1.0, 1e-12);
    // log values 0, c, 3c on days 0, 1, 2: Sxy = 3c, Sxx = 2, Syy = 42c²/9.
    const double c = 0.02;
    const std::vector<double> r{0.0, std::expm1(c), std::expm1(2 * c)};
    EXPECT_NEAR(mr::stability(r), 27.0 / 28.0, 1e-12);
    // Up, down, up by the same factor: no trend.
    const std::vector<double> zigzag{std::expm1(c), std::expm1(-c), std::expm1(c)};
    EXPECT_NEAR(mr::stability(zigzag), 0.0, 1e-12);
    EXPECT_TRUE(std::isnan(mr::stability(std::vector<double>{0.01})));
    EXPECT_TRUE(std::isnan(mr::stability(std::vector<double>{0.0, 0.0, 0.0})));
    EXPECT_TRUE(std::isnan(mr::stability(std::vector<double>{0.01, -1.0})));
}
