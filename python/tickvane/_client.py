"""The read side: one open store file and the in-memory arrays that answer every operation.

Opening reads only the calendar, the instruments and the special-treatment periods; this
module holds them, with the file itself and the checks of the arguments every operation
shares. The other tables belong to parts of their own, each in its module and each read
on its first use: prices (_prices) and factor exposures (_factor_model) one instrument at
a time (a request pays only for the instruments it names), index membership
(_membership), corporate actions (_corporate_actions) and the daily factor returns and
yield curve (_daily_tables) whole. Data then lives in dense matrices indexed by
(instrument row, trading-day position), so a repeated request is a slice and a pandas
constructor, not a query.

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
import os
import sqlite3
import threading
from urllib.parse import quote

import numpy as np
import pandas as pd

from . import _schema
from . import _store_values as _values
from ._corporate_actions import CorporateActions
from ._daily_tables import DailyTable
from ._dates import to_ordinal, ymd_to_date
from ._errors import StoreError
from ._factor_model import FactorExposures
from ._membership import IndexMembership
from ._prices import Prices
from ._records import Instrument

# Used under these names here; FIRST_YMD and LAST_YMD stay importable from this module.
FIRST_YMD, LAST_YMD = _values.FIRST_YMD, _values.LAST_YMD
_UNIT = _values.UNIT
_checked_ymd = _values.checked_ymd


class OutdatedStoreError(StoreError):
    """The file is a store of another schema version (written by another tickvane)."""


def connect_readonly(path):
    uri = "file:%s?mode=ro" % quote(os.path.abspath(path))
    return sqlite3.connect(uri, uri=True, check_same_thread=False)


def _timestamp(ymd):
    return None if ymd is None else pd.Timestamp(ymd_to_date(int(ymd)))


class Store:
    """One open store file: its calendar, instruments and special-treatment periods, and
    the parts that read the other tables (prices, factor_exposures, factor_returns,
    yield_curve, membership, corporate_actions). The operations of the package are its
    methods; each part's are handed to that part."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        if not os.path.isfile(self.path):
            raise FileNotFoundError("no tickvane store at %s" % self.path)
        self._lock = threading.RLock()
        self._con = None
        self._changed = None
        self._counts = None   # (rows by table, indices with constituents), read once
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
        # The parts, each reading its own tables on first use.
        self.prices = Prices(self)
        self.factor_exposures = FactorExposures(self)
        self.factor_returns = DailyTable(self, "factor_returns", _schema.FACTORS)
        self.yield_curve = DailyTable(self, "yield_curve", _schema.TENORS)
        self.membership = IndexMembership(self)
        self.corporate_actions = CorporateActions(self)

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

    # ---------------------------------------------------------------- the parts' operations

    def get_price(self, order_book_ids, start_date=None, end_date=None, frequency="1d",
                  fields=None, adjust_type="pre"):
        return self.prices.get_price(order_book_ids, start_date, end_date, frequency, fields,
                                     adjust_type)

    def get_price_change_rate(self, order_book_ids, start_date, end_date):
        return self.prices.get_price_change_rate(order_book_ids, start_date, end_date)

    def get_factor_exposure(self, order_book_ids, start_date, end_date):
        return self.factor_exposures.get_factor_exposure(order_book_ids, start_date, end_date)

    def get_factor_return(self, start_date, end_date):
        return self.factor_returns.frame(start_date, end_date)

    def get_yield_curve(self, start_date=None, end_date=None):
        return self.yield_curve.frame(start_date, end_date, open_ends=True)

    def index_components(self, order_book_id, date):
        return self.membership.index_components(order_book_id, date)

    def index_weights(self, order_book_id, date):
        return self.membership.index_weights(order_book_id, date)

    def get_dividend(self, order_book_id, adjusted=True):
        return self.corporate_actions.get_dividend(order_book_id, adjusted)

    def get_split(self, order_book_id):
        return self.corporate_actions.get_split(order_book_id)

    # ---------------------------------------------------------------- description

    def info(self):
        # Counting every table's rows takes a while on a large store: they are counted
        # once, as the rest of what the client holds, and the file is checked unchanged
        # on every call.
        with self._lock:
            self._check_unchanged("the row counts")
            if self._counts is None:
                counts = {}
                with self._loading("the row counts"):
                    for table in _schema.TABLES:
                        counts[table] = self._query(
                            "SELECT COUNT(*) FROM %s" % table).fetchone()[0]
                    indices = [r[0] for r in self._query(
                        "SELECT DISTINCT index_id FROM index_components ORDER BY index_id")]
                self._counts = (counts, indices)
        counts, indices = dict(self._counts[0]), list(self._counts[1])
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

