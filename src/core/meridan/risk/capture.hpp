// How a portfolio follows its benchmark's rises and falls (up and down capture), and
// how steadily its value grows (stability). Inputs hold no NaN (the caller drops
// missing days); a figure undefined for the input is NaN.
#pragma once

#include <span>

namespace meridan::risk {

/// On the days the benchmark rose (`b` > 0, with `rising`) or fell (`b` < 0), the
/// annual return of `r` over those days, (Π(1 + r))^(A/k) − 1 for k days and
/// A = `annualization`, over the benchmark's on the same days. NaN when there is
/// no such day or the benchmark's annual return over them is 0.
double capture(std::span<const double> r, std::span<const double> b, bool rising,
               double annualization);

/// R² of the least-squares line through (i, log Π_{k<=i}(1 + r_k)), i = 0 … n − 1:
/// 1 for steady compound growth, near 0 for none. NaN for fewer than two days, a
/// value that does not change, or a return of −100 % or less.
double stability(std::span<const double> r);

}  // namespace meridan::risk
