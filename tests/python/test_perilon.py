"""perilon.Risk against a plain numpy reading of the same definitions, on series that
exercise the undefined cases (a single return, constant returns, no losses)."""

import math

import numpy as np
import pandas as pd
import pytest

import perilon

A = 244
NAMES = ["annual_return", "alpha", "beta", "sharpe", "sortino", "max_drawdown", "var",
         "volatility", "tracking_error", "information_ratio", "downside_risk", "calmar",
         "win_rate"]


def reference(r, b, rate, a=A):
    """The definitions written directly in numpy; NaN where a denominator is 0."""
    r, b = np.asarray(r, float), np.asarray(b, float)
    keep = ~(np.isnan(r) | np.isnan(b))
    r, b = r[keep], b[keep]
    n = len(r)
    nan = float("nan")

    def div(x, y):
        return nan if (y == 0 or np.isnan(y)) else x / y

    def std(x):
        return nan if len(x) < 2 else (0.0 if np.ptp(x) == 0 else np.std(x, ddof=1))

    if n == 0:
        return dict.fromkeys(NAMES, nan)
    ann = np.prod(1 + r) ** (a / n) - 1
    ann_b = np.prod(1 + b) ** (a / n) - 1
    var_b = std(b) ** 2
    cov = nan if n < 2 else (0.0 if np.ptp(r) == 0 or np.ptp(b) == 0
                             else np.cov(r, b, ddof=1)[0, 1])
    beta = div(cov, var_b)
    e = r - rate / a
    down = np.sqrt(np.mean(np.minimum(e, 0) ** 2))
    value = np.cumprod(np.concatenate([[1.0], 1 + r]))
    mdd = float(np.max(1 - value / np.maximum.accumulate(value)))
    te = std(r - b) * np.sqrt(a)
    return {
        "annual_return": ann,
        "alpha": ann - (rate + beta * (ann_b - rate)),
        "beta": beta,
        "sharpe": div(np.mean(e), std(e)) * np.sqrt(a),
        "sortino": div(np.mean(e) * a, down * np.sqrt(a)),
        "max_drawdown": mdd,
        "var": -np.percentile(r, 5),
        "volatility": std(r) * np.sqrt(a),
        "tracking_error": te,
        "information_ratio": div(np.mean(r - b) * a, te),
        "downside_risk": down * np.sqrt(a),
        "calmar": div(ann, mdd),
        "win_rate": np.mean(r > b),
    }


rng = np.random.default_rng(3)
noisy = rng.normal(0.0005, 0.015, 300)
bench = 0.8 * noisy + rng.normal(0, 0.005, 300)
gappy = noisy.copy()
gappy[[0, 17, 18, 250]] = np.nan
bench_gappy = bench.copy()
bench_gappy[[5, 18, 299]] = np.nan

SERIES = {
    "noisy year": (noisy, bench, 0.025),
    "missing values both sides": (gappy, bench_gappy, 0.03),
    "single return": ([-0.02], [0.01], 0.025),
    "constant returns": ([0.001] * 20, [0.002] * 20, 0.0),
    "all positive (no downside)": ([0.01, 0.02, 0.005, 0.03], [0.0, 0.01, 0.02, -0.01], 0.0),
    "first-day loss": ([-0.1, 0.05, 0.02, -0.03, 0.01], [0.01, 0.0, 0.01, -0.01, 0.02], 0.02),
    "benchmark against itself": (bench, bench, 0.025),
    "nothing left": ([np.nan, 0.01], [0.01, np.nan], 0.02),
}


@pytest.mark.parametrize("name", SERIES)
def test_figures_match_the_definitions(name):
    r, b, rate = SERIES[name]
    risk = perilon.Risk(r, b, rate)
    expected = reference(r, b, rate)
    for attr in NAMES:
        got = getattr(risk, attr)
        assert type(got) is float, attr
        if math.isnan(expected[attr]):
            assert math.isnan(got), (attr, got)
        else:
            assert got == pytest.approx(expected[attr], rel=1e-9, abs=1e-12), attr


