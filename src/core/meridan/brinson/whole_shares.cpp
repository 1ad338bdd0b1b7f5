#include "meridan/brinson/whole_shares.hpp"

#include <cmath>

namespace meridan::brinson {

double whole_if_close(double quantity) {
    const double whole = std::nearbyint(quantity);
    if (std::isfinite(quantity) && quantity != whole &&
        std::fabs(quantity - whole) <= 1e-6)
        return whole;
    return quantity;
}

double split_quantity(double quantity, double coefficient) {
    return whole_if_close(quantity * coefficient);
}

}  // namespace meridan::brinson
