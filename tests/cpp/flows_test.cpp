// Unit values of a portfolio with deposits and withdrawals, and the money-weighted
// return of its cash flows, on cases worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "meridan/flows/money_weighted.hpp"
#include "meridan/flows/units.hpp"

namespace mf = meridan::flows;

namespace {

constexpr double nan_ = std::numeric_limits<double>::quiet_NaN();

void expect_same(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i])) {
            EXPECT_TRUE(std::isnan(got[i])) << "at " << i << ": " << got[i];
        } else {
            EXPECT_NEAR(got[i], want[i], 1e-12) << "at " << i;
        }
    }
}

mf::UnitFault fault_of(const std::vector<double>& values,
                       const std::vector<double>& flows, std::size_t* day) {
    try {
        mf::unit_values(values, flows);
    } catch (const mf::UnitError& e) {
        *day = e.day;
        return e.fault;
    }
    ADD_FAILURE() << "no UnitError";
    return mf::UnitFault::not_finite;
}

// The discounted sum of the flows at annual rate r.
double npv(const std::vector<double>& amounts, const std::vector<double>& days,
           double r) {
    double s = 0.0;
    for (std::size_t i = 0; i < amounts.size(); ++i)
        s += amounts[i] * std::pow(1.0 + r, -days[i] / 365.0);
    return s;
}

}  // namespace

TEST(UnitValues, FlowsBuyAndRedeemAtThePreviousClose) {
    // Day 0: 100 opens at 1.0 (100 units). Day 1: growth to 1.1. Day 2: 55 buys 50
    // units at 1.1, close 180 on 150 units is 1.2. Day 3: everything (180) is
    // withdrawn, no units and no unit value. Day 4: 60 buys 50 units at the last
    // unit value 1.2; close 66 is 1.32.
    const auto r = mf::unit_values(std::vector<double>{100, 110, 180, 0, 66},
                                   std::vector<double>{100, 0, 55, -180, 60});
    expect_same(r.units, {100, 100, 150, 0, 50});
    expect_same(r.unit_value, {1.0, 1.1, 1.2, nan_, 1.32});
    EXPECT_EQ(r.units[3], 0.0);
}

TEST(UnitValues, NothingBeforeTheFirstFlowAndAWholeWithdrawalLeavesNoUnits) {
    // No units until money goes in; 0.7 withdrawn from 0.7 with a rounding of
    // 1e-12 still leaves exactly none, at the close before.
    const auto r = mf::unit_values(std::vector<double>{5, 1, 0.7, 0},
                                   std::vector<double>{0, 1, 0, -0.7 * (1 + 1e-12)});
    expect_same(r.units, {0, 1, 1, 0});
    expect_same(r.unit_value, {nan_, 1.0, 0.7, nan_});
    EXPECT_EQ(r.units[3], 0.0);
}

TEST(UnitValues, AWithdrawalOutOfTheDaysSalesIsRedeemedAtItsClose) {
    // Day 2: everything sold and 105 taken out after a rise to 105 (more than the
    // 100 of the close before) or 95 after a fall: the day's return is kept (1.05,
    // 0.95), no units are left, and a deposit of day 3 buys at that close.
    for (const double close : {105.0, 95.0}) {
        const auto r = mf::unit_values(std::vector<double>{100, 100, 0, 60},
                                       std::vector<double>{100, 0, -close, 60});
        expect_same(r.units, {100, 100, 0, 60 / (close / 100)});
        expect_same(r.unit_value, {1.0, 1.0, close / 100, close / 100});
    }
}

TEST(UnitValues, FlowsThatCannotBeBookedNameTheirDay) {
    struct Case {
        std::vector<double> values, flows;
        mf::UnitFault fault;
        std::size_t day;
    };
    const std::vector<Case> cases = {
        {{0, 0}, {0, -10}, mf::UnitFault::over_redeemed, 1},  // nothing held
        {{100, 0, 10}, {100, 0, 10}, mf::UnitFault::worthless, 2},
        {{100, nan_, 10}, {100, 0, 10}, mf::UnitFault::worthless, 2},
        {{100, 100}, {100, nan_}, mf::UnitFault::not_finite, 1},
        // More than the close before was worth, with something left: no sale of
        // everything explains it.
        {{1, 0.7, 0.1}, {1, 0, -0.75}, mf::UnitFault::over_redeemed, 2},
    };
    for (const auto& c : cases) {
        std::size_t day = 99;
        EXPECT_EQ(fault_of(c.values, c.flows, &day), c.fault);
        EXPECT_EQ(day, c.day);
    }
    EXPECT_THROW(mf::unit_values(std::vector<double>{1, 2}, std::vector<double>{1}),
                 std::invalid_argument);
}

