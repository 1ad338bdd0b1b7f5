"""Factor exposure of portfolio snapshots and their benchmark: results checked against
small pandas expressions, and the requests made to the market-data service, over the
"brinson" market of tests/support/markets_brinson.py (exposures from 2015-05-04 to
2016-12-30; 000725.XSHE under special treatment from 2016-05-04, 300750.XSHE listed on
2016-05-23)."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import meridan.exposure as ex
from markets_brinson import FACTORS

BANK, ESTATE, MOUTAI, ENERGY, ST, NEW, ETF = (
    "000001.XSHE", "000002.XSHE", "600519.XSHG", "601857.XSHG", "000725.XSHE",
    "300750.XSHE", "510050.XSHG")
DAY = pd.Timestamp("2016-06-01")
LISTED = pd.Timestamp("2016-05-23")  # NEW's listing

pytestmark = pytest.mark.market("brinson")


class Benchmark:
    """Any object with get_weighting(date) serves as a benchmark."""

    def __init__(self, weights):
        self.weights = pd.Series(weights, dtype=float)
        self.asked = []

    def get_weighting(self, date):
        self.asked.append(date)
        return self.weights


def snapshot(date, *holdings):
    return {"date": date, "market_value": 1e6, "cash": 0.0,
            "positions": [{"order_book_id": oid, "quantity": 100, "market_value": value}
                          for oid, value in holdings]}


def mean_of_last_22(market, ids, date):
    """get_exposure worked out with pandas from the client's own reply."""
    reply = market.default_reply("get_factor_exposure", ids, date - dt.timedelta(days=90), date)
    if len(ids) == 1:
        return reply.iloc[-22:].mean().to_frame(ids[0]).T
    means = reply.groupby(level=0, sort=False).tail(22).groupby(level=0, sort=False).mean()
    return means.reindex([oid for oid in ids if oid in means.index]).rename_axis(None)


def test_module_table_and_names():
    assert list(ex.TRANSLATION.items()) == [
        ("beta", "贝塔"), ("growth", "成长性"), ("liquidity", "流动性"), ("leverage", "杠杆率"),
        ("momentum", "动量"), ("reversal", "反转"), ("size", "市值"), ("yield", "盈利性"),
        ("volatility", "波动率"), ("value", "价值")]
    assert type(ex.TRANSLATION) is dict
    assert ex.relativedelta.__name__ == "relativedelta" and ex.pd is pd
    now = dt.datetime(2016, 6, 1, 15, 30)
    assert [ex.to_date(now), ex.to_date(pd.Timestamp(now)), ex.to_date("x"), ex.to_date(None)] \
        == [dt.date(2016, 6, 1), dt.date(2016, 6, 1), "x", None]


# ------------------------------------------------------------------------ get_exposure


@pytest.mark.parametrize("ids", [[BANK], [MOUTAI, BANK, ENERGY], [BANK, ETF, MOUTAI]])
def test_exposure_averages_the_last_22_dates_of_each_id(market, ids):
    result = ex.get_exposure(ids, DAY)
    expected = mean_of_last_22(market, ids, DAY)
    # Rows keep the order asked for; the fund has no exposures and no row.
    assert list(result.index) == [oid for oid in ids if oid != ETF]
    assert list(result.columns) == FACTORS
    np.testing.assert_allclose(result.to_numpy(), expected.to_numpy(), rtol=1e-12)
    assert result.dtypes.eq("float64").all()
    [call] = market.calls
    assert call.args == (ids, DAY - dt.timedelta(days=90), DAY)


def test_short_history_is_averaged_over_all_its_dates(market):
    # Listed 2016-05-23: on 2016-06-01 the window holds only its first 8 days, whose
    # exposures are base + j / 10 + days since 2015-01-01 / 1000 (508 to 512, then 515
    # to 517 days: 512.25 on average).
    result = ex.get_exposure([NEW, BANK], DAY)
    expected = [2.5 + j / 10 + 0.51225 for j in range(10)]
    np.testing.assert_allclose(result.loc[NEW].to_numpy(), expected, rtol=1e-12)
    # BANK's last 22 trading days: the weekdays from 2016-05-03 to 2016-06-01.
    days = pd.bdate_range("2016-05-03", "2016-06-01")
    assert len(days) == 22
    offset = np.mean([(d - pd.Timestamp("2015-01-01")).days for d in days]) / 1000
    np.testing.assert_allclose(result.loc[BANK].to_numpy(),
                               [1.0 + j / 10 + offset for j in range(10)], rtol=1e-12)


