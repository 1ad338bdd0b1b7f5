"""Generates the sample A-share market and writes it as a store.

The model (SCHEMA.md, "The sample market", tells it in prose):

* Calendar: the Shanghai exchange's real sessions (exchange_calendars "XSHG").
* Stocks: listed before the calendar starts or in IPO waves (with the real freezes of
  2012-13 and late 2015), across the 28 Shenwan industries, each mapped to an MSCI sector.
  IPOs open 44 % up and then run limit-up streaks. Some stocks go through special treatment
  (ST) after a slide, and some of those are delisted; a few are delisted by merger.
  Suspensions last from a day to months, with the mass suspension of July 2015.
* Returns: the daily log return of stock i is
      m_t + (b_j - 1) m_t + g_jt + sum_k X_ik,t-1 f_kt + s_it e_it - s_it^2 / 2
  with m the market (a Brownian bridge through index levels of the real history), g the
  industry return, X the ten style exposures as of the previous close, f the factor
  returns, and e Student-t(4) noise scaled by a volatility that rises with the volatility
  exposure and under ST. Exposures are standardised each day (cap-weighted mean 0, unit
  standard deviation, clipped to +-3.5): size is log free-float capitalisation, momentum
  and reversal come from the stock's own past 12-1 and 1 month returns, liquidity and
  volatility mix a persistent trait with realised activity, the rest are persistent traits
  around industry means. Closes are rounded to the 0.01 tick and held within +-10 % of the
  reference price (+-5 % under ST); a move cut by the limit is carried to the next days.
* Corporate actions: cash dividends per 10 shares, mostly with a book closure in June or
  July, from a yield that depends on the industry; bonus-share splits, likelier for
  high-priced stocks. The ex date is the trading day after the book closure; the price
  reference drops accordingly and the adjustment factor takes it up.
* Indices: 000300.XSHG (300 largest) and 000905.XSHG (the next up to 500), reviewed at the
  June and December reviews by average free-float capitalisation with a buffer for
  incumbents, delisted members replaced at once; free-float cap weights on every month end
  and membership change; price-index closes. The 28 Shenwan industry indices are total-cap
  weighted over the industry's listed stocks. Six funds (ETFs and LOFs) track indices.
* Factor returns with regime drifts (the small-cap premium and its reversals), and a
  government yield curve (Nelson-Siegel through a short rate and a 10-year rate that
  follow the real history), as fractions.

Everything is drawn from numpy generators spawned from one seed, so a seed gives the same
store byte for byte on the same platform.
"""

import datetime as _dt
import math
import warnings

import numpy as np

from . import _schema
from ._progress import Progress
from ._writer import StoreWriter, build_lock, check_replaceable, redeliver

DEFAULT_SEED = _schema.SAMPLE_SEED
DEFAULT_STOCKS = _schema.SAMPLE_STOCKS
DEFAULT_START = _schema.SAMPLE_START
DEFAULT_END = _schema.SAMPLE_END
SAMPLE_VERSION = "1"

F = {name: k for k, name in enumerate(_schema.FACTORS)}
N_F = len(_schema.FACTORS)

# Index levels of the large-cap index through the real history; the market factor is a
# Brownian bridge through them.
MARKET_ANCHORS = (
    ("2010-01-04", 3535), ("2010-07-02", 2563), ("2010-11-08", 3500), ("2011-04-18", 3350),
    ("2012-01-06", 2300), ("2012-05-04", 2700), ("2012-12-03", 2100), ("2013-02-06", 2790),
    ("2013-06-25", 2100), ("2013-09-12", 2480), ("2014-03-20", 2090), ("2014-07-01", 2170),
    ("2014-12-31", 3530), ("2015-06-08", 5380), ("2015-07-08", 3660), ("2015-08-26", 2950),
    ("2015-12-23", 3870), ("2016-01-28", 2850), ("2016-11-29", 3550), ("2017-11-22", 4100),
    ("2018-01-24", 4390), ("2018-10-18", 3000), ("2019-01-03", 2960), ("2019-04-08", 4100),
    ("2019-12-31", 4100), ("2020-03-23", 3530), ("2020-07-13", 4800), ("2021-02-10", 5800),
    ("2021-07-28", 4800), ("2021-12-13", 5100), ("2022-04-26", 3760), ("2022-07-05", 4480),
    ("2022-10-31", 3500), ("2023-01-30", 4200), ("2023-12-29", 3430), ("2024-02-05", 3200),
    ("2024-05-20", 3700), ("2024-09-13", 3160), ("2024-10-08", 4260), ("2025-04-08", 3600),
    ("2025-09-18", 4550), ("2026-11-30", 4700),
)
# Multipliers of the market's daily volatility from each date on.
VOL_REGIMES = (
    ("2000-01-01", 1.25), ("2012-01-01", 1.0), ("2014-11-01", 1.4), ("2015-04-01", 2.0),
    ("2015-06-15", 3.0), ("2015-09-15", 1.8), ("2016-01-01", 2.2), ("2016-03-01", 1.1),
    ("2017-01-01", 0.65), ("2018-02-01", 1.2), ("2019-01-01", 1.35), ("2019-06-01", 1.0),
    ("2020-01-20", 1.6), ("2020-05-01", 1.1), ("2021-01-01", 1.2), ("2022-01-01", 1.15),
    ("2023-01-01", 0.85), ("2024-01-01", 1.2), ("2024-10-01", 1.8), ("2024-12-01", 1.1),
    ("2025-04-01", 1.3), ("2025-05-01", 0.9),
)
MARKET_VOL = 0.011
REVERSION_DAYS = 1500.0
# Annual drift of the size factor return (negative: small caps lead).
SIZE_DRIFT = {2010: -0.10, 2011: -0.06, 2012: -0.05, 2013: -0.12, 2014: -0.08,
              2015: -0.14, 2016: -0.04, 2017: 0.12, 2018: 0.06, 2019: 0.04, 2020: 0.05,
              2021: -0.08, 2022: -0.04, 2023: -0.10, 2024: 0.04, 2025: -0.06, 2026: -0.03}
FACTOR_VOL = {"beta": 0.0015, "growth": 0.0012, "liquidity": 0.0020, "leverage": 0.0010,
              "momentum": 0.0022, "reversal": 0.0025, "size": 0.0030, "yield": 0.0010,
              "volatility": 0.0022, "value": 0.0015}
# (date, short rate %, 10-year rate %) of the government curve.
CURVE_ANCHORS = (
    ("2010-01-04", 1.35, 3.65), ("2010-12-31", 2.60, 3.90), ("2011-08-31", 3.30, 4.00),
    ("2012-06-29", 2.20, 3.30), ("2013-01-31", 2.50, 3.60), ("2013-06-28", 3.80, 3.60),
    ("2013-11-20", 4.00, 4.45), ("2014-06-30", 3.00, 4.10), ("2014-12-31", 3.00, 3.60),
    ("2015-06-30", 1.60, 3.50), ("2016-01-29", 2.10, 2.85), ("2016-10-21", 2.05, 2.65),
    ("2017-05-31", 3.20, 3.60), ("2017-11-22", 3.55, 3.95), ("2018-06-29", 2.95, 3.50),
    ("2018-12-28", 2.30, 3.25), ("2019-12-31", 2.35, 3.15), ("2020-04-30", 1.30, 2.50),
    ("2020-11-30", 2.70, 3.30), ("2021-12-31", 2.05, 2.78), ("2022-08-31", 1.50, 2.63),
    ("2022-12-30", 2.00, 2.84), ("2023-12-29", 2.05, 2.56), ("2024-08-30", 1.45, 2.17),
    ("2024-12-31", 1.35, 1.70), ("2025-06-30", 1.38, 1.66), ("2025-12-31", 1.42, 1.80),
    ("2026-11-30", 1.45, 1.85),
)