def test_hand_checked_figures():
    risk = perilon.Risk([0.01, -0.01, 0.02], [0.0, 0.01, 0.01], 0.0, annualization=3)
    assert risk.annual_return == pytest.approx(1.01 * 0.99 * 1.02 - 1)
    assert risk.max_drawdown == pytest.approx(0.01)
    assert risk.var == pytest.approx(0.008)       # 5th percentile: -0.01 + 0.1 * 0.02
    assert risk.sortino == pytest.approx(2.0)     # (0.02 / 3 * 3) / (sqrt(1e-4 / 3) * sqrt(3))
    assert risk.win_rate == pytest.approx(2 / 3)
    one = perilon.Risk([-0.05], [0.01], 0.03)
    assert one.max_drawdown == pytest.approx(0.05)   # the first day's loss counts
    assert math.isnan(one.sharpe) and math.isnan(one.beta)


@pytest.mark.parametrize("convert", [np.asarray, list, pd.Series,
                                     lambda x: pd.Series(x, index=range(10, 10 + len(x))),
                                     lambda x: pd.Series(x, dtype="Float64")])
def test_arrays_series_and_lists_read_alike(convert):
    r, b, rate = SERIES["missing values both sides"]
    expected = vars(perilon.Risk(np.asarray(r), np.asarray(b), rate))
    got = vars(perilon.Risk(convert(list(r)), convert(list(b)), rate))
    assert got.keys() == expected.keys()
    np.testing.assert_array_equal(list(got.values()), list(expected.values()))


def test_inputs_are_not_changed():
    r, b = gappy.copy(), pd.Series(bench_gappy)
    perilon.Risk(r, b, 0.02)
    np.testing.assert_array_equal(r, gappy)
    np.testing.assert_array_equal(b.to_numpy(), bench_gappy)


@pytest.mark.parametrize("args, error, text", [
    (([0.1, 0.2], [0.1], 0.0), ValueError, "differ in length: 2 and 1"),
    (([[0.1, 0.2]], [[0.1, 0.2]], 0.0), ValueError, "returns must be one-dimensional"),
    (([0.1], [0.1], None), TypeError, "risk_free_rate must be a number, got None"),
    (([0.1], [0.1], 0.0, 0), ValueError, "annualization must be a positive number"),
    (([0.1], [0.1], 0.0, float("inf")), ValueError, "got inf"),
])
def test_bad_inputs_name_the_value(args, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(")):
        perilon.Risk(*args)


INF = math.inf


@pytest.mark.parametrize("r, b, undefined", [
    # An infinite return leaves every figure undefined (a return of -inf once gave an
    # annual return of +inf).
    ([0.01, -INF, 0.02], [0.0, 0.01, 0.0], "all"),
    ([0.01, INF, 0.02], [0.0, 0.01, 0.0], "all"),
    # An infinite benchmark return: only the comparisons with it.
    ([0.01, 0.02, -0.01], [0.0, INF, 0.01],
     ["alpha", "beta", "tracking_error", "information_ratio", "win_rate"]),
    # Finite returns whose growth overflows a float (constant: no deviation either).
    ([1e200, 1e200], [0.01, -0.01],
     ["annual_return", "alpha", "sharpe", "sortino", "information_ratio", "calmar"]),
])
def test_non_finite_returns_give_nan_never_infinity(r, b, undefined):
    risk = perilon.Risk(r, b, 0.02)
    names = ["annual_return", "alpha", "beta", "sharpe", "sortino", "max_drawdown", "var",
             "volatility", "tracking_error", "information_ratio", "downside_risk", "calmar",
             "win_rate"]
    figures = {name: getattr(risk, name) for name in names}
    assert not any(math.isinf(v) for v in figures.values()), figures
    expected = names if undefined == "all" else undefined
    assert [n for n in names if math.isnan(figures[n])] == [n for n in names if n in expected]
