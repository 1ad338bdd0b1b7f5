"""Statements as brokers' clients and spreadsheets write them: one table of layouts
and faults, each with the trades it must read to or the message it must give."""

import warnings

import pandas as pd
import pytest

import meridan.statement as statement_module
from meridan.quotes import CachedMarketDataProvider
from meridan.statement import (
    StatementError,
    StatementWarning,
    load_statement,
    normalise_statement,
    read_statement,
    skipped_lines,
    statement_trades,
)

HEAD = "成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,手续费"
BUY = "20160301,09:35:12,000001,平安银行,证券买入,1000,12.99,5"
SELL = "20160302,10:00:00,600519,贵州茅台,证券卖出,100,200.5,5.5"
TWO = [(1, "000001.XSHE", 1000, 12.99, 5.0), (2, "600519.XSHG", 100, 200.5, 5.5)]


def text(lines, encoding="utf-8", end="\n"):
    return (end.join(lines) + end).encode(encoding)


# (name, file bytes, trades as (row, id, quantity, price, cost) or a message fragment)
CASES = [
    ("plain.csv", text([HEAD, BUY, SELL]), TWO),
    ("gbk.csv", text([HEAD, BUY, SELL], "gb18030"), TWO),
    ("bom.csv", text([HEAD, BUY, SELL], "utf-8-sig", "\r\n"), TWO),
    # Excel's "Unicode Text": UTF-16 with its byte-order mark, tabs, CR LF.
    ("unicode.txt", text([x.replace(",", "\t") for x in (HEAD, BUY, SELL)], "utf-16",
                         "\r\n"), TWO),
    ("unicode_no_mark.txt", text([x.replace(",", "\t") for x in (HEAD, BUY, SELL)],
                                 "utf-16-le", "\r\n"), TWO),
    ("old_mac.csv", text([HEAD, BUY, SELL], end="\r"), TWO),
    ("title.csv", text(["交割单 2016-03-01 至 2016-03-31", "", HEAD, BUY, SELL]), TWO),
    ("title_commas.csv", text(["交割单,,,,,,,", HEAD, BUY, "", SELL]),
     [TWO[0], (3,) + TWO[1][1:]]),
    ("blank_rows.csv", text([HEAD, ",,,,,,,", BUY, "", SELL, ",,"]),
     [(2,) + TWO[0][1:], (4,) + TWO[1][1:]]),
    ("trailing_comma.csv", text([HEAD, BUY + ",,", SELL + ","]), TWO),
    ("short_rows.csv", text([HEAD + ",备注", BUY, SELL + ",x"]), TWO),
    ("quote_in_cell.csv", text([HEAD, BUY.replace("平安银行", 'a"b'), SELL]), TWO),
    ("quoted.csv", text([HEAD, BUY.replace(",1000,", ',"1,000",'),
                         SELL.replace(",200.5,", ',"200.50",')]), TWO),
    ("zeros.csv", text([HEAD, BUY.replace(",000001,", ',="000001",'), SELL]), TWO),
    ("thousands.csv", text([HEAD, BUY, SELL.replace(",100,200.5,", ',"1,100","1,200.5",')]),
     [TWO[0], (2, "600519.XSHG", 1100, 1200.5, 5.5)]),
    ("semicolons.csv", text([x.replace(",", ";") for x in (HEAD, BUY, SELL)])
     .replace(b"12.99", b"12,99").replace(b";5.5", b";5,5"), TWO),
    ("other_headers.csv", text([
        "成交日期,证券代码,买卖标志,成交数量,成交价,佣金,交易规费,规费,经手费,过户费",
        "20160301,000001,买入,1000,12.99,5,0.1,0.2,0.3,0.4"]),
     [(1, "000001.XSHE", 1000, 12.99, 6.0)]),
    ("units_in_headers.csv", text([
        "成交日期,证券代码,买卖标志,成交数量(股),成交价格(元),佣金(元),印花税（元）",
        "20160301,000001,买入,1000,12.99,5,0.5"]),
     [(1, "000001.XSHE", 1000, 12.99, 5.5)]),
    # No price column: what the trade came to per share.
    ("price_from_amount.csv", text(["成交日期,证券代码,操作,成交数量,成交金额,手续费",
                                    "20160301,000001,证券买入,1000,12990.00,5",
                                    "20160302,600519,证券卖出,-100,\"20,050.00\",5.5"]), TWO),
    # Fees: the net commission when there is no other; from the money moved when there
    # is no fee column.
    ("net_commission.csv", text(["成交日期,证券代码,操作,成交数量,成交价格,净佣金,过户费",
                                 "20160301,000001,买入,1000,12.99,4,1",
                                 "20160302,600519,卖出,100,200.5,5.5,0"]), TWO),
    ("fees_from_amounts.csv", text(["成交日期,证券代码,操作,成交数量,成交价格,成交金额,发生金额",
                                    "20160301,000001,买入,1000,12.99,12990,-12995",
                                    "20160302,600519,卖出,100,200.5,20050,20044.5"]), TWO),
    # Dates, times, sides and headers as other clients write them.
    ("other_forms.csv", text(["发生日期,成交时间,证券代码,摘要,成交数量,成交价格,手续费",
                              "2016年3月1日,2016-03-01 09:35:12,000001,B,1000,12.99,5",
                              "42431,0.5,600519,证券卖出(沪),100,200.5,5.5"]), TWO),
    ("title_block.csv", text(["资金账号,123456,客户姓名,张三,币种,人民币",
                              "起始日期,20160301,终止日期,20160331",
                              "本期银证转入合计,100000.00,本期银证转出合计,0.00", HEAD, BUY,
                              SELL]), TWO),
    ("money_marks.csv", text([HEAD, BUY.replace(",12.99,5", ",¥12.99,5元"),
                              SELL.replace(",5.5", ",--")]),
     [TWO[0], TWO[1][:4] + (0.0,)]),
    ("yuan_as_a_code.csv", text([HEAD + ",币种,交易市场", BUY + ",0,深圳A股",
                                 SELL + ",人民币,沪A"]), TWO),
    # Faults: the row as it appears (1 = first row under the header), column, value.
    ("two_tables.csv", text(["资金流水", "发生日期,业务名称,发生金额",
                             "20160301,银行转证券,100000.00", "", "交割单", HEAD, BUY]),
     "line 3, above the header on line 6, is a row of another table ('20160301, 银行转证券"),
    ("hong_kong.csv", text([HEAD + ",币种", BUY + ",人民币",
                            SELL.replace(",600519,", ",00001,") + ",港币"]),
     "row 2: 币种 '港币' is a currency other than the yuan (人民币)"),
    ("b_shares.csv", text([HEAD + ",交易市场", BUY + ",深圳A股", SELL + ",上海B股"]),
     "row 2: 交易市场 '上海B股' is a market other than the A shares"),
    ("stray_quote.csv", text([HEAD, BUY, SELL.replace("贵州茅台", '"贵州茅台'), BUY]),
     "row 2: 证券名称: the cell '\"贵州茅台' opens a quote"),
    ("quote_opened_after_one.csv", text([HEAD, BUY.replace(",平安银行,证券买入", ',a"b,"c,证券买入'),
                                         SELL]),
     "row 1: 操作: the cell '\"c' opens a quote"),
    ("decimal_comma.csv", text([HEAD, BUY.replace(",12.99,", ',"12,99",')]),
     "row 1: 成交均价 '12,99' is not a price above 0; a comma separates thousands"),
    ("bad_groups.csv", text([HEAD, BUY.replace(",1000,", ',"1,0,0,0",')]),
     "row 1: 成交数量 '1,0,0,0' is not a whole number"),
    ("semicolon_two_marks.csv", text([x.replace(",", ";") for x in (HEAD, BUY)])
     .replace(b"12.99", b"1.012,99"), "row 1: 成交均价 '1.012,99'"),
    ("huge_quantity.csv", text([HEAD, BUY, SELL.replace(",100,", ",1e300,")]),
     "row 2: 成交数量 '1e300' is not a whole number of shares above 0 and at most 10^12"),
    ("inexact_quantity.csv", text([HEAD, BUY.replace(",1000,", ",12345678901234567,")]),
     "row 1: 成交数量 '12345678901234567'"),
    ("not_a_float.csv", text([HEAD, BUY.replace(",1000,", ",100.00000000000000001,")]),
     "row 1: 成交数量 '100.00000000000000001'"),
    ("huge_cell.csv", text([HEAD, BUY, SELL.replace("贵州茅台", "x" * 140_000)]),
     "row 2: 证券名称: the cell 'xxxxxxxxxxxxxxxxxxxx'... holds 140,000 characters"),
    # With their newlines the header line is 95 bytes of UTF-8, the first row 64.
    ("bad_byte.csv", text([HEAD, BUY]) + "20160302,10:00:00,600519,".encode()
     + b"\xff\xfe\n", "row 2 (line 3 of the file): the bytes b'\\xff\\xfe\\n' at byte "
     "offset 184 are neither UTF-8 nor GBK text"),
    ("extra_cells.csv", text([HEAD, BUY + ",9"]), "row 1: 9 cells under a header of 8"),
    ("no_header.csv", text(["交割单", "a,b", "1,2"]), "no column for order_book_id"),
    ("twice.csv", text([HEAD + ",成交数量", BUY + ",1"]), "names column '成交数量' twice"),
]


