// Share counts scaled by a split ratio: the rounding noise of the multiplication is
// removed, so that a holding scaled by a float ratio can still be sold whole and
// compares equal to the count a statement records.
#pragma once

namespace meridan::brinson {

/// A finite value within 1e-6 of a whole number becomes that whole number
/// (700 x 1.4 gives 980.0, not 979.9999999999999); anything else is returned as it
/// is, NaN and the infinities included.
double whole_if_close(double quantity);

/// `quantity` scaled by a split `coefficient`, through `whole_if_close`.
double split_quantity(double quantity, double coefficient);

}  // namespace meridan::brinson
