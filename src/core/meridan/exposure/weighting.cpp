#include "meridan/exposure/weighting.hpp"

#include <cmath>
#include <stdexcept>

namespace meridan::exposure {

std::vector<double> normalise(std::span<const double> weights) {
    double sum = 0.0;
    for (double w : weights) {
        if (!std::isnan(w)) sum += w;
    }
    std::vector<double> out(weights.begin(), weights.end());
    for (double& w : out) w /= sum;
    return out;
}

WeightedExposure weigh_exposures(const FactorTable& exposures,
                                 std::span<const double> weights) {
    if (weights.size() != exposures.rows)
        throw std::invalid_argument("weigh_exposures: one weight per row expected");
    WeightedExposure out{std::vector<double>(exposures.cols, 0.0),
                         FactorTable(exposures.rows, exposures.cols)};
    for (std::size_t r = 0; r < exposures.rows; ++r) {
        for (std::size_t c = 0; c < exposures.cols; ++c) {
            const double v = exposures.at(r, c) * weights[r];
            out.share.at(r, c) = v;
            if (!std::isnan(v)) out.total[c] += v;
        }
    }
    for (std::size_t r = 0; r < exposures.rows; ++r) {
        for (std::size_t c = 0; c < exposures.cols; ++c)
            out.share.at(r, c) /= out.total[c];
    }
    return out;
}

}  // namespace meridan::exposure
