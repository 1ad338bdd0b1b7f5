#include "meridan/exposure/holdings.hpp"

#include "meridan/exposure/weighting.hpp"

namespace meridan::exposure {

BookWeights weigh_holdings(std::span<const Holding> holdings, std::size_t slots) {
    BookWeights out{0.0, 0.0, 0.0, std::vector<double>(slots, 0.0)};
    for (const Holding& h : holdings) {
        out.total += h.market_value;
        if (h.newly_listed) {
            out.newly_listed_total += h.market_value;
            continue;
        }
        if (h.special_treatment) out.special_total += h.market_value;
        out.weights.at(h.slot) = h.market_value;
    }
    out.weights = normalise(out.weights);
    return out;
}

}  // namespace meridan::exposure
