"""Replay of a portfolio, day by day over the trading calendar, from its opening cash and
positions and a list of trades, into the two inputs the analyses take: the portfolio
series (one snapshot per trading day) and the portfolio value series.

An addition to the position calculator, in plain Python: it only orchestrates the
compiled book (``meridan.pcalc.portfolio.Portfolio``) and a market data provider
(``meridan.quotes.CachedMarketDataProvider`` or any object with its three operations),
so every price, dividend and split comes through the provider's caches and every cash
movement through the book.
"""

import datetime as _dt
import math
import numbers
from collections.abc import Mapping
from typing import NamedTuple

import numpy as np
import pandas as pd
import tickvane

from meridan.pcalc.portfolio import Portfolio
from meridan.quotes import CachedMarketDataProvider

__all__ = ["Replay", "replay", "benchmark_value_series"]

_ONE_DAY = _dt.timedelta(days=1)


class Replay(NamedTuple):
    """What ``replay`` returns; unpacks as a 4-tuple."""

    portfolio_series: list
    """One snapshot dict per trading day (shape in ``replay``'s documentation)."""
    value_series: pd.Series
    """Market value (currency) per trading day, indexed by midnight Timestamps."""
    skipped: list
    """The trades left out for want of a close on their day, in the order given
    (always empty unless ``skip_untradable`` is true)."""
    portfolio: Portfolio
    """The book as it stands after the last day."""


