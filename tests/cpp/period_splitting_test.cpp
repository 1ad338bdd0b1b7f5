// Periods of unchanged holdings over plain snapshots, with splits, and the weights of
// a period's first snapshot.
#include "meridan/brinson/period_splitting.hpp"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mb = meridan::brinson;

namespace {

using Positions =
    std::vector<std::pair<int, double>>;  // (id, quantity) in listing order

mb::PlainSeries series_of(const std::vector<Positions>& snapshots) {
    mb::PlainSeries s;
    for (const Positions& positions : snapshots) {
        for (auto [id, q] : positions) {
            s.ids.push_back(id);
            s.quantity.push_back(q);
            s.value.push_back(10.0 * q);
        }
        s.close_snapshot(1000.0, 0.0);
    }
    return s;
}

std::vector<std::size_t> lengths(const std::vector<mb::Period>& periods) {
    std::vector<std::size_t> out;
    for (const mb::Period& p : periods) out.push_back(p.length);
    return out;
}

struct SplitCase {
    const char* what;
    std::vector<Positions> snapshots;
    std::map<std::size_t, std::vector<mb::Split>> splits;  // by snapshot
    std::vector<std::size_t> expected;
};

}  // namespace

class SplitByHoldings : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitByHoldings, CutsWhereHoldingsChange) {
    const SplitCase& c = GetParam();
    const auto source = [&](std::size_t i, std::span<const int>) {
        const auto found = c.splits.find(i);
        return found == c.splits.end() ? std::vector<mb::Split>{} : found->second;
    };
    EXPECT_EQ(lengths(mb::split_by_holdings(series_of(c.snapshots), source)),
              c.expected)
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitByHoldings,
    testing::Values(
        SplitCase{
            "unchanged", {{{0, 100}}, {{0, 100}}, {{0, 100}}, {{0, 100}}}, {}, {4}},
        SplitCase{"a split alone",
                  {{{0, 100}}, {{0, 100}}, {{0, 200}}},
                  {{2, {{0, 2.0}}}},
                  {3}},
        SplitCase{"a split the book missed",
                  {{{0, 100}}, {{0, 100}}, {{0, 100}}},
                  {{2, {{0, 2.0}}}},
                  {2, 1}},
        SplitCase{"a new id held at 0",
                  {{{0, 100}}, {{0, 100}, {1, 0}}, {{0, 100}}},
                  {},
                  {1, 1, 1}},
        SplitCase{
            "float noise of a split", {{{0, 700}}, {{0, 980}}}, {{1, {{0, 1.4}}}}, {2}},
        SplitCase{"a trade, then nothing",
                  {{{0, 100}}, {{0, 101}}, {{0, 101}}, {}},
                  {},
                  {1, 2, 1}},
        SplitCase{"order alone changes nothing",
                  {{{0, 1}, {1, 2}}, {{1, 2}, {0, 1}}, {{1, 2}, {0, 1.5}}},
                  {},
                  {2, 1}},
        SplitCase{"a repeated id counts once, with its last quantity",
                  {{{0, 5}}, {{0, 1}, {0, 5}}, {{0, 5}, {0, 1}}},
                  {},
                  {2, 1}},
        SplitCase{"no snapshot", {}, {}, {}}));

TEST(SplitByHoldings, AsksForEveryLaterSnapshotWithTheHeldIdsInHoldingOrder) {
    // The carried holdings keep their order when a snapshot lists them differently;
    // a new period takes the order of its first snapshot.
    const auto s = series_of({{{2, 1}, {0, 1}},
                              {{0, 1}, {2, 1}},
                              {{0, 1}, {2, 1}, {1, 3}},
                              {{0, 1}, {2, 1}, {1, 3}}});
    std::vector<std::pair<std::size_t, std::vector<int>>> asked;
    const auto source = [&](std::size_t i, std::span<const int> held) {
        asked.emplace_back(i, std::vector<int>(held.begin(), held.end()));
        return std::vector<mb::Split>{};
    };
    EXPECT_EQ(lengths(mb::split_by_holdings(s, source)),
              (std::vector<std::size_t>{2, 2}));
    const std::vector<std::pair<std::size_t, std::vector<int>>> expected = {
        {1, {2, 0}}, {2, {2, 0}}, {3, {0, 2, 1}}};
    EXPECT_EQ(asked, expected);
}

TEST(SplitByHoldings, ASplitOfAnInstrumentNotHeldIsRefused) {
    const auto s = series_of({{{0, 1}}, {{0, 1}}});
    const auto source = [](std::size_t, std::span<const int>) {
        return std::vector<mb::Split>{{7, 2.0}};
    };
    EXPECT_THROW(mb::split_by_holdings(s, source), std::invalid_argument);
}

TEST(PeriodWeights, NonZeroPositionsInFirstSeenOrderWithTheirLastValue) {
    mb::PlainSeries s;
    s.ids = {3, 1, 3, 2};
    s.quantity = {10, 0, 20, 5};
    s.value = {100, 50, 300, 200};
    s.close_snapshot(1000.0, 400.0);
    const mb::PeriodWeights w = mb::period_weights(s, 0);
    EXPECT_EQ(w.ids, (std::vector<int>{3, 2}));
    EXPECT_EQ(w.weight, (std::vector<double>{0.3, 0.2}));
}

TEST(FirstHoldings, EachInstrumentOnceWhereItIsFirstHeld) {
    // Id 1 is listed at 0 shares first; id 2 appears later; id 0 is held throughout.
    const auto s = series_of({{{0, 5}, {1, 0}}, {{1, 3}, {0, 5}}, {{2, 1}, {1, 3}}});
    std::vector<std::pair<std::size_t, int>> got;
    for (const mb::FirstHolding& f : mb::first_holdings(s))
        got.emplace_back(f.snapshot, f.id);
    EXPECT_EQ(got, (std::vector<std::pair<std::size_t, int>>{{0, 0}, {1, 1}, {2, 2}}));
}
