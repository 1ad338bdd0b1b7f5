"""Broker statements from files: column matching, the settlement-statement headers,
non-trade rows, and errors that name the row as the user sees it."""

import pandas as pd
import pytest

from meridan.quotes import CachedMarketDataProvider
from meridan.statement import (
    StatementError,
    load_statement,
    normalise_statement,
    read_statement,
    replay_statement,
)

CN_HEADER = "成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,手续费,印花税,过户费"
CN_ROWS = [
    "20160301,,,,银行转证券,,,0,0,0",
    "20160301,09:35:12,1,平安银行,证券买入,1000,12.99,5,0,0.13",
    "2016-03-02,100503,600519,贵州茅台,买入,100,200.5,5.01,,0.2",
    "2016/3/3,14:00,000001,平安银行,证券卖出,-500,12.84,5,3.21,0.06",
    "20160304,,600519,贵州茅台,红利入账,0,,0,0,0",
    "20160304,,600519,贵州茅台,股息红利税补缴,,,0,0,0",
]


def write(path, lines, encoding="utf-8"):
    path.write_bytes(("\n".join(lines) + "\n").encode(encoding))
    return path


def cn_file(tmp_path, rows=CN_ROWS, encoding="utf-8", name="交割单.csv"):
    return write(tmp_path / name, [CN_HEADER] + rows, encoding)


@pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig", "gb18030"])
def test_settlement_statement(tmp_path, encoding):
    statement = normalise_statement(read_statement(cn_file(tmp_path, encoding=encoding)))
    frame = statement.frame
    assert frame.index.tolist() == [2, 3, 4]
    assert frame["order_book_id"].tolist() == ["000001.XSHE", "600519.XSHG",
                                               "000001.XSHE"]
    assert frame["datetime"].tolist() == [pd.Timestamp("2016-03-01 09:35:12"),
                                          pd.Timestamp("2016-03-02 10:05:03"),
                                          pd.Timestamp("2016-03-03 14:00")]
    assert frame["side"].tolist() == ["BUY", "BUY", "SELL"]
    assert frame["last_quantity"].tolist() == [1000, 100, 500]
    assert frame["last_price"].tolist() == [12.99, 200.5, 12.84]
    assert frame["transaction_cost"].tolist() == pytest.approx([5.13, 5.21, 8.27])
    assert frame["symbol"].tolist() == ["平安银行", "贵州茅台", "平安银行"]
    # Without an amount column the cash rows cannot be booked: unknown, not skipped.
    assert statement.skipped == [] and statement.events.empty
    assert statement.unknown == [(1, "银行转证券", "银行转证券 without an amount"),
                                 (5, "红利入账 贵州茅台", "红利入账 without an amount"),
                                 (6, "股息红利税补缴 贵州茅台", "股息红利税补缴 without an amount")]
    assert statement.balances is None


def test_package_columns_in_any_case_and_spacing(tmp_path):
    path = write(tmp_path / "s.txt", [
        " Order_Book_ID \tDateTime\tSIDE\tLast Quantity\tnote",
        "sz000001\t2016-03-01 10:00\tbuy\t200\tx",
        "",
        "600519.SH\t2016-03-02\tSell\t100\ty",
    ])
    statement = normalise_statement(read_statement(path))
    frame = statement.frame
    assert frame.index.tolist() == [1, 3]
    assert list(frame.columns) == ["order_book_id", "datetime", "side", "last_quantity",
                                   "symbol"]
    assert frame["side"].tolist() == ["BUY", "SELL"]
    assert statement.skipped == []


def test_excel_workbook(tmp_path):
    pytest.importorskip("openpyxl")
    path = tmp_path / "s.xlsx"
    pd.DataFrame({"证券代码": [1, 600519], "成交日期": pd.to_datetime(["2016-03-01",
                                                                   "2016-03-02"]),
                  "买卖标志": ["买入", "卖出"], "成交数量": [100, 100],
                  "成交价格": [12.99, 200.0]}).to_excel(path, index=False)
    frame = normalise_statement(read_statement(path)).frame
    assert frame["order_book_id"].tolist() == ["000001.XSHE", "600519.XSHG"]
    assert frame["datetime"].tolist() == [pd.Timestamp("2016-03-01"),
                                          pd.Timestamp("2016-03-02")]


