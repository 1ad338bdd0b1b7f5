"""The style-factor model of fetched stores: the descriptors, the standardisation and the
daily regression against plain pandas / statsmodels renderings of their definitions, and
a fetch from the recorded month (tests/data/fetch/month.json, through the fake library
of test_fetch.py) whose exposures the client and the analyses read."""

import io
import sys

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import tickvane
from test_fetch import END, START, FakeBaostock
from tickvane import _factors
from tickvane._fetch import fetch
from tickvane._schema import FACTORS

N_DAYS, N_STOCKS = 300, 6


@pytest.fixture(scope="module")
def panel():
    """Random walks with suspensions, a listing mid-way, a dividend, no pb on some days."""
    rng = np.random.default_rng(7)
    shape = (N_DAYS, N_STOCKS)
    market = 3000 * np.exp(np.cumsum(rng.normal(0, 0.01, N_DAYS)))
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0)
                        + 0.8 * np.log(market / 3000)[:, None])
    close[rng.random(shape) < 0.05] = np.nan           # suspended days
    close[:120, 5] = np.nan                            # listed on day 120
    adj = np.where(np.isnan(close), np.nan, 1.0)
    adj[200:, 1] = 1.05                                # an ex date on day 200
    turn = np.where(np.isnan(close), np.nan, rng.uniform(0.2, 5, shape))
    shares = np.where(np.isnan(close), np.nan, rng.uniform(1e8, 1e9, N_STOCKS))
    pb = np.where(np.isnan(close), np.nan, rng.uniform(0.5, 8, shape))
    pb[50:60, 2] = np.nan
    pe = np.where(np.isnan(close), np.nan, rng.uniform(-20, 60, shape))
    cash = np.zeros(shape)
    cash[200, 1] = 0.5
    return dict(close=close, adj=adj, turn=turn, shares=shares, pb=pb, pe=pe, cash=cash,
                market=market)


def _frames(p):
    return {k: pd.DataFrame(v) for k, v in p.items() if k != "market"}


def _pandas_descriptor(name, p):
    """Each descriptor as SCHEMA.md defines it, written with pandas."""
    f = _frames(p)
    price = (f["close"] * f["adj"]).ffill()
    r = f["close"] * f["adj"] / price.shift(1) - 1
    m = pd.Series(p["market"])
    if name == "beta":
        mr = pd.DataFrame({c: m.pct_change() for c in r}).where(r.notna())
        rr = r.where(mr.notna())
        cov = rr.rolling(250, min_periods=60).cov(mr)
        return cov / mr.rolling(250, min_periods=60).var()
    if name == "momentum":
        return np.log(price.shift(21) / price.shift(252))
    if name == "reversal":
        return np.log(price / price.shift(21))
    if name == "volatility":
        return r.rolling(60, min_periods=20).std()
    if name == "size":
        return np.log(f["close"].ffill() * f["shares"].ffill())
    if name == "liquidity":
        return np.log(f["turn"].where(f["close"].notna()).rolling(21, min_periods=1).mean())
    if name == "value":
        return 1 / f["pb"].ffill()
    if name == "yield":
        paid = (f["cash"] / f["close"].ffill().shift(1)).where(f["cash"] > 0, 0.0)
        return paid.rolling(250, min_periods=1).sum().where(f["close"].ffill().notna())
    if name == "growth":
        earnings = price / f["pe"].where(f["close"].notna() & (f["pe"] != 0)).ffill()
        before = earnings.shift(250)
        return (earnings - before) / before.abs()
    return pd.DataFrame(np.nan, index=r.index, columns=r.columns)


@pytest.mark.parametrize("name", FACTORS)
def test_descriptors_as_defined(panel, name):
    got = _factors.descriptors(**panel)[name]
    want = _pandas_descriptor(name, panel).to_numpy()
    np.testing.assert_allclose(got, want, rtol=1e-7, atol=1e-10, equal_nan=True)
    assert name == "leverage" or np.isfinite(got[-1]).any()


def _pandas_z(x, universe, cap):
    out = pd.DataFrame(np.nan, index=range(len(x)), columns=range(x.shape[1]))
    for t in range(len(x)):
        row = pd.Series(x[t])
        inside = row[universe[t] & row.notna().to_numpy()]
        if len(inside) < 3 or inside.std() == 0:
            continue
        w = pd.Series(cap[t])[inside.index]
        w = w[w > 0]
        mean = np.average(inside[w.index], weights=w)
        out.loc[t] = ((row - mean) / inside.std()).clip(-3, 3)
    return out.to_numpy(float)


