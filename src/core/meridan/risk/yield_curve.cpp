#include "meridan/risk/yield_curve.hpp"

#include <array>

namespace meridan::risk {

namespace {

constexpr std::array<Tenor, 21> kTenors = {{
    {0, "S0", "0S"},       {30, "M1", "1M"},      {60, "M2", "2M"},
    {90, "M3", "3M"},      {180, "M6", "6M"},     {270, "M9", "9M"},
    {365, "Y1", "1Y"},     {730, "Y2", "2Y"},     {1095, "Y3", "3Y"},
    {1460, "Y4", "4Y"},    {1825, "Y5", "5Y"},    {2190, "Y6", "6Y"},
    {2555, "Y7", "7Y"},    {2920, "Y8", "8Y"},    {3285, "Y9", "9Y"},
    {3650, "Y10", "10Y"},  {5475, "Y15", "15Y"},  {7300, "Y20", "20Y"},
    {10950, "Y30", "30Y"}, {14600, "Y40", "40Y"}, {18250, "Y50", "50Y"},
}};

}  // namespace

std::span<const Tenor> yield_curve_tenors() { return kTenors; }

const Tenor& tenor_for_window(std::int64_t window_days) {
    const Tenor* chosen = &kTenors.front();
    for (const Tenor& t : kTenors) {
        if (window_days <= t.days) break;
        chosen = &t;
    }
    return *chosen;
}

}  // namespace meridan::risk
