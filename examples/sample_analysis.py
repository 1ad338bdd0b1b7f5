"""A full analysis on the sample market that tickvane generates on first use.

Takes twenty constituents of the CSI 300 at the start of 2023, writes the kind of trade
statement a broker sends (codes as users type them, lower-case sides, no prices),
normalises it, and replays the book day by day for three years with closes, splits and
dividends read through a CachedMarketDataProvider (meridan.pcalc.replay). Prints the
value of the book along the way beside the CSI 300, and what the replay asked of the
market-data client.

    python examples/sample_analysis.py
"""

import time

import pandas as pd

import tickvane
from meridan.pcalc.preprocess import fix_trades
from meridan.pcalc.replay import benchmark_value_series, replay
from meridan.quotes import CachedMarketDataProvider

START, END = "2023-01-03", "2025-12-31"


def broker_statement(stocks, days, traded):
    """Buys each stock on the first day, then sells half and buys it back every quarter;
    like a real statement, it has no fills on days a stock did not trade (``traded``:
    a frame of booleans by day and stock)."""
    rows = []
    for k, oid in enumerate(stocks):
        code, exchange = oid.split(".")
        typed = code + (".SH" if exchange == "XSHG" else ".SZ")
        orders = [(days[0], f"10:{k:02d}:00", "buy", 2000)]
        for quarter in range(60, len(days), 61):
            orders.append((days[quarter], "14:00:00", "sell", 1000))
            orders.append((days[quarter + 1], "09:45:00", "buy", 1000.0))
        rows += [(typed, f"{day} {at}", side, quantity) for day, at, side, quantity in orders
                 if traded.at[pd.Timestamp(day), oid]]
    return pd.DataFrame(rows, columns=["order_book_id", "datetime", "side", "last_quantity"])


def main():
    t0 = time.perf_counter()
    days = [d.isoformat() for d in tickvane.get_trading_dates(START, END)]
    stocks = sorted(tickvane.index_components("000300.XSHG", days[0]))[:20]
    print(f"sample market ready in {time.perf_counter() - t0:.1f} s; "
          f"{len(days)} trading days, {len(stocks)} stocks")

    md = CachedMarketDataProvider()
    traded = tickvane.get_price(stocks, START, END, adjust_type="none").notna()
    trades = fix_trades(broker_statement(stocks, days, traded), md)
    print(f"statement normalised: {len(trades)} trades; first {trades[0]!r}")

    t1 = time.perf_counter()
    # A trade on a day its stock has no close would raise ValueError naming it;
    # skip_untradable=True would hand such trades back in `skipped` instead.
    snapshots, nav, skipped, book = replay(trades, START, END, md, cash=2_000_000.0)
    elapsed = time.perf_counter() - t1
    index = benchmark_value_series("000300.XSHG", nav)

    print(f"replayed {len(nav)} days in {elapsed:.2f} s")
    for k in (0, len(nav) // 2, len(nav) - 1):
        snapshot = snapshots[k]
        print(f"  {snapshot['date']}  value {snapshot['market_value']:>14,.2f}  cash "
              f"{snapshot['cash']:>14,.2f}  {len(snapshot['positions'])} holdings  "
              f"CSI 300 {index.iloc[k]:,.2f}")
    print(f"total return {nav.iloc[-1] / nav.iloc[0] - 1:+.2%} (CSI 300 "
          f"{index.iloc[-1] / index.iloc[0] - 1:+.2%}), dividends received "
          f"{book._dividends:,.2f}, cash {book._cash:,.2f}, {len(book.holdings())} holdings")
    print(f"provider cache: {len(md._price_cache)} closes, {len(md._dividend_cache)} dividend "
          f"tables, {len(md._split_cache)} split tables")


if __name__ == "__main__":
    main()
