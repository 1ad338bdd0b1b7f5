"""Brinson attribution: periods, single-period sector results, linking, the benchmark
side and the attribution table, with the requests each makes, over the "brinson" market
of tests/support/markets_brinson.py (its closes and index members around March 2016)."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import pandas_brinson as reference
from meridan.brinson import benchmark as bm
from meridan.brinson import calc
from meridan.brinson import classifier as cl
from meridan.quotes import CachedMarketDataProvider

CASH, TOTAL = "现金", "总计"
D1, D2, D3 = dt.date(2016, 3, 1), dt.date(2016, 3, 2), dt.date(2016, 3, 3)

pytestmark = [pytest.mark.market("brinson"), pytest.mark.sanitize]


@pytest.fixture(autouse=True)
def empty_memo():
    """The benchmark memo is process-wide: no test sees another's replies."""
    memo = (bm.index_components, bm.index_weights, bm.get_change_rate)
    for f in memo:
        f.cache_clear()
    yield
    for f in memo:
        f.cache_clear()


class Sectors:
    """A classifier from a table, recording its calls."""

    def __init__(self, sectors, by_id):
        self.sectors, self.by_id, self.calls, self.listed = sectors, by_id, [], 0

    def all_sectors(self):
        self.listed += 1
        return list(self.sectors)

    def __call__(self, order_book_id):
        self.calls.append(order_book_id)
        return self.by_id[order_book_id]


class Splits:
    """A provider of split coefficients by date, recording what it is asked."""

    def __init__(self, by_date=None):
        self.by_date, self.asked = by_date or {}, []

    def get_split_coefficient(self, order_book_ids, date):
        self.asked.append((order_book_ids, date))
        return dict(self.by_date.get(date, {}))


def snapshot(date, holdings, cash=0.0, market_value=None):
    """holdings: {id: (quantity, market value)}."""
    positions = [{"order_book_id": k, "quantity": q, "market_value": v}
                 for k, (q, v) in holdings.items()]
    total = sum(v for _, v in holdings.values()) + cash
    return {"date": date, "positions": positions, "cash": cash,
            "market_value": total if market_value is None else market_value}


# ------------------------------------------------------------------- splitting

SPLIT_CASES = [
    # (quantities per day, splits {day index: {id: coefficient}}, expected period lengths)
    ([{"A": 100}] * 4, {}, [4]),
    ([{"A": 100}, {"A": 100}, {"A": 200}], {2: {"A": 2.0}}, [3]),
    ([{"A": 100}, {"A": 100}, {"A": 100}], {2: {"A": 2.0}}, [2, 1]),
    ([{"A": 100}, {"A": 100, "B": 0}, {"A": 100}], {}, [1, 1, 1]),
    ([{"A": 100}, {"A": 150.0}], {1: {"A": 1.5}}, [2]),
    ([{"A": 700.0}, {"A": 980}], {1: {"A": 1.4}}, [2]),  # 700 x 1.4 is not 980 in floats
    ([{"A": 100}, {"A": 101}, {"A": 101}, {}], {}, [1, 2, 1]),
    ([{"A": 1, "B": 2}, {"B": 2, "A": 1}, {"B": 2, "A": 1.5}], {}, [2, 1]),  # order alone
]


@pytest.mark.parametrize("quantities, splits, lengths", SPLIT_CASES)
def test_split_by_position(quantities, splits, lengths):
    days = [dt.date(2016, 3, 1 + i) for i in range(len(quantities))]
    series = [snapshot(d, {k: (q, 1.0) for k, q in h.items()}, cash=1.0)
              for d, h in zip(days, quantities)]
    md = Splits({days[i]: s for i, s in splits.items()})
    periods = calc.split_by_position(series, md)
    assert [len(p) for p in periods] == lengths
    assert [s for p in periods for s in p] == series
    assert all(a is b for a, b in zip((s for p in periods for s in p), series))
    # Asked for each later snapshot, with a live view of the holdings' keys.
    assert [d for _, d in md.asked] == days[1:]
    assert all(type(ids) is type({}.keys()) for ids, _ in md.asked)


def test_split_with_a_repeated_position():
    # Like the mapping it stands for: the last quantity of a repeated id counts.
    one = {"order_book_id": "A", "quantity": 1, "market_value": 1.0}
    two = {"order_book_id": "B", "quantity": 2, "market_value": 1.0}
    day = [{"date": D1, "positions": [one, two], "market_value": 2.0, "cash": 0.0},
           {"date": D2, "positions": [one, dict(one, quantity=5), two], "market_value": 2.0,
            "cash": 0.0},
           {"date": D3, "positions": [dict(one, quantity=5), one, two], "market_value": 2.0,
            "cash": 0.0}]
    assert [len(p) for p in calc.split_by_position(day, Splits())] == [1, 1, 1]
    assert [len(p) for p in calc.split_by_position([day[0], day[2]], Splits())] == [2]


