"""Inputs the analyses and the replay refuse, one table over all of them: each row is a
mistake a user can make, the exception it raises and a fragment of its message, which
names the argument and the value. Refusals that need no market data come before any
request."""

import datetime as dt
import math

import numpy as np
import pandas as pd
import pytest

import meridan.exposure as ex
import meridan.profit as profit
import meridan.risk as risk
import meridan.style as style
from meridan.brinson import benchmark as bm
from meridan.brinson import calc
from meridan.brinson import classifier as cl
from meridan.pcalc.replay import replay
from meridan.pcalc.trade import Trade
from meridan.quotes import CachedMarketDataProvider

BANK, INDEX = "000001.XSHE", "000300.XSHG"
DAYS = pd.bdate_range("2016-03-01", "2016-06-30")
D = [d.date() for d in DAYS[:5]]  # 2016-03-01 .. 2016-03-07
EMPTY = "empty"  # a ValueError that is also the IndexError callers have caught

# The "pcalc" market (tests/support/markets_pcalc.py): the "years" market with the
# industry index 801010.INDX, a yield curve, factor returns and exposures.
pytestmark = pytest.mark.market("pcalc")


@pytest.fixture(autouse=True)
def empty_memo():
    for f in (bm.index_components, bm.index_weights, bm.get_change_rate):
        f.cache_clear()


def values(changes=None, index=DAYS):
    """A rising value series, with some values replaced: {position: value}."""
    s = pd.Series(np.linspace(100.0, 120.0, len(index)), index=index)
    for i, v in (changes or {}).items():
        s.iloc[i] = v
    return s


def snap(day, qty=100, value=1000.0, cash=0.0, oid=BANK, total=None):
    return {"date": day, "cash": cash,
            "positions": [{"order_book_id": oid, "quantity": qty, "market_value": value}],
            "market_value": value + cash if total is None else total}


def week(**first):
    """Five snapshots; keyword arguments change the first one."""
    return [snap(D[0], **first)] + [snap(d) for d in D[1:]]


def attribution(series, benchmark=bm.BrinsonBenchmark_HS300, start=D[0], end=D[-1]):
    return calc.calc(series, benchmark, cl.SectorDecider_ShenWan, start, end,
                     CachedMarketDataProvider(), "BHB")


def exposure(series, benchmark=bm.BrinsonBenchmark_HS300, start=D[0], end=D[-1],
             analysis=ex.exposure_analysis):
    return analysis(series, benchmark, start, end)


def trade(oid, when="2016-03-02 10:00"):
    return Trade(datetime=pd.Timestamp(when), order_book_id=oid, symbol=oid,
                 last_price=10.0, last_quantity=100, side="BUY", transaction_cost=0.0)


def repeated():
    """A value series whose third date appears twice."""
    v = values()
    return pd.concat([v.iloc[:3], v.iloc[2:]])


VALUE_ANALYSES = {
    "risk": lambda s: risk.risk_analysis(s, INDEX),
    "profit": lambda s: profit.profit_analysis(s, INDEX),
    "style": style.style_analysis,
}

VALUE_SERIES_CASES = [
    # (series, error, message fragment)
    (pd.Series([], dtype=float, index=pd.DatetimeIndex([])), EMPTY,
     "portfolio_series is empty: it has no first date"),
    (pd.Series([], dtype=float), EMPTY, "portfolio_series is empty"),
    (values({2: math.nan}), ValueError, "portfolio_series has the value nan on 2016-03-03"),
    (values({4: math.inf}), ValueError, "has the value inf on 2016-03-07"),
    (values({0: 0.0}), ValueError, "has the value 0.0 on 2016-03-01: every value must be"),
    (values({3: -1.0}), ValueError, "has the value -1.0 on 2016-03-04"),
    (values()[::-1], ValueError,
     "portfolio_series dates must be in ascending order: 2016-06-29 follows 2016-06-30"),
    (values(index=[int(d.strftime("%Y%m%d")) for d in DAYS]), TypeError,
     "portfolio_series must be indexed by dates, but its label 0 is the number 20160301"),
    (pd.Series([1.0, 2.0]), TypeError, "its label 0 is the number 0"),
    (values(index=["2016-03-01", "next day"] + list(DAYS[2:])), TypeError,
     "its label 1 is the text 'next day'"),
    ([100.0, 101.0], TypeError, "portfolio_series must be a pandas Series of values by "
                                "date, got list"),
    (values().to_frame(), TypeError, "got DataFrame"),
]

