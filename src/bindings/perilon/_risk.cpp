// perilon._risk: the risk figures of a daily return series against a benchmark, as
// attributes of a `Risk` object computed once, on construction, by the C++ core.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <span>
#include <string>

#include "common/args.hpp"
#include "common/array_input.hpp"
#include "common/pyclass.hpp"
#include "meridan/risk/figures.hpp"

namespace py = pybind11;

namespace {

std::span<const double> as_span(const py::array_t<double>& a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

// A plain real number from any object Python can turn into a float (int, float,
// numpy scalar, Decimal), or a TypeError naming the argument and the value.
double real_number(const py::object& value, const char* what) {
    const double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::type_error(std::string(what) + " must be a number, got " +
                             py::repr(value).cast<std::string>());
    }
    return x;
}

constexpr const char* kRiskDoc =
    "Risk figures of daily returns against a benchmark's daily returns of the same\n"
    "days, computed once when the object is built.\n\n"
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
    "win_rate: the share of the n days on which r is above b.";

}  // namespace

PYBIND11_MODULE(_risk, m) {
    m.doc() = "Risk figures of a daily return series against a benchmark.";
    py::object cls = meridan::bind::make_class(
        m, "Risk", py::tuple(), kRiskDoc,
        "Risk(returns, benchmark_returns, risk_free_rate, annualization=244)");
    py::setattr(cls, "__module__", py::str("perilon"));

    meridan::bind::def_method(
        cls,
        {"__init__",
         {"self", "returns", "benchmark_returns", "risk_free_rate", "annualization"},
         {py::int_(244)}},
        "Computes every figure of `returns` against `benchmark_returns` (see the "
        "class).",
        [](meridan::bind::Args a) {
            const auto r = meridan::bind::float_array(a[1], "returns");
            const auto b = meridan::bind::float_array(a[2], "benchmark_returns");
            if (r.size() != b.size()) {
                throw py::value_error(
                    "returns and benchmark_returns differ in length: " +
                    std::to_string(r.size()) + " and " + std::to_string(b.size()));
            }
            const double rate = real_number(a[3], "risk_free_rate");
            const double periods = real_number(a[4], "annualization");
            if (!(periods > 0.0) || !std::isfinite(periods)) {
                throw py::value_error(
                    "annualization must be a positive number of days a year, got " +
                    py::str(a[4]).cast<std::string>());
            }
            const meridan::risk::RiskFigures f =
                meridan::risk::risk_figures(as_span(r), as_span(b), rate, periods);
            const py::object& self = a[0];
            py::setattr(self, "annual_return", py::float_(f.annual_return));
            py::setattr(self, "alpha", py::float_(f.alpha));
            py::setattr(self, "beta", py::float_(f.beta));
            py::setattr(self, "sharpe", py::float_(f.sharpe));
            py::setattr(self, "sortino", py::float_(f.sortino));
            py::setattr(self, "max_drawdown", py::float_(f.max_drawdown));
            py::setattr(self, "var", py::float_(f.var));
            py::setattr(self, "volatility", py::float_(f.volatility));
            py::setattr(self, "tracking_error", py::float_(f.tracking_error));
            py::setattr(self, "information_ratio", py::float_(f.information_ratio));
            py::setattr(self, "downside_risk", py::float_(f.downside_risk));
            py::setattr(self, "calmar", py::float_(f.calmar));
            py::setattr(self, "win_rate", py::float_(f.win_rate));
            return py::none();
        });
}