def test_missing_reply_moves_the_window_back_one_trading_day(market):
    market.set_replies("get_factor_exposure", [None, None])
    result = ex.get_exposure([BANK], DAY)
    shifted = pd.Timestamp("2016-05-30")  # 2016-06-01 -> 05-31 -> 05-30
    pd.testing.assert_frame_equal(result, mean_of_last_22(market, [BANK], shifted))
    windows = [c.args[1:] for c in market.calls_to("get_factor_exposure")]
    assert [end for _, end in windows] == [DAY, pd.Timestamp("2016-05-31"), shifted]
    assert all(end - start == dt.timedelta(days=90) for start, end in windows)


def test_look_back_is_bounded(market):
    market.set_reply("get_factor_exposure", None)
    with pytest.raises(RuntimeError) as info:
        ex.get_exposure([BANK, MOUTAI], DAY)
    assert str(info.value) == (
        "no factor exposure for 2 instruments in the 30 trading days before 2016-06-01 00:00:00")
    assert market.count("get_factor_exposure") == 31
    assert market.count("get_previous_trading_date") == 30


@pytest.mark.parametrize("date", [pd.Timestamp("2018-06-29"), "2018-06-29"])
def test_a_date_long_after_the_data_is_not_answered_with_its_last_day(market, date):
    # The calendar ends on 2017-07-31: the trading day before 2018-06-29 is that day,
    # eleven months back, not a day of the look-back. (Text is read as a date.)
    with pytest.raises(RuntimeError, match="no factor exposure for 2 instruments in the "
                       "30 trading days before 2018-06-29"):
        ex.get_exposure([BANK, MOUTAI], date)
    assert market.count("get_factor_exposure") == 1


def test_exposure_edge_replies(market):
    # An empty list asks for nothing.
    empty = ex.get_exposure([], DAY)
    assert empty.shape == (0, 10) and list(empty.columns) == FACTORS
    assert market.count() == 0
    # One instrument's table cannot answer for two.
    market.set_reply("get_factor_exposure",
                     market.default_reply("get_factor_exposure", [BANK], DAY, DAY))
    with pytest.raises(ValueError, match="Length mismatch"):
        ex.get_exposure([BANK, MOUTAI], DAY)


# ----------------------------------------------------------------------- _is_new_stock


@pytest.mark.parametrize("days_listed, trading_dates, expected", [
    (149, None, True), (150, 132, True), (150, 133, False), (365, 132, True),
    (365, 133, False), (366, None, False), (-5, None, True)])
def test_newly_listed_thresholds(market, days_listed, trading_dates, expected):
    day = LISTED + pd.Timedelta(days=days_listed)
    market.set_reply("get_trading_dates", [day] * (trading_dates or 0))
    assert ex._is_new_stock(NEW, day + pd.Timedelta(hours=15)) is expected
    counted = market.calls_to("get_trading_dates")
    # Trading days are counted only between 150 and 365 days, from the listing date as
    # the service gave it.
    assert [c.args for c in counted] == (
        [] if trading_dates is None else [(LISTED, day + pd.Timedelta(hours=15))])


# ------------------------------------------------------------ single_exposure_analysis


