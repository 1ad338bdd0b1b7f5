#include "meridan/brinson/attribution.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "meridan/brinson/linking.hpp"
#include "meridan/series/reductions.hpp"

namespace meridan::brinson {

namespace {

using series::skipna_sum;

// x y, a missing product counting as 0 (a stock without a return earns nothing).
double product(double x, double y) {
    const double p = x * y;
    return std::isnan(p) ? 0.0 : p;
}

// ln((1+r)/(1+b)) / (r - b), written as log1p(x) / (x (1+b)) with x = (r-b)/(1+b) so
// that nearly equal returns lose no precision; 1/(1+b) when they are equal.
double carino_factor(double r, double b) {
    const double x = (r - b) / (1.0 + b);
    if (x == 0.0) return 1.0 / (1.0 + b);
    return std::log1p(x) / (x * (1.0 + b));
}

// ((R-B)/T) / ((1+R)^(1/T) - (1+B)^(1/T)), the denominator written as
// (1+B)^(1/T) expm1(log1p(x)/T) with x = (R-B)/(1+B) for the same reason.
double menchero_factor(double r, double b, double periods) {
    const double x = (r - b) / (1.0 + b);
    const double root_b = std::pow(1.0 + b, 1.0 / periods);
    if (x == 0.0) return (1.0 + b) / root_b;
    return (r - b) / (periods * root_b * std::expm1(std::log1p(x) / periods));
}

// Coefficients c_t with linked = sum_t c_t value_t, for the linkings that have them.
std::vector<double> coefficients(std::span<const double> rp, std::span<const double> rb,
                                 Linking how) {
    const std::size_t t_count = rp.size();
    std::vector<double> c(t_count, 0.0);
    const double r = compound(rp);
    const double b = compound(rb);
    switch (how) {
        case Linking::carino: {
            const double k = carino_factor(r, b);
            for (std::size_t t = 0; t < t_count; ++t)
                c[t] = carino_factor(rp[t], rb[t]) / k;
            break;
        }
        case Linking::menchero: {
            const double m = menchero_factor(r, b, static_cast<double>(t_count));
            double active = 0.0;
            double squares = 0.0;
            for (std::size_t t = 0; t < t_count; ++t) {
                active += rp[t] - rb[t];
                squares += (rp[t] - rb[t]) * (rp[t] - rb[t]);
            }
            const double spread = squares == 0.0 ? 0.0 : (r - b - m * active) / squares;
            for (std::size_t t = 0; t < t_count; ++t)
                c[t] = m + spread * (rp[t] - rb[t]);
            break;
        }
        case Linking::grap: {
            double before = 1.0;  // prod_{j<t}(1+R_j)
            for (std::size_t t = 0; t < t_count; ++t) {
                double after = 1.0;  // prod_{j>t}(1+B_j)
                for (std::size_t j = t + 1; j < t_count; ++j) after *= 1.0 + rb[j];
                c[t] = before * after;
                before *= 1.0 + rp[t];
            }
            break;
        }
        default:
            throw std::invalid_argument(
                "coefficients: no coefficients for this linking");
    }
    return c;
}

// The runs of a period's benchmark as one result: weights averaged over the runs by
// length and normalised to 1, returns linked by growth and rescaled to `target`; the
// holdings alike, with the runs' growth and the same normalisation and rescaling.
std::pair<SectorResult, SectorResult> benchmark_period(
    std::span<const BenchmarkRun> runs, double target) {
    if (runs.empty())
        throw std::invalid_argument("attribute: a period without benchmark");
    std::vector<SectorResult> sectors;
    std::vector<double> lengths;
    for (const BenchmarkRun& run : runs) {
        sectors.push_back(run.sectors);
        lengths.push_back(run.length);
    }
    SectorResult out = link_periods(sectors, lengths);
    const double total_weight = skipna_sum(out.weight);
    const double norm = total_weight == 0.0 ? 1.0 : 1.0 / total_weight;
    for (double& w : out.weight) w *= norm;
    const Rescaling scale = rescale_to(out.weight, out.ret, target);

    const std::size_t h = runs.front().holdings.weight.size();
    SectorResult held{std::vector<double>(h, 0.0), std::vector<double>(h, 0.0)};
    std::vector<double> contribution(h, 0.0);
    double growth = 1.0;
    double total_length = 0.0;
    for (const BenchmarkRun& run : runs) {
        if (run.holdings.weight.size() != h || run.holdings.ret.size() != h)
            throw std::invalid_argument("attribute: benchmark runs differ in size");
        total_length += run.length;
        for (std::size_t i = 0; i < h; ++i) {
            if (!std::isnan(run.holdings.weight[i]))
                held.weight[i] += run.length * run.holdings.weight[i];
            contribution[i] +=
                growth * product(run.holdings.weight[i], run.holdings.ret[i]);
        }
        growth *= 1.0 + weighted_sum(run.sectors.weight, run.sectors.ret);
    }
    for (std::size_t i = 0; i < h; ++i) {
        const double average = held.weight[i] / total_length;
        held.ret[i] = average == 0.0 ? 0.0 : scale.apply(contribution[i] / average);
        held.weight[i] = average * norm;
    }
    return {std::move(out), std::move(held)};
}

void check_sizes(const SectorResult& r, std::size_t n, const char* what) {
    if (r.weight.size() != n || r.ret.size() != n)
        throw std::invalid_argument(std::string("attribute: ") + what +
                                    " differ in size");
}

// Effects per row of each period, one effect (a member of Effects) as a T x n table.
std::vector<double> effect_table(const std::vector<PeriodAttribution>& periods,
                                 std::vector<double> Effects::* effect, std::size_t n) {
    std::vector<double> table;
    table.reserve(periods.size() * n);
    for (const PeriodAttribution& p : periods) {
        const std::vector<double>& row = p.effects.*effect;
        table.insert(table.end(), row.begin(), row.end());
    }
    return table;
}

}  // namespace

std::optional<Linking> linking_named(std::string_view name) {
    if (name == "carino") return Linking::carino;
    if (name == "menchero") return Linking::menchero;
    if (name == "grap") return Linking::grap;
    if (name == "frongello") return Linking::frongello;
    if (name == "scaled") return Linking::scaled;
    return std::nullopt;
}

double compound(std::span<const double> returns) {
    double growth = 1.0;
    for (double r : returns) growth *= 1.0 + r;
    return growth - 1.0;
}

std::vector<double> link_values(std::span<const double> values, std::size_t n,
                                std::span<const double> portfolio,
                                std::span<const double> benchmark, Linking how) {
    const std::size_t t_count = portfolio.size();
    if (benchmark.size() != t_count || values.size() != t_count * n)
        throw std::invalid_argument("link_values: one row and two returns per period");
    std::vector<double> linked(n, 0.0);
    if (how == Linking::scaled)
        throw std::invalid_argument(
            "link_values: scaled linking links weights and returns");
    if (how == Linking::frongello) {
        double before = 1.0;  // prod_{j<t}(1+R_j)
        for (std::size_t t = 0; t < t_count; ++t) {
            for (std::size_t j = 0; j < n; ++j)
                linked[j] += values[t * n + j] * before + benchmark[t] * linked[j];
            before *= 1.0 + portfolio[t];
        }
        return linked;
    }
    const std::vector<double> c = coefficients(portfolio, benchmark, how);
    for (std::size_t t = 0; t < t_count; ++t)
        for (std::size_t j = 0; j < n; ++j) linked[j] += c[t] * values[t * n + j];
    return linked;
}

Rescaling rescale_to(std::span<const double> weight, std::span<double> ret,
                     double target) {
    const double sum = weighted_sum(weight, ret);
    Rescaling s;
    if (sum != 0.0) {
        s.factor = target / sum;
    } else {
        const double total_weight = skipna_sum(weight);
        if (total_weight == 0.0 || target == 0.0) return s;
        s.shift = target / total_weight;
    }
    for (double& r : ret) r = s.apply(r);
    return s;
}

void unheld_take_benchmark(SectorResult& portfolio, const SectorResult& benchmark) {
    for (std::size_t s = 0; s < portfolio.weight.size(); ++s) {
        if (portfolio.weight[s] == 0.0) portfolio.ret[s] = benchmark.ret[s];
    }
}

Attribution attribute(std::span<const PeriodInput> periods, Method method,
                      Linking how) {
    if (periods.empty()) throw std::invalid_argument("attribute: no period");
    const std::size_t n = periods.front().portfolio.weight.size();
    const std::size_t h = periods.front().holdings.weight.size();
    const std::size_t t_count = periods.size();
    Attribution out;
    std::vector<double> rp(t_count), rb(t_count), lengths(t_count);
    // Per period: the portfolio's and the benchmark's sector and holding results.
    std::vector<SectorResult> p_rows, b_rows, p_held, b_held;
    for (std::size_t t = 0; t < t_count; ++t) {
        const PeriodInput& in = periods[t];
        check_sizes(in.portfolio, n, "sector tables");
        check_sizes(in.holdings, h, "holding lists");
        for (const BenchmarkRun& run : in.benchmark)
            check_sizes(run.sectors, n, "sector tables");
        rp[t] = in.portfolio_return;
        rb[t] = in.benchmark_return;
        lengths[t] = in.length;
        SectorResult p = in.portfolio;
        const Rescaling scale = rescale_to(p.weight, p.ret, rp[t]);
        SectorResult ph = in.holdings;
        for (double& r : ph.ret) r = scale.apply(r);
        auto [b, bh] = benchmark_period(in.benchmark, rb[t]);
        unheld_take_benchmark(p, b);
        PeriodAttribution result{
            p, b, attribution_effects(p.weight, b.weight, p.ret, b.ret, method)};
        out.periods.push_back(std::move(result));
        p_rows.push_back(std::move(p));
        b_rows.push_back(std::move(b));
        p_held.push_back(std::move(ph));
        b_held.push_back(std::move(bh));
    }
    out.portfolio_return = compound(rp);
    out.benchmark_return = compound(rb);

    // The table's weights and returns: averaged and linked over the periods.
    out.portfolio = link_periods(p_rows, lengths);
    out.benchmark = link_periods(b_rows, lengths);
    normalise_weights(out.portfolio.weight);
    normalise_weights(out.benchmark.weight);
    rescale_to(out.portfolio.weight, out.portfolio.ret, out.portfolio_return);
    rescale_to(out.benchmark.weight, out.benchmark.ret, out.benchmark_return);
    unheld_take_benchmark(out.portfolio, out.benchmark);

    // Per-period holding contributions, T x h.
    std::vector<double> contribution(t_count * h), active(t_count * h);
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t i = 0; i < h; ++i) {
            const double w = p_held[t].weight[i];
            const double wb = b_held[t].weight[i];
            const double r = w != 0.0 ? p_held[t].ret[i] : b_held[t].ret[i];
            contribution[t * h + i] = product(w, p_held[t].ret[i]);
            active[t * h + i] = product(w - wb, r - rb[t]);
        }
    }

    // Each holding's contribution to the portfolio's return, whatever the linking of
    // the effects: each period's scaled by the portfolio's growth over the periods
    // before, so that they add up to the compound portfolio return (the coefficients
    // of an active-return linking would not).
    out.contribution.assign(h, 0.0);
    double p_growth = 1.0;
    for (std::size_t t = 0; t < t_count; ++t) {
        for (std::size_t i = 0; i < h; ++i)
            out.contribution[i] += p_growth * contribution[t * h + i];
        p_growth *= 1.0 + rp[t];
    }

    if (how != Linking::scaled) {
        for (auto effect :
             {&Effects::allocation, &Effects::selection, &Effects::interaction}) {
            out.effects.*effect =
                link_values(effect_table(out.periods, effect, n), n, rp, rb, how);
        }
        out.effects.total.resize(n);
        for (std::size_t s = 0; s < n; ++s)
            out.effects.total[s] = out.effects.allocation[s] +
                                   out.effects.selection[s] +
                                   out.effects.interaction[s];
        out.active_contribution = link_values(active, h, rp, rb, how);
        return out;
    }

    out.effects = attribution_effects(out.portfolio.weight, out.benchmark.weight,
                                      out.portfolio.ret, out.benchmark.ret, method);
    // Holdings as the table's rows: weights averaged by length, the active part
    // taken once on the averaged weights and linked returns.
    out.active_contribution.assign(h, 0.0);
    std::vector<double> w_avg(h, 0.0), wb_avg(h, 0.0), b_contribution(h, 0.0);
    double b_growth = 1.0, total_length = 0.0;
    for (std::size_t t = 0; t < t_count; ++t) {
        total_length += lengths[t];
        for (std::size_t i = 0; i < h; ++i) {
            b_contribution[i] +=
                b_growth * product(b_held[t].weight[i], b_held[t].ret[i]);
            w_avg[i] += lengths[t] * p_held[t].weight[i];
            wb_avg[i] += lengths[t] * b_held[t].weight[i];
        }
        b_growth *= 1.0 + rb[t];
    }
    for (std::size_t i = 0; i < h; ++i) {
        const double w = w_avg[i] / total_length;
        const double wb = wb_avg[i] / total_length;
        const double r = w != 0.0    ? out.contribution[i] / w
                         : wb != 0.0 ? b_contribution[i] / wb
                                     : 0.0;
        out.active_contribution[i] = product(w - wb, r - out.benchmark_return);
    }
    return out;
}

}  // namespace meridan::brinson
