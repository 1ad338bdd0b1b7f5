"""Replay of a portfolio, day by day over the trading calendar, from its opening cash and
positions and a list of trades, into the two inputs the analyses take: the portfolio
series (one snapshot per trading day) and the portfolio value series.

An addition to the position calculator, in plain Python: it only orchestrates the
compiled book (``meridan.pcalc.portfolio.Portfolio``) and a market data provider
(``meridan.quotes.CachedMarketDataProvider`` or any object with its three operations),
so every price, dividend and split comes through the provider's caches and every cash
movement through the book.
"""

import bisect
import datetime as _dt
import math
import numbers
from collections.abc import Mapping
from typing import NamedTuple

import numpy as np
import pandas as pd

import tickvane
from meridan.pcalc.portfolio import Portfolio
from meridan.pcalc.trade import Trade
from meridan.quotes import CachedMarketDataProvider

__all__ = ["Replay", "replay", "benchmark_value_series", "ReplayRun"]

_ONE_DAY = _dt.timedelta(days=1)



class _ReplayFields(NamedTuple):
    portfolio_series: list
    """One snapshot dict per trading day (shape in ``replay``'s documentation)."""
    value_series: pd.Series
    """Market value (currency) per trading day, indexed by midnight Timestamps."""
    skipped: list
    """The trades left out for want of a close on their day, in the order given
    (always empty unless ``skip_untradable`` is true)."""
    portfolio: Portfolio
    """The book as it stands after the last day."""


class Replay(_ReplayFields):
    """What ``replay`` returns; unpacks as a 4-tuple (portfolio_series, value_series,
    skipped, portfolio).

    The money that came in and went out, and the portfolio per unit, are attributes
    beside the tuple:

    - ``flows``: the net external flow of each trading day that had one (deposits
      positive, withdrawals negative, shares moved in kind at their value; the opening
      cash and positions are the first day's flow), a float64 Series indexed by
      midnight Timestamps;
    - ``units``: the units outstanding at each day's close, and ``unit_value`` the
      value of one unit (the value series divided by the units; NaN while no units are
      outstanding), float64 Series on the value series' days. A flow buys or redeems
      units at the unit value of the previous trading day's close, so a deposit or a
      withdrawal never moves the unit value; a withdrawal of everything left at a
      day's close (the day's sales paid out) redeems at that close instead;
    - ``gross_flows``: the money that came in ("in") and went out ("out", a positive
      sum) on each day after the first that had any, before they were netted into
      ``flows``, a DataFrame by day;
    - ``row_cash``: for a statement's replay, the cash after each booked row (a Series
      indexed by the row numbers, in booking order); None otherwise;
    - ``notes``: what the replay assumed or adjusted, in plain words (a list of text).
    """

    flows = None
    gross_flows = None
    row_cash = None
    notes = ()

    @property
    def units(self):
        return self._units()[0]

    @property
    def unit_value(self):
        return self._units()[1]

    def _units(self):
        # Worked out on first use: a trial replay (of a book opened without cash, say)
        # never needs them.
        found = self.__dict__.get("_unit_series")
        if found is None:
            found = self.__dict__["_unit_series"] = _unit_values(self.value_series,
                                                                 self.flows)
        return found

    def per_unit_series(self):
        """The portfolio series per unit: each snapshot with its money fields (its
        "market_value" and "cash", and each position's "market_value") divided by the
        units outstanding at that day's close; quantities stay in shares. A day without
        units outstanding has NaN money fields, but for the day an account was emptied
        at its close (its unit value that close): its snapshot before the withdrawal,
        per unit held before it."""
        units, unit_value = self.units.to_numpy(), self.unit_value.to_numpy()
        flows = ([0.0] * len(units) if self.flows is None
                 else self.flows.reindex(self.units.index, fill_value=0.0).to_numpy())
        out = []
        for k, (snapshot, n) in enumerate(zip(self.portfolio_series, units)):
            scale, back = (1.0 / float(n) if n > 0 else math.nan), 0.0
            if not n > 0 and k and units[k - 1] > 0 and unit_value[k] > 0:
                scale, back = 1.0 / float(units[k - 1]), -float(flows[k])
            out.append({
                "date": snapshot["date"],
                "positions": [{"order_book_id": p["order_book_id"],
                               "quantity": p["quantity"],
                               "market_value": p["market_value"] * scale}
                              for p in snapshot["positions"]],
                "market_value": (snapshot["market_value"] + back) * scale,
                "cash": (snapshot["cash"] + back) * scale,
            })
        return out

    def per_unit_values(self):
        """The value series per unit: ``unit_value``, the input of the risk,
        profit-and-loss and style analyses for a portfolio with flows."""
        return self.unit_value.copy()