TEST(MoneyWeighted, HandWorkedRates) {
    struct Case {
        std::vector<double> amounts, days;
        double rate;
    };
    const std::vector<Case> cases = {
        {{100, -110}, {0, 365}, 0.10},                    // one deposit, one year
        {{100, 100, -231}, {0, 365, 730}, 0.10},          // a deposit half-way
        {{-110, 100}, {365, 0}, 0.10},                    // order does not matter
        {{100, 50, 50, -231}, {0, 365, 365, 730}, 0.10},  // one day's flows add up
        {{100, -1000}, {0, 365}, 9.0},
        {{100, -10}, {0, 365}, -0.9},
        {{100, -100 * std::pow(1.05, 100)}, {0, 36500}, 0.05},  // a century
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(mf::money_weighted_rate(c.amounts, c.days), c.rate,
                    1e-13 * (1 + c.rate))
            << c.amounts[0] << " " << c.amounts[1];
    }
}

TEST(MoneyWeighted, OneRateAmongSeveralSignChangesIsFound) {
    // In, out, in, out: the amounts change sign three times, yet only one rate
    // balances them; it is refined until the sum is zero to rounding.
    const std::vector<double> amounts{100, -50, 50, -110}, days{0, 100, 200, 365};
    const double r = mf::money_weighted_rate(amounts, days);
    ASSERT_FALSE(std::isnan(r));
    EXPECT_GT(r, 0.09);
    EXPECT_LT(r, 0.12);
    EXPECT_NEAR(npv(amounts, days, r), 0.0, 1e-12);
}

TEST(MoneyWeighted, NoSingleRateIsNaN) {
    const std::vector<std::vector<double>> amounts = {
        {-100, 230, -132},  // rates of 10 % and 20 % both balance
        // 10 % and 10.03 %, three basis points apart, and 50 %: the close pair is
        // seen as two, not missed for the one rate of 50 %.
        {-1, 3.7003, -4.51078, 1.815495},
        {100, 50, 10},  // money only goes in
        {-100, -10},    // money only comes out
        {0, 0, 0},
        {100},
        {100, -100},  // all on one day: every rate balances
    };
    const std::vector<std::vector<double>> days = {
        {0, 365, 730}, {0, 365, 730, 1095}, {0, 100, 365}, {0, 365}, {0, 1, 2}, {0},
        {3, 3},
    };
    for (std::size_t i = 0; i < amounts.size(); ++i)
        EXPECT_TRUE(std::isnan(mf::money_weighted_rate(amounts[i], days[i])))
            << "case " << i;
    // Either of the two close rates alone is found.
    EXPECT_NEAR(mf::money_weighted_rate(std::vector<double>{100, -110.03},
                                        std::vector<double>{0, 365}),
                0.1003, 1e-14);
    EXPECT_THROW(mf::money_weighted_rate(std::vector<double>{100, nan_},
                                         std::vector<double>{0, 365}),
                 std::invalid_argument);
    EXPECT_THROW(mf::money_weighted_rate(std::vector<double>{100, -110},
                                         std::vector<double>{-1, 365}),
                 std::invalid_argument);
}

TEST(MoneyWeighted, WindowFigure) {
    EXPECT_DOUBLE_EQ(mf::window_return(0.21, 730), 0.21);
    EXPECT_DOUBLE_EQ(mf::window_return(0.21, 365), 0.21);
    EXPECT_NEAR(mf::window_return(0.21, 182.5), 0.10, 1e-15);
    EXPECT_EQ(mf::window_return(0.21, 0), 0.0);
    EXPECT_TRUE(std::isnan(mf::window_return(nan_, 30)));
    EXPECT_THROW(mf::window_return(0.1, -1), std::invalid_argument);
}

TEST(MoneyWeighted, OfAPortfolioValueSeries) {
    // 100 opens on day 0 (its deposit of 30 already in it), 100 more goes in a year
    // later, 231 is taken out after two years: 10 % a year.
    const std::vector<std::int64_t> days{20000, 20365, 20730};
    EXPECT_NEAR(mf::money_weighted_return(days, std::vector<double>{100, 215, 231},
                                          std::vector<double>{30, 100, 0}),
                0.10, 1e-13);
    EXPECT_TRUE(std::isnan(mf::money_weighted_return({}, {}, {})));
}

