// Weights of a portfolio snapshot's holdings for the exposure analysis: the shares of
// the book held in newly listed and in special-treatment (ST) stocks, and the weights
// of the holdings that carry factor exposure (all but the newly listed), scaled to one.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace meridan::exposure {

/// One position of a snapshot, in snapshot order.
struct Holding {
    double market_value;
    bool newly_listed;
    bool special_treatment;  // read only for holdings that are not newly listed
    /// Index of the holding's instrument among the weighted instruments (first
    /// appearance order); ignored for newly listed holdings.
    std::size_t slot;
};

struct BookWeights {
    double total;                 // market value of every position
    double newly_listed_total;    // of the newly listed positions
    double special_total;         // of the ST positions that are not newly listed
    std::vector<double> weights;  // by slot, summing to one
};

/// Totals and weights of the holdings. A later position of an instrument replaces
/// the value of an earlier one in the weights (the last value of each instrument
/// counts), as a mapping by instrument would; every position counts in the totals.
/// `slots` is the number of weighted instruments.
BookWeights weigh_holdings(std::span<const Holding> holdings, std::size_t slots);

}  // namespace meridan::exposure
