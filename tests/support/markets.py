"""Small markets for the tests, built into stores by the client's own importer.

A market is a dict of tables, each a list of CSV lines (the header first), named after
the store's tables (see tickvane's SCHEMA.md). Short tables are CSV files under
tests/data/markets/<name>/; long ones (a calendar over years, daily closes) are made by
the market's function in ``GENERATED`` below, which is meant to be read: every value a
test expects can be worked out from the files and these few lines.

- "years": the weekdays from 2015-11-02 to 2017-07-31 without the holidays of
  ``HOLIDAYS``; six stocks, two indices and an ETF (see its instruments.csv). The close
  of the ids of ``LINES`` on the k-th trading day (k = 0 on 2015-11-02) is start +
  step * k (``close(id, day)``); the others have no closes. 000002.XSHE has no close
  from 2016-01-04 to 2016-01-15 (suspended); 600519.XSHG pays 2.5 per 10 shares (book
  closure 2016-06-30, ex date 2016-07-01) and 5.0 per 10 (2017-06-30, 2017-07-03), and
  splits 10 -> 15 on 2017-07-13; 000725.XSHE is ST from 2016-05-04 to 2017-04-28;
  000009.XSHE was delisted before the calendar (no closes). No adjustment factors
  (every factor 1). 000300.XSHG has its constituents and weights from 2015-11-02 and
  from 2017-06-12, 000905.XSHG from 2015-11-02.
- "week": six days of March 2024 (see its files): 600000.XSHG splits 10 -> 15 on the
  third day, 000004.XSHE is suspended on days 3 and 4, 600036.XSHG pays 2.5 per 10
  shares to holders on day 2.
- "brinson", "pcalc": the "years" market with the rows of their own CSV files and the
  tables of ``markets_brinson`` (index changes, a newly listed stock, factor
  exposures) and ``markets_pcalc`` (a yield curve, factor returns and exposures for
  2016); "risk": five years of an index, a stock, factor returns and a yield curve
  from the formulas of ``markets_risk``.

``StoreMaker`` writes a market's tables into a folder and imports it (about 0.1 s),
once per distinct content; ``Market`` is what the ``market`` fixture hands a test.
"""

import copy
import datetime as dt
import functools
import hashlib
import os

import markets_brinson
import markets_pcalc
import markets_risk
import tickvane

DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data",
                    "markets")

# ---------------------------------------------------------------- the "years" market

FIRST, LAST = dt.date(2015, 11, 2), dt.date(2017, 7, 31)
HOLIDAYS = [
    ("2016-01-01", "2016-01-01"), ("2016-02-08", "2016-02-12"), ("2016-04-04", "2016-04-04"),
    ("2016-05-02", "2016-05-02"), ("2016-06-09", "2016-06-10"), ("2016-09-15", "2016-09-16"),
    ("2016-10-03", "2016-10-07"), ("2017-01-02", "2017-01-02"), ("2017-01-27", "2017-02-02"),
    ("2017-04-03", "2017-04-04"), ("2017-05-01", "2017-05-01"), ("2017-05-29", "2017-05-30"),
]
# id -> (close on the first trading day, change per trading day, decimals)
LINES = {
    "000001.XSHE": (10.00, 0.01, 2),
    "000002.XSHE": (14.00, 0.02, 2),
    "600519.XSHG": (200.00, 0.10, 2),
    "601857.XSHG": (8.00, 0.01, 2),
    "000300.XSHG": (3000.00, 1.00, 2),
}
SUSPENDED = {"000002.XSHE": (dt.date(2016, 1, 4), dt.date(2016, 1, 15))}


@functools.lru_cache(maxsize=None)
def _position():
    return {day: k for k, day in enumerate(years_calendar())}


def weekdays(first, last, holidays):
    """The weekdays from `first` to `last` (dates) outside the (first, last) ISO date
    ranges of `holidays`: a market's trading days."""
    closed = set()
    for start, end in holidays:
        day, end = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
        while day <= end:
            closed.add(day)
            day += dt.timedelta(days=1)
    days, day = [], first
    while day <= last:
        if day.weekday() < 5 and day not in closed:
            days.append(day)
        day += dt.timedelta(days=1)
    return days


def years_calendar():
    """The trading days of the "years" market."""
    return weekdays(FIRST, LAST, HOLIDAYS)


def close(order_book_id, day):
    """The close of the "years" market on a trading day (None while suspended)."""
    start, step, decimals = LINES[order_book_id]
    first_off, last_off = SUSPENDED.get(order_book_id, (None, None))
    if first_off is not None and first_off <= day <= last_off:
        return None
    return round(start + step * _position()[day], decimals)


