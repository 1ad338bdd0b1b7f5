"""In-memory stand-in for the market-data client ``tickvane``, used by the tests and
benchmarks of meridan.

A ``FakeTickvane`` instance behaves like the ``tickvane`` module: every operation is
an attribute with the client's signature, and ``__all__`` lists them, so the instance
can be put in ``sys.modules["tickvane"]`` (see ``install``) and both
``import tickvane`` and ``from tickvane import *`` find it.

Data: every instance starts from its own copy of a small built-in market (or from an
empty one with ``FakeTickvane(defaults=False)``):

- a calendar of the weekdays of 2015-2018 without the holidays of ``_HOLIDAYS``;
- six common stocks across sectors: "000001.XSHE" (bank), "000002.XSHE" (real
  estate, suspended 2016-01-04..2016-01-15: no rows), "600519.XSHG" (liquor; a cash
  dividend of 2.5 per 10 shares with book closure 2016-06-30 and a 10->15 split on
  2017-07-13), "601857.XSHG" (energy), "000725.XSHE" (electronics, special treatment
  from 2016-05-04 to 2017-04-28) and "300750.XSHE" (listed 2018-06-11);
- the indices "000300.XSHG" and "000905.XSHG" with weights, the industry index
  "801010.INDX" and the fund "510050.XSHG" (type "ETF");
- closes for all of them, factor exposures for the stocks, factor returns and a yield
  curve on every trading day.

Tables are edited through the ``set_*``/``add_*`` methods (they also drop stored replay
replies); ``fake.data`` holds the tables themselves for anything unusual. Replies are
new objects: changing a reply never changes the tables.

Replies of the service, as the fake gives them:

- "no data" is ``None`` for get_price, get_price_change_rate, get_factor_exposure,
  get_factor_return, get_yield_curve, get_dividend and get_split;
- get_price for one id is a Series named by the id;
- index_components and index_weights (a Series named "weight" by order_book_id) are
  empty before an index's first constituent set, ValueError for an index without any;
- get_trading_dates answers a list of ``datetime.date`` (empty when none);
  get_previous/next_trading_date a ``pd.Timestamp`` (None past the calendar);
- instruments raises ValueError for an unknown id;
- start and end dates are compared as calendar days: a date-time counts as its day.
- adjust_type "none" gives the stored closes; "post" multiplies the closes from each
  split date on by the split coefficient; "pre" divides the closes before each split
  date by it. Dividends do not adjust prices.
- change rates are computed from the "post" closes, each against the previous stored
  close of the same instrument, unless set with ``set_change_rates``.

Recording: each call appends a ``Call(name, args, kwargs, seconds, error, replayed)``
to ``fake.calls``; ``fake.time_inside`` adds up the seconds spent inside the fake, so
benchmarks can subtract the service's share. ``count(name=None)``, ``calls_to(name)``
and ``reset_calls()`` read and clear them.

Forcing replies: ``set_reply(name, value_or_callable)`` (the value itself is returned,
not a copy; a callable gets the call's arguments), ``set_replies(name, [r1, r2, ...])``
(one per call, then back to normal), ``set_error(name, exc)``, ``reset_overrides()``.
``default_reply(name, *args, **kwargs)`` computes the normal reply without recording,
for callables that change only some replies.

Replay: inside ``with fake.replaying():`` (or with ``fake.replay = True``) the first
call of each distinct request computes and stores its reply, and later identical
requests get a copy of the stored one. ``prepare(name, *args, **kwargs)`` stores a
reply ahead of time without recording a call.
"""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import inspect
import sys
import time
import types

import numpy as np
import pandas as pd

from recording_tickvane import Call, install  # noqa: F401  (shared with the proxy)

__all__ = ["Call", "FakeTickvane", "Instrument", "install", "FACTORS", "TENORS"]

FACTORS = [
    "beta",
    "growth",
    "liquidity",
    "leverage",
    "momentum",
    "reversal",
    "size",
    "yield",
    "volatility",
    "value",
]

# Yield-curve columns and their length in years, shortest first.
TENORS = {
    "0S": 0.0,
    "1M": 1 / 12,
    "2M": 2 / 12,
    "3M": 3 / 12,
    "6M": 6 / 12,
    "9M": 9 / 12,
    **{f"{n}Y": float(n) for n in range(1, 11)},
    "15Y": 15.0,
    "20Y": 20.0,
    "30Y": 30.0,
    "40Y": 40.0,
    "50Y": 50.0,
}

OPERATIONS = [
    "get_price",
    "get_price_change_rate",
    "get_trading_dates",
    "get_previous_trading_date",
    "get_next_trading_date",
    "instruments",
    "get_factor_exposure",
    "get_factor_return",
    "get_yield_curve",
    "index_components",
    "index_weights",
    "get_dividend",
    "get_split",
    "_is_st_stock",
]

