"""Sector classifiers: their sector lists and the lookups they make (over the "years"
market of tests/support/markets.py)."""

import pytest

from meridan.brinson import classifier as cl

MSCI = ["能源", "原材料", "非必需消费品", "必需消费品", "医疗保健", "金融", "信息技术",
        "电信服务", "公共服务", "工业"]


def test_sector_lists():
    assert list(cl.SHENWAN_INDUSTRY_MAP)[:3] == ["801010.INDX", "801020.INDX", "801030.INDX"]
    assert list(cl.SHENWAN_INDUSTRY_MAP)[-3:] == ["801790.INDX", "801880.INDX", "801890.INDX"]
    assert type(cl.SHENWAN_INDUSTRY_MAP) is dict and len(cl.SHENWAN_INDUSTRY_MAP) == 28
    shenwan = cl.SectorDecider_ShenWan.all_sectors()
    assert shenwan == list(cl.SHENWAN_INDUSTRY_MAP.values())
    assert shenwan[:3] == ["农林牧渔", "采掘", "化工"]
    assert shenwan[-4:] == ["银行", "非银金融", "汽车", "机械设备"]
    # The class-level list itself, shared by every instance; MSCI a fresh list each call.
    assert shenwan is cl.ShenWanSectorDecider.SHENWAN_INDUSTRIES
    assert cl.ShenWanSectorDecider().all_sectors() is shenwan
    first, second = cl.SectorDecider_MSCI.all_sectors(), cl.SectorDecider_MSCI.all_sectors()
    assert first == second == MSCI and first is not second
    assert isinstance(cl.SectorDecider_MSCI, cl.MSCISectorDecider)
    assert issubclass(cl.ShenWanSectorDecider, cl.SectorDecider)


@pytest.mark.parametrize("decider, attribute", [
    (cl.SectorDecider_MSCI, "sector_code_name"),
    (cl.SectorDecider_ShenWan, "shenwan_industry_name"),
])
def test_lookup_reads_the_instrument_record(market, decider, attribute):
    assert decider("600519.XSHG") == {"sector_code_name": "必需消费品",
                                      "shenwan_industry_name": "食品饮料"}[attribute]
    assert decider(order_book_id="000001.XSHE") == {"sector_code_name": "金融",
                                                    "shenwan_industry_name": "银行"}[attribute]
    assert [(c.name, c.args, c.kwargs) for c in market.calls] == [
        ("instruments", ("600519.XSHG",), {}), ("instruments", ("000001.XSHE",), {})]
    with pytest.raises(ValueError, match="unknown order_book_id: '999999.XSHG'"):
        decider("999999.XSHG")


def test_base_class_is_abstract(market):
    base = cl.SectorDecider()
    for call in (base.all_sectors, lambda: base("600519.XSHG")):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert info.value.args == ()
    assert market.count() == 0