def test_split_of_an_id_not_held_and_an_empty_series():
    series = [snapshot(D1, {"A": (1, 1.0)}), snapshot(D2, {"A": (1, 1.0)})]
    with pytest.raises(KeyError, match="B"):
        calc.split_by_position(series, Splits({D2: {"B": 2.0}}))
    with pytest.raises(IndexError):
        calc.split_by_position([], Splits())


# --------------------------------------------------------------- single periods

BANK, TRUST, OIL = "600100.XSHG", "600101.XSHG", "600102.XSHG"


def test_portfolio_single_period(market):
    period = [snapshot(D1, {BANK: (100, 30.0), TRUST: (100, 10.0), OIL: (100, 40.0),
                            "600519.XSHG": (0, 0.0)}, cash=20.0),
              snapshot(D2, {})]
    weight, ret = calc.calc_portfolio_single_period(period, cl.SectorDecider_MSCI)
    # BANK changes 0.01 then 0.02, TRUST 0.30 and is delisted on day 2 (no rate: counts
    # as no change), OIL 0.10 then 0. Both in 金融: weight 0.4, return
    # (0.3 x 0.0302 + 0.1 x 0.30) / 0.4. Sectors sorted, cash last.
    assert list(weight.index) == ["能源", "金融", CASH] == list(ret.index)
    assert weight.dtype == ret.dtype == np.float64
    assert weight.tolist() == pytest.approx([0.4, 0.4, 0.2], abs=1e-15)
    assert ret.tolist() == pytest.approx([0.10, (0.3 * 0.0302 + 0.1 * 0.30) / 0.4, 0.0],
                                         abs=1e-14)
    (request,) = market.calls_to("get_price_change_rate")
    assert (request.args, request.kwargs) == (
        ([BANK, TRUST, OIL],), {"start_date": D1, "end_date": D2})
    # The classifier once per instrument and grouping.
    assert [c.args[0] for c in market.calls_to("instruments")] == [BANK, TRUST, OIL] * 2


def test_cash_only_and_zero_weight_periods(market):
    sectors = Sectors(["A", "B"], {BANK: "A", OIL: "B"})
    weight, ret = calc.calc_portfolio_single_period([snapshot(D1, {}, cash=25.0,
                                                              market_value=100.0)], sectors)
    assert weight.to_dict() == {CASH: 0.25} and ret.to_dict() == {CASH: 0.0}
    assert ret.dtype == np.float64 and market.count() == 0 and sectors.calls == []
    # A held position worth nothing: its sector has return 0, not NaN (OIL: 0.10).
    weight, ret = calc.calc_portfolio_single_period(
        [snapshot(D1, {BANK: (10, 0.0), OIL: (10, 50.0)}, cash=50.0)], sectors)
    assert ret.to_dict() == {"A": 0.0, "B": pytest.approx(0.1), CASH: 0.0}


def test_zero_market_value_names_the_date(market):
    period = [snapshot(D1, {"000001.XSHE": (1, 0.0)}, market_value=0)]
    with pytest.raises(ValueError, match="2016-03-01.*market_value 0"):
        calc.calc_portfolio_single_period(period, cl.SectorDecider_MSCI)
    assert market.count() == 0


@pytest.mark.parametrize("missing", ["date", "positions", "market_value", "cash"])
def test_missing_snapshot_key(market, missing):
    s = snapshot(D1, {"000001.XSHE": (1, 1.0)}, cash=1.0)
    del s[missing]
    with pytest.raises(KeyError, match=missing):
        calc.calc_portfolio_single_period([s], cl.SectorDecider_MSCI)


# -------------------------------------------------------------------- linking

def test_combine_worked_examples():
    w = pd.Series({"A": 0.6, CASH: 0.4})
    r = pd.Series({"A": 0.1, CASH: 0.0})
    weight, ret = calc.combine([(5, (w, r))], [CASH, "A", "B"])
    assert weight.tolist() == [0.4, 0.6, 0.0] and ret.tolist() == [0.0, 0.1, 0.0]
    assert list(weight.index) == [CASH, "A", "B"]
    one = (pd.Series({"A": 1.0}), pd.Series({"A": 0.1}))
    weight, ret = calc.combine([(1, one), (3, one)], ["A"])
    assert weight["A"] == 1.0 and ret["A"] == pytest.approx(0.21, abs=1e-15)
    # A label outside the rows is dropped, its weight lost.
    weight, _ = calc.combine([(1, (pd.Series({"A": 0.5, "Z": 0.5}), pd.Series({"A": 0.0})))],
                             ["A"])
    assert weight.tolist() == [0.5]