@pytest.mark.parametrize("name, data, expected", CASES, ids=[c[0] for c in CASES])
def test_layouts(tmp_path, name, data, expected):
    path = tmp_path / name
    path.write_bytes(data)
    if isinstance(expected, str):
        with pytest.raises(StatementError) as info:
            normalise_statement(read_statement(path))
        assert expected in str(info.value)
        assert str(path) not in str(info.value)
        return
    frame = normalise_statement(read_statement(path)).frame
    got = list(zip(frame.index, frame["order_book_id"], frame["last_quantity"],
                   frame["last_price"], frame["transaction_cost"]))
    assert got == [pytest.approx(t) for t in expected]


def test_a_fee_column_that_totals_others_is_counted_once(tmp_path):
    path = tmp_path / "s.csv"
    path.write_bytes(text(["成交日期,证券代码,操作,成交数量,成交价格,手续费,佣金,规费,过户费",
                           "20160301,000001,买入,1000,12.99,5,4.5,0.5,0.5",
                           "20160302,600519,卖出,100,200.5,5.5,5,0.5,0"]))
    with pytest.warns(StatementWarning, match="手续费 is the sum of 佣金 and 规费 on every "
                                              "trade"):
        frame = normalise_statement(read_statement(path)).frame
    assert frame["transaction_cost"].tolist() == [5.5, 5.5]


