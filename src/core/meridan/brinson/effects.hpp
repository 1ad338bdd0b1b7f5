// Attribution effects per sector row from the portfolio's and the benchmark's
// weights and returns, and the attribution table with its total row.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace meridan::brinson {

enum class Method {
    // Brinson-Hood-Beebower: notional portfolios Q1 = w_b r_b, Q2 = w_p r_b,
    // Q3 = w_b r_p, Q4 = w_p r_p; allocation Q2 - Q1, selection Q3 - Q1,
    // interaction Q4 - Q3 - Q2 + Q1.
    BHB,
    // Brinson-Fachler: allocation measured against the benchmark's total return R_b,
    // (w_p - w_b)(r_b - R_b); selection w_b (r_p - r_b); interaction
    // (w_p - w_b)(r_p - r_b).
    BrinsonFachler,
};

struct Effects {
    std::vector<double> allocation;
    std::vector<double> selection;
    std::vector<double> interaction;
    std::vector<double> total;  // allocation + selection + interaction
};

/// Effects per row; all four inputs have one entry per row.
Effects attribution_effects(std::span<const double> wp, std::span<const double> wb,
                            std::span<const double> rp, std::span<const double> rb,
                            Method method);

/// Columns of the attribution table, in order.
inline constexpr std::size_t kTableColumns = 10;

/// The attribution table, row-major, `rows + 1` rows of `kTableColumns` cells: the
/// sector rows, then the total row. Columns: portfolio weight, benchmark weight,
/// weight difference, portfolio return, benchmark return, return difference,
/// allocation, selection, interaction, total active return. The total row sums each
/// column except: weight difference 0; the two returns are the weighted sums
/// sum(w r) (total returns), their difference the difference of those.
std::vector<double> attribution_table(std::span<const double> wp,
                                      std::span<const double> wb,
                                      std::span<const double> rp,
                                      std::span<const double> rb, Method method);

}  // namespace meridan::brinson