def test_single_analysis_against_pandas(market):
    # BANK twice (the last value counts in the weights, both in the totals), ST under
    # special treatment, NEW listed days before: left out of the weights.
    day = DAY
    positions = [(BANK, 100.0), (ST, 300.0), (NEW, 200.0), (MOUTAI, 50), (BANK, 150.0)]
    bench = Benchmark({ENERGY: 2.0, MOUTAI: 6.0, ESTATE: 2.0})
    result = ex.single_exposure_analysis(snapshot(day.date(), *positions), bench, "2016-06-01")

    weights = pd.Series({BANK: 150.0, ST: 300.0, MOUTAI: 50.0})
    weights /= weights.sum()
    exposure = mean_of_last_22(market, list(weights.index), day)
    weighted = exposure.T * weights
    bench_weights = bench.weights / bench.weights.sum()
    bench_exposure = (mean_of_last_22(market, list(bench.weights.index), day).T
                      * bench_weights).sum(axis=1)

    assert list(result) == ["portfolio_exposure", "benchmark_exposure",
                            "detailed_portfolio_exposure", "st_stock_weight", "new_stock_weight"]
    pd.testing.assert_series_equal(result["portfolio_exposure"], weighted.sum(axis=1),
                                   check_exact=False, rtol=1e-12)
    pd.testing.assert_frame_equal(result["detailed_portfolio_exposure"],
                                  weighted.T / weighted.sum(axis=1),
                                  check_exact=False, rtol=1e-12)
    pd.testing.assert_series_equal(result["benchmark_exposure"], bench_exposure,
                                   check_exact=False, rtol=1e-12)
    assert result["st_stock_weight"] == 300 / 800 and result["new_stock_weight"] == 200 / 800
    assert type(result["st_stock_weight"]) is float
    assert bench.asked == [day]
    # ST is asked about the latest trading date for every holding but the new one.
    assert [c.args for c in market.calls_to("_is_st_stock")] == [
        (oid, day) for oid in (BANK, ST, MOUTAI, BANK)]


@pytest.mark.parametrize("ids, index_dtype", [
    ([BANK, ESTATE, MOUTAI], None),          # the reply's own order: read by position
    ([MOUTAI, ESTATE, BANK], None),          # another order
    ([BANK, ESTATE, ETF, MOUTAI], None),     # a constituent without exposures
    ([BANK, ESTATE, MOUTAI], object),
    ([BANK, ESTATE, MOUTAI], "category"),
])
def test_benchmark_exposure_whatever_its_weights_index(market, ids, index_dtype):
    weights = pd.Series([1.0, 3.0, 2.0, 4.0][:len(ids)],
                        index=pd.Index(ids, dtype=index_dtype))
    bench = Benchmark(weights)
    result = ex.single_exposure_analysis(snapshot(None), bench, DAY)
    normalised = weights / weights.sum()
    expected = (mean_of_last_22(market, [str(i) for i in ids], DAY).T
                * normalised.set_axis(normalised.index.astype(object))).sum(axis=1)
    pd.testing.assert_series_equal(result["benchmark_exposure"], expected, rtol=1e-12)


def test_latest_trading_date_is_on_or_before_the_day(market):
    saturday = "2016-06-04"
    ex.single_exposure_analysis(snapshot(None, (BANK, 1.0)), None, saturday)
    [previous] = market.calls_to("get_previous_trading_date")
    assert previous.args == (pd.Timestamp("2016-06-05"),)
    assert market.calls_to("_is_st_stock")[0].args == (BANK, pd.Timestamp("2016-06-03"))


@pytest.mark.parametrize("holdings, new_weight", [
    ((), 0),                                # no positions
    (((NEW, 100.0), (NEW, 300.0)), 1.0),    # only newly listed stocks
])
def test_nothing_to_weigh(market, holdings, new_weight):
    # NEW is also under special treatment.
    bench = Benchmark({BANK: 1.0})
    result = ex.single_exposure_analysis(snapshot(None, *holdings), bench, "2016-06-01")
    assert result["portfolio_exposure"] is None
    assert result["detailed_portfolio_exposure"] is None
    assert list(result["benchmark_exposure"].index) == FACTORS
    assert (result["st_stock_weight"], result["new_stock_weight"]) == (0, new_weight)
    assert type(result["new_stock_weight"]) is type(new_weight)
    # Only the benchmark's exposures are asked for; a newly listed ST stock is not
    # asked about special treatment.
    assert [c.args[0] for c in market.calls_to("get_factor_exposure")] == [[BANK]]
    assert market.count("_is_st_stock") == 0


