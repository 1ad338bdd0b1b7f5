"""The replay of a book over the trading days: the snapshots and values it produces, the
order of splits, trades and dividends within a day, trades that cannot have been
executed, the requests it makes, and the benchmark series beside it.

The tests read the small markets of tests/support/markets.py: "week" (its tables are
tests/data/markets/week/*.csv) and "years", where 000300.XSHG closes at 3000 + k on the
k-th trading day (k = 80 on 2016-03-01)."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

from meridan.pcalc.replay import benchmark_value_series, replay
from meridan.pcalc.trade import Trade
from meridan.quotes import CachedMarketDataProvider

A, B, C = "600000.XSHG", "000004.XSHE", "600036.XSHG"
WEEK = pd.to_datetime(["2024-03-04", "2024-03-05", "2024-03-06", "2024-03-07",
                       "2024-03-08", "2024-03-11"])
D = [d.date() for d in WEEK]


def trade(when, oid, side, qty, price, cost=0.0):
    return Trade(datetime=pd.Timestamp(when), order_book_id=oid, symbol=oid,
                 last_price=price, last_quantity=qty, side=side, transaction_cost=cost)


on_week = pytest.mark.market("week")


@pytest.fixture
def week(market):
    """The six-day "week" market: A closes 10.0, 10.5, 7.0, 7.2, 7.1, 7.3 and splits
    10 -> 15 on day 3; B closes 20.0, 21.0, -, -, 22.0, 22.5 (suspended on days 3 and
    4); C closes 49.0, 50.5, 51.0, 51.5, 52.0, 52.5 and pays 2.5 per 10 shares to
    holders on day 2."""
    assert market.name == "week", "mark the test with on_week"
    return market


WEEK_TRADES = [
    trade("2024-03-05 10:00", C, "BUY", 200, 50.0, 5.0),   # on C's book-closure day
    trade("2024-03-06 10:00", A, "BUY", 300, 7.0, 3.0),    # on A's split day
    trade("2024-03-08 14:00", C, "SELL", 200, 52.0, 6.0),  # the whole holding
]


@on_week
def test_hand_worked_week(week):
    result = replay(WEEK_TRADES, "2024-03-04", "2024-03-11", cash=100000.0,
                    positions={A: 1000, B: 500})
    # (cash incl. dividends, {id: (quantity, market value)}, total), worked by hand:
    # day 2 pays 200 x 10005 out and books 200 x 0.25 of dividend; day 3 splits A's
    # 1000 shares into 1500 before buying 300 more; B is valued at 21.0 while suspended.
    expected = [
        (100000.0, {A: (1000, 10000.0), B: (500, 10000.0)}, 120000.0),
        (90045.0, {A: (1000, 10500.0), B: (500, 10500.0), C: (200, 10100.0)}, 121145.0),
        (87942.0, {A: (1800, 12600.0), B: (500, 10500.0), C: (200, 10200.0)}, 121242.0),
        (87942.0, {A: (1800, 12960.0), B: (500, 10500.0), C: (200, 10300.0)}, 121702.0),
        (98336.0, {A: (1800, 12780.0), B: (500, 11000.0)}, 122116.0),
        (98336.0, {A: (1800, 13140.0), B: (500, 11250.0)}, 122726.0),
    ]
    assert [s["date"] for s in result.portfolio_series] == D
    for snapshot, (cash, positions, total) in zip(result.portfolio_series, expected):
        assert list(snapshot) == ["date", "positions", "market_value", "cash"]
        assert snapshot["cash"] == pytest.approx(cash, abs=0.005)
        assert {p["order_book_id"]: (p["quantity"], round(p["market_value"], 2))
                for p in snapshot["positions"]} == positions
        assert snapshot["market_value"] == pytest.approx(total, abs=0.005)
        assert round(snapshot["cash"] + sum(p["market_value"] for p in snapshot["positions"]),
                     2) == round(snapshot["market_value"], 2)
    pd.testing.assert_series_equal(
        result.value_series, pd.Series([e[2] for e in expected], index=pd.to_datetime(D)))
    assert result.skipped == []
    assert result.portfolio._dividends == 50.0
    # A year of closes per request, each event table once.
    assert week.count("get_price") == 2
    assert week.count("get_split") == week.count("get_dividend") == 3


def test_values_match_a_pandas_replay(market):
    """A year of random trades on the "years" market (with 000002.XSHE's suspension and
    a dividend), against the same book worked out with whole-frame pandas operations."""
    rng = np.random.default_rng(3)
    ids = ["000001.XSHE", "000002.XSHE", "600519.XSHG", "601857.XSHG"]
    days = pd.DatetimeIndex(market.get_trading_dates("2016-01-04", "2016-12-30"))
    # From December: 000002.XSHE is suspended when the year starts.
    closes = market.get_price(ids, "2015-12-01", days[-1], adjust_type="none") \
        .ffill().reindex(days)
    held = dict.fromkeys(ids, 1000)
    trades = []
    for day in days[rng.choice(len(days), 60, replace=False)].sort_values():
        oid = ids[rng.integers(4)]
        if np.isnan(closes.at[day, oid]):
            continue
        side = "BUY" if rng.random() < 0.5 or held[oid] < 100 else "SELL"
        held[oid] += 100 if side == "BUY" else -100
        trades.append(trade(day + pd.Timedelta(hours=10), oid, side, 100,
                            closes.at[day, oid], 5.0))
    result = replay(trades, days[0], days[-1], cash=1e6, positions=dict.fromkeys(ids, 1000))

    frame = pd.DataFrame([(t.datetime.normalize(), t.order_book_id,
                           t.last_quantity * (1 if t.side == "BUY" else -1),
                           t.last_price, t.transaction_cost) for t in trades],
                         columns=["day", "oid", "qty", "price", "cost"])
    shares = (frame.pivot_table("qty", "day", "oid", aggfunc="sum")
              .reindex(index=days, columns=ids).fillna(0).cumsum() + 1000)
    cash = 1e6 - (frame.qty * frame.price + frame.cost).groupby(frame.day).sum() \
        .reindex(days, fill_value=0).cumsum()
    dividend = (shares["600519.XSHG"] * 0.25).where(days == "2016-06-30", 0).cumsum()
    expected = cash + dividend + (shares * closes).sum(axis=1)
    pd.testing.assert_series_equal(result.value_series, expected, check_names=False,
                                   check_freq=False, rtol=1e-12)
    # Ours, a year of closes, the history of 000002.XSHE.
    assert market.count("get_price") == 3


UNTRADABLE = [
    ("2016-01-06 10:00", "000002.XSHE", "000002.XSHE has no close on 2016-01-06"),
    ("2016-01-01 10:00", "000001.XSHE", "2016-01-01 is not a trading day"),
]


@pytest.mark.parametrize("when, oid, reason", UNTRADABLE)
def test_trade_without_a_close(market, when, oid, reason):
    trades = [trade("2015-12-31 10:00", "000001.XSHE", "BUY", 100, 11.0),
              trade(when, oid, "BUY", 200, 14.0), trade("2016-01-07", oid, "BUY", 300, 11.0)]
    if oid == "000002.XSHE":
        trades.pop()
    with pytest.raises(ValueError) as info:
        replay(trades, "2015-12-31", "2016-01-08")
    assert str(info.value) == (
        f"trades[1] (BUY 200 {oid} at {pd.Timestamp(when)}): {reason}; "
        f"pass skip_untradable=True to leave such trades out")

    result = replay(trades, "2015-12-31", "2016-01-08", skip_untradable=True)
    assert result.skipped == [trades[1]]
    booked = sum(t.last_quantity for t in trades if t is not trades[1] and t.order_book_id == oid)
    assert result.portfolio.get_position(oid).quantity == booked


def test_trades_outside_the_range_and_adjusted_providers_are_refused(market):
    late = trade("2016-02-01", "000001.XSHE", "BUY", 100, 11.0)
    with pytest.raises(ValueError, match=r"trades\[0\] .* lies outside the replay range "
                                         r"2016-01-04 to 2016-01-29"):
        replay([late], "2016-01-04", "2016-01-29", skip_untradable=True)
    with pytest.raises(ValueError, match="adjust_type 'pre'"):
        replay([], "2016-01-04", "2016-01-29", CachedMarketDataProvider("pre"))
    assert market.count() == market.count("get_trading_dates") == 1


def test_book_errors_name_the_trade(market):
    oversold = trade("2016-01-05 10:00", "000001.XSHE", "SELL", 200, 11.0)
    with pytest.raises(ValueError, match="cannot sell 200") as info:
        replay([oversold], "2016-01-04", "2016-01-08", positions={"000001.XSHE": 100})
    assert info.value.__notes__ == [
        "while booking trades[0] (SELL 200 000001.XSHE at 2016-01-05 10:00:00)"]


class WeekendEvents(CachedMarketDataProvider):
    """Also knows a split of B with a Sunday ex-date and a dividend of A with a Saturday
    book closure (a store holds events on trading days only, but a provider may not)."""

    def get_split_coefficient(self, order_book_ids, date):
        found = super().get_split_coefficient(order_book_ids, date)
        if date == dt.date(2024, 3, 10) and B in order_book_ids:
            found[B] = 2.0
        return found

    def get_dividend_per_share(self, order_book_ids, date):
        found = super().get_dividend_per_share(order_book_ids, date)
        if date == dt.date(2024, 3, 9) and A in order_book_ids:
            found[A] = 0.1
        return found


@on_week
def test_events_on_days_without_trading(week):
    """A split with a Sunday ex-date takes effect on Monday; a dividend with a Saturday
    book closure goes to the holders of Friday's close."""
    result = replay(WEEK_TRADES[1:], "2024-03-04", "2024-03-11", WeekendEvents(),
                    positions={A: 1000, B: 500, C: 200})
    friday, monday = result.portfolio_series[-2:]
    assert friday["cash"] - result.portfolio_series[-3]["cash"] == pytest.approx(
        10394.0 + 1800 * 0.1)
    assert [p["quantity"] for p in monday["positions"]] == [1800, 1000]