def test_combine_against_pandas():
    rng = np.random.default_rng(3)
    sectors = [CASH, "A", "B", "C"]
    results = []
    for length in (3, 1, 5, 2):
        labels = list(rng.choice(["A", "B", "C", "D"], size=3, replace=False)) + [CASH]
        results.append((length, (pd.Series(rng.uniform(0, 1, 4), index=labels),
                                 pd.Series(rng.normal(0, 0.05, 4), index=labels))))
    for ours, theirs in zip(calc.combine(results, sectors), reference.combine(results, sectors)):
        pd.testing.assert_series_equal(ours, theirs, rtol=1e-14)


# ----------------------------------------------------------------- benchmark

def test_benchmark_runs_follow_constituent_changes(market):
    # 000905.XSHG changes its members on the third of these five days.
    days = market.default_reply("get_trading_dates", "2016-03-01", "2016-03-07")
    assert len(days) == 5 and days[2] == D3
    sectors = Sectors(["能源", "金融", "信息技术"],
                      {"000725.XSHE": "信息技术", "601857.XSHG": "能源", "000001.XSHE": "金融"})
    weight, ret = calc.calc_benchmark(bm.BrinsonBenchmark_ZZ500, days, sectors)
    assert [c.args[1] for c in market.calls_to("index_components")] == days
    assert [c.args[1] for c in market.calls_to("index_weights")] == [days[0], days[2]]
    assert [(c.kwargs["start_date"], c.kwargs["end_date"])
            for c in market.calls_to("get_price_change_rate")] == [
        (days[0], days[1]), (days[2], days[4])]
    # Twice per member of each run, in the order of the index's weights (by id).
    assert sectors.calls == ["000725.XSHE", "601857.XSHG"] * 2 + [
        "000001.XSHE", "000725.XSHE"] * 2
    # Weights: (2 x {IT 0.4, energy 0.6} + 3 x {IT 0.25, finance 0.75}) / 5.
    assert list(weight.index) == [CASH, "能源", "金融", "信息技术"]
    assert weight.tolist() == pytest.approx([0.0, 0.24, 0.45, 0.31], abs=1e-15)
    assert ret[CASH] == 0.0
    closes = market.default_reply("get_price", "000905.XSHG", days[0], days[-1],
                                  adjust_type="none")
    assert (weight * ret).sum() == pytest.approx(closes.iloc[-1] / closes.iloc[0] - 1,
                                                 abs=1e-15)
    theirs = reference.calc_benchmark(market, bm.BrinsonBenchmark_ZZ500, days, sectors)
    pd.testing.assert_series_equal(ret, theirs[1], rtol=1e-13)


def test_benchmark_returns_are_scaled_to_the_index_change(market):
    # 000010.XSHG holds A and B half and half, which change 0.06 and 0.02 on day 1 and
    # 0 on day 2: linked returns sum to 4 %, the index rose 5 %: every sector x 1.25.
    a, b = "600301.XSHG", "600302.XSHG"
    index = bm.IndexBenchmark("000010.XSHG")
    weight, ret = calc.calc_benchmark(index, [D1, D2], Sectors(["A", "B"], {a: "A", b: "B"}))
    assert ret.tolist() == pytest.approx([0.0, 0.075, 0.025], abs=1e-14)
    single = calc.calc_benchmark_single_period(index, Sectors(["B", "A"], {a: "B", b: "A"}),
                                               D1, D2)
    assert single[0].to_dict() == {"A": 0.5, "B": 0.5}
    assert single[1].to_dict() == pytest.approx({"A": 0.02, "B": 0.06})
    # Grouping keeps the name of the index's weights; the returns have none.
    assert (single[0].name, single[1].name) == ("weight", None)
    with pytest.raises(IndexError):
        calc.calc_benchmark(bm.BrinsonBenchmark_ZZ500, [], Sectors([], {}))


# ------------------------------------------------------------------ the table

