"""The rows of a broker statement that are not buys or sales: each read with its
kind (a deposit, a dividend, a repo, an allotment, ...), skipped when it moves
nothing, or listed as unknown with the reason; the cash balance column; and the
market checks of a whole account."""

import math

import numpy as np
import pandas as pd
import pytest

from meridan.quotes import CachedMarketDataProvider
from meridan.statement import (
    EVENT_COLUMNS,
    Statement,
    StatementError,
    load_account,
    load_statement,
    normalise_statement,
    read_statement,
)

NAN = math.nan


def one_row(op, code, quantity, price, amount, amount_column="发生金额"):
    return pd.DataFrame({"成交日期": ["20160301"], "证券代码": [code], "证券名称": [""],
                         "操作": [op], "成交数量": [quantity], "成交均价": [price],
                         amount_column: [amount]})


# (operation, code, quantity, price, amount) -> (kind, order_book_id, quantity, amount),
# ("none",) for a row that moves nothing, or ("unknown", reason).
CASES = [
    # Cash in and out; 帐 is 账, spaces do not count, a fixed direction wins.
    ("银行转证券", "", "", "", "5000", ("deposit", "", 0.0, 5000.0)),
    ("银行 转 证券", "", "", "", "5000", ("deposit", "", 0.0, 5000.0)),
    ("银证转入", "", "", "", "-5000", ("deposit", "", 0.0, 5000.0)),
    ("转存", "", "", "", "300", ("deposit", "", 0.0, 300.0)),
    ("证券转银行", "", "", "", "3000", ("withdrawal", "", 0.0, -3000.0)),
    ("转取", "", "", "", "-100", ("withdrawal", "", 0.0, -100.0)),
    ("银证转帐", "", "", "", "-2,000.50", ("withdrawal", "", 0.0, -2000.5)),
    ("银证转账", "", "", "", "800", ("deposit", "", 0.0, 800.0)),
    ("银证转账", "", "", "", "0", ("none",)),
    ("转账", "", "", "", "", ("unknown", "转账 without an amount: its direction cannot "
                                          "be told")),
    ("证券转银行", "", "", "", "", ("unknown", "证券转银行 without an amount")),
    ("银行转证券", "", "", "", "abc", ("unknown", "发生金额 'abc' is not an amount")),
    ("银行转证券", "", "x", "", "10", ("deposit", "", 0.0, 10.0)),  # books no shares
    # Money as accounts and spreadsheets write it.
    ("银证转账", "", "", "", "(3,000.00)", ("withdrawal", "", 0.0, -3000.0)),
    ("银证转账", "", "", "", "\u22123000", ("withdrawal", "", 0.0, -3000.0)),
    ("银证转账", "", "", "", "￥5,000.00元", ("deposit", "", 0.0, 5000.0)),
    # Shares moved in kind.
    ("转托管转入", "000001", "500", "", "0", ("transfer_in", "000001.XSHE", 500.0, 0.0)),
    ("股份转出", "600519", "-100", "", "", ("transfer_out", "600519.XSHG", 100.0, NAN)),
    ("托管转入", "", "100", "", "", ("unknown", "托管转入 without a security code")),
    ("转托管转入", "000001", "", "", "", ("unknown", "转托管转入 without a quantity of "
                                                   "shares")),
    # Income, taxes and fees.
    ("红利入账", "600519", "0", "", "1500", ("dividend", "600519.XSHG", 0.0, 1500.0)),
    ("股息入帐", "600519", "", "", "20", ("dividend", "600519.XSHG", 0.0, 20.0)),
    ("派息", "", "", "", "20", ("dividend", "", 0.0, 20.0)),
    ("红利入账", "600519", "", "", "", ("unknown", "红利入账 without an amount")),
    ("利息归本", "", "", "", "12.34", ("interest", "", 0.0, 12.34)),
    ("批量利息归本", "", "", "", "1.5", ("interest", "", 0.0, 1.5)),
    ("结息", "", "", "", "1.5", ("interest", "", 0.0, 1.5)),
    ("股息红利税补缴", "600519", "", "", "-150", ("tax", "600519.XSHG", 0.0, -150.0)),
    ("股息红利差异扣税", "600519", "", "", "30", ("tax", "600519.XSHG", 0.0, -30.0)),
    ("利息税", "", "", "", "0.3", ("tax", "", 0.0, -0.3)),
    ("扣费", "", "", "", "-5", ("fee", "", 0.0, -5.0)),
    ("账户管理费", "", "", "", "5", ("fee", "", 0.0, 5.0)),  # a refund
    # Interest the account pays is a charge, however the statement signs it.
    ("扣收融资利息", "", "", "", "-123.45", ("fee", "", 0.0, -123.45)),
    ("透支利息", "", "", "", "123.45", ("fee", "", 0.0, -123.45)),
    # New shares and rights: subscription codes booked under the listing code.
    ("中签缴款", "780857", "1000", "5.00", "-5000",
     ("allotment_payment", "601857.XSHG", 1000.0, -5000.0)),
    ("新股中签", "732001", "500", "10", "", ("allotment_payment", "603001.XSHG", 500.0,
                                           -5000.0)),
    ("申购中签", "002900", "", "", "", ("unknown", "申购中签 without an amount, or a "
                                                 "quantity and a price")),
    # A win's notice with no money: the payment row that follows books the shares.
    ("申购中签", "787458", "500", "10.00", "0", ("none",)),
    ("配股缴款", "080001", "300", "8", "0.00", ("none",)),
    ("配股缴款", "080001", "300", "8", "-2400", ("rights_payment", "000001.XSHE", 300.0,
                                              -2400.0)),
    ("配股入账", "000001", "300", "", "", ("rights_credit", "000001.XSHE", 300.0, NAN)),
    ("新股入账", "601857", "1000", "", "0", ("allotment_credit", "601857.XSHG", 1000.0,
                                           0.0)),
    ("新股上市", "787001", "500", "", "", ("allotment_credit", "688001.XSHG", 500.0, NAN)),
    ("红股入账", "000001", "200", "", "", ("bonus_credit", "000001.XSHE", 200.0, NAN)),
    ("转增股入账", "600519", "50", "", "0", ("bonus_credit", "600519.XSHG", 50.0, 0.0)),
    ("送股", "600519", "0", "", "", ("unknown", "送股 without a quantity of shares")),
    ("送股", "600519", "1,0", "", "", ("unknown", "成交数量 '1,0' is not a number of "
                                               "shares; a comma separates thousands in "
                                               "groups of three (1,000 or 12,345.5) and "
                                               "the decimal mark is the point")),
    ("退市注销", "000009", "-1000", "", "", ("delisting", "000009.XSHE", 1000.0, NAN)),
    # Reverse repos: by the code whatever the side says, or by the words.
    ("卖出", "204001", "100", "1.8", "-10000.1", ("repo_lend", "204001.XSHG", 100.0,
                                                -10000.1)),
    ("融券", "131810", "10", "", "-1000", ("repo_lend", "131810.XSHE", 10.0, -1000.0)),
    ("融券购回", "131810", "10", "", "1000.3", ("repo_repay", "131810.XSHE", 10.0,
                                             1000.3)),
    ("逆回购到期", "", "", "", "10002", ("repo_repay", "", 0.0, 10002.0)),
    ("购回", "204001", "", "", "", ("unknown", "购回 without an amount: its direction "
                                           "cannot be told")),
    # Rows that move nothing, unless they carry an amount.
    ("新股申购", "732001", "1000", "", "", ("none",)),
    ("撤单", "000001", "100", "12", "", ("none",)),
    ("指定交易", "", "", "", "0", ("none",)),
    ("新股申购", "732001", "1000", "", "-5000", ("unknown", "新股申购 with an amount of "
                                                       "-5,000.00")),
    ("融资融券划转", "", "", "", "300", ("unknown", "operation '融资融券划转' is not known")),
    ("", "", "", "", "300", ("unknown", "no operation")),
]


