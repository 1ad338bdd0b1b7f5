"""Constants shared by the client, the sample builder and the importer, and the SQLite DDL.

Standard library only: the package's import must stay cheap. SCHEMA.md beside this file
describes every table in prose; the DDL below is the authority.
"""

SCHEMA_VERSION = "1"

# The sample market built when no store exists yet.
SAMPLE_SEED = 20100104
SAMPLE_STOCKS = 850
SAMPLE_START = "2010-01-04"
SAMPLE_END = "2026-11-30"

FACTORS = (
    "beta", "growth", "liquidity", "leverage", "momentum",
    "reversal", "size", "yield", "volatility", "value",
)

TENORS = (
    "0S", "1M", "2M", "3M", "6M", "9M",
    "1Y", "2Y", "3Y", "4Y", "5Y", "6Y", "7Y", "8Y", "9Y", "10Y",
    "15Y", "20Y", "30Y", "40Y", "50Y",
)
# Maturity of each tenor in years, in TENORS order.
TENOR_YEARS = (
    0.0, 1 / 12, 2 / 12, 3 / 12, 0.5, 0.75,
    1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0,
    15.0, 20.0, 30.0, 40.0, 50.0,
)

# Sector sets. A store's instruments name their sectors from one MSCI-style set and one
# set of Shenwan level-1 industries; the meta keys "sector_set" and "shenwan_set" record
# which (a store without them, such as the sample, uses "msci10" and "sw2014").
#
# The ten MSCI-style sectors the sample uses. "工业" comes last, after "公共服务", as the
# list has always had it.
MSCI_SECTORS = (
    "能源", "原材料", "非必需消费品", "必需消费品", "医疗保健",
    "金融", "信息技术", "电信服务", "公共服务", "工业",
)
# The eleven of today: "电信服务" renamed "通信服务" (in its place) and "房地产" split from
# "金融" (after it); the other names and their order unchanged.
MSCI_SECTORS_11 = (
    "能源", "原材料", "非必需消费品", "必需消费品", "医疗保健",
    "金融", "房地产", "信息技术", "通信服务", "公共服务", "工业",
)

# Shenwan level-1 industries and their index ids, in the order of their codes: the 28 of
# the 2014 classification the sample uses ...
SHENWAN_INDUSTRIES = (
    ("农林牧渔", "801010.INDX"), ("采掘", "801020.INDX"), ("化工", "801030.INDX"),
    ("钢铁", "801040.INDX"), ("有色金属", "801050.INDX"), ("电子", "801080.INDX"),
    ("家用电器", "801110.INDX"), ("食品饮料", "801120.INDX"), ("纺织服装", "801130.INDX"),
    ("轻工制造", "801140.INDX"), ("医药生物", "801150.INDX"), ("公用事业", "801160.INDX"),
    ("交通运输", "801170.INDX"), ("房地产", "801180.INDX"), ("商业贸易", "801200.INDX"),
    ("休闲服务", "801210.INDX"), ("综合", "801230.INDX"), ("建筑材料", "801710.INDX"),
    ("建筑装饰", "801720.INDX"), ("电气设备", "801730.INDX"), ("国防军工", "801740.INDX"),
    ("计算机", "801750.INDX"), ("传媒", "801760.INDX"), ("通信", "801770.INDX"),
    ("银行", "801780.INDX"), ("非银金融", "801790.INDX"), ("汽车", "801880.INDX"),
    ("机械设备", "801890.INDX"),
)
# ... and the 31 of the 2021 revision: 采掘 split into 煤炭 and 石油石化, 环保 and 美容护理
# added, five renamed under their old codes (化工 基础化工, 纺织服装 纺织服饰, 商业贸易
# 商贸零售, 休闲服务 社会服务, 电气设备 电力设备).
SHENWAN_INDUSTRIES_2021 = (
    ("农林牧渔", "801010.INDX"), ("基础化工", "801030.INDX"), ("钢铁", "801040.INDX"),
    ("有色金属", "801050.INDX"), ("电子", "801080.INDX"), ("家用电器", "801110.INDX"),
    ("食品饮料", "801120.INDX"), ("纺织服饰", "801130.INDX"), ("轻工制造", "801140.INDX"),
    ("医药生物", "801150.INDX"), ("公用事业", "801160.INDX"), ("交通运输", "801170.INDX"),
    ("房地产", "801180.INDX"), ("商贸零售", "801200.INDX"), ("社会服务", "801210.INDX"),
    ("综合", "801230.INDX"), ("建筑材料", "801710.INDX"), ("建筑装饰", "801720.INDX"),
    ("电力设备", "801730.INDX"), ("国防军工", "801740.INDX"), ("计算机", "801750.INDX"),
    ("传媒", "801760.INDX"), ("通信", "801770.INDX"), ("银行", "801780.INDX"),
    ("非银金融", "801790.INDX"), ("汽车", "801880.INDX"), ("机械设备", "801890.INDX"),
    ("煤炭", "801950.INDX"), ("石油石化", "801960.INDX"), ("环保", "801970.INDX"),
    ("美容护理", "801980.INDX"),
)
SHENWAN_NAMES = tuple(name for name, _ in SHENWAN_INDUSTRIES)
# Index id of an industry name of either set: a name means one industry in both, and a
# renamed industry kept its code.
SHENWAN_CODE = {**dict(SHENWAN_INDUSTRIES), **dict(SHENWAN_INDUSTRIES_2021)}