def test_standardisation_against_pandas(panel):
    rng = np.random.default_rng(1)
    x = rng.standard_t(2, (40, 8))        # heavy tails: some z-scores are clipped
    x[rng.random(x.shape) < 0.1] = np.nan
    universe = rng.random(x.shape) < 0.7  # the rest is put on the universe's scale
    universe[5, :] = False
    universe[5, :2] = True                # two members only: no z-scores that day
    cap = rng.uniform(1, 100, x.shape)
    cap[3, 0] = np.nan                    # no capitalisation: out of the mean only
    z = _factors.standardise(x, universe, cap)
    np.testing.assert_allclose(z, _pandas_z(x, universe, cap), rtol=1e-10,
                               equal_nan=True)
    assert np.isnan(z[5]).all() and np.nanmax(np.abs(z)) == 3.0
    assert (~np.isnan(z[~universe & ~np.isnan(x)])).any()


def test_one_days_regression_is_weighted_least_squares():
    rng = np.random.default_rng(3)
    n, k = 40, len(FACTORS)
    exposures = rng.normal(size=(2, n, k))
    exposures[0, :, FACTORS.index("leverage")] = np.nan   # no stock has it: earns 0
    exposures[0, :3, 0] = np.nan                          # missing: counted as 0
    exposures[0, 4] = np.nan                              # no exposure at all: left out
    returns = rng.normal(0, 0.02, (2, n))
    returns[1, 7] = np.nan                                # not traded: left out
    universe = np.ones((2, n), dtype=bool)
    universe[0, 9] = False                                # outside the universe
    cap = rng.uniform(1e8, 1e10, (2, n))
    got = _factors.factor_returns(exposures, returns, universe, cap)

    rows = [j for j in range(n) if j not in (4, 7, 9)]
    cols = [c for c in range(k) if FACTORS[c] != "leverage"]
    x = pd.DataFrame(exposures[0][rows][:, cols]).fillna(0)
    fit = sm.WLS(returns[1, rows], sm.add_constant(x), weights=np.sqrt(cap[0, rows])).fit()
    want = np.zeros(k)
    want[cols] = fit.params.to_numpy()[1:]
    np.testing.assert_allclose(got[1], want, rtol=1e-8, atol=1e-15)
    assert np.isnan(got[0]).all()


def test_ten_years_of_a_few_hundred_stocks_compute_quickly():
    # Numpy over days x stocks, a small regression a day: about 3 s for 800 stocks.
    import time

    rng = np.random.default_rng(0)
    shape = (2500, 300)
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0))
    fields = dict(close=close, adj=np.ones(shape), turn=rng.uniform(0.1, 5, shape),
                  shares=np.full(shape, 1e8), pb=rng.uniform(0.5, 5, shape),
                  pe=rng.uniform(5, 50, shape), cash=np.zeros(shape),
                  market=np.exp(np.cumsum(rng.normal(0, 0.01, 2500))))
    began = time.perf_counter()
    exposures, cap, returns = _factors.model(**fields, universe=rng.random(shape) < 0.6)
    _factors.factor_returns(exposures, returns, rng.random(shape) < 0.6, cap)
    assert time.perf_counter() - began < 20


# ---------------------------------------------------------------------- a fetched store

# The recording gives every stock the same turnover and valuation; here each stock has
# its own pbMRQ (book-to-price 1/pb) and turnover (percent).
PB = {"sh.600001": "0.5", "sz.000002": "4.0", "sh.600003": "2.0", "sz.000004": "0.8",
      "sz.000005": "1.0", "sh.600006": "1.25"}
TURN = {"sh.600001": "0.4", "sz.000002": "2.0", "sh.600003": "1.0", "sz.000004": "3.0",
        "sz.000005": "0.5", "sh.600006": "0.25"}


def _library():
    library = FakeBaostock()
    table = library.tables["query_history_k_data_plus"]
    fields = table["fields"]
    at = {f: fields.index(f) for f in ("code", "pbMRQ", "turn", "tradestatus")}
    for row in table["rows"]:
        row[at["pbMRQ"]] = PB[row[at["code"]]]
        if row[at["tradestatus"]] == "1":
            row[at["turn"]] = TURN[row[at["code"]]]
    return library


