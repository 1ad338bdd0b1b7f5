"""A statement replayed as an account: each kind of row booked on the "week" market,
the cash checked against the statement's balance, the opening cash found, and the
performance net of flows.

The week (days D[0] to D[5], 2024-03-04 to 2024-03-11): A closes 10.0, 10.5, 7.0, 7.2,
7.1, 7.3 and splits 10 -> 15 on D[2]; B closes 20.0, 21.0, -, -, 22.0, 22.5; C closes
49.0, 50.5, 51.0, 51.5, 52.0, 52.5 and pays 2.5 per 10 shares on its book closure D[1].
"""

import math

import numpy as np
import pandas as pd
import pytest

from meridan import account as acc
from meridan.pcalc.trade import Trade
from meridan.statement import StatementError

A, B, C, E = "600000.XSHG", "000004.XSHE", "600036.XSHG", "603999.XSHG"
WEEK = pd.to_datetime(["2024-03-04", "2024-03-05", "2024-03-06", "2024-03-07",
                       "2024-03-08", "2024-03-11"])
D = [d.date() for d in WEEK]

pytestmark = pytest.mark.market("week")


def trade(when, oid, side, qty, price, cost=0.0):
    return Trade(datetime=pd.Timestamp(when), order_book_id=oid, symbol=oid,
                 last_price=price, last_quantity=qty, side=side, transaction_cost=cost)


def events(*rows):
    """(row, kind, day, id, quantity, price, amount) -> the events table of a statement."""
    frame = pd.DataFrame(
        [(kind, pd.Timestamp(day), oid, float(qty), float(price), float(amount),
          f"{kind} {oid}".strip()) for _, kind, day, oid, qty, price, amount in rows],
        columns=["kind", "datetime", "order_book_id", "quantity", "price", "amount",
                 "text"],
        index=pd.Index([r[0] for r in rows], name="row", dtype="int64"))
    return frame


NAN = math.nan


def replay(trades, rows, table, cash=0.0, positions=None, first=D[0], last=D[5]):
    return acc.replay_account(trades, rows, table, first, last, None, cash=cash,
                              positions=positions)


def test_a_settled_account_agrees_with_its_balance_row_by_row(market):
    """Deposit, buy C, C's dividend credited by the statement (so not also booked from
    the market), a sale, the dividend tax debited after it, a withdrawal."""
    trades = [trade("2024-03-04 10:00", C, "BUY", 200, 49.0, 5.0),
              trade("2024-03-08 10:00", C, "SELL", 200, 52.0, 6.0)]
    table = events((1, "deposit", D[0], "", 0, NAN, 20000.0),
                   (3, "dividend", D[2], C, 0, NAN, 50.0),
                   (5, "tax", D[4], C, 0, NAN, -5.0),
                   (6, "withdrawal", "2024-03-09", "", 0, NAN, -639.0))
    balances = pd.Series([20000.0, 10195.0, 10245.0, 20639.0, 20634.0, 19995.0],
                         index=pd.Index([1, 2, 3, 4, 5, 6], name="row"), name="资金余额")
    result = replay(trades, [2, 4], table)
    check = acc.reconcile(balances, result.row_cash)
    assert (check.agree, check.compared, check.first) == (6, 6, None)
    assert check.line() == "cash agrees with the statement on 6 of 6 rows"
    assert result.portfolio._dividends == 0            # the market's 50 is not booked
    assert acc.least_opening_cash(result) == 0.0
    # The Saturday withdrawal counts on Monday; nothing else came in after the first day.
    assert result.flows.to_dict() == {WEEK[0]: 20000.0, WEEK[5]: -639.0}
    # Time-weighted: the chain of each day's value change, the withdrawal taken out.
    values = result.value_series
    chained = np.prod([(values.iloc[k] - result.flows.get(WEEK[k], 0.0)) / values.iloc[k - 1]
                       for k in range(1, 6)])
    got = acc.performance(result, D[0], D[5])
    assert got.time_weighted == pytest.approx(chained - 1)
    assert got.profit == pytest.approx(19995.0 - values.iloc[0] + 639.0)
    assert (got.deposits, got.withdrawals) == (0.0, 639.0)

    # A row left out shows where the cash parts from the balance: its own balance
    # against the cash after the row before it, and every row after it.
    check = acc.reconcile(balances, replay(trades, [2, 4], table.drop(index=[5])).row_cash)
    assert (check.agree, check.compared, check.first) == (4, 6, (5, 20634.0, 20639.0, -5.0))
    assert check.line().endswith("first difference at row 5, which was not booked: the "
                                 "statement's balance 20,634.00, ours 20,639.00 (-5.00)")
    # A balance column whose cells cannot be read reconciles nothing, and says so.
    unread = pd.Series(NAN, index=balances.index, name="资金余额")
    assert acc.reconcile(unread, result.row_cash).line() == (
        "the statement's 资金余额 holds no balance that can be read beside a booked row: "
        "its cash is not reconciled")
    # A row that moves nothing agrees with the cash before it.
    nothing = pd.concat([balances, pd.Series({7: 19995.0})])
    assert acc.reconcile(nothing, result.row_cash)[:3] == (7, 7, None)


