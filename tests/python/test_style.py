"""style_analysis against the regressions written directly with pandas and
statsmodels, on the "risk" market (tests/support/markets_risk.py): window plans by
span, the daily returns that enter the regressions, and the requests and fits made."""

import math

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from dateutil.relativedelta import relativedelta

from markets_risk import calendar, factor_returns_frame
from meridan import style
from pandas_style import style_reference
from tickvane._schema import FACTORS

pytestmark = pytest.mark.market("risk")

LABELS = ["贝塔", "成长性", "流动性", "杠杆率", "动量", "反转", "市值", "盈利性", "波动率", "价值"]


def values_on(days, seed=0):
    rng = np.random.default_rng(seed)
    return pd.Series(1e6 * np.exp(np.cumsum(rng.normal(0.0005, 0.01, len(days)))),
                     index=pd.DatetimeIndex(days))


def expected(series, factors):
    """The analysis in pandas and statsmodels, window plan included."""
    return style_reference(series, factors, LABELS)


def assert_same(result, want):
    assert list(result) == list(want)
    for key, values in result.items():
        assert all(type(v) is (str if key == "style" else float) for v in values)
        if key == "style":
            assert values == want[key]
        else:
            assert values == pytest.approx(want[key], rel=1e-9, abs=1e-12), key


class RecordingSm:
    """Stands in for statsmodels.api, recording what each regression received."""

    def __init__(self):
        self.fits = []

    def add_constant(self, data, **kwargs):
        self.fits.append({"constant": kwargs})
        return sm.add_constant(data, **kwargs)

    def OLS(self, endog, exog):
        self.fits[-1].update(endog=endog.copy(), exog=exog.copy())
        return sm.OLS(endog, exog)


@pytest.fixture
def recording_sm(monkeypatch):
    fake = RecordingSm()
    monkeypatch.setattr(style, "sm", fake)
    return fake


# First date, span in days and the window keys worked out by hand.
SPANS = [
    ("2015-01-05", 60, ["2015-03-06"]),
    ("2015-01-05", 100, ["2015-04-05", "2015-04-15"]),
    ("2015-01-05", 300, ["2015-05-01", "2015-08-01", "2015-11-01"]),
    ("2015-01-05", 500, ["2015-07-05", "2016-01-05", "2016-05-19"]),
    ("2015-01-05", 547, ["2015-07-05", "2016-01-05", "2016-07-05"]),
    ("2015-01-05", 548, ["2015-07-06", "2016-01-06", "2016-07-06"]),
    ("2015-01-05", 1095, ["2017-01-04", "2017-07-04", "2018-01-04"]),
    ("2015-01-05", 1096, ["2016-01-05", "2017-01-05", "2018-01-05"]),
    # Month ends clamp; the second end is 12 months on, not two clamped 6-month steps.
    ("2015-08-31", 500, ["2016-02-29", "2016-08-31", "2017-01-12"]),
]


@pytest.mark.parametrize("first, span, keys", SPANS)
def test_windows_by_span(market, recording_sm, first, span, keys):
    start = pd.Timestamp(first)
    series = values_on(pd.date_range(start, start + pd.Timedelta(days=span)), seed=span)
    before = series.copy()
    result = style.style_analysis(series)
    factors = factor_returns_frame(series.index[0], series.index[-1])
    assert list(result)[:-2] == keys
    assert_same(result, expected(series, factors))
    pd.testing.assert_series_equal(series, before)
    assert [(c.name, c.args, c.kwargs) for c in market.calls] == [
        ("get_factor_return", (series.index[0], series.index[-1]), {})]
    assert len(recording_sm.fits) == len(keys)
    assert all(f["constant"] == {"has_constant": "add"} for f in recording_sm.fits)
    assert list(recording_sm.fits[0]["exog"].columns) == ["const"] + list(factors.columns)


def test_third_forward_end_short_of_the_last_date(market, recording_sm):
    # 547 days from a holiday: the first value is on no trading day.
    days = pd.bdate_range("2014-01-01", "2015-07-02")
    factors = factor_returns_frame(days[0], days[-1])
    series = values_on(days)
    result = style.style_analysis(series)
    assert list(result)[:3] == ["2014-07-01", "2015-01-01", "2015-07-01"]
    assert_same(result, expected(series, factors))
    # The last day's return enters no regression.
    assert recording_sm.fits[-1]["endog"].index[-1] == pd.Timestamp("2015-07-01")


def test_daily_returns_on_the_factor_calendar(market, recording_sm):
    days = [pd.Timestamp(d) for d in calendar()
            if pd.Timestamp("2016-03-01") <= pd.Timestamp(d) <= pd.Timestamp("2016-04-29")]
    missing = days[10]
    saturday = pd.Timestamp("2016-03-05")
    index = sorted([d for d in days if d != missing] + [saturday])
    series = values_on(index, seed=9)
    style.style_analysis(series)
    y = recording_sm.fits[-1]["endog"]
    assert list(y.index) == days
    assert y.iloc[0] == 0.0                      # the first return is kept, as 0
    assert saturday not in y.index
    # Monday after the weekend value is measured against it.
    assert y[pd.Timestamp("2016-03-07")] == pytest.approx(
        series[pd.Timestamp("2016-03-07")] / series[saturday] - 1, rel=1e-15)
    assert y[missing] == 0.0                     # a trading day the series lacks
    assert y[days[11]] == pytest.approx(series[days[11]] / series[days[9]] - 1, rel=1e-15)


def test_a_one_day_window_passes_statsmodels_through(market):
    series = pd.Series([1.0], index=pd.DatetimeIndex(["2016-06-01"]))
    with pytest.warns(sm.tools.sm_exceptions.SingularMatrixWarning):
        result = style.style_analysis(series)
    assert list(result) == ["2016-06-01", "style", "latest_tvalues"]
    assert result["2016-06-01"] == [0.0] * 10
    assert all(math.isnan(t) for t in result["latest_tvalues"])


def test_unknown_factor_raises_after_the_regressions(market, recording_sm):
    frame = market.default_reply("get_factor_return", "2016-01-04", "2016-06-30")
    market.set_reply("get_factor_return", frame.rename(columns={"value": "quality"}))
    with pytest.raises(KeyError, match="quality"):
        style.style_analysis(values_on(pd.bdate_range("2016-01-04", "2016-06-30")))
    assert len(recording_sm.fits) == 2


def test_module_names_are_looked_up_at_call_time(market, monkeypatch):
    assert list(style.TRANSLATION.items()) == list(zip(FACTORS, LABELS))
    steps = []
    monkeypatch.setattr(style, "relativedelta",
                        lambda **kw: steps.append(kw) or relativedelta(**kw))
    style.style_analysis(values_on(pd.bdate_range("2016-01-04", "2016-12-30")))
    assert steps == [{"months": 3}]


@pytest.mark.parametrize("series, error, requests", [
    (pd.Series([], dtype=float, index=pd.DatetimeIndex([])), IndexError, 0),
    (values_on(pd.bdate_range("2019-03-04", periods=5)), ValueError, 1),  # no factor data
])
def test_failures(market, series, error, requests):
    with pytest.raises(error):
        style.style_analysis(series)
    assert market.count() == requests
