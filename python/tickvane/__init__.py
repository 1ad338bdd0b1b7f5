"""tickvane: daily A-share market data from an embedded store.

Out of the box it serves a generated sample market (built once into the user cache folder);
`python -m tickvane import FOLDER` loads real data instead. Every operation reads the
store chosen by `use_store` / `open_store`, else the file named by the environment variable
TICKVANE_STORE, else the cached sample. Importing the package opens nothing.

Conventions shared by the operations:

* Dates may be pd.Timestamp, datetime.datetime, datetime.date, numpy.datetime64 or text
  ("2017-06-30", "20170630"); only the calendar day counts. Anything else is a ValueError.
* `order_book_ids` is one id as text or a list (tuple, array, Index) of ids; repeated ids
  are answered once; an unknown id is a ValueError naming it.
* Returns, rates, weights and yields are fractions (0.025 is 2.5 %).
* Every result is a new object the caller may change; None means "no data at all".
"""

from . import _manage
from ._schema import SAMPLE_END, SAMPLE_SEED, SAMPLE_START, SAMPLE_STOCKS

__version__ = "0.1.0"

__all__ = [
    "get_price",
    "get_price_change_rate",
    "get_trading_dates",
    "get_previous_trading_date",
    "get_next_trading_date",
    "instruments",
    "all_instruments",
    "_is_st_stock",
    "get_factor_exposure",
    "get_factor_return",
    "get_yield_curve",
    "index_components",
    "index_weights",
    "get_dividend",
    "get_split",
    "open_store",
    "use_store",
    "close_store",
    "build_sample",
    "import_folder",
    "store_info",
]

_current = _manage.current


def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None,
              adjust_type="pre"):
    """Daily closes from start_date to end_date, both included.

    One id as text: a float Series named by the id, indexed by the trading dates on which
    it has a close (suspended days are absent). A list: a DataFrame indexed by every trading
    date of the range with one float column per id in request order, NaN where an id has
    no close. None when the range holds no trading date or no close at all.

    `fields` is None, "close" or its alias "ClosingPx" (closes are the only field);
    `frequency` "1d". `adjust_type`: "none" (traded prices), "pre" (scaled so that the
    store's latest close of the instrument is unadjusted) or "post" (scaled so that its
    first close is unadjusted); adjusted prices account for dividends and splits. A None
    start or end means the first or last date of the store.
    """
    return _current().get_price(order_book_ids, start_date, end_date, frequency, fields,
                                adjust_type)


def get_price_change_rate(order_book_ids, start_date, end_date):
    """Daily total-return change rates (fractions) from start_date to end_date.

    A DataFrame with a row per trading date of the range and a column per id (a Series
    for one id given as text). Each day is measured from post-adjusted closes against the
    last close before it, so the first row looks back to the previous trading day; a
    suspended day changes by 0.0; NaN before the first close (including its day) and after
    delisting. None when the range holds no trading date.
    """
    return _current().get_price_change_rate(order_book_ids, start_date, end_date)


def get_trading_dates(start_date, end_date):
    """The trading dates from start_date to end_date, both included, as a list of
    datetime.date (empty, hence false, when there are none)."""
    return _current().get_trading_dates(start_date, end_date)


def get_previous_trading_date(date):
    """The last trading date strictly before `date` as a pd.Timestamp at midnight, or None
    when the store's calendar holds none."""
    return _current().get_previous_trading_date(date)


def get_next_trading_date(date):
    """The first trading date strictly after `date` as a pd.Timestamp at midnight, or None
    when the store's calendar holds none."""
    return _current().get_next_trading_date(date)


def instruments(order_book_ids):
    """The instrument record of one id (text), or a list of records for a list of ids.

    Records are immutable tickvane.Instrument objects (see its help for the attributes).
    """
    return _current().instruments(order_book_ids)