def test_holding_without_exposures_contributes_nothing(market):
    result = ex.single_exposure_analysis(
        snapshot(None, (ETF, 500.0), (BANK, 250.0), (MOUTAI, 250.0)), None, DAY)
    # No benchmark, no request for it.
    assert market.count("get_factor_exposure") == 1
    exposure = ex.get_exposure([BANK, MOUTAI], DAY)
    # The fund keeps its weight (not renormalised) and has no detailed row.
    expected = exposure.T @ pd.Series({BANK: 0.25, MOUTAI: 0.25})
    pd.testing.assert_series_equal(result["portfolio_exposure"], expected, rtol=1e-12)
    assert list(result["detailed_portfolio_exposure"].index) == [BANK, MOUTAI]
    assert result["benchmark_exposure"] is None


def test_benchmark_without_constituents_has_zero_exposure(market):
    result = ex.single_exposure_analysis(snapshot(None), Benchmark({}), DAY)
    pd.testing.assert_series_equal(result["benchmark_exposure"],
                                   pd.Series(0.0, index=pd.Index(FACTORS)))
    assert market.count("get_factor_exposure") == 0


def test_zero_book_value_is_named(market):
    with pytest.raises(ZeroDivisionError, match="sum to 0"):
        ex.single_exposure_analysis(snapshot(None, (BANK, 0.0)), None, DAY)


# ------------------------------------------------------------------ period analyses


def analysed_days(market):
    """Days analysed, in order: each analysis asks for the latest trading date once."""
    return [(c.args[0] - pd.Timedelta(days=1)).date()
            for c in market.calls_to("get_previous_trading_date")]


def series_of(*days):
    return [snapshot(pd.Timestamp(d).date(), (BANK, 100.0)) for d in days]


BY_STEP = [
    # Snapshot days, start, end, days analysed in order.
    (["2016-06-30", "2016-09-30", "2016-12-30"], "2016-01-01", "2016-12-31",
     ["2016-12-30", "2016-09-30", "2016-06-30"]),                   # 365 days: 3 months
    (["2016-06-30", "2016-09-30", "2016-12-30"], "2015-12-31", "2016-12-31",
     ["2016-12-30", "2016-06-30"]),                                 # 366 days: 6 months
    (["2015-03-31", "2015-12-31", "2016-06-30", "2016-12-30"], "2014-01-01", "2016-12-31",
     ["2016-12-30", "2016-06-30", "2015-12-31"]),                   # 1095 days: 6 months
    (["2015-12-31", "2016-06-30", "2016-12-30"], "2013-12-31", "2016-12-31",
     ["2016-12-30", "2015-12-31"]),                                 # 1096 days: a year
    # Targets move from the previous target: 2016-08-31, 02-29, then 2015-08-29 (not
    # 08-31), nearer to the 28th than to the 31st.
    (["2015-08-28", "2015-08-31", "2016-02-29", "2016-08-31"], "2015-06-01", "2016-08-31",
     ["2016-08-31", "2016-02-29", "2015-08-28"]),
    # The second target, 07-15, lies exactly between 07-10 and 07-20: the earlier one.
    (["2016-07-10", "2016-07-20", "2016-10-15"], "2016-07-01", "2016-10-15",
     ["2016-10-15", "2016-07-10"]),
    # The first target's snapshot is nearest to the second target too.
    (["2016-04-01", "2016-10-31"], "2016-01-01", "2016-12-31",
     ["2016-10-31", "2016-10-31", "2016-04-01"]),
    (["2016-06-30"], "2016-07-01", "2016-12-31", []),
]


@pytest.mark.parametrize("days, start, end, analysed", BY_STEP)
def test_exposure_analysis_chooses_by_step(market, days, start, end, analysed):
    result = ex.exposure_analysis(series_of(*days), Benchmark({MOUTAI: 1.0}), start, end)
    assert analysed_days(market) == [pd.Timestamp(d).date() for d in analysed]
    # Newest first; a repeated snapshot keeps its first place.
    assert list(result) == list(dict.fromkeys(analysed))


@pytest.mark.parametrize("n, analysed", [(0, []), (3, [0, 1, 2]), (4, [0, 2, 3]), (5, [0, 2, 4])])
def test_exposure_analysis_1_chooses_first_middle_last(market, n, analysed):
    days = list(pd.date_range("2016-01-04", periods=n, freq="W-MON").date)
    result = ex.exposure_analysis_1(series_of(*days), Benchmark({MOUTAI: 1.0}),
                                    "2015-01-01", "2016-12-31")
    assert list(result) == [days[i].isoformat() for i in analysed]
    assert analysed_days(market) == [days[i] for i in analysed]