TEXTBOOK = {  # id: (sector, weight, return); R_p = 0.039, R_b = 0.030
    "600201.XSHG": ("A", 0.5, 0.10), "600202.XSHG": ("B", 0.3, -0.05),
    "600203.XSHG": ("C", 0.2, 0.02),  # held
    "600211.XSHG": ("A", 0.4, 0.08), "600212.XSHG": ("B", 0.4, -0.02),
    "600213.XSHG": ("C", 0.2, 0.03),  # 000016.XSHG's members
}
P1 = "600201.XSHG"
TEXTBOOK_INDEX = bm.IndexBenchmark("000016.XSHG")
EFFECTS = {  # per row cash, A, B, C, total: worked out by hand
    "BHB": {"Allocation": [0, 0.008, 0.002, 0, 0.010],
            "Selection": [0, 0.008, -0.012, -0.002, -0.006],
            "Interaction": [0, 0.002, 0.003, 0, 0.005],
            "TotalActiveReturn": [0, 0.018, -0.007, -0.002, 0.009]},
    "BF": {"Allocation": [0, 0.005, 0.005, 0, 0.010],
           "Selection": [0, 0.008, -0.012, -0.002, -0.006],
           "Interaction": [0, 0.002, 0.003, 0, 0.005],
           "TotalActiveReturn": [0, 0.015, -0.004, -0.002, 0.009]},
}


@pytest.fixture
def textbook(market):
    """Two snapshots whose value change (3.9 %) and index change (3 %) equal the
    market's returns (0 on day 1, the table's on day 2), so nothing is rescaled."""
    held = {k: (100, 1000 * w) for k, (_, w, _) in list(TEXTBOOK.items())[:3]}
    series = [snapshot(D1, held), snapshot(D2, held, market_value=1039.0)]
    return series, Sectors(["A", "B", "C"], {k: s for k, (s, _, _) in TEXTBOOK.items()})


@pytest.mark.parametrize("method", ["BHB", "BF"])
def test_textbook_attribution(market, textbook, method):
    series, sectors = textbook
    table = calc.calc(series, TEXTBOOK_INDEX, sectors, D1, D2, Splits(), method)
    assert list(table.index) == [CASH, "A", "B", "C", TOTAL]
    assert list(table.columns) == reference.COLUMNS
    assert (table.dtypes == np.float64).all()
    expected = {"PortfolioWeight": [0, 0.5, 0.3, 0.2, 1], "BenchmarkWeight": [0, 0.4, 0.4, 0.2, 1],
                "WeightDifference": [0, 0.1, -0.1, 0, 0],
                "PortfolioReturn": [0, 0.10, -0.05, 0.02, 0.039],
                "BenchmarkReturn": [0, 0.08, -0.02, 0.03, 0.030],
                "ReturnDifference": [0, 0.02, -0.03, -0.01, 0.009], **EFFECTS[method]}
    for column, values in expected.items():
        assert table[column].tolist() == pytest.approx(values, abs=1e-12), column
    assert table.loc[TOTAL, "WeightDifference"] == 0.0
    # One change-rate request for the period, one for the benchmark run; two classifier
    # calls per instrument; the sector list asked by the table and by the benchmark.
    assert market.count("get_price_change_rate") == 2
    assert sorted(sectors.calls) == sorted(list(TEXTBOOK) * 2) and sectors.listed == 2


def test_cash_and_effects_identity_with_rescaling(market):
    # Over the split of 600519.XSHG, its dividend and a change of 000300.XSHG's members.
    days = market.default_reply("get_trading_dates", "2017-05-20", "2017-07-31")
    ids = ["000001.XSHE", "600519.XSHG", "601857.XSHG"]
    series, quantity = [], dict.fromkeys(ids, 1000.0)
    for k, d in enumerate(days):
        if d == dt.date(2017, 7, 13):
            quantity["600519.XSHG"] *= 1.5
        if k % 7 == 3:
            quantity["000001.XSHE"] += 100
        closes = market.default_reply("get_price", ids, d, d, adjust_type="none")
        series.append(snapshot(d, {i: (quantity[i], quantity[i] * closes[i].iloc[0])
                                   for i in ids}, cash=5000.0))
    def requests_and_result(function, *args):
        for f in (bm.index_components, bm.index_weights, bm.get_change_rate):
            f.cache_clear()
        market.reset_calls()
        result = function(*args, bm.BrinsonBenchmark_HS300, cl.SectorDecider_ShenWan,
                          days[0], days[-1], CachedMarketDataProvider(), method)
        return [(c.name, c.args, c.kwargs) for c in market.calls], result

    for method in ("BHB", "other"):
        # The same requests, in the same order, as the plain pandas rendering.
        ours, table = requests_and_result(calc.calc, series)
        theirs, expected = requests_and_result(reference.calc, market, series)
        # First each held id's instrument type (an index cannot be held), then the
        # requests of the plain pandas rendering, in the same order.
        assert ours[:3] == [("instruments", (oid,), {}) for oid in ids]
        assert ours[3:] == theirs
        pd.testing.assert_frame_equal(table, expected, rtol=1e-12, atol=1e-15)
        effects = table[["Allocation", "Selection", "Interaction"]].sum(axis=1)
        np.testing.assert_allclose(effects, table["TotalActiveReturn"], atol=1e-15)
        assert table.loc[TOTAL, "PortfolioReturn"] == pytest.approx(
            series[-1]["market_value"] / series[0]["market_value"] - 1, abs=1e-14)
        index = market.default_reply("get_price", "000300.XSHG", days[0], days[-1],
                                     adjust_type="none")
        assert table.loc[TOTAL, "BenchmarkReturn"] == pytest.approx(
            index.iloc[-1] / index.iloc[0] - 1, abs=1e-14)
        cash = table.loc[CASH]
        assert (cash["BenchmarkWeight"], cash["PortfolioReturn"], cash["BenchmarkReturn"]) == (0, 0, 0)
        r_b = table.loc[TOTAL, "BenchmarkReturn"]
        if method == "BHB":
            assert cash[["Allocation", "Selection", "Interaction"]].tolist() == [0, 0, 0]
        else:
            assert cash["Allocation"] == pytest.approx(-cash["PortfolioWeight"] * r_b)
        # Sectors neither side holds are rows of zeros.
        assert (table.loc["传媒"] == 0).all()


