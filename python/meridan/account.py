"""A broker statement replayed as the account it describes: its trades and every other
row that moves money or shares (``meridan.statement.load_account`` reads them and tells
their kinds), its opening state, its cash checked against the statement's balance, and
its performance net of the money that came in and went out.

How each kind of row is booked, on its day (a row dated on a day without trading
counts on the next trading day), among the day's rows in the order of the file (the
order of its balance column):

| kind                         | booked                                                  |
|------------------------------|---------------------------------------------------------|
| deposit, withdrawal          | the amount into or out of the cash; a flow              |
| transfer_in, transfer_out    | the shares in or out at the previous close; a flow of   |
|                              | their value, the cash unchanged                         |
| dividend, interest           | the amount into the cash: income. The market's          |
|                              | dividends are then not booked for that instrument up to |
|                              | the statement's last row                                |
| tax, fee                     | the amount out of the cash                              |
| repo_lend, repo_repay        | the loan leaves the cash and is held at cost (counted   |
|                              | as cash in the snapshots) until the repayment, which    |
|                              | returns it with the interest (income); repayments meet  |
|                              | loans first in, first out                               |
| allotment_payment,           | the shares held from that day, bought for the amount;   |
| rights_payment               | a new listing is valued at its offer price until its    |
|                              | first close                                             |
| allotment_credit,            | confirms a payment row of the same instrument and       |
| rights_credit                | quantity and moves nothing; without one, the shares are |
|                              | booked for the row's amount (a note says so)            |
| bonus_credit                 | the credit of the market's split of the same instrument |
|                              | within 10 trading days before: no shares added, but a   |
|                              | count that differs from the split's sets the holding to |
|                              | the row's (noted); without such a split, the shares are |
|                              | booked at no cost                                       |
| delisting                    | the shares leave for the row's amount (0 without one):  |
|                              | a loss, not a flow                                      |

The opening cash is the one the statement's balance column states when it funds every
row (``replay_with_stated_cash``: a yearly export of an account that already held cash
states it in its first balance), else the least the rows need
(``replay_with_least_cash``), an assumption to show.

Money from outside (deposits, withdrawals, shares moved in kind, and the opening cash
and positions) buys and redeems units of the account at the unit value of the previous
trading day's close, so it never counts as return: the analyses are given the account
per unit (``Replay.per_unit_series`` and ``per_unit_values``).
"""

from __future__ import annotations

import bisect
import collections
import csv
import math
import re
from typing import NamedTuple

import numpy as np
import pandas as pd

from meridan.pcalc.replay import ReplayRun, move_in_kind
from meridan.pcalc.trade import Trade
from meridan.statement import StatementError, _header_key

__all__ = ["replay_account", "replay_with_least_cash", "replay_with_stated_cash",
           "stated_opening_cash", "Reconciliation", "reconcile", "least_opening_cash",
           "first_overdraft", "performance", "Performance", "read_positions",
           "BONUS_WINDOW"]

BONUS_WINDOW = 10
"""Trading days after a split's ex-date within which a bonus-share row is its credit."""
AGREE = 0.01
"""Cash agrees with the statement's balance within this much (currency)."""
_CENT = 0.005


class _AccountRun(ReplayRun):
    """A replay that also books the statement's other rows."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.loans = collections.deque()       # repo loans outstanding, oldest first
        self.paid = collections.Counter()      # (id, quantity) of allotments paid
        self.split_shares = {}                 # id -> [(day index, shares added)]

    def on_split(self, day, before):
        k = bisect.bisect_left(self.days, day)
        for oid, quantity in before.items():
            added = float(self.book._positions[oid].quantity) - float(quantity)
            self.split_shares.setdefault(oid, []).append([k, added, False])


class _Row:
    """A statement row other than a trade, booked by its kind."""

    __slots__ = ("row", "kind", "oid", "quantity", "price", "amount", "text")

    def __init__(self, row, kind, oid, quantity, price, amount, text):
        self.row, self.kind, self.oid = row, kind, oid
        self.quantity, self.price, self.amount, self.text = quantity, price, amount, text

    def where(self):
        return f"row {self.row} ({self.text})"

    def money(self):
        """The row's amount, 0 when the statement gives none."""
        return 0.0 if self.amount != self.amount else float(self.amount)

    def book(self, run, day, closes):
        _BOOKERS[self.kind](self, run, day, closes)