def workbook(tmp_path, rows):
    pytest.importorskip("openpyxl")
    path = tmp_path / "s.xlsx"
    pd.DataFrame(rows).to_excel(path, index=False, header=False)
    return path


def test_workbook_with_title_row_and_repeated_column(tmp_path):
    header = ["成交日期", "证券代码", "操作", "成交数量", "成交价格"]
    path = workbook(tmp_path, [["交割单", "", "", "", ""], header,
                               ["20160301", "000001", "买入", "100", "12.5"]])
    frame = normalise_statement(read_statement(path)).frame
    assert frame.index.tolist() == [1] and frame["last_price"].tolist() == [12.5]
    path = workbook(tmp_path, [header + ["成交价格"],
                               ["20160301", "000001", "买入", "100", "12.5", "13"]])
    with pytest.raises(StatementError, match="names column '成交价格' twice"):
        read_statement(path)
    path = tmp_path / "two.xlsx"
    with pd.ExcelWriter(path) as book:
        pd.DataFrame([["本报表由系统生成"]]).to_excel(book, sheet_name="说明", index=False, header=False)
        pd.DataFrame([header]).to_excel(book, sheet_name="交割单", index=False, header=False)
    with pytest.raises(StatementError, match="only the workbook's first sheet .'说明'. is read"):
        read_statement(path)
    path = workbook(tmp_path, [["20160301", "银行转证券", "1000", "", ""], header])
    with pytest.raises(StatementError, match="line 1, above the header on line 2, is a row"):
        read_statement(path)