def replay(trades, start_date, end_date, md=None, cash=100000.0, positions=None,
           skip_untradable=False, flows=None):
    """Replay a book over the trading days from ``start_date`` to ``end_date`` (both
    included) and return a ``Replay``: (portfolio_series, value_series, skipped,
    portfolio), with the flows, units and unit values as its attributes.

    ``trades``: ``Trade`` records as ``fix_trades`` or ``fix_backtest_trades`` build
    them (any iterable; read once, never changed); each must lie in the range. A table
    (DataFrame), a mapping, text or an item that is not a Trade record raises
    TypeError. ``md``: a
    market data provider of unadjusted closes (a new ``CachedMarketDataProvider()``
    when None); its closes, dividends per share and split coefficients are all the
    market data used, apart from the last close of a holding that is suspended when
    the replay starts and the previous close of shares moved in kind. ``cash`` and
    ``positions`` (order book id -> shares) open the book as ``Portfolio(cash,
    positions)`` does, at the start of ``start_date``; positions given as anything but
    a mapping raise TypeError. An opening position or a trade in an index (instrument
    type "INDX") raises ValueError naming it, and so does a day whose value overflows
    to infinity.

    ``flows``: money moved into or out of the account from outside, which is never
    return: a Series of amounts indexed by dates, or an iterable of (date, amount)
    pairs (a deposit is positive, a withdrawal negative) and of (date, order_book_id,
    quantity) triples for shares moved in kind (positive in, negative out), valued at
    the instrument's close of the trading day before. A flow counts at the start of
    its day, before the day's trades; one dated on a day without trading counts on
    the next trading day. A withdrawal of more than the cash held then raises
    ValueError naming it, and so does a flow outside the range. The opening cash and
    positions are the first day's flow, the positions valued at that day's closes (so
    one unit is worth 1.0 at the first close when nothing else moves that day; only
    the unit value's level depends on this, never a return).

    Each trading day, in this order:

    1. the splits effective that day (ex-date; one falling on a non-trading day takes
       effect on the next trading day) are applied to the holdings carried over;
    2. the day's flows, then its trades, are booked, in the order given;
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
    profit-and-loss and style analyses when no money moved in or out. With flows, give
    the analyses ``per_unit_series()`` and ``per_unit_values()`` instead.
    ``benchmark_value_series`` gives the index closes on the same days.
    """
    trades = _trade_list(trades)
    flow_list = _flow_list(flows)
    run = ReplayRun(start_date, end_date, md, cash, positions, skip_untradable)
    for j, flow in enumerate(flow_list):
        where = f"flows[{j}]"
        day = run.day_of(flow[0], where)
        if len(flow) == 2:
            run.add(day, (0, j), _CashFlow(flow[1], where))
        else:
            run.add(day, (0, j), _FlowInKind(flow[1], flow[2], where))
    for i, trade in enumerate(trades):
        run.add_trade(i, trade, (1, i))
    _refuse_indices([] if positions is None else list(positions.keys()),
                    [(f"flows[{j}]", f[1]) for j, f in enumerate(flow_list) if len(f) == 3],
                    trades)
    return run.go()


