"""Multi-period attribution (meridan.brinson.attribute): effects that add up under every
linking, unheld sectors measured at the benchmark's return, periods cut at flows with
their returns from the unit value, and the refusals of its arguments; over the
"brinson" market of tests/support/markets_brinson.py and the sample market."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import meridan.brinson
from meridan.brinson import attribution, calc
from meridan.brinson import benchmark as bm
from meridan.brinson import classifier as cl
from meridan.quotes import CachedMarketDataProvider

CASH, TOTAL = "现金", "总计"
D1, D2 = dt.date(2016, 3, 1), dt.date(2016, 3, 2)
LINKINGS = ["carino", "menchero", "grap", "frongello", "scaled"]
INDEX = bm.IndexBenchmark("000016.XSHG")  # 0.4 A +8 %, 0.4 B -2 %, 0.2 C +3 % on D2
SECTOR = {"600201.XSHG": "A", "600202.XSHG": "B", "600203.XSHG": "C",  # +10, -5, +2 %
          "600211.XSHG": "A", "600212.XSHG": "B", "600213.XSHG": "C"}
EFFECTS = ["Allocation", "Selection", "Interaction"]

pytestmark = pytest.mark.market("brinson")


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
    def __init__(self, sectors=("A", "B", "C", "D")):
        self.sectors = list(sectors)

    def all_sectors(self):
        return list(self.sectors)

    def __call__(self, order_book_id):
        return SECTOR[order_book_id]


class NoSplits:
    def get_split_coefficient(self, order_book_ids, date):
        return {}


def snapshot(date, values, cash=0.0):
    """values: {id: market value}, 100 shares each."""
    return {"date": date, "cash": cash, "market_value": sum(values.values()) + cash,
            "positions": [{"order_book_id": k, "quantity": 100, "market_value": v}
                          for k, v in values.items()]}


def attribute(series, *args, **kwargs):
    return meridan.brinson.attribute(series, INDEX, Sectors(), D1, D2, NoSplits(),
                                     *args, **kwargs)


def assert_adds_up(result):
    table = result.table
    total = table.loc[TOTAL]
    assert table[EFFECTS].drop(TOTAL).to_numpy().sum() == pytest.approx(
        total["PortfolioReturn"] - total["BenchmarkReturn"], abs=1e-14)
    np.testing.assert_allclose(table[EFFECTS].sum(axis=1), table["TotalActiveReturn"],
                               atol=1e-15)


@pytest.mark.parametrize("linking", LINKINGS)
@pytest.mark.parametrize("method", ["BHB", "BF"])
def test_one_period_is_the_textbook_under_every_linking(market, method, linking):
    # One period in which nothing is rescaled: every linking keeps its effects. The
    # portfolio holds A 0.6 at +10 % and B 0.4 at -5 % (R 4 %), C not at all; the index
    # 0.4 A +8 %, 0.4 B -2 %, 0.2 C +3 % (B 3 %).
    series = [snapshot(D1, {"600201.XSHG": 600, "600202.XSHG": 400}),
              snapshot(D2, {"600201.XSHG": 660, "600202.XSHG": 380})]
    result = attribute(series, method, linking)
    assert result._fields == ("table", "periods", "holdings")
    table = result.table
    assert list(table.index) == [CASH, "A", "B", "C", "D", TOTAL]
    assert (table.dtypes == np.float64).all()
    # BHB: A (0.2)(0.08), 0.4 (0.02), 0.2 (0.02); B selection 0.4 (-0.03);
    # C: allocation (-0.2)(0.03) and, measured at the index's 3 %, no selection.
    # BF allocation: (0.2)(0.08 - 0.03) for A, (-0.2)(0.03 - 0.03) for C.
    allocation = {"BHB": [0, 0.016, 0, -0.006, 0], "BF": [0, 0.010, 0, 0, 0]}[method]
    expected = {"PortfolioReturn": [0, 0.10, -0.05, 0.03, 0, 0.04],
                "BenchmarkReturn": [0, 0.08, -0.02, 0.03, 0, 0.03],
                "Allocation": allocation + [sum(allocation)],
                "Selection": [0, 0.008, -0.012, 0, 0, -0.004],
                "Interaction": [0, 0.004, 0, 0, 0, 0.004]}
    for column, values in expected.items():
        assert table[column].tolist() == pytest.approx(values, abs=1e-14), column
    assert_adds_up(result)
    periods = result.periods
    assert periods.index.names == ["start", "sector"]
    assert list(periods.index) == [(pd.Timestamp(D1), s) for s in [CASH, "A", "B", "C", "D"]]
    assert periods.loc[(pd.Timestamp(D1), "C"), "PortfolioReturn"] == pytest.approx(0.03)
    holdings = result.holdings
    assert list(holdings.index) == ["600201.XSHG", "600202.XSHG"]
    assert holdings.index.name == "order_book_id"
    # 0.6 x 10 % and 0.4 x -5 %; actively (0.6 - 0)(0.10 - 0.03), (0.4 - 0)(-0.05 - 0.03).
    assert holdings["contribution"].tolist() == pytest.approx([0.06, -0.02], abs=1e-14)
    assert holdings["active_contribution"].tolist() == pytest.approx([0.042, -0.032],
                                                                     abs=1e-14)


def test_calc_keeps_its_reading_of_an_unheld_sector(market):
    series = [snapshot(D1, {"600201.XSHG": 600, "600202.XSHG": 400}),
              snapshot(D2, {"600201.XSHG": 660, "600202.XSHG": 380})]
    old = calc.calc(series, INDEX, Sectors(), D1, D2, NoSplits(), "BHB")
    assert old.loc["C", ["Selection", "Interaction"]].tolist() == pytest.approx([-0.006, 0.006])
    new = attribute(series).table
    assert new.loc["C", ["Selection", "Interaction"]].tolist() == [0, 0]
    assert new.loc[TOTAL, "TotalActiveReturn"] == pytest.approx(
        old.loc[TOTAL, "TotalActiveReturn"], abs=1e-15)


def test_a_deposit_cuts_a_period_and_is_not_return(market):
    # 100 paid in on D2 and kept in cash: it buys units at D1's unit value (1.0), so
    # the return is 1139 / 1100 - 1, not the 13.9 % the value grew by.
    held = {"600201.XSHG": 500, "600202.XSHG": 300, "600203.XSHG": 200}
    moved = {"600201.XSHG": 550, "600202.XSHG": 285, "600203.XSHG": 204}
    series = [snapshot(D1, held), snapshot(D2, moved, cash=100.0)]
    flows = pd.Series([100.0], index=pd.DatetimeIndex([D2]))
    for linking in LINKINGS:
        result = attribute(series, linking=linking, flows=flows)
        total = result.table.loc[TOTAL]
        assert total["PortfolioReturn"] == pytest.approx(1139 / 1100 - 1, abs=1e-14)
        assert total["BenchmarkReturn"] == pytest.approx(0.03, abs=1e-14)
        assert_adds_up(result)
        starts = result.periods.index.get_level_values("start").unique()
        assert list(starts) == [pd.Timestamp(D1), pd.Timestamp(D2)]
    plain = attribute(series).table.loc[TOTAL, "PortfolioReturn"]
    assert plain == pytest.approx(0.139, abs=1e-14)
    # A flow outside the range is not the range's.
    outside = pd.Series([5.0], index=pd.DatetimeIndex([dt.date(2016, 3, 7)]))
    assert attribute(series, flows=outside).table.loc[TOTAL, "PortfolioReturn"] == plain


D3 = dt.date(2016, 3, 3)
SERIES = [snapshot(D1, {"600201.XSHG": 600}), snapshot(D3, {"600201.XSHG": 660})]
REFUSED = [
    # (args after the series, kwargs, error, message)
    ((INDEX, Sectors(), D1, D2), {}, TypeError,
     "attribute() takes at least 6 positional arguments (5 given)"),
    ((INDEX, Sectors(), D1, D2, NoSplits(), "BHB", "grap", None, 1), {}, TypeError,
     "attribute() takes at most 9 positional arguments (10 given)"),
    ((INDEX, Sectors(), D1, D2, NoSplits()), {"linkage": "grap"}, TypeError,
     "attribute() got an unexpected keyword argument 'linkage'"),
    ((INDEX, Sectors(), D1, D2, NoSplits(), "BHB"), {"method": "BF"}, TypeError,
     "attribute() got multiple values for keyword argument 'method'"),
    ((INDEX, Sectors(), D1, D2, NoSplits(), "bhb"), {}, ValueError,
     "method must be \"BHB\" (Brinson-Hood-Beebower) or \"BF\" (Brinson-Fachler), got 'bhb'"),
    ((INDEX, Sectors(), D1, D2, NoSplits()), {"linking": "Carino"}, ValueError,
     "linking must be one of \"carino\", \"menchero\", \"grap\", \"frongello\", \"scaled\", "
     "got 'Carino'"),
    ((INDEX, Sectors(), D1, D2, NoSplits()), {"flows": {D2: 1.0}}, TypeError,
     "flows must be a pandas Series of flows by date or None, got dict"),
    ((INDEX, Sectors(), D1, D3, NoSplits()),
     {"flows": pd.Series([1.0], index=pd.DatetimeIndex([D2]))}, ValueError,
     "flows has the flow 1.0 on 2016-03-02, a date with no snapshot in portfolio_series"),
    ((INDEX, Sectors(), D1, D2, NoSplits()),
     {"flows": pd.Series([np.nan], index=pd.DatetimeIndex([D1]))}, ValueError,
     "flows has the flow nan on 2016-03-01: it must be a finite number"),
    (("000016.XSHG", Sectors(), D1, D2, NoSplits()), {}, TypeError,
     "benchmark must be a benchmark object"),
    ((INDEX, Sectors(), D2, D1, NoSplits()), {}, ValueError,
     "start_date 2016-03-02 is after end_date 2016-03-01"),
]


@pytest.mark.parametrize("args, kwargs, error, message", REFUSED)
def test_refused_arguments(market, args, kwargs, error, message):
    with pytest.raises(error) as raised:
        meridan.brinson.attribute(SERIES, *args, **kwargs)
    assert str(raised.value).startswith(message)
    assert market.count() == 0


def test_signature_and_export():
    assert meridan.brinson.attribute is attribution.attribute
    assert "attribute" in dir(meridan.brinson)
    assert str(__import__("inspect").signature(attribution.attribute)) == (
        "(portfolio_series, benchmark, classifier, start_date, end_date, md, "
        "method='BHB', linking='carino', flows=None)")


def sample_series(start, end, stocks, first, every, buys):
    """The replayed series of buying 1,000 shares of each of the first `stocks`
    constituents of the CSI 300 on the sample market `buys` times, `every` trading days
    from day `first` + k for the k-th stock (at the day's close)."""
    import tickvane
    from meridan.pcalc.replay import replay
    from meridan.pcalc.trade import Trade

    ids = tickvane.index_components("000300.XSHG", start)[:stocks]
    closes = tickvane.get_price(ids, start, end, adjust_type="none")
    trades = [Trade(datetime=pd.Timestamp(f"{day.date()} 10:00"), order_book_id=oid,
                    symbol=oid, last_price=closes[oid].loc[day], last_quantity=1000,
                    side="BUY", transaction_cost=5.0)
              for k, oid in enumerate(ids)
              for day in closes.index[first(k)::every][:buys]
              if closes[oid].loc[day] == closes[oid].loc[day]]
    return ids, replay(trades, start, end, cash=1e6, skip_untradable=True).portfolio_series


@pytest.mark.sample
def test_attribute_on_the_sample_market():
    start, end = "2023-03-01", "2023-04-28"
    stocks, series = sample_series(start, end, 6, lambda k: k, 15, 2)
    args = (bm.BrinsonBenchmark_HS300, cl.SectorDecider_ShenWan, start, end,
            CachedMarketDataProvider())
    old = calc.calc(series, *args, "BHB").loc[TOTAL]
    for linking in LINKINGS:
        result = meridan.brinson.attribute(series, *args, linking=linking)
        assert_adds_up(result)
        total = result.table.loc[TOTAL]
        # Without flows the totals are calc's compounding of the same days.
        assert total["PortfolioReturn"] == pytest.approx(old["PortfolioReturn"], abs=1e-12)
        assert total["BenchmarkReturn"] == pytest.approx(old["BenchmarkReturn"], abs=1e-12)
        # Sectors never held, and every unheld sector of a period: no selection.
        unheld = result.table[result.table["PortfolioWeight"] == 0]
        assert len(unheld) > 0 and (unheld[["Selection", "Interaction"]] == 0).all().all()
        periods = result.periods
        unheld = periods[periods["PortfolioWeight"] == 0]
        assert (unheld[["Selection", "Interaction"]] == 0).all().all()
        assert set(result.holdings.index) == set(stocks) & {
            p["order_book_id"] for s in series for p in s["positions"] if p["quantity"] > 0}
        # The holdings' contributions add up to the portfolio's return.
        assert result.holdings["contribution"].sum() == pytest.approx(
            total["PortfolioReturn"], abs=1e-12)


@pytest.mark.sample
def test_one_change_rate_request_for_the_holdings_and_one_per_constituent_run(
        monkeypatch):
    # The rates are asked once over the range (and once per run of the index's
    # constituents), each period compounding its own days of them: a period read off
    # by a day would change its return, which the direct requests of a client that
    # answers only one period at a time (its table has none of the ids) must match.
    import tickvane

    start, end = "2023-05-15", "2023-07-14"   # the index's constituents change on 06-12
    _, series = sample_series(start, end, 4, lambda k: 3 + 7 * k, 9, 3)
    days = [s["date"] for s in series]
    runs = 1 + sum(set(tickvane.index_components("000300.XSHG", a))
                   != set(tickvane.index_components("000300.XSHG", b))
                   for a, b in zip(days, days[1:]))
    real = tickvane.get_price_change_rate
    spans = []

    def counted(ids, start_date, end_date):
        spans.append((start_date, end_date))
        return real(ids, start_date, end_date)

    def per_period(ids, start_date, end_date):
        asked.append(start_date)
        reply = real(ids, start_date, end_date)
        # A reply over the whole range without its columns: every period asks anew.
        whole = (pd.Timestamp(start_date), pd.Timestamp(end_date)) in wide
        return reply.iloc[:, :0] if whole and reply is not None else reply

    args = (bm.BrinsonBenchmark_HS300, cl.SectorDecider_ShenWan, start, end,
            CachedMarketDataProvider())
    monkeypatch.setattr(tickvane, "get_price_change_rate", counted)
    found = meridan.brinson.attribute(series, *args)
    assert runs == 2 and len(spans) == 1 + runs
    wide = {(pd.Timestamp(a), pd.Timestamp(b)) for a, b in spans}
    asked = []
    monkeypatch.setattr(tickvane, "get_price_change_rate", per_period)
    for f in (bm.index_components, bm.index_weights, bm.get_change_rate):
        f.cache_clear()
    again = meridan.brinson.attribute(series, *args)
    assert len(asked) > 2 * len(spans)
    for mine, theirs in zip(found, again):
        pd.testing.assert_frame_equal(mine, theirs, check_exact=True)