@pytest.mark.parametrize("op, code, quantity, price, amount, expected", CASES,
                         ids=[f"{c[0] or 'empty'}-{c[1]}-{c[4]}" for c in CASES])
def test_row_kinds(op, code, quantity, price, amount, expected):
    statement = normalise_statement(one_row(op, code, quantity, price, amount))
    assert statement.frame.empty
    events = statement.events
    if expected[0] == "none":
        assert statement.skipped == [(1, f"{op} {code}".strip())] and events.empty
        assert statement.unknown == []
    elif expected[0] == "unknown":
        assert statement.unknown == [(1, f"{op or '(no side)'} {code}".strip(),
                                      expected[1])]
        assert statement.skipped == [] and events.empty
    else:
        assert statement.skipped == [] and statement.unknown == []
        got = events.loc[1]
        assert (got["kind"], got["order_book_id"]) == expected[:2]
        assert got["quantity"] == expected[2]
        assert got["amount"] == pytest.approx(expected[3], nan_ok=True)
        assert got["datetime"] == pd.Timestamp("2016-03-01")


# 成交金额 carries no sign: the kind gives it one, or the words of a repo row do.
@pytest.mark.parametrize("op, code, amount, expected", [
    ("银行转证券", "", "5000", ("deposit", 5000.0)),
    ("扣费", "", "5", ("fee", -5.0)),
    ("购回", "204001", "10002", ("repo_repay", 10002.0)),
    ("卖出", "204001", "10000", ("repo_lend", -10000.0)),
    ("银证转账", "", "5000", ("unknown", "银证转账 with an amount that carries no sign: "
                                      "its direction cannot be told")),
])
def test_unsigned_amounts(op, code, amount, expected):
    statement = normalise_statement(one_row(op, code, "", "", amount, "成交金额"))
    if expected[0] == "unknown":
        assert [reason for _, _, reason in statement.unknown] == [expected[1]]
    else:
        assert statement.events[["kind", "amount"]].values.tolist() == [list(expected)]


