"""The generated sample market: its shape, its trading rules and its factor structure.

Expectations are computed straight from the store's tables with pandas (never through the
client under test), except where a test compares the client with such a computation.
"""

import sqlite3

import numpy as np
import pandas as pd
import pytest

import tickvane

pytestmark = pytest.mark.sample

FACTORS = ["beta", "growth", "liquidity", "leverage", "momentum", "reversal", "size",
           "yield", "volatility", "value"]
SHENWAN = ["农林牧渔", "采掘", "化工", "钢铁", "有色金属", "电子", "家用电器", "食品饮料", "纺织服装",
           "轻工制造", "医药生物", "公用事业", "交通运输", "房地产", "商业贸易", "休闲服务", "综合",
           "建筑材料", "建筑装饰", "电气设备", "国防军工", "计算机", "传媒", "通信", "银行", "非银金融",
           "汽车", "机械设备"]
MSCI = ["能源", "原材料", "非必需消费品", "必需消费品", "医疗保健", "金融", "信息技术", "电信服务",
        "公共服务", "工业"]


@pytest.fixture(scope="module", autouse=True)
def sample(sample_store):
    tickvane.use_store(sample_store)
    yield sample_store
    tickvane.use_store(None)


@pytest.fixture(scope="module")
def sql(sample_store):
    con = sqlite3.connect(sample_store)

    def query(text, *args):
        return pd.read_sql_query(text, con, params=args)
    yield query
    con.close()


def ts(ymd):
    return pd.to_datetime(ymd.astype(str), format="%Y%m%d")


def test_calendar_is_the_shanghai_calendar():
    import warnings

    import exchange_calendars

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cal = exchange_calendars.get_calendar("XSHG", start="2010-01-04", end="2026-11-30")
    expected = [d.date() for d in cal.sessions if d <= pd.Timestamp("2026-11-30")]
    assert tickvane.get_trading_dates("2010-01-01", "2026-12-31") == expected


def test_instrument_universe(sql):
    inst = sql("SELECT * FROM instruments")
    stocks = inst[inst["type"] == "CS"]
    assert len(stocks) == 850
    assert sorted(stocks["shenwan_industry_name"].unique()) == sorted(SHENWAN)
    assert sorted(stocks["sector_code_name"].unique()) == sorted(MSCI)
    indices = set(inst.loc[inst["type"] == "INDX", "order_book_id"])
    assert {"000300.XSHG", "000905.XSHG"} <= indices
    assert len([i for i in indices if i.startswith("801") and i.endswith(".INDX")]) == 28
    assert {"ETF", "LOF"} <= set(inst["type"])
    assert (stocks["listed_date"] < 20100104).sum() > 400          # listed before the data
    assert (stocks["listed_date"] > 20100104).sum() > 100          # IPOs during it
    assert 10 <= stocks["de_listed_date"].notna().sum() <= 100
    assert stocks["symbol"].is_unique
    assert len(sql("SELECT * FROM st_periods")) >= 40


def test_closes_respect_the_daily_limits(sql):
    px = sql("SELECT p.order_book_id, p.date, p.close FROM prices p JOIN instruments i "
             "ON p.order_book_id = i.order_book_id WHERE i.type = 'CS' ORDER BY 1, 2")
    div = sql("SELECT order_book_id, ex_dividend_date AS date, dividend_cash_before_tax "
              "FROM dividends")
    spl = sql("SELECT order_book_id, ex_date AS date, split_coefficient_from, "
              "split_coefficient_to FROM splits")
    st = sql("SELECT * FROM st_periods")
    px = px.merge(div, how="left").merge(spl, how="left")
    prev = px.groupby("order_book_id")["close"].shift()
    cash = px["dividend_cash_before_tax"].fillna(0) / 10
    ratio = (px["split_coefficient_to"] / px["split_coefficient_from"]).fillna(1)
    ref = ((prev - cash) / ratio).round(2)
    limit = pd.Series(0.10, index=px.index)
    pairs = px[["order_book_id", "date"]].reset_index().merge(st, on="order_book_id")
    under_st = (pairs["date"] >= pairs["start_date"]) & (
        pairs["date"] <= pairs["end_date"].fillna(99999999))
    limit[pairs.loc[under_st, "index"].to_numpy()] = 0.05
    move = (px["close"] - ref).abs()
    allowed = (ref * limit).round(2) + 0.011      # the limit price is rounded to the tick
    checked = ref.notna()
    assert checked.sum() > 2_500_000
    assert (move[checked] <= allowed[checked]).all()
    assert ((move >= (ref * limit).round(2) - 0.005) & checked).sum() > 1000  # limits bind
    assert ((limit == 0.05) & checked).sum() > 10_000                        # ST trading


