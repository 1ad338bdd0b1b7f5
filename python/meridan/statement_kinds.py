"""The kind of each row of a broker statement that is not a buy or a sale: what the
row did to the account, so that a replay of the account can book it.

The operation text (操作, 业务名称, ...) is compared after its spaces are removed, 帐
read as 账 and Latin letters upper-cased. A row's kind is the first line of the table
below one of whose words the text holds (so 股息红利税补缴 is a tax, not a dividend, and
股份转入 a transfer of shares, not a deposit); a row whose security code is a reverse
repo code is a repo row whatever its text says. Buys and sales (买入, 证券买入, 买, 卖出,
证券卖出, 卖, BUY, SELL) are the trades ``meridan.statement`` reads, except those of a
reverse repo code.

| kind              | words                                        | amount                 |
|-------------------|----------------------------------------------|------------------------|
| (none)            | 中签通知, 中签查询, 配号查询                             | 0 or none              |
| repo_lend /       | any row of a reverse repo code (Shanghai     | needed; its sign       |
| repo_repay        | 204xxx, Shenzhen 1318xx); 逆回购, 国债回购, 回购, 购回  | tells: out is a loan,  |
|                   |                                              | in a repayment         |
| tax               | 红利税, 股息税, 利息税, 补缴, 扣税, 代扣, 差异税, 所得税, TAX     | needed; out            |
| fee (interest     | 扣收, 扣息, 融资利息, 融券利息, 罚息, 透支利息, 利息支出          | needed; out            |
| charged)          |                                              |                        |
| fee               | 扣费, 年费, 管理费, 服务费, 手续费, 佣金, 收费, 退费, 费用, 工本费,  | needed; out (in when   |
|                   | 规费, 过户费, 印花税, 经手费, 证管费, 信息费, FEE             | signed so: a refund)   |
| rights_payment    | 配股缴款, 配股认购, 配股申购, 配股扣款, 配股款                  | out; none: quantity x  |
|                   |                                              | price; 0: as above     |
| rights_credit     | 配股入账, 配股上市, 配股到账, 配股转入                       | as given               |
| allotment_credit  | 新股入账, 新股上市, 新股到账, 新股转入, 中签入账                 | as given               |
| allotment_payment | 中签 (新股中签, 中签缴款, 申购中签, 中签扣款), 缴款, 新股扣款        | out; none: quantity x  |
|                   |                                              | price; 0: a notice     |
|                   |                                              | that moves nothing     |
| bonus_credit      | 红股, 送股, 转增, 送转                               | as given               |
| dividend          | 红利, 股息, 派息, 分红, 派现, DIVIDEND                 | needed; in             |
| interest          | 利息, 结息, 息转本, INTEREST                        | needed; in             |
| delisting         | 退市, 摘牌, 终止上市                                 | as given               |
| transfer_in       | 转托管转入, 托管转入, 股份转入, 转托转入, 转托管入                | as given               |
| transfer_out      | 转托管转出, 托管转出, 股份转出, 转托转出, 转托管出                | as given               |
| withdrawal        | 证券转银行, 银证转出, 证转银, 转取, 资金转出, 转出资金, 取款, 出金,    | needed; out            |
|                   | WITHDRAW                                     |                        |
| deposit           | 银行转证券, 银证转入, 银转证, 银行转存, 转存, 资金转入, 转入资金, 存款,  | needed; in             |
|                   | 入金, DEPOSIT                                  |                        |
| deposit /         | 银证转账, 转账, 银证业务                               | needed; its sign tells |
| withdrawal        |                                              |                        |
| (none)            | 新股申购, 申购配号, 配号, 撤单, 指定交易, 撤销指定, 撤指, 查询, 申购   | 0 or none, else the    |
|                   |                                              | row is unknown         |

What a kind needs besides its amount: transfer_in, transfer_out, allotment_credit,
rights_credit and bonus_credit a security code and a quantity above 0; the payments
a security code and an amount or a quantity and a price; delisting a security code.
A row that lacks what its kind needs, or whose text is in no line, is unknown, with
the reason. Quantities are read without their sign (the kind says which way the
shares go). An amount of 0 on a row whose direction its sign alone would tell
(银证转账, a repo) moves nothing: the row is of no kind.

When the statement's only amount is an unsigned one (成交金额), the kinds with a
direction of their own take it with that sign; a fee is taken as out; a repo row is
a repayment when its text holds 购回, 到期, 返还 or 还款, a loan when it holds 卖出, 融券
or 拆出; a 银证转账 cannot be told and is unknown.

Subscription codes are booked under the code the shares list under (allotment and
rights rows; other prefixes stay as they are):

| subscription | listing | what                       |
|--------------|---------|----------------------------|
| 730xxx       | 600xxx  | Shanghai IPO subscription  |
| 780xxx       | 601xxx  | Shanghai IPO subscription  |
| 732xxx       | 603xxx  | Shanghai IPO subscription  |
| 707xxx       | 605xxx  | Shanghai IPO subscription  |
| 787xxx       | 688xxx  | Shanghai IPO subscription  |
| 700xxx       | 600xxx  | Shanghai rights issue      |
| 760xxx       | 601xxx  | Shanghai rights issue      |
| 762xxx       | 603xxx  | Shanghai rights issue      |
| 080xxx       | 000xxx  | Shenzhen rights issue      |
| 082xxx       | 002xxx  | Shenzhen rights issue      |
| 380xxx       | 300xxx  | Shenzhen rights issue      |

(Shenzhen IPOs subscribe under the listing code.)

A row that is no buy or sale yet reads like a trade (a security code, a quantity other
than 0, and neither a word of the table nor 转, 红利, 股息, 利息, 派息, 入账, 补缴, 扣税,
申购, 配号, 中签, 撤单, 送股 or 配股) is not given a kind: ``meridan.statement`` refuses
it, since taking it for anything would leave the holdings wrong.
"""

