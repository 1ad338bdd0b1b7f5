# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Index benchmarks for Brinson attribution, with a process-wide memo."""

from typing import Any

import pandas as pd

BrinsonBenchmark_HS300: IndexBenchmark
BrinsonBenchmark_ZZ500: IndexBenchmark

def index_components(order_book_id: str, date: Any) -> list[str]:
    """The constituent ids of index `order_book_id` on `date`, as the
    market-data client answers them. Memoised for the process; each call
    answers a new list, which the caller may change.
    """

def index_weights(order_book_id: str, date: Any) -> pd.Series:
    """The constituent weights of index `order_book_id` on `date`: a Series
    by constituent id, as the market-data client answers it. Memoised for
    the process; each call answers a new Series, which the caller may change.
    """

def get_change_rate(order_book_id: str, start_date: Any, end_date: Any) -> float:
    """Price change of `order_book_id` from `start_date` to `end_date` as a fraction:
    the last unadjusted close of the range over the first, minus 1 (0.0 for a
    single close). Memoised for the process. An empty reply raises IndexError, no
    reply (None) TypeError.
    """

class BrinsonBenchmark:
    """A benchmark of an attribution: constituents and weights on a date, total return
    over a range.
    """
    def components(self, date: Any) -> list[str]:
        """Implemented by benchmarks: the constituent ids on `date`."""
    def get_weighting(self, date: Any) -> pd.Series:
        """Implemented by benchmarks: a Series of constituent weights on `date`."""
    def get_change_rate(self, start_date: Any, end_date: Any) -> float:
        """Implemented by benchmarks: the total return from `start_date` to `end_date`."""

class IndexBenchmark(BrinsonBenchmark):
    """A stock index as benchmark, read through the module's memoised functions."""
    def __init__(self, order_book_id: str) -> None:
        """A benchmark on the index `order_book_id`, kept as `_index`."""
    def components(self, date: Any) -> list[str]:
        """The index's constituent ids on `date`: a new list on each call
        (memoised).
        """
    def get_weighting(self, date: Any) -> pd.Series:
        """The index's constituent weights on `date`, a Series by id: a new
        Series on each call (memoised).
        """
    def get_change_rate(self, start_date: Any, end_date: Any) -> float:
        """The index's close-to-close change from `start_date` to `end_date`,
        a fraction (memoised).
        """