# The sets by the names the meta table records, sample's first.
SHENWAN_SETS = {"sw2014": SHENWAN_INDUSTRIES, "sw2021": SHENWAN_INDUSTRIES_2021}
SECTOR_SETS = {"msci10": MSCI_SECTORS, "msci11": MSCI_SECTORS_11}
SHENWAN_SET_DESCRIPTIONS = {"sw2014": "the 28 Shenwan level-1 industries of 2014",
                            "sw2021": "the 31 Shenwan level-1 industries of the 2021 revision"}
SECTOR_SET_DESCRIPTIONS = {"msci10": "the 10 MSCI sectors",
                           "msci11": "the 11 MSCI sectors with 通信服务 and 房地产"}


def sector_sets(meta):
    """(shenwan_set, sector_set): the names of the sets a store with this meta table (a
    dict) uses; the sample's for a store that records none. A name this tickvane does not
    know is a ValueError: the store was written by another version."""
    shenwan = meta.get("shenwan_set", "sw2014")
    sector = meta.get("sector_set", "msci10")
    for key, value, known in (("shenwan_set", shenwan, SHENWAN_SETS),
                              ("sector_set", sector, SECTOR_SETS)):
        if value not in known:
            raise ValueError("the store records %s %r, which this tickvane does not know"
                             " (it knows %s)" % (key, value, ", ".join(known)))
    return shenwan, sector


def shenwan_industries(meta):
    """The (name, index id) pairs of the Shenwan set of a store with this meta table."""
    return SHENWAN_SETS[sector_sets(meta)[0]]


def msci_sectors(meta):
    """The MSCI-style sector names of the set of a store with this meta table."""
    return SECTOR_SETS[sector_sets(meta)[1]]


INSTRUMENT_TYPES = ("CS", "INDX", "ETF", "LOF")

# Columns of each table in the order of the DDL, the CSV/Parquet import files and the
# importer's checks. Dates are INTEGER yyyymmdd throughout: compact, sortable, and still
# readable in any SQLite browser.
COLUMNS = {
    "meta": ("key", "value"),
    "trading_dates": ("date",),
    "instruments": (
        "order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date",
        "round_lot", "sector_code_name", "shenwan_industry_name",
    ),
    "st_periods": ("order_book_id", "start_date", "end_date"),
    "prices": ("order_book_id", "date", "close", "adj_factor"),
    "index_components": ("index_id", "date", "order_book_id"),
    "index_weights": ("index_id", "date", "order_book_id", "weight"),
    "dividends": (
        "order_book_id", "book_closure_date", "ex_dividend_date", "payable_date",
        "dividend_cash_before_tax", "round_lot",
    ),
    "splits": ("order_book_id", "ex_date", "split_coefficient_from", "split_coefficient_to"),
    "factor_exposures": ("order_book_id", "date") + FACTORS,
    "factor_returns": ("date",) + FACTORS,
    "yield_curve": ("date",) + TENORS,
}