from __future__ import annotations

import math
import re
from typing import NamedTuple

__all__ = ["KINDS", "CASH_KINDS", "SECURITY_KINDS", "Reading", "operation_key",
           "operation_rule", "classify", "listing_code", "repo_order_book_id"]

KINDS = ("deposit", "withdrawal", "transfer_in", "transfer_out", "dividend", "interest",
         "repo_lend", "repo_repay", "tax", "fee", "allotment_payment", "rights_payment",
         "allotment_credit", "rights_credit", "bonus_credit", "delisting")
"""Every kind an event of a statement may have."""

CASH_KINDS = frozenset(["deposit", "withdrawal", "dividend", "interest", "repo_lend",
                        "repo_repay", "tax", "fee"])
"""Kinds that move cash only (a security code they name is not booked)."""

SECURITY_KINDS = frozenset(["transfer_in", "transfer_out", "allotment_payment",
                            "rights_payment", "allotment_credit", "rights_credit",
                            "bonus_credit", "delisting"])
"""Kinds that need the security code of the row."""

_IN, _OUT, _SIGN, _GIVEN = "in", "out", "sign", "given"

# (rule, direction of the amount, words) in the order they are tried. A rule is a kind,
# or "repo" / "transfer" (the kind follows the amount's sign), or "none".
_RULES = [
    ("none", None, ["中签通知", "中签查询", "配号查询"]),
    ("repo", _SIGN, ["逆回购", "国债回购", "回购", "购回"]),
    ("tax", _OUT, ["红利税", "股息税", "利息税", "补缴", "扣税", "代扣", "差异税", "所得税",
                   "TAX"]),
    # Interest the account pays (on a margin loan, an overdraft) is a charge, whatever
    # sign the statement writes it with; interest it earns is income (below).
    ("fee", _OUT, ["扣收", "扣息", "融资利息", "融券利息", "罚息", "透支利息", "利息支出"]),
    ("fee", _SIGN, ["扣费", "年费", "管理费", "服务费", "手续费", "佣金", "收费", "退费",
                    "费用", "工本费", "规费", "过户费", "印花税", "经手费", "证管费",
                    "信息费", "FEE"]),
    ("rights_payment", _OUT, ["配股缴款", "配股认购", "配股申购", "配股扣款", "配股款"]),
    ("rights_credit", _GIVEN, ["配股入账", "配股上市", "配股到账", "配股转入"]),
    ("allotment_credit", _GIVEN, ["新股入账", "新股上市", "新股到账", "新股转入", "中签入账"]),
    ("allotment_payment", _OUT, ["中签", "缴款", "新股扣款"]),
    ("bonus_credit", _GIVEN, ["红股", "送股", "转增", "送转"]),
    ("dividend", _IN, ["红利", "股息", "派息", "分红", "派现", "DIVIDEND"]),
    ("interest", _IN, ["利息", "结息", "息转本", "INTEREST"]),
    ("delisting", _GIVEN, ["退市", "摘牌", "终止上市"]),
    ("transfer_in", _GIVEN, ["转托管转入", "托管转入", "股份转入", "转托转入", "转托管入"]),
    ("transfer_out", _GIVEN, ["转托管转出", "托管转出", "股份转出", "转托转出", "转托管出"]),
    ("withdrawal", _OUT, ["证券转银行", "银证转出", "证转银", "转取", "资金转出", "转出资金",
                          "取款", "出金", "WITHDRAW"]),
    ("deposit", _IN, ["银行转证券", "银证转入", "银转证", "银行转存", "转存", "资金转入",
                      "转入资金", "存款", "入金", "DEPOSIT"]),
    ("transfer", _SIGN, ["银证转账", "转账", "银证业务"]),
    ("none", None, ["新股申购", "申购配号", "配号", "撤单", "指定交易", "撤销指定", "撤指",
                    "查询", "申购"]),
]
_RULE_RE = [(rule, direction, re.compile("|".join(map(re.escape, words))))
            for rule, direction, words in _RULES]
_REPAY_WORDS = re.compile("购回|到期|返还|还款")
_LEND_WORDS = re.compile("卖出|融券|拆出")

