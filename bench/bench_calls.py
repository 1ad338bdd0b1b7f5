"""The cost of calls into the package beside the same classes written plainly in
Python (the book's rules: all-or-nothing updates, average cost price on buys, the
same value checks), measured
in the same run. Microseconds per call, median of repeated batches; the ratio is
plain Python time / meridan time (above 1: meridan is faster).

    python bench/bench_calls.py
"""

import gc
import math
import numbers
import statistics
import sys
import time
from decimal import Decimal

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


def _check(value, what, positive=False):
    """The book's value check, written plainly: exact int and float first."""
    if type(value) is float or type(value) is int:
        if value != value or value in (math.inf, -math.inf):
            raise ValueError(f"{what} must be finite, got {value!r}")
    elif isinstance(value, bool) or not isinstance(value, (numbers.Real, Decimal)):
        raise TypeError(f"{what} must be a number, got {value!r}")
    elif not math.isfinite(value):
        raise ValueError(f"{what} must be finite, got {value!r}")
    if value < 0 or (positive and value == 0):
        raise ValueError(f"{what} out of range, got {value!r}")


def _check_side(side):
    if side != "BUY" and side != "SELL":
        raise ValueError(f"side must be BUY or SELL, got {side!r}")
    return side == "BUY"


class PyPosition:
    def __init__(self, order_book_id, quantity=0):
        self.order_book_id = order_book_id
        self.quantity = quantity
        self.avg_price = 0.0

    def apply_trade(self, trade):
        quantity = trade.last_quantity
        _check(quantity, "last_quantity")
        _check(trade.last_price, "last_price")
        if _check_side(trade.side):
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
        if isinstance(cash, bool) or not isinstance(cash, (numbers.Real, Decimal)):
            raise TypeError("cash")
        for quantity in (positions or {}).values():
            _check(quantity, "quantity")
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
        buy = _check_side(trade.side)
        _check(trade.last_price, "last_price")
        _check(trade.last_quantity, "last_quantity")
        _check(trade.transaction_cost, "transaction_cost")
        gross = trade.last_price * trade.last_quantity
        if buy:
            cash = self._cash - (gross + trade.transaction_cost)
        else:
            cash = self._cash + (gross - trade.transaction_cost)
        position.apply_trade(trade)
        self._cash = cash
        self._positions[trade.order_book_id] = position

    def apply_split(self, splits):
        plan = []
        for coefficient in splits.values():
            _check(coefficient, "split coefficient", positive=True)
        for oid, coefficient in splits.items():
            if oid in self._positions:
                p = self._positions[oid]
                quantity = p.quantity * coefficient
                if type(quantity) is float and abs(quantity - round(quantity)) <= 1e-6:
                    quantity = float(round(quantity))
                plan.append((p, quantity, p.avg_price / coefficient))
        for p, quantity, avg in plan:
            p.quantity, p.avg_price = quantity, avg

    def apply_dividend(self, dividends):
        total = self._dividends
        for amount in dividends.values():
            _check(amount, "dividend")
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


# ---- whole workloads, own time: market-data replies prepared in advance, and the time
# spent in the client taken out ------------------------------------------------------
def own_seconds(service, fn, repeat=5):
    """The best of `repeat` timings of fn(), less the time its calls spend in the
    market-data client."""
    fn()  # prepares the replies
    return min(_timed(fn) for _ in range(repeat)) - service.seconds_inside(fn)