@pytest.mark.parametrize("side, message", [
    ("hold", "row 1: 操作 'hold' is neither a buy nor a sale (BUY, SELL, 买入"),
    ("融资买入", "row 1: 操作 '融资买入': a trade on borrowed money or stock (融资, 融券) is "
             "not read"),
    ("卖券还款", "row 1: 操作 '卖券还款': a trade on borrowed money"),
])
def test_a_row_that_reads_like_a_trade_of_an_unknown_side_is_refused(side, message):
    with pytest.raises(StatementError) as info:
        normalise_statement(one_row(side, "600519", "100", "", ""))
    assert str(info.value).startswith(message)


def test_a_margin_accounts_trades_on_its_own_money_are_trades():
    frame = pd.concat([one_row("担保品买入", "600519", "100", "10", ""),
                       one_row("担保品卖出", "600519", "100", "11", "")])
    assert normalise_statement(frame).frame["side"].tolist() == ["BUY", "SELL"]


@pytest.mark.parametrize("day, settled, expected", [
    ("20160301", "20160302", pd.Timestamp("2016-03-01")),
    ("", "2016-03-02", pd.Timestamp("2016-03-02")),  # 成交日期 left empty
    ("03/04/2016", "", "cannot read the date from 成交日期 '03/04/2016'"),
])
def test_the_date_of_a_row_that_is_not_a_trade(day, settled, expected):
    frame = one_row("银行转证券", "", "", "", "5000")
    frame["成交日期"], frame["发生日期"] = [day], [settled]
    statement = normalise_statement(frame)
    if isinstance(expected, str):
        assert statement.unknown == [(1, "银行转证券", expected)]
    else:
        assert statement.events["datetime"].tolist() == [expected]


HEADER = ("成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,成交金额,手续费,"
          "印花税,过户费,发生金额,资金余额,股东代码")