class RaisingProvider(CachedMarketDataProvider):
    """Answers a missing close with KeyError((id, day)) instead of NaN."""

    def get_close_price(self, order_book_ids, date):
        closes = super().get_close_price(order_book_ids, date)
        for oid, close in closes.items():
            if close != close:
                raise KeyError((oid, date))
        return closes


@on_week
@pytest.mark.parametrize("md", [CachedMarketDataProvider, RaisingProvider])
def test_suspended_holdings_keep_their_last_close_through_a_split(week, md):
    week.add_rows("splits", "000004.XSHE,2024-03-07,10,20")  # while B is suspended
    result = replay([], D[1], D[4], md(), positions={A: 1000, B: 500})
    assert [[p["market_value"] for p in s["positions"] if p["order_book_id"] == B][0]
            for s in result.portfolio_series] == [10500.0, 10500.0, 10500.0, 22000.0]
    # Suspended on the first day, the last close comes from one request for history.
    week.reset_calls()
    first = replay([], D[2], D[3], md(), positions={B: 500}).portfolio_series[0]
    assert first["positions"][0]["market_value"] == 10500.0
    assert ((B,), D[1]) in [(c.args, c.kwargs["end_date"]) for c in week.calls_to("get_price")]
    # Starting on the split day itself: the old close prices the new shares at half.
    first = replay([], D[3], D[3], md(), positions={B: 500}).portfolio_series[0]
    assert first["positions"] == [
        {"order_book_id": B, "quantity": 1000.0, "market_value": 10500.0}]