# Index resolution of the installed pandas for dates built from text, so replies
# compare equal to expected values built with pd.to_datetime or pd.date_range.
_UNIT = pd.date_range("2000-01-01", periods=1).unit

_MARKET_TZ = "Asia/Shanghai"


# --------------------------------------------------------------------------- records


@dataclasses.dataclass(frozen=True)
class Instrument:
    """Instrument record as ``instruments`` answers it."""

    order_book_id: str
    symbol: str
    type: str = "CS"
    listed_date: pd.Timestamp = pd.Timestamp("2000-01-04")
    de_listed_date: object = None
    exchange: str = "XSHE"
    round_lot: int = 100
    sector_code_name: object = None
    shenwan_industry_name: object = None


@dataclasses.dataclass
class Tables:
    """The fake market. Keys are order book ids; dates are day Timestamps.

    - calendar: the trading days, sorted.
    - instruments: id -> Instrument.
    - closes: id -> Series of unadjusted closes by date.
    - change_rates: id -> Series of change rates by date, used instead of the closes.
    - exposures: id -> DataFrame by date, FACTORS columns.
    - factor_returns, yield_curve: DataFrames by date, FACTORS or TENORS columns.
    - index_weights: index id -> {first day of a constituent set: Series of weights
      by id}.
    - dividends: id -> DataFrame with book_closure_date, dividend_cash_before_tax and
      round_lot.
    - splits: id -> DataFrame by date with split_coefficient_from and
      split_coefficient_to.
    - st_periods: id -> list of (first day, last day), both included.
    """

    calendar: pd.DatetimeIndex
    instruments: dict
    closes: dict
    change_rates: dict
    exposures: dict
    factor_returns: pd.DataFrame
    yield_curve: pd.DataFrame
    index_weights: dict
    dividends: dict
    splits: dict
    st_periods: dict

    def copy(self):
        def deep(mapping):
            return {k: v.copy() for k, v in mapping.items()}

        return Tables(
            calendar=self.calendar.copy(),
            instruments=dict(self.instruments),
            closes=deep(self.closes),
            change_rates=deep(self.change_rates),
            exposures=deep(self.exposures),
            factor_returns=self.factor_returns.copy(),
            yield_curve=self.yield_curve.copy(),
            index_weights={k: deep(v) for k, v in self.index_weights.items()},
            dividends=deep(self.dividends),
            splits=deep(self.splits),
            st_periods={k: list(v) for k, v in self.st_periods.items()},
        )


# ------------------------------------------------------------------------ date helpers


def _timestamp(value):
    """A naive Timestamp (Beijing time) of a date given in any usual form."""
    if value is None or isinstance(value, (bool, np.bool_, int, float, np.number)):
        raise ValueError(f"not a date: {value!r}")
    try:
        ts = pd.Timestamp(value)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"not a date: {value!r}") from exc
    if ts is pd.NaT:
        raise ValueError(f"not a date: {value!r}")
    if ts.tz is not None:
        ts = ts.tz_convert(_MARKET_TZ).tz_localize(None)
    return ts


def _day(value):
    return _timestamp(value).normalize()


def _date_index(values):
    if isinstance(values, pd.DatetimeIndex):
        if values.tz is not None:
            values = values.tz_convert(_MARKET_TZ).tz_localize(None)
        return values.normalize().as_unit(_UNIT).rename("date")
    return pd.DatetimeIndex([_day(v) for v in values], name="date").as_unit(_UNIT)


def _dated_series(data, what):
    """A float Series on a sorted, unique day index from a Series or mapping."""
    series = data if isinstance(data, pd.Series) else pd.Series(dict(data), dtype=float)
    series = pd.Series(
        series.to_numpy(dtype=float), index=_date_index(series.index), dtype=float
    )
    if series.index.has_duplicates:
        raise ValueError(f"{what}: duplicate dates")
    return series.sort_index()


def _dated_frame(frame, columns, what):
    frame = pd.DataFrame(frame)
    missing = [c for c in columns if c not in frame.columns]
    if missing:
        raise ValueError(f"{what}: missing columns {missing}")
    frame = pd.DataFrame(
        frame[columns].to_numpy(dtype=float),
        index=_date_index(frame.index),
        columns=list(columns),
    )
    if frame.index.has_duplicates:
        raise ValueError(f"{what}: duplicate dates")
    return frame.sort_index()


def _impl_name(name):
    return "_op_" + name.lstrip("_")