def test_range_bounds_compare_as_calendar_days(market, textbook):
    series, sectors = textbook
    outside = [snapshot(dt.date(2016, 2, 29), {P1: (1, 5.0)}),
               snapshot(dt.date(2016, 3, 4), {P1: (1, 5.0)})]
    full = [outside[0]] + series + [outside[1]]
    table = calc.calc(full, TEXTBOOK_INDEX, sectors,
                      pd.Timestamp(D1), dt.datetime(2016, 3, 2, 15, 0), Splits(), "BHB")
    assert table.loc[TOTAL, "TotalActiveReturn"] == pytest.approx(0.009, abs=1e-12)
    with pytest.raises(IndexError):
        calc.calc(full, TEXTBOOK_INDEX, sectors, "2017-01-01", "2017-02-01",
                  Splits(), "BHB")


def test_msci_rows(market):
    series = [snapshot(D1, {"000001.XSHE": (100, 10.0)}, cash=1.0),
              snapshot(D2, {"000001.XSHE": (100, 11.0)}, cash=1.0)]
    table = calc.calc(series, bm.BrinsonBenchmark_HS300, cl.SectorDecider_MSCI, D1, D2,
                      CachedMarketDataProvider(), "BHB")
    assert list(table.index) == [CASH, "能源", "原材料", "非必需消费品", "必需消费品", "医疗保健",
                                 "金融", "信息技术", "电信服务", "公共服务", "工业", TOTAL]


@pytest.mark.sample
def test_calc_on_the_sample_market():
    import tickvane
    from meridan.pcalc.replay import replay
    from meridan.pcalc.trade import Trade

    start, end = "2023-03-01", "2023-05-31"
    stocks = tickvane.index_components("000300.XSHG", start)[:8]
    closes = tickvane.get_price(stocks, start, end, adjust_type="none")
    trades = [Trade(datetime=pd.Timestamp(f"{day.date()} 10:00"), order_book_id=oid,
                    symbol=oid, last_price=closes[oid].loc[day], last_quantity=1000,
                    side="BUY", transaction_cost=5.0)
              for k, oid in enumerate(stocks) for day in closes.index[k::20][:2]
              if closes[oid].loc[day] == closes[oid].loc[day]]
    series = replay(trades, start, end, cash=1e6, skip_untradable=True).portfolio_series
    for method in ("BHB", "BF"):
        table = calc.calc(series, bm.BrinsonBenchmark_HS300, cl.SectorDecider_ShenWan,
                          start, end, CachedMarketDataProvider(), method)
        assert list(table.index) == [CASH] + cl.SectorDecider_ShenWan.all_sectors() + [TOTAL]
        effects = table[["Allocation", "Selection", "Interaction"]].sum(axis=1)
        np.testing.assert_allclose(effects, table["TotalActiveReturn"], atol=1e-14)
        total = table.loc[TOTAL]
        assert total["PortfolioWeight"] == pytest.approx(1) == total["BenchmarkWeight"]
        assert total["PortfolioReturn"] == pytest.approx(
            series[-1]["market_value"] / series[0]["market_value"] - 1, abs=1e-12)
        index = tickvane.get_price("000300.XSHG", series[0]["date"], series[-1]["date"],
                                   adjust_type="none")
        assert total["BenchmarkReturn"] == pytest.approx(index.iloc[-1] / index.iloc[0] - 1,
                                                         abs=1e-12)