class ReplayRun:
    """One replay under way: the book, the days, and what is booked on each. ``replay``
    and the replay of a broker statement build one, add the trades and other rows
    (each with a sort key within its day), and call ``go``.

    Rows other than trades are objects with ``book(run, day, closes)``; they change the
    book through ``run.book``, count money from outside with ``run.flow(amount)``, and
    may hold money at cost outside the book in ``run.at_cost`` (valued and counted as
    cash in the snapshots)."""

    def __init__(self, start_date, end_date, md, cash, positions, skip_untradable,
                 strict_cash=True):
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
        self.first = _day(start_date, "start_date")
        self.last = _day(end_date, "end_date")
        if self.first > self.last:
            raise ValueError(f"start_date {self.first} is after end_date {self.last}")
        self.days = [_day(d, "trading date")
                     for d in tickvane.get_trading_dates(self.first, self.last)]
        self.md = md
        self.cash = cash
        self.positions = positions
        self.skip_untradable = skip_untradable
        self.strict_cash = strict_cash
        self._overdrawn = False  # noted once: the first trade that overdrew the cash
        self.trading = set(self.days)
        self.by_day = {}
        self.skipped = []
        self.book = None
        self.last_close = {}
        # id -> the last day whose market dividends are not booked for it (the
        # statement's own credits are its income up to then)
        self.no_market_dividends = {}
        self.at_cost = 0.0
        self.notes = []
        self.row_cash = []
        self._flows = {}
        self._day_flow = 0.0
        self._day_gross = [0.0, 0.0]  # the day's money in, and out (as a positive sum)

    # -- what is booked

    def _in_range(self, when, where, what):
        """The calendar day of ``when``; ValueError naming ``where`` when it is no date
        or lies outside the range."""
        if isinstance(when, _dt.datetime) and when.tzinfo is not None:
            # A trade or flow time with a time zone counts on its Beijing day, the
            # day fix_trades would give it (midnight in Beijing is 16:00 UTC the day
            # before).
            when = pd.Timestamp(when).tz_convert("Asia/Shanghai")
        try:
            day = _day(when, what)
        except ValueError as exc:
            raise ValueError(f"{where}: {exc}") from None
        if not self.first <= day <= self.last:
            raise ValueError(f"{where} lies outside the replay range {self.first} to "
                             f"{self.last}")
        return day

    def day_of(self, when, where):
        """The trading day on which a row dated ``when`` is booked: its own, or the next
        trading day when it has no trading; ValueError outside the range."""
        day = self._in_range(when, where, "its date")
        if day in self.trading:
            return day
        later = bisect.bisect_left(self.days, day)
        if later == len(self.days):
            raise ValueError(f"{where} on {day} falls after the last trading day "
                             f"{self.days[-1] if self.days else self.last} of the range")
        return self.days[later]

    def add(self, day, key, item, row=None):
        """Books ``item`` (a row other than a trade) on trading ``day``, in the order of
        ``key`` among the day's rows."""
        self.by_day.setdefault(day, []).append((key, item, row))

    def add_trade(self, i, trade, key, row=None):
        """Books ``trades[i]`` on its day in the order of ``key``; a trade on a day
        without trading cannot have been executed (see ``replay``)."""
        day = self._in_range(trade.datetime, _describe(i, trade), "its datetime")
        if day in self.trading:
            self.add(day, key, _Trade(i, trade), row)
        else:
            self.untradable(i, trade, f"{day} is not a trading day")

    def untradable(self, i, trade, reason):
        if not self.skip_untradable:
            raise ValueError(
                f"{_describe(i, trade)}: {reason}; "
                f"pass skip_untradable=True to leave such trades out"
            )
        self.skipped.append((i, trade))

    # -- used by the rows while they are booked

    def flow(self, amount):
        """Counts ``amount`` as money from outside on the day being booked."""
        self._day_flow += float(amount)
        self._day_gross[float(amount) < 0] += abs(float(amount))

    def cash_now(self):
        """The book's cash with its dividend income (not the money held at cost)."""
        return float(self.book._cash + self.book._dividends)

    def previous_close(self, oid, day):
        """The close of ``oid`` on the trading day before ``day`` (or its last close
        before that day, when it did not trade then), divided by the splits since."""
        before = self._day_before(day)
        if before is not None:
            close = _closes(self.md, [oid], before).get(oid)
            if close is not None and close == close:
                return float(close) / self._split_since(oid, before, day)
        return _close_before(oid, day)

    def _opening_value(self, held, closes, day):
        """The opening cash and positions at the first day's closes: the first flow."""
        total = float(self.cash)
        for oid in held:
            total += float(self.book._positions[oid].quantity) * float(
                self.close_of(oid, closes, day))
        return total

    def close_of(self, oid, closes, day):
        """The close that values ``oid`` on ``day``: the day's (remembered as its last),
        or, when it did not trade, its last close before the day."""
        close = closes.get(oid)
        if close is not None and close == close:
            self.last_close[oid] = close
            return close
        close = self.last_close.get(oid)
        if close is None:
            close = self.last_close[oid] = _close_before(oid, day)
        return close

    def _day_before(self, day):
        at = bisect.bisect_left(self.days, day)
        if at > 0:
            return self.days[at - 1]
        previous = tickvane.get_previous_trading_date(day)
        return None if previous is None else _day(previous, "trading date")

    def _split_since(self, oid, before, day):
        factor = 1.0
        for event_day in _span(before + _ONE_DAY, day):
            coefficient = self.md.get_split_coefficient([oid], event_day).get(oid)
            if coefficient:
                factor *= float(coefficient)
        return factor

    # -- the replay

    def go(self):
        days, md = self.days, self.md
        self.book = book = Portfolio(self.cash, self.positions)
        last_close = self.last_close
        series, values, flow_days, flow_amounts, gross = [], [], [], [], []
        for k, day in enumerate(days):
            self._day_flow = 0.0
            self._day_gross = [0.0, 0.0]
            held = book.holdings()

            # 1. Splits since the previous trading day.
            if held:
                for event_day in _span(days[k - 1] + _ONE_DAY if k else self.first, day):
                    splits = md.get_split_coefficient(held, event_day)
                    if splits:
                        before = {oid: book._positions[oid].quantity for oid in splits
                                  if oid in book._positions}
                        book.apply_split(splits)
                        self.on_split(day, before)
                        for oid, coefficient in splits.items():
                            if oid in last_close:
                                last_close[oid] = last_close[oid] / float(coefficient)

            # 2. The day's rows: flows and other rows, and the trades, once their
            # instruments are known to have a close.
            todays = self.by_day.get(day, ())
            if todays:
                todays.sort(key=lambda entry: entry[0])
                ids = list(dict.fromkeys(
                    held + [e[1].trade.order_book_id for e in todays
                            if isinstance(e[1], _Trade)]))
            else:
                ids = held
            closes = _closes(md, ids, day) if ids else {}
            if k == 0:
                self._day_flow = self._opening_value(held, closes, day)
            for _, item, row in todays:
                if isinstance(item, _Trade):
                    self._book_trade(item, day, closes)
                else:
                    item.book(self, day, closes)
                if row is not None:
                    self.row_cash.append((row, self.cash_now()))
            if todays:
                held = book.holdings()
                missing = [oid for oid in held if oid not in closes]
                if missing:
                    closes = dict(closes)
                    closes.update(_closes(md, missing, day))

            # 3. Dividends of the book-closure days up to the next trading day.
            if held:
                until = days[k + 1] - _ONE_DAY if k + 1 < len(days) else self.last
                for event_day in _span(day, until):
                    dividends = md.get_dividend_per_share(held, event_day)
                    if dividends and self.no_market_dividends:
                        skip = self.no_market_dividends
                        dividends = {oid: v for oid, v in dividends.items()
                                     if not event_day <= skip.get(oid, event_day
                                                                  - _ONE_DAY)}
                    if dividends:
                        book.apply_dividend(dividends)

            # 4. Valuation.
            book_positions = book._positions
            cash_now = self.cash_now() + self.at_cost
            total = cash_now
            entries = []
            for oid in held:
                quantity = book_positions[oid].quantity
                close = self.close_of(oid, closes, day)
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
                    f"the book's value on {day} overflows to {total} (cash and "
                    f"dividends {cash_now}): cash={self.cash!r} or the positions are too "
                    f"large to value"
                )
            series.append({"date": day, "positions": entries, "market_value": total,
                           "cash": cash_now})
            values.append(total)
            if self._day_flow:
                flow_days.append(day)
                flow_amounts.append(self._day_flow)
            if k and any(self._day_gross):
                gross.append((day, *self._day_gross))

        index = pd.to_datetime(days)
        value_series = pd.Series(values, index=index, dtype="float64")
        flows = pd.Series(flow_amounts, index=pd.to_datetime(flow_days), dtype="float64")
        self.skipped.sort(key=lambda pair: pair[0])
        result = Replay(series, value_series, [t for _, t in self.skipped], book)
        result.flows = flows
        result.gross_flows = pd.DataFrame(
            [g[1:] for g in gross], columns=["in", "out"], dtype="float64",
            index=pd.to_datetime([g[0] for g in gross]))
        result.notes = list(self.notes)
        if self.row_cash:
            rows, cash = zip(*self.row_cash)
            result.row_cash = pd.Series(cash, index=pd.Index(rows, name="row"),
                                        dtype="float64", name="cash")
        return result

    def on_split(self, day, before):
        """Called after the market's splits of ``day`` were applied, with the
        quantities held before them; the statement's replay matches bonus-share rows
        to them."""

    def _book_trade(self, item, day, closes):
        i, trade = item.i, item.trade
        close = closes.get(trade.order_book_id)
        if close is None or close != close:
            self.untradable(i, trade, f"{trade.order_book_id} has no close on {day}")
            return
        try:
            self.book.apply_trade(trade)
        except Exception as exc:
            if hasattr(exc, "add_note"):  # Python 3.11 and later
                exc.add_note(f"while booking {_describe(i, trade)}")
            raise
        if self.strict_cash and not self._overdrawn and self.cash_now() < -_CENT / 2:
            # The book lets cash go below zero; returns on borrowed money are levered.
            self._overdrawn = True
            self.notes.append(
                f"{_describe(i, trade)} spends more than the cash held: {self.cash_now():,.2f}"
                f" after it on {day}, so the book runs on borrowed money and its returns "
                f"are levered; open the replay with more cash (cash=...) or add the "
                f"deposit that paid for it (flows=...)")


