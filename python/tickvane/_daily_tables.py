"""A small table with one row per trading date (factor returns, the yield curve), read
whole on its first use and held as a (trading day, column) matrix."""

import numpy as np
import pandas as pd

from ._store_values import NAN, checked_ymd


class DailyTable:
    """The rows of `table` (a date column and `columns`) of `store`, by trading day."""

    def __init__(self, store, table, columns):
        self._store = store
        self._table = table
        self._columns = columns
        self._data = None

    def _loaded(self):
        data = self._data
        if data is None:
            store = self._store
            with store._lock:
                data = self._data
                if data is None:
                    data = self._read()
                    self._data = data
        return data

    def _read(self):
        store, table, columns = self._store, self._table, self._columns
        sql = "SELECT date, %s FROM %s ORDER BY date" % (
            ", ".join('"%s"' % c for c in columns), table)
        with store._loading(table):
            rows = np.array(store._query(sql).fetchall(),
                            dtype=np.float64).reshape(-1, len(columns) + 1)
            if len(rows):
                checked_ymd(int(rows[0, 0]), table + ".date")
                checked_ymd(int(rows[-1, 0]), table + ".date")
        values = np.full((store._n_dates, len(columns)), NAN)
        present = np.zeros(store._n_dates, dtype=bool)
        if len(rows):
            pos = np.searchsorted(store._cal_ymd, rows[:, 0].astype(np.int64))
            values[pos] = rows[:, 1:]
            present[pos] = True
        return {"values": values, "present": present, "columns": pd.Index(columns)}

    def frame(self, start_date, end_date, open_ends=False):
        """The rows from start_date to end_date (both included) as a DataFrame indexed by
        date; None when the table has no row there."""
        data = self._loaded()
        store = self._store
        i0, i1 = store._span(start_date, end_date, open_ends)
        if i0 >= i1:
            return None
        keep = data["present"][i0:i1]
        if not keep.any():
            return None
        return pd.DataFrame(data["values"][i0:i1][keep], index=store._cal_index[i0:i1][keep],
                            columns=data["columns"], copy=False)
