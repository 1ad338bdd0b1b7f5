# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Risk-free rate from the yield curve and risk figures over standard periods."""

from typing import Any

import pandas as pd

YIELD_CURVE_TENORS: list[Any]

def get_risk_free_rate(start_date: Any, end_date: Any) -> Any:
    """The annual risk-free rate for the window from `start_date` to `end_date` (any
    form pandas.Timestamp accepts): the yield curve of the single day `start_date`
    is requested from tickvane (get_yield_curve(start_date, start_date)) and the
    value of its first row read at the longest tenor of YIELD_CURVE_TENORS strictly
    shorter than the window's length in calendar days ("S0" for 30 days or less,
    also for a negative window; "M9" for 365 days, "Y1" for 366). The value is
    returned as the service gives it (a fraction: 0.025 is 2.5 %), or the integer 0
    when it is NaN. A curve without that column raises KeyError, one without rows
    (or no curve at all) IndexError.
    """

def risk_analysis(portfolio_series: pd.Series, benchmark: str) -> dict[str, Any]:
    """Risk figures of a portfolio against the index `benchmark` (an order book id)
    over seven periods ending on the last date of `portfolio_series` (a Series of the
    portfolio's value by date, ascending, every value finite and above 0; only
    ratios of values are used).

    The index's closes from the first to the last date of the series are requested
    once (get_price(benchmark, start, end, fields="ClosingPx", adjust_type="none"));
    the series is carried onto the index's trading days (a trading day missing from
    the series takes the value of its latest earlier date, dates that are not trading
    days drop out; dates compare as calendar days), and both become daily returns
    (missing values forward-filled first; the first day has no return).

    Periods, each a window of the daily returns from its start day (inclusive) to the
    end: "one_month", "three_month", "six_month", "one_year" (calendar months
    back from the last date, 31 March going back to the end of February),
    "this_month", "this_year" (from the first of the last date's month or year) and
    "total" (from the first date). Each window's risk-free rate is
    get_risk_free_rate(first return date of the window, last date).

    Returns {period: {"benchmark": block, "portfolio": block}} where a block holds
    "return", "alpha", "beta", "sharpe", "sortino", "max_drawdown" and "var" of
    perilon.Risk(portfolio window, benchmark window, rate) for the portfolio and of
    perilon.Risk(benchmark window, benchmark window, rate) for the benchmark, whose
    "alpha", "beta" and "sortino" are always 0, 1 and "". A period without any
    daily return raises IndexError naming the period and its start day.

    Refused before any request: a portfolio_series that is not a Series (TypeError),
    is empty (meridan.EmptyInputError, a ValueError and an IndexError), has labels
    that are not dates (numbers, say: TypeError), dates out of order, or a value
    that is NaN, infinite or not above 0 (ValueError naming the first such date); a
    benchmark that is not text (TypeError).
    """