def test_a_dividend_of_no_named_security_is_noted(market):
    table = events((1, "deposit", D[0], "", 0, NAN, 20000.0),
                   (2, "dividend", D[2], "", 0, NAN, 50.0))
    result = replay([trade("2024-03-04 10:00", C, "BUY", 200, 49.0)], [3], table)
    assert result.notes == ["row 2: a dividend whose security the statement does not "
                            "name: the market's dividends are booked as well, so it may "
                            "be counted twice"]


def test_an_opening_deposit_gives_the_figures_of_opening_cash(market):
    trades = [trade("2024-03-05 10:00", A, "BUY", 1000, 10.5, 5.0)]
    deposit = replay(trades, [2], events((1, "deposit", D[0], "", 0, NAN, 20000.0)))
    cash = replay(trades, [2], events(), cash=20000.0)
    for field in ("value_series", "unit_value", "units", "flows"):
        pd.testing.assert_series_equal(getattr(deposit, field), getattr(cash, field))
    assert acc.performance(deposit, D[1], D[5]) == acc.performance(cash, D[1], D[5])


def test_deposits_and_withdrawals_are_counted_as_the_rows_moved_them(market):
    # 30,000 in and 20,000 out on one day are not a deposit of 10,000.
    table = events((1, "deposit", D[0], "", 0, NAN, 20000.0),
                   (3, "deposit", D[2], "", 0, NAN, 30000.0),
                   (4, "withdrawal", D[2], "", 0, NAN, -20000.0),
                   (5, "withdrawal", D[4], "", 0, NAN, -1000.0))
    result = replay([trade("2024-03-05 10:00", A, "BUY", 1000, 10.5, 5.0)], [2], table)
    p = acc.performance(result, D[0], D[5])
    assert (p.deposits, p.withdrawals) == (30000.0, 21000.0)
    assert p.profit == p.final_value - p.opening_value - 30000.0 + 21000.0


def test_an_allotment_paid_then_credited_is_held_once(market):
    """E lists on D[3]: allotted on D[1] at its offer price 8.0 and held at that price
    until its first close, credited on D[3], sold on D[5]."""
    market.add_rows("instruments", f"{E},戊新股,CS,XSHG,2024-03-07,,100,工业,机械设备")
    market.add_rows("prices", f"{E},2024-03-07,11.0", f"{E},2024-03-08,12.0",
                    f"{E},2024-03-11,12.5")
    table = events((1, "deposit", D[0], "", 0, NAN, 5000.0),
                   (2, "allotment_payment", D[1], E, 500, 8.0, -4000.0),
                   (3, "allotment_credit", D[3], E, 500, NAN, 0.0))
    trades = [trade("2024-03-11 10:00", E, "SELL", 500, 12.5)]
    result = replay(trades, [4], table)
    held = [[p for p in s["positions"] if p["order_book_id"] == E]
            for s in result.portfolio_series]
    assert [h[0]["market_value"] if h else 0 for h in held] == \
        [0, 4000.0, 4000.0, 5500.0, 6000.0, 0]
    balances = pd.Series([5000.0, 1000.0, 1000.0, 7250.0], index=[1, 2, 3, 4],
                         name="资金余额")
    assert acc.reconcile(balances, result.row_cash).agree == 4
    assert result.notes == []
    # A credit with no payment books the shares for its amount, and says so.
    alone = replay([], [], events((1, "deposit", D[0], "", 0, NAN, 5000.0),
                                  (3, "allotment_credit", D[3], E, 500, NAN, -4000.0)))
    assert alone.portfolio.get_position(E).quantity == 500
    assert alone.portfolio_series[-1]["cash"] == 1000.0
    assert "without their payment row" in alone.notes[0]


