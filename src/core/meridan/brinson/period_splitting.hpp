// Periods of unchanged holdings in a portfolio series, over plain snapshots: each
// instrument an integer code, each position its quantity and market value. Splits
// alone do not change holdings: the quantities carried over are scaled by the split
// coefficients effective on a snapshot's date before they are compared with it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace meridan::brinson {

/// A series of snapshots, positions stored one snapshot after another: snapshot i
/// holds positions [offsets[i], offsets[i + 1]). An instrument listed twice in one
/// snapshot counts once, in its first place, with its last quantity (a mapping
/// built from the list).
struct PlainSeries {
    std::vector<std::size_t> offsets{0};
    std::vector<int> ids;  // codes >= 0
    std::vector<double> quantity;
    std::vector<double> value;         // the position's market value
    std::vector<double> market_value;  // per snapshot
    std::vector<double> cash;          // per snapshot

    std::size_t size() const { return offsets.size() - 1; }
    /// Appends a snapshot of the positions added since the last call.
    void close_snapshot(double snapshot_value, double snapshot_cash) {
        offsets.push_back(ids.size());
        market_value.push_back(snapshot_value);
        cash.push_back(snapshot_cash);
    }
};

/// A split coefficient reported for a held instrument.
struct Split {
    int id;
    double coefficient;
};

/// Answers the splits effective on the date of snapshot `snapshot` for the held
/// instruments `held` (in holding order). Every split must name a held instrument.
using SplitSource =
    std::function<std::vector<Split>(std::size_t snapshot, std::span<const int> held)>;

/// One period: snapshots [first, first + length).
struct Period {
    std::size_t first;
    std::size_t length;

    friend bool operator==(const Period&, const Period&) = default;
};

/// Cuts the series into periods: a new one starts with every snapshot whose holdings
/// (instruments and quantities) differ from those carried over, scaled by the splits
/// `splits` reports for its date (asked once per snapshot after the first). An
/// instrument held with quantity 0 is held. Empty series: no period.
std::vector<Period> split_by_holdings(const PlainSeries& series,
                                      const SplitSource& splits);

/// The weighted instruments of a period's first snapshot: each position of non-zero
/// quantity in first-seen order, its weight the last listed market value over
/// `total` (the snapshot's market value).
struct PeriodWeights {
    std::vector<int> ids;
    std::vector<double> weight;
};
PeriodWeights period_weights(const PlainSeries& series, std::size_t snapshot);

/// Each instrument held with a non-zero quantity somewhere in the series, once, at
/// its first such snapshot: (snapshot, id) in series and listing order.
struct FirstHolding {
    std::size_t snapshot;
    int id;
};
std::vector<FirstHolding> first_holdings(const PlainSeries& series);

}  // namespace meridan::brinson