def _fetch(path, **kwargs):
    mp = pytest.MonkeyPatch()
    library = _library()
    mp.setitem(sys.modules, "baostock", library)
    try:
        fetch(START, END, store=str(path), pace=0, progress=False, out=io.StringIO(),
              **kwargs)
    finally:
        mp.undo()
    return library


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    path = tmp_path_factory.mktemp("factors") / "store.sqlite"
    library = _fetch(path)
    tickvane.use_store(str(path))
    yield path, library
    tickvane.use_store(None)


def _recorded(library, day):
    """Each stock's recorded unadjusted close, volume and trade status on `day`."""
    table = library.tables["query_history_k_data_plus"]
    rows = [dict(zip(table["fields"], r)) for r in table["rows"]]
    return {r["code"]: r for r in rows if r["date"] == day}


def test_fetched_exposures_are_z_scores_over_the_index_members(store):
    path, library = store
    day = "2023-06-20"
    ids = ["600001.XSHG", "000002.XSHE", "600003.XSHG", "000005.XSHE", "600006.XSHG"]
    got = tickvane.get_factor_exposure(ids, day, day).droplevel(1)
    # CSI 300 and CSI 500 members on the day (changed on 06-12): all but 600006, which
    # left the CSI 300 and is put on the same scale. 000002 is suspended on 06-19 and
    # 06-20: its close of 06-16 and that day's shares count.
    bars = _recorded(library, day)
    bars["sz.000002"] = _recorded(library, "2023-06-16")["sz.000002"]
    codes = {oid: ("sh." if oid.endswith("XSHG") else "sz.") + oid[:6] for oid in ids}
    cap = pd.Series({oid: float(bars[c]["close"]) * float(bars[c]["volume"])
                     / (float(TURN[c]) / 100) for oid, c in codes.items()})
    members = ids[:4]
    for name, raw in [("value", {o: 1 / float(PB[c]) for o, c in codes.items()}),
                      ("size", np.log(cap).to_dict())]:
        x = pd.Series(raw)
        mean = np.average(x[members], weights=cap[members])
        want = ((x - mean) / x[members].std()).clip(-3, 3)
        np.testing.assert_allclose(got[name].to_numpy(), want[ids].to_numpy(), rtol=1e-5)
    # Not fetched, or too short a history for their windows: NULL.
    assert got[["leverage", "beta", "momentum", "volatility", "growth"]].isna().all().all()
    assert tickvane.get_factor_exposure("000300.XSHG", START, END) is None


def test_fetched_factor_returns_and_the_analyses_read_them(store):
    import meridan.exposure as ex
    from meridan import style

    returns = tickvane.get_factor_return(START, END)
    assert list(returns.columns) == list(FACTORS)
    assert returns[["value", "size"]].notna().all().all()
    # From 06-12 on, yield joins size, value and liquidity (and the intercept): five
    # columns for the five members of the day before, too few for a regression.
    assert [d.isoformat()[:10] for d in returns.index] == [
        "2023-06-02", "2023-06-05", "2023-06-06", "2023-06-07", "2023-06-08", "2023-06-09"]
    assert (returns["leverage"] == 0).all()

    class Benchmark:
        def get_weighting(self, date):
            return pd.Series({"600001.XSHG": 0.5, "000002.XSHE": 0.5})

    snap = {"date": pd.Timestamp("2023-06-30").date(), "market_value": 1e6, "cash": 0.0,
            "positions": [{"order_book_id": "600003.XSHG", "quantity": 100,
                           "market_value": 1e6}]}
    result = ex.exposure_analysis([snap], Benchmark(), START, END)
    record = result["2023-06-30"]
    value = list(FACTORS).index("value")
    assert np.isfinite([record["portfolio"][value], record["benchmark"][value]]).all()
    days = pd.DatetimeIndex(tickvane.get_trading_dates(START, END))
    series = pd.Series(np.linspace(1e6, 1.1e6, len(days)), index=days)
    # Not a factor return of the month is missing; the factors nobody is exposed to
    # (leverage, and the ones whose windows are longer than a month) earn 0, so the
    # regressions' design has zero columns, which statsmodels warns of.
    from statsmodels.tools.sm_exceptions import SingularMatrixWarning

    with pytest.warns(SingularMatrixWarning):
        result = style.style_analysis(series)
    window = result[END]
    assert np.isfinite(window).all()
    assert abs(window[list(FACTORS).index("leverage")]) < 1e-12


