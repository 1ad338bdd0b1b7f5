"""The cost of calls into the package beside the same classes written plainly in
Python (the book's rules: all-or-nothing updates, average cost price on buys), measured
in the same run. Microseconds per call, median of repeated batches; the ratio is
plain Python time / meridan time (above 1: meridan is faster).

    python bench/bench_calls.py
"""

import statistics
import sys
import time

import pandas as pd

from meridan.pcalc.portfolio import Portfolio
from meridan.pcalc.position import Position
from meridan.pcalc.trade import Trade


# ---- the plain-Python book, written the obvious way -------------------------------
class PyTrade:
    __slots__ = ("datetime", "order_book_id", "symbol", "last_price", "last_quantity",
                 "side", "transaction_cost")

    def __init__(self, *, datetime, order_book_id, symbol, last_price, last_quantity,
                 side, transaction_cost):
        self.datetime = datetime
        self.order_book_id = order_book_id
        self.symbol = symbol
        self.last_price = last_price
        self.last_quantity = last_quantity
        self.side = side
        self.transaction_cost = transaction_cost


class PyPosition:
    def __init__(self, order_book_id, quantity=0):
        self.order_book_id = order_book_id
        self.quantity = quantity
        self.avg_price = 0.0

    def apply_trade(self, trade):
        quantity = trade.last_quantity
        if trade.side == "BUY":
            new_quantity = self.quantity + quantity
            new_avg = (0.0 if new_quantity == 0 else
                       (self.quantity * self.avg_price + quantity * trade.last_price)
                       / new_quantity)
        else:
            if quantity > self.quantity:
                raise ValueError("cannot sell")
            new_quantity = self.quantity - quantity
            new_avg = 0.0 if new_quantity == 0 else self.avg_price
        self.quantity = new_quantity
        self.avg_price = new_avg


class PyPositions(dict):
    def __missing__(self, key):
        return PyPosition(key)


class PyPortfolio:
    def __init__(self, cash=100000.0, positions=None):
        self._cash = cash
        self._positions = PyPositions()
        for oid, quantity in (positions or {}).items():
            self._positions[oid] = PyPosition(oid, quantity)
        self._dividends = 0

    def holdings(self):
        return [oid for oid, p in self._positions.items() if p.quantity != 0]

    def get_position(self, key):
        return self._positions[key]

    def apply_trade(self, trade):
        position = self._positions[trade.order_book_id]
        gross = trade.last_price * trade.last_quantity
        if trade.side == "BUY":
            cash = self._cash - (gross + trade.transaction_cost)
        else:
            cash = self._cash + (gross - trade.transaction_cost)
        position.apply_trade(trade)
        self._cash = cash
        self._positions[trade.order_book_id] = position

    def apply_split(self, splits):
        plan = []
        for oid, coefficient in splits.items():
            if oid in self._positions:
                p = self._positions[oid]
                plan.append((p, p.quantity * coefficient, p.avg_price / coefficient))
        for p, quantity, avg in plan:
            p.quantity, p.avg_price = quantity, avg

    def apply_dividend(self, dividends):
        total = self._dividends
        for oid, amount in dividends.items():
            if oid in self._positions:
                total += self._positions[oid].quantity * amount
        self._dividends = total


# ---- timing -------------------------------------------------------------------------
def per_call(fn, n=20_000, repeat=15):
    """Median microseconds per call of fn() over `repeat` batches of n calls."""
    rounds = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        rounds.append((time.perf_counter() - start) / n)
    loop = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(n):
            pass
        loop.append((time.perf_counter() - start) / n)
    return 1e6 * (statistics.median(rounds) - statistics.median(loop))


FIELDS = dict(datetime=pd.Timestamp("2020-01-02 10:00"), order_book_id="000001.XSHE",
              symbol="平安银行", last_price=10.0, last_quantity=100, side="BUY",
              transaction_cost=5.0)


def rows():
    ids = [f"{i:06d}.XSHE" for i in range(1, 151)]
    out = []
    for make_book, make_trade, make_position in (
        (Portfolio, Trade, Position),
        (PyPortfolio, PyTrade, PyPosition),
    ):
        book = make_book(1e12, {oid: 1_000_000 for oid in ids})
        buy = make_trade(**FIELDS)
        sell = make_trade(**{**FIELDS, "side": "SELL"})
        position = make_position("000001.XSHE", 10**12)
        held = ids[17]
        flip = [buy, sell]
        state = [0]

        def trade_book():
            state[0] ^= 1
            book.apply_trade(flip[state[0]])

        def trade_position():
            state[0] ^= 1
            position.apply_trade(flip[state[0]])

        out.append({
            "Portfolio.apply_split({})": per_call(lambda: book.apply_split({})),
            "Portfolio.apply_dividend({})": per_call(lambda: book.apply_dividend({})),
            "Portfolio.apply_trade(trade)": per_call(trade_book),
            "Position.apply_trade(trade)": per_call(trade_position),
            "Portfolio.holdings() (150 held)": per_call(book.holdings, n=2_000),
            "Portfolio.get_position(held id)": per_call(lambda: book.get_position(held)),
            "Trade(...)": per_call(lambda: make_trade(**FIELDS)),
        })
    return out


def empty_calls():
    """One empty call into the package: from Python, and from C++ through the fast
    method-call path (a C++ loop calling the method of a native object)."""
    from meridan import _callpath

    probe = _callpath.Probe()

    class Plain:
        def ping(self, x):
            return x

    plain = Plain()
    n = 200_000
    start = time.perf_counter()
    _callpath.call_ping(probe, 1, n)
    from_cpp = 1e6 * (time.perf_counter() - start) / n

    class Override(_callpath.Probe):
        def ping(self, x):
            return x

    start = time.perf_counter()
    _callpath.call_ping(Override(), 1, n)
    from_cpp_override = 1e6 * (time.perf_counter() - start) / n
    return [
        ("empty method call from Python", per_call(lambda: probe.ping(1)),
         per_call(lambda: plain.ping(1))),
        ("empty method call from C++", from_cpp, None),
        ("same, method overridden in Python", from_cpp_override, None),
    ]


def main():
    ours, plain = rows()
    print(f"{'call':36s} {'plain Python':>13s} {'meridan':>9s} {'ratio':>7s}   (us per call)")
    for key in ours:
        print(f"{key:36s} {plain[key]:13.3f} {ours[key]:9.3f} {plain[key] / ours[key]:6.2f}x")
    try:
        extra = empty_calls()
    except ImportError:
        return
    for label, value, baseline in extra:
        if baseline is None:
            print(f"{label:36s} {'':13s} {value:9.3f}")
        else:
            print(f"{label:36s} {baseline:13.3f} {value:9.3f} {baseline / value:6.2f}x")


if __name__ == "__main__":
    sys.exit(main())