# Tables in the order they are written and validated (each refers only to earlier ones).
TABLES = tuple(name for name in COLUMNS if name != "meta")


def _q(name):
    return '"%s"' % name


def _real_cols(names, not_null=False):
    suffix = " NOT NULL" if not_null else ""
    return ", ".join("%s REAL%s" % (_q(n), suffix) for n in names)


DDL = """
CREATE TABLE meta (
    key   TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE trading_dates (
    date INTEGER PRIMARY KEY                 -- yyyymmdd, every session of the exchange
);
CREATE TABLE instruments (
    order_book_id         TEXT PRIMARY KEY,  -- e.g. '600000.XSHG', '801780.INDX'
    symbol                TEXT NOT NULL,
    type                  TEXT NOT NULL,     -- 'CS', 'INDX', 'ETF' or 'LOF'
    exchange              TEXT NOT NULL,     -- 'XSHG', 'XSHE', or 'INDX' for industry indices
    listed_date           INTEGER NOT NULL,  -- yyyymmdd, may precede the calendar
    de_listed_date        INTEGER,           -- first day no longer listed; NULL while listed
    round_lot             INTEGER NOT NULL,
    sector_code_name      TEXT,              -- MSCI sector name, stocks only
    shenwan_industry_name TEXT               -- Shenwan level-1 industry name, stocks only
);
CREATE TABLE st_periods (                    -- special treatment, both ends inclusive
    order_book_id TEXT NOT NULL,
    start_date    INTEGER NOT NULL,
    end_date      INTEGER,                   -- NULL: still under special treatment
    PRIMARY KEY (order_book_id, start_date)
);
CREATE TABLE prices (                        -- one row per instrument and traded day
    order_book_id TEXT NOT NULL,
    date          INTEGER NOT NULL,
    close         REAL NOT NULL,             -- unadjusted close
    adj_factor    REAL NOT NULL,             -- cumulative total-return factor, see SCHEMA.md
    PRIMARY KEY (order_book_id, date)
) WITHOUT ROWID;
CREATE TABLE index_components (              -- full membership from each change date on
    index_id      TEXT NOT NULL,
    date          INTEGER NOT NULL,
    order_book_id TEXT NOT NULL,
    PRIMARY KEY (index_id, date, order_book_id)
) WITHOUT ROWID;
CREATE TABLE index_weights (                 -- full weight set on each weight date
    index_id      TEXT NOT NULL,
    date          INTEGER NOT NULL,
    order_book_id TEXT NOT NULL,
    weight        REAL NOT NULL,
    PRIMARY KEY (index_id, date, order_book_id)
) WITHOUT ROWID;
CREATE TABLE dividends (                     -- cash per round_lot shares, before tax
    order_book_id            TEXT NOT NULL,
    book_closure_date        INTEGER NOT NULL,
    ex_dividend_date         INTEGER NOT NULL,
    payable_date             INTEGER,
    dividend_cash_before_tax REAL NOT NULL,
    round_lot                INTEGER NOT NULL,
    PRIMARY KEY (order_book_id, ex_dividend_date)
);
CREATE TABLE splits (                        -- 'from' old shares become 'to' new shares
    order_book_id          TEXT NOT NULL,
    ex_date                INTEGER NOT NULL,
    split_coefficient_from REAL NOT NULL,
    split_coefficient_to   REAL NOT NULL,
    PRIMARY KEY (order_book_id, ex_date)
);
CREATE TABLE factor_exposures (
    order_book_id TEXT NOT NULL,
    date          INTEGER NOT NULL,
    %s,
    PRIMARY KEY (order_book_id, date)
) WITHOUT ROWID;
CREATE TABLE factor_returns (
    date INTEGER PRIMARY KEY,
    %s
);
CREATE TABLE yield_curve (                   -- fractions: 0.025 is 2.5 %%
    date INTEGER PRIMARY KEY,
    %s
);
""" % (_real_cols(FACTORS), _real_cols(FACTORS), _real_cols(TENORS))
