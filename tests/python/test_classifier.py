"""Sector classifiers: their sector lists, which follow the sets the client's store
records, and the lookups they make (over the "years" market of tests/support/markets.py,
classified by the sample's sets, and the "sectors" market of markets_sectors.py, the
same market classified by today's)."""

import datetime as dt

import pytest

import tickvane
from meridan.brinson import benchmark as bm
from meridan.brinson import calc
from meridan.brinson import classifier as cl
from meridan.quotes import CachedMarketDataProvider

MSCI = ["能源", "原材料", "非必需消费品", "必需消费品", "医疗保健", "金融", "信息技术",
        "电信服务", "公共服务", "工业"]
MSCI_11 = ["能源", "原材料", "非必需消费品", "必需消费品", "医疗保健", "金融", "房地产",
           "信息技术", "通信服务", "公共服务", "工业"]
# The 2021 revision by index code: 801010 农林牧渔, 801030 基础化工, ... 801980 美容护理.
SHENWAN_2021 = [
    (10, "农林牧渔"), (30, "基础化工"), (40, "钢铁"), (50, "有色金属"), (80, "电子"),
    (110, "家用电器"), (120, "食品饮料"), (130, "纺织服饰"), (140, "轻工制造"),
    (150, "医药生物"), (160, "公用事业"), (170, "交通运输"), (180, "房地产"),
    (200, "商贸零售"), (210, "社会服务"), (230, "综合"), (710, "建筑材料"),
    (720, "建筑装饰"), (730, "电力设备"), (740, "国防军工"), (750, "计算机"), (760, "传媒"),
    (770, "通信"), (780, "银行"), (790, "非银金融"), (880, "汽车"), (890, "机械设备"),
    (950, "煤炭"), (960, "石油石化"), (970, "环保"), (980, "美容护理"),
]
CASH, TOTAL = "现金", "总计"

SAMPLE_SETS = pytest.param("years", 28, ("农林牧渔", "采掘", "化工"),
                           ("银行", "非银金融", "汽车", "机械设备"), MSCI,
                           marks=pytest.mark.market("years"), id="sample sets")
TODAYS_SETS = pytest.param("sectors", 31, ("农林牧渔", "基础化工", "钢铁"),
                           ("煤炭", "石油石化", "环保", "美容护理"), MSCI_11,
                           marks=pytest.mark.market("sectors"), id="today's sets")


@pytest.mark.parametrize("name, count, first, last, msci", [SAMPLE_SETS, TODAYS_SETS])
def test_sector_lists_follow_the_store(market, name, count, first, last, msci):
    mapping = cl.SHENWAN_INDUSTRY_MAP
    assert type(mapping) is dict and len(mapping) == count
    shenwan = cl.SectorDecider_ShenWan.all_sectors()
    assert shenwan == list(mapping.values())
    assert tuple(shenwan[:3]) == first and tuple(shenwan[-4:]) == last
    # Index ids in code order, each the one of its name.
    assert list(mapping) == sorted(mapping)
    if name == "sectors":
        assert list(mapping.items()) == [("801%03d.INDX" % c, n) for c, n in SHENWAN_2021]
    # Shenwan: one shared list (the class-level one for the sample's set); MSCI a fresh
    # list each call.
    assert cl.ShenWanSectorDecider().all_sectors() is shenwan
    assert (shenwan is cl.ShenWanSectorDecider.SHENWAN_INDUSTRIES) == (name == "years")
    first_msci, second_msci = (cl.SectorDecider_MSCI.all_sectors(),
                               cl.SectorDecider_MSCI.all_sectors())
    assert first_msci == second_msci == msci and first_msci is not second_msci
    # The map is a copy: changing it changes nothing.
    mapping.clear()
    assert len(cl.SHENWAN_INDUSTRY_MAP) == count
    assert market.count() == 0
    with pytest.raises(AttributeError, match="has no attribute 'SHENWAN_INDUSTRY_CODES'"):
        cl.SHENWAN_INDUSTRY_CODES


def test_the_lists_follow_a_store_replaced_while_running(tmp_path, market_maker):
    """The store the client reads is imported again over the same file, with the other
    sets: the lists then are those of the new store."""
    path = str(tmp_path / "store.sqlite")
    try:
        for k, (name, count, msci) in enumerate((("years", 28, MSCI), ("sectors", 31, MSCI_11),
                                                 ("years", 28, MSCI))):
            folder = tmp_path / str(k)
            folder.mkdir()
            for table, lines in market_maker.tables(name).items():
                (folder / (table + ".csv")).write_text("\n".join(lines) + "\n",
                                                       encoding="utf-8")
            tickvane.import_folder(str(folder), path, progress=False)
            if k == 0:
                tickvane.use_store(path)
            assert len(cl.SectorDecider_ShenWan.all_sectors()) == count
            assert len(cl.SHENWAN_INDUSTRY_MAP) == count
            assert cl.SectorDecider_MSCI.all_sectors() == msci
    finally:
        tickvane.use_store(None)