def test_a_fetch_in_batches_gives_the_same_factors_as_one_fetch(store, tmp_path):
    batched = tmp_path / "batched.sqlite"
    _fetch(batched, batch_days=10)
    tickvane.use_store(str(batched))
    try:
        ids = list(tickvane.all_instruments().query("type == 'CS'")["order_book_id"])
        in_batches = (tickvane.get_factor_exposure(ids, START, END),
                      tickvane.get_factor_return(START, END))
    finally:
        tickvane.use_store(str(store[0]))
    whole = (tickvane.get_factor_exposure(ids, START, END),
             tickvane.get_factor_return(START, END))
    pd.testing.assert_frame_equal(in_batches[0], whole[0], rtol=1e-5)
    pd.testing.assert_frame_equal(in_batches[1], whole[1], rtol=1e-5)


# ---------------------------------------------------------------------- a longer market

LONG_CODES = ["sh.6000%02d" % k for k in range(1, 9)]
LOADING = dict(zip(LONG_CODES, [0.5, 0.8, 1.0, 1.2, 1.5, 0.7, 1.1, 1.3]))


def _long_tables():
    """Fourteen months of eight stocks in the recording's shapes: closes driven by the
    CSI 300 with known loadings, each stock's own turnover, pbMRQ, and peTTM whose
    earnings step up each quarter. sh.600001-4 are CSI 300 members, the rest CSI 500."""
    rng = np.random.default_rng(11)
    days = [d.date().isoformat() for d in pd.bdate_range("2022-04-01", "2023-06-30")]
    month = FakeBaostock().tables
    tables = {k: {"fields": v["fields"], "rows": []} for k, v in month.items()}
    tables["query_trade_dates"]["rows"] = [[d, "1"] for d in days]
    basic = tables["query_stock_basic"]["rows"]
    basic += [["sh.000300", "沪深300", "2002-01-04", "", "2", "1"],
              ["sh.000905", "中证500", "2007-01-15", "", "2", "1"]]
    market = 4000 * np.exp(np.cumsum(rng.normal(0, 0.01, len(days))))
    for row in [[d, "sh.000300"] + ["%.4f" % m] * 5 + ["1", "1", "0"]
                for d, m in zip(days, market)]:
        tables["query_history_k_data_plus (index)"]["rows"].append(row)
    tables["query_history_k_data_plus (index)"]["rows"] += [
        [d, "sh.000905"] + ["6000.0000"] * 5 + ["1", "1", "0"] for d in days]
    bars = tables["query_history_k_data_plus"]["rows"]
    for k, code in enumerate(LONG_CODES):
        basic.append([code, "股%d" % k, "2001-01-01", "", "1", "1"])
        index = "query_hs300_stocks" if k < 4 else "query_zz500_stocks"
        tables[index]["rows"].append([days[0], code, "股%d" % k])
        tables["query_stock_industry"]["rows"].append(
            [days[0], code, "股%d" % k, "J66货币金融服务", "证监会行业分类"])
        logs = LOADING[code] * np.log(market / market[0]) + np.cumsum(
            rng.normal(0, 0.01, len(days)))
        eps = 0.5 + 0.1 * k
        for t, d in enumerate(days):
            eps *= (1 + 0.02 * (k - 3)) if t % 63 == 62 else 1
            close = round(10 * np.exp(logs[t]), 2)
            bars.append([d, code, "0", "0", "0", "%.4f" % close, "0", "1000000", "0", "3",
                         "%.6f" % (0.5 + 0.3 * k + 0.1 * (t % 5)), "1", "0",
                         "%.6f" % (close / eps), "%.6f" % (1 + 0.4 * k), "0", "0", "0"])
    # Cash dividends of 0.3 a share for sh.600002, ex 2022-09-01, and 0.5 for
    # sh.600006, ex 2023-03-01.
    for code, book, ex, cash in [("sh.600002", "2022-08-31", "2022-09-01", "0.3"),
                                 ("sh.600006", "2023-02-28", "2023-03-01", "0.5")]:
        tables["query_adjust_factor"]["rows"].append(
            [code, ex, "1.000000", "1.030000", "1.030000"])
        tables["query_dividend_data"]["rows"].append(
            [code, "", "", "", "", book, ex, ex, "", cash, cash, "", "", ""])
    return tables


