# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Style-factor exposure of portfolio snapshots and of their benchmark."""

from typing import Any

import pandas as pd

TRANSLATION: dict[str, str]

def get_exposure(order_book_ids: list[str], date: Any) -> pd.DataFrame:
    """Average style-factor exposure of each instrument of `order_book_ids` (a list)
    over its last 22 dates with exposures in the 90 calendar days up to `date`.
    A DataFrame with one row per instrument that has exposures, in the order
    asked for, and one column per factor (the service's factor names). When the
    service has nothing for the window, it is moved back one trading day at a time,
    at most 30 times and no further back than 60 calendar days (a date long after
    the data's end has none); then RuntimeError. `date` may be date text. An
    empty list asks for nothing and gives an empty table over the ten factors.
    """

def _is_new_stock(order_book_id: str, date: pd.Timestamp) -> bool:
    """Whether the stock counts as newly listed on `date` (a Timestamp): listed fewer
    than 150 calendar days before, or 150 to 365 days before with at most 132
    trading dates from its listing date to `date`.
    """

def to_date(d: Any) -> Any:
    """`d.date()` for a datetime (a pandas Timestamp included), otherwise `d`."""

def single_exposure_analysis(portfolio: Any, benchmark: Any, date: Any) -> dict[str, Any]:
    """Factor exposure of one portfolio snapshot and of a benchmark on `date`.

    A dict: "portfolio_exposure" (a Series by factor: the holdings' exposures
    weighted by market value, newly listed stocks left out and the rest scaled to
    sum to one), "benchmark_exposure" (the same for the benchmark's weights; None
    without a benchmark), "detailed_portfolio_exposure" (a DataFrame by holding
    and factor: each holding's share of the portfolio's exposure),
    "st_stock_weight" and "new_stock_weight" (fractions of the whole book's
    market value held in special-treatment and in newly listed stocks). A snapshot
    without positions gives None, None and 0, 0; one of newly listed stocks only
    gives None exposures with its weights.

    Refused before any request (ValueError naming the date, and the id): a
    market_value or cash that is NaN or infinite, a position's market_value that
    is NaN, infinite or negative, a snapshot worth 0 or less; a benchmark without
    get_weighting() (an order book id, say: TypeError); a date that is a number
    (TypeError). A holding of an index is refused when it is looked up.
    """

def exposure_analysis(
    portfolio_series: list[Any],
    benchmark: Any,
    start_date: Any,
    end_date: Any,
) -> dict[str, dict[str, Any]]:
    """Factor exposure of up to three snapshots of `portfolio_series` between
    `start_date` and `end_date` (calendar days, both included): those nearest to
    the end date and to one and two steps before it, the step being 3 months for
    a range of up to 365 days, 6 months up to 1095 days, a year beyond. A dict by
    the snapshot's date ("YYYY-MM-DD"), newest first, of records with "factors"
    (display labels), "portfolio" and "benchmark" (exposures in that order),
    "st_stock_weight" and "new_stock_weight". A benchmark must be given.

    Refused: a portfolio_series that is not a list of snapshots or a benchmark
    without get_weighting() (TypeError), dates that are not dates (TypeError), a
    start_date after end_date (ValueError); a snapshot of the range whose
    market_value or cash is not finite, a snapshot analysed holding a position
    without an id (KeyError) or whose market_value is not a finite number of 0
    or more (the positions of the others are not read), a snapshot analysed
    holding an index, and a last snapshot of the range worth 0 or less
    (ValueError). No snapshot in the range (an empty series, say) gives an empty
    dict and asks nothing.
    """

def exposure_analysis_1(
    portfolio_series: list[Any],
    benchmark: Any,
    start_date: Any,
    end_date: Any,
) -> dict[str, dict[str, Any]]:
    """As exposure_analysis, for the first, the middle and the last snapshot between
    the dates (all of them when there are at most three), oldest first; a start
    before 2010-01-01 counts from 2010-01-01.
    """