def test_change_rates_match_post_adjusted_closes(sql):
    ids = tickvane.index_components("000905.XSHG", "2015-06-30")[:60]
    got = tickvane.get_price_change_rate(ids, "2015-06-01", "2015-12-31")
    rows = sql("SELECT order_book_id, date, close * adj_factor AS post FROM prices "
               "WHERE order_book_id IN (%s) AND date BETWEEN 20150101 AND 20151231"
               % ",".join("?" * len(ids)), *ids)
    post = rows.pivot(index="date", columns="order_book_id", values="post")
    days = sql("SELECT date FROM trading_dates WHERE date BETWEEN 20150101 AND 20151231")
    post = post.reindex(days["date"]).ffill()      # a suspended day keeps its last close
    expected = (post / post.shift() - 1).loc[20150601:][ids]
    expected.index = ts(expected.index.to_numpy())
    expected.index.name = "date"
    expected.columns.name = None
    pd.testing.assert_frame_equal(got, expected, check_column_type=False,
                                  check_index_type=False, rtol=1e-9)
    assert (got == 0).sum().sum() > 100    # the mass suspension of July 2015


def test_pre_and_post_prices_are_anchored_at_the_ends(sql):
    for oid in ["600000.XSHG", "000001.XSHE"] + tickvane.index_components(
            "000300.XSHG", "2012-06-29")[:20]:
        raw = sql("SELECT close FROM prices WHERE order_book_id = ? ORDER BY date", oid)["close"]
        pre = tickvane.get_price(oid, adjust_type="pre")
        post = tickvane.get_price(oid, adjust_type="post")
        assert pre.iloc[-1] == pytest.approx(raw.iloc[-1])
        assert post.iloc[0] == pytest.approx(raw.iloc[0])
        assert len(pre) == len(post) == len(raw)