def _freeze(value):
    """A hashable stand-in for an argument, for replay keys."""
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(_freeze(v) for v in value))
    if isinstance(value, dict):
        return ("dict", tuple(sorted((k, _freeze(v)) for k, v in value.items())))
    if isinstance(value, (pd.Series, pd.DataFrame, pd.Index, np.ndarray)):
        return ("object", id(value))
    try:
        hash(value)
    except TypeError:
        return ("repr", type(value).__name__, repr(value))
    return (type(value).__name__, value)


def _copy_reply(reply):
    if isinstance(reply, (pd.Series, pd.DataFrame)):
        return reply.copy()
    if isinstance(reply, list):
        return list(reply)
    return reply


# ---------------------------------------------------------------------- default market

_HOLIDAYS = [
    ("2015-01-01", "2015-01-02"),  # New Year
    ("2015-02-18", "2015-02-24"),  # Spring Festival
    ("2015-04-06", "2015-04-06"),  # Qingming
    ("2015-05-01", "2015-05-01"),  # Labour Day
    ("2015-06-22", "2015-06-22"),  # Dragon Boat
    ("2015-10-01", "2015-10-07"),  # National Day
    ("2016-01-01", "2016-01-01"),
    ("2016-02-08", "2016-02-12"),
    ("2016-05-02", "2016-05-02"),
    ("2016-10-03", "2016-10-07"),
    ("2017-01-02", "2017-01-02"),
    ("2017-01-27", "2017-02-02"),
    ("2017-05-29", "2017-05-30"),
    ("2017-10-02", "2017-10-06"),
    ("2018-01-01", "2018-01-01"),
    ("2018-02-15", "2018-02-21"),
    ("2018-04-05", "2018-04-06"),
    ("2018-10-01", "2018-10-05"),
]

# (id, symbol, type, listed, MSCI sector, Shenwan industry, base close, drift a year)
_DEFAULT_INSTRUMENTS = [
    ("000001.XSHE", "深发银行", "CS", "1991-04-03", "金融", "银行", 11.0, 0.05),
    ("000002.XSHE", "南山地产", "CS", "1991-01-29", "金融", "房地产", 14.0, 0.12),
    (
        "600519.XSHG",
        "茅山酒业",
        "CS",
        "2001-08-27",
        "必需消费品",
        "食品饮料",
        190.0,
        0.35,
    ),
    ("601857.XSHG", "华油能源", "CS", "2007-11-05", "能源", "采掘", 9.0, -0.08),
    ("000725.XSHE", "华显科技", "CS", "2001-01-12", "信息技术", "电子", 3.0, 0.02),
    ("300750.XSHE", "新锂科技", "CS", "2018-06-11", "工业", "电气设备", 36.0, 0.60),
    ("000300.XSHG", "沪深300", "INDX", "2005-04-08", None, None, 3500.0, 0.03),
    ("000905.XSHG", "中证500", "INDX", "2007-01-15", None, None, 6000.0, -0.02),
    ("801010.INDX", "农林牧渔", "INDX", "1999-12-30", None, None, 2800.0, 0.01),
    ("510050.XSHG", "50ETF", "ETF", "2005-02-23", None, None, 2.5, 0.04),
]

_DEFAULT_INDEX_WEIGHTS = {
    "000300.XSHG": {
        "2015-01-05": {
            "000001.XSHE": 0.30,
            "000002.XSHE": 0.20,
            "600519.XSHG": 0.25,
            "601857.XSHG": 0.15,
            "000725.XSHE": 0.10,
        },
        "2017-06-12": {
            "000001.XSHE": 0.30,
            "000002.XSHE": 0.25,
            "600519.XSHG": 0.30,
            "601857.XSHG": 0.15,
        },
        "2018-12-17": {
            "000001.XSHE": 0.25,
            "000002.XSHE": 0.20,
            "600519.XSHG": 0.30,
            "601857.XSHG": 0.15,
            "300750.XSHE": 0.10,
        },
    },
    "000905.XSHG": {
        "2015-01-05": {"000725.XSHE": 0.40, "601857.XSHG": 0.60},
    },
}


def _default_calendar():
    weekdays = pd.bdate_range("2015-01-01", "2018-12-31")
    closed = pd.DatetimeIndex([])
    for first, last in _HOLIDAYS:
        closed = closed.append(pd.date_range(first, last))
    return weekdays.difference(closed).as_unit(_UNIT).rename("date")


def _price_path(calendar, base, drift, phase, decimals):
    # Smooth deterministic path: yearly drift plus a slow and a fast wave, so daily
    # changes differ from day to day and between instruments.
    t = np.arange(len(calendar), dtype=float)
    path = (
        base
        * (1 + drift * t / 244)
        * (
            1
            + 0.15 * np.sin(2 * np.pi * t / 250 + phase)
            + 0.01 * np.sin(t * (1.3 + phase))
        )
    )
    return pd.Series(np.round(path, decimals), index=calendar)


