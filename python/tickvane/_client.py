"""The read side: one open store file and the in-memory arrays that answer every operation.

Opening reads only the calendar, the instruments and the special-treatment periods. Each
other table is read on its first use: prices and factor exposures one instrument at a
time (a request pays only for the instruments it names), the smaller tables whole. Data
then lives in dense matrices indexed by (instrument row, trading-day position), so a
repeated request is a slice and a pandas constructor, not a query.

Opening checks that every table and column of the schema is there. Whatever fails later
while a table is read (a damaged page, a value that is no number or no date of 1900 to
2199) is a StoreError naming the file, the table and how to get a good store back.

The file must stay the one opened: a table is read into memory only while the file has
the device, inode, size and modification time it had at opening. A store copied over
the open file (or replaced, or removed) is a StoreError telling the caller to reopen it,
rather than new pages mixed with the old data already held.
"""

import bisect
import contextlib
import datetime as _dt
import itertools
import os
import sqlite3
import threading
from urllib.parse import quote

import numpy as np
import pandas as pd

from . import _schema
from ._dates import to_ordinal, ymd_to_date
from ._errors import StoreError
from ._records import Instrument

_NAN = float("nan")
# Date indexes use the resolution the installed pandas gives dates by default (ns on pandas
# 2, us on pandas 3), so replies compare equal to frames a caller builds from dates.
_UNIT = pd.date_range("2000-01-01", periods=1).unit
_MISSING = 1e300  # stands for NULL while exposures stream out of SQLite
_ADJUST_TYPES = ("none", "pre", "post")
_PRICE_FIELDS = (None, "close", "ClosingPx")


# The range of years a store may hold: every date the client hands out must convert to
# a pandas Timestamp and a datetime.date.
FIRST_YMD, LAST_YMD = 19000101, 21991231


class OutdatedStoreError(StoreError):
    """The file is a store of another schema version (written by another tickvane)."""


def connect_readonly(path):
    uri = "file:%s?mode=ro" % quote(os.path.abspath(path))
    return sqlite3.connect(uri, uri=True, check_same_thread=False)


def _timestamp(ymd):
    return None if ymd is None else pd.Timestamp(ymd_to_date(int(ymd)))


