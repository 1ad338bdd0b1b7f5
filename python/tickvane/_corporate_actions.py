"""Corporate actions: cash dividends and bonus-share splits per instrument, read whole on
first use."""

import numpy as np
import pandas as pd

from ._store_values import dates_column


class CorporateActions:
    """get_dividend and get_split over the dividends and splits tables of `store`."""

    def __init__(self, store):
        self._store = store
        self._actions = None

    def _loaded(self):
        actions = self._actions
        if actions is None:
            store = self._store
            with store._lock:
                if self._actions is None:
                    with store._loading("dividends and splits"):
                        self._actions = self._load()
                actions = self._actions
        return actions

    def _load(self):
        store = self._store
        dividends, splits = {}, {}
        for row in store._query(
                "SELECT order_book_id, book_closure_date, ex_dividend_date,"
                " payable_date, dividend_cash_before_tax, round_lot"
                " FROM dividends ORDER BY order_book_id, ex_dividend_date"):
            dividends.setdefault(row[0], []).append(row[1:])
        for row in store._query(
                "SELECT order_book_id, ex_date, split_coefficient_from,"
                " split_coefficient_to FROM splits ORDER BY order_book_id, ex_date"):
            splits.setdefault(row[0], []).append(row[1:])
        return dividends, splits

    def get_dividend(self, order_book_id, adjusted=True):
        store = self._store
        oid = store._one_id(order_book_id)
        dividends, splits = self._loaded()
        rows = dividends.get(oid)
        if not rows:
            return None
        cash = np.array([r[3] for r in rows], dtype=np.float64)
        if adjusted and oid in splits:
            # Re-express each amount per round lot of today's shares: a split on or after the
            # ex-dividend date divides it by the split's ratio.
            ex_days = np.array([r[1] for r in rows], dtype=np.int64)
            for ex_date, ratio_from, ratio_to in splits[oid]:
                cash = np.where(ex_days <= ex_date, cash * (ratio_from / ratio_to), cash)
        with store._reading("dividends"):
            book_closure = dates_column([r[0] for r in rows])
            ex_dividend = dates_column([r[1] for r in rows])
            payable = dates_column([r[2] for r in rows])
        frame = pd.DataFrame({
            "book_closure_date": book_closure,
            "ex_dividend_date": ex_dividend,
            "payable_date": payable,
            "dividend_cash_before_tax": cash,
            "round_lot": np.array([r[4] for r in rows], dtype=np.int64),
        })
        return frame

    def get_split(self, order_book_id):
        store = self._store
        oid = store._one_id(order_book_id)
        rows = self._loaded()[1].get(oid)
        if not rows:
            return None
        with store._reading("splits"):
            index = pd.DatetimeIndex(dates_column([r[0] for r in rows]), name="ex_date")
        return pd.DataFrame({
            "split_coefficient_from": np.array([r[1] for r in rows], dtype=np.float64),
            "split_coefficient_to": np.array([r[2] for r in rows], dtype=np.float64),
        }, index=index)


def ex_reference(previous_close, cash_per_share, split_ratio):
    """The reference price of an ex date: the previous close less the cash per share,
    spread over the shares after a split (`split_ratio` new shares per old one), on the
    0.01 tick and at least 0.01. The adjustment factor is multiplied on that day by
    previous close / reference, so the day's change rate is measured from the reference.
    The sample market and the importer's factors both come from here."""
    return max(round((previous_close - cash_per_share) / split_ratio, 2), 0.01)