@pytest.mark.parametrize("row, message", [
    ("2016-03-01,,600519,x,买入,100,1,0,0,0,9", "row 1: 11 cells under a header of 10"),
    ("03/04/2016,,600519,x,买入,100,1,0,0,0", "row 1: cannot read the trade date from "
                                              "成交日期 '03/04/2016'"),
    ("2016-03-01,25:00,600519,x,买入,100,1,0,0,0", "row 1: cannot read the trade time"),
    ("2016-03-01,,600519,x,hold,100,1,0,0,0", "row 1: 操作 'hold' is neither a buy"),
    ("2016-03-01,,60051X,x,买入,100,1,0,0,0", "row 1: 证券代码 '60051X' is not a security"),
    ("2016-03-01,,600519,x,买入,100.5,1,0,0,0", "row 1: 成交数量 '100.5' is not a whole"),
    ("2016-03-01,,600519,x,买入,-100,1,0,0,0", "row 1: 成交数量 '-100' is not a whole"),
    ("2016-03-01,,600519,x,买入,100,abc,0,0,0", "row 1: 成交均价 'abc' is not a price"),
    ("2016-03-01,,600519,x,买入,100,1,-5,0,0", "row 1: 手续费 '-5' is not an amount"),
])
def test_bad_cells_name_row_and_value(tmp_path, row, message):
    path = cn_file(tmp_path, rows=[row])
    with pytest.raises(StatementError) as info:
        normalise_statement(read_statement(path))
    assert str(info.value).startswith(message)


def test_missing_columns_listed(tmp_path):
    path = write(tmp_path / "s.csv", ["证券代码,成交数量", "600519,100"])
    with pytest.raises(StatementError, match=r"no column for datetime, 成交日期 or 发生日期; "
                                             r"side, 操作, 买卖标志, 业务名称 or 摘要 \(its "
                                             r"columns"):
        normalise_statement(read_statement(path))


def test_unreadable_files(tmp_path):
    with pytest.raises(StatementError, match="cannot read"):
        read_statement(tmp_path / "absent.csv")
    old = tmp_path / "old.xls"
    old.write_bytes(b"\xd0\xcf\x11\xe0" + bytes(60))
    with pytest.raises(StatementError, match="old binary Excel"):
        read_statement(old)


# The market checks read the "years" market (tests/support/markets.py): 600999.XSHG is
# not in it, 510050.XSHG is a fund, 2016-03-05 a Saturday, and 000002.XSHE is suspended
# from 2016-01-04 to 2016-01-15.
@pytest.fixture
def md(market):
    return CachedMarketDataProvider()


def trade_rows(*rows):
    return ["2016-03-01,09:30,000001,平安银行,买入,1000,12.99,5,0,0"] + list(rows)


@pytest.mark.parametrize("row, message", [
    ("2016-03-02,10:00,600999,x,买入,100,1,0,0,0", "row 2: unknown instrument 600999.XSHG"),
    ("2016-03-02,10:00,510050,x,买入,100,1,0,0,0", "row 2: 510050.XSHG (50ETF) is not a stock"),
    ("2016-03-05,10:00,000001,x,买入,100,1,0,0,0", "row 2: 2016-03-05 is not a trading day"),
    ("2016-01-05,10:00,000002,x,买入,100,1,0,0,0",
     "row 2: 000002.XSHE (南山地产) has no close on 2016-01-05"),
])
def test_market_checks_name_the_row(tmp_path, md, row, message):
    path = cn_file(tmp_path, rows=trade_rows(row))
    with pytest.raises(StatementError) as info:
        load_statement(path, md)
    assert str(info.value).startswith(message)
    assert info.value.row == 2


def test_trades_sorted_with_their_rows_and_replayed(tmp_path, md):
    path = cn_file(tmp_path, rows=trade_rows(
        "2016-03-03,10:00,000001,平安银行,卖出,400,12.84,5,6.42,0",
        "2016-03-02,10:00,000001,平安银行,买入,100,12.89,5,0,0"))
    trades, rows, skipped = load_statement(path, md)
    assert rows == [1, 3, 2]
    assert [t.last_quantity for t in trades] == [1000, 100, 400]
    result = replay_statement(trades, rows, "2016-03-01", "2016-03-04", md, cash=20000.0)
    assert result.portfolio_series[-1]["positions"][0]["quantity"] == 700


def test_sale_of_more_than_is_held_names_its_row(tmp_path, md):
    path = cn_file(tmp_path, rows=trade_rows(
        "2016-03-02,10:00,000001,平安银行,卖出,1500,12.89,5,0,0"))
    trades, rows, _ = load_statement(path, md)
    with pytest.raises(StatementError) as info:
        replay_statement(trades, rows, "2016-03-01", "2016-03-04", md, cash=20000.0)
    assert info.value.row == 2
    assert "1500" in str(info.value) and "000001.XSHE" in str(info.value)