def _build_defaults():
    calendar = _default_calendar()
    instruments, closes, exposures = {}, {}, {}
    n_days = len(calendar)
    day_no = np.arange(n_days, dtype=float)
    for k, (oid, symbol, kind, listed, msci, shenwan, base, drift) in enumerate(
        _DEFAULT_INSTRUMENTS
    ):
        instruments[oid] = Instrument(
            order_book_id=oid,
            symbol=symbol,
            type=kind,
            listed_date=pd.Timestamp(listed),
            exchange=oid.split(".")[1],
            round_lot=1 if kind == "INDX" else 100,
            sector_code_name=msci,
            shenwan_industry_name=shenwan,
        )
        decimals = 3 if kind == "ETF" else 2
        close = _price_path(calendar, base, drift, 0.7 * k, decimals)
        close = close[close.index >= pd.Timestamp(listed)]
        closes[oid] = close
        if kind == "CS":
            # Exposures from the listing day on: a level per stock and factor plus a
            # slow wave, in the usual range of standardised exposures.
            levels = np.array([((k + 1) * (j + 3) % 7 - 3) / 2 for j in range(10)])
            waves = 0.2 * np.sin(day_no[:, None] / 40 + np.arange(10)[None, :] + k)
            frame = pd.DataFrame(
                levels[None, :] + waves, index=calendar, columns=FACTORS
            )
            exposures[oid] = frame[frame.index >= pd.Timestamp(listed)]

    # The split stock trades at two thirds of its former price from the split on.
    split_day = pd.Timestamp("2017-07-13")
    liquor = closes["600519.XSHG"]
    closes["600519.XSHG"] = liquor.where(
        liquor.index < split_day, np.round(liquor / 1.5, 2)
    )
    # Suspension: no rows at all.
    estate = closes["000002.XSHE"]
    suspended = (estate.index >= "2016-01-04") & (estate.index <= "2016-01-15")
    closes["000002.XSHE"] = estate[~suspended]

    factor_returns = pd.DataFrame(
        0.004 * np.sin(day_no[:, None] * (0.9 + 0.1 * np.arange(10))[None, :])
        + 0.0005 * np.cos(day_no[:, None] / 7 + np.arange(10)[None, :]),
        index=calendar,
        columns=FACTORS,
    )

    years = np.array(list(TENORS.values()))
    level = 0.025 + 0.003 * np.sin(day_no / 120)
    curve = level[:, None] + 0.012 * (1 - np.exp(-years[None, :] / 3))
    yield_curve = pd.DataFrame(np.round(curve, 6), index=calendar, columns=list(TENORS))

    index_weights = {
        index_id: {
            pd.Timestamp(day).as_unit(_UNIT): pd.Series(weights, dtype=float)
            for day, weights in by_day.items()
        }
        for index_id, by_day in _DEFAULT_INDEX_WEIGHTS.items()
    }
    dividends = {
        "600519.XSHG": pd.DataFrame(
            {
                "book_closure_date": pd.DatetimeIndex(["2016-06-30"]).as_unit(_UNIT),
                "dividend_cash_before_tax": [2.5],
                "round_lot": [10],
            }
        )
    }
    split_index = pd.DatetimeIndex([split_day], name="ex_date").as_unit(_UNIT)
    splits = {
        "600519.XSHG": pd.DataFrame(
            {"split_coefficient_from": [10.0], "split_coefficient_to": [15.0]},
            index=split_index,
        )
    }
    st_periods = {
        "000725.XSHE": [(pd.Timestamp("2016-05-04"), pd.Timestamp("2017-04-28"))]
    }
    return Tables(
        calendar=calendar,
        instruments=instruments,
        closes=closes,
        change_rates={},
        exposures=exposures,
        factor_returns=factor_returns,
        yield_curve=yield_curve,
        index_weights=index_weights,
        dividends=dividends,
        splits=splits,
        st_periods=st_periods,
    )


@functools.lru_cache(maxsize=1)
def _defaults():
    return _build_defaults()


def _empty_tables():
    empty_dates = pd.DatetimeIndex([], name="date").as_unit(_UNIT)
    return Tables(
        calendar=pd.DatetimeIndex([], name="date").as_unit(_UNIT),
        instruments={},
        closes={},
        change_rates={},
        exposures={},
        factor_returns=pd.DataFrame(columns=FACTORS, index=empty_dates, dtype=float),
        yield_curve=pd.DataFrame(columns=list(TENORS), index=empty_dates, dtype=float),
        index_weights={},
        dividends={},
        splits={},
        st_periods={},
    )


# ----------------------------------------------------------------------------- the fake


