"""Replays three years of a 100-stock book day by day, the way a back office rebuilds a
portfolio: each trading day it reads the closes, splits and dividends of the holdings
through a CachedMarketDataProvider and books them, and 20,000 trades in all go through
Portfolio.apply_trade. Market data comes from the market-data client over the generated
sample market it opens by default (the first 100 stocks with a close on every day of
2015-2017), behind the recording proxy of the tests; the time spent inside the client is
measured and left out of the package's figures.

    python bench/bench_pcalc.py
"""

import pathlib
import sys
import time

import numpy as np
import pandas as pd
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
import recording_tickvane  # noqa: E402

N_STOCKS, N_TRADES, YEARS = 100, 20_000, 3
FIRST_DAY = "2015-01-05"


def choose_market():
    """The client behind the proxy, the stocks replayed and the trading days: the first
    N_STOCKS stocks listed a year before FIRST_DAY with a close on every day replayed."""
    import tickvane

    days = pd.DatetimeIndex(tickvane.get_trading_dates(FIRST_DAY, "2018-12-31")[: YEARS * 244])
    stocks = tickvane.all_instruments("CS")
    candidates = stocks.order_book_id[stocks.listed_date < "2014-01-01"].tolist()
    closes = tickvane.get_price(candidates, days[0], days[-1], adjust_type="none",
                                fields="close")
    ids = [oid for oid in candidates if closes[oid].notna().all()][:N_STOCKS]
    if len(ids) < N_STOCKS:
        raise SystemExit(f"the market has {len(ids)} stocks with every close, not {N_STOCKS}")
    return recording_tickvane.RecordingTickvane(tickvane), ids, days


def main():
    from meridan.pcalc.portfolio import Portfolio
    from meridan.pcalc.trade import Trade
    from meridan.quotes import CachedMarketDataProvider

    client, ids, days = choose_market()
    recording_tickvane.install(client, pytest.MonkeyPatch())

    rng = np.random.default_rng(11)
    trade_days = np.sort(rng.integers(0, len(days), N_TRADES))
    trade_stocks = rng.integers(0, N_STOCKS, N_TRADES)
    md = CachedMarketDataProvider()
    book = Portfolio(1e9, {oid: 10_000 for oid in ids})
    client.reset_calls()
    n_trades = 0
    trade_seconds = 0.0
    start = time.perf_counter()
    t = 0
    for i, day in enumerate(days):
        date = day.date()
        held = book.holdings()
        closes = md.get_close_price(held, date)
        book.apply_split(md.get_split_coefficient(held, date))
        book.apply_dividend(md.get_dividend_per_share(held, date))
        trades = []
        while t < N_TRADES and trade_days[t] == i:
            oid = ids[trade_stocks[t]]
            trades.append(Trade(datetime=day, order_book_id=oid, symbol=oid,
                                last_price=closes.get(oid, 10.0), last_quantity=100,
                                side="BUY" if t % 2 == 0 else "SELL", transaction_cost=5.0))
            t += 1
        t0 = time.perf_counter()
        for trade in trades:
            book.apply_trade(trade)
        trade_seconds += time.perf_counter() - t0
        n_trades += len(trades)
    total = time.perf_counter() - start
    own = total - client.time_inside

    print(f"replayed {len(days)} trading days ({days[0].date()} .. {days[-1].date()}), "
          f"{N_STOCKS} stocks, {n_trades} trades")
    print(f"total {total:.3f} s, "
          f"of which inside the market-data client {client.time_inside:.3f} s")
    print(f"package time per day replayed: {1e6 * (own - trade_seconds) / len(days):.1f} us "
          f"(closes, splits and dividends of every holding)")
    print(f"package time per trade (Portfolio.apply_trade): {1e6 * trade_seconds / n_trades:.2f} us")
    counts = {name: client.count(name) for name in ("get_price", "get_dividend", "get_split")}
    print(f"service requests: {client.count()} in all, {counts}")
    print(f"final cash {book._cash:,.2f}, dividends {book._dividends:,.2f}, "
          f"{len(book.holdings())} holdings")


if __name__ == "__main__":
    main()