# Per Shenwan industry: relative number of stocks, MSCI sector(s) with probabilities,
# market beta, dividend yield, idiosyncratic volatility multiplier, size multiplier, and
# name endings.
INDUSTRY_TRAITS = {
    "农林牧渔": (3.5, {"必需消费品": 1.0}, 1.00, 0.008, 1.10, 0.8, ("农业", "牧业", "种业", "渔业")),
    "采掘": (2.2, {"能源": 0.75, "原材料": 0.25}, 1.05, 0.025, 0.95, 3.0, ("能源", "煤业", "石化")),
    "化工": (8.5, {"原材料": 1.0}, 1.05, 0.012, 1.00, 0.9, ("化工", "化学", "新材")),
    "钢铁": (1.2, {"原材料": 1.0}, 1.05, 0.022, 0.95, 1.5, ("钢铁", "特钢")),
    "有色金属": (3.3, {"原材料": 1.0}, 1.20, 0.010, 1.10, 1.2, ("矿业", "铝业", "铜业", "稀土")),
    "电子": (7.0, {"信息技术": 1.0}, 1.15, 0.008, 1.10, 1.0, ("电子", "光电", "微电")),
    "家用电器": (2.0, {"非必需消费品": 1.0}, 0.95, 0.022, 0.90, 1.5, ("电器", "家电")),
    "食品饮料": (3.2, {"必需消费品": 1.0}, 0.90, 0.018, 0.90, 2.0, ("食品", "酒业", "乳业", "饮品")),
    "纺织服装": (2.5, {"非必需消费品": 1.0}, 0.95, 0.012, 1.00, 0.6, ("纺织", "服饰")),
    "轻工制造": (3.8, {"非必需消费品": 0.6, "原材料": 0.4}, 1.00, 0.010, 1.00, 0.7, ("纸业", "家居", "包装")),
    "医药生物": (8.5, {"医疗保健": 1.0}, 0.95, 0.008, 1.00, 1.2, ("药业", "医药", "生物", "制药")),
    "公用事业": (4.0, {"公共服务": 1.0}, 0.75, 0.030, 0.80, 1.3, ("电力", "水务", "燃气", "环保")),
    "交通运输": (3.5, {"工业": 1.0}, 0.90, 0.025, 0.85, 1.6, ("港口", "物流", "航运", "高速")),
    "房地产": (3.5, {"金融": 1.0}, 1.10, 0.020, 1.00, 1.2, ("地产", "置业", "发展")),
    "商业贸易": (2.8, {"非必需消费品": 0.7, "必需消费品": 0.3}, 0.95, 0.012, 1.00, 0.8, ("商业", "百货", "商贸")),
    "休闲服务": (1.0, {"非必需消费品": 1.0}, 1.00, 0.010, 1.05, 0.9, ("旅游", "酒店")),
    "综合": (1.0, {"工业": 1.0}, 1.00, 0.006, 1.10, 0.6, ("实业", "控股")),
    "建筑材料": (2.0, {"原材料": 1.0}, 1.05, 0.018, 1.00, 1.1, ("建材", "水泥", "玻璃")),
    "建筑装饰": (3.8, {"工业": 1.0}, 0.95, 0.012, 0.95, 1.3, ("建设", "建工", "装饰")),
    "电气设备": (6.0, {"工业": 1.0}, 1.15, 0.010, 1.05, 1.0, ("电气", "电源", "新能")),
    "国防军工": (2.2, {"工业": 1.0}, 1.20, 0.004, 1.15, 1.1, ("航天", "军工", "重工")),
    "计算机": (6.5, {"信息技术": 1.0}, 1.20, 0.005, 1.15, 0.9, ("科技", "软件", "信息", "数据")),
    "传媒": (4.0, {"非必需消费品": 1.0}, 1.15, 0.008, 1.15, 0.9, ("传媒", "文化", "影视")),
    "通信": (2.8, {"电信服务": 0.4, "信息技术": 0.6}, 1.10, 0.008, 1.05, 1.3, ("通信", "通讯", "网络")),
    "银行": (1.4, {"金融": 1.0}, 0.70, 0.045, 0.55, 12.0, ("银行",)),
    "非银金融": (2.5, {"金融": 1.0}, 1.40, 0.015, 1.05, 4.0, ("证券", "保险", "信托")),
    "汽车": (4.5, {"非必需消费品": 1.0}, 1.05, 0.018, 1.00, 1.1, ("汽车", "汽配", "客车")),
    "机械设备": (9.0, {"工业": 1.0}, 1.05, 0.010, 1.00, 0.9, ("机械", "重机", "装备", "精工")),
}
# Industry means of the persistent exposure traits.
TRAIT_MEANS = {
    "银行": {"beta": -0.6, "growth": -0.5, "leverage": 2.0, "yield": 1.5, "value": 1.8,
             "volatility": -1.0, "liquidity": -0.6},
    "非银金融": {"beta": 1.0, "leverage": 1.0, "value": 0.5},
    "房地产": {"leverage": 1.2, "value": 0.8, "yield": 0.4},
    "钢铁": {"value": 0.8, "leverage": 0.6},
    "采掘": {"value": 0.6, "yield": 0.5},
    "公用事业": {"beta": -0.6, "yield": 0.8, "volatility": -0.5, "leverage": 0.5},
    "交通运输": {"beta": -0.3, "yield": 0.5},
    "食品饮料": {"beta": -0.3, "yield": 0.6, "growth": 0.3},
    "计算机": {"beta": 0.4, "growth": 0.5, "value": -0.6, "leverage": -0.6, "volatility": 0.4},
    "电子": {"beta": 0.3, "growth": 0.5, "value": -0.5, "leverage": -0.4},
    "传媒": {"beta": 0.3, "growth": 0.3, "value": -0.4, "volatility": 0.4},
    "医药生物": {"growth": 0.3, "value": -0.4, "leverage": -0.4},
    "国防军工": {"beta": 0.5, "value": -0.5, "volatility": 0.5},
}

NAME_HEADS = (
    "华夏", "东方", "中原", "长江", "金桥", "海天", "宏达", "恒信", "新华", "天成", "鑫源", "龙腾",
    "申华", "浙江", "江苏", "广州", "深圳", "北京", "上海", "福建", "湖南", "四川", "山东", "安徽",
    "云南", "贵州", "西部", "南方", "华东", "华北", "华南", "中科", "国投", "万向", "永泰", "康达",
    "瑞丰", "泰和", "丰华", "凯迪", "荣盛", "远大", "通达", "明阳", "金发", "星湖", "天山", "黄河",
    "太行", "峨眉", "泰山", "珠江", "钱江", "东湖", "西湖", "北方", "光明", "和信", "德豪", "富春",
    "宝利", "嘉华", "佳禾", "鼎盛", "汇通", "联创", "中天", "信达", "天润", "金山", "开元", "华鑫",
    "正元", "新宇", "恒泰", "东华", "中恒", "兴业", "大成", "长城", "江南", "海宁", "宁波", "厦门",
    "青岛", "大连", "沈阳", "天津", "重庆", "武汉", "南京", "杭州", "合肥", "昆明", "兰州", "西宁",
    "银川", "拉萨", "桂林", "海南", "吉林", "辽宁", "河北", "河南", "山西", "陕西", "甘肃", "新疆",
    "内蒙", "广西", "江西", "湖北", "黑龙", "华菱", "天马", "金鹰", "银座", "万顺", "国新", "华光",
    "中电", "航宇", "博雅", "振华", "同益", "普天", "亚太", "环球", "四维", "九洲", "三元", "百联",
    "千禾", "万里", "大洋", "晨光", "朝阳", "新天", "恒源", "德润", "盛达", "安泰", "荣华", "顺发",
)