CASES = [
    (f"{name}: {i}", analyse, (series,), error, message, 0)
    for name, analyse in VALUE_ANALYSES.items()
    for i, (series, error, message) in enumerate(VALUE_SERIES_CASES)
] + [
    # (id, function, arguments, error, message fragment, requests made; None: any)
    ("risk: benchmark object", risk.risk_analysis, (values(), bm.BrinsonBenchmark_HS300),
     TypeError, "benchmark must be the order book id of an index", 0),
    ("profit: benchmark object", profit.profit_analysis,
     (values(), bm.BrinsonBenchmark_HS300), TypeError, "text such as '000300.XSHG') or None", 0),
    ("profit: benchmark_series", profit.profit_analysis, (values(), None, values({1: 0.0})),
     ValueError, "benchmark_series has the value 0.0 on 2016-03-02", 0),
    # Aligned by date, a series must hold each date once (risk takes the changes as
    # they come).
    ("profit: repeated date", profit.profit_analysis, (repeated(), INDEX), ValueError,
     "portfolio_series has the date 2016-03-03 twice: each date must appear once", 0),
    ("profit: benchmark repeated", profit.profit_analysis, (values(), None, repeated()),
     ValueError, "benchmark_series has the date 2016-03-03 twice", 0),
    ("style: repeated date", style.style_analysis, (repeated(),), ValueError,
     "portfolio_series has the date 2016-03-03 twice", 0),

    # The attribution.
    ("calc: empty list", attribution, ([],), EMPTY, "portfolio_series is empty: it has no "
                                                    "snapshot", 0),
    ("calc: start after end", attribution, (week(), bm.BrinsonBenchmark_HS300, D[-1], D[0]),
     ValueError, "start_date 2016-03-07 is after end_date 2016-03-01", 0),
    ("calc: no snapshot in range", attribution,
     (week(), bm.BrinsonBenchmark_HS300, "2017-01-02", dt.date(2017, 1, 31)), EMPTY,
     "no snapshot of portfolio_series lies from start_date 2017-01-02 to end_date "
     "2017-01-31 (its snapshots run from 2016-03-01 to 2016-03-07)", 0),
    ("calc: newest first", attribution, (week()[::-1],), ValueError,
     "portfolio_series must be in ascending date order, but portfolio_series[1] "
     "(2016-03-04) follows portfolio_series[0] (2016-03-07)", 0),
    ("calc: integer bound", attribution, (week(), bm.BrinsonBenchmark_HS300, 20160301),
     TypeError, "start_date must be a date, got the number 20160301", 0),
    ("calc: integer snapshot date", attribution, ([snap(20160301)],), TypeError,
     'portfolio_series[0]["date"] must be a date, got the number 20160301', 0),
    ("calc: benchmark id", attribution, (week(), INDEX), TypeError,
     "not the order book id '000300.XSHG': use meridan.brinson.benchmark."
     "IndexBenchmark('000300.XSHG')", 0),
    ("calc: table of snapshots", attribution, (pd.DataFrame(week()),), TypeError,
     "portfolio_series must be a list of snapshot dicts in date order, got DataFrame", 0),
    ("calc: NaN quantity", attribution, (week(qty=math.nan),), ValueError,
     "the snapshot of 2016-03-01: '000001.XSHE' quantity nan is not a finite number", 0),
    ("calc: negative quantity", attribution, (week(qty=-100),), ValueError,
     "'000001.XSHE' quantity -100 is negative", 0),
    ("calc: NaN market value", attribution, (week(total=math.nan),), ValueError,
     "the snapshot of 2016-03-01: market_value nan is not a finite number", 0),
    ("calc: infinite cash", attribution, (week(cash=-math.inf, total=1000.0),), ValueError,
     "the snapshot of 2016-03-01: cash -inf is not a finite number", 0),
    ("calc: negative position value", attribution, (week(value=-5.0, total=10.0),),
     ValueError, "'000001.XSHE' market_value -5.0 is negative", 0),
    ("calc: last snapshot worth 0", attribution, (week()[:4] + [snap(D[4], total=0.0)],),
     ValueError, "the snapshot of 2016-03-07 (the last of the range): market_value 0.0 is "
                 "not above 0", 0),
    ("calc: an index held", attribution,
     ([snap(d, oid="801010.INDX") for d in D],), ValueError,
     "the snapshot of 2016-03-01 holds '801010.INDX', an index (instrument type INDX)", 1),
    ("split_by_position: empty", calc.split_by_position, ([], CachedMarketDataProvider()),
     EMPTY, "portfolio_series is empty", 0),
    ("split_by_position: infinite quantity", calc.split_by_position,
     (week(qty=math.inf), CachedMarketDataProvider()), ValueError,
     "the snapshot of 2016-03-01: '000001.XSHE' quantity inf is not a finite number", 0),
    ("calc_portfolio_single_period: negative quantity", calc.calc_portfolio_single_period,
     ([snap(D[0]), snap(D[1], qty=-1)], cl.SectorDecider_ShenWan), ValueError,
     "the snapshot of 2016-03-02: '000001.XSHE' quantity -1 is negative", 0),
    ("calc_portfolio_single_period: empty", calc.calc_portfolio_single_period,
     ([], cl.SectorDecider_ShenWan), EMPTY, "portfolio is empty", 0),
    ("calc_benchmark: no dates", calc.calc_benchmark,
     (bm.BrinsonBenchmark_HS300, [], cl.SectorDecider_ShenWan), EMPTY, "dates is empty", 0),

    # The exposure analyses.
    ("exposure: start after end", exposure, (week(), bm.BrinsonBenchmark_HS300, D[1], D[0]),
     ValueError, "start_date 2016-03-02 is after end_date 2016-03-01", 0),
    ("exposure_1: integer bound", exposure,
     (week(), bm.BrinsonBenchmark_HS300, D[0], 20160307, ex.exposure_analysis_1), TypeError,
     "end_date must be a date, got the number 20160307", 0),
    ("exposure: benchmark id", exposure, (week(), INDEX), TypeError,
     "benchmark must be a benchmark object with get_weighting()", 0),
    ("exposure: no benchmark", exposure, (week(), None), TypeError,
     "got None (NoneType)", 0),
    ("exposure: a list of positions", exposure, ("2016-03-01",), TypeError,
     "portfolio_series must be a list of snapshot dicts in date order, got str", 0),
    ("exposure: NaN cash", exposure, (week(cash=math.nan, total=1.0),), ValueError,
     "the snapshot of 2016-03-01: cash nan is not a finite number", 0),
    ("exposure_1: negative position value", exposure,
     (week(value=-1.0, total=5.0), bm.BrinsonBenchmark_HS300, D[0], D[-1],
      ex.exposure_analysis_1), ValueError, "'000001.XSHE' market_value -1.0 is negative", 0),
    ("exposure: last snapshot worth less than 0", exposure,
     (week()[:4] + [snap(D[4], total=-3.0)],), ValueError,
     "the snapshot of 2016-03-07 (the last of the range): market_value -3.0", 0),
    ("exposure: an index held", exposure, ([snap(d, oid=INDEX) for d in D],), ValueError,
     "the snapshot of 2016-03-07 holds '000300.XSHG', an index", None),
    ("single: an index held", ex.single_exposure_analysis, (snap(D[0], oid=INDEX), None, D[0]),
     ValueError, "the snapshot of 2016-03-01 holds '000300.XSHG'", None),
    ("single: benchmark id", ex.single_exposure_analysis, (snap(D[0]), INDEX, D[0]),
     TypeError, "not the order book id '000300.XSHG'", 0),
    ("single: integer date", ex.single_exposure_analysis, (snap(D[0]), None, 20160301),
     TypeError, "date must be a date, got the number 20160301", 0),
    ("single: worth nothing", ex.single_exposure_analysis, (snap(D[0], total=0.0), None, D[0]),
     ValueError, "the snapshot of 2016-03-01: market_value 0.0 is not above 0", 0),
    ("single: infinite value", ex.single_exposure_analysis,
     (snap(D[0], value=math.inf), None, D[0]), ValueError,
     "the snapshot of 2016-03-01: market_value inf is not a finite number", 0),

    # The replay.
    ("replay: positions as a list", replay, ([], D[0], D[-1], None, 1e5, [BANK]), TypeError,
     "positions must be a mapping of order book id to shares", 0),
    ("replay: trades as a table", replay, (pd.DataFrame({"order_book_id": [BANK]}), D[0], D[-1]),
     TypeError, "trades must be a list of Trade records, got DataFrame: build the records "
                "with meridan.pcalc.preprocess.fix_trades(table)", 0),
    ("replay: trades as dicts", replay, ([{"order_book_id": BANK}], D[0], D[-1]), TypeError,
     "trades[0] is not a Trade record (it has no datetime, order_book_id", 0),
    ("replay: an index position", replay, ([], D[0], D[-1], None, 1e5, {INDEX: 10}),
     ValueError, "positions['000300.XSHG']: 000300.XSHG is an index (instrument type INDX), "
                 "which cannot be held as shares", None),
    ("replay: an index trade", replay, ([trade(BANK), trade("801010.INDX")], D[0], D[-1]),
     ValueError, "trades[1] (BUY 100 801010.INDX at 2016-03-02 10:00:00): 801010.INDX is an "
                 "index", None),
    ("replay: overflowing cash", replay, ([], D[0], D[-1], None, 1.7e308, {BANK: 1e307}),
     ValueError, "the book's value on 2016-03-01 overflows to inf", None),
]