def replay(trades, start_date, end_date, md=None, cash=100000.0, positions=None,
           skip_untradable=False):
    """Replay a book over the trading days from ``start_date`` to ``end_date`` (both
    included) and return a ``Replay``: (portfolio_series, value_series, skipped,
    portfolio).

    ``trades``: ``Trade`` records as ``fix_trades`` or ``fix_backtest_trades`` build
    them (any iterable; read once, never changed); each must lie in the range. A table
    (DataFrame), a mapping, text or an item that is not a Trade record raises
    TypeError. ``md``: a
    market data provider of unadjusted closes (a new ``CachedMarketDataProvider()``
    when None); its closes, dividends per share and split coefficients are all the
    market data used, apart from the last close of an opening holding that is
    suspended when the replay starts. ``cash`` and ``positions`` (order book id ->
    shares) open the book as ``Portfolio(cash, positions)`` does, at the start of
    ``start_date``; positions given as anything but a mapping raise TypeError. An
    opening position or a trade in an index (instrument type "INDX") raises ValueError
    naming it, and so does a day whose value overflows to infinity.

    Each trading day, in this order:

    1. the splits effective that day (ex-date; one falling on a non-trading day takes
       effect on the next trading day) are applied to the holdings carried over;
    2. the day's trades are booked, in the order given;
    3. the cash dividends whose book-closure date is that day (or a non-trading day
       before the next trading day) are booked for the holdings after the trades;
    4. the holdings are valued at the day's closes. A holding without a close that day
       (suspended) is valued at its last close before it, divided by any split since.

    Dividend income: the book keeps it apart from cash (``Portfolio._dividends``). The
    replay counts it as cash from the book-closure day on, the day the holders are
    fixed and the only date the provider knows, not from the later payable day. So on
    the book-closure day the value holds both the cum-dividend close and the dividend;
    the price goes ex on the next trading day.

    A trade dated on a day without a close for its instrument (suspended, or not a
    trading day) cannot have been executed at that day's market: ValueError naming the
    trade (its position in ``trades``, side, quantity, id and time), unless
    ``skip_untradable`` is true, in which case it is left out and listed in
    ``skipped``. Errors of the book (a sale of more shares than are held, say) carry a
    note naming the trade.

    The portfolio series: a list, in ascending date order, of one dict per trading day
    with exactly these keys:

    - "date": the day, a ``datetime.date``;
    - "positions": a list, in the book's order, of one dict per holding (quantity not
      0) with "order_book_id" (text), "quantity" (shares, int or float) and
      "market_value" (float: quantity x close, currency);
    - "market_value": float, "cash" plus the positions' market values;
    - "cash": float, the book's cash plus the dividend income booked so far.

    The value series: a float64 Series of each snapshot's "market_value", indexed by
    the days as midnight Timestamps; the "portfolio_series" argument of the risk,
    profit-and-loss and style analyses. ``benchmark_value_series`` gives the index
    closes on the same days.
    """
    trades = _trade_list(trades)
    _check_positions(positions)
    if md is None:
        md = CachedMarketDataProvider()
    mode = getattr(md, "_adjust_type", "none")
    if mode != "none":
        # Trades are booked at traded prices; valuing them at adjusted closes would
        # mix two price scales.
        raise ValueError(
            f"replay needs a provider of unadjusted closes (adjust_type 'none'), "
            f"got adjust_type {mode!r}"
        )
    first = _day(start_date, "start_date")
    last = _day(end_date, "end_date")
    if first > last:
        raise ValueError(f"start_date {first} is after end_date {last}")
    days = [_day(d, "trading date") for d in tickvane.get_trading_dates(first, last)]

    trading = set(days)
    by_day, skipped = {}, []

    def untradable(i, trade, reason):
        if not skip_untradable:
            raise ValueError(
                f"{_describe(i, trade)}: {reason}; "
                f"pass skip_untradable=True to leave such trades out"
            )
        skipped.append((i, trade))

    for i, trade in enumerate(trades):
        try:
            day = _day(trade.datetime, "its datetime")
        except ValueError as exc:
            raise ValueError(f"{_describe(i, trade)}: {exc}") from None
        if not first <= day <= last:
            raise ValueError(
                f"{_describe(i, trade)} lies outside the replay range {first} to {last}"
            )
        if day in trading:
            by_day.setdefault(day, []).append((i, trade))
        else:
            untradable(i, trade, f"{day} is not a trading day")

    _refuse_indices(list(positions or ()), trades)
    book = Portfolio(cash, positions)
    last_close = {}
    series, values = [], []
    for k, day in enumerate(days):
        held = book.holdings()

        # 1. Splits since the previous trading day.
        if held:
            for event_day in _span(days[k - 1] + _ONE_DAY if k else first, day):
                splits = md.get_split_coefficient(held, event_day)
                if splits:
                    book.apply_split(splits)
                    for oid, coefficient in splits.items():
                        if oid in last_close:
                            last_close[oid] = last_close[oid] / float(coefficient)

        # 2. The day's trades, once their instruments are known to have a close.
        todays = by_day.get(day, ())
        if todays:
            ids = list(dict.fromkeys(held + [t.order_book_id for _, t in todays]))
        else:
            ids = held
        closes = _closes(md, ids, day) if ids else {}
        for i, trade in todays:
            close = closes.get(trade.order_book_id)
            if close is None or close != close:
                untradable(i, trade, f"{trade.order_book_id} has no close on {day}")
                continue
            try:
                book.apply_trade(trade)
            except Exception as exc:
                if hasattr(exc, "add_note"):  # Python 3.11 and later
                    exc.add_note(f"while booking {_describe(i, trade)}")
                raise
        if todays:
            held = book.holdings()

        # 3. Dividends of the book-closure days up to the next trading day.
        if held:
            until = days[k + 1] - _ONE_DAY if k + 1 < len(days) else last
            for event_day in _span(day, until):
                dividends = md.get_dividend_per_share(held, event_day)
                if dividends:
                    book.apply_dividend(dividends)

        # 4. Valuation.
        book_positions = book._positions
        cash_now = float(book._cash + book._dividends)
        total = cash_now
        entries = []
        for oid in held:
            quantity = book_positions[oid].quantity
            close = closes.get(oid)
            if close is not None and close == close:
                last_close[oid] = close
            else:
                close = last_close.get(oid)
                if close is None:
                    close = last_close[oid] = _close_before(oid, day)
            value = float(quantity) * float(close)
            total += value
            if type(quantity) is not int and type(quantity) is not float:
                quantity = _plain(quantity)
            entries.append({"order_book_id": oid, "quantity": quantity,
                            "market_value": value})
        if not (math.isfinite(total) and math.isfinite(cash_now)):
            # Each number is finite, their sum is not: the analyses would divide by
            # infinity and report nonsense.
            raise ValueError(
                f"the book's value on {day} overflows to {total} (cash and dividends "
                f"{cash_now}): cash={cash!r} or the positions are too large to value"
            )
        series.append({"date": day, "positions": entries, "market_value": total,
                       "cash": cash_now})
        values.append(total)

    value_series = pd.Series(values, index=pd.to_datetime(days), dtype="float64")
    skipped.sort(key=lambda pair: pair[0])
    return Replay(series, value_series, [t for _, t in skipped], book)