class PreparedService(__import__("types").ModuleType):
    """The market-data client with every reply prepared in advance: each distinct
    request is answered once by the client (through the tests' recording proxy, which
    counts what it was asked), then from a dict, so both sides of a comparison pay
    almost nothing for market data. The proxy's own replay would do the same, but its
    cost per call is larger than the package's own time for a call here."""

    def __init__(self, client):
        super().__init__("tickvane")
        self._client = client
        self._memo = {}
        self.__all__ = ["instruments", "get_trading_dates", "get_price"]
        self.log = None  # a list while calls are recorded

    def seconds_inside(self, fn):
        """Seconds the calls that fn() makes spend in this client: the calls are
        recorded once, then made again alone and timed (the best of three)."""
        self.log = []
        fn()
        calls, self.log = self.log, None
        return min(_timed(lambda: [getattr(self, name)(*args, **kwargs)
                                   for name, args, kwargs in calls]) for _ in range(3))

    def _reply(self, key, make):
        try:
            return self._memo[key]
        except KeyError:
            reply = self._memo[key] = make()
            return reply

    def instruments(self, order_book_ids):
        if self.log is not None:
            self.log.append(("instruments", (order_book_ids,), {}))
        return self._reply(("i", order_book_ids),
                           lambda: self._client.instruments(order_book_ids))

    def get_trading_dates(self, start_date, end_date):
        if self.log is not None:
            self.log.append(("get_trading_dates", (start_date, end_date), {}))
        return self._reply(("t", start_date, end_date),
                           lambda: self._client.get_trading_dates(start_date, end_date))

    def get_price(self, order_book_ids, start_date=None, end_date=None, **kwargs):
        if self.log is not None:
            self.log.append(("get_price", (order_book_ids, start_date, end_date), kwargs))
        ids = order_book_ids if isinstance(order_book_ids, str) else tuple(order_book_ids)
        return self._reply(
            ("p", ids, start_date, end_date, tuple(sorted(kwargs.items()))),
            lambda: self._client.get_price(order_book_ids, start_date, end_date, **kwargs))


def choose_stocks(tickvane, start, end):
    """Two stocks of each exchange, listed a year before start, with a close on every
    day from start to end."""
    stocks = tickvane.all_instruments("CS")
    stocks = stocks[stocks.listed_date < pd.Timestamp(start) - pd.Timedelta(days=365)]
    chosen = []
    for exchange in ("XSHE", "XSHG"):
        ids = stocks.order_book_id[stocks.exchange == exchange].tolist()[:50]
        closes = tickvane.get_price(ids, start, end, adjust_type="none", fields="close")
        chosen += [oid for oid in ids if closes[oid].notna().all()][:2]
    return chosen


def workloads():
    import numpy as np
    import pytest

    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parents[1]
                           / "tests" / "support"))
    import recording_tickvane
    import tickvane
    from meridan.pcalc import preprocess

    # The generated sample market the client opens by default. The proxy is put in
    # place once the client has opened its store and loaded its modules (a module
    # loaded later would be attached to the proxy, whose attributes it could hide).
    stocks = choose_stocks(tickvane, "2016-02-01", "2017-12-29")
    days = pd.DatetimeIndex(tickvane.get_trading_dates("2016-02-01", "2017-12-29"))
    client = PreparedService(recording_tickvane.RecordingTickvane(tickvane))
    patch = pytest.MonkeyPatch()
    recording_tickvane.install(client, patch)

    rng = np.random.default_rng(3)
    out = []

    # A backtest log of 6,000 rows.
    n = 6_000
    log = pd.DataFrame({
        "order_book_id": rng.choice(stocks, n),
        "side": rng.choice(["BUY", "SELL"], n),
        "last_price": rng.uniform(5, 50, n).round(2),
        "last_quantity": rng.integers(1, 50, n) * 100,
        "transaction_cost": rng.uniform(1, 20, n).round(2),
    }, index=pd.DatetimeIndex(rng.choice(days, n)).sort_values() + pd.Timedelta("10h"))

    def plain_backtest():
        trades = []
        for row in log.itertuples():
            instrument = client.instruments(row.order_book_id)
            if instrument.type != "CS":
                continue
            trades.append(PyTrade(datetime=row.Index, order_book_id=row.order_book_id,
                                  symbol=instrument.symbol, last_price=float(row.last_price),
                                  last_quantity=int(row.last_quantity), side=row.side,
                                  transaction_cost=float(row.transaction_cost)))
        return trades

    out.append(("fix_backtest_trades, 6,000 rows", own_seconds(client, plain_backtest),
                own_seconds(client, lambda: preprocess.fix_backtest_trades(log))))

    # A statement of 3,000 rows without prices: each trade priced at its day's close.
    n = 3_000
    statement = pd.DataFrame({
        "order_book_id": rng.choice([s.split(".")[0] for s in stocks], n),
        # A broker statement lists its trades in time order.
        "datetime": [str(d + pd.Timedelta("10h")) for d in np.sort(rng.choice(days, n))],
        "side": rng.choice(["buy", "sell"], n),
        "last_quantity": rng.integers(1, 50, n) * 100,
    })
    from meridan.quotes import CachedMarketDataProvider
    from meridan.util import fix_datetime, fix_order_book_id

    def pandas_loop(client=client):
        # The statement rules written plainly: each row's instrument checked and named,
        # its time read and checked against the calendar, its side and quantity checked,
        # and its price looked up with one request of its own.
        trades = []
        for _, row in statement.iterrows():
            oid = fix_order_book_id(row["order_book_id"])
            if client.instruments(oid).type != "CS":
                raise RuntimeError("not a stock")
            dt = fix_datetime(row["datetime"])
            if not client.get_trading_dates(dt, dt):
                raise RuntimeError(f"{dt} is not a trading day")
            side = row["side"].upper()
            if side not in ("BUY", "SELL"):
                raise RuntimeError(f"invalid side: {side}")
            quantity = row["last_quantity"]
            if quantity < 0 or quantity != int(quantity):
                raise RuntimeError(f"invalid last_quantity: {quantity}")
            close = client.get_price(oid, dt.date(), dt.date(), adjust_type="none")
            trades.append(PyTrade(datetime=dt, order_book_id=oid,
                                  symbol=client.instruments(oid).symbol,
                                  last_price=float(close.iloc[0]),
                                  last_quantity=int(quantity), side=side,
                                  transaction_cost=0.0))
        trades.sort(key=lambda t: t.datetime)
        return trades

    baseline = own_seconds(client, pandas_loop)
    ours = own_seconds(client,
                       lambda: preprocess.fix_trades(statement, CachedMarketDataProvider()))
    out.append(("fix_trades, 3,000 unpriced rows (vs iterrows)", baseline, ours))

    # The same, timed whole on the client reading its store for every request: what a
    # user waits for, the loop's one price request per row included.
    patch.undo()
    whole = (_timed(lambda: pandas_loop(tickvane)),
             _timed(lambda: preprocess.fix_trades(statement, CachedMarketDataProvider())))
    out.append(("  same, whole time with the client's own", *whole))
    return out