def all_instruments(type=None, date=None):
    """A DataFrame with one row per instrument and the record's attributes as columns.

    `type`: None for all, or "CS", "INDX", "ETF", "LOF" (or a list of them). `date`: only
    instruments listed on that day (listed_date <= date < de_listed_date).
    """
    return _current().all_instruments(type, date)


def _is_st_stock(order_book_id, date):
    """True when the instrument is under special treatment (ST) on `date`."""
    return _current().is_st_stock(order_book_id, date)


def get_factor_exposure(order_book_ids, start_date, end_date):
    """Style-factor exposures from start_date to end_date.

    Columns: beta, growth, liquidity, leverage, momentum, reversal, size, yield,
    volatility, value. For one id (as text or a one-element list): a DataFrame indexed by
    date. For several: a DataFrame indexed by (order_book_id, date), ids in request order
    and dates ascending. Only days with exposures appear (stocks have them while listed;
    other instruments never). None when there are none, or for an empty list.
    """
    return _current().get_factor_exposure(order_book_ids, start_date, end_date)


def get_factor_return(start_date, end_date):
    """Daily returns (fractions) of the ten style factors, a row per trading date that has
    them, the columns in the order of get_factor_exposure; None when there are none."""
    return _current().get_factor_return(start_date, end_date)


def get_yield_curve(start_date=None, end_date=None):
    """The government yield curve, a row per trading date that has one, columns "0S",
    "1M", "2M", "3M", "6M", "9M", "1Y" ... "10Y", "15Y", "20Y", "30Y", "40Y", "50Y", values
    as fractions; None when there is none in the range."""
    return _current().get_yield_curve(start_date, end_date)


def index_components(order_book_id, date):
    """The constituent ids of an index on `date` (membership of the latest change on or
    before it), sorted; an empty list before the index's first membership date."""
    return _current().index_components(order_book_id, date)


def index_weights(order_book_id, date):
    """Constituent weights (fractions summing to 1) of the latest weight date on or before
    `date`: a Series named "weight" indexed by order_book_id; empty before the first."""
    return _current().index_weights(order_book_id, date)


def get_dividend(order_book_id, adjusted=True):
    """Cash dividends of one instrument, one row per dividend by ex-dividend date.

    Columns: book_closure_date, ex_dividend_date, payable_date (Timestamps),
    dividend_cash_before_tax (cash per `round_lot` shares) and round_lot (10). With
    adjusted=True the cash is restated per round lot of today's shares: a split on or after
    the ex-dividend date divides it by the split ratio; adjusted=False gives the amounts
    as paid. None when the instrument has never paid one.
    """
    return _current().get_dividend(order_book_id, adjusted)


def get_split(order_book_id):
    """Share splits (bonus issues) of one instrument: a DataFrame indexed by ex date
    ("ex_date") with split_coefficient_from and split_coefficient_to (10 and 15 for five
    bonus shares per ten); None when it has none."""
    return _current().get_split(order_book_id)


def use_store(path=None):
    """Read from the store file at `path` from the next operation on; None returns to the
    default (TICKVANE_STORE, else the cached sample). Opens nothing yet."""
    _manage.use_store(path)


def open_store(path=None):
    """Open a store now and describe it (see store_info). With a path, that store becomes
    the one the operations read. Only the default sample in the user cache folder is built
    when missing; a store named by TICKVANE_STORE or a path must exist
    (FileNotFoundError naming it)."""
    if path is not None:
        _manage.use_store(path)
    return _manage.current().info()


def close_store():
    """Close the open store and free its in-memory data; the next operation reopens it."""
    _manage.close_store()


def when_store_changes(callback):
    """Call ``callback()`` (no arguments) whenever the store is closed, another store is
    chosen or its file is replaced, so that a memo of what the store answered forgets
    it. (Not among the names that ``from tickvane import *`` gives.)"""
    _manage.when_store_changes(callback)


def store_path():
    """The path of the store the operations read, without opening it, and whether it
    would be built on first use: (path, built_unasked). Only the sample in the user cache
    folder is built unasked, and only while it is missing. (Not among the names that
    ``from tickvane import *`` gives: those are the market-data operations.)"""
    import os

    path = _manage.resolve()
    automatic = _manage.chosen() is None and path == _manage.cache_path()
    return path, automatic and not os.path.exists(path)