@pytest.mark.parametrize("decider, attribute", [
    (cl.SectorDecider_MSCI, "sector_code_name"),
    (cl.SectorDecider_ShenWan, "shenwan_industry_name"),
])
@pytest.mark.parametrize("expected", [
    pytest.param({"600519.XSHG": ("必需消费品", "食品饮料"), "000001.XSHE": ("金融", "银行"),
                  "601857.XSHG": ("能源", "采掘")},
                 marks=pytest.mark.market("years"), id="years"),
    pytest.param({"600519.XSHG": ("必需消费品", "食品饮料"), "000002.XSHE": ("房地产", "房地产"),
                  "601857.XSHG": ("能源", "石油石化")},
                 marks=pytest.mark.market("sectors"), id="sectors"),
])
def test_lookup_reads_the_instrument_record(market, decider, attribute, expected):
    column = 0 if attribute == "sector_code_name" else 1
    ids = list(expected)
    assert decider(ids[0]) == expected[ids[0]][column]
    assert decider(order_book_id=ids[1]) == expected[ids[1]][column]
    assert [(c.name, c.args, c.kwargs) for c in market.calls] == [
        ("instruments", (ids[0],), {}), ("instruments", (ids[1],), {})]
    with pytest.raises(ValueError, match="unknown order_book_id: '999999.XSHG'"):
        decider("999999.XSHG")
    # An industry's index id is the one of the store's set.
    record = tickvane.instruments(ids[2])
    assert cl.SHENWAN_INDUSTRY_MAP[record.shenwan_industry_code] == expected[ids[2]][1]
    assert decider(ids[2]) in decider.all_sectors()


def test_base_class_is_abstract(market):
    base = cl.SectorDecider()
    for call in (base.all_sectors, lambda: base("600519.XSHG")):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert info.value.args == ()
    assert market.count() == 0


# Holding 601857.XSHG (石油石化, 能源) and 000002.XSHE (房地产) half and half against the
# CSI 300 of 2015-11-02: 000001.XSHE 0.30, 000002.XSHE 0.20, 600519.XSHG 0.25,
# 601857.XSHG 0.15, 000725.XSHE 0.10 (by industry: 银行, 房地产, 食品饮料, 石油石化, 电子;
# by sector: 金融, 房地产, 必需消费品, 能源, 信息技术).
@pytest.mark.market("sectors")
@pytest.mark.parametrize("decider, rows, portfolio, index", [
    (cl.SectorDecider_ShenWan, [n for _, n in SHENWAN_2021],
     {"石油石化": 0.5, "房地产": 0.5},
     {"银行": 0.30, "房地产": 0.20, "食品饮料": 0.25, "石油石化": 0.15, "电子": 0.10}),
    (cl.SectorDecider_MSCI, MSCI_11, {"能源": 0.5, "房地产": 0.5},
     {"金融": 0.30, "房地产": 0.20, "必需消费品": 0.25, "能源": 0.15, "信息技术": 0.10}),
], ids=["shenwan", "msci"])
def test_attribution_on_todays_sets(market, decider, rows, portfolio, index):
    for memo in (bm.index_components, bm.index_weights, bm.get_change_rate):
        memo.cache_clear()  # process-wide: no other test's replies
    days = [dt.date(2016, 3, 1), dt.date(2016, 3, 2)]
    series = [{"date": d, "cash": 0.0, "market_value": 1200.0,
               "positions": [{"order_book_id": oid, "quantity": 100, "market_value": 600.0}
                             for oid in ("601857.XSHG", "000002.XSHE")]} for d in days]
    for method in ("BHB", "BF"):
        table = calc.calc(series, bm.BrinsonBenchmark_HS300, decider, days[0], days[1],
                          CachedMarketDataProvider(), method)
        assert list(table.index) == [CASH] + rows + [TOTAL]
        for column, expected in (("PortfolioWeight", portfolio),
                                 ("BenchmarkWeight", index)):
            got = table[column].drop(TOTAL)
            assert got[got != 0].to_dict() == pytest.approx(expected, abs=1e-12)
            assert table.loc[TOTAL, column] == pytest.approx(1)