def _cash(row, run, day, closes):
    run.book.apply_cash(row.money())


def _flow(row, run, day, closes):
    run.book.apply_cash(row.money())
    run.flow(row.money())


def _in_kind(row, run, day, closes):
    sign = 1 if row.kind == "transfer_in" else -1
    price = run.previous_close(row.oid, day)
    move_in_kind(run, row.oid, sign * row.quantity, price, day, row.where())


def _repo_lend(row, run, day, closes):
    lent = -row.money()
    run.book.apply_cash(-lent)
    run.loans.append(lent)
    run.at_cost += lent


def _repo_repay(row, run, day, closes):
    if run.loans:
        principal = run.loans.popleft()
    else:
        principal = 0.0
        run.notes.append(f"{row.where()}: a repayment of {row.money():,.2f} without a "
                         f"loan in the statement before it: all of it taken as income")
    run.at_cost -= principal
    run.book.apply_cash(row.money())


def _buy(run, row, day, quantity, price, cost):
    trade = Trade(datetime=pd.Timestamp(day), order_book_id=row.oid, symbol=row.oid,
                  last_price=price, last_quantity=quantity, side="BUY",
                  transaction_cost=cost)
    _apply(run, row, trade)


def _apply(run, row, trade):
    try:
        run.book.apply_trade(trade)
    except Exception as exc:
        exc.add_note(f"while booking {row.where()}")
        raise


def _payment(row, run, day, closes):
    quantity = _whole(row)
    paid = -row.money() if row.amount == row.amount else quantity * row.price
    if not (paid == paid and paid >= 0):
        raise ValueError(f"{row.where()}: neither an amount nor a price to pay for "
                         f"{quantity:,} shares")
    price = row.price if row.price == row.price and row.price > 0 else paid / quantity
    cost = paid - quantity * price
    if cost < 0:
        price, cost = paid / quantity, 0.0
    _buy(run, row, day, quantity, price, cost)
    run.paid[(row.oid, quantity)] += 1
    close = closes.get(row.oid)
    if (close is None or close != close) and row.oid not in run.last_close:
        # Not listed yet: held at the price paid until its first close.
        run.last_close[row.oid] = price


def _credit(row, run, day, closes):
    quantity = _whole(row)
    if run.paid[(row.oid, quantity)] > 0:
        run.paid[(row.oid, quantity)] -= 1
        return
    # The shares cost what the row says; the cash moves by the row's signed amount.
    paid = abs(row.money())
    _buy(run, row, day, quantity, paid / quantity, 0.0)
    run.book.apply_cash(paid + row.money())
    run.notes.append(f"{row.where()}: {quantity:,} shares of {row.oid} credited without "
                     f"their payment row: booked for the row's amount ({paid:,.2f})")
    close = closes.get(row.oid)
    if (close is None or close != close) and row.oid not in run.last_close:
        run.last_close[row.oid] = paid / quantity


def _bonus(row, run, day, closes):
    quantity = _whole(row)
    k = bisect.bisect_left(run.days, day)
    for entry in run.split_shares.get(row.oid, ()):
        split_k, added, used = entry
        if used or not 0 <= k - split_k <= BONUS_WINDOW:
            continue
        entry[2] = True
        change = quantity - added
        if abs(change) > 1e-6:
            _shares_at_no_cost(run, row, day, change)
            run.notes.append(
                f"{row.where()}: {quantity:,} bonus shares of {row.oid} where the "
                f"market's split gave {f'{added:,.4f}'.rstrip('0').rstrip('.')}: the "
                f"holding is set to the row's count")
        return
    _shares_at_no_cost(run, row, day, quantity)


def _shares_at_no_cost(run, row, day, change):
    side = "BUY" if change > 0 else "SELL"
    trade = Trade(datetime=pd.Timestamp(day), order_book_id=row.oid, symbol=row.oid,
                  last_price=0.0, last_quantity=abs(change), side=side,
                  transaction_cost=0.0)
    _apply(run, row, trade)


def _delisting(row, run, day, closes):
    held = run.book.get_position(row.oid).quantity
    quantity = row.quantity if row.quantity else held
    if not quantity:
        return
    received = abs(row.money())
    trade = Trade(datetime=pd.Timestamp(day), order_book_id=row.oid, symbol=row.oid,
                  last_price=received / float(quantity), last_quantity=quantity,
                  side="SELL", transaction_cost=0.0)
    _apply(run, row, trade)


