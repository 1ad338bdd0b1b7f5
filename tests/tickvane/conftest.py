"""Fixtures: a tiny hand-written market imported through the importer, and the full sample.

The tiny market (ten trading days of January 2020) is small enough that every expected
value in the tests can be worked out by hand from the rows below. The full sample is built
once per session (about 20 s), or reused from TICKVANE_TEST_SAMPLE when that names an
existing store, for the tests marked `sample`.
"""

import copy
import os

import pytest

import tickvane

DAYS = ["2020-01-02", "2020-01-03", "2020-01-06", "2020-01-07", "2020-01-08",
        "2020-01-09", "2020-01-10", "2020-01-13", "2020-01-14", "2020-01-15"]

TINY = {
    "trading_dates": ["date"] + DAYS,
    "instruments": [
        "order_book_id,symbol,type,exchange,listed_date,de_listed_date,round_lot,"
        "sector_code_name,shenwan_industry_name",
        "600001.XSHG,甲银行,CS,XSHG,2015-05-05,,100,金融,银行",
        "000002.XSHE,乙科技,CS,XSHE,2020-01-06,,100,信息技术,计算机",
        "000003.XSHE,*ST丙药,CS,XSHE,2010-01-04,2020-01-10,100,医疗保健,医药生物",
        "000300.XSHG,沪深300,INDX,XSHG,2005-04-08,,1,,",
        "510300.XSHG,沪深300ETF,ETF,XSHG,2012-05-28,,100,,",
    ],
    "st_periods": [
        "order_book_id,start_date,end_date",
        "000003.XSHE,2019-06-03,2020-01-07",
        "600001.XSHG,2020-01-14,",
    ],
    # 600001: ex-dividend on 01-08 (factor 1 -> 1.05), suspended 01-10, split on 01-13
    # (factor -> 2.1). 000002 lists on 01-06. 000003 trades until 01-09.
    "prices": [
        "order_book_id,date,close,adj_factor",
        "600001.XSHG,2020-01-02,10.00,1.0",
        "600001.XSHG,2020-01-03,10.50,1.0",
        "600001.XSHG,2020-01-06,10.20,1.0",
        "600001.XSHG,2020-01-07,10.00,1.0",
        "600001.XSHG,2020-01-08,9.70,1.05",
        "600001.XSHG,2020-01-09,9.80,1.05",
        "600001.XSHG,2020-01-13,5.00,2.1",
        "600001.XSHG,2020-01-14,5.10,2.1",
        "600001.XSHG,2020-01-15,5.20,2.1",
        "000002.XSHE,2020-01-06,20.00,1.0",
        "000002.XSHE,2020-01-07,22.00,1.0",
        "000002.XSHE,2020-01-08,24.20,1.0",
        "000002.XSHE,2020-01-09,26.62,1.0",
        "000002.XSHE,2020-01-10,29.28,1.0",
        "000002.XSHE,2020-01-13,27.00,1.0",
        "000002.XSHE,2020-01-14,27.50,1.0",
        "000002.XSHE,2020-01-15,28.00,1.0",
        "000003.XSHE,2020-01-02,3.00,1.0",
        "000003.XSHE,2020-01-03,2.85,1.0",
        "000003.XSHE,2020-01-06,2.71,1.0",
        "000003.XSHE,2020-01-07,2.57,1.0",
        "000003.XSHE,2020-01-08,2.70,1.0",
        "000003.XSHE,2020-01-09,2.65,1.0",
    ] + ["000300.XSHG,%s,%s,1" % (d, c) for d, c in zip(DAYS, [
        "4000", "4040", "4020", "4050", "4100", "4080", "4120", "4150", "4130", "4160"])],
    "index_components": [
        "index_id,date,order_book_id",
        "000300.XSHG,2020-01-02,600001.XSHG",
        "000300.XSHG,2020-01-02,000003.XSHE",
        "000300.XSHG,2020-01-10,600001.XSHG",
        "000300.XSHG,2020-01-10,000002.XSHE",
    ],
    "index_weights": [
        "index_id,date,order_book_id,weight",
        "000300.XSHG,2020-01-02,600001.XSHG,0.75",
        "000300.XSHG,2020-01-02,000003.XSHE,0.25",
        "000300.XSHG,2020-01-10,600001.XSHG,0.6",
        "000300.XSHG,2020-01-10,000002.XSHE,0.4",
    ],
    "dividends": [
        "order_book_id,book_closure_date,ex_dividend_date,payable_date,"
        "dividend_cash_before_tax,round_lot",
        "600001.XSHG,2020-01-07,2020-01-08,2020-01-08,5.00,10",
    ],
    "splits": [
        "order_book_id,ex_date,split_coefficient_from,split_coefficient_to",
        "600001.XSHG,2020-01-13,10,20",
    ],
    "factor_exposures": [
        "order_book_id,date,beta,growth,liquidity,leverage,momentum,reversal,size,yield,"
        "volatility,value",
        "600001.XSHG,2020-01-13,1.1,0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,0.9",
        "600001.XSHG,2020-01-14,1.2,0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,0.9",
        "600001.XSHG,2020-01-15,1.3,0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,0.9",
        "000002.XSHE,2020-01-14,-1.0,-0.1,-0.2,-0.3,-0.4,-0.5,-0.6,-0.7,-0.8,",
        "000002.XSHE,2020-01-15,-2.0,-0.1,-0.2,-0.3,-0.4,-0.5,-0.6,-0.7,-0.8,-0.9",
    ],
    "factor_returns": [
        "date,beta,growth,liquidity,leverage,momentum,reversal,size,yield,volatility,value",
    ] + ["%s,%s" % (d, ",".join("%.4f" % (0.001 * (k + 1) * (j + 1)) for k in range(10)))
         for j, d in enumerate(DAYS[5:])],
    "yield_curve": [
        "date," + ",".join(["0S", "1M", "2M", "3M", "6M", "9M", "1Y", "2Y", "3Y", "4Y", "5Y",
                            "6Y", "7Y", "8Y", "9Y", "10Y", "15Y", "20Y", "30Y", "40Y",
                            "50Y"]),
        "2020-01-02," + ",".join("%.4f" % (0.015 + 0.001 * k) for k in range(21)),
        "2020-01-15," + ",".join("%.4f" % (0.016 + 0.001 * k) for k in range(21)),
    ],
}