SETTLEMENT = [
    "对账单 2016-03-01 至 2016-03-31  资金账号 12345678",
    HEADER,
    "20160301,09:01:00,,,银行转证券,,,,0,0,0,100000.00,100000.00,",
    "20160301,09:35:12,000001,深发银行,证券买入,1000,12.99,12990.00,5,0,0.26,-12995.26,"
    "87004.74,A123",
    "20160302,,,,银证转账,,,,0,0,0,-2000.00,85004.74,",
    "20160302,,600519,茅山酒业,红利入账,0,,,0,0,0,1500.00,86504.74,A123",
    "20160302,,600519,茅山酒业,股息红利税补缴,0,,,0,0,0,-150.00,86354.74,A123",
    "20160302,,780857,华油申购,中签缴款,1000,5.00,5000.00,0,0,0,-5000.00,81354.74,A123",
    "20160303,,601857,华油能源,新股入账,1000,,,0,0,0,0.00,81354.74,A123",
    "20160303,,000001,深发银行,红股入账,200,,,0,0,0,,81354.74,A123",
    "",
    "20160303,14:55:00,204001,GC001,卖出,100,2.50,10000.00,0.10,0,0,-10000.10,71354.64,"
    "A123",
    "20160304,,204001,GC001,融券购回,100,,,0,0,0,10002.05,81356.69,A123",
    "20160304,,732999,某某申购,新股申购,1000,,,0,0,0,,,A123",
    "20160304,,,,融资融券划转,,,,0,0,0,300.00,81656.69,",
    "20160304,,,,利息归本,,,,0,0,0,12.34,81669.03,",
    "20160304,10:00:00,000001,深发银行,证券卖出,500,12.84,6420.00,5,6.42,0.13,6408.45,"
    "88077.48,A123",
]


def settlement_file(tmp_path, lines=SETTLEMENT):
    path = tmp_path / "对账单.csv"
    path.write_bytes(("\r\n".join(lines) + "\r\n").encode("gbk"))
    return path


def test_settlement_statement_read_end_to_end(tmp_path):
    statement = normalise_statement(read_statement(settlement_file(tmp_path)))
    assert statement.frame.index.tolist() == [2, 15]
    assert statement.frame["side"].tolist() == ["BUY", "SELL"]
    events = statement.events
    assert events.index.name == "row" and events.index.dtype == "int64"
    assert events.dtypes["datetime"].kind == "M"
    expected = pd.DataFrame([
        (1, "deposit", "2016-03-01 09:01", "", 0.0, NAN, 100000.0, "银行转证券"),
        (3, "withdrawal", "2016-03-02", "", 0.0, NAN, -2000.0, "银证转账"),
        (4, "dividend", "2016-03-02", "600519.XSHG", 0.0, NAN, 1500.0, "红利入账 茅山酒业"),
        (5, "tax", "2016-03-02", "600519.XSHG", 0.0, NAN, -150.0, "股息红利税补缴 茅山酒业"),
        (6, "allotment_payment", "2016-03-02", "601857.XSHG", 1000.0, 5.0, -5000.0,
         "中签缴款 华油申购"),
        (7, "allotment_credit", "2016-03-03", "601857.XSHG", 1000.0, NAN, 0.0,
         "新股入账 华油能源"),
        (8, "bonus_credit", "2016-03-03", "000001.XSHE", 200.0, NAN, NAN, "红股入账 深发银行"),
        (10, "repo_lend", "2016-03-03 14:55", "204001.XSHG", 100.0, 2.5, -10000.10,
         "卖出 GC001"),
        (11, "repo_repay", "2016-03-04", "204001.XSHG", 100.0, NAN, 10002.05,
         "融券购回 GC001"),
        (14, "interest", "2016-03-04", "", 0.0, NAN, 12.34, "利息归本"),
    ], columns=["row", "kind", "datetime", "order_book_id", "quantity", "price", "amount",
                "text"]).set_index("row")
    expected["datetime"] = pd.to_datetime(expected["datetime"], format="ISO8601").astype(
        "datetime64[us]")
    pd.testing.assert_frame_equal(events, expected, check_dtype=False)
    assert statement.skipped == [(12, "新股申购 某某申购")]
    assert statement.unknown == [(13, "融资融券划转", "operation '融资融券划转' is not known")]
    balances = statement.balances
    assert balances.name == "资金余额" and balances.index.tolist() == list(range(1, 16))
    assert balances[[1, 2, 14, 15]].tolist() == [100000.0, 87004.74, 81669.03, 88077.48]
    assert np.isnan(balances[9]) and np.isnan(balances[12])  # an empty line and cell