def test_unread_columns_that_look_like_prices_or_fees_are_named(tmp_path):
    path = tmp_path / "s.csv"
    path.write_bytes(text([HEAD + ",成交金额,清算费用,成交日其", BUY + ",12990,1,x"]))
    with pytest.warns(StatementWarning) as caught:
        normalise_statement(read_statement(path))
    message = str(caught[0].message)
    assert "清算费用" in message and "成交日其" in message and "成交金额" not in message


def test_skipped_rows_shown_as_the_first_twenty_then_a_count():
    skipped = [(k, "红利入账") for k in range(1, 26)]
    lines = skipped_lines(skipped)
    assert lines[0] == "skipped row 1: 红利入账" and len(lines) == 21
    assert lines[-1] == "... and 5 more rows skipped"
    assert skipped_lines(skipped[:3]) == [f"skipped row {k}: 红利入账" for k in (1, 2, 3)]


@pytest.fixture
def md(market):
    return CachedMarketDataProvider()


def market_file(tmp_path, prices):
    rows = [f"2016-03-0{d},10:00,000001,平安银行,买入,100,{p},0,0,0"
            for d, p in zip((1, 2, 3, 4, 7, 8, 9), prices)]
    path = tmp_path / "s.csv"
    path.write_bytes(text(["成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,"
                           "手续费,印花税,过户费"] + rows))
    return path


def test_prices_far_from_the_close(tmp_path, md, market):
    close = md.get_close_price(["000001.XSHE"], "2016-03-02")["000001.XSHE"]
    far = round(close * 2.5, 2)
    path = market_file(tmp_path, [close, far])
    with pytest.raises(StatementError) as info:
        load_statement(path, md)
    assert str(info.value).startswith(f"row 2: price {far:g} of 000001.XSHE")
    assert "outside the range of 2016-03-02" in str(info.value)
    with pytest.warns(StatementWarning, match="row 2: 000001.XSHE"):
        trades, _, _ = load_statement(path, md, accept_prices=True)
    assert [t.last_price for t in trades] == [close, far]
    # On the generated market: one warning naming the first five rows.
    market.set_reply("store_info", lambda: {"meta": {"source": "sample"}})
    path = market_file(tmp_path, [close / 3] * 7)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        trades, _, _ = load_statement(path, md)
    assert len(trades) == 7 and len(caught) == 1
    message = str(caught[0].message)
    assert "generated sample market" in message and "row 5:" in message
    assert "row 6:" not in message and "and 2 more" in message


def test_day_outside_the_market_data(tmp_path, md):
    path = tmp_path / "s.csv"
    path.write_bytes(text(["成交日期,证券代码,操作,成交数量",
                           "2016-03-01,000001,买入,100", "2019-03-01,000001,买入,100"]))
    with pytest.raises(StatementError, match=r"row 2: 2019-03-01 is outside the market "
                                             r"data's range \(2015-11-02 to 2017-07-31\)"):
        load_statement(path, md)


