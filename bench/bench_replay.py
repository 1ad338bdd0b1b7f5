"""Replays three years of a 100-stock book with 20,000 trades on the sample market of the
embedded store, with meridan.pcalc.replay.replay and with a straightforward pandas
replay (a loop over the days with per-day pandas lookups) measured in the same run, and
prints the time per day, the share spent in the market-data client and the ratio.

Both start after the first touch of the store (opening it and loading the stocks'
prices, dividends and splits into the client's memory), which is timed apart. Times are
given as wall-clock time and as the process's CPU time, which is the steadier figure on
a shared machine; the ratio and the client's share are taken from CPU time.

    python bench/bench_replay.py
"""

import functools
import time
import types

import numpy as np
import pandas as pd

import meridan.pcalc.replay as replay_module
import meridan.quotes as quotes
import tickvane
from meridan.pcalc.trade import Trade

START, END, N_STOCKS, N_TRADES, LOT = "2021-01-04", "2023-12-29", 100, 20_000, 100
OPENING_SHARES, OPENING_CASH = 50_000, 50_000_000.0

client_seconds = 0.0  # CPU time spent inside the client


def timed(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        global client_seconds
        start = time.process_time()
        try:
            return function(*args, **kwargs)
        finally:
            client_seconds += time.process_time() - start

    return wrapper


def install_timers():
    """Every client operation the replay and the baseline call adds its time to
    ``client_seconds``: the provider's star-imported names, the replay's module
    attribute, and the names the baseline uses."""
    for name in ("get_price", "get_dividend", "get_split"):
        setattr(quotes, name, timed(getattr(tickvane, name)))
    proxy = types.SimpleNamespace(**{name: timed(getattr(tickvane, name))
                                     for name in tickvane.__all__})
    replay_module.tickvane = proxy
    return proxy


def make_trades(stocks, days, closes):
    """Random buys and sales of one to five lots at the day's close; sales never exceed
    the opening holding."""
    rng = np.random.default_rng(8)
    at = np.sort(rng.integers(0, len(days), N_TRADES))
    which = rng.integers(0, len(stocks), N_TRADES)
    lots = rng.integers(1, 6, N_TRADES)
    sides = rng.random(N_TRADES) < 0.5
    trades = []
    for k in range(N_TRADES):
        day, oid = days[at[k]], stocks[which[k]]
        trades.append(Trade(datetime=day + pd.Timedelta(minutes=600 + k % 300), order_book_id=oid,
                            symbol=oid, last_price=float(closes.at[day, oid]),
                            last_quantity=int(lots[k]) * LOT,
                            side="BUY" if sides[k] else "SELL",
                            transaction_cost=round(float(closes.at[day, oid]) * LOT * 3e-4, 2)))
    return trades


def pandas_replay(client, trades, stocks, days):
    """The same book, written the plain way: whole tables fetched once, then a loop over
    the days with pandas lookups for the day's splits, trades, dividends and closes."""
    first, last = days[0], days[-1]
    closes = client.get_price(stocks, first - pd.Timedelta(days=365), last,
                              adjust_type="none", fields="close").ffill().loc[first:last]
    raw = closes.reindex(days)
    dividends, splits = {}, {}
    for oid in stocks:
        table = client.get_dividend(oid, adjusted=False)
        if table is not None:
            per_share = table["dividend_cash_before_tax"] / table["round_lot"]
            dividends[oid] = per_share.groupby(table["book_closure_date"]).sum()
        table = client.get_split(oid)
        if table is not None:
            splits[oid] = table["split_coefficient_to"] / table["split_coefficient_from"]
    dividend_frame = pd.DataFrame(dividends).reindex(columns=stocks).fillna(0.0)
    split_frame = pd.DataFrame(splits).reindex(columns=stocks).fillna(1.0)
    trade_frame = pd.DataFrame(
        [(t.datetime.normalize(), t.order_book_id, t.side, t.last_quantity, t.last_price,
          t.transaction_cost) for t in trades],
        columns=["day", "oid", "side", "qty", "price", "cost"]).set_index("day")

    quantity = pd.Series(float(OPENING_SHARES), index=stocks)
    cash, income, series, values = OPENING_CASH, 0.0, [], []
    unadjusted = client.get_price(stocks, first, last, adjust_type="none", fields="close")
    for day in days:
        if day in split_frame.index:
            quantity = quantity * split_frame.loc[day]
        if day in trade_frame.index:
            for t in trade_frame.loc[[day]].itertuples():
                if np.isnan(unadjusted.at[day, t.oid]):
                    continue
                sign = 1 if t.side == "BUY" else -1
                cash -= sign * t.qty * t.price + t.cost
                quantity[t.oid] += sign * t.qty
        if day in dividend_frame.index:
            income += (quantity * dividend_frame.loc[day]).sum()
        held = quantity[quantity != 0]
        market = held * raw.loc[day, held.index]
        total = cash + income + market.sum()
        series.append({"date": day.date(), "market_value": total, "cash": cash + income,
                       "positions": [{"order_book_id": oid, "quantity": held[oid],
                                      "market_value": value} for oid, value in market.items()]})
        values.append(total)
    return series, pd.Series(values, index=days)


def main():
    t0 = time.perf_counter()
    tickvane.open_store()
    days = pd.DatetimeIndex(tickvane.get_trading_dates(START, END))
    stocks = sorted(tickvane.index_components("000300.XSHG", START))[:N_STOCKS]
    closes = tickvane.get_price(stocks, START, END, adjust_type="none", fields="close")
    for oid in stocks:
        tickvane.get_dividend(oid, adjusted=False)
        tickvane.get_split(oid)
    print(f"first touch of the store (open, load {N_STOCKS} stocks): "
          f"{time.perf_counter() - t0:.2f} s")
    trades = make_trades(stocks, days, closes)
    client = install_timers()

    def measure(run):
        global client_seconds
        client_seconds = 0.0
        wall, cpu = time.perf_counter(), time.process_time()
        out = run()
        return out, time.perf_counter() - wall, time.process_time() - cpu, client_seconds

    result, ours_wall, ours, ours_client = measure(lambda: replay_module.replay(
        trades, START, END, quotes.CachedMarketDataProvider(), cash=OPENING_CASH,
        positions=dict.fromkeys(stocks, OPENING_SHARES), skip_untradable=True))
    (_, baseline_values), theirs_wall, theirs, theirs_client = measure(
        lambda: pandas_replay(client, trades, stocks, days))

    gap = float((result.value_series.to_numpy() - baseline_values.to_numpy()).__abs__().max())
    n = len(days)
    print(f"replayed {n} trading days ({days[0].date()} .. {days[-1].date()}), {N_STOCKS} "
          f"stocks, {len(trades)} trades ({len(result.skipped)} on days without a close "
          f"skipped), {sum(len(s['positions']) for s in result.portfolio_series)} positions")
    for name, wall, cpu, inside in (("replay:         ", ours_wall, ours, ours_client),
                                    ("pandas baseline:", theirs_wall, theirs, theirs_client)):
        print(f"{name} {wall:6.3f} s wall, {cpu:6.3f} s CPU, {1e3 * cpu / n:.3f} ms CPU per "
              f"day, {100 * inside / cpu:4.1f} % in the market-data client")
    print(f"ratio baseline / replay (CPU): {theirs / ours:.1f}x "
          f"(without client time: {(theirs - theirs_client) / (ours - ours_client):.1f}x); "
          f"target: replay under 1 s")
    print(f"largest difference between the two value series: {gap:.2e} "
          f"(final value {result.value_series.iloc[-1]:,.2f})")


if __name__ == "__main__":
    main()
