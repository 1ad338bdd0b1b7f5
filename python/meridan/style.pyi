# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Style regression of a portfolio value series on the style-factor returns."""

from typing import Any

import pandas as pd

TRANSLATION: dict[str, str]

def style_analysis(portfolio_series: pd.Series, /) -> dict[str, Any]:
    """Least-squares regressions of a portfolio's daily returns on the daily returns of
    the ten style factors, over up to three windows that all start on the series'
    first date.

    portfolio_series: the portfolio's value by date (pandas Series on ascending
    Timestamps). Daily returns are its changes with missing values padded, the first
    set to 0, then put on the factor calendar (a trading day the series lacks counts
    as 0.0, other dates drop out). Windows end at steps of 3 months (spans up to 365
    days), 6 months (up to 1095 days) or 1 year, counted back from the last date
    (spans over 270, 547.5 and 1095 days) or forward from the first date; an end past
    the last date is cut to it and is the last window.

    Returns a dict: for each window, keyed by its end date as "YYYY-MM-DD", the
    factor coefficients (the constant left out) in the factor table's column order;
    "style": the factors' display labels (TRANSLATION) in that order;
    "latest_tvalues": the t-statistics of the last window's coefficients.

    Refused before any request: a series that is not a pandas Series (TypeError), an
    empty one (meridan.EmptyInputError, a ValueError and an IndexError), one with
    labels that are not dates (numbers, say: TypeError), dates out of order or
    repeated, or a value that is NaN, infinite or not above 0 (ValueError naming the
    first such date). Date labels may be text ("2017-03-01"); labels with a time zone count
    as their own calendar days.
    """