def write_folder(folder, tables=None):
    """Write the tiny market (or `tables`, same layout) as CSV files into `folder`."""
    os.makedirs(folder, exist_ok=True)
    for name, lines in (tables or TINY).items():
        with open(os.path.join(folder, name + ".csv"), "w", encoding="utf-8") as handle:
            handle.write("\n".join(lines) + "\n")
    return folder


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "sample: uses the full generated sample market (built once per session)")


@pytest.fixture(scope="module", autouse=True)
def _isolated_default_store(tmp_path_factory):
    """Keep the user's cache and TICKVANE_STORE out of the tests."""
    saved = os.environ.get("TICKVANE_STORE")
    os.environ["TICKVANE_STORE"] = str(tmp_path_factory.mktemp("default") / "unused.sqlite")
    yield
    tickvane.use_store(None)
    if saved is None:
        os.environ.pop("TICKVANE_STORE", None)
    else:
        os.environ["TICKVANE_STORE"] = saved


@pytest.fixture
def market():
    """A fresh copy of the tiny market's lines, to change before writing."""
    return copy.deepcopy(TINY)


@pytest.fixture
def write_market():
    return write_folder


@pytest.fixture(scope="session")
def tiny_store(tmp_path_factory):
    folder = write_folder(str(tmp_path_factory.mktemp("tiny-csv")))
    path = str(tmp_path_factory.mktemp("tiny") / "tiny.sqlite")
    tickvane.import_folder(folder, path, progress=False)
    return path


@pytest.fixture
def tiny(tiny_store):
    tickvane.use_store(tiny_store)
    yield tiny_store
    tickvane.use_store(None)


@pytest.fixture(scope="session")
def sample_store(tmp_path_factory):
    reuse = os.environ.get("TICKVANE_TEST_SAMPLE")
    if reuse and os.path.isfile(reuse):
        return reuse
    path = str(tmp_path_factory.mktemp("sample") / "sample.sqlite")
    tickvane.build_sample(path, progress=False)
    return path
