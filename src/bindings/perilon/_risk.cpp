// perilon._risk: the risk figures of a daily return series against a benchmark, as
// attributes of a `Risk` object computed by the C++ core: the common ones once, on
// construction; the figures of the distribution's shape and of capture, which cost
// a sort or a logarithm per day, on first access (or per call, for those that take
// a parameter), from a copy of the returns kept with the object.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/array_input.hpp"
#include "common/convert.hpp"
#include "common/named.hpp"
#include "common/names.hpp"
#include "common/numpy_interface.hpp"
#include "common/pyclass.hpp"
#include "meridan/risk/capture.hpp"
#include "meridan/risk/distribution.hpp"
#include "meridan/risk/figures.hpp"
#include "meridan/risk/kernels.hpp"

namespace py = pybind11;

namespace {

std::span<const double> as_span(const py::array_t<double>& a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

// A plain real number from any object Python can turn into a float (int, float,
// numpy scalar, Decimal), or a TypeError naming the argument and the value.
double real_number(const py::object& value, const char* what) {
    return meridan::bind::to_double(value, what);
}

// What the figures computed on demand read: the returns as given, copied into arrays
// of their own (so that a caller's array changed later does not change them, and the
// object still pickles and copies as it did), the rate and the year's length. The
// tuple kept on the object holds the arrays while they are read.
struct RiskInput {
    py::object held;
    std::span<const double> r;
    std::span<const double> b;
    double rate;
    double annualization;
};

// The pairs of days where both returns are known, and whether each side is finite
// throughout (an infinite return leaves every figure that reads it undefined).
struct Days {
    meridan::risk::ReturnPairs pairs;
    bool r_finite = true;
    bool b_finite = true;
};

Days days_of(const RiskInput& in) {
    Days d{meridan::risk::drop_missing_pairs(in.r, in.b)};
    for (double v : d.pairs.r) d.r_finite = d.r_finite && std::isfinite(v);
    for (double v : d.pairs.b) d.b_finite = d.b_finite && std::isfinite(v);
    return d;
}

py::object figure(double x) {
    return py::float_(std::isfinite(x) ? x : std::numeric_limits<double>::quiet_NaN());
}

double confidence_level(const py::object& value) {
    const double c = real_number(value, "confidence");
    if (!(c > 0.0 && c < 1.0)) {
        throw py::value_error("confidence must lie strictly between 0 and 1, got " +
                              py::str(value).cast<std::string>());
    }
    return c;
}

constexpr const char* kRiskDoc =
    "Risk figures of daily returns against a benchmark's daily returns of the same\n"
    "days: the attributes listed first are computed once when the object is built,\n"
    "the others when first read.\n\n"
    "returns, benchmark_returns: daily returns as fractions (0.01 is 1 %), numpy\n"
    "    arrays, pandas Series (only the values are read) or lists of equal length.\n"
    "    A day where either value is missing (NaN, None) is left out of every figure;\n"
    "    n below is the number of days left.\n"
    "risk_free_rate: the annual risk-free rate as a fraction (0.025 is 2.5 %).\n"
    "annualization: trading days in a year, A (244 on the A-share market). The daily\n"
    "    risk-free rate is rf_d = risk_free_rate / A.\n\n"
    "Attributes (Python floats; NaN when a figure is undefined for the data: no days,\n"
    "one day for a standard deviation, a zero variance or deviation in a\n"
    "denominator):\n"
    "annual_return: (prod(1 + r)) ** (A / n) - 1, the compound return over a year.\n"
    "beta: cov(r, b) / var(b), sample estimates (ddof 1).\n"
    "alpha: Jensen's alpha, annual_return - (rate + beta * (annual return of b -\n"
    "    rate)).\n"
    "sharpe: mean(r - rf_d) / std(r - rf_d, ddof 1) * sqrt(A).\n"
    "sortino: mean(r - rf_d) * A / downside_risk, where downside_risk =\n"
    "    sqrt(mean(min(r - rf_d, 0) ** 2)) * sqrt(A), the mean taken over all n days.\n"
    "max_drawdown: the largest fall of the compounded value (1 before the first\n"
    "    day) from its running peak, a positive fraction (0.2 for a 20 % fall).\n"
    "var: one-day historical value at risk at 95 %: minus the 5th percentile of r\n"
    "    (linear interpolation), a loss as a positive fraction.\n"
    "volatility: std(r, ddof 1) * sqrt(A).\n"
    "tracking_error: std(r - b, ddof 1) * sqrt(A).\n"
    "information_ratio: mean(r - b) * A / tracking_error.\n"
    "downside_risk: as above, the annualised deviation below the risk-free rate.\n"
    "calmar: annual_return / max_drawdown.\n"
    "win_rate: the share of the n days on which r is above b.\n\n"
    "Computed on first access (the same definitions of n, A and rf_d):\n"
    "skewness: population skewness of r, m3 / m2 ** 1.5 with m_k = mean((r -\n"
    "    mean(r)) ** k).\n"
    "kurtosis: population excess kurtosis of r, m4 / m2 ** 2 - 3 (0 for a normal\n"
    "    distribution).\n"
    "up_capture: over the days on which b rose (b > 0), the annual return of r\n"
    "    ((prod(1 + r)) ** (A / k) - 1 over those k days) over that of b.\n"
    "down_capture: the same over the days on which b fell (b < 0).\n"
    "tail_ratio: the 95th percentile of r over the absolute value of its 5th (linear\n"
    "    interpolation).\n"
    "stability: R squared of the least-squares line through the log of the\n"
    "    compounded value, log(prod(1 + r[:i + 1])), against the day number i =\n"
    "    0 .. n - 1.\n"
    "Methods: value_at_risk(confidence=0.95), expected_shortfall(confidence=0.95),\n"
    "omega(threshold=None).";

constexpr const char* kValueAtRiskDoc =
    "One-day historical value at risk: minus the (1 - confidence) quantile of the\n"
    "returns (linear interpolation between order statistics, numpy's default), a\n"
    "loss as a positive fraction. confidence lies strictly between 0 and 1;\n"
    "value_at_risk(0.95) equals `var`. NaN without returns.";

constexpr const char* kShortfallDoc =
    "One-day expected shortfall: minus the mean of the returns at or below the\n"
    "(1 - confidence) quantile (linear interpolation), the average loss on the days\n"
    "at or beyond the value at risk, a positive fraction for a loss. confidence lies\n"
    "strictly between 0 and 1. NaN without returns.";

constexpr const char* kOmegaDoc =
    "Omega ratio about a daily `threshold` (a fraction; None: the daily risk-free\n"
    "rate rf_d = risk_free_rate / A): sum(max(r - threshold, 0)) /\n"
    "sum(max(threshold - r, 0)), the gains above the threshold per unit of losses\n"
    "below it. NaN when no return lies below the threshold.";

// Figures read lazily, each a function of the days and the input.
struct LazyFigure {
    const char* name;
    const char* doc;
    std::function<double(const Days&, const RiskInput&)> compute;
    bool reads_benchmark;
};

const std::vector<LazyFigure>& lazy_figures() {
    namespace mr = meridan::risk;
    static const std::vector<LazyFigure> figures{
        {"skewness", "Population skewness of the returns (see the class).",
         [](const Days& d, const RiskInput&) { return mr::skewness(d.pairs.r); },
         false},
        {"kurtosis", "Population excess kurtosis of the returns (see the class).",
         [](const Days& d, const RiskInput&) { return mr::kurtosis(d.pairs.r); },
         false},
        {"up_capture",
         "Annual return over the benchmark's rising days, over the "
         "benchmark's (see the class).",
         [](const Days& d, const RiskInput& in) {
             return mr::capture(d.pairs.r, d.pairs.b, true, in.annualization);
         },
         true},
        {"down_capture",
         "Annual return over the benchmark's falling days, over the "
         "benchmark's (see the class).",
         [](const Days& d, const RiskInput& in) {
             return mr::capture(d.pairs.r, d.pairs.b, false, in.annualization);
         },
         true},
        {"tail_ratio",
         "95th percentile of the returns over the absolute 5th (see "
         "the class).",
         [](const Days& d, const RiskInput&) { return mr::tail_ratio(d.pairs.r); },
         false},
        {"stability",
         "R squared of the log compounded value on the day number (see "
         "the class).",
         [](const Days& d, const RiskInput&) { return mr::stability(d.pairs.r); },
         false},
    };
    return figures;
}

}  // namespace

PYBIND11_MODULE(_risk, m) {
    m.doc() = "Risk figures of a daily return series against a benchmark.";
    meridan::bind::prepare_numpy();
    py::object cls = meridan::bind::make_class(
        m, "Risk", py::tuple(), kRiskDoc,
        "Risk(returns, benchmark_returns, risk_free_rate, annualization=244)",
        {"_input"});
    py::setattr(cls, "__module__", py::str("perilon"));
    const meridan::bind::Slot input_slot(cls, "_input");
    // The copy of the input the lazy figures read, or TypeError for an object whose
    // __init__ never ran.
    auto input_of = [input_slot](const py::object& self) {
        PyObject* held = input_slot.get(self);
        if (!held) throw py::type_error("Risk object was not initialised");
        const auto t = py::reinterpret_borrow<py::tuple>(held);
        const auto r = t[0].cast<py::array_t<double>>();
        const auto b = t[1].cast<py::array_t<double>>();
        return RiskInput{t, as_span(r), as_span(b), t[2].cast<double>(),
                         t[3].cast<double>()};
    };

    meridan::bind::def_method(
        cls,
        {"__init__",
         {"self", "returns", "benchmark_returns", "risk_free_rate", "annualization"},
         {py::int_(244)}},
        "Computes every figure of `returns` against `benchmark_returns` (see the "
        "class).",
        meridan::bind::named<5>([input_slot](const py::object& self,
                                             const py::object& returns,
                                             const py::object& benchmark_returns,
                                             const py::object& risk_free_rate,
                                             const py::object& annualization) {
            const auto r = meridan::bind::float_array(returns, "returns");
            const auto b =
                meridan::bind::float_array(benchmark_returns, "benchmark_returns");
            if (r.size() != b.size()) {
                throw py::value_error(
                    "returns and benchmark_returns differ in length: " +
                    std::to_string(r.size()) + " and " + std::to_string(b.size()));
            }
            const double rate = real_number(risk_free_rate, "risk_free_rate");
            const double periods = real_number(annualization, "annualization");
            if (!(periods > 0.0) || !std::isfinite(periods)) {
                throw py::value_error(
                    "annualization must be a positive number of days a year, got " +
                    py::str(annualization).cast<std::string>());
            }
            const meridan::risk::RiskFigures f =
                meridan::risk::risk_figures(as_span(r), as_span(b), rate, periods);
            meridan::bind::setattr<"annual_return">(self, py::float_(f.annual_return));
            meridan::bind::setattr<"alpha">(self, py::float_(f.alpha));
            meridan::bind::setattr<"beta">(self, py::float_(f.beta));
            meridan::bind::setattr<"sharpe">(self, py::float_(f.sharpe));
            meridan::bind::setattr<"sortino">(self, py::float_(f.sortino));
            meridan::bind::setattr<"max_drawdown">(self, py::float_(f.max_drawdown));
            meridan::bind::setattr<"var">(self, py::float_(f.var));
            meridan::bind::setattr<"volatility">(self, py::float_(f.volatility));
            meridan::bind::setattr<"tracking_error">(self,
                                                     py::float_(f.tracking_error));
            meridan::bind::setattr<"information_ratio">(
                self, py::float_(f.information_ratio));
            meridan::bind::setattr<"downside_risk">(self, py::float_(f.downside_risk));
            meridan::bind::setattr<"calmar">(self, py::float_(f.calmar));
            meridan::bind::setattr<"win_rate">(self, py::float_(f.win_rate));
            const py::tuple held =
                py::make_tuple(py::array_t<double>(r.size(), r.data()),
                               py::array_t<double>(b.size(), b.data()), rate, periods);
            if (input_slot.get(self)) {
                // Built again: figures read from the former returns are forgotten.
                py::object dict = self.attr("__dict__");
                for (const LazyFigure& lazy : lazy_figures())
                    dict.attr("pop")(lazy.name, py::none());
            }
            input_slot.set(self, held);
            return py::none();
        }));

    // Each lazy figure is a method wrapped in functools.cached_property: computed on
    // the first read, then found in the instance's __dict__ like the other figures.
    py::object cached_property =
        py::module_::import("functools").attr("cached_property");
    for (const LazyFigure& lazy : lazy_figures()) {
        meridan::bind::def_method(
            cls, {lazy.name, {"self"}, {}}, lazy.doc,
            meridan::bind::named<5>(
                [input_of, &lazy](const py::object& self, const py::object& /*returns*/,
                                  const py::object& /*benchmark_returns*/,
                                  const py::object& /*risk_free_rate*/,
                                  const py::object& /*annualization*/) {
                    const RiskInput in = input_of(self);
                    const Days d = days_of(in);
                    if (!d.r_finite || (lazy.reads_benchmark && !d.b_finite))
                        return figure(std::numeric_limits<double>::quiet_NaN());
                    return figure(lazy.compute(d, in));
                }));
        py::object property = cached_property(cls.attr(lazy.name));
        property.attr("__set_name__")(cls, lazy.name);
        py::setattr(cls, lazy.name, property);
    }

    meridan::bind::def_method(
        cls, {"value_at_risk", {"self", "confidence"}, {py::float_(0.95)}},
        kValueAtRiskDoc,
        meridan::bind::named<2>(
            [input_of](const py::object& self, const py::object& confidence) {
                const double c = confidence_level(confidence);
                const Days d = days_of(input_of(self));
                if (!d.r_finite) return figure(std::nan(""));
                return figure(meridan::risk::value_at_risk(d.pairs.r, c));
            }));
    meridan::bind::def_method(
        cls, {"expected_shortfall", {"self", "confidence"}, {py::float_(0.95)}},
        kShortfallDoc,
        meridan::bind::named<2>(
            [input_of](const py::object& self, const py::object& confidence) {
                const double c = confidence_level(confidence);
                const Days d = days_of(input_of(self));
                if (!d.r_finite) return figure(std::nan(""));
                return figure(meridan::risk::expected_shortfall(d.pairs.r, c));
            }));
    meridan::bind::def_method(
        cls, {"omega", {"self", "threshold"}, {py::none()}}, kOmegaDoc,
        meridan::bind::named<2>([input_of](const py::object& self,
                                           const py::object& given) {
            const RiskInput in = input_of(self);
            const double threshold = given.is_none() ? in.rate / in.annualization
                                                     : real_number(given, "threshold");
            const Days d = days_of(in);
            if (!d.r_finite || !std::isfinite(threshold)) return figure(std::nan(""));
            return figure(meridan::risk::omega(d.pairs.r, threshold));
        }));
}