def test_a_dividend_named_by_its_name_only_takes_the_code_of_the_trades(tmp_path):
    buys = [f"20160301,09:35:12,{code},{name},证券买入,100,10,1000.00,0,0,0,-1000.00,,"
            for code, name in (("000001", "深发银行"), ("600519", "同名"), ("600000", "同名"))]
    dividends = [f"20160302,,,{name},股息入账,,,,0,0,0,10.00,,"
                 for name in ("深发银行", "同名", "未买过", "")]
    lines = [SETTLEMENT[1]] + buys + dividends
    events = normalise_statement(read_statement(settlement_file(tmp_path, lines))).events
    # A name the trades give two codes, or none, names no security.
    assert events["order_book_id"].tolist() == ["000001.XSHE", "", "", ""]


@pytest.mark.parametrize("columns, name", [
    (["资金余额", "可用金额"], "资金余额"),
    (["可用金额", "剩余金额"], "剩余金额"),
    (["可用金额"], "可用金额"),
])
def test_the_balance_column(columns, name):
    frame = one_row("银行转证券", "", "", "", "5000")
    for k, column in enumerate(columns):
        frame[column] = [f"{k + 1},000.5"]
    balances = normalise_statement(frame).balances
    assert balances.name == name
    assert balances.tolist() == [(columns.index(name) + 1) * 1000 + 0.5]


def test_a_statement_of_trades_alone():
    statement = Statement(pd.DataFrame(), [(1, "撤单")])
    assert list(statement.events.columns) == EVENT_COLUMNS and statement.events.empty
    assert statement.unknown == [] and statement.balances is None
    assert statement._replace(unknown=[(2, "x", "y")]).unknown == [(2, "x", "y")]


@pytest.fixture
def md(market):
    return CachedMarketDataProvider()


def test_account_read_against_the_market(tmp_path, md):
    account = load_account(settlement_file(tmp_path), md)
    assert account.rows == [2, 15]
    assert [t.last_quantity for t in account.trades] == [1000, 500]
    assert account.events.index.tolist() == [1, 3, 4, 5, 6, 7, 8, 10, 11, 14]
    assert account.skipped == [(12, "新股申购 某某申购")] and len(account.unknown) == 1
    assert account.balances.name == "资金余额"
    # load_statement still lists every row that is not a trade as skipped.
    trades, rows, skipped = load_statement(settlement_file(tmp_path), md)
    assert rows == [2, 15]
    assert [number for number, _ in skipped] == [1, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14]


def test_instruments_that_are_no_stocks_are_refused_at_once(tmp_path, md, market):
    # 510050 is a fund of the market data; 159919, 128001 and 600999 it does not know.
    lines = ["成交日期,证券代码,证券名称,操作,成交数量,发生金额",
             "20160301,000001,深发银行,买入,100,-1299",
             "20160301,510050,50ETF,买入,100,-250",
             "20160301,159919,300ETF,买入,100,-350",
             "20160302,510050,50ETF,卖出,100,251",
             "20160302,128001,转债,买入,10,-1000",
             "20160302,600999,某某股份,红股入账,100,",
             "20160302,600998,某某股份,股息红利税补缴,,-5"]
    path = tmp_path / "s.csv"
    path.write_bytes(("\n".join(lines) + "\n").encode())
    market.reset_calls()
    with pytest.raises(StatementError) as info:
        load_account(path, md)
    assert info.value.row == 2
    assert str(info.value).startswith(
        "row 2: 510050.XSHG (50ETF) is not a stock (type ETF); row 3: unknown instrument "
        "159919.XSHE; row 5: unknown instrument 128001.XSHE; row 6: unknown instrument "
        "600999.XSHG (4 instruments")
    assert "600998" not in str(info.value)  # a tax names no holding to check
    assert market.count("instruments") == 5
    # The trades alone: the first three of them.
    with pytest.raises(StatementError, match=r"^row 2: 510050.XSHG .*; row 5: unknown "
                                             r"instrument 128001.XSHE \(3 instruments"):
        load_statement(path, md)