class _Trade(NamedTuple):
    i: int
    trade: object


class _CashFlow:
    """A deposit (positive) or a withdrawal (negative) of ``replay``'s flows."""

    def __init__(self, amount, where):
        self.amount, self.where = amount, where

    def book(self, run, day, closes):
        before = run.cash_now()
        run.book.apply_cash(self.amount)
        run.flow(self.amount)
        if run.strict_cash and self.amount < 0 and run.cash_now() < -_CENT / 2:
            run.book.apply_cash(-self.amount)
            raise ValueError(
                f"{self.where}: a withdrawal of {-float(self.amount):,.2f} on {day} is "
                f"more than the cash held ({before:,.2f})")


class _FlowInKind:
    """Shares moved into (positive) or out of (negative) the account from outside,
    valued at the previous close."""

    def __init__(self, oid, quantity, where):
        self.oid, self.quantity, self.where = oid, quantity, where

    def book(self, run, day, closes):
        price = run.previous_close(self.oid, day)
        move_in_kind(run, self.oid, self.quantity, price, day, self.where)


def move_in_kind(run, oid, quantity, price, day, where):
    """Books shares moved in (``quantity`` > 0) or out from outside the account at
    ``price``: the book buys or sells them and the same money comes in or goes out, so
    its cash is unchanged and the value moved counts as a flow."""
    side = "BUY" if quantity > 0 else "SELL"
    shares = abs(quantity)
    trade = Trade(datetime=pd.Timestamp(day), order_book_id=oid, symbol=oid,
                  last_price=price, last_quantity=shares, side=side,
                  transaction_cost=0.0)
    try:
        run.book.apply_trade(trade)
    except Exception as exc:
        if hasattr(exc, "add_note"):
            exc.add_note(f"while booking {where} ({quantity:+,} {oid} in kind on {day})")
        raise
    amount = float(shares) * float(price)
    amount = amount if side == "BUY" else -amount
    run.book.apply_cash(amount)
    run.flow(amount)
    run.last_close.setdefault(oid, float(price))