def store_info(path=None):
    """Describe a store as a dict: path, size, meta (source, seed, build time), first and
    last date, instrument counts by type, indices with constituents, and the row count of
    every table. Without a path, the store the operations read (opening it)."""
    if path is None:
        return _manage.current().info()
    from ._client import Store

    store = Store(_manage.resolve(path))
    try:
        return store.info()
    finally:
        store.close()


def build_sample(path=None, seed=SAMPLE_SEED, progress=True, n_stocks=SAMPLE_STOCKS,
                 start_date=SAMPLE_START, end_date=SAMPLE_END, force=False):
    """Generate the sample market into `path` (default: the store the operations read)
    and return the path. The same seed and sizes give the same data. Progress goes to
    stderr. The file is replaced atomically: a failed or interrupted build leaves the
    previous one. A store of imported data, or a file that is no tickvane store, is
    replaced only with force=True (FileExistsError otherwise).
    """
    from ._sample import build_sample as build

    path = _manage.resolve(path)
    build(path, seed=seed, n_stocks=n_stocks, start=start_date, end=end_date,
          progress=progress, force=force)
    _manage.forget_if_current(path)
    return path


def import_folder(folder, path=None, progress=True, force=False):
    """Build a store at `path` (default: the store the operations read) from the CSV or
    Parquet files in `folder`, one file per table as described in SCHEMA.md; return the
    path. Every row is validated first; the first bad one raises tickvane.DataImportError
    naming file, line, column and value, and leaves any previous store untouched. A file
    at `path` that is not a tickvane store is replaced only with force=True."""
    from ._importer import import_folder as run

    path = _manage.resolve(path)
    run(folder, path, progress=progress, force=force)
    _manage.forget_if_current(path)
    return path


def fetch(start=None, end=None, universe="hs300,zz500", store=None, dry_run=False,
          pace=0.05, progress=True, force=False):
    """Fill the store at `store` (default: the store the operations read) with the real
    market from baostock (`pip install "meridan[fetch]"`) and return its path.

    From `start` (default 2015-01-01) to `end` (default today; the store ends at the last
    day the source has bars for): the trading calendar, the instruments of `universe`
    ("hs300", "zz500", "all", codes such as "600000.XSHG", files of codes, or broker
    statements, whose codes are read with meridan's reader; comma-separated) with the
    indices named, MSCI-style sectors mapped from the CSRC industries, ST periods, unadjusted closes (none on a suspended day) with the source's
    adjustment factors, the indices' levels, dividends, bonus shares as splits, the index
    members on each change and index weights approximated from tradable capitalisation.
    SCHEMA.md ("Fetched stores") says what each table holds. Requests are `pace` seconds
    apart and retried with backoff. The rows go through the importer's checks and atomic
    writer: a failure (tickvane.SourceError for the source) leaves any previous store as
    it was. Run again over a store it fetched (same start and universe), it adds the new
    days. A store of imported data, or a file that is no tickvane store, is replaced only
    with force=True. With dry_run=True nothing is requested or written: the plan (what
    would be fetched, the number of requests and the time) is printed and returned as a
    dict.
    """
    from ._fetch import fetch as run

    return run(start, end, universe, store, dry_run=dry_run, pace=pace, progress=progress,
               force=force)


def __getattr__(name):
    # The error types live with the modules that raise them; loading them on demand keeps
    # the package import free of numpy, pandas and SQLite.
    if name == "StoreError":
        from ._errors import StoreError
        return StoreError
    if name == "SourceError":
        from ._sources_baostock import SourceError
        return SourceError
    if name == "DataImportError":
        from ._importer import DataImportError
        return DataImportError
    if name == "Instrument":
        from ._records import Instrument
        return Instrument
    raise AttributeError("module 'tickvane' has no attribute %r" % (name,))
