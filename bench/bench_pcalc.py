"""Replays three years of a 100-stock book day by day, the way a back office rebuilds a
portfolio: each trading day it reads the closes, splits and dividends of the holdings
through a CachedMarketDataProvider and books them, and 20,000 trades in all go through
Portfolio.apply_trade. Market data comes from the in-memory test client, whose own time
is measured and left out of the package's figures.

    python bench/bench_pcalc.py
"""

import pathlib
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
import fake_tickvane  # noqa: E402

N_STOCKS, N_TRADES, YEARS = 100, 20_000, 3


def build_market():
    fake = fake_tickvane.FakeTickvane(defaults=False)
    calendar = pd.bdate_range("2015-01-05", periods=YEARS * 244 + 260)
    fake.set_trading_dates(calendar)
    rng = np.random.default_rng(7)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(N_STOCKS)]
    for k, oid in enumerate(ids):
        fake.set_instrument(oid, type="CS", listed_date="2010-01-04", round_lot=100,
                            sector_code_name="金融", shenwan_industry_name="银行")
        path = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, len(calendar))))
        fake.set_closes(oid, pd.Series(np.round(path, 2), index=calendar))
        for year in range(2015, 2015 + YEARS):
            day = calendar[calendar.searchsorted(pd.Timestamp(f"{year}-06-{10 + k % 15}"))]
            fake.add_dividend(oid, day, round(float(rng.uniform(0.5, 3.0)), 2), 10.0)
        if k % 10 == 0:
            day = calendar[calendar.searchsorted(pd.Timestamp(f"2016-07-{1 + k % 20}"))]
            fake.add_split(oid, day, 10.0, 15.0)
    return fake, ids, calendar[: YEARS * 244]


def main():
    fake, ids, days = build_market()
    sys.modules["tickvane"] = fake
    from meridan.pcalc.portfolio import Portfolio
    from meridan.pcalc.trade import Trade
    from meridan.quotes import CachedMarketDataProvider

    rng = np.random.default_rng(11)
    trade_days = np.sort(rng.integers(0, len(days), N_TRADES))
    trade_stocks = rng.integers(0, N_STOCKS, N_TRADES)
    md = CachedMarketDataProvider()
    book = Portfolio(1e9, {oid: 10_000 for oid in ids})
    fake.reset_calls()
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
    own = total - fake.time_inside

    print(f"replayed {len(days)} trading days ({days[0].date()} .. {days[-1].date()}), "
          f"{N_STOCKS} stocks, {n_trades} trades")
    print(f"total {total:.3f} s, of which inside the market-data client {fake.time_inside:.3f} s")
    print(f"package time per day replayed: {1e6 * (own - trade_seconds) / len(days):.1f} us "
          f"(closes, splits and dividends of every holding)")
    print(f"package time per trade (Portfolio.apply_trade): {1e6 * trade_seconds / n_trades:.2f} us")
    counts = {name: fake.count(name) for name in ("get_price", "get_dividend", "get_split")}
    print(f"service requests: {fake.count()} in all, {counts}")
    print(f"final cash {book._cash:,.2f}, dividends {book._dividends:,.2f}, "
          f"{len(book.holdings())} holdings")


if __name__ == "__main__":
    main()
