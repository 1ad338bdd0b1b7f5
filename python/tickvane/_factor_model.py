"""The factor model's exposures: ten style factors per (instrument, trading day), held as
a dense (instrument row, trading-day position, factor) array.

Exposures are the largest table by far, so they load by instrument and calendar year: a
first request for a quarter reads about a year per instrument, not its whole history.
The factor returns are a daily table of their own (see _daily_tables).
"""

import itertools

import numpy as np
import pandas as pd

from . import _schema
from ._store_values import NAN

_MISSING = 1e300  # stands for NULL while exposures stream out of SQLite


class FactorExposures:
    """get_factor_exposure over the `factor_exposures` table of `store`."""

    def __init__(self, store):
        self._store = store
        self._ex = None

    def _arrays(self, rows, i0, i1):
        """The exposure matrices with every (row, year) chunk of [i0, i1) loaded."""
        store = self._store
        ex = self._ex
        chunks = np.arange(store._chunk_of[i0], store._chunk_of[i1 - 1] + 1)
        if ex is None or not ex["loaded"][np.ix_(rows, chunks)].all():
            with store._lock:
                ex = self._ex
                if ex is None:
                    n = len(store._ids)
                    ex = {"values": np.empty((n, store._n_dates, len(_schema.FACTORS))),
                          "present": np.zeros((n, store._n_dates), dtype=bool),
                          "loaded": np.zeros((n, len(store._chunk_start)), dtype=bool),
                          "columns": pd.Index(_schema.FACTORS)}
                    self._ex = ex
                # NULL (a missing exposure) comes back as a sentinel, so that the rows
                # stream straight into numpy without a Python-level pass.
                sql = ("SELECT date, %s FROM factor_exposures WHERE order_book_id = ?"
                       " AND date BETWEEN ? AND ? ORDER BY date"
                       % ", ".join('IFNULL("%s", %r)' % (f, _MISSING) for f in _schema.FACTORS))
                width = len(_schema.FACTORS) + 1
                with store._loading("factor_exposures"):
                    self._load(ex, rows, chunks, sql, width)
        return ex

    def _load(self, ex, rows, chunks, sql, width):
        store = self._store
        starts = store._chunk_start
        for row in rows:
            row = int(row)
            for chunk in chunks[~ex["loaded"][row, chunks]]:
                a = int(starts[chunk])
                b = int(starts[chunk + 1]) if chunk + 1 < len(starts) else store._n_dates
                cur = store._query(sql, (store._ids[row], int(store._cal_ymd[a]),
                                         int(store._cal_ymd[b - 1])))
                data = np.fromiter(itertools.chain.from_iterable(cur),
                                   dtype=np.float64).reshape(-1, width)
                values = ex["values"][row, a:b]
                values.fill(NAN)
                if len(data):
                    pos = np.searchsorted(store._cal_ymd, data[:, 0].astype(np.int64))
                    block = data[:, 1:]
                    block[block == _MISSING] = NAN
                    ex["values"][row, pos] = block
                    ex["present"][row, pos] = True
                ex["loaded"][row, chunk] = True

    def get_factor_exposure(self, order_book_ids, start_date, end_date):
        store = self._store
        single, ids = store._ids_arg(order_book_ids)
        i0, i1 = store._span(start_date, end_date)
        if i0 >= i1 or not ids:
            return None
        rows = store._rows(ids)
        ex = self._arrays(rows, i0, i1)
        present = ex["present"][rows, i0:i1]
        if not present.any():
            return None
        n_days = i1 - i0
        if len(ids) == 1:
            keep = present[0]
            values = ex["values"][rows[0], i0:i1][keep]
            return pd.DataFrame(values, index=store._cal_index[i0:i1][keep],
                                columns=ex["columns"], copy=False)
        keep = present.ravel()
        # One gather of the kept (instrument, day) rows straight from the flat matrix: no
        # intermediate block, which would cost a fresh multi-megabyte allocation per call.
        flat = (rows[:, None] * store._n_dates + np.arange(i0, i1)[None, :]).ravel()[keep]
        values = np.take(ex["values"].reshape(-1, len(_schema.FACTORS)), flat, axis=0)
        codes_id = np.repeat(np.arange(len(ids)), n_days)[keep]
        codes_day = np.tile(np.arange(n_days), len(ids))[keep]
        index = pd.MultiIndex(levels=[pd.Index(ids), store._cal_index[i0:i1]],
                              codes=[codes_id, codes_day], names=["order_book_id", "date"],
                              verify_integrity=False)
        if not present.any(axis=1).all():
            index = index.remove_unused_levels()
        return pd.DataFrame(values, index=index, columns=ex["columns"], copy=False)