def benchmark_value_series(order_book_id, dates):
    """The closes of index ``order_book_id`` on ``dates``: a float64 Series indexed by
    the dates as midnight Timestamps (the index of ``dates`` when it is a Series, such
    as ``replay``'s value series), named by the id. Dates with a time zone count as
    their own calendar day in that zone (the wall-clock date, not the UTC one).

    One request for the unadjusted closes from the first to the last date; a date
    without a close takes the last close before it. ValueError when a date has no close
    on or before it within that window. With the portfolio value series of the same
    days it gives both inputs of the profit-and-loss analysis (as its
    ``benchmark_series``).
    """
    if isinstance(dates, pd.Series):
        dates = dates.index
    if isinstance(dates, pd.DatetimeIndex):
        if dates.tz is not None:
            # Each date's own calendar day: its wall-clock time in its time zone, not
            # the UTC instant (a day early east of Greenwich).
            dates = dates.tz_localize(None)
        index = pd.DatetimeIndex(dates.normalize(), freq=None)
    else:
        index = pd.to_datetime([_day(d, "date") for d in dates])
    if not len(index):
        return pd.Series([], index=index, dtype="float64", name=order_book_id)
    days = index.values.astype("datetime64[D]")
    closes = tickvane.get_price(order_book_id, start_date=index.min().date(),
                                end_date=index.max().date(), fields="close",
                                adjust_type="none")
    if closes is None:
        closes = pd.Series([], dtype="float64")
    closes = closes.dropna()
    known = pd.DatetimeIndex(closes.index).values.astype("datetime64[D]")
    order = np.argsort(known, kind="stable")
    known, levels = known[order], closes.to_numpy(dtype="float64")[order]
    # Pad-fill: each date takes the last close on or before it.
    at = np.searchsorted(known, days, side="right") - 1
    if (at < 0).any():
        missing = index[int(np.argmax(at < 0))].date()
        raise ValueError(f"{order_book_id} has no close on or before {missing}")
    return pd.Series(levels[at], index=index, dtype="float64", name=order_book_id)


def _trade_list(trades):
    """The trades as a list, read once; TypeError for a table or anything else that is
    not a sequence of Trade records."""
    if isinstance(trades, (pd.DataFrame, pd.Series, str, bytes, Mapping)):
        hint = (": build the records with meridan.pcalc.preprocess.fix_trades(table)"
                if isinstance(trades, pd.DataFrame) else "")
        raise TypeError(f"trades must be a list of Trade records, got "
                        f"{type(trades).__name__}{hint}")
    try:
        trades = list(trades)
    except TypeError:
        raise TypeError(f"trades must be a list of Trade records, got "
                        f"{type(trades).__name__}") from None
    for i, trade in enumerate(trades):
        missing = [name for name in _TRADE_FIELDS if not hasattr(trade, name)]
        if missing:
            raise TypeError(f"trades[{i}] is not a Trade record (it has no "
                            f"{', '.join(missing)}): {trade!r}")
    return trades


_TRADE_FIELDS = ("datetime", "order_book_id", "side", "last_quantity", "last_price")


def _check_positions(positions):
    """TypeError unless ``positions`` is None or a mapping of id to shares."""
    if positions is None or isinstance(positions, Mapping):
        return
    if isinstance(positions, pd.Series) and not isinstance(positions.index, pd.RangeIndex):
        return  # shares by id, read as a mapping
    raise TypeError(
        f"positions must be a mapping of order book id to shares (such as "
        f"{{'600000.XSHG': 1000}}), got {type(positions).__name__}: {positions!r:.80}"
    )