@pytest.fixture(scope="module")
def long_tables():
    return _long_tables()


def _fetch_long(path, tables, start, end):
    mp = pytest.MonkeyPatch()
    library = FakeBaostock()
    library.tables = tables
    mp.setitem(sys.modules, "baostock", library)
    try:
        fetch(start, end, store=str(path), pace=0, progress=False, out=io.StringIO())
    finally:
        mp.undo()


def _exposures(path, start, end):
    tickvane.use_store(str(path))
    try:
        ids = [c[3:] + ".XSHG" for c in LONG_CODES]
        return tickvane.get_factor_exposure(ids, start, end)
    finally:
        tickvane.use_store(None)


def test_a_longer_fetch_has_every_fetched_factor(long_tables, tmp_path):
    # Two batches of a year (the bar fields of the first kept for the second). On the
    # last day: beta is the z-score of each stock's slope on the index over 250 days,
    # computed here from the recorded closes; growth follows the quarterly earnings
    # steps (stock k's earnings grow by 2 % x (k - 3) a quarter).
    path = tmp_path / "long.sqlite"
    _fetch_long(path, long_tables, "2022-04-01", "2023-06-30")
    got = _exposures(path, "2023-06-30", "2023-06-30").droplevel(1)
    assert got.drop(columns="leverage").notna().all().all()
    assert got["leverage"].isna().all()
    frame = pd.DataFrame(long_tables["query_history_k_data_plus"]["rows"],
                         columns=long_tables["query_history_k_data_plus"]["fields"])
    closes = frame.pivot(index="date", columns="code", values="close").astype(float)
    cap = closes.iloc[-1] * 1e6 / (frame.groupby("code")["turn"].last().astype(float) / 100)
    paid = {"sh.600002": 0.3 / closes.loc["2022-08-31", "sh.600002"],
            "sh.600006": 0.5 / closes.loc["2023-02-28", "sh.600006"]}
    closes.loc["2022-09-01":, "sh.600002"] *= 1.03
    closes.loc["2023-03-01":, "sh.600006"] *= 1.03
    index = pd.DataFrame(long_tables["query_history_k_data_plus (index)"]["rows"])
    index = index[index[1] == "sh.000300"].set_index(0)[5].astype(float)
    r, m = closes.pct_change().iloc[-250:], index.pct_change().iloc[-250:]
    slopes = pd.Series({c: np.polyfit(m, r[c], 1)[0] for c in LONG_CODES})
    want = (slopes - np.average(slopes, weights=cap[slopes.index])) / slopes.std()
    np.testing.assert_allclose(got["beta"].to_numpy(), want.clip(-3, 3).to_numpy(),
                               rtol=1e-4)
    assert got["growth"].is_monotonic_increasing
    # Both dividends are within the last 250 days: each over the close before its ex date.
    yields = pd.Series(paid).reindex(LONG_CODES, fill_value=0.0)
    want = (yields - np.average(yields, weights=cap)) / yields.std()
    np.testing.assert_allclose(got["yield"].to_numpy(), want.to_numpy(), rtol=1e-4)


def test_a_rerun_keeps_growth_and_computes_the_rest(long_tables, tmp_path):
    # A re-run in a new process has the bar fields of the days it fetches only: growth
    # (a year of them) is each stock's last growth exposure in the store; every other
    # factor is the same as in one fetch of the whole range.
    whole, rerun = tmp_path / "whole.sqlite", tmp_path / "rerun.sqlite"
    _fetch_long(whole, long_tables, "2022-04-01", "2023-06-30")
    _fetch_long(rerun, long_tables, "2022-04-01", "2023-06-16")
    _fetch_long(rerun, long_tables, "2022-04-01", "2023-06-30")
    a, b = (_exposures(p, "2023-06-16", "2023-06-30") for p in (whole, rerun))
    others = [f for f in FACTORS if f not in ("growth", "liquidity")]
    pd.testing.assert_frame_equal(a[others], b[others], rtol=1e-5)
    last = b["growth"].xs(pd.Timestamp("2023-06-16"), level=1)
    assert (b["growth"].unstack().sub(last, axis=0).abs() < 1e-9).all().all()
