"""The sample market's fixed parameters (the real history it follows, the traits of its
industries, its funds) and the trading calendar every part of the generator shares.

The generator's parts, in the order they are drawn: the calendar (here), the stocks and
their listing, special treatment and suspensions (_sample_stocks), the market, industry
and factor paths, the dividend book closures and the daily prices and exposures
(_sample_prices), codes and names (_sample_stocks), the indices (_sample_indices), then
the funds and the yield curve (_sample_funds). _sample composes them and writes the
tables.
"""

import datetime as _dt
import warnings

import numpy as np

from . import _schema

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


def _ordinal(text):
    return _dt.date.fromisoformat(text).toordinal()


def _weekday_on_or_before(ordinal):
    d = _dt.date.fromordinal(ordinal)
    while d.weekday() >= 5:
        d -= _dt.timedelta(days=1)
    return d


def _ymd(d):
    return d.year * 10000 + d.month * 100 + d.day


class SampleCalendar:
    """The Shanghai exchange's sessions from start to end: days (datetime.date), T (their
    number), and per day its yyyymmdd value, ordinal, year and month as arrays."""

    def __init__(self, start, end):
        self._calendar(start, end)

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

    def idx_on_or_after(self, ordinal):
        return int(np.searchsorted(self.ord, ordinal, side="left"))

    def piecewise(self, table):
        """Value from each date on, as a daily array (table sorted by date)."""
        out = np.full(self.T, table[0][1], dtype=float)
        for text, value in table:
            out[self.idx_on_or_after(_ordinal(text)):] = value
        return out