def _years(tables):
    days = years_calendar()
    tables["trading_dates"] = ["date"] + [d.isoformat() for d in days]
    tables["prices"] = ["order_book_id,date,close"] + [
        "%s,%s,%s" % (oid, d.isoformat(), close(oid, d))
        for oid in LINES for d in days if close(oid, d) is not None]


GENERATED = {"years": _years}
GENERATED["brinson"] = markets_brinson.generate
GENERATED["pcalc"] = markets_pcalc.pcalc
GENERATED["risk"] = markets_risk.generate
GENERATED["sectors"] = __import__("markets_sectors").generate


# ---------------------------------------------------------------- building stores

def load_tables(name):
    """The tables of market `name`: its CSV files, then its generated tables."""
    folder = os.path.join(DATA, name)
    tables = {}
    for file in sorted(os.listdir(folder)):
        if file.endswith(".csv"):
            with open(os.path.join(folder, file), encoding="utf-8") as handle:
                tables[file[:-4]] = handle.read().splitlines()
    if name in GENERATED:
        GENERATED[name](tables)
    return tables


class StoreMaker:
    """Builds stores from tables under `root`, one per distinct content (a session's
    tests asking for the same tables share one file)."""

    def __init__(self, root):
        self.root = str(root)
        self._markets = {}
        self._stores = {}  # content key or market name -> store path

    def tables(self, name):
        """A fresh copy of market `name`'s tables, to change at will."""
        return copy.deepcopy(self._tables(name))

    def _tables(self, name):
        if name not in self._markets:
            self._markets[name] = load_tables(name)
        return self._markets[name]

    def market_store(self, name):
        """The path of the store of market `name` as it is."""
        if name not in self._stores:
            self._stores[name] = self.store(self._tables(name))
        return self._stores[name]

    def store(self, tables):
        """The path of a store holding `tables`, imported on first request."""
        text = "\n".join("%s\n%s" % (k, "\n".join(v)) for k, v in sorted(tables.items()))
        key = hashlib.sha1(text.encode("utf-8")).hexdigest()[:16]
        if key not in self._stores:
            folder = os.path.join(self.root, key)
            os.makedirs(folder, exist_ok=True)
            for table, lines in tables.items():
                with open(os.path.join(folder, table + ".csv"), "w", encoding="utf-8") as out:
                    out.write("\n".join(lines) + "\n")
            path = os.path.join(self.root, key + ".sqlite")
            tickvane.import_folder(folder, path, progress=False)
            self._stores[key] = path
        return self._stores[key]


# Stores opened in this session, by path. Opening one reads its calendar and
# instruments and loads tables on first use (20-30 ms a test); the files never change
# during a session, so a store is opened once and handed back to the client after.
_opened = {}


def select(path):
    """Make the store at `path` the one the client reads, as ``tickvane.use_store``
    would, reusing the client's store opened for it earlier in the session."""
    from tickvane import _manage

    release()
    store = _opened.get(path)
    if store is None or store._con is None:   # new, or closed by a test
        tickvane.use_store(path)
        _opened[path] = _manage.current()
    else:
        with _manage._lock:
            _manage._current, _manage._chosen = store, store.path


def release():
    """Back to the default store, as ``tickvane.use_store(None)`` would, leaving the
    selected store open for a later test."""
    from tickvane import _manage

    with _manage._lock:
        current, _manage._current, _manage._chosen = _manage._current, None, None
    if current is not None and _opened.get(current.path) is not current:
        current.close()


class Market:
    """A test's market: the store it reads (`path`, `tables`) and the recording proxy
    installed for the test, whose attributes it passes on (``market.count("get_price")``,
    ``market.set_reply(...)``, ``market.get_price(...)`` recorded as any call)."""

    def __init__(self, maker, name, proxy):
        self.maker, self.name, self.client = maker, name, proxy
        self._tables = None  # None: the market's own tables, unchanged
        self.path = maker.market_store(name)
        select(self.path)

    @property
    def tables(self):
        """A copy of the tables of the store the test reads."""
        if self._tables is None:
            return self.maker.tables(self.name)
        return copy.deepcopy(self._tables)

    def __getattr__(self, name):
        if name == "client":
            raise AttributeError(name)
        return getattr(self.client, name)

    def edit(self, change):
        """Switch the test to a variant: ``change(tables)`` edits a copy of the tables
        in place; the variant is imported once per session. Recorded calls stay; a
        table the importer refuses raises its DataImportError and keeps the store."""
        tables = self.tables
        change(tables)
        self.path = self.maker.store(tables)
        self._tables = tables
        select(self.path)
        self.client.clear_replay()
        return self

    def add_rows(self, table, *rows):
        """Switch to a variant with CSV `rows` added to `table` (columns as its header)."""
        return self.edit(lambda tables: tables[table].extend(rows))