def _refuse_indices(position_ids, trades):
    """ValueError for an opening position or a trade in an index: an index has no
    shares to hold. Ids the market data does not know are left to the provider, whose
    closes decide whether they can be booked."""
    # The first place of each id, described only if it is refused.
    first = {}
    for oid in position_ids:
        first.setdefault(oid, lambda oid=oid: f"positions[{oid!r}]")
    for i, trade in enumerate(trades):
        if trade.order_book_id not in first:
            first[trade.order_book_id] = lambda i=i, t=trade: _describe(i, t)
    for oid, where in first.items():
        if not isinstance(oid, str):
            continue
        try:
            record = tickvane.instruments(oid)
        except ValueError:
            continue
        if getattr(record, "type", None) == _INDEX_TYPE:
            raise ValueError(f"{where()}: {oid} is an index (instrument type "
                             f"{_INDEX_TYPE}), which cannot be held as shares")


# The instrument type of an index in the market data.
_INDEX_TYPE = "INDX"


def _day(value, what="date"):
    """The calendar day of a date in any form the market-data client reads."""
    if isinstance(value, _dt.datetime):
        if value is not pd.NaT:
            # The base class's own date(): a Timestamp's is several times slower.
            return _dt.datetime.date(value)
    elif isinstance(value, _dt.date):
        return value
    elif not isinstance(value, (bool, numbers.Number, np.bool_)) and value is not None:
        try:
            stamp = pd.Timestamp(value)
        except (TypeError, ValueError):
            stamp = pd.NaT
        if stamp is not pd.NaT:
            return stamp.date()
    raise ValueError(f"{what} is not a date: {value!r}")


def _span(first, last):
    """The calendar days from ``first`` to ``last``, both included."""
    out = [first]
    while out[-1] < last:
        out.append(out[-1] + _ONE_DAY)
    return out


def _describe(i, trade):
    return (f"trades[{i}] ({trade.side} {trade.last_quantity} {trade.order_book_id} "
            f"at {trade.datetime})")


def _closes(md, ids, day):
    """The provider's closes of ``ids`` on ``day``, by id; an id without a close that
    day is absent or NaN.

    The provider answers a missing close with NaN or with KeyError((id, day)); both mean
    that the instrument did not trade that day. After a KeyError the other ids are
    asked again (their closes are cached by then, so this costs no request).
    """
    while True:
        try:
            return md.get_close_price(ids, day)
        except KeyError as exc:
            key = exc.args[0] if exc.args else None
            if not (isinstance(key, tuple) and len(key) == 2 and key[0] in ids):
                raise
            ids = [oid for oid in ids if oid != key[0]]
            if not ids:
                return {}


def _close_before(order_book_id, day):
    """The last unadjusted close of an instrument before ``day``, divided by the split
    coefficients of the splits after it up to ``day``, so that it prices today's
    shares. Needed only for a holding that was suspended when the replay started."""
    closes = tickvane.get_price(order_book_id, start_date=None, end_date=day - _ONE_DAY,
                                fields="close", adjust_type="none")
    if closes is not None:
        closes = closes.dropna()
    if closes is None or not len(closes):
        raise ValueError(
            f"{order_book_id} is held on {day} but has no close on or before that day"
        )
    close_day = _day(closes.index[-1], "a close date")
    close = float(closes.iloc[-1])
    splits = tickvane.get_split(order_book_id)
    if splits is not None:
        for when, old, new in zip(splits.index, splits["split_coefficient_from"],
                                  splits["split_coefficient_to"]):
            if close_day < _day(when, "a split date") <= day:
                close = close * float(old) / float(new)
    return close


def _plain(quantity):
    """A share quantity as a Python int or float: snapshots hold plain numbers, whatever
    numeric type the book was given (numpy numbers, Decimal, Fraction)."""
    if type(quantity) in (int, float):
        return quantity
    if isinstance(quantity, numbers.Integral):
        return int(quantity)
    return float(quantity)
