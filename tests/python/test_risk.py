"""meridan.risk on the "risk" market (tests/support/markets_risk.py): the risk-free
rate's tenor choice, and the data that risk_analysis prepares for perilon.Risk, checked
against the pandas expressions it mirrors (reindex with ffill, pad-filled pct_change,
label slices, relativedelta)."""

import math
import types

import numpy as np
import pandas as pd
import pytest

import meridan.risk as risk
from markets_risk import closes_frame, curve_value
from pandas_risk import risk_windows
from tickvane._schema import TENORS

INDEX = "000300.XSHG"
pytestmark = pytest.mark.market("risk")
PERIODS = ["one_month", "three_month", "six_month", "one_year", "this_month", "this_year",
           "total"]
BLOCK = ["return", "alpha", "beta", "sharpe", "sortino", "max_drawdown", "var"]


class RecordingRisk:
    """Stands in for perilon.Risk: keeps its arguments and answers each attribute with a
    text naming it, so the result shows which attribute went where."""

    made = []

    def __init__(self, returns, benchmark_returns, risk_free_rate):
        RecordingRisk.made.append((returns, benchmark_returns, risk_free_rate))
        self.tag = len(RecordingRisk.made)

    def __getattr__(self, name):
        return f"{name}#{self.tag}"


@pytest.fixture
def recording(monkeypatch):
    RecordingRisk.made = []
    monkeypatch.setattr(risk, "perilon", types.SimpleNamespace(Risk=RecordingRisk))
    return RecordingRisk.made


def portfolio(start, end, oid="000001.XSHE"):
    return closes_frame(oid, start, end) * 1000


pandas_windows = risk_windows


def tenor_column(days):
    column = "0S"
    for count, label in risk.YIELD_CURVE_TENORS:
        if days <= count:
            break
        column = label[1:] + label[0]
    return column


def test_tenor_table():
    assert risk.YIELD_CURVE_TENORS[:3] == [(0, "S0"), (30, "M1"), (60, "M2")]
    assert risk.YIELD_CURVE_TENORS[-1] == (18250, "Y50")
    assert [label[1:] + label[0] for _, label in risk.YIELD_CURVE_TENORS] == list(TENORS)
    assert all(type(pair) is tuple for pair in risk.YIELD_CURVE_TENORS)


@pytest.mark.parametrize("days, column", [
    (-3, "0S"), (0, "0S"), (1, "0S"), (30, "0S"), (31, "1M"), (60, "1M"), (61, "2M"),
    (365, "9M"), (366, "1Y"), (3650, "9Y"), (3651, "10Y"), (18250, "40Y"), (18251, "50Y"),
    (40000, "50Y"),
])
def test_rate_reads_the_longest_tenor_shorter_than_the_window(market, days, column):
    start = pd.Timestamp("2017-06-05")  # every tenor of the market's curve differs
    rate = risk.get_risk_free_rate(start, start + pd.Timedelta(days=days))
    assert rate == curve_value(start, column) and type(rate) is float
    (call,) = market.calls_to("get_yield_curve")
    assert call.args[0] is start and call.args[1] is start and not call.kwargs


def test_rate_edge_replies(market):
    curve = market.default_reply("get_yield_curve", "2017-06-05", "2017-06-05")
    curve["3M"] = np.nan
    market.set_reply("get_yield_curve", curve)
    zero = risk.get_risk_free_rate("2017-06-05", end_date="2017-10-01")
    assert zero == 0 and type(zero) is int
    # Columns of objects are read through pandas, the value passed on as it is.
    mixed = curve.astype({"3M": object})
    mixed.iloc[0, 3] = 0.031
    market.set_reply("get_yield_curve", mixed)
    assert risk.get_risk_free_rate("2017-06-05", "2017-10-01") == 0.031
    market.set_reply("get_yield_curve", curve.drop(columns="3M"))
    with pytest.raises(KeyError):
        risk.get_risk_free_rate("2017-06-05", "2017-10-01")
    market.set_reply("get_yield_curve", curve.iloc[:0])
    with pytest.raises(IndexError):
        risk.get_risk_free_rate("2017-06-05", "2017-10-01")
    market.reset_overrides()
    with pytest.raises(IndexError, match="no yield curve for 2017-06-03"):  # a Saturday
        risk.get_risk_free_rate("2017-06-03", "2017-10-01")


