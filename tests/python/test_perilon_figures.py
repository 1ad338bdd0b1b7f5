"""perilon.Risk's figures of the distribution's shape, capture and stability: values
worked by hand on a five-day series (r = 2 %, -1 %, 3 %, -4 %, 0 %: mean 0, so the
central moments are plain sums of powers), closed forms, the undefined cases, and that
they are computed only when read."""

import math

import numpy as np
import pandas as pd
import pytest

import perilon

R = [0.02, -0.01, 0.03, -0.04, 0.0]
B = [0.01, -0.02, 0.02, -0.02, 0.0]
NAN = float("nan")
LAZY = ["skewness", "kurtosis", "up_capture", "down_capture", "tail_ratio", "stability"]


@pytest.fixture
def five():
    # A = 2: the annual return over the two rising (falling) days is their compound.
    return perilon.Risk(R, B, 0.0244, annualization=2)


HAND_WORKED = [
    # 5th percentile: h = 4 * 0.05 = 0.2 -> -0.04 + 0.2 * 0.03 = -0.034.
    (lambda k: k.value_at_risk(), 0.034),
    (lambda k: k.value_at_risk(0.95), 0.034),
    # Only -4 % lies at or below -3.4 %.
    (lambda k: k.expected_shortfall(), 0.04),
    # The median is 0: -4 %, -1 % and 0 % lie at or below it.
    (lambda k: k.expected_shortfall(confidence=0.5), 0.05 / 3),
    (lambda k: k.value_at_risk(confidence=0.5), 0.0),
    # m2 = 6e-4, m3 = -6e-6, m4 = 7.08e-7.
    (lambda k: k.skewness, -1 / math.sqrt(6)),
    (lambda k: k.kurtosis, 354 / 180 - 3),
    # Default threshold: rf_d = 0.0244 / 2 = 0.0122: gains 0.0078 + 0.0178, losses
    # 0.0222 + 0.0522 + 0.0122.
    (lambda k: k.omega(), 0.0256 / 0.0866),
    (lambda k: k.omega(0.0), 1.0),
    (lambda k: k.omega(threshold=0.01), 0.03 / 0.08),
    # Rising days (b > 0): r 2 %, 3 % -> 1.0506 against 1.0302; falling: 0.9504 / 0.9604.
    (lambda k: k.up_capture, 0.0506 / 0.0302),
    (lambda k: k.down_capture, 0.0496 / 0.0396),
    # 95th percentile: h = 3.8 -> 0.02 + 0.8 * 0.01 = 0.028.
    (lambda k: k.tail_ratio, 0.028 / 0.034),
]


@pytest.mark.parametrize("figure, expected", HAND_WORKED)
def test_hand_worked_figures(five, figure, expected):
    got = figure(five)
    assert type(got) is float
    assert got == pytest.approx(expected, rel=1e-12, abs=1e-15)


def test_var_is_unchanged_and_agrees(five):
    assert five.var == five.value_at_risk()


@pytest.mark.parametrize("returns, expected", [
    # log values 0, c, 3c on days 0, 1, 2: R squared = 9c^2 / (2 * 42c^2 / 9).
    ([0.0, math.expm1(0.02), math.expm1(0.04)], 27 / 28),
    ([math.expm1(0.01)] * 6, 1.0),
    ([math.expm1(0.02), math.expm1(-0.02), math.expm1(0.02)], 0.0),
])
def test_stability(returns, expected):
    got = perilon.Risk(returns, returns, 0.0).stability
    assert got == pytest.approx(expected, abs=1e-12)


def test_closed_forms_on_large_samples():
    # A two-point law +-x: skewness 0, excess kurtosis -2; a uniform one: -1.2.
    two = perilon.Risk([0.01, -0.01] * 50, [0.0] * 100, 0.0)
    assert two.skewness == pytest.approx(0.0, abs=1e-12)
    assert two.kurtosis == pytest.approx(-2.0, abs=1e-12)
    grid = np.linspace(-0.05, 0.05, 100001)
    uniform = perilon.Risk(grid, grid, 0.0)
    assert uniform.kurtosis == pytest.approx(-1.2, abs=1e-4)
    assert uniform.tail_ratio == pytest.approx(1.0, abs=1e-12)
    # ES of a uniform tail: the mean of the lowest 5 %, the middle of [-0.05, -0.045].
    assert uniform.expected_shortfall() == pytest.approx(0.0475, abs=1e-6)


UNDEFINED = [
    ([], [], LAZY),
    ([0.01], [0.02], ["skewness", "kurtosis", "down_capture", "stability"]),
    ([0.01, 0.01, 0.01], [0.01, 0.02, 0.03], ["skewness", "kurtosis", "down_capture"]),
    ([0.01, np.inf, 0.0], [0.01, 0.02, -0.01], LAZY),
    ([0.01, -0.02, 0.0], [0.01, np.inf, -0.01], ["up_capture", "down_capture"]),
    ([0.01, 0.02, -0.01], [0.0, 0.0, 0.0], ["up_capture", "down_capture"]),
]