def replay_workload():
    """Three years of a 150-stock book day by day: splits and dividends of every
    holding each day, about 17,000 trades; market data prepared in advance."""
    import numpy as np

    rng = np.random.default_rng(5)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(150)]
    n_days = 732
    plan = []
    for d in range(n_days):
        splits = {ids[k]: 1.5 for k in rng.integers(0, 150, 1)} if d % 60 == 0 else {}
        dividends = {ids[k]: 0.2 for k in rng.integers(0, 150, 3)}
        trades = [(ids[k], "BUY" if j % 2 == 0 else "SELL")
                  for j, k in enumerate(rng.integers(0, 150, 23))]
        plan.append((splits, dividends, trades))
    day = pd.Timestamp("2020-01-02 10:00")
    results = []
    for book_cls, trade_cls in ((PyPortfolio, PyTrade), (Portfolio, Trade)):
        made = [[trade_cls(datetime=day, order_book_id=oid, symbol=oid, last_price=10.0,
                           last_quantity=100, side=side, transaction_cost=5.0)
                 for oid, side in trades] for _, _, trades in plan]

        def run():
            book = book_cls(1e9, {oid: 1_000_000 for oid in ids})
            for (splits, dividends, _), trades in zip(plan, made):
                book.holdings()
                book.apply_split(splits)
                book.apply_dividend(dividends)
                for t in trades:
                    book.apply_trade(t)
            return book

        results.append(min(_timed(run) for _ in range(5)))
    return ("book replay, 3 years, 150 stocks, 17,000 trades", *results)


def _timed(fn):
    # The collector's passes over the prepared trades would land in either side's
    # timing at random; both sides run without it.
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    finally:
        gc.enable()


def main():
    print(f"{'workload':46s} {'baseline s':>11s} {'meridan s':>10s} {'ratio':>7s}")
    for label, baseline, ours in [replay_workload(), *workloads()]:
        print(f"{label:46s} {baseline:11.4f} {ours:10.4f} {baseline / ours:6.1f}x")
    print()
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