class FakeTickvane:
    """In-memory market-data client; see the module documentation."""

    __all__ = list(OPERATIONS)
    __name__ = "tickvane"
    _tickvane_stand_in = True

    def __init__(self, defaults=True):
        self.data = _defaults().copy() if defaults else _empty_tables()
        self.calls = []
        self.time_inside = 0.0
        self.replay = False
        self._replay_store = {}
        self._replies = {}
        self._reply_queues = {}
        self._errors = {}
        self._signatures = {}
        for name in OPERATIONS:
            impl = getattr(self, _impl_name(name))
            self._signatures[name] = inspect.signature(impl)
            setattr(self, name, self._recording(name, impl))

    def __repr__(self):
        return f"<FakeTickvane with {len(self.calls)} recorded calls>"

    # ------------------------------------------------------------- recording machinery

    def _recording(self, name, impl):
        @functools.wraps(impl)
        def operation(*args, **kwargs):
            start = time.perf_counter()
            error = None
            replayed = [False]
            try:
                return self._answer(name, impl, args, kwargs, replayed)
            except BaseException as exc:
                error = exc
                raise
            finally:
                seconds = time.perf_counter() - start
                self.time_inside += seconds
                self.calls.append(Call(name, args, kwargs, seconds, error, replayed[0]))

        operation.__name__ = name
        operation.__qualname__ = f"tickvane.{name}"
        operation._tickvane_stand_in_operation = True
        return operation

    def _answer(self, name, impl, args, kwargs, replayed):
        if name in self._errors:
            error = self._errors[name]
            raise error() if isinstance(error, type) else error
        queue = self._reply_queues.get(name)
        if queue:
            reply = queue.pop(0)
            return reply(*args, **kwargs) if callable(reply) else reply
        if name in self._replies:
            reply = self._replies[name]
            return reply(*args, **kwargs) if callable(reply) else reply
        if not self.replay:
            return impl(*args, **kwargs)
        key = self._replay_key(name, args, kwargs)
        if key in self._replay_store:
            replayed[0] = True
        else:
            self._replay_store[key] = impl(*args, **kwargs)
        return _copy_reply(self._replay_store[key])

    def _replay_key(self, name, args, kwargs):
        try:
            bound = self._signatures[name].bind(*args, **kwargs)
        except TypeError:
            # Let the operation itself raise its usual wrong-arguments error.
            self._impl(name)(*args, **kwargs)
            raise
        bound.apply_defaults()
        return (name, tuple((k, _freeze(v)) for k, v in bound.arguments.items()))

    def _impl(self, name):
        if name not in OPERATIONS:
            raise ValueError(f"no operation {name!r}")
        return getattr(self, _impl_name(name))

    def count(self, name=None):
        """Number of recorded calls, of one operation or of all."""
        if name is None:
            return len(self.calls)
        return sum(1 for call in self.calls if call.name == name)

    def calls_to(self, name):
        """The recorded calls of one operation, oldest first."""
        return [call for call in self.calls if call.name == name]

    def reset_calls(self):
        """Forget the recorded calls and the time spent inside."""
        self.calls.clear()
        self.time_inside = 0.0

    # ---------------------------------------------------------------- forcing replies

    def set_reply(self, name, reply):
        """Answer every call of operation ``name`` with ``reply`` (returned as is, not
        copied), or with ``reply(*args, **kwargs)`` when it is callable."""
        self._impl(name)
        self._replies[name] = reply

    def set_replies(self, name, replies):
        """Answer the next calls of ``name`` with the given replies in turn (values or
        callables as for ``set_reply``), then go back to the usual answers."""
        self._impl(name)
        self._reply_queues[name] = list(replies)

    def set_error(self, name, error):
        """Make every call of ``name`` raise ``error`` (an exception or its class)."""
        self._impl(name)
        self._errors[name] = error

    def reset_overrides(self, name=None):
        """Drop forced replies and errors, of one operation or of all."""
        for table in (self._replies, self._reply_queues, self._errors):
            if name is None:
                table.clear()
            else:
                table.pop(name, None)

    def default_reply(self, name, *args, **kwargs):
        """The reply the tables give, computed without recording a call."""
        return self._impl(name)(*args, **kwargs)

    # ------------------------------------------------------------------------ replay

    @contextlib.contextmanager
    def replaying(self, enabled=True):
        """Within the block, identical requests get copies of one stored reply."""
        previous, self.replay = self.replay, enabled
        try:
            yield self
        finally:
            self.replay = previous

    def prepare(self, name, *args, **kwargs):
        """Compute and store the reply of one request for replay, without recording a
        call; returns a copy of it."""
        key = self._replay_key(name, args, kwargs)
        self._replay_store[key] = self._impl(name)(*args, **kwargs)
        return _copy_reply(self._replay_store[key])

    def clear_replay(self):
        """Forget the stored replay replies."""
        self._replay_store.clear()

    # ------------------------------------------------------------------ editing tables

    def _changed(self):
        self._replay_store.clear()

    def set_trading_dates(self, dates):
        """Replace the trading calendar by ``dates`` (any date forms)."""
        self.data.calendar = _date_index(dates).unique().sort_values()
        self._changed()

    def set_instrument(self, order_book_id, **fields):
        """Add an instrument or change fields of an existing one. A new one takes
        ``symbol`` = its id, type "CS", exchange = its suffix unless given."""
        if "listed_date" in fields and fields["listed_date"] is not None:
            fields["listed_date"] = _timestamp(fields["listed_date"])
        old = self.data.instruments.get(order_book_id)
        if old is None:
            fields.setdefault("symbol", order_book_id)
            fields.setdefault("exchange", order_book_id.rpartition(".")[2])
            record = Instrument(order_book_id=order_book_id, **fields)
        else:
            record = dataclasses.replace(old, **fields)
        self.data.instruments[order_book_id] = record
        self._changed()
        return record

    def remove_instrument(self, order_book_id):
        """Forget an instrument record (its other tables stay)."""
        self.data.instruments.pop(order_book_id, None)
        self._changed()

    def set_closes(self, order_book_id, closes):
        """Replace the unadjusted closes of an instrument: a Series or mapping by date,
        or None to remove them."""
        if closes is None:
            self.data.closes.pop(order_book_id, None)
        else:
            self.data.closes[order_book_id] = _dated_series(closes, order_book_id)
        self._changed()

    def set_change_rates(self, order_book_id, rates):
        """Fix the daily change rates of an instrument (Series or mapping by date,
        fractions) instead of deriving them from closes; None derives them again."""
        if rates is None:
            self.data.change_rates.pop(order_book_id, None)
        else:
            self.data.change_rates[order_book_id] = _dated_series(rates, order_book_id)
        self._changed()

    def set_exposures(self, order_book_id, frame):
        """Replace the factor exposures of a stock: a DataFrame by date with the ten
        factor columns, or None to remove them."""
        if frame is None:
            self.data.exposures.pop(order_book_id, None)
        else:
            self.data.exposures[order_book_id] = _dated_frame(
                frame, FACTORS, order_book_id
            )
        self._changed()

    def set_factor_returns(self, frame):
        """Replace the factor returns: a DataFrame by date, the ten factor columns."""
        self.data.factor_returns = _dated_frame(frame, FACTORS, "factor returns")
        self._changed()

    def set_yield_curve(self, frame):
        """Replace the yield curve: a DataFrame by date with the 21 tenor columns
        ("0S" ... "50Y"), fractions; missing tenor columns are left out of replies."""
        columns = [c for c in TENORS if c in frame.columns]
        self.data.yield_curve = _dated_frame(frame, columns, "yield curve")
        self._changed()

    def set_index_weights(self, index_id, date, weights):
        """Set the constituents and weights of an index from ``date`` on (until its next
        set): a Series or mapping from id to weight; None removes that set."""
        by_day = self.data.index_weights.setdefault(index_id, {})
        day = _day(date).as_unit(_UNIT)
        if weights is None:
            by_day.pop(day, None)
        else:
            by_day[day] = pd.Series(dict(weights), dtype=float)
        self._changed()

    def clear_index(self, index_id):
        """Forget every constituent set of an index."""
        self.data.index_weights.pop(index_id, None)
        self._changed()

    def add_dividend(
        self, order_book_id, book_closure_date, dividend_cash_before_tax, round_lot=10.0
    ):
        """Add a cash dividend: ``dividend_cash_before_tax`` per ``round_lot`` shares,
        for holders on ``book_closure_date``."""
        row = pd.DataFrame(
            {
                "book_closure_date": pd.DatetimeIndex(
                    [_day(book_closure_date)]
                ).as_unit(_UNIT),
                "dividend_cash_before_tax": [float(dividend_cash_before_tax)],
                "round_lot": [round_lot],
            }
        )
        old = self.data.dividends.get(order_book_id)
        table = row if old is None else pd.concat([old, row], ignore_index=True)
        self.data.dividends[order_book_id] = table.sort_values(
            "book_closure_date", kind="stable", ignore_index=True
        )
        self._changed()

    def clear_dividends(self, order_book_id):
        """Forget the dividends of an instrument."""
        self.data.dividends.pop(order_book_id, None)
        self._changed()

    def add_split(
        self, order_book_id, date, split_coefficient_from, split_coefficient_to
    ):
        """Add a split on ``date``: ``split_coefficient_from`` old shares become
        ``split_coefficient_to`` new ones."""
        row = pd.DataFrame(
            {
                "split_coefficient_from": [float(split_coefficient_from)],
                "split_coefficient_to": [float(split_coefficient_to)],
            },
            index=pd.DatetimeIndex([_day(date)], name="ex_date").as_unit(_UNIT),
        )
        old = self.data.splits.get(order_book_id)
        table = row if old is None else pd.concat([old, row])
        self.data.splits[order_book_id] = table.sort_index(kind="stable")
        self._changed()

    def clear_splits(self, order_book_id):
        """Forget the splits of an instrument."""
        self.data.splits.pop(order_book_id, None)
        self._changed()

    def set_st_periods(self, order_book_id, periods):
        """Set the special-treatment periods of a stock: pairs (first day, last day),
        both included; an empty list clears them."""
        self.data.st_periods[order_book_id] = [(_day(a), _day(b)) for a, b in periods]
        self._changed()

    # ----------------------------------------------------------------- table lookups

    def _days(self, start, end):
        """Trading days from ``start`` to ``end``, both included, as a DatetimeIndex."""
        calendar = self.data.calendar
        lo = calendar.searchsorted(start, side="left")
        hi = calendar.searchsorted(end, side="right")
        return calendar[lo:hi]

    def _split_factors(self, order_book_id):
        table = self.data.splits.get(order_book_id)
        if table is None:
            return []
        ratios = table["split_coefficient_to"] / table["split_coefficient_from"]
        return list(zip(table.index, ratios))

    def _adjusted(self, order_book_id, adjust_type):
        closes = self.data.closes.get(order_book_id)
        if closes is None:
            return None
        if adjust_type == "none":
            return closes
        adjusted = closes.copy()
        for day, ratio in self._split_factors(order_book_id):
            if adjust_type == "post":
                adjusted.loc[adjusted.index >= day] *= ratio
            else:
                adjusted.loc[adjusted.index < day] /= ratio
        return adjusted

    # -------------------------------------------------------------------- operations

    def _op_get_price(
        self,
        order_book_ids,
        start_date=None,
        end_date=None,
        frequency="1d",
        fields=None,
        adjust_type="pre",
    ):
        """Daily closes from start_date to end_date, both included: a Series for one id,
        a DataFrame with a column per id (request order) for several; None when there
        is no data."""
        if frequency != "1d":
            raise ValueError(f"unsupported frequency: {frequency!r}")
        if fields not in (None, "close", "ClosingPx"):
            raise ValueError(f"unsupported fields: {fields!r}")
        if adjust_type not in ("none", "pre", "post"):
            raise ValueError(f"unsupported adjust_type: {adjust_type!r}")
        start = _day(start_date) if start_date is not None else None
        end = _day(end_date) if end_date is not None else None

        def window(order_book_id):
            series = self._adjusted(order_book_id, adjust_type)
            if series is None:
                return None
            series = series.loc[start:end]
            return series if len(series) else None

        if isinstance(order_book_ids, str):
            series = window(order_book_ids)
            return None if series is None else series.rename(order_book_ids).copy()
        ids = list(order_book_ids)
        parts = [window(oid) for oid in ids]
        present = [p for p in parts if p is not None]
        if not present:
            return None
        index = present[0].index
        for part in present[1:]:
            index = index.union(part.index)
        columns = [
            np.full(len(index), np.nan) if p is None else p.reindex(index).to_numpy()
            for p in parts
        ]
        return pd.DataFrame(
            np.column_stack(columns), index=index, columns=pd.Index(ids)
        )

    def _op_get_price_change_rate(self, order_book_ids, start_date, end_date):
        """Daily change rates (fractions) on each trading day from start_date to
        end_date, both included: a DataFrame with a column per id, or a Series for one
        id given as text; None when the range holds no trading day."""
        days = self._days(_day(start_date), _day(end_date))
        if not len(days):
            return None
        single = isinstance(order_book_ids, str)
        ids = [order_book_ids] if single else list(order_book_ids)
        columns = []
        for oid in ids:
            rates = self.data.change_rates.get(oid)
            if rates is None:
                post = self._adjusted(oid, "post")
                rates = None if post is None else post / post.shift(1) - 1
            columns.append(
                np.full(len(days), np.nan)
                if rates is None
                else rates.reindex(days).to_numpy()
            )
        frame = pd.DataFrame(
            np.column_stack(columns), index=days, columns=pd.Index(ids)
        )
        return frame[order_book_ids].rename(None) if single else frame

    def _op_get_trading_dates(self, start_date, end_date):
        """Trading dates from start_date to end_date, both included, as a list of
        datetime.date; empty when there are none."""
        return list(self._days(_day(start_date), _day(end_date)).date)

    def _op_get_previous_trading_date(self, date):
        """The last trading date strictly before the day of ``date``; None before the
        calendar."""
        day = _day(date)
        position = self.data.calendar.searchsorted(day, side="left")
        if position == 0:
            return None
        return self.data.calendar[position - 1]

    def _op_get_next_trading_date(self, date):
        """The first trading date strictly after the day of ``date``; None past the
        calendar."""
        day = _day(date)
        position = self.data.calendar.searchsorted(day, side="right")
        if position == len(self.data.calendar):
            return None
        return self.data.calendar[position]

    def _op_instruments(self, order_book_ids):
        """The record of one id, or a list of records for a list of ids; ValueError for
        an unknown id."""

        def record(oid):
            found = self.data.instruments.get(oid) if isinstance(oid, str) else None
            if found is None:
                raise ValueError(f"unknown instrument: {oid!r}")
            return found

        if isinstance(order_book_ids, str):
            return record(order_book_ids)
        return [record(oid) for oid in order_book_ids]

    def _op_is_st_stock(self, order_book_id, date):
        """Whether the stock is under special treatment on the day of ``date``."""
        day = _day(date)
        return any(
            a <= day <= b for a, b in self.data.st_periods.get(order_book_id, ())
        )

    def _op_get_factor_exposure(self, order_book_ids, start_date, end_date):
        """Factor exposures from start_date to end_date, both included. For one id
        (text or a list of one) a DataFrame by date; for several a DataFrame with the
        row index (order_book_id, date), ids in request order, ids without data left
        out. None when there is no data."""
        start, end = _day(start_date), _day(end_date)
        single = isinstance(order_book_ids, str)
        ids = [order_book_ids] if single else list(order_book_ids)
        frames = {}
        for oid in dict.fromkeys(ids):
            frame = self.data.exposures.get(oid)
            if frame is not None:
                frame = frame.loc[start:end]
                if len(frame):
                    frames[oid] = frame
        if not frames:
            return None
        if len(ids) == 1:
            return next(iter(frames.values())).copy()
        return pd.concat(frames, names=["order_book_id", "date"])

    def _op_get_factor_return(self, start_date, end_date):
        """Daily factor returns (fractions) from start_date to end_date, both included,
        a DataFrame by date with the ten factor columns; None when there is none."""
        frame = self.data.factor_returns.loc[_day(start_date) : _day(end_date)]
        return frame.copy() if len(frame) else None

    def _op_get_yield_curve(self, start_date=None, end_date=None):
        """Yield curve (fractions) by date from start_date to end_date, both included.
        Without end_date the latest date of the table; without start_date only the end
        date. None when there is no row."""
        curve = self.data.yield_curve
        if end_date is None:
            if not len(curve):
                return None
            end = curve.index[-1]
        else:
            end = _day(end_date)
        start = end if start_date is None else _day(start_date)
        frame = curve.loc[start:end]
        return frame.copy() if len(frame) else None

    def _constituents(self, order_book_id, date):
        by_day = self.data.index_weights.get(order_book_id)
        if not by_day:
            return None
        day = _day(date)
        effective = sorted(d for d in by_day if d <= day)
        return by_day[effective[-1]] if effective else None

    def _index_weights(self, order_book_id, date):
        if order_book_id not in self.data.index_weights:
            raise ValueError(f"no constituents for index {order_book_id!r}")
        weights = self._constituents(order_book_id, date)
        if weights is None:
            weights = pd.Series(dtype=float)
        return weights.rename("weight").rename_axis("order_book_id")

    def _op_index_components(self, order_book_id, date):
        """Ids of the index's constituents on the day of ``date``; an empty list before
        its first constituent set, ValueError for an index without any."""
        return list(self._index_weights(order_book_id, date).index)

    def _op_index_weights(self, order_book_id, date):
        """Constituent weights of the index on the day of ``date``, a Series named
        "weight" by order_book_id; empty before its first constituent set, ValueError
        for an index without any."""
        return self._index_weights(order_book_id, date).copy()

    def _op_get_dividend(self, order_book_id, adjusted=True):
        """Cash dividends of an instrument: a DataFrame with book_closure_date,
        dividend_cash_before_tax (per round_lot shares) and round_lot; None when it has
        none. ``adjusted`` expresses amounts in today's shares (divided by the split
        coefficients of later splits)."""
        table = self.data.dividends.get(order_book_id)
        if table is None or not len(table):
            return None
        table = table.copy()
        if adjusted:
            for day, ratio in self._split_factors(order_book_id):
                later = table["book_closure_date"] < day
                table.loc[later, "dividend_cash_before_tax"] /= ratio
        return table

    def _op_get_split(self, order_book_id):
        """Splits of an instrument: a DataFrame indexed by date with
        split_coefficient_from and split_coefficient_to; None when it has none."""
        table = self.data.splits.get(order_book_id)
        if table is None or not len(table):
            return None
        return table.copy()