def test_benchmark_value_series(market):
    values = replay([], "2016-03-01", "2016-03-31", positions={"000001.XSHE": 100}).value_series
    market.reset_calls()
    bench = benchmark_value_series("000300.XSHG", values)
    # The 23 weekdays of March 2016 are trading days 80 to 102.
    closes = pd.Series([3000.0 + k for k in range(80, 103)])
    assert bench.index.equals(values.index) and bench.name == "000300.XSHG"
    assert len(values) == 23 and bench.tolist() == closes.tolist()
    assert market.count() == 1
    # A date without a close takes the last one; none before it is an error.
    dates = [dt.date(2016, 3, 4), dt.date(2016, 3, 5)]
    assert benchmark_value_series("000300.XSHG", dates).tolist() == [3083.0] * 2
    with pytest.raises(ValueError, match="000300.XSHG has no close on or before 2016-03-05"):
        benchmark_value_series("000300.XSHG", [dt.date(2016, 3, 5)])
    # Dates with a time zone are their own calendar days there, not the UTC ones (a
    # day early east of Greenwich).
    for zone in ("Asia/Shanghai", "America/New_York"):
        zoned = benchmark_value_series("000300.XSHG", values.tz_localize(zone))
        assert zoned.index.equals(values.index) and zoned.tolist() == closes.tolist()


