"""Index membership: the constituents of each index and their weights, as recorded on
the days they changed. Both tables are read whole on first use; a request is a binary
search over an index's recorded days."""

import bisect
import itertools

import numpy as np
import pandas as pd

from ._dates import to_ordinal, ymd_to_date


class IndexMembership:
    """index_components and index_weights over the index tables of `store`."""

    def __init__(self, store):
        self._store = store
        self._components = None
        self._weights = None

    def _loaded(self):
        if self._components is None:
            store = self._store
            with store._lock:
                if self._components is None:
                    with store._loading("the index tables"):
                        self._load()

    def _load(self):
        store = self._store
        components = {}
        cur = store._query("SELECT index_id, date, order_book_id FROM index_components"
                           " ORDER BY index_id, date, order_book_id")
        for index_id, group in itertools.groupby(cur, key=lambda r: r[0]):
            days, members = [], []
            for ymd, rows in itertools.groupby(group, key=lambda r: r[1]):
                days.append(ymd_to_date(ymd).toordinal())
                members.append(tuple(r[2] for r in rows))
            components[index_id] = (days, members)
        weights = {}
        cur = store._query("SELECT index_id, date, order_book_id, weight FROM index_weights"
                           " ORDER BY index_id, date, order_book_id")
        for index_id, group in itertools.groupby(cur, key=lambda r: r[0]):
            days, sets = [], []
            for ymd, rows in itertools.groupby(group, key=lambda r: r[1]):
                rows = list(rows)
                days.append(ymd_to_date(ymd).toordinal())
                # The id Index is built on first use of the date and then shared: an Index
                # is immutable, so handing the same one to every caller is safe.
                sets.append([[r[2] for r in rows], np.array([r[3] for r in rows]), None])
            weights[index_id] = (days, sets)
        self._weights = weights
        # Set last: a reader that sees the components sees the weights too.
        self._components = components

    def _index_id(self, order_book_id):
        store = self._store
        oid = store._one_id(order_book_id)
        if store._inst[oid].type != "INDX":
            raise ValueError("%r is not an index (its type is %r)"
                             % (oid, store._inst[oid].type))
        return oid

    def index_components(self, order_book_id, date):
        oid = self._index_id(order_book_id)
        day = to_ordinal(date)
        self._loaded()
        entry = self._components.get(oid)
        if entry is None:
            return []
        days, members = entry
        i = bisect.bisect_right(days, day) - 1
        return list(members[i]) if i >= 0 else []

    def index_weights(self, order_book_id, date):
        oid = self._index_id(order_book_id)
        day = to_ordinal(date)
        self._loaded()
        entry = self._weights.get(oid)
        i = -1 if entry is None else bisect.bisect_right(entry[0], day) - 1
        if i < 0:
            return pd.Series([], index=pd.Index([], dtype=object, name="order_book_id"),
                             dtype=np.float64, name="weight")
        item = entry[1][i]
        if item[2] is None:
            item[2] = pd.Index(item[0], name="order_book_id")
        return pd.Series(item[1].copy(), index=item[2], name="weight", copy=False)
