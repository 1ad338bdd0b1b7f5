"""profit_analysis against the same computation written directly in pandas, on the
"risk" market (tests/support/markets_risk.py): period bases, alignment onto the index's
trading dates, the detail lists and the requests made."""

import bisect

import numpy as np
import pandas as pd
import pytest
from dateutil.relativedelta import relativedelta

from markets_risk import calendar, closes_frame
from meridan import profit

INDEX = "000300.XSHG"
pytestmark = pytest.mark.market("risk")


def values_on(days, seed=0):
    rng = np.random.default_rng(seed)
    return pd.Series(1e6 * np.exp(np.cumsum(rng.normal(0.0005, 0.01, len(days)))),
                     index=pd.DatetimeIndex(days))


def expected(P, B, previous):
    """The summary and detail in pandas (label slices for the bases) of P and B,
    already aligned; `previous` answers the previous trading date."""
    end, days = P.index[-1], (P.index[-1] - P.index[0]).days
    ends = [end - relativedelta(months=n) for n in (1, 3, 6, 12)]
    ends += [previous(end.replace(day=1)), previous(end.replace(month=1, day=1))]
    keys = ["one_month", "three_month", "six_month", "one_year", "this_month", "this_year"]
    summary = {k: [s.iloc[-1] / s[b:].iloc[0] - 1 for s in (P, B)] for k, b in zip(keys, ends)}
    summary["total"] = [s.iloc[-1] / s.iloc[0] - 1 for s in (P, B)]
    if days > 365:
        summary["annualized_total"] = [(s.iloc[-1] / s.iloc[0]) ** (365 / days) - 1
                                       for s in (P, B)]
    detail = {"date": [d.strftime("%Y-%m-%d") for d in P.index],
              "portfolio": list(P / P.iloc[0] - 1), "benchmark": list(B / B.iloc[0] - 1)}
    return {"summary": summary, "detail": detail}


def assert_same(result, want):
    assert list(result) == ["summary", "detail"]
    assert list(result["summary"]) == list(want["summary"])  # annualized_total last
    for key, pair in result["summary"].items():
        assert [type(v) for v in pair] == [float, float]
        assert pair == pytest.approx(want["summary"][key], rel=1e-12), key
    assert list(result["detail"]) == ["date", "portfolio", "benchmark"]
    assert result["detail"]["date"] == want["detail"]["date"]
    for key in ("portfolio", "benchmark"):
        assert all(type(v) is float for v in result["detail"][key])
        assert result["detail"][key][0] == 0.0
        assert result["detail"][key] == pytest.approx(want["detail"][key], rel=1e-12)


def trading_days(first, last):
    first, last = pd.Timestamp(first).date(), pd.Timestamp(last).date()
    return [pd.Timestamp(d) for d in calendar() if first <= d <= last]


def previous(day):
    """The last trading day of the market before `day`."""
    days = calendar()
    return pd.Timestamp(days[bisect.bisect_left(days, pd.Timestamp(day).date()) - 1])


# First and last trading dates: over and under a year (365 and 366 days among them),
# under a month and inside one month, ending on 31 March.
@pytest.mark.parametrize("first, last, annualised", [
    ("2015-03-02", "2017-03-31", True),
    ("2016-03-01", "2017-03-01", False),
    ("2016-02-29", "2017-03-01", True),
    ("2017-03-06", "2017-03-31", False),
    ("2016-12-15", "2017-12-29", True),
])
def test_against_index_closes(market, first, last, annualised):
    series = values_on(trading_days(first, last))
    before = series.copy()
    result = profit.profit_analysis(series, INDEX)
    start, end = series.index[0], series.index[-1]
    closes = closes_frame(INDEX, start, end)
    assert_same(result, expected(series.reindex(closes.index, method="ffill"), closes, previous))
    assert ("annualized_total" in result["summary"]) is annualised
    pd.testing.assert_series_equal(series, before)
    month, year = end.replace(day=1), end.replace(month=1, day=1)
    assert [(c.name, c.args, c.kwargs) for c in market.calls] == [
        ("get_price", (INDEX, start, end), {"fields": "ClosingPx", "adjust_type": "none"}),
        *[("get_previous_trading_date", (d,), {}) for d in (month, month, year, year)]]
    if (end - start).days < 31:  # every period but this_year starts before the series
        for key in ("one_month", "three_month", "six_month", "one_year", "this_month"):
            assert result["summary"][key] == result["summary"]["total"]