@pytest.mark.parametrize("credited, held, noted", [
    (500, 1500, False),     # the split's 500 bonus shares: booked once
    (499, 1499, True),      # the exchange rounded: the row's count is taken
])
def test_a_bonus_credit_is_the_market_split_booked_once(market, credited, held, noted):
    trades = [trade("2024-03-04 10:00", A, "BUY", 1000, 10.0)]
    table = events((1, "deposit", D[0], "", 0, NAN, 10000.0),
                   (3, "bonus_credit", D[3], A, credited, NAN, 0.0),
                   (4, "bonus_credit", D[4], C, 20, NAN, NAN))   # no split of C: booked
    result = replay(trades, [2], table)
    assert result.portfolio.get_position(A).quantity == held
    assert result.portfolio.get_position(C).quantity == 20
    assert bool(result.notes) is noted


def test_repo_interest_is_income_and_the_loan_is_held_at_cost(market):
    table = events((1, "deposit", D[0], "", 0, NAN, 20000.0),
                   (2, "repo_lend", D[1], "", 0, NAN, -10000.0),
                   (3, "repo_repay", D[3], "", 0, NAN, 10012.5))
    result = replay([], [], table)
    assert result.value_series.tolist() == [20000.0] * 3 + [20012.5] * 3
    assert result.row_cash.tolist() == [20000.0, 10000.0, 20012.5]
    assert result.flows.to_dict() == {WEEK[0]: 20000.0}


def test_a_delisting_is_a_loss_not_a_flow(market):
    result = replay([], [], events((1, "delisting", D[2], B, 500, NAN, NAN)),
                    positions={B: 500})
    assert result.value_series.tolist() == [10000.0, 10500.0, 0.0, 0.0, 0.0, 0.0]
    assert result.flows.to_dict() == {WEEK[0]: 10000.0}


def test_opening_cash_and_overdrafts(market):
    trades = [trade("2024-03-05 10:00", A, "BUY", 1000, 10.5),
              trade("2024-03-07 10:00", A, "SELL", 300, 7.2)]
    table = events((1, "deposit", D[0], "", 0, NAN, 8000.0),
                   (4, "withdrawal", D[4], "", 0, NAN, -1000.0))
    result = replay(trades, [2, 3], table)
    # 10,500 bought on 8,000: 2,500 short; the sale brings 2,160, the withdrawal takes
    # 1,000: 1,340 short again, less than before.
    assert acc.least_opening_cash(result) == 2500.0
    assert acc.first_overdraft(result) == (2, -2500.0)
    assert acc.first_overdraft(replay(trades, [2, 3], table, cash=2500.0)) is None
    with pytest.raises(StatementError, match=r"^row 3: .*cannot sell 3,?000"):
        replay([trades[0], trade("2024-03-07 10:00", A, "SELL", 3000, 7.2)], [2, 3],
               table, cash=5000.0)


def test_a_withdrawal_is_never_funded_by_an_assumed_opening_cash(market):
    trades = [trade("2024-03-05 10:00", A, "BUY", 1000, 10.5)]
    over = events((1, "deposit", D[0], "", 0, NAN, 12000.0),
                  (3, "withdrawal", D[3], "", 0, NAN, -2000.0))
    with pytest.raises(StatementError, match=r"^row 3: a withdrawal of 2,000.00 on "
                                             r"2024-03-07 is more than the cash held "
                                             r"\(1,500.00\)"):
        acc.replay_with_least_cash(trades, [2], over, D[0], D[5], None)
    # A balance column that states too little is named, as where a deposit row is
    # missing: the refusal says the opening cash is not known, and why.
    stated = balances((1, 12000.0), (2, 1500.0), (3, -500.0))
    with pytest.raises(StatementError, match=r"when the account opens with the least "
                                             r"cash its purchases need \(0.00\): its "
                                             r"资金余额 implies an opening cash of 0.00 \(at row 1\), "
                                             r"but the rows spend that below zero at "
                                             r"row 3"):
        acc.replay_with_stated_cash(trades, [2], over, stated, D[0], D[5], None)
    # The purchase alone is funded by the least cash, and said to be.
    short = events((1, "deposit", D[0], "", 0, NAN, 10000.0))
    result, cash = acc.replay_with_least_cash(trades, [2], short, D[0], D[5], None)
    assert cash == 500.0 and acc.first_overdraft(result) is None