@pytest.mark.parametrize("function, args, error, message, requests",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_refused(market, function, args, error, message, requests):
    with pytest.raises(ValueError if error is EMPTY else error) as raised:
        function(*args)
    assert message in str(raised.value)
    if error is EMPTY:
        assert isinstance(raised.value, IndexError)
    if requests is not None:
        assert market.count() == requests, market.calls


# Forms of valid input that are read as the plain one: date text, a time zone's own
# calendar days, datetime64 and mixed date objects.
@pytest.mark.parametrize("name", sorted(VALUE_ANALYSES))
@pytest.mark.parametrize("relabel", [
    lambda index: [d.strftime("%Y-%m-%d") for d in index],
    lambda index: index.tz_localize("Asia/Shanghai"),
    lambda index: index.tz_localize("America/New_York"),  # its clocks change on 03-13
    lambda index: [d.date() for d in index],
    lambda index: pd.Index(list(index.to_numpy()), dtype=object),
    lambda index: pd.Index([index[0], *[d.date() for d in index[1:]]], dtype=object),
], ids=["text", "time zone", "clocks changing", "dates", "datetime64 objects",
        "a Timestamp then dates"])
def test_date_forms_give_the_same_result(market, name, relabel):
    plain = values()
    given = pd.Series(plain.to_numpy(), index=relabel(plain.index))
    # repr: NaN figures (a Sortino ratio without losses) compare equal.
    assert repr(VALUE_ANALYSES[name](given)) == repr(VALUE_ANALYSES[name](plain))


def test_exposure_of_dates_with_a_time_zone(market):
    zoned = [snap(pd.Timestamp(d, tz="Asia/Shanghai")) for d in D]
    assert exposure(zoned) == exposure(week())