FUNDS = (
    # id, symbol, type, listed, tracked series, initial price, yearly fee, extra drift
    ("510050.XSHG", "上证50ETF", "ETF", "2005-02-23", "hs300", 2.6, 0.006, 0.0),
    ("510300.XSHG", "沪深300ETF", "ETF", "2012-05-28", "hs300", None, 0.006, 0.0),
    ("510500.XSHG", "中证500ETF", "ETF", "2013-03-15", "zz500", None, 0.006, 0.0),
    ("159915.XSHE", "创业板ETF", "ETF", "2011-12-09", "chinext", 1.0, 0.006, 0.0),
    ("161725.XSHE", "食品饮料LOF", "LOF", "2015-05-27", "food", 1.0, 0.010, 0.0),
    ("163406.XSHE", "成长优选LOF", "LOF", "2010-04-22", "hs300", 1.0, 0.015, 0.03),
)
HS300_ID, ZZ500_ID = "000300.XSHG", "000905.XSHG"


def build_sample(path, seed=DEFAULT_SEED, n_stocks=DEFAULT_STOCKS, start=DEFAULT_START,
                 end=DEFAULT_END, progress=True, force=False):
    """Generate the sample market and write it to `path` atomically; return the path.

    A store of imported data (or a file that is no store) at `path` is replaced only with
    `force`. The parameters are recorded in the store's meta table, so that a damaged
    sample can be rebuilt as it was.
    """
    seed, n_stocks, start, end = check_parameters(seed, n_stocks, start, end)
    bar = Progress("tickvane sample", enabled=progress)
    try:
        with build_lock(path):
            # Checked before the work and again before the rename: an import may have
            # written the target meanwhile (imports do not take the build lock).
            check_replaceable(path, "build-sample", force)
            with StoreWriter(path, before_replace=lambda: check_replaceable(
                    path, "build-sample", force)) as writer:
                tables = generate(seed, n_stocks, start, end, bar)
                write_tables(writer, tables, bar, first=0.55)
                writer.set_meta(source="sample", seed=seed, n_stocks=n_stocks,
                                start_date=start, end_date=end,
                                sample_version=SAMPLE_VERSION, shenwan_set="sw2014",
                                sector_set="msci10")
                bar.stage("finishing the store file", 0.99)
    except BaseException as exc:
        bar.fail()
        redeliver(exc)
        raise
    bar.done("sample market ready at %s" % path)
    return path


def check_parameters(seed, n_stocks, start, end):
    """(seed, n_stocks, start, end) checked and normalised (dates as ISO text); ValueError
    naming the parameter otherwise."""
    def whole(name, value, low):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < low:
            raise ValueError("%s must be a whole number of at least %d, not %r"
                             % (name, low, value))
        return int(value)

    def day(name, value):
        from ._dates import to_ordinal

        try:
            d = _dt.date.fromordinal(to_ordinal(value))
        except ValueError:
            raise ValueError("%s must be a date such as 2010-01-04, not %r"
                             % (name, value)) from None
        if not 1900 <= d.year <= 2199:
            raise ValueError("%s must lie in 1900 to 2199 (the years a store holds), not %r"
                             % (name, value))
        return d

    seed = whole("seed", seed, 0)
    if seed >= 2 ** 128:
        raise ValueError("seed must be below 2**128, not %r" % seed)
    n_stocks = whole("n_stocks", n_stocks, 10)
    first, last = day("start", start), day("end", end)
    if first >= last:
        raise ValueError("start (%s) must come before end (%s)" % (first, last))
    return seed, n_stocks, first.isoformat(), last.isoformat()


def write_tables(writer, tables, bar, first=0.0):
    """Insert generated or imported tables (dicts of row iterables, see generate)."""
    weights = {"prices": 0.25, "factor_exposures": 0.6}
    total = sum(weights.get(t, 0.15 / 9) for t in _schema.TABLES)
    done = first
    for table in _schema.TABLES:
        share = (1.0 - first - 0.02) * weights.get(table, 0.15 / 9) / total
        bar.stage("writing %s" % table.replace("_", " "), done)
        rows = tables.get(table, ())
        if callable(rows):
            for k, n, chunk in rows():
                writer.insert(table, chunk)
                bar.update(done + share * k / max(n, 1))
        else:
            writer.insert(table, rows)
        done += share


def generate(seed, n_stocks=DEFAULT_STOCKS, start=DEFAULT_START, end=DEFAULT_END, bar=None):
    """The sample market as tables: {table: list of row tuples, or a chunk generator}."""
    bar = bar or Progress("tickvane sample", enabled=False)
    return _Market(seed, n_stocks, start, end, bar).tables()


# ------------------------------------------------------------------------------ helpers


def _ordinal(text):
    return _dt.date.fromisoformat(text).toordinal()


def _weekday_on_or_before(ordinal):
    d = _dt.date.fromordinal(ordinal)
    while d.weekday() >= 5:
        d -= _dt.timedelta(days=1)
    return d


def _ymd(d):
    return d.year * 10000 + d.month * 100 + d.day


