"""The store's daily closes: unadjusted, forward- and backward-adjusted, and the daily
total-return change rates, held as dense (instrument row, trading-day position) matrices.

Prices load one instrument at a time on first request, so a request pays only for the
instruments it names; a repeated request is a slice and a pandas constructor.
"""

import itertools

import numpy as np
import pandas as pd

from ._store_values import NAN

_ADJUST_TYPES = ("none", "pre", "post")
_PRICE_FIELDS = (None, "close", "ClosingPx")


class Prices:
    """get_price and get_price_change_rate over the `prices` table of `store` (the open
    Store: its connection, calendar, instruments and argument checks)."""

    def __init__(self, store):
        self._store = store
        self._px = None

    def _arrays(self, rows):
        store = self._store
        px = self._px
        if px is None or not px["loaded"][rows].all():
            with store._lock:
                px = self._px
                if px is None:
                    shape = (len(store._ids), store._n_dates)
                    # np.empty: only the rows actually loaded ever take memory.
                    px = {"none": np.empty(shape), "pre": np.empty(shape),
                          "post": np.empty(shape), "change": np.empty(shape),
                          "loaded": np.zeros(len(store._ids), dtype=bool)}
                    self._px = px
                with store._loading("prices"):
                    for row in rows[~px["loaded"][rows]]:
                        self._load(int(row), px)
        return px

    def _load(self, row, px):
        store = self._store
        cur = store._query("SELECT date, close, adj_factor FROM prices"
                           " WHERE order_book_id = ? ORDER BY date", (store._ids[row],))
        data = np.fromiter(itertools.chain.from_iterable(cur), dtype=np.float64).reshape(-1, 3)
        close, pre, post, change = (px["none"][row], px["pre"][row], px["post"][row],
                                    px["change"][row])
        for arr in (close, pre, post, change):
            arr.fill(NAN)
        if len(data):
            pos = np.searchsorted(store._cal_ymd, data[:, 0].astype(np.int64))
            raw, factor = data[:, 1], data[:, 2]
            close[pos] = raw
            post_values = raw * (factor / factor[0])
            post[pos] = post_values
            pre[pos] = raw * (factor / factor[-1])
            # Suspended days inside the listing change by 0; a traded day is measured
            # against the last close before it, however many days back.
            last = max(int(store._last_listed[row]), int(pos[-1]))
            change[pos[0]:last + 1] = 0.0
            change[pos[1:]] = post_values[1:] / post_values[:-1] - 1.0
            change[pos[0]] = NAN
        px["loaded"][row] = True

    def get_price(self, order_book_ids, start_date=None, end_date=None, frequency="1d",
                  fields=None, adjust_type="pre"):
        if frequency != "1d":
            raise ValueError("unsupported frequency %r: only '1d' (daily) is available"
                             % (frequency,))
        if fields not in _PRICE_FIELDS:
            raise ValueError("unsupported fields %r: use None, 'close' or 'ClosingPx'"
                             % (fields,))
        if adjust_type not in _ADJUST_TYPES:
            raise ValueError("unsupported adjust_type %r: use 'none', 'pre' or 'post'"
                             % (adjust_type,))
        store = self._store
        single, ids = store._ids_arg(order_book_ids)
        i0, i1 = store._span(start_date, end_date, open_ends=True)
        if i0 >= i1 or not ids:
            return None
        rows = store._rows(ids)
        matrix = self._arrays(rows)[adjust_type]
        index = store._cal_index
        if single:
            values = matrix[rows[0], i0:i1]
            traded = values == values
            if traded.all():
                return pd.Series(values.copy(), index=index[i0:i1], name=ids[0], copy=False)
            if not traded.any():
                return None
            return pd.Series(values[traded], index=index[i0:i1][traded], name=ids[0],
                             copy=False)
        block = matrix[rows, i0:i1]
        if np.isnan(block).all():
            return None
        return pd.DataFrame(block.T, index=index[i0:i1], columns=pd.Index(ids), copy=False)

    def get_price_change_rate(self, order_book_ids, start_date, end_date):
        store = self._store
        single, ids = store._ids_arg(order_book_ids)
        i0, i1 = store._span(start_date, end_date)
        if i0 >= i1:
            return None
        rows = store._rows(ids)
        change = self._arrays(rows)["change"] if ids else None
        index = store._cal_index
        if single:
            return pd.Series(change[rows[0], i0:i1].copy(), index=index[i0:i1], name=ids[0],
                             copy=False)
        block = change[rows, i0:i1] if ids else np.empty((0, i1 - i0))
        return pd.DataFrame(block.T, index=index[i0:i1], columns=pd.Index(ids), copy=False)