def test_index_membership_and_weights(sql):
    comp = sql("SELECT index_id, date, order_book_id FROM index_components")
    changes = comp.groupby(["index_id", "date"]).size()
    for index_id, size in (("000300.XSHG", 300), ("000905.XSHG", 500)):
        sizes = changes.loc[index_id]
        assert (sizes == size).mean() > 0.5 if size == 300 else sizes.max() <= size
        months = (sizes.index // 100 % 100)
        reviews = sizes.index[(months == 6) | (months == 12)]
        assert len(reviews) >= 30
    for day in ["2011-06-30", "2017-12-29", "2024-06-28"]:
        hs = set(tickvane.index_components("000300.XSHG", day))
        zz = set(tickvane.index_components("000905.XSHG", day))
        assert len(hs) == 300 and not hs & zz
        w = tickvane.index_weights("000300.XSHG", day)
        assert set(w.index) == hs and w.sum() == pytest.approx(1.0) and (w > 0).all()
        listed = tickvane.all_instruments(type="CS", date=day)["order_book_id"]
        assert hs <= set(listed)
    weights = sql("SELECT index_id, date, SUM(weight) AS total FROM index_weights "
                  "GROUP BY index_id, date")
    assert np.allclose(weights["total"], 1.0)


def test_hs300_holds_the_largest_stocks(sql):
    # The size exposure is the standardised log free-float capitalisation.
    size = sql("SELECT order_book_id, size FROM factor_exposures WHERE date = 20190628")
    size = size.set_index("order_book_id")["size"]
    hs = size.reindex(tickvane.index_components("000300.XSHG", "2019-06-28"))
    zz = size.reindex(tickvane.index_components("000905.XSHG", "2019-06-28"))
    assert hs.notna().all() and zz.notna().all()
    assert hs.quantile(0.1) > zz.median() and hs.mean() > zz.mean() + 1.0


def test_dividends_and_splits(sql):
    div = sql("SELECT * FROM dividends")
    assert len(div) > 3000 and (div["round_lot"] == 10).all()
    month = div["book_closure_date"] // 100 % 100
    assert month.isin([6, 7]).mean() > 0.7
    days = sql("SELECT date FROM trading_dates")["date"].tolist()
    following = dict(zip(days[:-1], days[1:]))
    assert (div["ex_dividend_date"] == div["book_closure_date"].map(following)).all()
    spl = sql("SELECT * FROM splits")
    assert len(spl) > 100 and (spl["split_coefficient_to"] > spl["split_coefficient_from"]).all()
    oid = spl["order_book_id"].iloc[0]
    frame = tickvane.get_split(oid)
    assert frame.index.name == "ex_date" and len(frame) == (spl["order_book_id"] == oid).sum()


def test_factor_returns_explain_stock_returns(sql):
    """Cross-sectional regressions of daily stock returns on the previous day's exposures
    (with industry dummies) recover the published factor returns."""
    start, end = 20180102, 20180928
    exp = sql("SELECT * FROM factor_exposures WHERE date BETWEEN ? AND ?", start, end)
    px = sql("SELECT order_book_id, date, close * adj_factor AS post FROM prices p "
             "WHERE date BETWEEN ? AND ? AND order_book_id IN "
             "(SELECT order_book_id FROM instruments WHERE type = 'CS')", start, end)
    ind = sql("SELECT order_book_id, shenwan_industry_name FROM instruments WHERE type = 'CS'")
    fr = sql("SELECT * FROM factor_returns WHERE date BETWEEN ? AND ?", start, end)
    post = px.pivot(index="date", columns="order_book_id", values="post")
    ret = np.log(post / post.shift())
    dates = post.index.tolist()
    dummies = pd.get_dummies(ind.set_index("order_book_id")["shenwan_industry_name"], dtype=float)
    est = []
    for prev, day in zip(dates[:-1], dates[1:]):
        x = exp[exp["date"] == prev].set_index("order_book_id")[FACTORS]
        y = ret.loc[day].reindex(x.index)
        ok = y.notna() & (y.abs() < 0.095)       # limit moves are cut, not model returns
        design = np.hstack([x[ok].to_numpy(), dummies.reindex(x.index[ok]).to_numpy()])
        coef = np.linalg.lstsq(design, y[ok].to_numpy(), rcond=None)[0][:10]
        est.append(coef)
    est = pd.DataFrame(est, index=dates[1:], columns=FACTORS)
    published = fr.set_index("date").loc[dates[1:], FACTORS]
    corr = est.corrwith(published)
    assert corr["size"] > 0.8 and corr["beta"] > 0.8
    assert corr.median() > 0.6


def test_exposures_are_standardised():
    members = tickvane.index_components("000905.XSHG", "2020-06-30") + \
        tickvane.index_components("000300.XSHG", "2020-06-30")
    frame = tickvane.get_factor_exposure(members, "2020-06-30", "2020-06-30")
    assert frame.shape == (len(members), 10)
    assert (frame.abs() <= 3.5).all().all()
    spread = frame.std()
    assert (spread > 0.5).all() and (spread < 1.5).all()


def test_yield_curve_levels():
    curve = tickvane.get_yield_curve()
    assert curve.shape == (4105, 21)
    assert curve.min().min() >= 0.012 and curve.max().max() <= 0.048
    assert (curve["10Y"] > curve["0S"]).mean() > 0.8
    assert 0.025 < curve.loc["2017-11-22", "10Y"] < 0.045
    assert curve.loc["2025-06-30", "10Y"] < 0.025