class _Market:
    def __init__(self, seed, n_stocks, start, end, bar):
        if n_stocks < 10:
            raise ValueError("the sample needs at least 10 stocks, not %d" % n_stocks)
        self.bar = bar
        self.seed = seed
        self.n = int(n_stocks)
        # One independent stream per component: changing how one part draws leaves the
        # others' data as it was.
        streams = np.random.SeedSequence(seed).spawn(11)
        (self.rng_universe, self.rng_events, self.rng_paths, self.rng_noise, self.rng_traits,
         self.rng_names, self.rng_index, self.rng_funds, self.rng_curve, self.rng_susp,
         self.rng_divs) = [np.random.default_rng(s) for s in streams]
        bar.stage("reading the Shanghai trading calendar", 0.0)
        self._calendar(start, end)
        bar.stage("drawing %d stocks" % self.n, 0.03)
        self._universe()
        self._special_treatment()
        self._suspensions()
        bar.stage("drawing market, industry and factor returns", 0.06)
        self._paths()
        self._dividend_schedule()
        bar.stage("simulating daily prices and exposures", 0.08)
        self._simulate()
        bar.stage("building index membership, weights and closes", 0.40)
        self._codes_and_names()
        self._indices()
        bar.stage("pricing funds and the yield curve", 0.48)
        self._funds()
        self._yield_curve()

    # -------------------------------------------------------------- calendar

    def _calendar(self, start, end):
        import exchange_calendars
        import pandas as pd

        start_ts, end_ts = pd.Timestamp(start), pd.Timestamp(end)
        with warnings.catch_warnings():
            # The calendar package trips deprecation warnings of newer pandas; they are
            # its own business and must not fail a build run with warnings as errors.
            warnings.simplefilter("ignore")
            cal = exchange_calendars.get_calendar("XSHG", start=start_ts, end=end_ts)
        sessions = cal.sessions[(cal.sessions >= start_ts) & (cal.sessions <= end_ts)]
        if len(sessions) < 60:
            raise ValueError("the sample needs at least 60 trading days between %s and %s"
                             % (start, end))
        self.days = [d.date() for d in sessions]
        self.T = len(self.days)
        self.ymd = np.array([_ymd(d) for d in self.days], dtype=np.int64)
        self.ord = np.array([d.toordinal() for d in self.days], dtype=np.int64)
        self.year = self.ymd // 10000
        self.month = self.ymd // 100 % 100

    def _idx_on_or_after(self, ordinal):
        return int(np.searchsorted(self.ord, ordinal, side="left"))

    def _piecewise(self, table):
        """Value from each date on, as a daily array (table sorted by date)."""
        out = np.full(self.T, table[0][1], dtype=float)
        for text, value in table:
            out[self._idx_on_or_after(_ordinal(text)):] = value
        return out

    # -------------------------------------------------------------- universe

    def _universe(self):
        rng, n, T = self.rng_universe, self.n, self.T
        names = _schema.SHENWAN_NAMES
        share = np.array([INDUSTRY_TRAITS[name][0] for name in names])
        industry = rng.choice(len(names), size=n, p=share / share.sum())
        if n >= 2 * len(names):  # every industry represented
            industry[:len(names)] = rng.permutation(len(names))
        self.industry = industry
        sectors = []
        forced = set()
        for i in range(n):
            options = INDUSTRY_TRAITS[names[industry[i]]][1]
            keys = list(options)
            probs = np.array([options[k] for k in keys])
            pick = keys[rng.choice(len(keys), p=probs / probs.sum())]
            # The first stock of a split industry takes its rarer sector, so that all ten
            # sectors have stocks.
            if len(keys) > 1 and industry[i] not in forced:
                forced.add(industry[i])
                pick = min(keys, key=lambda k: options[k])
            sectors.append(pick)
        self.sector = sectors

        years = self.T / 244.0
        pre_share = 1.0 - 0.28 * min(1.0, years / 17.0)
        pre = rng.random(n) < pre_share
        self.listed_before = pre
        list_idx = np.zeros(n, dtype=np.int64)
        intensity = self._piecewise((
            ("2000-01-01", 2.0), ("2012-01-01", 1.0), ("2012-11-01", 0.0),
            ("2014-01-17", 1.0), ("2015-07-04", 0.0), ("2015-12-01", 1.2),
            ("2017-01-01", 2.5), ("2018-01-01", 0.8), ("2019-07-01", 2.0),
            ("2022-01-01", 1.2), ("2023-09-01", 0.35)))
        intensity[0] = 0.0
        if intensity.sum() == 0:
            intensity[1:] = 1.0
        n_ipo = int((~pre).sum())
        list_idx[~pre] = np.sort(rng.choice(T, size=n_ipo, p=intensity / intensity.sum()))
        self.list_idx = list_idx
        first = self.ord[0]
        # Listing dates before the calendar: weighted towards the years just before it.
        back = np.minimum(rng.exponential(2600.0, size=n) + 40, first - _ordinal("1990-12-19"))
        self.listed_ord = np.where(pre, first - back.astype(np.int64), self.ord[list_idx])
        self.listed_ord = np.array([_weekday_on_or_before(int(o)).toordinal()
                                    for o in self.listed_ord], dtype=np.int64)
        self.delist_idx = np.full(n, T, dtype=np.int64)

        ind_names = [names[j] for j in industry]
        size_mult = np.array([INDUSTRY_TRAITS[s][5] for s in ind_names])
        cap = np.exp(rng.normal(math.log(6e9), 1.1, size=n)) * size_mult
        cap = np.where(pre, cap, np.exp(rng.normal(math.log(3.5e9), 0.8, size=n)) * size_mult)
        price = np.exp(rng.normal(math.log(9.0), 0.6, size=n))
        price = np.where(np.array([s == "银行" for s in ind_names]), price * 0.7, price)
        price = np.where(np.array([s == "食品饮料" for s in ind_names])
                         & (rng.random(n) < 0.25), price * 5.0, price)
        ipo_price = np.exp(rng.normal(math.log(14.0), 0.5, size=n))
        self.price0 = np.round(np.clip(np.where(pre, price, ipo_price), 2.5, 400.0), 2)
        self.ipo_open = np.where(rng.random(n) < 0.8, 1.44, rng.uniform(1.0, 1.44, size=n))
        self.ipo_run = np.log(rng.uniform(1.0, 2.5, size=n))
        self.shares0 = np.round(cap / self.price0, -4)
        self.free_float = np.where(np.array([s == "银行" for s in ind_names]),
                                   rng.uniform(0.2, 0.6, size=n), rng.uniform(0.3, 0.95, size=n))
        vol_mult = np.array([INDUSTRY_TRAITS[s][4] for s in ind_names])
        self.sig_base = np.clip(0.017 * (cap / 6e9) ** -0.1, 0.009, 0.028) * vol_mult
        self.beta_ind = np.array([INDUSTRY_TRAITS[s][2] for s in ind_names])
        self.yield_base = (np.array([INDUSTRY_TRAITS[s][3] for s in ind_names])
                           * np.exp(rng.normal(0.0, 0.5, size=n)))
        self.exchange = np.where(rng.random(n) < 0.55, "XSHG", "XSHE")

        mu = self.rng_traits.normal(0.0, 0.6, size=(n, N_F))
        for i, s in enumerate(ind_names):
            for factor, value in TRAIT_MEANS.get(s, {}).items():
                mu[i, F[factor]] += value
        # The volatility trait also follows size: small companies are the jumpier ones.
        mu[:, F["volatility"]] -= 0.4 * (np.log(cap) - np.log(cap).mean())
        self.trait_mean = mu

    def _special_treatment(self):
        rng, n, T = self.rng_events, self.n, self.T
        st_start = np.full(n, -1, dtype=np.int64)
        st_end = np.full(n, -1, dtype=np.int64)
        st_start_ord = np.zeros(n, dtype=np.int64)
        delist_by_st = np.zeros(n, dtype=bool)
        for i in range(n):
            u = rng.random(4)
            if u[0] >= 0.11:
                if u[1] < 0.015 and T - self.list_idx[i] > 600:  # absorbed by a merger
                    self.delist_idx[i] = int(rng.integers(self.list_idx[i] + 500, T))
                continue
            if self.listed_before[i] and u[1] < 0.2:
                begin = 0
                st_start_ord[i] = _weekday_on_or_before(
                    int(self.ord[0] - rng.integers(30, 600))).toordinal()
                st_start_ord[i] = max(st_start_ord[i], self.listed_ord[i] + 30)
            else:
                lo = self.list_idx[i] + 250
                if lo >= T - 20:
                    continue
                begin = int(rng.integers(lo, T - 20))
                st_start_ord[i] = self.ord[begin]
            length = int(rng.integers(150, 900))
            finish = begin + length - 1
            st_start[i] = begin
            if finish >= T - 1:
                st_end[i] = T - 1
                continue
            st_end[i] = finish
            if u[2] < 0.35:
                self.delist_idx[i] = finish + 1
                delist_by_st[i] = True
        self.st_start, self.st_end, self.st_start_ord = st_start, st_end, st_start_ord
        self.st_ongoing = (st_start >= 0) & (st_end == T - 1) & (self.delist_idx == T)
        self.delist_by_st = delist_by_st
        t = np.arange(T)[:, None]
        self.st = (st_start[None, :] >= 0) & (t >= st_start[None, :]) & (t <= st_end[None, :])
        self.listed = (t >= self.list_idx[None, :]) & (t < self.delist_idx[None, :])

    def _suspensions(self):
        rng, n, T = self.rng_susp, self.n, self.T
        susp = np.zeros((T, n), dtype=bool)
        for i in range(n):
            lo, hi = int(self.list_idx[i]) + 5, int(self.delist_idx[i])
            if hi - lo < 10:
                continue
            for _ in range(rng.poisson(0.6)):
                begin = int(rng.integers(lo, hi))
                kind = rng.random()
                length = int(rng.integers(1, 6) if kind < 0.7 else
                             rng.integers(6, 61) if kind < 0.95 else rng.integers(61, 251))
                susp[begin:min(begin + length, hi), i] = True
        crash = self._idx_on_or_after(_ordinal("2015-07-06"))
        if 0 < crash < T - 45 and self.ymd[crash] < 20150710:
            for i in np.flatnonzero(self.listed[crash] & (rng.random(n) < 0.3)):
                begin = crash + int(rng.integers(0, 4))
                if begin < self.list_idx[i] + 5:
                    continue
                susp[begin:min(begin + int(rng.integers(3, 41)), self.delist_idx[i]), i] = True
        self.suspended = susp & self.listed
        self.trading = self.listed & ~self.suspended

    # -------------------------------------------------------------- common paths

    def _paths(self):
        rng, T = self.rng_paths, self.T
        vol = self._piecewise(VOL_REGIMES)
        self.vol_regime = vol
        anchor_pos = np.array([np.searchsorted(self.ord, _ordinal(d)) for d, _ in MARKET_ANCHORS],
                              dtype=float)
        anchor_lvl = np.log([v for _, v in MARKET_ANCHORS])
        anchor_ord = np.array([_ordinal(d) for d, _ in MARKET_ANCHORS], dtype=float)
        trend = np.interp(self.ord.astype(float), anchor_ord, anchor_lvl)
        walk = np.cumsum(rng.normal(0.0, 1.0, size=T) * MARKET_VOL * vol)
        knots = np.unique(np.clip(np.concatenate([[0, T - 1], anchor_pos]), 0, T - 1)).astype(int)
        bridge = walk - np.interp(np.arange(T), knots, walk[knots])
        level = trend + bridge
        self.market_level0 = math.exp(level[0])
        m = np.empty(T)
        m[0] = 0.0
        m[1:] = np.diff(level)
        # The stocks' log returns carry the dividends the price index gives away.
        m[1:] += 0.018 / 244
        self.m = m

        years = sorted(set(self.year.tolist()))
        f = np.empty((T, N_F))
        for name, k in F.items():
            drift = np.zeros(T)
            for y in years:
                mean = {"reversal": -0.06, "volatility": -0.04, "momentum": -0.01}.get(name, 0.0)
                d = SIZE_DRIFT.get(y, -0.03) if name == "size" else mean + rng.normal(0, 0.04)
                drift[self.year == y] = d / 244
            shocks = rng.normal(0.0, 1.0, size=T)
            ar = np.empty(T)
            ar[0] = shocks[0]
            for t in range(1, T):  # mild autocorrelation of factor returns
                ar[t] = 0.1 * ar[t - 1] + shocks[t]
            f[:, k] = drift + FACTOR_VOL[name] * ar * np.sqrt(np.clip(vol, 0.7, 2.0))
        f[:, F["beta"]] += 0.3 * (m - m.mean())
        f[0] = 0.0
        self.f = np.round(f, 6)

        n_ind = len(_schema.SHENWAN_NAMES)
        g = rng.normal(0.0, 0.0055, size=(T, n_ind)) * np.sqrt(vol)[:, None]
        for y in years:
            g[self.year == y] += rng.normal(0.0, 0.10, size=n_ind) / 244
        g[0] = 0.0
        self.g = g
        self.eps = self.rng_noise.standard_t(4, size=(T, self.n)) / math.sqrt(2.0)

    def _dividend_schedule(self):
        """Book-closure days of the yearly cash dividends, with the draws that later fix
        the amount and any bonus-share split; amounts follow from the close of that day."""
        rng, T = self.rng_divs, self.T
        years = sorted(set(self.year.tolist()))
        days_of = {y: np.flatnonzero(self.year == y) for y in years}
        by_book = {}
        for i in range(self.n):
            bank = _schema.SHENWAN_NAMES[self.industry[i]] == "银行"
            for y in years:
                in_year = days_of[y]
                # A stock pays out of last year's profit; one listed this spring pays half
                # the time, one listed later waits for next year.
                listed_early = self.list_idx[i] <= in_year[0] + 40
                if not listed_early and not (self.list_idx[i] < in_year[0] + 160
                                             and rng.random() < 0.5):
                    continue
                if rng.random() > (0.95 if bank else 0.68):
                    continue
                if rng.random() < 0.8:
                    window = in_year[(self.month[in_year] >= 6) & (self.month[in_year] <= 7)]
                else:
                    window = in_year[(self.month[in_year] >= 4)
                                     & (self.ymd[in_year] % 10000 <= 1215)]
                for _ in range(8):  # a few tries to land on a day it trades, and the next
                    if not len(window):
                        break
                    b = int(rng.choice(window))
                    if (b + 1 < T and b > self.list_idx[i] and self.trading[b, i]
                            and self.trading[b + 1, i] and not self.st[b, i]):
                        by_book.setdefault(b, []).append(
                            (i, rng.random(), int(rng.choice(
                                [12, 13, 15, 16, 18, 20, 25, 30],
                                p=[.08, .14, .22, .08, .08, .3, .05, .05])),
                             math.exp(rng.normal(0.0, 0.3))))
                        break
        self.book_events = by_book

    # -------------------------------------------------------------- simulation

    def _simulate(self):
        n, T = self.n, self.T
        close = np.full((T, n), np.nan)
        adj = np.full((T, n), np.nan)
        shares_out = np.empty((T, n))
        pr = np.ones((T, n))        # price relative (splits taken out, dividends not)
        tr = np.ones((T, n))        # total-return relative
        X_out = np.full((T, n, N_F), np.nan)
        cum_hist = np.zeros((T, n))
        P = np.full(n, np.nan)
        A = np.ones(n)
        shares = self.shares0.astype(float).copy()
        gap = np.zeros(n)
        started = np.zeros(n, dtype=bool)
        cum = np.zeros(n)
        market_cum = np.zeros(n)
        first_idx = np.full(n, -1, dtype=np.int64)
        ewma_abs = self.sig_base * 0.8
        ewma_sq = self.sig_base ** 2
        mu = self.trait_mean
        Z = mu + 0.6 * self.rng_traits.normal(size=(n, N_F))
        phi = 0.996
        X_prev = np.zeros((n, N_F))
        ind = self.industry
        pending = {}
        dividends, splits = [], []
        pre_st = np.where(self.st_start > 0, self.st_start - 250, T + 1)
        pre_delist = np.where(self.delist_by_st, self.delist_idx - 60, T + 1)
        noise_rng = self.rng_traits
        for t in range(T):
            if t % 100 == 0:
                self.bar.update(0.08 + 0.32 * t / T,
                                "%d-%02d" % (self.ymd[t] // 10000, self.ymd[t] // 100 % 100))
            st_t = self.st[t]
            sig = self.sig_base * np.exp(0.25 * Z[:, F["volatility"]]) * np.where(st_t, 1.5, 1.0)
            drift = np.where((t >= pre_st) & (t < self.st_start), -0.0015, 0.0)
            drift += np.where((t >= pre_delist) & (t < self.delist_idx), -0.004, 0.0)
            # Weak pull of each stock's path towards its market-beta path keeps the spread
            # of prices realistic over sixteen years (no stock drifts to a few fen).
            drift -= (cum + gap - market_cum) / REVERSION_DAYS
            r = (self.m[t] * self.beta_ind + self.g[t, ind] + X_prev @ self.f[t]
                 + sig * self.eps[t] - 0.5 * sig * sig + drift)
            trading = self.trading[t]
            ref = P.copy()
            ratio = np.ones(n)
            for i, cash10, ratio_i in pending.pop(t, ()):
                new_ref = max(round((P[i] - cash10 / 10.0) / ratio_i, 2), 0.01)
                A[i] *= P[i] / new_ref
                ref[i] = new_ref
                ratio[i] = ratio_i
                shares[i] *= ratio_i
            moving = trading & started
            if moving.any():
                raw = r[moving] + gap[moving]
                base = ref[moving]
                limit = np.where(st_t[moving], 0.05, 0.10)
                up = np.round(base * (1 + limit), 2)
                down = np.round(base * (1 - limit), 2)
                new = np.maximum(np.clip(np.round(base * np.exp(raw), 2), down, up), 0.01)
                realised = np.log(new / base)
                gap[moving] = raw - realised
                pr[t, moving] = new * ratio[moving] / P[moving]
                tr[t, moving] = new / base
                cum[moving] += realised
                ewma_abs[moving] = 0.94 * ewma_abs[moving] + 0.06 * np.abs(realised)
                ewma_sq[moving] = 0.94 * ewma_sq[moving] + 0.06 * realised ** 2
                P[moving] = new
            waiting = self.suspended[t] & started
            gap[waiting] += r[waiting]
            market_cum[started] += self.m[t] * self.beta_ind[started]
            opening = trading & ~started
            if opening.any():
                ipo = opening & ~self.listed_before
                P[opening] = self.price0[opening]
                P[ipo] = np.round(self.price0[ipo] * self.ipo_open[ipo], 2)
                gap[ipo] = self.ipo_run[ipo]
                started |= opening
                first_idx[opening] = t
            close[t, trading] = P[trading]
            adj[t, trading] = A[trading]
            shares_out[t] = shares
            cum_hist[t] = cum

            # Book closures: the cash amount follows from today's close; splits are
            # likelier for expensive stocks. Both take effect on the next trading day.
            for i, u_split, to, jitter in self.book_events.get(t, ()):
                if not started[i]:
                    continue
                if P[i] < 2.0:
                    continue
                cash10 = max(round(10.0 * min(self.yield_base[i] * jitter, 0.1) * P[i], 2), 0.01)
                ratio_i = 1.0
                if u_split < (0.45 if P[i] > 40 else 0.07):
                    ratio_i = to / 10.0
                    splits.append((i, t + 1, 10.0, float(to)))
                dividends.append((i, t, t + 1, cash10))
                pending.setdefault(t + 1, []).append((i, cash10, ratio_i))

            # Exposures as of today's close.
            live = self.listed[t] & started
            Z = mu + phi * (Z - mu) + math.sqrt(1 - phi * phi) * 0.6 * noise_rng.normal(size=(n, N_F))
            if live.any():
                X_prev = self._exposures(t, live, Z, P, shares, cum_hist, first_idx,
                                         ewma_abs, ewma_sq)
                X_out[t, live] = X_prev[live]
        self.close, self.adj, self.shares, self.pr, self.tr = close, adj, shares_out, pr, tr
        self.X = X_out
        self.dividends, self.splits = dividends, splits

    def _exposures(self, t, live, Z, P, shares, cum_hist, first_idx, ewma_abs, ewma_sq):
        n = self.n
        cap = P * shares * self.free_float
        S = Z.copy()
        history = t - first_idx

        def window_return(back_from, back_to):
            a = np.maximum(t - back_to, first_idx)
            b = np.maximum(t - back_from, first_idx)
            a = np.clip(a, 0, t)
            b = np.clip(b, 0, t)
            cols = np.arange(n)
            return cum_hist[b, cols] - cum_hist[a, cols]

        def z(values):
            v = values[live]
            sd = v.std()
            out = np.zeros(n)
            out[live] = (v - v.mean()) / sd if sd > 0 else 0.0
            return out

        S[:, F["size"]] = np.log(np.where(live, cap, 1.0))
        S[:, F["momentum"]] = np.where(history >= 42, window_return(21, 252), 0.0)
        S[:, F["reversal"]] = np.where(history >= 5, window_return(0, 21), 0.0)
        S[:, F["liquidity"]] = 0.6 * Z[:, F["liquidity"]] + 0.4 * z(np.log(ewma_abs + 1e-6))
        S[:, F["volatility"]] = 0.5 * Z[:, F["volatility"]] + 0.5 * z(0.5 * np.log(ewma_sq + 1e-8))
        S[:, F["value"]] = Z[:, F["value"]] - 0.3 * z(window_return(0, 250))
        w = np.where(live, cap, 0.0)
        w = w / w.sum()
        Sl = S[live]
        centre = w[live] @ Sl
        sd = Sl.std(axis=0)
        sd[sd == 0] = 1.0
        X = np.zeros((n, N_F))
        X[live] = np.round(np.clip((Sl - centre) / sd, -3.5, 3.5), 4)
        return X

    # -------------------------------------------------------------- indices

    def _ffill(self, matrix):
        T = matrix.shape[0]
        idx = np.where(~np.isnan(matrix), np.arange(T)[:, None], 0)
        np.maximum.accumulate(idx, axis=0, out=idx)
        out = matrix[idx, np.arange(matrix.shape[1])]
        return np.where(self.listed, out, np.nan)

    def _review_days(self):
        """Effective positions of the June and December reviews: the trading day after the
        second Friday of the month."""
        out = []
        for y in sorted(set(self.year.tolist())):
            for month in (6, 12):
                d = _dt.date(y, month, 1)
                fridays = 0
                while True:
                    if d.weekday() == 4:
                        fridays += 1
                        if fridays == 2:
                            break
                    d += _dt.timedelta(days=1)
                pos = int(np.searchsorted(self.ord, d.toordinal(), side="right"))
                if 0 < pos < self.T:
                    out.append(pos)
        return out

    def _indices(self):
        T, n = self.T, self.n
        close_ff = self._ffill(self.close)
        cap = close_ff * self.shares
        self.cap = cap
        ffcap = cap * self.free_float
        hs_size = min(300, max(2, round(300 * n / 850)))
        zz_size = min(500, max(2, round(500 * n / 850)))
        reviews = [0] + self._review_days()
        hs, zz = [], []          # lists of (position, member array)
        hs_members, zz_members = np.array([], dtype=int), np.array([], dtype=int)
        for k, e in enumerate(reviews):
            c = max(e - 25, 0)
            window = ffcap[max(c - 120, 0):c + 1]
            seen = (~np.isnan(window)).sum(axis=0)
            metric = np.where(seen > 0, np.nansum(window, axis=0) / np.maximum(seen, 1), np.nan)
            ok = (self.listed[c] & ~np.isnan(metric) & ~self.st[c] & ~self.st[e]
                  & (self.delist_idx > e + 5)
                  & ((self.list_idx <= c - 60) | (self.listed_before & (self.list_idx == 0))))
            order = np.flatnonzero(ok)[np.argsort(-metric[ok], kind="stable")]
            rank = np.full(n, n + 1)
            rank[order] = np.arange(len(order))
            hs_members = _pick(order, rank, hs_members, hs_size)
            rest = order[~np.isin(order, hs_members)]
            rest = rest[rank[rest] >= hs_size]
            rank2 = np.full(n, n + 1)
            rank2[rest] = np.arange(len(rest))
            zz_members = _pick(rest, rank2, zz_members, zz_size)
            end = reviews[k + 1] if k + 1 < len(reviews) else T
            hs_members, zz_members = self._membership_period(
                e, end, order, hs, zz, hs_members, zz_members)
        month_end = np.flatnonzero(np.diff(self.month, append=-1) != 0)
        self.index_members = {HS300_ID: hs, ZZ500_ID: zz}
        self.index_weight_rows = {}
        self.index_close = {}
        base = {HS300_ID: self.market_level0, ZZ500_ID: self.market_level0 * 1.28}
        for oid, changes in self.index_members.items():
            weight_days = sorted(set(month_end.tolist()) | {p for p, _ in changes})
            rows = []
            for day in weight_days:
                members = _members_at(changes, day)
                w = np.nan_to_num(ffcap[day, members])
                if w.sum() > 0:
                    rows.append((day, members, w / w.sum()))
            self.index_weight_rows[oid] = rows
            price_rel, total_rel = self._index_relatives(
                lambda t: _members_at(changes, t), ffcap)
            self.index_close[oid] = np.round(base[oid] * np.cumprod(price_rel), 4)
            if oid == HS300_ID:
                self.tr_hs300 = np.cumprod(total_rel)
            else:
                self.tr_zz500 = np.cumprod(total_rel)

        # Industry indices: total-cap weights over every listed stock of the industry
        # that traded before (a new listing joins the day after its first close).
        n_ind = len(_schema.SHENWAN_NAMES)
        onehot = np.zeros((n, n_ind))
        onehot[np.arange(n), self.industry] = 1.0
        prev_cap = np.vstack([np.zeros((1, n)), np.nan_to_num(cap[:-1])])
        prev_cap = np.where(self.listed, prev_cap, 0.0)
        num = (prev_cap * self.pr) @ onehot
        den = prev_cap @ onehot
        rel = np.where(den > 0, num / np.where(den > 0, den, 1.0), 1.0)
        rel[0] = 1.0
        level0 = self.rng_index.uniform(1200, 6000, size=n_ind)
        self.sw_close = np.round(level0[None, :] * np.cumprod(rel, axis=0), 4)
        num_tr = (prev_cap * self.tr) @ onehot
        rel_tr = np.where(den > 0, num_tr / np.where(den > 0, den, 1.0), 1.0)
        rel_tr[0] = 1.0
        self.tr_food = np.cumprod(rel_tr[:, _schema.SHENWAN_NAMES.index("食品饮料")])
        self.prev_cap = prev_cap

    def _membership_period(self, e, end, order, hs, zz, hs_members, zz_members):
        """Record the review at e, then replace members delisted before the next review."""
        hs.append((e, np.sort(hs_members)))
        zz.append((e, np.sort(zz_members)))
        for t in range(e + 1, end):
            gone_hs = hs_members[self.delist_idx[hs_members] == t]
            gone_zz = zz_members[self.delist_idx[zz_members] == t]
            if not len(gone_hs) and not len(gone_zz):
                continue
            taken = set(hs_members.tolist()) | set(zz_members.tolist())
            spare = [i for i in order if self.listed[t, i] and not self.st[t, i]
                     and self.delist_idx[i] > t + 5 and i not in taken]
            if len(gone_hs):
                take = spare[:len(gone_hs)]
                spare = spare[len(take):]
                hs_members = np.concatenate([np.setdiff1d(hs_members, gone_hs), take]).astype(int)
                hs.append((t, np.sort(hs_members)))
            if len(gone_zz):
                take = spare[:len(gone_zz)]
                zz_members = np.concatenate([np.setdiff1d(zz_members, gone_zz), take]).astype(int)
                zz.append((t, np.sort(zz_members)))
        return hs_members, zz_members

    def _index_relatives(self, members_at, ffcap):
        T = self.T
        price_rel = np.ones(T)
        total_rel = np.ones(T)
        prev_w = np.nan_to_num(ffcap)
        for t in range(1, T):
            members = members_at(t)
            w = prev_w[t - 1, members]
            s = w.sum()
            if s > 0:
                price_rel[t] = w @ self.pr[t, members] / s
                total_rel[t] = w @ self.tr[t, members] / s
        return price_rel, total_rel

    # -------------------------------------------------------------- funds & curve

    def _funds(self):
        T = self.T
        rng = self.rng_funds
        prev_cap = self.prev_cap
        chinext = np.array([code.startswith("30") for code in self.codes])
        if chinext.any():
            num = (prev_cap[:, chinext] * self.tr[:, chinext]).sum(axis=1)
            den = prev_cap[:, chinext].sum(axis=1)
            rel = np.where(den > 0, num / np.where(den > 0, den, 1.0), 1.0)
        else:
            rel = np.concatenate([[1.0], self.tr_zz500[1:] / self.tr_zz500[:-1]])
        rel[0] = 1.0
        tracked = {"hs300": self.tr_hs300, "zz500": self.tr_zz500,
                   "chinext": np.cumprod(rel), "food": self.tr_food}
        self.fund_rows = []
        for oid, symbol, kind, listed, key, price0, fee, alpha in FUNDS:
            listed_ord = _ordinal(listed)
            start = self._idx_on_or_after(listed_ord)
            if start >= T:
                continue
            series = tracked[key]
            daily = series[start:] / np.concatenate([[series[start]], series[start:-1]])
            noise = rng.normal(0.0, 0.0006, size=len(daily))
            daily = daily * np.exp(noise + (alpha - fee) / 244)
            daily[0] = 1.0
            if price0 is None:
                price0 = self.index_close[HS300_ID if key == "hs300" else ZZ500_ID][start] / 1000
            nav = price0 * np.cumprod(daily)
            quote = np.round(nav * (1 + rng.normal(0.0, 0.0008, size=len(nav))), 3)
            quote = np.clip(quote, 0.001, None)
            for t in range(1, len(quote)):  # funds share the stocks' +-10 % limit
                quote[t] = min(max(quote[t], round(quote[t - 1] * 0.9, 3)),
                               round(quote[t - 1] * 1.1, 3))
            self.fund_rows.append((oid, symbol, kind, listed_ord, start, quote))

    def _yield_curve(self):
        rng, T = self.rng_curve, self.T
        a_ord = np.array([_ordinal(d) for d, _, _ in CURVE_ANCHORS], dtype=float)
        short = np.interp(self.ord.astype(float), a_ord, [s for _, s, _ in CURVE_ANCHORS])
        ten = np.interp(self.ord.astype(float), a_ord, [x for _, _, x in CURVE_ANCHORS])
        noise = np.zeros((T, 3))
        shocks = rng.normal(size=(T, 3)) * np.array([0.025, 0.015, 0.01])
        for t in range(1, T):
            noise[t] = noise[t - 1] * np.array([0.97, 0.98, 0.99]) + shocks[t]
        short = short + noise[:, 0]
        ten = ten + noise[:, 1]
        curve_b2 = 0.25 + noise[:, 2] * 3
        lam = 1.8
        tau = np.array(_schema.TENOR_YEARS)
        x = np.where(tau > 0, tau / lam, 1.0)
        g = np.where(tau > 0, (1 - np.exp(-x)) / x, 1.0)
        h = np.where(tau > 0, g - np.exp(-x), 0.0)
        x10 = 10 / lam
        g10 = (1 - math.exp(-x10)) / x10
        h10 = g10 - math.exp(-x10)
        b1 = (ten - curve_b2 * h10 - short) / (g10 - 1.0)
        b0 = short - b1
        curve = b0[:, None] + b1[:, None] * g[None, :] + curve_b2[:, None] * h[None, :]
        self.curve = np.round(np.clip(curve, 1.25, 4.75) / 100.0, 6)

    # -------------------------------------------------------------- codes & names

    def _boards(self):
        """The code block each stock's code comes from, by exchange and listing date."""
        rng = self.rng_names
        boards = []
        for k in range(self.n):
            ymd = _ymd(_dt.date.fromordinal(int(self.listed_ord[k])))
            u = rng.random()
            if self.exchange[k] == "XSHG":
                board = ("600" if ymd < 20060101 else "601a" if ymd < 20100101 else
                         "601b" if ymd < 20111101 else
                         ("688" if u < 0.4 else "605") if ymd >= 20200101 else
                         ("688" if u < 0.4 else "603") if ymd >= 20190722 else "603")
            else:
                board = ("000" if ymd < 20040601 else
                         ("300a" if u < 0.5 else "002a") if ymd >= 20091030 and ymd < 20100101
                         else "002a" if ymd < 20100101 else
                         ("300b" if u < 0.5 else "002b") if ymd < 20210406 else
                         ("301" if u < 0.5 else "001"))
            boards.append(board)
        return boards

    def _codes_and_names(self):
        rng, n = self.rng_names, self.n
        blocks = {"600": (600000, 600999), "601a": (601000, 601699), "601b": (601700, 601999),
                  "603": (603000, 603999), "605": (605000, 605599), "688": (688001, 688999),
                  "000": (1, 999), "002a": (2001, 2320), "300a": (300001, 300060),
                  "002b": (2321, 2999), "300b": (300061, 300999), "301": (301001, 301600),
                  "001": (1201, 1399)}
        boards = self._boards()
        codes = [None] * n
        for board, (lo, hi) in blocks.items():
            members = [i for i in range(n) if boards[i] == board]
            members.sort(key=lambda i: (self.listed_ord[i], i))
            if not members:
                continue
            step = max(1, (hi - lo + 1) // len(members))
            code = lo
            for k, i in enumerate(members):
                # Each block opens at its first code, so ids like 600000.XSHG exist.
                code += int(rng.integers(0, step)) if step > 1 and k else 0
                if code > hi + 99:  # a crowded block spills into the next hundred codes
                    raise ValueError("too many stocks for code block %s" % board)
                suffix = ".XSHG" if board[0] == "6" else ".XSHE"
                codes[i] = "%06d%s" % (code, suffix)
                code += 1
        self.codes = codes
        used = set()
        names = []
        for i in range(n):
            endings = INDUSTRY_TRAITS[_schema.SHENWAN_NAMES[self.industry[i]]][6]
            for attempt in range(200):
                name = NAME_HEADS[int(rng.integers(len(NAME_HEADS)))] + endings[
                    int(rng.integers(len(endings)))]
                if name not in used:
                    break
            else:
                name = name + str(i)
            used.add(name)
            last = min(int(self.delist_idx[i]), self.T) - 1
            if last >= 0 and self.st[last, i]:
                name = "*ST" + name
            names.append(name)
        self.symbols = names

    # -------------------------------------------------------------- tables

    def tables(self):
        T = self.T
        ymd = self.ymd.tolist()
        out = {"trading_dates": [(v,) for v in ymd]}
        instruments = []
        for i in range(self.n):
            delisted = _ymd(self.days[self.delist_idx[i]]) if self.delist_idx[i] < T else None
            industry = _schema.SHENWAN_NAMES[self.industry[i]]
            instruments.append((
                self.codes[i], self.symbols[i], "CS", self.exchange[i],
                _ymd(_dt.date.fromordinal(int(self.listed_ord[i]))), delisted, 100,
                self.sector[i], industry))
        index_meta = [(HS300_ID, "沪深300", "XSHG", 20050408),
                      (ZZ500_ID, "中证500", "XSHG", 20070115)]
        for oid, symbol, exchange, listed in index_meta:
            instruments.append((oid, symbol, "INDX", exchange, listed, None, 1, None, None))
        for name, oid in _schema.SHENWAN_INDUSTRIES:
            instruments.append((oid, name, "INDX", "INDX", 19991230, None, 1, None, None))
        for oid, symbol, kind, listed_ord, _, _ in self.fund_rows:
            instruments.append((oid, symbol, kind, oid[-4:], _ymd(_dt.date.fromordinal(listed_ord)),
                                None, 100, None, None))
        instruments.sort()
        out["instruments"] = instruments

        st_rows = []
        for i in np.flatnonzero(self.st_start >= 0):
            end = None if self.st_ongoing[i] else ymd[self.st_end[i]]
            st_rows.append((self.codes[i], _ymd(_dt.date.fromordinal(int(self.st_start_ord[i]))), end))
        out["st_periods"] = sorted(st_rows)

        series = {}  # id -> (positions, closes, factors)
        for i in range(self.n):
            pos = np.flatnonzero(~np.isnan(self.close[:, i]))
            series[self.codes[i]] = (pos, self.close[pos, i], self.adj[pos, i])
        for oid in (HS300_ID, ZZ500_ID):
            pos = np.arange(T)
            series[oid] = (pos, self.index_close[oid], np.ones(T))
        for j, (_, oid) in enumerate(_schema.SHENWAN_INDUSTRIES):
            series[oid] = (np.arange(T), self.sw_close[:, j], np.ones(T))
        for oid, _, _, _, start, quote in self.fund_rows:
            series[oid] = (np.arange(start, T), quote, np.ones(len(quote)))
        ordered = sorted(series)
        total_px = sum(len(series[k][0]) for k in ordered)

        def price_chunks():
            done = 0
            for oid in ordered:
                pos, values, factor = series[oid]
                done += len(pos)
                yield done, total_px, zip([oid] * len(pos), self.ymd[pos].tolist(),
                                          values.tolist(), factor.tolist())
        out["prices"] = price_chunks

        code_of = self.codes
        for table, source in (("index_components", self.index_members),
                              ("index_weights", self.index_weight_rows)):
            rows = []
            for oid, changes in source.items():
                for item in changes:
                    day, members = item[0], item[1]
                    if table == "index_components":
                        rows.extend((oid, ymd[day], code_of[m]) for m in members)
                    else:
                        rows.extend((oid, ymd[day], code_of[m], float(w))
                                    for m, w in zip(members, item[2]))
            out[table] = sorted(rows)

        out["dividends"] = sorted((code_of[i], ymd[b], ymd[x], ymd[x], cash, 10)
                                  for i, b, x, cash in self.dividends)
        out["splits"] = sorted((code_of[i], ymd[x], a, b) for i, x, a, b in self.splits)

        stock_order = sorted(range(self.n), key=lambda i: code_of[i])
        total_ex = int(self.listed.sum())

        def exposure_chunks():
            done = 0
            for i in stock_order:
                pos = np.flatnonzero(~np.isnan(self.X[:, i, 0]))
                if not len(pos):
                    continue
                done += len(pos)
                cols = [self.X[pos, i, k].tolist() for k in range(N_F)]
                yield done, total_ex, zip([code_of[i]] * len(pos), self.ymd[pos].tolist(), *cols)
        out["factor_exposures"] = exposure_chunks
        out["factor_returns"] = [(ymd[t],) + tuple(self.f[t].tolist()) for t in range(T)]
        out["yield_curve"] = [(ymd[t],) + tuple(self.curve[t].tolist()) for t in range(T)]
        return out


def _pick(order, rank, incumbents, size):
    """Members after a review: incumbents ranked within 1.2 x size stay, then by rank."""
    keep = incumbents[rank[incumbents] < 1.2 * size] if len(incumbents) else incumbents
    keep = keep[np.argsort(rank[keep], kind="stable")][:size]
    kept = set(keep.tolist())
    fill = [i for i in order if i not in kept][:max(0, size - len(keep))]
    return np.concatenate([keep, np.array(fill, dtype=int)]).astype(int)


def _members_at(changes, t):
    """Members in force on position t (changes sorted by position)."""
    lo, hi = 0, len(changes)
    while lo < hi:
        mid = (lo + hi) // 2
        if changes[mid][0] <= t:
            lo = mid + 1
        else:
            hi = mid
    return changes[lo - 1][1] if lo else changes[0][1][:0]