@pytest.mark.parametrize("r, b, undefined", UNDEFINED)
def test_undefined_figures_are_nan(r, b, undefined):
    k = perilon.Risk(r, b, 0.0)
    for name in undefined:
        assert math.isnan(getattr(k, name)), name
    for name in set(LAZY) - set(undefined):
        assert math.isfinite(getattr(k, name)), name


def test_methods_on_no_data_and_infinite_returns():
    for r in ([], [0.01, np.inf]):
        k = perilon.Risk(r, [0.0] * len(r), 0.0)
        assert math.isnan(k.value_at_risk())
        assert math.isnan(k.expected_shortfall())
        assert math.isnan(k.omega())
    # Nothing below the threshold.
    assert math.isnan(perilon.Risk([0.01, 0.02], [0.0, 0.0], 0.0).omega())


def test_missing_days_are_dropped_pairwise():
    k = perilon.Risk(R + [NAN, 0.5], B + [0.3, None], 0.0244, annualization=2)
    assert k.skewness == pytest.approx(-1 / math.sqrt(6), rel=1e-12)
    assert k.up_capture == pytest.approx(0.0506 / 0.0302, rel=1e-12)
    assert k.value_at_risk() == pytest.approx(0.034, rel=1e-12)


@pytest.mark.parametrize("call, error, message", [
    (lambda k: k.value_at_risk(1.0), ValueError,
     "confidence must lie strictly between 0 and 1, got 1.0"),
    (lambda k: k.expected_shortfall(0), ValueError,
     "confidence must lie strictly between 0 and 1, got 0"),
    (lambda k: k.value_at_risk("95%"), TypeError, "confidence must be a number, got '95%'"),
    (lambda k: k.omega("x"), TypeError, "threshold must be a number, got 'x'"),
    (lambda k: k.omega(0.0, 1), TypeError,
     "omega() takes at most 2 positional arguments (3 given)"),
    (lambda k: k.value_at_risk(level=0.9), TypeError,
     "value_at_risk() got an unexpected keyword argument 'level'"),
])
def test_wrong_arguments(five, call, error, message):
    with pytest.raises(error) as caught:
        call(five)
    assert str(caught.value) == message


def test_figures_computed_on_first_read_from_a_copy():
    r = np.array(R)
    k = perilon.Risk(r, np.array(B), 0.0)
    assert "skewness" not in vars(k)
    r[:] = 0.5  # the caller's array changed after construction
    first = k.skewness
    assert first == pytest.approx(-1 / math.sqrt(6), rel=1e-12)
    assert vars(k)["skewness"] == first and k.skewness is first
    assert k.value_at_risk() == pytest.approx(0.034)
    # Building the object again forgets what was read from the former returns.
    k.__init__([0.01, 0.02, 0.04], [0.0, 0.0, 0.0], 0.0)
    assert k.skewness > 0


def test_agrees_with_an_independent_implementation_where_definitions_match():
    empyrical = pytest.importorskip("empyrical")
    rng = np.random.default_rng(7)
    r = pd.Series(rng.normal(0.0005, 0.012, 500))
    b = pd.Series(0.8 * r + rng.normal(0.0, 0.006, 500))
    k = perilon.Risk(r, b, 0.0, annualization=252)
    # Its value at risk is the quantile itself (a negative return), not the loss.
    assert k.value_at_risk() == pytest.approx(-empyrical.value_at_risk(r, 0.05), rel=1e-12)
    # Its shortfall averages the lowest int((n - 1) * 0.05) + 1 returns: the days at or
    # below the interpolated quantile, unless returns tie there.
    assert k.expected_shortfall() == pytest.approx(
        -empyrical.conditional_value_at_risk(r, 0.05), rel=1e-12)
    assert k.omega(0.0) == pytest.approx(empyrical.omega_ratio(r), rel=1e-12)
    assert k.up_capture == pytest.approx(empyrical.up_capture(r, b), rel=1e-10)
    assert k.down_capture == pytest.approx(empyrical.down_capture(r, b), rel=1e-10)
    # Its tail ratio takes the absolute value of both percentiles: equal here, where
    # the 95th is positive.
    assert k.tail_ratio == pytest.approx(empyrical.tail_ratio(r), rel=1e-12)
    assert k.stability == pytest.approx(empyrical.stability_of_timeseries(r), rel=1e-10)
    # The population moments, as scipy's biased estimators.
    stats = pytest.importorskip("scipy.stats")
    assert k.skewness == pytest.approx(stats.skew(r), rel=1e-10)
    assert k.kurtosis == pytest.approx(stats.kurtosis(r), rel=1e-10)


def test_pickles_and_copies_with_its_returns():
    import copy
    import pickle

    k = perilon.Risk(R, B, 0.0244, annualization=2)
    for twin in (pickle.loads(pickle.dumps(k)), copy.deepcopy(k), copy.copy(k)):
        assert twin.var == k.var
        assert twin.up_capture == k.up_capture
        assert twin.expected_shortfall() == k.expected_shortfall()