def test_analysis_feeds_risk_the_pandas_windows(market, recording):
    series = portfolio("2016-03-14", "2017-03-31")
    series = series.drop(series.index[100])  # a missing day takes the last value
    before = series.copy()
    result = risk.risk_analysis(series, INDEX)

    closes = closes_frame(INDEX, "2016-03-14", "2017-03-31")
    windows = pandas_windows(series, closes)
    (price_call,) = market.calls_to("get_price")
    assert price_call.args == (INDEX, series.index[0], series.index[-1])
    assert price_call.kwargs == {"fields": "ClosingPx", "adjust_type": "none"}
    curve_calls = market.calls_to("get_yield_curve")
    assert market.count() == 8 and len(curve_calls) == 7 and len(recording) == 14
    assert windows["one_month"][0].index[0] == pd.Timestamp("2017-02-28")

    for i, key in enumerate(PERIODS):
        wp, wb = windows[key]
        (p_args, b_args) = recording[2 * i : 2 * i + 2]
        first = wp.index[0]
        assert curve_calls[i].args == (first, first)
        rate = curve_value(first, tenor_column((series.index[-1] - first).days))
        for got, want in zip(p_args, (wp.to_numpy(), wb.to_numpy(), rate)):
            np.testing.assert_array_equal(got, want)
        assert isinstance(p_args[0], np.ndarray) and p_args[0].dtype == np.float64
        assert b_args[0] is b_args[1]
        np.testing.assert_array_equal(b_args[0], wb.to_numpy())
        p, b = 2 * i + 1, 2 * i + 2
        assert list(result[key]) == ["benchmark", "portfolio"]
        assert result[key]["portfolio"] == dict(zip(BLOCK, [
            f"annual_return#{p}", f"alpha#{p}", f"beta#{p}", f"sharpe#{p}", f"sortino#{p}",
            f"max_drawdown#{p}", f"var#{p}"]))
        assert result[key]["benchmark"] == dict(zip(BLOCK, [
            f"annual_return#{b}", 0, 1, f"sharpe#{b}", "", f"max_drawdown#{b}", f"var#{b}"]))
        assert type(result[key]["benchmark"]["alpha"]) is int
    assert list(result) == PERIODS
    pd.testing.assert_series_equal(series, before)


def same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return (isinstance(a, float) and math.isnan(a) and math.isnan(b)) or a == b


def test_weekend_values_drop_out_and_missing_days_carry_the_latest_value(market):
    trading = portfolio("2017-01-03", "2017-12-29")
    weekends = pd.Series(1.0, index=pd.date_range("2017-01-07", "2017-12-24", freq="W-SAT"))
    with_weekends = pd.concat([trading, weekends]).sort_index()
    assert same(risk.risk_analysis(with_weekends, INDEX), risk.risk_analysis(trading, INDEX))

    # Monday 2017-06-12 missing: it takes the value of Saturday 2017-06-10.
    gap = trading.drop(pd.Timestamp("2017-06-12"))
    gap[pd.Timestamp("2017-06-10")] = 12345.0
    filled = trading.copy()
    filled[pd.Timestamp("2017-06-12")] = 12345.0
    assert same(risk.risk_analysis(gap.sort_index(), INDEX), risk.risk_analysis(filled, INDEX))


