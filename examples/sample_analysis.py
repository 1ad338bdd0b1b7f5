"""A full analysis on the sample market that tickvane generates on first use.

Takes twenty constituents of the CSI 300 at the start of 2023, writes the kind of trade
statement a broker sends (codes as users type them, lower-case sides, no prices),
normalises it, and replays the book day by day for three years with closes, splits and
dividends read through a CachedMarketDataProvider. Prints the value of the book along
the way and what the replay asked of the market-data client.

    python examples/sample_analysis.py
"""

import time

import pandas as pd
import tickvane

from meridan.pcalc.portfolio import Portfolio
from meridan.pcalc.preprocess import fix_trades
from meridan.quotes import CachedMarketDataProvider

START, END = "2023-01-03", "2025-12-31"


def broker_statement(stocks, days):
    """Buys each stock on the first day, then sells half and buys it back every quarter."""
    rows = []
    for k, oid in enumerate(stocks):
        code, exchange = oid.split(".")
        typed = code + (".SH" if exchange == "XSHG" else ".SZ")
        rows.append((typed, f"{days[0]} 10:{k:02d}:00", "buy", 2000))
        for quarter in range(60, len(days), 61):
            rows.append((typed, f"{days[quarter]} 14:00:00", "sell", 1000))
            rows.append((typed, f"{days[quarter + 1]} 09:45:00", "buy", 1000.0))
    return pd.DataFrame(rows, columns=["order_book_id", "datetime", "side", "last_quantity"])


def main():
    t0 = time.perf_counter()
    days = [d.isoformat() for d in tickvane.get_trading_dates(START, END)]
    stocks = sorted(tickvane.index_components("000300.XSHG", days[0]))[:20]
    print(f"sample market ready in {time.perf_counter() - t0:.1f} s; "
          f"{len(days)} trading days, {len(stocks)} stocks")

    md = CachedMarketDataProvider()
    trades = fix_trades(broker_statement(stocks, days), md)
    # A stock suspended on the day has no close to trade at (NaN): such orders never fill.
    filled = [t for t in trades if t.last_price == t.last_price]
    print(f"statement normalised: {len(trades)} trades, {len(trades) - len(filled)} on "
          f"suspended days left out; first {trades[0]!r}")

    book = Portfolio(cash=2_000_000.0)
    by_day = {}
    for trade in filled:
        by_day.setdefault(trade.datetime.date(), []).append(trade)
    values, last_close = {}, {}
    t1 = time.perf_counter()
    for day in pd.to_datetime(days):
        date = day.date()
        held = book.holdings()
        book.apply_split(md.get_split_coefficient(held, date))
        book.apply_dividend(md.get_dividend_per_share(held, date))
        for trade in by_day.get(date, []):
            book.apply_trade(trade)
        held = book.holdings()
        for oid, close in md.get_close_price(held, date).items():
            if close == close:  # suspended stocks keep their last close
                last_close[oid] = close
        stock_value = sum(book.get_position(oid).quantity * last_close[oid] for oid in held)
        values[day] = book._cash + book._dividends + stock_value
    replay = time.perf_counter() - t1

    nav = pd.Series(values)
    print(f"replayed {len(nav)} days in {replay:.2f} s")
    for when in (nav.index[0], nav.index[len(nav) // 2], nav.index[-1]):
        print(f"  {when.date()}  value {nav[when]:>14,.2f}")
    print(f"total return {nav.iloc[-1] / nav.iloc[0] - 1:+.2%}, dividends received "
          f"{book._dividends:,.2f}, cash {book._cash:,.2f}, {len(book.holdings())} holdings")
    print(f"provider cache: {len(md._price_cache)} closes, {len(md._dividend_cache)} dividend "
          f"tables, {len(md._split_cache)} split tables")


if __name__ == "__main__":
    main()