def test_exposure_analysis_1_floor_is_a_calendar_day(market):
    # The market's calendar holds the weekdays around 2010-01-01, but no exposures.
    series = [snapshot(dt.datetime(2009, 12, 31, 0, 0), (BANK, 1.0)),
              snapshot(dt.date(2010, 1, 1), (BANK, 1.0)),
              snapshot(pd.Timestamp("2010-01-04"), (BANK, 1.0))]
    market.set_reply("get_factor_exposure", lambda ids, s, e: mean_of_last_22(
        market, [MOUTAI], pd.Timestamp("2016-06-01")).reset_index(drop=True))
    result = ex.exposure_analysis_1(series, Benchmark({MOUTAI: 1.0}), "2009-06-01", "2010-01-04")
    assert list(result) == ["2010-01-01", "2010-01-04"]


def test_record_layout_and_unordered_series(market):
    bench = Benchmark({MOUTAI: 1.0, BANK: 1.0})
    series = [snapshot(dt.date(2016, 12, 30), (MOUTAI, 100.0)), snapshot(dt.date(2016, 9, 30))]
    unordered = ex.exposure_analysis(series, bench, dt.date(2016, 1, 1), "2016-12-31")
    market.reset_calls()
    ordered = ex.exposure_analysis(series[::-1], bench, pd.Timestamp("2016-01-01"), "2016-12-31")
    assert unordered == ordered and list(ordered) == ["2016-12-30", "2016-09-30"]

    full = ex.single_exposure_analysis(series[0], bench, dt.date(2016, 12, 30))
    record = ordered["2016-12-30"]
    assert list(record) == ["factors", "portfolio", "benchmark", "st_stock_weight",
                            "new_stock_weight"]
    assert record["factors"] == list(ex.TRANSLATION.values())
    assert record["portfolio"] == list(full["portfolio_exposure"])
    assert record["benchmark"] == list(full["benchmark_exposure"])
    assert all(type(v) is float for v in record["portfolio"] + record["benchmark"])
    # Without positions: integer zeros, one per factor.
    assert ordered["2016-09-30"]["portfolio"] == [0] * 10
    assert ordered["2016-09-30"]["st_stock_weight"] == 0


def test_period_failures(market):
    series = series_of("2016-06-30")
    assert ex.exposure_analysis(series, None, "2017-01-01", "2017-12-31") == {}
    assert ex.exposure_analysis_1([], None, "2017-01-01", "2017-12-31") == {}
    assert market.count() == 0
    for analyse in (ex.exposure_analysis, ex.exposure_analysis_1):
        with pytest.raises(TypeError, match="benchmark must be a benchmark object"):
            analyse(series, None, "2016-01-01", "2016-12-31")
    market.set_reply("get_factor_exposure", lambda ids, s, e: pd.DataFrame(
        {"beta": [1.0], "quality": [2.0]}))
    with pytest.raises(KeyError, match="quality"):
        ex.exposure_analysis(series, Benchmark({MOUTAI: 1.0}), "2016-01-01", "2016-12-31")
    with pytest.raises(KeyError, match="date"):
        ex.exposure_analysis([{"positions": []}], None, "2016-01-01", "2016-12-31")
    # A missing bound would select nothing: it is refused by name.
    with pytest.raises(TypeError, match=r"end_date must be a date, got None \(NoneType\)"):
        ex.exposure_analysis_1(series, None, "2016-01-01", None)


@pytest.mark.sample
def test_sample_market_exposure():
    import tickvane
    tickvane.open_store()
    day = "2023-03-01"

    class Index:
        def get_weighting(self, date):
            return tickvane.index_weights("000300.XSHG", date)

    stocks = tickvane.index_components("000300.XSHG", day)[:10]
    result = ex.single_exposure_analysis(
        snapshot(None, *[(oid, 1000.0 * (i + 1)) for i, oid in enumerate(stocks)]), Index(), day)
    assert list(result["portfolio_exposure"].index) == FACTORS
    assert result["benchmark_exposure"].notna().all()
    shares = result["detailed_portfolio_exposure"].sum()
    np.testing.assert_allclose(shares.to_numpy(), 1.0)
