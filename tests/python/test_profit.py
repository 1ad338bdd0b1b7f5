"""profit_analysis against the same computation written directly in pandas, on the
test market: period bases, alignment onto the index's trading dates, the detail
lists and the requests made."""

import math

import numpy as np
import pandas as pd
import pytest
from dateutil.relativedelta import relativedelta

from meridan import profit

INDEX = "000300.XSHG"
ROLLING = [("one_month", 1), ("three_month", 3), ("six_month", 6), ("one_year", 12)]


def values_on(days, seed=0):
    """A wandering positive value series on `days`."""
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0005, 0.01, len(days))
    return pd.Series(1e6 * np.exp(np.cumsum(steps)), index=pd.DatetimeIndex(days))


def expected(portfolio, benchmark, closes, previous):
    """The analysis in pandas: label slices for the bases, reindex(method="ffill")
    for the alignment. `previous(day)` answers the previous trading date."""
    start, end = portfolio.index[0], portfolio.index[-1]
    if closes is not None:
        B, P = closes, portfolio.reindex(closes.index, method="ffill")
    else:
        B, P = benchmark, portfolio
    pv, bv = P.iloc[-1], B.iloc[-1]
    summary = {}

    def pair(p_base, b_base):
        return [pv / P[p_base:].iloc[0] - 1, bv / B[b_base:].iloc[0] - 1]

    for key, months in ROLLING:
        summary[key] = pair(end - relativedelta(months=months), end - relativedelta(months=months))
    month, year = end.replace(day=1), end.replace(month=1, day=1)
    summary["this_month"] = pair(previous(month), previous(month))
    summary["this_year"] = pair(previous(year), previous(year))
    summary["total"] = [pv / P.iloc[0] - 1, bv / B.iloc[0] - 1]
    days = (end - start).days
    if days > 365:
        summary["annualized_total"] = [(pv / P.iloc[0]) ** (365 / days) - 1,
                                       (bv / B.iloc[0]) ** (365 / days) - 1]
    detail = {
        "date": [d.strftime("%Y-%m-%d") for d in P.index],
        "portfolio": [float(v) for v in P / P.iloc[0] - 1],
        "benchmark": [float(v) for v in B / B.iloc[0] - 1],
    }
    return {"summary": summary, "detail": detail}


def assert_same(result, want):
    assert list(result) == ["summary", "detail"]
    assert list(result["summary"]) == list(want["summary"])
    for key, pair in result["summary"].items():
        assert [type(v) for v in pair] == [float, float]
        assert pair == pytest.approx(want["summary"][key], rel=1e-12), key
    assert list(result["detail"]) == ["date", "portfolio", "benchmark"]
    assert result["detail"]["date"] == want["detail"]["date"]
    for key in ("portfolio", "benchmark"):
        got = result["detail"][key]
        assert all(type(v) is float for v in got)
        assert got[0] == 0.0
        assert got == pytest.approx(want["detail"][key], rel=1e-12, nan_ok=True)


def trading_days(fake, first, last):
    return [pd.Timestamp(d) for d in fake.default_reply("get_trading_dates", first, last)]


# (first trading date, last date, annualised?): spans over and under a year, a series
# of under a month, one that starts inside its last month, one ending on 31 March.
INDEX_CASES = [
    ("2015-03-02", "2017-03-31", True),
    ("2016-03-01", "2017-03-01", False),   # 365 days
    ("2016-02-29", "2017-03-01", True),    # 366 days
    ("2017-03-06", "2017-03-31", False),
    ("2016-12-15", "2017-12-29", True),
]


@pytest.mark.parametrize("first, last, annualised", INDEX_CASES)
def test_against_index_closes(fake_tickvane, first, last, annualised):
    days = trading_days(fake_tickvane, first, last)
    series = values_on(days)
    before = series.copy()
    result = profit.profit_analysis(series, INDEX)
    closes = fake_tickvane.default_reply("get_price", INDEX, days[0], days[-1],
                                         fields="ClosingPx", adjust_type="none")
    want = expected(series, None, closes,
                    lambda d: fake_tickvane.default_reply("get_previous_trading_date", d))
    assert_same(result, want)
    assert ("annualized_total" in result["summary"]) is annualised
    pd.testing.assert_series_equal(series, before)
    # One price request and four previous-trading-date requests, as documented.
    names = [c.name for c in fake_tickvane.calls]
    assert names == ["get_price"] + ["get_previous_trading_date"] * 4
    price = fake_tickvane.calls[0]
    assert price.args == (INDEX, series.index[0], series.index[-1])
    assert price.kwargs == {"fields": "ClosingPx", "adjust_type": "none"}
    month = series.index[-1].replace(day=1)
    year = series.index[-1].replace(month=1, day=1)
    assert [c.args for c in fake_tickvane.calls[1:]] == [(month,), (month,), (year,), (year,)]