@pytest.mark.sample
def test_replay_on_the_sample_market():
    import tickvane
    day, end = "2023-03-01", "2023-06-30"
    stocks = tickvane.index_components("000300.XSHG", day)[:5]
    closes = tickvane.get_price(stocks, day, end, adjust_type="none")
    trades = [trade(f"{day} 10:00", oid, "BUY", 1000, closes[oid].iloc[0], 5.0)
              for oid in stocks if closes[oid].iloc[0] == closes[oid].iloc[0]]
    result = replay(trades, day, end, cash=1e6, skip_untradable=True)
    assert len(result.portfolio_series) == len(closes)
    last = result.portfolio_series[-1]
    shares = {p["order_book_id"]: p["quantity"] for p in last["positions"]}
    assert last["market_value"] == pytest.approx(
        last["cash"] + sum(q * closes[oid].ffill().iloc[-1] for oid, q in shares.items()))
    assert benchmark_value_series("000300.XSHG", result.value_series).notna().all()


# --- money from outside: flows, units and the unit value ---------------------------

IDLE = [trade("2024-03-04 10:00", A, "BUY", 100, 10.0)]


@on_week
def test_a_deposit_of_idle_cash_never_moves_the_unit_value(week):
    """A opens at 9,000 cash and 100 shares (1,050 on day 1, split 10 -> 15 on day 2);
    5,000 arrives on day 2. The time-weighted return is the chain of the sub-period
    returns around the deposit, worked by hand."""
    result = replay(IDLE, D[0], D[5], cash=10000.0, flows=[(D[2], 5000.0)])
    values = [10000.0, 10050.0, 15050.0, 15080.0, 15065.0, 15095.0]
    assert result.value_series.tolist() == pytest.approx(values)
    assert result.flows.to_dict() == {WEEK[0]: 10000.0, WEEK[2]: 5000.0}
    chained = (10050.0 / 10000.0) * ((15050.0 - 5000.0) / 10050.0) * (15095.0 / 15050.0)
    assert result.unit_value.iloc[-1] / result.unit_value.iloc[0] == pytest.approx(chained)
    assert result.unit_value.iloc[2] == pytest.approx(result.unit_value.iloc[1])
    assert result.units.tolist() == pytest.approx([10000.0] * 2 + [10000.0 + 5000.0 / 1.005] * 4)
    # Per unit: money fields divided by the units, quantities kept in shares.
    day = result.per_unit_series()[3]
    assert day["positions"] == [{"order_book_id": A, "quantity": 150,
                                 "market_value": pytest.approx(1080.0 / result.units.iloc[3])}]
    assert day["market_value"] == pytest.approx(result.unit_value.iloc[3])
    pd.testing.assert_series_equal(result.per_unit_values(), result.unit_value)


@on_week
def test_an_opening_deposit_is_the_same_as_opening_cash(week):
    as_cash = replay(IDLE, D[0], D[5], cash=10000.0)
    as_flow = replay(IDLE, D[0], D[5], cash=0.0, flows=pd.Series([10000.0], [WEEK[0]]))
    pd.testing.assert_series_equal(as_flow.value_series, as_cash.value_series)
    pd.testing.assert_series_equal(as_flow.unit_value, as_cash.unit_value)
    pd.testing.assert_series_equal(as_flow.flows, as_cash.flows)
    assert as_cash.unit_value.iloc[0] == 1.0