def _whole(row):
    quantity = row.quantity
    if not (quantity == quantity and quantity > 0):
        raise ValueError(f"{row.where()}: no quantity of shares")
    return int(quantity) if float(quantity).is_integer() else quantity


_BOOKERS = {
    "deposit": _flow, "withdrawal": _flow,
    "transfer_in": _in_kind, "transfer_out": _in_kind,
    "dividend": _cash, "interest": _cash, "tax": _cash, "fee": _cash,
    "repo_lend": _repo_lend, "repo_repay": _repo_repay,
    "allotment_payment": _payment, "rights_payment": _payment,
    "allotment_credit": _credit, "rights_credit": _credit,
    "bonus_credit": _bonus, "delisting": _delisting,
}


def replay_account(trades, rows, events, start_date, end_date, md, cash=0.0,
                   positions=None):
    """The replay of a statement's trades (``trades`` with their file ``rows``) and its
    other rows (``events``, as ``load_account`` gives them) from ``start_date`` to
    ``end_date``, opening with ``cash`` and ``positions``: a ``Replay`` whose
    ``row_cash`` holds the cash after each row and whose ``notes`` say what was
    assumed. The cash may go below zero (``first_overdraft`` finds where).

    Rows of one day are booked in the file's order, which is the order of its balance
    column (the reverse when the file runs from the newest row to the oldest), whatever
    times the rows give.
    An error about one row raises ValueError naming it ("row N")."""
    run = _AccountRun(start_date, end_date, md, cash, positions, False, strict_cash=False)
    stamps = [t.datetime for t in trades] + list(pd.to_datetime(events["datetime"]))
    numbers = list(rows) + [int(r) for r in events.index]
    descending = len(numbers) > 1 and _runs_backwards(stamps, numbers)
    sign = -1 if descending else 1
    for i, (trade, row) in enumerate(zip(trades, rows)):
        run.add_trade(i, trade, sign * row, row)
    kinds = events["kind"].tolist() if len(events) else []
    if len(events):
        # Up to the statement's last row, the dividends it credits are the income of
        # their instruments; after it, the market's are booked again.
        dividend_ids = events.loc[events["kind"] == "dividend", "order_book_id"]
        last_row = max([pd.Timestamp(d).date() for d in events["datetime"]]
                       + [t.datetime.date() for t in trades])
        run.no_market_dividends = {oid: last_row for oid in dividend_ids if oid}
        for row in dividend_ids.index[dividend_ids == ""]:
            run.notes.append(f"row {row}: a dividend whose security the statement does "
                             f"not name: the market's dividends are booked as well, so "
                             f"it may be counted twice")
    for record, kind in zip(events.itertuples(), kinds):
        row = _Row(int(record.Index), kind, record.order_book_id,
                   float(record.quantity), float(record.price), float(record.amount),
                   record.text)
        day = run.day_of(record.datetime, f"row {row.row}")
        run.add(day, sign * row.row, row, row.row)
    try:
        return run.go()
    except (ValueError, TypeError) as exc:
        # A trade's error names its place in the list: name its row in the file.
        for text in [str(exc)] + list(getattr(exc, "__notes__", ())):
            match = _TRADE_REF.search(text)
            if match and int(match.group(1)) < len(rows):
                raise StatementError(str(exc), rows[int(match.group(1))]) from exc
            match = _ROW_REF.search(text)
            if match:
                row = int(match.group(1))
                if str(exc).startswith(f"row {row}"):
                    error = StatementError(str(exc))
                    error.row = row
                    raise error from exc
                raise StatementError(str(exc), row) from exc
        raise


_TRADE_REF = re.compile(r"trades\[(\d+)\]")
_ROW_REF = re.compile(r"\brow (\d+)")


def replay_with_least_cash(trades, rows, events, start_date, end_date, md,
                           positions=None):
    """``replay_account`` opened with the least cash it needs: (replay, cash). The cash
    is 0 when the statement's deposits fund every purchase, and otherwise the least
    that keeps the cash at or above zero after every row that spends it (an assumption
    to show). A withdrawal is never funded so: one of more than the cash held then
    raises StatementError naming its row."""
    result = replay_account(trades, rows, events, start_date, end_date, md, 0.0,
                            positions)
    return _least_cash_from(result, trades, rows, events, start_date, end_date, md,
                            positions)


