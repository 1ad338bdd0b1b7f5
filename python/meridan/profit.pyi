# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Profit-and-loss analysis of a portfolio value series against a benchmark."""

from typing import Any

import pandas as pd

def profit_analysis(
    portfolio_series: pd.Series,
    benchmark: str | None,
    benchmark_series: pd.Series | None = None,
) -> dict[str, Any]:
    """Returns of a portfolio value series and of its benchmark over standard periods,
    and both cumulative return curves, as fractions (0.05 is 5 %).

    portfolio_series: the portfolio's value by date (pandas Series on ascending
    Timestamps; only ratios of values are used). benchmark: an index order book id,
    whose unadjusted daily closes from the series' first to its last date are fetched;
    the portfolio is then put on the index's trading dates (a missing day takes the
    latest earlier value, non-trading days drop out). With benchmark None,
    benchmark_series (any values proportional to the benchmark's prices, by date) is
    used as given and neither series is aligned to the other.

    Returns {"summary": {period: [portfolio, benchmark]}, "detail": {"date": [...],
    "portfolio": [...], "benchmark": [...]}}. Periods end on the portfolio's last
    date: "one_month", "three_month", "six_month" and "one_year" measure from the
    first value on or after the same calendar day 1, 3, 6 or 12 months earlier;
    "this_month" and "this_year" from the value of the last trading day before the
    month or the year began (from the first value when that day precedes the series);
    "total" from the first value; "annualized_total" (only for spans over 365 days)
    is the total return compounded to 365 days. The detail gives each date as
    "YYYY-MM-DD" and each day's return since the first value (so the first is 0.0).
    Refused before any request: a series that is not a pandas Series (TypeError), an
    empty one (meridan.EmptyInputError, a ValueError and an IndexError), one with
    labels that are not dates (numbers, say: TypeError), dates out of order or
    repeated, or a value that is NaN, infinite or not above 0 (ValueError naming the
    first such date); a benchmark that is neither text nor None (TypeError). Date
    labels may
    be text ("2017-03-01"); labels with a time zone count as their own calendar
    days.
    """