@on_week
def test_flows_on_idle_days_in_kind_and_beyond_the_cash(week):
    # A Saturday deposit counts on Monday; B moves in on day 3 while suspended, at its
    # last close (21.0): the cash is unchanged and the value moved is a flow.
    result = replay([], D[0], D[5], cash=1000.0,
                    flows=[("2024-03-09", 500.0), (D[3], B, 100), (D[4], B, -40)])
    assert result.flows.to_dict() == {WEEK[0]: 1000.0, WEEK[3]: 2100.0,
                                      WEEK[4]: -40 * 21.0, WEEK[5]: 500.0}
    assert [s["cash"] for s in result.portfolio_series] == [1000.0] * 5 + [1500.0]
    assert result.portfolio.get_position(B).quantity == 60
    with pytest.raises(ValueError, match=r"flows\[1\]: a withdrawal of 1,500.00 on "
                                         r"2024-03-05 is more than the cash held "
                                         r"\(1,200.00\)"):
        replay([], D[0], D[5], cash=1000.0, flows=[(D[1], 200.0), (D[1], -1500.0)])


@pytest.mark.parametrize("flows, error", [
    (pd.DataFrame({"amount": [1.0]}), TypeError),
    ({"2024-03-05": 1.0}, TypeError),
    ([("2024-03-05", float("nan"))], ValueError),
    ([("2024-03-05", "100")], ValueError),
    ([("2024-03-05", A, 0)], ValueError),
    ([("2024-03-05",)], ValueError),
    ([("2030-01-01", 5.0)], ValueError),
])
@on_week
def test_unreadable_flows_are_refused(week, flows, error):
    with pytest.raises(error, match="flows"):
        replay([], D[0], D[5], cash=1000.0, flows=flows)


@on_week
@pytest.mark.parametrize("when", [
    pd.Timestamp("2024-03-05 10:00"),
    pd.Timestamp("2024-03-05 10:00", tz="Asia/Shanghai"),
    pd.Timestamp("2024-03-05", tz="Asia/Shanghai").tz_convert("UTC"),  # 03-04 16:00 UTC
    pd.Timestamp("2024-03-05 02:00", tz="UTC"),
])
def test_trade_times_count_on_their_beijing_day(week, when):
    result = replay([trade(when, C, "BUY", 100, 50.5)], D[0], D[5], cash=10000.0)
    held = [bool(s["positions"]) for s in result.portfolio_series]
    assert held[:3] == [False, True, True]


@on_week
def test_opening_positions_as_a_series_and_indices_moved_in_kind(week):
    as_dict = replay([], D[0], D[5], cash=0.0, positions={C: 100})
    as_series = replay([], D[0], D[5], cash=0.0, positions=pd.Series({C: 100}))
    pd.testing.assert_series_equal(as_series.value_series, as_dict.value_series)
    week.add_rows("instruments", "000300.XSHG,沪深300,INDX,XSHG,2005-04-08,,1,,")
    with pytest.raises(ValueError, match=r"^flows\[0\]"):
        replay([], D[0], D[5], cash=10.0, flows=[(D[1], "000300.XSHG", 5)])


@on_week
@pytest.mark.parametrize("cash, noted", [(5050.0, False), (1000.0, True)])
def test_a_buy_beyond_the_cash_is_noted(week, cash, noted):
    # 100 of C at 50.5 on day 1 cost 5,050: with 1,000 the book borrows 4,050.
    result = replay([trade("2024-03-05 10:00", C, "BUY", 100, 50.5)], D[0], D[5], cash=cash)
    assert [n for n in result.notes if "spends more than the cash held" in n] == (
        ["trades[0] (BUY 100 600036.XSHG at 2024-03-05 10:00:00) spends more than the cash "
         "held: -4,050.00 after it on 2024-03-05, so the book runs on borrowed money and "
         "its returns are levered; open the replay with more cash (cash=...) or add the "
         "deposit that paid for it (flows=...)"] if noted else [])
