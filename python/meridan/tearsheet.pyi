# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Tearsheet figures: drawdowns, calendar returns and rolling risk figures."""

from typing import Any

import pandas as pd

def underwater(values: pd.Series) -> Any:
    """How far each day's value lies below the highest value so far: value / running
    maximum - 1 (0 on a new high, -0.2 at 20 % below it), a float64 Series on the
    index of `values` (a Series of the portfolio's value by date, ascending, every
    value finite and above 0). Refused: an empty series (meridan.EmptyInputError),
    labels that are not dates (TypeError), dates out of order or a value that is
    NaN, infinite or not above 0 (ValueError naming the date).
    """

def worst_drawdowns(values: pd.Series, top: Any = 5) -> Any:
    """The `top` deepest drawdowns of `values` (a Series of values by date, checked as
    underwater() checks it), deepest first, as a DataFrame indexed 0..k-1 with
    columns:
    start: the date of the peak the value falls from (the last day at that peak);
    trough: the date of the lowest value before it is back at the peak (the first
        such day);
    recovery: the first date after the trough with the value at or above the peak,
        NaT when it never gets back;
    length: trading days (rows of the series) from start to recovery, or to the last
        date when not recovered, int64;
    depth: trough value / peak value - 1, a negative fraction.
    Drawdowns do not overlap: each runs from its peak to its recovery. Equal depths
    keep date order. A series that never falls gives an empty table with these
    columns. `top` is a whole number, at least 0.
    """

def monthly_returns(values: pd.Series) -> Any:
    """Monthly and yearly returns of `values` (a Series of values by date, checked as
    underwater() checks it) as a DataFrame indexed by year (int64, named "year")
    from the first date's year to the last's, with columns 1..12 (the months) and
    "total". A month's return is its last value over the last value before it
    began, minus 1; the first month is measured from the series' first value. A
    month without a value is NaN (the next month is measured from the last value
    before it, so the months of a year compound to its total). "total" is the
    year's last value over the last value before the year (the first year: the
    first value), minus 1. Returns are fractions.
    """

def rolling_figures(
    returns: pd.Series,
    benchmark_returns: pd.Series,
    risk_free_rate: float = 0.0,
    window: Any = 122,
    annualization: int = 244,
) -> Any:
    """Risk figures of the daily `returns` (a Series of fractions) against
    `benchmark_returns` (a Series, aligned to the rows of `returns`: by calendar day
    when both are indexed by dates, a date with a time zone counting as its own
    day, and otherwise as benchmark_returns.reindex(returns.index) aligns it; a day
    or label it lacks is a missing day, a date it has twice is refused with
    ValueError) over the trailing `window` rows ending on each row, as a float64
    DataFrame indexed like `returns` with columns:
    volatility: std(r, ddof 1) * sqrt(A);
    beta: cov(r, b) / var(b), sample estimates;
    sharpe: mean(r - rf_d) / std(r - rf_d, ddof 1) * sqrt(A),
    with A = `annualization` (trading days a year) and rf_d = risk_free_rate / A
    (`risk_free_rate` annual, a fraction): the figures perilon.Risk gives for the
    window's rows. Within a window, a row where either return is missing is left
    out; a figure undefined for what remains (fewer than two rows, no variance) is
    NaN, as are all three for a window holding an infinite return. The first
    window - 1 rows are NaN. `window` is a whole number, at least 1.
    """