def replay_with_stated_cash(trades, rows, events, balances, start_date, end_date, md,
                            positions=None):
    """``replay_account`` opened with the cash the statement states: (replay, cash,
    row). With a balance column (``balances``, as ``reconcile`` takes it) that is the
    cash ``stated_opening_cash`` reads, at ``row``, when it funds every row after it;
    otherwise (no balance column, a balance that implies no opening cash or too little)
    it is as ``replay_with_least_cash`` gives it, and ``row`` is None."""
    result = replay_account(trades, rows, events, start_date, end_date, md, 0.0,
                            positions)
    stated = stated_opening_cash(balances, result.row_cash)
    short = None
    if stated is not None and stated[0] > 0:
        cash, row = stated
        opened = replay_account(trades, rows, events, start_date, end_date, md, cash,
                                positions)
        short = first_overdraft(opened)
        if short is None:
            return opened, cash, row
    elif stated is not None:
        short = first_overdraft(result)
    why = None if short is None else (
        f"its {balances.name} implies an opening cash of {stated[0]:,.2f} (at row "
        f"{stated[1]}), but the rows spend that below zero at row {short[0]} (a row "
        f"that brought money in may be missing)")
    return (*_least_cash_from(result, trades, rows, events, start_date, end_date, md,
                              positions, why), None)


def stated_opening_cash(balances, row_cash):
    """The opening cash a statement's balance column states: its balance after the
    first booked row that gives one, less what the rows booked up to it moved
    (``row_cash``: the cash after each booked row of a replay opened with none, in
    booking order). (cash to the cent, that row), or None when there is no balance to
    read. The cash may be 0 or below: the caller decides what such a balance means."""
    if balances is None or row_cash is None or not len(row_cash):
        return None
    theirs = balances.reindex(row_cash.index).to_numpy(dtype=float)
    given = np.flatnonzero(np.isfinite(theirs))
    if not len(given):
        return None
    k = int(given[0])
    cash = round(float(theirs[k]) - float(row_cash.iloc[k]), 2) + 0.0  # never -0.0
    return cash, int(row_cash.index[k])


def _least_cash_from(result, trades, rows, events, start_date, end_date, md, positions,
                     why=None):
    """``replay_with_least_cash`` from ``result``, the replay opened with no cash.
    ``why``: why the opening cash is not known, for the refusal of a withdrawal."""
    withdrawals = set(events.index[events["kind"] == "withdrawal"]) if len(events) \
        else set()
    cash = least_opening_cash(result, exclude=withdrawals)
    if cash:
        result = replay_account(trades, rows, events, start_date, end_date, md, cash,
                                positions)
    overdraft = first_overdraft(result)
    if overdraft is not None and overdraft[0] in withdrawals:
        row, after = overdraft
        amount = -float(events.at[row, "amount"])
        day = pd.Timestamp(events.at[row, "datetime"]).date()
        error = StatementError(f"a withdrawal of {amount:,.2f} on {day} is more than the "
                               f"cash held ({after + amount:,.2f}) when the account opens "
                               f"with the least cash its purchases need ({cash:,.2f}): "
                               + (why or "the statement does not say what it opened with"),
                               row)
        error.opening_assumed = True
        raise error
    return result, cash


def _runs_backwards(stamps, numbers):
    order = np.argsort(numbers, kind="stable")
    first, last = stamps[order[0]], stamps[order[-1]]
    return pd.Timestamp(first) > pd.Timestamp(last)


class Reconciliation(NamedTuple):
    """The replay's cash against the statement's balance, row by row."""

    agree: int
    """Rows whose cash agrees with the balance within 0.01."""
    compared: int
    """Rows that have both a balance and a booking."""
    first: tuple | None
    """(row, the statement's balance, the replay's cash, their difference) of the first
    row that does not agree, in booking order; None when all agree."""
    column: str | None
    """The balance column read (None: the statement has none)."""
    unbooked: bool = False
    """Whether ``first`` is a row the replay did not book (left out, or moving
    nothing), compared with the cash after the booked row before it."""

    def line(self):
        """The result as one line for a user."""
        if self.column is None:
            return "the statement has no balance column: its cash is not reconciled"
        if self.compared == 0:
            return (f"the statement's {self.column} holds no balance that can be read "
                    f"beside a booked row: its cash is not reconciled")
        text = f"cash agrees with the statement on {self.agree:,} of {self.compared:,} rows"
        if self.column == "可用金额":
            text += " (read from 可用金额, the available balance: the statement has no " \
                    "other balance column)"
        if self.first is not None:
            row, theirs, ours, difference = self.first
            booked = ", which was not booked" if self.unbooked else ""
            text += (f"; first difference at row {row}{booked}: the statement's balance "
                     f"{theirs:,.2f}, ours {ours:,.2f} ({difference:+,.2f})")
        return text