TEST(MoneyWeighted, TheWindowIsTheTimeTheMoneyWasIn) {
    struct Case {
        std::vector<double> values, flows;
        std::size_t first, last;
    };
    const std::vector<Case> cases{
        {{100, 110, 121}, {0, 0, 0}, 0, 2},
        // Nothing in until the deposit of day 2.
        {{0, 0, 100, 110}, {0, 0, 100, 0}, 2, 3},
        // Emptied on day 2 and empty to the end.
        {{100, 110, 0, 0, 0}, {0, 0, -110, 0, 0}, 0, 2},
        // Everything lost by day 2: that day stays, its 0 is the value out.
        {{100, 50, 0, 0}, {0, 0, 0, 0}, 0, 2},
        // Emptied, then money in again: the window runs to the end.
        {{100, 0, 0, 50, 55}, {0, -100, 0, 50, 0}, 0, 4},
        {{0, 0}, {0, 0}, 1, 1},
        {{}, {}, 0, 0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto r = mf::invested_range(cases[i].values, cases[i].flows);
        EXPECT_EQ(r.first, cases[i].first) << "case " << i;
        EXPECT_EQ(r.last, cases[i].last) << "case " << i;
    }
    EXPECT_THROW(mf::invested_range(std::vector<double>{1, 2}, std::vector<double>{0}),
                 std::invalid_argument);
    // 10 % over the 60 days before everything was withdrawn, not that 60 days' annual
    // rate compounded over the 400 the statement runs.
    const std::vector<std::int64_t> days{20000, 20030, 20060, 20200, 20400};
    EXPECT_NEAR(mf::money_weighted_return(days, std::vector<double>{100, 105, 0, 0, 0},
                                          std::vector<double>{0, 0, -110, 0, 0}),
                0.10, 1e-13);
}

TEST(MoneyWeighted, ShortWindowsBeyondAnAnnualTenfold) {
    // 1.3 % in a day and 10 % in a week are annual rates far above 10: the window's
    // own return is found. A week's deposit on its last day adds to the value out.
    const std::vector<std::int64_t> day{20000, 20001}, week{20000, 20007};
    EXPECT_NEAR(mf::money_weighted_return(day, std::vector<double>{100, 101.3},
                                          std::vector<double>{0, 0}),
                0.013, 1e-14);
    EXPECT_NEAR(mf::money_weighted_return(week, std::vector<double>{100, 160},
                                          std::vector<double>{0, 50}),
                0.10, 1e-14);
    // A loss as large stays within the annual search and reads the same.
    EXPECT_NEAR(mf::money_weighted_return(day, std::vector<double>{100, 98.7},
                                          std::vector<double>{0, 0}),
                -0.013, 1e-14);
    // Money in, out, in and out again within a strong week: no single rate is
    // assured, so none is given.
    const std::vector<std::int64_t> days{20000, 20003, 20005, 20007};
    EXPECT_TRUE(std::isnan(
        mf::money_weighted_return(days, std::vector<double>{100, 60, 150, 160},
                                  std::vector<double>{0, -50, 80, 0})));
}

TEST(UnitValues, TheOpeningValueIsTheFirstFlow) {
    // 200 opens 200 units whatever the first day's flow says (it is in the value).
    std::vector<double> units(3), uv(3);
    mf::unit_values_from_opening(std::vector<double>{200, 220, 231},
                                 std::vector<double>{7, 0, 11}, units, uv);
    expect_same(units, {200, 200, 210});
    expect_same(uv, {1.0, 1.1, 1.1});
}

TEST(UnitValues, AValueBelowZeroIsRefusedWithItsDay) {
    // An account can be emptied (0) but not overdrawn: both functions refuse -5.
    const std::vector<double> values{100, -5, 100, 110}, flows{100, 0, 0, 0};
    const std::vector<std::int64_t> days{20000, 20001, 20002, 20003};
    for (int f = 0; f < 2; ++f) {
        try {
            if (f == 0) {
                mf::unit_values(values, flows);
            } else {
                mf::money_weighted_return(days, values, flows);
            }
            ADD_FAILURE() << "no NegativeValueError from function " << f;
        } catch (const mf::NegativeValueError& e) {
            EXPECT_EQ(e.day, 1U);
            EXPECT_EQ(e.value, -5.0);
        }
    }
}

TEST(MoneyWeighted, TimeRunsFromTheFirstDayMoneyIsIn) {
    // Nothing in until 100 goes in on day 29; 110 on day 59: 10 % over the 30 days
    // invested.
    EXPECT_NEAR(mf::money_weighted_return(
                    std::vector<std::int64_t>{20000, 20029, 20059},
                    std::vector<double>{0, 100, 110}, std::vector<double>{0, 100, 0}),
                0.10, 1e-14);
    // 300 days invested in a series of 400 are under a year: the return over them.
    EXPECT_NEAR(mf::money_weighted_return(
                    std::vector<std::int64_t>{20000, 20100, 20400},
                    std::vector<double>{0, 100, 110}, std::vector<double>{0, 100, 0}),
                0.10, 1e-14);
    // 5 % in the one day invested, beyond the annual search: found per window.
    EXPECT_NEAR(mf::money_weighted_return(
                    std::vector<std::int64_t>{20000, 20010, 20011},
                    std::vector<double>{0, 100, 105}, std::vector<double>{0, 100, 0}),
                0.05, 1e-14);
}