def balances(*pairs):
    return pd.Series([b for _, b in pairs], index=pd.Index([r for r, _ in pairs], name="row"),
                     name="资金余额", dtype=float)


# A purchase of 10,500 on D[1] (row 2) after a row 1 on D[0]: the statement's balances,
# and the opening cash read (with the row it was read at) or else the least cash.
OPENING = [
    ("a yearly export: the account held cash before row 1",
     "dividend", 50.0, [(1, 20050.0), (2, 9550.0)], (20000.0, 1)),
    ("the first row gives no balance: read at the next",
     "dividend", 50.0, [(1, NAN), (2, 9550.0)], (20000.0, 2)),
    ("an opening deposit states no cash before it: deposits fund the purchase",
     "deposit", 12000.0, [(1, 12000.0), (2, 1500.0)], (0.0, None)),
    ("a balance stating too little for a later row: the least cash, assumed",
     "deposit", 8000.0, [(1, 9000.0), (2, -1500.0)], (2500.0, None)),
    ("a balance below what the rows moved (a row left out): the least cash",
     "deposit", 8000.0, [(1, 7000.0), (2, -3500.0)], (2500.0, None)),
    ("no balance column", "deposit", 8000.0, None, (2500.0, None)),
]


@pytest.mark.parametrize("kind, amount, given, expected", [c[1:] for c in OPENING],
                         ids=[c[0] for c in OPENING])
def test_the_opening_cash_a_balance_column_states(market, kind, amount, given, expected):
    trades = [trade("2024-03-05 10:00", A, "BUY", 1000, 10.5)]
    table = events((1, kind, D[0], C if kind == "dividend" else "", 0, NAN, amount))
    stated = None if given is None else balances(*given)
    result, cash, row = acc.replay_with_stated_cash(trades, [2], table, stated, D[0], D[5],
                                                    None)
    assert (cash, row) == expected
    assert acc.first_overdraft(result) is None
    if row is not None:  # the statement's own cash, which then agrees on every row
        check = acc.reconcile(stated, result.row_cash)
        assert check.agree == check.compared == stated.notna().sum()


@pytest.mark.parametrize("text, encoding, expected", [
    ("证券代码,股份余额\n600000,1000\n000004,500\n", "gbk", {A: 1000, B: 500}),
    ("code;quantity\n600000.SH;1,000\n600000;200\n", "utf-8-sig", {A: 1200}),
    ("order_book_id,quantity\n000004.XSHE,0\n", "utf-8", {}),
    ("证券代码,持仓数量\n600000,10.5\n", "utf-8", "row 1: '10.5' is not a whole number"),
    ("证券代码,成本价\n600000,10\n", "utf-8", "no quantity column"),
    ("证券代码,数量\nABC,10\n", "utf-8", "row 1: 'ABC' is not a security code"),
    ("持仓查询 2024-01-01\n\n证券代码,证券名称,股份余额(股)\n600000,甲,1000\n", "gbk",
     {A: 1000}),
    ("持仓查询\n证券名称,股份余额\n甲,1000\n", "utf-8", "not a table of holdings"),
    ("持仓查询 2024\n证券名称,股份余额\n甲,1000\n", "utf-8", "no order_book_id column"),
], ids=["gbk", "semicolons", "nothing held", "fraction", "no quantity", "bad code",
        "title lines", "a title and no delimiter", "no code column under a title"])
def test_positions_files(tmp_path, text, encoding, expected):
    path = tmp_path / "positions.csv"
    path.write_bytes(text.encode(encoding))
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            acc.read_positions(path)
    else:
        assert acc.read_positions(path) == expected