def reconcile(balances, row_cash):
    """Compares ``row_cash`` (the replay's cash after each booked row, a Series by row
    number in booking order) with ``balances`` (the statement's balance after each row,
    NaN where it gives none; None without a balance column). A row the replay did not
    book (left out, or moving nothing) is compared with the cash after the booked row
    before it in the file's order, so that money a left-out row moved shows there."""
    if balances is None or row_cash is None:
        return Reconciliation(0, 0, None, None if balances is None else balances.name)
    booked = row_cash.index.to_numpy(dtype="int64")
    booked_cash = row_cash.to_numpy(dtype=float)
    given = balances[np.isfinite(balances.to_numpy(dtype=float))]
    rows = given.index.to_numpy(dtype="int64")
    theirs = given.to_numpy(dtype=float)
    # Each row's place in booking order: a booked row's own; another row's just after
    # the booked row before it in the file (which runs from the newest row to the
    # oldest when the booking runs backwards). A row before every booked one has no
    # cash to compare with.
    sign = -1 if len(booked) > 1 and booked[0] > booked[-1] else 1
    by_file = np.argsort(sign * booked, kind="stable")
    before = np.searchsorted(sign * booked[by_file], sign * rows, side="right") - 1
    place = pd.Index(booked).get_indexer(rows).astype(float)
    place[place < 0] = math.nan
    unbooked_rows = np.isnan(place) & (before >= 0)
    place[unbooked_rows] = by_file[before[unbooked_rows]] + 0.5
    keep = np.flatnonzero(~np.isnan(place))
    keep = keep[np.argsort(place[keep], kind="stable")]
    at = np.floor(place[keep]).astype("int64")
    rows, theirs, is_booked = rows[keep], theirs[keep], place[keep] == at
    ours = booked_cash[at]
    difference = theirs - ours
    good = np.abs(difference) <= AGREE + 1e-9
    first, unbooked = None, False
    if not good.all():
        k = int(np.argmax(~good))
        first = (int(rows[k]), float(theirs[k]), float(ours[k]), float(difference[k]))
        unbooked = not bool(is_booked[k])
    return Reconciliation(int(good.sum()), int(len(good)), first, balances.name, unbooked)


def least_opening_cash(result, exclude=()):
    """The least opening cash that keeps the cash of ``result`` (a replay opened with
    no cash) at or above zero after every row but those in ``exclude`` (row numbers),
    in whole yuan; at every close for a replay without rows."""
    if result.row_cash is None or not len(result.row_cash):
        low = min([s["cash"] for s in result.portfolio_series] + [0.0])
    else:
        kept = result.row_cash[~result.row_cash.index.isin(list(exclude))]
        low = min(float(kept.min()), 0.0) if len(kept) else 0.0
    return float(math.ceil(-low - 1e-9)) if low < 0 else 0.0


def first_overdraft(result):
    """The first row (in booking order) after which the cash of ``result`` is below
    zero, with that cash: (row, cash), or None."""
    if result.row_cash is None:
        return None
    below = result.row_cash.to_numpy() < -_CENT
    if not below.any():
        return None
    k = int(np.argmax(below))
    return int(result.row_cash.index[k]), float(result.row_cash.iloc[k])


class Performance(NamedTuple):
    """The account's performance over a range of trading days."""

    time_weighted: float
    """The unit value's change from the first day's close to the last's."""
    money_weighted: float
    """The rate that discounts the opening value, the flows and the final value to
    zero: annual where the money was in for a year or more of the range (from the
    first money in to the last day, or to the day the account was emptied for good),
    over the range otherwise; NaN where no single rate does."""
    annualised: bool
    """Whether ``money_weighted`` is an annual rate."""
    profit: float
    """Final value - opening value - net deposits, in currency."""
    opening_value: float
    final_value: float
    deposits: float
    """Money in after the first day (deposits and shares in kind)."""
    withdrawals: float
    """Money out after the first day, as a positive amount."""