_CENT = 0.01


def _flow_list(flows):
    """The flows as a list of (date, amount) and (date, id, quantity) tuples; TypeError
    or ValueError naming what cannot be read."""
    if flows is None:
        return []
    if isinstance(flows, pd.Series):
        pairs = list(zip(flows.index, flows.tolist()))
    elif isinstance(flows, (pd.DataFrame, str, bytes, Mapping)):
        raise TypeError(f"flows must be a Series of amounts indexed by dates or a list "
                        f"of (date, amount) and (date, order_book_id, quantity) tuples, "
                        f"got {type(flows).__name__}")
    else:
        try:
            pairs = [tuple(f) for f in flows]
        except TypeError:
            raise TypeError(f"flows must be a Series or a list of tuples, got "
                            f"{type(flows).__name__}") from None
    out = []
    for j, flow in enumerate(pairs):
        if len(flow) == 2:
            amount = flow[1]
            if not _finite_number(amount):
                raise ValueError(f"flows[{j}]: the amount {amount!r} is not a finite "
                                 f"number")
            out.append((flow[0], amount))
        elif len(flow) == 3:
            oid, quantity = flow[1], flow[2]
            if not isinstance(oid, str):
                raise TypeError(f"flows[{j}]: the order book id {oid!r} is not text")
            if not _finite_number(quantity) or quantity == 0:
                raise ValueError(f"flows[{j}]: the quantity {quantity!r} is not a "
                                 f"finite number of shares other than 0")
            out.append((flow[0], oid, quantity))
        else:
            raise ValueError(f"flows[{j}] is neither (date, amount) nor (date, "
                             f"order_book_id, quantity): {flow!r}")
    return out


def _finite_number(value):
    return (isinstance(value, numbers.Number) and not isinstance(value, (bool, np.bool_))
            and math.isfinite(float(value)))


def _unit_values(values, flows):
    from meridan.flows import unit_values

    return unit_values(values, flows)


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


def _refuse_indices(position_ids, flows_in_kind, trades):
    """ValueError for an opening position, shares moved in kind or a trade in an
    index: an index has no shares to hold. Ids the market data does not know are left
    to the provider, whose closes decide whether they can be booked."""
    # The first place of each id, described only if it is refused.
    first = {}
    for oid in position_ids:
        first.setdefault(oid, lambda oid=oid: f"positions[{oid!r}]")
    for where, oid in flows_in_kind:
        first.setdefault(oid, lambda where=where: where)
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