def test_weekend_values_drop_and_missing_trading_days_are_padded(market):
    days = trading_days("2017-06-01", "2017-06-30")
    saturday = pd.Timestamp("2017-06-10")
    series = values_on(sorted([d for d in days if d != days[5]] + [saturday]), seed=3)
    detail = profit.profit_analysis(series, INDEX)["detail"]
    assert detail["date"] == [d.strftime("%Y-%m-%d") for d in days]
    assert detail["portfolio"][5] == pytest.approx(series[days[4]] / series.iloc[0] - 1, rel=1e-15)


def test_ready_made_benchmark_on_another_calendar(market):
    portfolio = values_on(pd.bdate_range("2016-01-04", "2017-06-30"), seed=1)
    benchmark = values_on(pd.date_range("2016-01-01", "2017-07-02", freq="W-FRI"), seed=2)
    result = profit.profit_analysis(portfolio, None, benchmark_series=benchmark)
    assert_same(result, expected(portfolio, benchmark, previous))
    assert len(result["detail"]["benchmark"]) == len(benchmark) != len(portfolio)
    assert market.count() == market.count("get_previous_trading_date") == 4


def test_microsecond_index_and_integer_values(market):
    # pandas 3 builds microsecond indexes; only ratios of values matter.
    days = pd.bdate_range("2017-03-01", "2017-03-10").as_unit("us")
    result = profit.profit_analysis(pd.Series(np.arange(1, 9), index=days), INDEX)
    assert result["summary"]["total"][0] == 7.0
    assert result["detail"]["date"][0] == "2017-03-01"


# Labels of other date kinds, and a time zone whose clocks change three times within
# the span (an hour short of 368 days), give the plain series' figures.
@pytest.mark.parametrize("relabel", [
    lambda index: index.tz_localize("America/New_York"),
    lambda index: pd.Index(list(index.to_numpy()), dtype=object),
    lambda index: pd.Index([index[0], *[d.date() for d in index[1:]]], dtype=object),
], ids=["clocks changing", "datetime64 objects", "a Timestamp then dates"])
def test_date_kinds_give_the_plain_figures(market, relabel):
    plain = values_on(trading_days("2016-03-10", "2017-03-13"))
    assert (plain.index[-1] - plain.index[0]).days == 368
    given = pd.Series(plain.to_numpy(), index=relabel(plain.index))
    assert profit.profit_analysis(given, INDEX) == profit.profit_analysis(plain, INDEX)


FIVE = pd.bdate_range("2017-01-02", periods=5)


# Bad input fails before any request; the service's failures pass through (an id the
# market does not know is the client's ValueError; 000905.XSHG is listed without closes).
@pytest.mark.parametrize("args, service_error, error, message, requests", [
    ((pd.Series([], dtype=float, index=pd.DatetimeIndex([])), INDEX), None, IndexError,
     "portfolio_series is empty", 0),
    ((values_on(FIVE), None), None, TypeError, "needs benchmark_series", 0),
    ((values_on(FIVE[::-1]), None, values_on(FIVE)), None, ValueError, "ascending", 0),
    ((values_on(FIVE), INDEX), ConnectionError("down"), ConnectionError, "down", 1),
    ((values_on(FIVE), "000000.XSHG"), None, ValueError,
     "unknown order_book_id: '000000.XSHG'", 1),
    ((values_on(FIVE), "000905.XSHG"), None, ValueError,
     "no closes of benchmark '000905.XSHG' from 2017-01-02", 1),
])
def test_failures(market, args, service_error, error, message, requests):
    if service_error is not None:
        market.set_error("get_price", service_error)
    with pytest.raises(error, match=message):
        profit.profit_analysis(*args)
    assert market.count() == requests