def performance(result, start, end):
    """The ``Performance`` of replay ``result`` from the close of ``start`` to the close
    of ``end`` (both trading days of the replay)."""
    from meridan.flows import invested_window, money_weighted_return

    first, last = pd.Timestamp(start), pd.Timestamp(end)
    values = result.value_series[(result.value_series.index >= first)
                                 & (result.value_series.index <= last)]
    units = result.unit_value[values.index]
    flows = result.flows[(result.flows.index > first) & (result.flows.index <= last)]
    # Each day's money in and out as the rows moved it, before the day's netting.
    moved = result.gross_flows
    if moved is not None:
        moved = moved[(moved.index > first) & (moved.index <= last)]
    # The money-weighted figure is annual when the money was in for a year or more.
    opened, closed = invested_window(values, flows)
    window = (closed - opened).days
    return Performance(
        time_weighted=float(units.iloc[-1] / units.iloc[0] - 1),
        money_weighted=float(money_weighted_return(values, flows)),
        annualised=window >= 365,
        profit=float(values.iloc[-1] - values.iloc[0] - flows.sum()),
        opening_value=float(values.iloc[0]), final_value=float(values.iloc[-1]),
        deposits=float(moved["in"].sum()) if moved is not None
        else float(flows[flows > 0].sum()),
        withdrawals=float(moved["out"].sum()) if moved is not None
        else abs(float(flows[flows < 0].sum())))


_POSITION_HEADERS = {"order_book_id": ["order_book_id", "code", "证券代码", "股票代码"],
                     "quantity": ["quantity", "股份余额", "持仓数量", "证券数量",
                                  "当前持仓", "股票余额", "数量"]}


# How many lines above the header a positions file may have.
_TITLE_LINES = 10


def read_positions(path):
    """The holdings of a positions file (CSV or text, UTF-8 or GBK, title lines above
    the header passed over): columns of a code (order_book_id, code, 证券代码 or
    股票代码) and a quantity (quantity, 股份余额, 持仓数量, 证券数量, 当前持仓, 股票余额
    or 数量); a dict of order book id to whole shares. ValueError naming the file, the
    row and the value for what cannot be read."""
    from meridan.statement import _order_book_id

    with open(path, "rb") as stream:
        data = stream.read()
    for encoding in ("utf-8-sig", "gb18030"):
        try:
            text = data.decode(encoding)
            break
        except UnicodeDecodeError:
            continue
    else:
        raise ValueError(f"{path}: neither UTF-8 nor GBK text")
    import io

    # A title line or two above the header (an export's name and date) is passed over:
    # the header is the first line that names a code column.
    lines = text.splitlines()
    codes = {_header_key(h) for h in _POSITION_HEADERS["order_book_id"]}
    header = next((k for k, line in enumerate(lines[:_TITLE_LINES])
                   if codes & {_header_key(cell.strip('"'))
                               for cell in re.split(r"[,\t;]", line)}),
                  0)
    try:
        frame = pd.read_csv(io.StringIO("\n".join(lines[header:])), dtype=str,
                            keep_default_na=False, sep=None, engine="python")
    except (csv.Error, pd.errors.ParserError, pd.errors.EmptyDataError) as exc:
        raise ValueError(f"{path}: not a table of holdings ({exc})") from None
    columns = {}
    names = {_header_key(c): c for c in frame.columns}
    for field, headers in _POSITION_HEADERS.items():
        for name in headers:
            if _header_key(name) in names:
                columns[field] = names[_header_key(name)]
                break
        else:
            raise ValueError(f"{path}: no {field} column (one of {', '.join(headers)})")
    out = {}
    for k, (code, quantity) in enumerate(zip(frame[columns["order_book_id"]],
                                             frame[columns["quantity"]]), start=1):
        oid = _order_book_id(code.strip())
        if oid is None:
            raise ValueError(f"{path}: row {k}: {code!r} is not a security code")
        try:
            shares = float(quantity.replace(",", ""))
        except ValueError:
            shares = math.nan
        if not (math.isfinite(shares) and shares >= 0 and shares.is_integer()):
            raise ValueError(f"{path}: row {k}: {quantity!r} is not a whole number of "
                             f"shares of 0 or more")
        if shares:
            out[oid] = out.get(oid, 0) + int(shares)
    return out