def test_short_and_fresh_series_measure_from_the_first_value(fake_tickvane):
    # Under a month, starting inside the month of its last date: every period but
    # "this_year" starts before the series, so each equals "total".
    series = values_on(trading_days(fake_tickvane, "2017-03-06", "2017-03-31"))
    summary = profit.profit_analysis(series, INDEX)["summary"]
    for key in ("one_month", "three_month", "six_month", "one_year", "this_month"):
        assert summary[key] == summary["total"], key


def test_weekend_values_drop_and_missing_trading_days_are_padded(fake_tickvane):
    days = trading_days(fake_tickvane, "2017-06-01", "2017-06-30")
    missing = days[5]
    index = [d for d in days if d != missing] + [pd.Timestamp("2017-06-10")]  # Saturday
    series = values_on(sorted(index), seed=3)
    result = profit.profit_analysis(series, INDEX)
    dates = result["detail"]["date"]
    assert dates == [d.strftime("%Y-%m-%d") for d in days]
    assert "2017-06-10" not in dates
    first = series.iloc[0]
    padded = series[days[4]] / first - 1
    assert result["detail"]["portfolio"][5] == pytest.approx(padded, rel=1e-15)


def test_ready_made_benchmark_on_another_calendar(fake_tickvane):
    portfolio = values_on(pd.bdate_range("2016-01-04", "2017-06-30"), seed=1)
    benchmark = values_on(pd.date_range("2016-01-01", "2017-07-02", freq="W-FRI"), seed=2)
    result = profit.profit_analysis(portfolio, None, benchmark_series=benchmark)
    want = expected(portfolio, benchmark, None,
                    lambda d: fake_tickvane.default_reply("get_previous_trading_date", d))
    assert_same(result, want)
    assert len(result["detail"]["portfolio"]) == len(portfolio)
    assert len(result["detail"]["benchmark"]) == len(benchmark)
    assert fake_tickvane.count("get_price") == 0
    assert fake_tickvane.count("get_previous_trading_date") == 4


def test_microsecond_index_and_integer_values(fake_tickvane):
    # pandas 3 builds microsecond indexes; only ratios of values matter.
    days = pd.DatetimeIndex(trading_days(fake_tickvane, "2017-01-03", "2017-02-28")).as_unit("us")
    series = pd.Series(np.arange(100, 100 + len(days)), index=days)
    result = profit.profit_analysis(series, INDEX)
    assert result["summary"]["total"][0] == (100 + len(days) - 1) / 100 - 1
    assert result["detail"]["date"][0] == "2017-01-03"


def test_a_missing_value_stays_missing(fake_tickvane):
    days = pd.bdate_range("2017-03-01", "2017-03-10")
    series = pd.Series([1.0, 2.0, math.nan, 4.0, 5.0, 6.0, 7.0, 8.0], index=days)
    detail = profit.profit_analysis(series, None, series)["detail"]
    assert math.isnan(detail["portfolio"][2]) and detail["portfolio"][3] == 3.0


@pytest.mark.parametrize("args, error, message", [
    ((pd.Series([], dtype=float, index=pd.DatetimeIndex([])), INDEX), IndexError,
     "portfolio_series is empty"),
    ((values_on(pd.bdate_range("2017-01-02", periods=5)), None), TypeError,
     "needs benchmark_series"),
    ((values_on(pd.bdate_range("2017-01-02", periods=5)[::-1]), None,
      values_on(pd.bdate_range("2017-01-02", periods=5))), ValueError, "ascending"),
])
def test_bad_input_fails_before_any_request(fake_tickvane, args, error, message):
    with pytest.raises(error, match=message):
        profit.profit_analysis(*args)
    assert fake_tickvane.count() == 0


def test_service_errors_and_empty_replies(fake_tickvane):
    series = values_on(pd.bdate_range("2017-01-02", periods=5))
    fake_tickvane.set_error("get_price", ConnectionError("down"))
    with pytest.raises(ConnectionError, match="down"):
        profit.profit_analysis(series, INDEX)
    fake_tickvane.reset_overrides()
    with pytest.raises(ValueError, match="no closes of benchmark '000000.XSHG'"):
        profit.profit_analysis(series, "000000.XSHG")
