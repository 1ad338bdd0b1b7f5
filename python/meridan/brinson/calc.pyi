# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Brinson attribution of a portfolio series against a benchmark."""

from typing import Any

import pandas as pd

def split_by_position(portfolio_series: list[Any], md: Any) -> list[list[Any]]:
    """Cuts a portfolio series (snapshots in date order) into periods of unchanged
    holdings: a list of lists of the snapshots, in order. Each snapshot's date
    asks `md.get_split_coefficient(<ids held>, date)` for the splits effective
    that day, so a split alone (the quantity scaled by the coefficient) does not
    start a period; any other change of ids or quantities does. An empty series
    raises meridan.EmptyInputError (a ValueError and an IndexError); a snapshot
    holding a quantity that is NaN, infinite or negative, ValueError naming its
    date and the id.
    """

def calc_portfolio_single_period(
    portfolio: list[Any],
    classifier: Any,
) -> tuple[pd.Series, pd.Series]:
    """Sector weights and returns of one period (a list of snapshots of unchanged
    holdings): (sector_weight, sector_return), Series by sector in sorted order,
    then "现金". Weights are the first snapshot's market values over its total
    (fractions); a sector's return is the weight-averaged compound return of its
    stocks from the first snapshot's date to the last, a missing daily rate
    counting as no change; a sector of weight 0 has return 0. ValueError when the
    first snapshot's market_value is 0, or when a snapshot holds a quantity that
    is NaN, infinite or negative (naming its date and the id).
    """

def combine(results: list[Any], sectors: list[str]) -> tuple[pd.Series, pd.Series]:
    """Links single-period results, a list of (length, (sector_weight,
    sector_return)) in time order, onto the rows `sectors`: (weight, return)
    Series by `sectors`. Weights are averaged weighted by length (not
    normalised); each period's contributions are scaled by the growth of the
    earlier periods, so they add up to the compound total return, and a sector's
    linked return is its contribution over its average weight (0 for weight 0).
    Labels outside `sectors` are dropped.
    """

def calc_benchmark_single_period(
    benchmark: Any,
    classifier: Any,
    start_date: Any,
    end_date: Any,
) -> tuple[pd.Series, pd.Series]:
    """Sector weights and returns of the benchmark from `start_date` to `end_date`
    with the weights of `start_date` (as fractions of their sum):
    (sector_weight, sector_return), Series by sector in sorted order; no cash.
    The weights keep the name of the benchmark's weighting Series ("weight" for
    an index).
    """

def calc_benchmark(
    benchmark: Any,
    dates: list[Any],
    classifier: Any,
) -> tuple[pd.Series, pd.Series]:
    """The benchmark's (sector_weight, sector_return) over `dates` (ascending),
    Series by "现金" then `classifier.all_sectors()`: dates are cut into runs of
    unchanged constituents, each run attributed with the weights of its first
    date, the runs linked, the weights normalised to 1 and the returns scaled so
    that their weighted sum is the benchmark's change from the first date to the
    last (unscaled when the linked sum is 0).
    """

def calc(
    portfolio_series: list[Any],
    benchmark: Any,
    classifier: Any,
    start_date: Any,
    end_date: Any,
    md: Any,
    method: str,
) -> pd.DataFrame:
    """Brinson attribution of the snapshots dated from `start_date` to `end_date`
    (both included, compared as calendar days) against `benchmark`, by the sectors
    of `classifier`; `md` supplies split coefficients. A DataFrame with the rows
    "现金", the classifier's sectors and "总计", and the columns
    PortfolioWeight, BenchmarkWeight, WeightDifference, PortfolioReturn,
    BenchmarkReturn, ReturnDifference, Allocation, Selection, Interaction,
    TotalActiveReturn (fractions). Weights are time averages normalised to 1;
    returns are linked over the periods and rescaled to the portfolio's market
    value change and the benchmark's close-to-close change. `method` "BHB"
    gives the Brinson-Hood-Beebower effects; any other value the
    Brinson-Fachler ones, allocation measured against the benchmark's total
    return. Effects add up to TotalActiveReturn on every row.

    Refused: a portfolio_series that is not a list of snapshots, a date that is
    not a date (a number, say), a benchmark without components(),
    get_weighting() and get_change_rate() (an order book id, say): TypeError; a
    series out of date order or a start_date after end_date: ValueError; an
    empty series or no snapshot in the range: meridan.EmptyInputError (a
    ValueError and an IndexError); a snapshot of the range whose market_value or
    cash is NaN or infinite, whose position has a market_value or quantity that
    is NaN, infinite or negative, or that holds an index, and a last snapshot
    worth 0 or less: ValueError naming the date (and the id).
    """