_LISTING = {"730": "600", "780": "601", "732": "603", "707": "605", "787": "688",
            "700": "600", "760": "601", "762": "603",
            "080": "000", "082": "002", "380": "300"}


class Reading(NamedTuple):
    """What a row that is not a trade is: `kind` one of KINDS, "none" (it moves
    nothing) or "unknown" (then `reason` says why); the quantity (shares, 0.0 when
    none), price (NaN when none) and amount (cash into the account, signed; NaN when
    none) to book."""

    kind: str
    quantity: float = 0.0
    price: float = math.nan
    amount: float = math.nan
    reason: str = ""


def operation_key(text):
    """The operation text as it is compared: no spaces, 帐 as 账, upper case."""
    return re.sub(r"\s+", "", str(text)).replace("帐", "账").upper()


def operation_rule(text):
    """(rule, direction) of the first line of the table that the operation text
    matches, or (None, None)."""
    key = operation_key(text)
    if not key:
        return None, None
    for rule, direction, pattern in _RULE_RE:
        if pattern.search(key):
            return rule, direction
    return None, None


def listing_code(digits):
    """The six-digit code the shares of a subscription code list under; any other
    code as it is."""
    digits = str(digits)
    if len(digits) == 6 and digits.isdigit() and digits[:3] in _LISTING:
        return _LISTING[digits[:3]] + digits[3:]
    return digits


def repo_order_book_id(digits):
    """The order_book_id of a reverse repo code (Shanghai 204xxx, Shenzhen 1318xx),
    or None for any other code."""
    digits = str(digits)
    if len(digits) != 6 or not digits.isdigit():
        return None
    if digits.startswith("204"):
        return digits + ".XSHG"
    if digits.startswith("1318"):
        return digits + ".XSHE"
    return None


def _money(value):
    return f"{value:,.2f}"


def classify(text, quantity=None, price=None, amount=None, signed=True, has_code=False,
             repo=False):
    """The ``Reading`` of a row that is not a trade, from its operation `text`, its
    quantity, price and amount (floats, None when the row has none), whether the
    amount carries its sign (`signed`; false for 成交金额), whether the row names a
    security (`has_code`) and whether that security is a reverse repo (`repo`)."""
    key = operation_key(text)
    label = re.sub(r"\s+", "", str(text)) or "(no operation)"
    if repo:
        rule, direction = "repo", _SIGN
    else:
        rule, direction = operation_rule(text)
    if rule is None:
        return Reading("unknown", reason=f"operation {label!r} is not known"
                       if key else "no operation")
    if amount is not None and not math.isfinite(amount):
        amount = None
    shares = 0.0 if quantity is None or not math.isfinite(quantity) else abs(quantity)
    each = math.nan if price is None or not math.isfinite(price) else price

    if rule == "none":
        if amount is None or amount == 0:
            return Reading("none")
        return Reading("unknown", reason=f"{label} with an amount of {_money(amount)}")

    if rule in ("repo", "transfer"):
        if amount is None:
            return Reading("unknown", reason=f"{label} without an amount: its direction "
                                             f"cannot be told")
        if amount == 0:
            return Reading("none")
        if signed:
            out = amount < 0
        elif rule == "repo" and _REPAY_WORDS.search(key):
            out = False
        elif rule == "repo" and _LEND_WORDS.search(key):
            out = True
        else:
            return Reading("unknown", reason=f"{label} with an amount that carries no "
                                             f"sign: its direction cannot be told")
        if rule == "repo":
            kind = "repo_lend" if out else "repo_repay"
        else:
            kind = "withdrawal" if out else "deposit"
        return Reading(kind, shares, each, -abs(amount) if out else abs(amount))

    kind = rule
    if kind in SECURITY_KINDS and not has_code:
        return Reading("unknown", reason=f"{label} without a security code")
    if kind in ("transfer_in", "transfer_out", "allotment_credit", "rights_credit",
                "bonus_credit") and shares <= 0:
        return Reading("unknown", reason=f"{label} without a quantity of shares")
    if kind in ("allotment_payment", "rights_payment"):
        if amount == 0:
            # The notice of a win (申购中签 with no money): the payment is its own
            # row, and booking this one too would hold the shares twice.
            return Reading("none")
        if amount is None:
            if shares > 0 and each > 0:
                return Reading(kind, shares, each, -shares * each)
            return Reading("unknown", reason=f"{label} without an amount, or a quantity "
                                             f"and a price")
        return Reading(kind, shares, each, -abs(amount))
    if direction == _GIVEN:
        return Reading(kind, shares, each, math.nan if amount is None else amount)
    if amount is None:
        return Reading("unknown", reason=f"{label} without an amount")
    if direction == _SIGN and signed:  # a fee, or its refund
        return Reading(kind, shares, each, amount if amount != 0 else 0.0)
    if direction == _IN:
        return Reading(kind, shares, each, abs(amount))
    return Reading(kind, shares, each, -abs(amount) if amount != 0 else 0.0)
