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


def trading_days(fake, first, last):
    return [pd.Timestamp(d) for d in fake.default_reply("get_trading_dates", first, last)]


# First and last trading dates: over and under a year (365 and 366 days among them),
# under a month and inside one month, ending on 31 March.
@pytest.mark.parametrize("first, last, annualised", [
    ("2015-03-02", "2017-03-31", True),
    ("2016-03-01", "2017-03-01", False),
    ("2016-02-29", "2017-03-01", True),
    ("2017-03-06", "2017-03-31", False),
    ("2016-12-15", "2017-12-29", True),
])
def test_against_index_closes(fake_tickvane, first, last, annualised):
    series = values_on(trading_days(fake_tickvane, first, last))
    before = series.copy()
    result = profit.profit_analysis(series, INDEX)
    start, end = series.index[0], series.index[-1]
    closes = fake_tickvane.default_reply("get_price", INDEX, start, end,
                                         fields="ClosingPx", adjust_type="none")
    previous = lambda d: fake_tickvane.default_reply("get_previous_trading_date", d)  # noqa: E731
    assert_same(result, expected(series.reindex(closes.index, method="ffill"), closes, previous))
    assert ("annualized_total" in result["summary"]) is annualised
    pd.testing.assert_series_equal(series, before)
    month, year = end.replace(day=1), end.replace(month=1, day=1)
    assert [(c.name, c.args, c.kwargs) for c in fake_tickvane.calls] == [
        ("get_price", (INDEX, start, end), {"fields": "ClosingPx", "adjust_type": "none"}),
        *[("get_previous_trading_date", (d,), {}) for d in (month, month, year, year)]]
    if (end - start).days < 31:  # every period but this_year starts before the series
        for key in ("one_month", "three_month", "six_month", "one_year", "this_month"):
            assert result["summary"][key] == result["summary"]["total"]


def test_weekend_values_drop_and_missing_trading_days_are_padded(fake_tickvane):
    days = trading_days(fake_tickvane, "2017-06-01", "2017-06-30")
    saturday = pd.Timestamp("2017-06-10")
    series = values_on(sorted([d for d in days if d != days[5]] + [saturday]), seed=3)
    detail = profit.profit_analysis(series, INDEX)["detail"]
    assert detail["date"] == [d.strftime("%Y-%m-%d") for d in days]
    assert detail["portfolio"][5] == pytest.approx(series[days[4]] / series.iloc[0] - 1, rel=1e-15)


def test_ready_made_benchmark_on_another_calendar(fake_tickvane):
    portfolio = values_on(pd.bdate_range("2016-01-04", "2017-06-30"), seed=1)
    benchmark = values_on(pd.date_range("2016-01-01", "2017-07-02", freq="W-FRI"), seed=2)
    result = profit.profit_analysis(portfolio, None, benchmark_series=benchmark)
    previous = lambda d: fake_tickvane.default_reply("get_previous_trading_date", d)  # noqa: E731
    assert_same(result, expected(portfolio, benchmark, previous))
    assert len(result["detail"]["benchmark"]) == len(benchmark) != len(portfolio)
    assert fake_tickvane.count() == fake_tickvane.count("get_previous_trading_date") == 4


def test_microsecond_index_and_integer_values(fake_tickvane):
    # pandas 3 builds microsecond indexes; only ratios of values matter.
    days = pd.bdate_range("2017-03-01", "2017-03-10").as_unit("us")
    result = profit.profit_analysis(pd.Series(np.arange(1, 9), index=days), INDEX)
    assert result["summary"]["total"][0] == 7.0
    assert result["detail"]["date"][0] == "2017-03-01"


FIVE = pd.bdate_range("2017-01-02", periods=5)


# Bad input fails before any request; the service's failures pass through.
@pytest.mark.parametrize("args, service_error, error, message, requests", [
    ((pd.Series([], dtype=float, index=pd.DatetimeIndex([])), INDEX), None, IndexError,
     "portfolio_series is empty", 0),
    ((values_on(FIVE), None), None, TypeError, "needs benchmark_series", 0),
    ((values_on(FIVE[::-1]), None, values_on(FIVE)), None, ValueError, "ascending", 0),
    ((values_on(FIVE), INDEX), ConnectionError("down"), ConnectionError, "down", 1),
    ((values_on(FIVE), "000000.XSHG"), None, ValueError,
     "no closes of benchmark '000000.XSHG'", 1),
])
def test_failures(fake_tickvane, args, service_error, error, message, requests):
    if service_error is not None:
        fake_tickvane.set_error("get_price", service_error)
    with pytest.raises(error, match=message):
        profit.profit_analysis(*args)
    assert fake_tickvane.count() == requests