def test_trades_built_in_parts_keep_time_order_and_rows(tmp_path, md, monkeypatch):
    days = ["2016-03-03", "2016-03-01", "2016-03-02", "2016-03-01", "2016-03-04"]
    rows = [f"{d},10:00,000001,平安银行,买入,{1000 * (k % 2 + 1)},11,0,0,0"
            for k, d in enumerate(days)]
    path = tmp_path / "s.csv"
    path.write_bytes(text(["成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,"
                           "手续费,印花税,过户费"] + rows))
    whole = statement_trades(normalise_statement(read_statement(path)), md)
    monkeypatch.setattr(statement_module, "_PART_ROWS", 2)
    trades, numbers, _ = load_statement(path, md)
    assert (trades, numbers) == whole and numbers == [2, 4, 3, 1, 5]
    assert [t.last_quantity for t in trades] == [2000, 2000, 1000, 1000, 1000]
    # Equal values are one object, across parts too.
    assert trades[0].datetime is trades[1].datetime
    assert all(t.last_price is trades[0].last_price for t in trades)
    assert trades[1].last_quantity is trades[0].last_quantity


def test_progress_reaches_the_end(tmp_path, md):
    seen = []
    load_statement(market_file(tmp_path, [11.0]), md, progress=lambda f, w: seen.append(f))
    assert seen[0] == 0.0 and seen[-1] == 1.0 and seen == sorted(seen)


# The rows are checked all at once; each must come out as the row-by-row reading
# (meridan.statement._row, the reading behind every message) has it.
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from meridan.statement import _row  # noqa: E402

POOLS = {
    "成交日期": ["20160301", "2016-03-02", "2016/3/3", "2016.3.4", "03/04/2016", ""],
    "成交时间": ["", "09:35", "100503", "14:00:01", "25:00"],
    "证券代码": ["000001", "1", "600519.SH", "60051X", "204001", ""],
    "证券名称": ["平安银行", ""],
    "操作": ["买入", "卖出", "SELL", "buy", " 证券买入 ", "红利入账", "扣费", "hold", ""],
    "成交数量": ["100", "-100", "1,000", "1,0,0", "1e300", "100.5", "", "0", " 200 "],
    "成交均价": ["12.99", "abc", "", "11,92", "0", "1,234.5"],
    "手续费": ["5", "", "-1", "1,000.5", "0.13"],
    "印花税": ["", "3.21"],
}


def reference(frame):
    found = {"date": "成交日期", "time": "成交时间", "order_book_id": "证券代码",
             "symbol": "证券名称", "side": "操作", "last_quantity": "成交数量",
             "last_price": "成交均价"}
    fees = ["手续费", "印花税"]
    trades, skipped = [], []
    for k, cells in enumerate(frame.to_dict("records"), start=1):
        if not any(v.strip() for v in cells.values()):
            continue
        row = {field: cells[column].strip() for field, column in found.items()}
        row.update({c: cells[c].strip() for c in fees})
        kind, value = _row(row, found, fees, k, False)
        (skipped if kind == "skip" else trades).append((k, value))
    return trades, skipped


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(*[st.sampled_from(v) for v in POOLS.values()]), max_size=6))
def test_all_rows_at_once_read_as_each_on_its_own(rows):
    frame = pd.DataFrame(rows, columns=list(POOLS), dtype=str)
    try:
        trades, skipped = reference(frame)
    except StatementError as exc:
        with pytest.raises(StatementError) as info:
            normalise_statement(frame)
        assert str(info.value) == str(exc)
        return
    statement = normalise_statement(frame)
    # Every row that is not a trade is skipped, an event or unknown, with its text.
    events = statement.events
    others = (statement.skipped + list(zip(events.index, events["text"]))
              + [(k, text) for k, text, _ in statement.unknown])
    assert sorted(others) == [(k, text) for k, text in skipped]
    got = statement.frame
    assert got.index.tolist() == [k for k, _ in trades]
    for (k, record), (_, row) in zip(trades, got.iterrows()):
        assert {f: row[f] for f in record} == record