@pytest.mark.parametrize("start, end, key, first, length", [
    # "this_year" in January holds January's returns only.
    ("2017-11-01", "2018-01-19", "this_year", "2018-01-02", 14),
    # "this_month" ending on the first trading day of a month holds one return.
    ("2017-11-01", "2018-02-01", "this_month", "2018-02-01", 1),
    # The last date is a Saturday: the windows end on the Friday before.
    ("2017-11-01", "2017-12-30", "one_month", "2017-11-30", 22),
])
def test_window_bounds(market, recording, start, end, key, first, length):
    series = pd.Series(1.0, index=pd.date_range(start, end))
    risk.risk_analysis(series, INDEX)
    i = PERIODS.index(key)
    assert len(recording[2 * i][0]) == length
    assert market.calls_to("get_yield_curve")[i].args[0] == pd.Timestamp(first)


def test_total_rate_is_for_the_window_from_the_first_return(market, recording):
    # 2016-06-01 to 2017-06-02 is 366 days, but the first return is on 2016-06-02: 9M.
    series = portfolio("2016-06-01", "2017-06-02")
    risk.risk_analysis(series, INDEX)
    assert recording[-1][2] == curve_value("2016-06-02", "9M")


@pytest.mark.parametrize("start, end, key, day, why", [
    ("2017-03-01", "2017-03-01", "one_month", "2017-02-01", ""),   # one trading day
    ("2018-08-01", "2018-09-01", "this_month", "2018-09-01", ""),  # ends on Saturday the 1st
    # Past the market data's last day: the closes end before the series.
    ("2018-11-01", "2019-01-03", "this_month", "2019-01-01",
     "; the market data ends on 2018-12-31"),
])
def test_empty_window_raises_index_error_naming_the_period(market, start, end, key, day,
                                                           why):
    series = pd.Series(1.0, index=pd.date_range(start, end))
    with pytest.raises(IndexError, match=f"period '{key}' starting {day}") as info:
        risk.risk_analysis(series, INDEX)
    assert str(info.value).endswith(f"(series ends {end}{why})")


def test_unordered_series_is_refused(market):
    series = pd.Series([1.0, 2.0, 3.0], index=pd.to_datetime(
        ["2017-03-01", "2017-03-03", "2017-03-02"]))
    with pytest.raises(ValueError, match="ascending order: 2017-03-02 follows 2017-03-03"):
        risk.risk_analysis(series, INDEX)
    assert market.count() == 0


def test_figures_are_perilon_figures_of_the_windows(market):
    import perilon
    series = portfolio("2017-01-03", "2017-09-29")
    closes = closes_frame(INDEX, "2017-01-03", "2017-09-29")
    wp, wb = pandas_windows(series, closes)["six_month"]
    rate = curve_value(wp.index[0], "6M")    # 184 days
    rp = perilon.Risk(wp.to_numpy(), wb.to_numpy(), rate)
    block = risk.risk_analysis(series, INDEX)["six_month"]["portfolio"]
    assert block == {"return": rp.annual_return, "alpha": rp.alpha, "beta": rp.beta,
                     "sharpe": rp.sharpe, "sortino": rp.sortino,
                     "max_drawdown": rp.max_drawdown, "var": rp.var}
    assert all(type(v) is float for v in block.values())


def test_no_closes_means_no_period(market):
    series = pd.Series(1.0, index=pd.date_range("2017-03-01", "2017-06-01"))
    with pytest.raises(IndexError, match="period 'one_month' starting 2017-05-01"):
        risk.risk_analysis(series, "000905.XSHG")  # listed, without closes
    assert market.count() == 1


@pytest.mark.sample
def test_index_against_itself_on_the_sample_market():
    import tickvane
    tickvane.open_store()
    closes = tickvane.get_price(INDEX, "2021-01-04", "2023-06-30", fields="ClosingPx",
                                adjust_type="none")
    result = risk.risk_analysis(closes * 3.0, INDEX)
    for key in PERIODS:
        p, b = result[key]["portfolio"], result[key]["benchmark"]
        for name in ("return", "sharpe", "max_drawdown", "var"):
            assert p[name] == pytest.approx(b[name], rel=1e-9)
        assert p["beta"] == pytest.approx(1.0) and p["alpha"] == pytest.approx(0, abs=1e-9)
        assert 0 < p["max_drawdown"] < 1 and -1 < p["return"] < 10