class Store:
    def __init__(self, path):
        self.path = os.path.abspath(path)
        if not os.path.isfile(self.path):
            raise FileNotFoundError("no tickvane store at %s" % self.path)
        self._lock = threading.RLock()
        self._con = None
        self._changed = None
        self._identity = _file_identity(self.path)
        con = connect_readonly(self.path)
        try:
            self.meta = dict(con.execute("SELECT key, value FROM meta"))
        except sqlite3.DatabaseError as exc:
            con.close()
            raise StoreError("%s is not a tickvane store (%s)" % (self.path, exc)) from None
        version = self.meta.get("schema_version")
        if version != _schema.SCHEMA_VERSION:
            con.close()
            raise OutdatedStoreError(
                "%s has store schema version %r; this tickvane reads version %r (%s)"
                % (self.path, version, _schema.SCHEMA_VERSION, rebuild_hint(self.path,
                                                                            self.meta)))
        self._con = con
        try:
            self._check_tables()
            self._open_calendar()
            self._open_instruments()
            self._open_st_periods()
        except (sqlite3.Error, ValueError, OverflowError) as exc:
            self.close()
            raise self._damaged("opening it", exc) from None
        except BaseException:
            self.close()
            raise
        self._px = None
        self._ex = None
        self._factor_returns = None
        self._yield_curve = None
        self._components = None
        self._weights = None
        self._actions = None

    def close(self):
        with self._lock:
            if self._con is not None:
                self._con.close()
                self._con = None

    def _query(self, sql, args=()):
        if self._con is None:
            raise StoreError("the store %s has been closed" % self.path)
        return self._con.execute(sql, args)

    def _damaged(self, what, exc):
        if isinstance(exc, StoreError):
            return exc
        return StoreError("%s is damaged or incomplete (%s: %s; %s)" % (
            self.path, what, exc, rebuild_hint(self.path, self.meta)))

    @contextlib.contextmanager
    def _loading(self, table):
        """``_reading`` for a table read from the file into memory: the file must still
        be the one opened, or its pages would be mixed with what is already held."""
        self._check_unchanged(table)
        with self._reading(table):
            yield

    def _check_unchanged(self, table):
        if self._changed is None:
            try:
                now = _file_identity(self.path)
            except OSError:
                now = None
            if now != self._identity:
                self._changed = (
                    "%s %s since the client opened it (wanted to read %s): the data already"
                    " read came from the old file, so the new one is not read into it;"
                    " reopen the store with tickvane.use_store(%r) or tickvane.close_store()"
                    ", or restart the program" % (
                        self.path, "was removed" if now is None else
                        "was replaced or changed", table, self.path))
        if self._changed is not None:
            raise StoreError(self._changed)

    @contextlib.contextmanager
    def _reading(self, table):
        """Report any failure to read `table` (SQLite errors, values no date or number can
        be made of) as a StoreError naming the file: such a file is damaged."""
        try:
            yield
        except (sqlite3.Error, ValueError, OverflowError) as exc:
            raise self._damaged("reading %s" % table, exc) from None

    def _check_tables(self):
        found = {}
        for (table,) in self._query("SELECT name FROM sqlite_master WHERE type = 'table'"):
            found[table] = None
        missing = [t for t in _schema.TABLES if t not in found]
        if missing:
            raise StoreError("%s is incomplete: table%s %s %s missing (%s)" % (
                self.path, "s" if len(missing) > 1 else "", ", ".join(missing),
                "are" if len(missing) > 1 else "is", rebuild_hint(self.path, self.meta)))
        for table in _schema.TABLES:
            columns = {r[1] for r in self._query('PRAGMA table_info("%s")' % table)}
            lost = [c for c in _schema.COLUMNS[table] if c not in columns]
            if lost:
                raise StoreError("%s is incomplete: table %s has no column %s (%s)" % (
                    self.path, table, ", ".join(lost), rebuild_hint(self.path, self.meta)))

    def check(self):
        """Check what opening does not read: the date columns of the tables read on first
        use lie in the years the client serves (the daily tables' dates are checked
        against the calendar at import, so their small companions are checked here)."""
        dated = {"dividends": ("book_closure_date", "ex_dividend_date", "payable_date"),
                 "splits": ("ex_date",), "index_components": ("date",),
                 "index_weights": ("date",), "factor_returns": ("date",),
                 "yield_curve": ("date",)}
        with self._loading("the date columns"):
            for table, columns in dated.items():
                for col in columns:
                    low, high = self._query('SELECT MIN("%s"), MAX("%s") FROM %s'
                                            % (col, col, table)).fetchone()
                    for ymd in (low, high):
                        if ymd is not None:
                            _checked_ymd(ymd, "%s.%s" % (table, col))

    # ---------------------------------------------------------------- opening

    def _open_calendar(self):
        ymd = [r[0] for r in self._query("SELECT date FROM trading_dates ORDER BY date")]
        if not ymd:
            raise StoreError("%s has an empty trading calendar" % self.path)
        _checked_ymd(ymd[0], "trading_dates.date")
        _checked_ymd(ymd[-1], "trading_dates.date")
        self._cal_ymd = np.array(ymd, dtype=np.int64)
        self._cal_dates = [ymd_to_date(v) for v in ymd]
        self._cal_ord = [d.toordinal() for d in self._cal_dates]
        days = np.array(self._cal_dates, dtype="datetime64[D]").astype("datetime64[%s]" % _UNIT)
        self._cal_index = pd.DatetimeIndex(days, name="date")
        self._n_dates = len(ymd)
        years = self._cal_ymd // 10000
        self._chunk_start = np.flatnonzero(np.diff(years, prepend=-1))
        self._chunk_of = np.cumsum(np.diff(years, prepend=years[0]) != 0)

    def _open_instruments(self):
        rows = self._query(
            "SELECT order_book_id, symbol, type, exchange, listed_date, de_listed_date,"
            " round_lot, sector_code_name, shenwan_industry_name"
            " FROM instruments ORDER BY order_book_id").fetchall()
        self._ids = [r[0] for r in rows]
        self._row = {oid: i for i, oid in enumerate(self._ids)}
        self._inst = {}
        # Position of the last trading day on which each instrument was still listed: its
        # change rate is 0 (not NaN) on suspended days up to there.
        last_listed = np.full(len(rows), self._n_dates - 1, dtype=np.intp)
        for i, (oid, symbol, kind, exchange, listed, delisted, lot, sector, industry) in \
                enumerate(rows):
            self._inst[oid] = Instrument(
                order_book_id=oid, symbol=symbol, type=kind, exchange=exchange,
                listed_date=_timestamp(listed), de_listed_date=_timestamp(delisted),
                round_lot=int(lot), sector_code_name=sector, shenwan_industry_name=industry,
                shenwan_industry_code=_schema.SHENWAN_CODE.get(industry))
            if delisted is not None:
                pos = int(np.searchsorted(self._cal_ymd, delisted, side="left")) - 1
                last_listed[i] = pos
        self._last_listed = last_listed

    def _open_st_periods(self):
        periods = {}
        for oid, start, end in self._query(
                "SELECT order_book_id, start_date, end_date FROM st_periods"
                " ORDER BY order_book_id, start_date"):
            start_ord = ymd_to_date(start).toordinal()
            end_ord = ymd_to_date(end).toordinal() if end is not None else 10 ** 9
            periods.setdefault(oid, []).append((start_ord, end_ord))
        self._st = periods

    # ---------------------------------------------------------------- arguments

    def _ids_arg(self, order_book_ids):
        """(one id given as text?, de-duplicated id list in request order)."""
        if isinstance(order_book_ids, str):
            ids = [order_book_ids]
            single = True
        elif isinstance(order_book_ids, (list, tuple, np.ndarray, pd.Index, pd.Series)):
            ids = list(order_book_ids)
            single = False
            bad = [x for x in ids if not isinstance(x, str)]
            if bad:
                raise ValueError("order_book_ids must be text; got %s"
                                 % ", ".join(repr(x) for x in bad[:10]))
            if len(ids) > 1:
                ids = list(dict.fromkeys(ids))
        else:
            raise ValueError("order_book_ids must be an id or a list of ids, not %r"
                             % (order_book_ids,))
        unknown = [x for x in ids if x not in self._row]
        if unknown:
            raise ValueError("unknown order_book_id%s: %s" % (
                "s" if len(unknown) > 1 else "", ", ".join(repr(x) for x in unknown[:20])))
        return single, ids

    def _one_id(self, order_book_id):
        if not isinstance(order_book_id, str):
            raise ValueError("order_book_id must be one id as text, not %r" % (order_book_id,))
        if order_book_id not in self._row:
            raise ValueError("unknown order_book_id: %r" % (order_book_id,))
        return order_book_id

    def _rows(self, ids):
        row = self._row
        return np.fromiter((row[x] for x in ids), dtype=np.intp, count=len(ids))

    def _span(self, start_date, end_date, open_ends=False):
        """Positions [i0, i1) of the trading days from start to end, both included.

        With open_ends a None start or end means the first or last date of the store;
        otherwise None is not a date.
        """
        if open_ends and start_date is None:
            i0 = 0
        else:
            i0 = bisect.bisect_left(self._cal_ord, to_ordinal(start_date))
        if open_ends and end_date is None:
            i1 = self._n_dates
        else:
            i1 = bisect.bisect_right(self._cal_ord, to_ordinal(end_date))
        return i0, i1

    # ---------------------------------------------------------------- calendar

    def get_trading_dates(self, start_date, end_date):
        i0, i1 = self._span(start_date, end_date)
        return self._cal_dates[i0:i1] if i0 < i1 else []

    def get_previous_trading_date(self, date):
        i = bisect.bisect_left(self._cal_ord, to_ordinal(date)) - 1
        return self._cal_index[i] if i >= 0 else None

    def get_next_trading_date(self, date):
        i = bisect.bisect_right(self._cal_ord, to_ordinal(date))
        return self._cal_index[i] if i < self._n_dates else None

    # ---------------------------------------------------------------- instruments

    def instruments(self, order_book_ids):
        single, ids = self._ids_arg(order_book_ids)
        if single:
            return self._inst[ids[0]]
        return [self._inst[x] for x in ids]

    def all_instruments(self, type=None, date=None):
        if type is None:
            kinds = set(_schema.INSTRUMENT_TYPES)
        else:
            kinds = {type} if isinstance(type, str) else set(type)
            bad = kinds - set(_schema.INSTRUMENT_TYPES)
            if bad:
                raise ValueError("unknown instrument type%s: %s (known: %s)" % (
                    "s" if len(bad) > 1 else "", ", ".join(sorted(map(repr, bad))),
                    ", ".join(_schema.INSTRUMENT_TYPES)))
        day = None if date is None else pd.Timestamp(_dt.date.fromordinal(to_ordinal(date)))
        records = []
        for oid in self._ids:
            inst = self._inst[oid]
            if inst.type not in kinds:
                continue
            if day is not None and (inst.listed_date > day or (
                    inst.de_listed_date is not None and inst.de_listed_date <= day)):
                continue
            records.append(inst._asdict())
        columns = ["order_book_id", "symbol", "type", "exchange", "listed_date",
                   "de_listed_date", "round_lot", "sector_code_name",
                   "shenwan_industry_name", "shenwan_industry_code"]
        frame = pd.DataFrame.from_records(records, columns=columns)
        for col in ("listed_date", "de_listed_date"):
            frame[col] = pd.to_datetime(frame[col]).astype("datetime64[%s]" % _UNIT)
        return frame

    def is_st_stock(self, order_book_id, date):
        periods = self._st.get(self._one_id(order_book_id))
        if not periods:
            return False
        day = to_ordinal(date)
        return any(start <= day <= end for start, end in periods)

    # ---------------------------------------------------------------- prices

    def _price_arrays(self, rows):
        px = self._px
        if px is None or not px["loaded"][rows].all():
            with self._lock:
                px = self._px
                if px is None:
                    shape = (len(self._ids), self._n_dates)
                    # np.empty: only the rows actually loaded ever take memory.
                    px = {"none": np.empty(shape), "pre": np.empty(shape),
                          "post": np.empty(shape), "change": np.empty(shape),
                          "loaded": np.zeros(len(self._ids), dtype=bool)}
                    self._px = px
                with self._loading("prices"):
                    for row in rows[~px["loaded"][rows]]:
                        self._load_prices(int(row), px)
        return px

    def _load_prices(self, row, px):
        cur = self._query("SELECT date, close, adj_factor FROM prices"
                          " WHERE order_book_id = ? ORDER BY date", (self._ids[row],))
        data = np.fromiter(itertools.chain.from_iterable(cur), dtype=np.float64).reshape(-1, 3)
        close, pre, post, change = (px["none"][row], px["pre"][row], px["post"][row],
                                    px["change"][row])
        for arr in (close, pre, post, change):
            arr.fill(_NAN)
        if len(data):
            pos = np.searchsorted(self._cal_ymd, data[:, 0].astype(np.int64))
            raw, factor = data[:, 1], data[:, 2]
            close[pos] = raw
            post_values = raw * (factor / factor[0])
            post[pos] = post_values
            pre[pos] = raw * (factor / factor[-1])
            # Suspended days inside the listing change by 0; a traded day is measured
            # against the last close before it, however many days back.
            last = max(int(self._last_listed[row]), int(pos[-1]))
            change[pos[0]:last + 1] = 0.0
            change[pos[1:]] = post_values[1:] / post_values[:-1] - 1.0
            change[pos[0]] = _NAN
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
        single, ids = self._ids_arg(order_book_ids)
        i0, i1 = self._span(start_date, end_date, open_ends=True)
        if i0 >= i1 or not ids:
            return None
        rows = self._rows(ids)
        matrix = self._price_arrays(rows)[adjust_type]
        if single:
            values = matrix[rows[0], i0:i1]
            traded = values == values
            if traded.all():
                return pd.Series(values.copy(), index=self._cal_index[i0:i1], name=ids[0],
                                 copy=False)
            if not traded.any():
                return None
            return pd.Series(values[traded], index=self._cal_index[i0:i1][traded],
                             name=ids[0], copy=False)
        block = matrix[rows, i0:i1]
        if np.isnan(block).all():
            return None
        return pd.DataFrame(block.T, index=self._cal_index[i0:i1], columns=pd.Index(ids),
                            copy=False)

    def get_price_change_rate(self, order_book_ids, start_date, end_date):
        single, ids = self._ids_arg(order_book_ids)
        i0, i1 = self._span(start_date, end_date)
        if i0 >= i1:
            return None
        rows = self._rows(ids)
        change = self._price_arrays(rows)["change"] if ids else None
        if single:
            return pd.Series(change[rows[0], i0:i1].copy(), index=self._cal_index[i0:i1],
                             name=ids[0], copy=False)
        block = change[rows, i0:i1] if ids else np.empty((0, i1 - i0))
        return pd.DataFrame(block.T, index=self._cal_index[i0:i1], columns=pd.Index(ids),
                            copy=False)

    # ---------------------------------------------------------------- factor model

    def _exposure_arrays(self, rows, i0, i1):
        """The exposure matrices with every (row, year) chunk of [i0, i1) loaded.

        Exposures are the largest table by far, so they load by calendar year: a first
        request for a quarter reads about a year per instrument, not its whole history.
        """
        ex = self._ex
        chunks = np.arange(self._chunk_of[i0], self._chunk_of[i1 - 1] + 1)
        if ex is None or not ex["loaded"][np.ix_(rows, chunks)].all():
            with self._lock:
                ex = self._ex
                if ex is None:
                    n = len(self._ids)
                    ex = {"values": np.empty((n, self._n_dates, len(_schema.FACTORS))),
                          "present": np.zeros((n, self._n_dates), dtype=bool),
                          "loaded": np.zeros((n, len(self._chunk_start)), dtype=bool),
                          "columns": pd.Index(_schema.FACTORS)}
                    self._ex = ex
                # NULL (a missing exposure) comes back as a sentinel, so that the rows
                # stream straight into numpy without a Python-level pass.
                sql = ("SELECT date, %s FROM factor_exposures WHERE order_book_id = ?"
                       " AND date BETWEEN ? AND ? ORDER BY date"
                       % ", ".join('IFNULL("%s", %r)' % (f, _MISSING) for f in _schema.FACTORS))
                width = len(_schema.FACTORS) + 1
                with self._loading("factor_exposures"):
                    self._load_exposures(ex, rows, chunks, sql, width)
        return ex

    def _load_exposures(self, ex, rows, chunks, sql, width):
        for row in rows:
            row = int(row)
            for chunk in chunks[~ex["loaded"][row, chunks]]:
                a = int(self._chunk_start[chunk])
                b = int(self._chunk_start[chunk + 1]) if chunk + 1 < len(
                    self._chunk_start) else self._n_dates
                cur = self._query(sql, (self._ids[row], int(self._cal_ymd[a]),
                                        int(self._cal_ymd[b - 1])))
                data = np.fromiter(itertools.chain.from_iterable(cur),
                                   dtype=np.float64).reshape(-1, width)
                values = ex["values"][row, a:b]
                values.fill(_NAN)
                if len(data):
                    pos = np.searchsorted(self._cal_ymd, data[:, 0].astype(np.int64))
                    block = data[:, 1:]
                    block[block == _MISSING] = _NAN
                    ex["values"][row, pos] = block
                    ex["present"][row, pos] = True
                ex["loaded"][row, chunk] = True

    def get_factor_exposure(self, order_book_ids, start_date, end_date):
        single, ids = self._ids_arg(order_book_ids)
        i0, i1 = self._span(start_date, end_date)
        if i0 >= i1 or not ids:
            return None
        rows = self._rows(ids)
        ex = self._exposure_arrays(rows, i0, i1)
        present = ex["present"][rows, i0:i1]
        if not present.any():
            return None
        n_days = i1 - i0
        if len(ids) == 1:
            keep = present[0]
            values = ex["values"][rows[0], i0:i1][keep]
            return pd.DataFrame(values, index=self._cal_index[i0:i1][keep],
                                columns=ex["columns"], copy=False)
        keep = present.ravel()
        # One gather of the kept (instrument, day) rows straight from the flat matrix: no
        # intermediate block, which would cost a fresh multi-megabyte allocation per call.
        flat = (rows[:, None] * self._n_dates + np.arange(i0, i1)[None, :]).ravel()[keep]
        values = np.take(ex["values"].reshape(-1, len(_schema.FACTORS)), flat, axis=0)
        codes_id = np.repeat(np.arange(len(ids)), n_days)[keep]
        codes_day = np.tile(np.arange(n_days), len(ids))[keep]
        index = pd.MultiIndex(levels=[pd.Index(ids), self._cal_index[i0:i1]],
                              codes=[codes_id, codes_day], names=["order_book_id", "date"],
                              verify_integrity=False)
        if not present.any(axis=1).all():
            index = index.remove_unused_levels()
        return pd.DataFrame(values, index=index, columns=ex["columns"], copy=False)

    def _daily_table(self, attr, table, columns):
        data = getattr(self, attr)
        if data is None:
            with self._lock:
                data = getattr(self, attr)
                if data is None:
                    sql = "SELECT date, %s FROM %s ORDER BY date" % (
                        ", ".join('"%s"' % c for c in columns), table)
                    with self._loading(table):
                        rows = np.array(self._query(sql).fetchall(),
                                        dtype=np.float64).reshape(-1, len(columns) + 1)
                        if len(rows):
                            _checked_ymd(int(rows[0, 0]), table + ".date")
                            _checked_ymd(int(rows[-1, 0]), table + ".date")
                    values = np.full((self._n_dates, len(columns)), _NAN)
                    present = np.zeros(self._n_dates, dtype=bool)
                    if len(rows):
                        pos = np.searchsorted(self._cal_ymd, rows[:, 0].astype(np.int64))
                        values[pos] = rows[:, 1:]
                        present[pos] = True
                    data = {"values": values, "present": present,
                            "columns": pd.Index(columns)}
                    setattr(self, attr, data)
        return data

    def _daily_frame(self, data, start_date, end_date, open_ends=False):
        i0, i1 = self._span(start_date, end_date, open_ends)
        if i0 >= i1:
            return None
        keep = data["present"][i0:i1]
        if not keep.any():
            return None
        return pd.DataFrame(data["values"][i0:i1][keep], index=self._cal_index[i0:i1][keep],
                            columns=data["columns"], copy=False)

    def get_factor_return(self, start_date, end_date):
        data = self._daily_table("_factor_returns", "factor_returns", _schema.FACTORS)
        return self._daily_frame(data, start_date, end_date)

    def get_yield_curve(self, start_date=None, end_date=None):
        data = self._daily_table("_yield_curve", "yield_curve", _schema.TENORS)
        return self._daily_frame(data, start_date, end_date, open_ends=True)

    # ---------------------------------------------------------------- indices

    def _index_data(self, attr):
        if self._components is None:
            with self._lock:
                if self._components is None:
                    with self._loading("the index tables"):
                        self._load_index_tables()
        return getattr(self, attr)

    def _load_index_tables(self):
        components = {}
        cur = self._query("SELECT index_id, date, order_book_id FROM index_components"
                          " ORDER BY index_id, date, order_book_id")
        for index_id, group in itertools.groupby(cur, key=lambda r: r[0]):
            days, members = [], []
            for ymd, rows in itertools.groupby(group, key=lambda r: r[1]):
                days.append(ymd_to_date(ymd).toordinal())
                members.append(tuple(r[2] for r in rows))
            components[index_id] = (days, members)
        weights = {}
        cur = self._query("SELECT index_id, date, order_book_id, weight FROM index_weights"
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
        self._components = components

    def _index_id(self, order_book_id):
        oid = self._one_id(order_book_id)
        if self._inst[oid].type != "INDX":
            raise ValueError("%r is not an index (its type is %r)"
                             % (oid, self._inst[oid].type))
        return oid

    def index_components(self, order_book_id, date):
        oid = self._index_id(order_book_id)
        day = to_ordinal(date)
        entry = self._index_data("_components").get(oid)
        if entry is None:
            return []
        days, members = entry
        i = bisect.bisect_right(days, day) - 1
        return list(members[i]) if i >= 0 else []

    def index_weights(self, order_book_id, date):
        oid = self._index_id(order_book_id)
        day = to_ordinal(date)
        entry = self._index_data("_weights").get(oid)
        i = -1 if entry is None else bisect.bisect_right(entry[0], day) - 1
        if i < 0:
            return pd.Series([], index=pd.Index([], dtype=object, name="order_book_id"),
                             dtype=np.float64, name="weight")
        item = entry[1][i]
        if item[2] is None:
            item[2] = pd.Index(item[0], name="order_book_id")
        return pd.Series(item[1].copy(), index=item[2], name="weight", copy=False)

    # ---------------------------------------------------------------- corporate actions

    def _corporate_actions(self):
        actions = self._actions
        if actions is None:
            with self._lock:
                if self._actions is None:
                    with self._loading("dividends and splits"):
                        self._actions = self._load_corporate_actions()
                actions = self._actions
        return actions

    def _load_corporate_actions(self):
        dividends, splits = {}, {}
        for row in self._query(
                "SELECT order_book_id, book_closure_date, ex_dividend_date,"
                " payable_date, dividend_cash_before_tax, round_lot"
                " FROM dividends ORDER BY order_book_id, ex_dividend_date"):
            dividends.setdefault(row[0], []).append(row[1:])
        for row in self._query(
                "SELECT order_book_id, ex_date, split_coefficient_from,"
                " split_coefficient_to FROM splits ORDER BY order_book_id, ex_date"):
            splits.setdefault(row[0], []).append(row[1:])
        return dividends, splits

    def get_dividend(self, order_book_id, adjusted=True):
        oid = self._one_id(order_book_id)
        dividends, splits = self._corporate_actions()
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
        with self._reading("dividends"):
            book_closure = _dates_column([r[0] for r in rows])
            ex_dividend = _dates_column([r[1] for r in rows])
            payable = _dates_column([r[2] for r in rows])
        frame = pd.DataFrame({
            "book_closure_date": book_closure,
            "ex_dividend_date": ex_dividend,
            "payable_date": payable,
            "dividend_cash_before_tax": cash,
            "round_lot": np.array([r[4] for r in rows], dtype=np.int64),
        })
        return frame

    def get_split(self, order_book_id):
        oid = self._one_id(order_book_id)
        rows = self._corporate_actions()[1].get(oid)
        if not rows:
            return None
        with self._reading("splits"):
            index = pd.DatetimeIndex(_dates_column([r[0] for r in rows]), name="ex_date")
        return pd.DataFrame({
            "split_coefficient_from": np.array([r[1] for r in rows], dtype=np.float64),
            "split_coefficient_to": np.array([r[2] for r in rows], dtype=np.float64),
        }, index=index)

    # ---------------------------------------------------------------- description

    def info(self):
        counts = {}
        with self._loading("the row counts"):
            for table in _schema.TABLES:
                counts[table] = self._query("SELECT COUNT(*) FROM %s" % table).fetchone()[0]
            indices = [r[0] for r in self._query(
                "SELECT DISTINCT index_id FROM index_components ORDER BY index_id")]
        kinds = {}
        for inst in self._inst.values():
            kinds[inst.type] = kinds.get(inst.type, 0) + 1
        try:
            sets = dict(zip(("shenwan_set", "sector_set"), _schema.sector_sets(self.meta)))
        except ValueError:
            sets = {}  # a set this tickvane does not know: the meta shows it as it is
        return {
            "path": self.path,
            "size_bytes": os.path.getsize(self.path),
            "meta": dict(self.meta),
            "first_date": pd.Timestamp(self._cal_dates[0]),
            "last_date": pd.Timestamp(self._cal_dates[-1]),
            "trading_dates": self._n_dates,
            "instruments": dict(sorted(kinds.items())),
            "indices_with_components": indices,
            "rows": counts,
            "sector_sets": sets,
        }


def _file_identity(path):
    """What changes when a file is replaced or rewritten in place: device and inode, size,
    modification time."""
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _checked_ymd(ymd, where):
    """A yyyymmdd value read from the store as a date; ValueError when it is no date of
    the years the client serves."""
    if not isinstance(ymd, int) or not FIRST_YMD <= ymd <= LAST_YMD:
        raise ValueError("%s holds %r, not a date from 1900 to 2199" % (where, ymd))
    return ymd_to_date(ymd)


def sample_parameters(path, meta):
    """{seed, n_stocks, start, end} a sample store was built with, as recorded in its meta
    table; a sample built before the dates were recorded gives its calendar's first and
    last day instead (the generated data depends only on the sessions between them).
    Values that cannot be found are None."""
    found = {"seed": meta.get("seed"), "n_stocks": meta.get("n_stocks"),
             "start": meta.get("start_date"), "end": meta.get("end_date")}
    if found["start"] is None or found["end"] is None:
        try:
            con = connect_readonly(path)
            try:
                low, high = con.execute(
                    "SELECT MIN(date), MAX(date) FROM trading_dates").fetchone()
            finally:
                con.close()
            found["start"] = found["start"] or _checked_ymd(low, "").isoformat()
            found["end"] = found["end"] or _checked_ymd(high, "").isoformat()
        except (sqlite3.Error, ValueError, TypeError):
            pass
    return found


def rebuild_hint(path, meta):
    """How to make the file at `path` usable again, from what its meta table records."""
    if meta.get("source") == "sample":
        found = sample_parameters(path, meta)
        command = "python -m tickvane build-sample --store %s" % path
        for flag, key in (("--seed", "seed"), ("--stocks", "n_stocks"), ("--start", "start"),
                          ("--end", "end")):
            if found[key] is not None:
                command += " %s %s" % (flag, found[key])
        return "it is a generated sample; rebuild it with: %s" % command
    if meta.get("source") == "import":
        return "import the data again: python -m tickvane import %s --store %s" % (
            meta.get("imported_from", "FOLDER"), path)
    if meta.get("source") == "fetch":
        import shlex

        # A re-run over the damaged file would read its rows back: it is moved aside.
        command = "python -m tickvane fetch"
        if meta.get("fetch_start"):
            command += " --start %s" % shlex.quote(meta["fetch_start"])
        command += " --universe %s --store %s" % (
            shlex.quote(meta.get("universe") or "hs300,zz500"), shlex.quote(path))
        return ("it was fetched from %s; move it aside and fetch it again: %s"
                % (meta.get("fetched_from") or "its sources", command))
    return "import the data again or build the sample market"


def _dates_column(values):
    """A datetime64 array from yyyymmdd integers (NaT for NULL)."""
    out = np.full(len(values), np.datetime64("NaT"), dtype="datetime64[%s]" % _UNIT)
    for i, v in enumerate(values):
        if v is not None:
            out[i] = np.datetime64(_checked_ymd(int(v), "a date column"), _UNIT)
    return out
