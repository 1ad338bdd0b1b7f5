"""Broker trade statements read from a file, checked row by row and turned into the
``Trade`` records of ``meridan.pcalc.preprocess.fix_trades``, then replayed.

Files: CSV or other delimited text (',', tab or ';' between cells; UTF-8 with or
without the byte-order mark that Excel writes, the GB18030/GBK that Chinese software
writes, or the UTF-16 with a byte-order mark of Excel's "Unicode Text"; lines ending
in LF, CR LF or CR alone), and Excel workbooks (.xlsx; the first sheet). Many
brokerage clients save tab-separated text under an .xls name: such a file is read as
text. The header is the first row (of the first 30) that holds the columns a trade
needs; title lines above it ("交割单 2024-01-01 至 2024-12-31") are passed over.

Rows are numbered as the user sees them in the file: 1 is the first row under the
header, one row per line. Every error names the row, the column and the value, and
says what is wrong. A quote that opens a cell and is not closed on the same line is
an error (it would otherwise swallow the rows below it), as is a cell of more than
128 KiB and a byte that is neither UTF-8 nor GBK text (named by its row and offset).

Columns, matched case-insensitively and ignoring spaces and underscores (so
"Order Book ID" is order_book_id); for each field the first header of its list that
the file has is used; other columns are ignored. A column that is not read but looks
like a price, a fee or an amount (its header holds 价, 费, 税, 金额, price, fee,
commission, cost, amount or tax, or is within two edits of a header below; one edit
for headers shorter than four characters) is named in a ``StatementWarning``; the
account columns of a settlement statement that are not needed (股东代码, 合同编号 and
the like, ``IGNORED_HEADERS``) and the amount, balance and date columns below that
another of their list stands in for are passed over silently.

| field            | headers                                  | cells                         |
|------------------|------------------------------------------|-------------------------------|
| order_book_id    | order_book_id, 证券代码, 股票代码        | "600000", "600000.SH",        |
|                  |                                          | "SZ000001", "000001.XSHE";    |
|                  |                                          | codes that lost their leading |
|                  |                                          | zeros ("1", "1.0") are padded |
| datetime         | datetime (date and time in one cell), or | dates "2023-03-01",           |
|                  | 成交日期 with 成交时间 when present       | "2023/3/1", "20230301";       |
|                  |                                          | times "10:05:03", "10:05",    |
|                  |                                          | "100503"; no time: midnight   |
| side             | side, 操作, 买卖标志, 买卖方向, 买卖类别, | BUY/SELL in any case, 买入,   |
|                  | 业务名称                                 | 证券买入, 卖出, 证券卖出, 买, 卖 |
|                  |                                          | 担保品买入, 担保品卖出; 融资  |
|                  |                                          | and 融券 trades refused       |
| last_quantity    | last_quantity, 成交数量, 成交股数        | whole shares, at most 10^12;  |
|                  |                                          | "1,000" reads 1000; a sale    |
|                  |                                          | may be negative               |
| last_price       | last_price, 成交价格, 成交均价, 成交价   | price per share; without the  |
|                  |                                          | column: 成交金额 / quantity,  |
|                  |                                          | else the day's close          |
| transaction_cost | transaction_cost, or the sum of 手续费,  | fees in currency; every fee   |
|                  | 佣金, 印花税, 过户费, 规费, 交易规费,    | column present is added; an   |
|                  | 经手费, 证管费, 结算费, 其他费, 其他费用,| empty cell is 0               |
|                  | 其他杂费 (and 其它 for 其他)             |                               |
| symbol           | 证券名称, 股票名称                       | shown in messages only        |
| amount           | 发生金额, 清算金额, 收付金额, 本次金额,  | cash the row moved into the   |
|                  | 资金发生数, else 成交金额 (unsigned)     | account (rows not trades)     |
| balance          | 资金余额, 本次余额, 剩余金额, else       | cash after the row; empty or  |
|                  | 可用金额 (the balance available)         | no number: NaN                |
| (event date)     | 发生日期, 清算日期, 交收日期             | a row not a trade whose       |
|                  |                                          | 成交日期 is empty              |

Fees: a fee column that holds the sum of others on every trade (手续费 beside the 佣金
and 规费 it totals) is counted once, by its parts, with a warning; 净佣金 is the
commission when there is no 佣金 or 手续费 column; a statement with no fee column at
all has each trade's fee from what it came to (成交金额) and the money it moved
(发生金额, 清算金额 ...) when every trade has both.

Numbers: in ',' and tab separated files (and workbooks) the decimal mark is the point
and a comma separates thousands only in groups of three ("1,000", "12,345.5"); "11,92"
or "6,2,0,0" is an error. In ';'-separated files (the export of locales that write a
decimal comma) the comma is the decimal mark ("11,92" is 11.92), a point is read as a
decimal point too, and no thousands separator is taken ("1.234,5" is an error). A
quantity must be a whole number that a float holds exactly.

Dates must be year-month-day: "03/04/2023" is refused rather than guessed. A
statement may mix the accepted forms.

Rows that are not trades are not errors: each is given its kind
(``meridan.statement_kinds`` holds the table) from the words of its operation, and
from its security code for reverse repos (204xxx, 1318xx: not trades, whatever their
side says). ``Statement.events`` lists the rows of a kind with their date, security
(a subscription code read as the code the shares list under; a dividend that names
its security by name only, the code the trades give that name), quantity, price and
amount: deposits and withdrawals (银行转证券, 证券转银行; 银证转账 by the amount's
sign), shares transferred in and out (转托管转入/转出), dividends, interest, taxes
(股息红利税补缴), fees, reverse repo loans and repayments, allotment and rights payments
and credits (中签缴款, 新股入账, 配股缴款, 配股入账), bonus shares (红股入账, 转增) and
delistings. ``Statement.skipped`` lists the rows that move nothing (新股申购, 配号,
撤单, 指定交易 without an amount, 申购中签 of an amount of 0), ``Statement.unknown`` the rows whose kind cannot be
told, with the reason (an operation of no kind, a deposit without an amount, 新股申购
with one). A row whose side is no buy or sale and that reads like a trade (a security
code, a quantity other than 0, and no word of another kind: 转, 红利, 股息, 利息, 派息,
入账, 补缴, 扣税, 申购, 配号, 中签, 撤单, 送股, 配股 or those of the table) is an error:
taking it for anything would leave the holdings wrong. ``skipped_lines`` gives a list
of rows as it is shown to a user: the first 20 rows, then a count.

Against the market data (``statement_trades``): an instrument must be a known stock,
a trade's day a trading day inside the market data's range with a close for the
instrument, and a trade price within [0.5 x, 2 x] that day's close. A price outside
that range is an error on a market of real data (imported or fetched) unless
``accept_prices=True``, which turns it into a ``StatementWarning``; on the generated
sample market, whose prices are invented, it is one warning naming the first rows.

Against the market data, an instrument that is not a known stock stops the reading
with one error that names each such instrument (funds, ETFs, bonds, codes the market
data does not know) with its first row.

``load_statement(path, md, accept_prices=False, progress=None)`` does it all for the
trades: (trades, rows, skipped), where skipped lists every row that is not a trade;
``load_account`` (same arguments) reads the account: the trades and every other row
with its kind (an ``Account``). With ``progress`` they call
``progress(fraction, what)`` as they go (fraction from 0 to 1), which matters for
statements of a million rows.
"""

from __future__ import annotations

import codecs
import collections
import csv
import datetime as _dt
import decimal
import io
import itertools
import math
import os
import re
import warnings
from typing import NamedTuple

import numpy as np
import pandas as pd

import tickvane
from meridan import statement_kinds as _kinds
from meridan.pcalc.preprocess import fix_trades
from meridan.pcalc.replay import replay
from meridan.pcalc.trade import _share_fields
from meridan.util import fix_datetime, fix_order_book_id

__all__ = ["StatementError", "StatementWarning", "Statement", "Account",
           "read_statement", "normalise_statement", "statement_trades",
           "replay_statement", "load_statement", "load_account", "skipped_lines",
           "IGNORED_HEADERS", "EVENT_COLUMNS"]


class StatementError(ValueError):
    """A statement that cannot be taken as a list of trades. ``row`` is the row in the
    file (1 for the first row under the header) or None for the whole file."""

    def __init__(self, message, row=None):
        super().__init__(f"row {row}: {message}" if row is not None else message)
        self.row = row


class StatementWarning(UserWarning):
    """Something in a statement that was read but deserves the user's eye: columns not
    read that look like prices or fees, trade prices far from the day's close."""


EVENT_COLUMNS = ["kind", "datetime", "order_book_id", "quantity", "price", "amount",
                 "text"]
"""The columns of ``Statement.events``."""


def _no_events():
    dtypes = {"kind": object, "datetime": "datetime64[us]", "order_book_id": object,
              "quantity": float, "price": float, "amount": float, "text": object}
    return pd.DataFrame({column: pd.Series([], dtype=dtypes[column])
                         for column in EVENT_COLUMNS},
                        index=pd.Index([], dtype="int64", name="row"))


class _StatementFields(NamedTuple):
    frame: pd.DataFrame
    """One row per trade, in file order, indexed by the file's row numbers; columns
    order_book_id, datetime (Timestamp), side, last_quantity (int), symbol, and
    last_price / transaction_cost (float) when the file has them."""
    skipped: list
    """(row number, text) of each row that moves nothing (撤单, 新股申购 without an
    amount, ...), in file order."""
    events: pd.DataFrame = None
    """Every other row of a kind (``meridan.statement_kinds``), indexed by row number
    ("row", file order): kind, datetime, order_book_id ("" when none), quantity
    (shares, 0.0 when none), price (NaN when none), amount (cash into the account,
    signed; NaN when the row has none) and text."""
    unknown: list = None
    """(row number, text, reason) of each row whose kind cannot be told, file order."""
    balances: pd.Series = None
    """The cash balance after each row (float, NaN for an empty cell), indexed by row
    number and named by its header; None when the file has no balance column."""


class Statement(_StatementFields):
    """A statement in the package's columns: the trades (``fix_trades``' input), the
    rows that move nothing, the other rows with their kind (``events``), the rows whose
    kind cannot be told, and the cash balance column. ``Statement(frame, skipped)``
    has no events, no unknown rows and no balances."""

    __slots__ = ()

    def __new__(cls, frame, skipped, events=None, unknown=None, balances=None):
        return super().__new__(cls, frame, skipped,
                               _no_events() if events is None else events,
                               [] if unknown is None else unknown, balances)


class Account(NamedTuple):
    """What ``load_account`` reads: the trades and their rows as ``load_statement``
    gives them, and the statement's ``skipped``, ``events``, ``unknown`` and
    ``balances`` (see ``Statement``)."""

    trades: list
    rows: list
    skipped: list
    events: pd.DataFrame
    unknown: list
    balances: pd.Series


# Field -> headers in order of preference, compared after _header_key.
_HEADERS = {
    "order_book_id": ["order_book_id", "证券代码", "股票代码"],
    "datetime": ["datetime"],
    "date": ["成交日期", "发生日期"],
    "time": ["成交时间"],
    "side": ["side", "操作", "买卖标志", "买卖方向", "买卖类别", "业务名称", "业务标志",
             "摘要"],
    "last_quantity": ["last_quantity", "成交数量", "成交股数"],
    "last_price": ["last_price", "成交价格", "成交均价", "成交价"],
    "transaction_cost": ["transaction_cost"],
    "symbol": ["证券名称", "股票名称"],
}
_FEES = ["手续费", "佣金", "印花税", "过户费", "规费", "交易规费", "经手费", "证管费",
         "结算费", "其他费", "其它费", "其他费用", "其它费用", "其他杂费", "其它杂费"]

IGNORED_HEADERS = frozenset([
    "股份余额", "股票余额", "股东代码", "股东账户",
    "股东帐户", "资金账号", "资金帐号", "合同编号", "委托编号", "成交编号", "币种", "备注",
    "摘要", "交易市场", "市场", "交易所", "委托价格",
    "委托数量", "委托时间", "委托日期", "净佣金", "成交状态", "成交笔数"])
"""Headers of a settlement statement that are not read and need no word."""

_AMOUNTS = ["发生金额", "清算金额", "收付金额", "本次金额", "资金发生数", "成交金额"]
"""The amount column of the rows that are not trades: the first of these present.
成交金额 alone carries no sign."""
_UNSIGNED = "成交金额"
_BALANCES = ["资金余额", "本次余额", "剩余金额", "可用金额"]
"""The cash balance column: the first of these present (可用金额, the balance
available, only when none of the others is there)."""
_EVENT_DATES = ["发生日期", "清算日期", "交收日期"]
"""Dates of the rows that are not trades when 成交日期 is empty."""
_MONEY_HEADERS = frozenset(_AMOUNTS + _BALANCES + _EVENT_DATES)
_UNCHECKED_KINDS = frozenset(["tax", "fee", "deposit", "withdrawal", "interest",
                              "repo_lend", "repo_repay"])
"""Kinds whose security code is not checked against the market data: the row moves
cash only (a repo code is no stock)."""

# A margin account's trades on its own money (担保品买入, 担保品卖出) are plain trades;
# those on borrowed money or stock (融资买入, 卖券还款, 融券卖出 ...) are refused, as the
# loan would not be booked.
_BUY = {"BUY", "B", "买入", "证券买入", "普通买入", "买", "担保品买入"}
_SELL = {"SELL", "S", "卖出", "证券卖出", "普通卖出", "卖", "担保品卖出"}
_MARKET_SUFFIX = re.compile(r"\s*[（(][^（()）]*[)）]$")


def _side_key(text):
    """A side as compared with _BUY and _SELL: upper case, without the market some
    clients add in brackets (证券买入(沪))."""
    return _MARKET_SUFFIX.sub("", text).upper()
_MARGIN = re.compile("融资|融券|还款|还券")
_NOT_TRADES = re.compile("转|红利|股息|利息|派息|入账|入帐|补缴|扣税|申购|配号|中签|撤单|送股|配股")

MAX_CELL = 128 * 1024
"""Characters a cell may hold: more is no statement."""
MAX_QUANTITY = 1e12
SKIPPED_SHOWN = 20
_HEADER_SEARCH = 30
_PRICE_LOW, _PRICE_HIGH = 0.5, 2.0
_PART_ROWS = 50_000
"""Rows of a statement turned into trades at a time."""


def _header_key(text):
    """A header as headers are compared: spaces and underscores aside, lower case, and
    without a unit in brackets at its end (手续费(元), 成交数量（股）)."""
    return _UNIT.sub("", re.sub(r"[\s_]+", "", str(text)).lower())


_UNIT = re.compile(r"[(（](元|股|人民币|rmb|cny)[)）]$")


def _report(progress, fraction, what):
    if progress is not None:
        progress(min(1.0, max(0.0, fraction)), what)


# --- reading ----------------------------------------------------------------------

def read_statement(path, progress=None):
    """The cells of a statement file as text (empty text for an empty cell; a text
    file's columns may be categorical, each distinct text held once): a DataFrame
    with the headers of the file's header row as columns and a RangeIndex
    (row k of the frame is row k + 1 under the header). StatementError for a file that
    cannot be read; its message does not repeat the file's name.

    ``progress``, when given, is called as ``progress(fraction, what)`` while the file
    is read (fraction from 0 to 1)."""
    path = os.fspath(path)
    _report(progress, 0.0, "reading the file")
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as exc:
        raise StatementError(f"cannot read the file: {exc.strerror or exc}") from None
    if data[:2] == b"PK":
        frame = _read_xlsx(path)
    elif data[:4] == b"\xd0\xcf\x11\xe0":
        raise StatementError(
            "an old binary Excel workbook (.xls); save it as .xlsx or CSV")
    else:
        frame = _read_text(data, progress)
    # The file's bytes and the reading's buffers, freed, handed back to the system:
    # the C library keeps memory freed amid the heap, and what is built next from the
    # cells would be counted on top of it.
    del data
    _give_back_memory()
    _report(progress, 1.0, "read")
    return frame


def _match_columns(columns):
    """(found, fees, missing) for a header row: field -> column, the fee columns, and
    the descriptions of the fields a trade needs that it lacks."""
    by_key = {}
    for column in columns:
        by_key.setdefault(_header_key(column), column)
    found = {}
    for field, headers in _HEADERS.items():
        for header in headers:
            if _header_key(header) in by_key:
                found[field] = by_key[_header_key(header)]
                break
    fees = [by_key[_header_key(h)] for h in _FEES if _header_key(h) in by_key]
    # The commission net of rebates, when the statement gives no other.
    if _header_key("净佣金") in by_key and not {_header_key("佣金"), _header_key("手续费")} \
            & by_key.keys():
        fees.append(by_key[_header_key("净佣金")])
    present = dict(found, datetime=found.get("datetime") or found.get("date"))
    missing = [names for field, names in (
        ("order_book_id", "order_book_id or 证券代码"),
        ("datetime", "datetime, 成交日期 or 发生日期"),
        ("side", "side, 操作, 买卖标志, 业务名称 or 摘要"),
        ("last_quantity", "last_quantity or 成交数量")) if not present.get(field)]
    return found, fees, missing


def _header_names(cells):
    """The header row's cells as column names; an empty header cell is named the way
    pandas names it ("Unnamed: 3"); a name given twice is an error."""
    names = [str(c).strip() for c in cells]
    seen = set()
    for name in names:
        if name and name in seen:
            raise StatementError(f"the header names column {name!r} twice")
        seen.add(name)
    return [name or f"Unnamed: {i}" for i, name in enumerate(names)]


def _find_header(rows):
    """Index of the first of `rows` (lists of cells) that holds every column a trade
    needs; 0 when none does (the first row is then taken and its lack reported)."""
    for i, cells in enumerate(rows[:_HEADER_SEARCH]):
        if _match_columns([str(c).strip() for c in cells])[2] == []:
            return i
    return 0


def _refuse_a_table_above(rows, header_line):
    """Lines above the header (`rows`, lists of cells) are passed over as title lines;
    one that is a row of another table (a section of money moved, above the trades')
    is refused, as the money it moves would be lost without a word. Such a row names
    an operation (银行转证券, 证券买入 ...) beside a date and an amount, in three cells
    or more (a summary line, 本期银证转入合计 and its sum, has no date)."""
    for i, cells in enumerate(rows):
        texts = [str(c).strip() for c in cells if str(c).strip()]
        if len(texts) < 3:
            continue
        dated = [_date(t) is not None for t in texts]
        if not any(dated) or not any(_number(t) is not None and not d
                                     for t, d in zip(texts, dated)):
            continue
        if any(_side_key(t) in _BUY or _side_key(t) in _SELL
               or _kinds.operation_rule(t)[0] not in (None, "none") for t in texts):
            shown = ", ".join(texts)
            raise StatementError(
                f"line {i + 1}, above the header on line {header_line}, is a row of "
                f"another table ({shown[:60]!r}): the rows above a header are not read, "
                f"and the money this one moves would be lost; put such rows under the "
                f"header of the trades")


def _read_xlsx(path):
    try:
        cells = pd.read_excel(path, sheet_name=0, dtype=str, na_filter=False,
                              header=None, engine="openpyxl")
    except ImportError:
        raise StatementError("reading Excel workbooks needs openpyxl: "
                             "pip install openpyxl") from None
    except Exception as exc:  # a damaged workbook: openpyxl/zipfile errors vary
        raise StatementError(f"cannot read the workbook: {exc}") from None
    if cells.empty:
        raise StatementError("the workbook's first sheet is empty: no header row")
    head = cells.head(_HEADER_SEARCH).to_numpy(dtype=object).tolist()
    at = _find_header(head)
    if not any(str(c).strip() for c in head[at]):
        raise StatementError("no header row")
    _refuse_a_table_above(head[:at], at + 1)
    if _match_columns([str(c).strip() for c in head[at]])[2]:
        try:
            _find_columns(pd.DataFrame(columns=[str(c).strip() for c in head[at]]))
        except StatementError as exc:
            with pd.ExcelFile(path, engine="openpyxl") as book:
                sheets = book.sheet_names
            if len(sheets) > 1:
                raise StatementError(f"{exc}; only the workbook's first sheet "
                                     f"({sheets[0]!r}) is read: move the statement to "
                                     f"it") from None
            raise
    names = _header_names(head[at])
    # Cells that Excel holds as dates come back as "2023-03-01 00:00:00".
    frame = cells.iloc[at + 1:].reset_index(drop=True)
    frame.columns = names
    return frame


def _check_encoding(data, start, encoding):
    """None when data[start:] is text in `encoding`, else (offset, bad bytes)."""
    decoder = codecs.getincrementaldecoder(encoding)()
    step = 1 << 22
    try:
        for at in range(start, len(data), step):
            decoder.decode(data[at:at + step])
        decoder.decode(b"", final=True)
        return None
    except UnicodeDecodeError:
        pass
    try:  # again in one piece, for the offset
        str(memoryview(data)[start:], encoding)
    except UnicodeDecodeError as exc:
        offset = start + exc.start
        return offset, data[offset:offset + 4]
    return None


def _bare_utf16(data):
    """The codec of UTF-16 text written without its byte-order mark, told by the zero
    bytes of its ASCII characters (digits, commas, line ends) falling on one side of
    every pair; None for any other text (which holds no zero bytes)."""
    head = data[:4096]
    if len(head) < 8 or head.count(0) < len(head) // 4:
        return None
    odd, even = head[1::2].count(0), head[0::2].count(0)
    if odd > 4 * even:
        return "utf-16-le"
    if even > 4 * odd:
        return "utf-16-be"
    return None


def _decode(data):
    """(bytes as UTF-8 or GB18030 text, the codec name, offset of the text)."""
    codec = "utf-16" if data[:2] in (b"\xff\xfe", b"\xfe\xff") else _bare_utf16(data)
    if codec:
        try:
            text = data.decode(codec)
        except UnicodeDecodeError as exc:
            raise StatementError(
                f"the file starts as UTF-16 text but byte offset {exc.start} holds "
                f"{data[exc.start:exc.start + 4]!r}, which is not UTF-16; save the "
                f"file again as UTF-8 or GBK text") from None
        return text.encode("utf-8"), "utf-8", 0
    start = 3 if data[:3] == codecs.BOM_UTF8 else 0
    as_utf8 = _check_encoding(data, start, "utf-8")
    if as_utf8 is None:
        return data, "utf-8", start
    as_gbk = _check_encoding(data, start, "gb18030")
    if as_gbk is None:
        return data, "gb18030", start
    # Neither: the reading that went further is the file's encoding.
    offset, bad = max(as_utf8, as_gbk)
    encoding = "UTF-8" if as_utf8 >= as_gbk else "GBK"
    end = b"\n" if b"\n" in data else b"\r"
    line = data.count(end, 0, offset) + 1
    head = data[start:offset].split(end, _HEADER_SEARCH)[:_HEADER_SEARCH]
    head = [x.decode("utf-8" if encoding == "UTF-8" else "gb18030", errors="replace")
            for x in head]
    rows = [_split_line(x.rstrip("\r"), _guess_delimiter(x)) for x in head[:line - 1]]
    header = _find_header(rows) if rows else None
    where = (f"row {line - header - 1} (line {line} of the file)"
             if header is not None and rows and line - header - 1 >= 1
             else f"line {line}")
    raise StatementError(
        f"{where}: the bytes {bad!r} at byte offset {offset} are neither UTF-8 nor "
        f"GBK text (the file reads as {encoding} up to there); save the file as "
        f"UTF-8 or GBK text") from None


def _guess_delimiter(line):
    return max([",", "\t", ";"], key=line.count)


def _split_line(line, delimiter):
    try:
        return next(csv.reader([line], delimiter=delimiter), [])
    except csv.Error:
        return line.split(delimiter)


def _open_quote(line, delimiter):
    """(column index, cell text) of a quoted cell that is not closed on `line`, or
    None. A quote inside a cell is a plain character; only one that starts a cell
    opens a quoted cell."""
    at, column = 0, 0
    while True:
        if line.startswith('"', at):
            j = at + 1
            while True:
                k = line.find('"', j)
                if k < 0:
                    end = line.find(delimiter, at)
                    return column, line[at:end if end >= 0 else len(line)]
                if line.startswith('"', k + 1):
                    j = k + 2
                    continue
                break
            at = k + 1
        nxt = line.find(delimiter, at)
        if nxt < 0:
            return None
        at, column = nxt + 1, column + 1


class _Lines(NamedTuple):
    count: int        # lines after the header (a last line without text not counted)
    width: int        # most cells a line may hold (counting quoted delimiters)
    odd: list         # indexes (0 = first line under the header) with an odd quote count
    longest: int      # bytes of the longest line


def _scan_lines(data, start, delimiter):
    """Counts over the lines of data[start:] taken in blocks, without splitting them."""
    sep, nl, quote = ord(delimiter), ord("\n"), ord('"')
    has_quotes = b'"' in data
    count, width, odd, longest = 0, 1, [], 0
    step = 1 << 23
    at = start
    prev_end = start - 1  # offset of the newline before the current line
    while at < len(data):
        stop = data.find(b"\n", min(at + step, len(data)))
        stop = len(data) if stop < 0 else stop + 1
        block = np.frombuffer(data, np.uint8, stop - at, at)
        ends = np.flatnonzero(block == nl) + at
        if stop == len(data) and (len(ends) == 0 or ends[-1] != len(data) - 1):
            ends = np.append(ends, len(data))  # a last line without its newline
        if len(ends):
            bounds = np.concatenate(([prev_end + 1], ends + 1))
            seps = np.flatnonzero(block == sep) + at
            per_line = np.diff(np.searchsorted(seps, bounds))
            width = max(width, int(per_line.max()) + 1)
            lengths = np.diff(bounds) - 1
            longest = max(longest, int(lengths.max()))
            if has_quotes:
                quotes = np.flatnonzero(block == quote) + at
                per_line = np.diff(np.searchsorted(quotes, bounds))
                odd.extend((np.flatnonzero(per_line % 2) + count).tolist())
            count += len(ends)
            prev_end = int(ends[-1])
        at = stop
    return _Lines(count, width, odd, longest)


def _read_text(data, progress=None):
    data, encoding, start = _decode(data)
    _report(progress, 0.1, "reading the file")
    if b"\r" in data:
        # Old Mac text ends lines in CR alone; a stray CR is a line end as well.
        if data.count(b"\r") != data.count(b"\r\n"):
            data = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    # The header: the first of the first lines that holds the columns a trade needs.
    head_end = start
    head_lines = []
    for _ in range(_HEADER_SEARCH):
        nxt = data.find(b"\n", head_end)
        stop = len(data) if nxt < 0 else nxt + 1
        head_lines.append((head_end, data[head_end:stop].decode(encoding).rstrip("\r\n")))
        head_end = stop
        if nxt < 0:
            break
    chosen = None
    for offset, line in head_lines:
        for delimiter in sorted([",", "\t", ";"], key=line.count, reverse=True):
            if line.count(delimiter) and not _match_columns(
                    [c.strip() for c in _split_line(line, delimiter)])[2]:
                chosen = (offset, line, delimiter)
                break
        if chosen:
            break
    if chosen is None:
        offset, line = head_lines[0]
        if not line.strip():
            raise StatementError("the file has no header row")
        _find_columns(pd.DataFrame(columns=_split_line(line, _guess_delimiter(line))))
        chosen = (offset, line, _guess_delimiter(line))
    offset, line, delimiter = chosen
    above = [text for at, text in head_lines if at < offset]
    _refuse_a_table_above([_split_line(text, _guess_delimiter(text)) for text in above],
                          len(above) + 1)
    if _open_quote(line, delimiter) is not None:
        raise StatementError(f"the header {line[:80]!r} opens a quote (\") that is not "
                             f"closed on its line")
    header = _header_names(_unquote(c) for c in _split_line(line, delimiter))
    body = data.find(b"\n", offset)
    body = len(data) if body < 0 else body + 1
    width = len(header)

    lines = _scan_lines(data, body, delimiter)
    _report(progress, 0.25, "reading the file")
    _check_quotes(data, body, encoding, delimiter, header, lines.odd)
    if lines.count == 0:
        return pd.DataFrame({name: pd.Series([], dtype=str) for name in header})

    names = list(range(max(width, lines.width)))
    cells = _read_arrow(data, body, delimiter, encoding, width) \
        if lines.width <= width else None
    if cells is None:  # rows of fewer cells than the header, or cells quoting a delimiter
        stream = io.BytesIO(data)
        stream.seek(body)
        try:
            cells = pd.read_csv(stream, sep=delimiter, header=None, names=names,
                                dtype=str, na_filter=False, skip_blank_lines=False,
                                encoding=encoding, engine="c",
                                quoting=csv.QUOTE_MINIMAL, doublequote=True)
        except (pd.errors.ParserError, ValueError) as exc:
            _check_quotes(data, body, encoding, delimiter, header, range(lines.count))
            raise StatementError(f"cannot read the file's rows: {exc}") from None
    _report(progress, 0.6, "reading the file")
    if len(cells) != lines.count:
        _check_quotes(data, body, encoding, delimiter, header, range(lines.count))
        raise StatementError(f"the file's {lines.count} lines under the header read as "
                             f"{len(cells)} rows; save it again as plain CSV")
    for column in cells.columns[width:]:
        full = cells[column] != ""
        if full.any():
            k = int(np.argmax(full.to_numpy()))
            text = _line_at(data, body, k, encoding)
            count = len(_split_line(text, delimiter))
            raise StatementError(
                f"{count} cells under a header of {width} columns", row=k + 1)
    cells = cells[cells.columns[:width]]
    cells.columns = header
    if lines.longest > MAX_CELL:
        for name in header:
            long = cells[name].str.len() > MAX_CELL
            if long.any():
                k = int(np.argmax(long.to_numpy()))
                size = len(cells[name].iat[k])
                raise StatementError(
                    f"{name}: the cell {cells[name].iat[k][:20]!r}... holds {size:,} "
                    f"characters, more than a statement cell can ({MAX_CELL:,})",
                    row=k + 1)
    # A leading '=' ('="000001"') is how some clients keep leading zeros.
    for name in header:
        column = cells[name]
        if column.str.startswith('="').any():
            cells[name] = column.str.replace(r'^="(.*)"$', r"\1", regex=True)
    if delimiter == ";":
        cells.attrs["decimal_comma"] = True
    return cells


def _read_arrow(data, body, delimiter, encoding, width):
    """The rows of data[body:] read by pyarrow when each has exactly `width` cells
    (or none), as categorical text; None otherwise, or without pyarrow."""
    try:
        import pyarrow as pa
        import pyarrow.csv as pacsv
    except ImportError:
        return None
    names = [str(i) for i in range(width)]
    stream = io.BytesIO(data)
    stream.seek(body)
    try:
        table = pacsv.read_csv(
            stream,
            read_options=pacsv.ReadOptions(column_names=names, encoding=encoding,
                                           block_size=1 << 22),
            parse_options=pacsv.ParseOptions(
                delimiter=delimiter, quote_char='"', double_quote=True,
                newlines_in_values=False, ignore_empty_lines=False,
                invalid_row_handler=lambda row: "error"),
            convert_options=pacsv.ConvertOptions(
                # Each distinct text held once: a statement repeats its dates,
                # codes, sides and names over and over.
                column_types={name: pa.dictionary(pa.int32(), pa.string())
                              for name in names},
                strings_can_be_null=False, quoted_strings_can_be_null=False),
            # Memory of the system allocator goes back to the system once freed.
            memory_pool=pa.system_memory_pool())
    except (pa.ArrowInvalid, ValueError):
        return None
    frame = table.to_pandas(self_destruct=True)
    frame.columns = range(width)
    return frame


def _check_quotes(data, body, encoding, delimiter, header, indexes):
    """StatementError for the first of the lines `indexes` (0 = the first line under
    the header; in order) where a quote opens a cell and is not closed on the line:
    read on, it would swallow the rows below."""
    wanted = iter(indexes)
    index = next(wanted, None)
    at, line = body, 0
    while index is not None and at <= len(data):
        end = data.find(b"\n", at)
        end = len(data) if end < 0 else end
        if line == index:
            if b'"' in data[at:end]:
                text = data[at:end].decode(encoding, errors="replace").rstrip("\r")
                found = _open_quote(text, delimiter)
                if found is not None:
                    column, cell = found
                    name = header[column] if column < len(header) else f"cell {column + 1}"
                    raise StatementError(
                        f"{name}: the cell {cell[:40]!r} opens a quote (\") that is not "
                        f"closed on its line; remove the quote or close it", row=line + 1)
            index = next(wanted, None)
        at, line = end + 1, line + 1


def _line_at(data, body, index, encoding):
    at = body
    for _ in range(index):
        at = data.find(b"\n", at) + 1
    end = data.find(b"\n", at)
    return data[at:end if end >= 0 else len(data)].decode(encoding).rstrip("\r")


def _unquote(cell):
    if cell.startswith('="') and cell.endswith('"'):
        return cell[2:-1]
    return cell


# --- normalisation ----------------------------------------------------------------

def _find_columns(frame):
    found, fees, missing = _match_columns(frame.columns)
    if missing:
        raise StatementError(
            "the statement has no column for " + "; ".join(missing)
            + f" (its columns: {', '.join(map(str, frame.columns))})")
    _warn_unread(frame.columns, found, fees)
    return found, fees


def _distance(a, b, limit=2):
    """Edit distance of a and b, or limit + 1 when it is more than limit."""
    if abs(len(a) - len(b)) > limit:
        return limit + 1
    previous = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        current = [i]
        for j, y in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1,
                               previous[j - 1] + (x != y)))
        if min(current) > limit:
            return limit + 1
        previous = current
    return previous[-1]


def _warn_unread(columns, found, fees):
    taken = set(found.values()) | set(fees)
    ignored = {_header_key(h) for h in IGNORED_HEADERS | _MONEY_HEADERS}
    known = [(_header_key(h), field) for field, hs in _HEADERS.items() for h in hs]
    known += [(_header_key(h), "transaction_cost") for h in _FEES]
    unread = []
    for column in columns:
        key = _header_key(column)
        if column in taken or key in ignored or not key or key.startswith("unnamed:"):
            continue
        if re.search("价|费|税|佣|金额|price|fee|commission|cost|amount|tax", key):
            unread.append(column)
            continue
        for header, field in known:
            # Short headers (两个字) are all within two edits of each other.
            close = _distance(key, header) <= (2 if min(len(key), len(header)) >= 4 else 1)
            if close:
                unread.append(column)
                break
    if unread:
        read = ", ".join(sorted(taken, key=list(columns).index))
        warnings.warn(StatementWarning(
            f"columns not read: {', '.join(unread)} (they look like a price, a fee or "
            f"an amount; the columns read: {read})"), stacklevel=4)


def _cell(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return str(value).strip()


_GROUPED = re.compile(r"[+-]?\d{1,3}(?:,\d{3})+(?:\.\d*)?")
_MONEY_MARKS = re.compile(r"^\s*[¥￥]\s*|\s*元\s*$")


def _plain_number(text, decimal_comma=False):
    """A number cell as the text float() reads, or None when its separators are not a
    number's (see the module's notes on numbers)."""
    text = text.replace("，", ",").replace("\u2212", "-").replace("\uff0d", "-")
    # Money written with its currency's sign or unit (¥100.00, 100.00元), and a
    # negative written in brackets as accounts write it ((100.00)).
    text = _MONEY_MARKS.sub("", text)
    if text.startswith(("(", "（")) and text.endswith((")", "）")) and len(text) > 2:
        text = "-" + text[1:-1].strip()
    if decimal_comma:
        if text.count(",") > 1 or ("," in text and "." in text):
            return None
        return text.replace(",", ".")
    if "," in text:
        return text.replace(",", "") if _GROUPED.fullmatch(text) else None
    return text


def _number(text, decimal_comma=False):
    """A number cell as float; None for text that is not a number."""
    plain = _plain_number(text, decimal_comma)
    if plain is None:
        return None
    try:
        return float(plain)
    except ValueError:
        return None


def _quantity_value(text, decimal_comma=False):
    """A quantity cell as float, or None when it is no number or one that a float does
    not hold exactly ("12345678901234567", "100.00000000000000001")."""
    plain = _plain_number(text, decimal_comma)
    if plain is None:
        return None
    try:
        value = float(plain)
    except ValueError:
        return None
    if math.isfinite(value):
        try:
            if decimal.Decimal(plain.strip()) != decimal.Decimal(value):
                return None
        except decimal.InvalidOperation:
            return None
    return value


def _number_hint(text, decimal_comma):
    if decimal_comma or ("," not in text and "，" not in text):
        return ""
    return ("; a comma separates thousands in groups of three (1,000 or 12,345.5) "
            "and the decimal mark is the point")


def _code(text):
    # Excel turns 000001 into 1 (or 1.0 once it has been a float): pad back to six.
    digits = text[:-2] if re.fullmatch(r"\d{1,6}\.0", text) else text
    if re.fullmatch(r"\d{1,6}", digits):
        return digits.zfill(6)
    return text


def _order_book_id(text):
    try:
        return fix_order_book_id(_code(text))
    except ValueError:
        return None


_TIME_RE = re.compile(r"(\d{1,2}):(\d{2})(?::(\d{2}))?(?:\.\d+)?|(\d{5,6})")


def _date(text):
    if re.fullmatch(r"\d{4}\.\d{1,2}\.\d{1,2}", text):
        text = text.replace(".", "-")
    elif match := _CN_DATE.fullmatch(text):
        text = "-".join(match.groups())
    elif (match := _SERIAL_DATE.fullmatch(text)) and 20000 < int(match.group(1)) < 80000:
        # A workbook's date cell kept as its serial number: days from 1899-12-30.
        return pd.Timestamp("1899-12-30") + pd.Timedelta(days=int(match.group(1)))
    try:
        return fix_datetime(text)
    except ValueError:
        return None


_CN_DATE = re.compile(r"(\d{4})年(\d{1,2})月(\d{1,2})日")
_SERIAL_DATE = re.compile(r"(\d{5})(?:\.0+)?")
_DATED_TIME = re.compile(r"\d{4}[-/.]\d{1,2}[-/.]\d{1,2}[ T](.+)")


def _seconds(text):
    """Seconds after midnight of a time cell (which may hold the date before the
    time, 2024-01-02 09:35:12), or None."""
    if dated := _DATED_TIME.fullmatch(text):
        text = dated.group(1)
    if re.fullmatch(r"0?\.\d+", text):  # a workbook's time kept as a fraction of a day
        return min(round(float(text) * 86400), 86399)
    match = _TIME_RE.fullmatch(text)
    if match is None:
        return None
    if match.group(4):
        digits = match.group(4).zfill(6)
        hour, minute, second = int(digits[:2]), int(digits[2:4]), int(digits[4:])
    else:
        hour, minute = int(match.group(1)), int(match.group(2))
        second = int(match.group(3) or 0)
    if hour > 23 or minute > 59 or second > 59:
        return None
    return hour * 3600 + minute * 60 + second


def _stamp(text):
    try:
        return fix_datetime(text)
    except ValueError:
        return None


def _trade_time(date_text, time_text, columns, row):
    where = " and ".join(f"{c} {t!r}" for c, t in zip(columns, (date_text, time_text)) if c)
    stamp = _date(date_text)
    if stamp is None:
        raise StatementError(
            f"cannot read the trade date from {where}; write dates as year-month-day "
            f"(2023-03-01, 2023/3/1 or 20230301)", row)
    if time_text:
        seconds = _seconds(time_text)
        if seconds is None:
            raise StatementError(f"cannot read the trade time from {where}", row)
        stamp = stamp.normalize() + pd.Timedelta(seconds=seconds)
    return stamp


_DIGITS = re.compile(r"(?:SH|SZ)?(\d{6})(?:\.(?:SH|SZ|XSHG|XSHE))?", re.IGNORECASE)


def _digits(text):
    """The six digits of a security code cell, or None."""
    match = _DIGITS.fullmatch(_code(text))
    return match.group(1) if match else None


def _is_repo(text):
    digits = _digits(text)
    return digits is not None and _kinds.repo_order_book_id(digits) is not None


def _row(cells, found, fee_cells, number, decimal_comma):
    """One row checked on its own: ("skip", text) for a row that is not a trade,
    ("trade", record), or StatementError. `cells` maps each field (and each fee
    column) to its text.

    A row whose side is no buy or sale is not a trade when its code is a reverse
    repo's, its operation has a kind (``meridan.statement_kinds``) or holds a word of
    one (转, 红利, 股息, 利息, 派息, 入账, 补缴, 扣税, 申购, 配号, 中签, 撤单, 送股, 配股),
    or it has no security code or no quantity other than 0. Any other row reads like
    a trade whose side is not understood: an error, since taking it for anything
    would leave the holdings wrong."""
    side_text = cells["side"]
    side = _side_key(side_text)
    quantity_text = cells["last_quantity"]
    repo = _is_repo(cells["order_book_id"])
    if side in _BUY and not repo:
        side = "BUY"
    elif side in _SELL and not repo:
        side = "SELL"
    else:
        quantity = _number(quantity_text, decimal_comma) if quantity_text else None
        if (repo or _NOT_TRADES.search(side_text) or not cells["order_book_id"]
                or not quantity or _kinds.operation_rule(side_text)[0] is not None):
            label = side_text or "(no side)"
            name = cells.get("symbol") or cells["order_book_id"]
            return "skip", f"{label} {name}".strip()
        if _MARGIN.search(side_text):
            raise StatementError(
                f"{found['side']} {side_text!r}: a trade on borrowed money or stock "
                f"(融资, 融券) is not read, since the loan would not be booked; a margin "
                f"account's trades on its own money (担保品买入, 担保品卖出) are", number)
        raise StatementError(
            f"{found['side']} {side_text!r} is neither a buy nor a sale "
            f"(BUY, SELL, 买入, 卖出, 证券买入, 证券卖出) nor an operation of another "
            f"kind (银行转证券, 红利入账, 股息红利税补缴, 中签缴款, 红股入账, 转托管转入 "
            f"and the like)", number)

    code = cells["order_book_id"]
    oid = _order_book_id(code)
    if oid is None:
        raise StatementError(
            f"{found['order_book_id']} {code!r} is not a security code", number)

    if "datetime" in found:
        stamp = _stamp(cells["datetime"])
        if stamp is None:
            raise StatementError(
                f"cannot read the trade time from {found['datetime']} "
                f"{cells['datetime']!r}; write it as year-month-day hour:minute "
                f"(2023-03-01 10:05)", number)
    else:
        stamp = _trade_time(cells["date"], cells.get("time", ""),
                            (found["date"], found.get("time")), number)

    quantity = _quantity_value(quantity_text, decimal_comma)
    if quantity is not None and side == "SELL" and quantity < 0:
        quantity = -quantity
    if quantity is None or not math.isfinite(quantity) or quantity <= 0 \
            or quantity != int(quantity) or quantity > MAX_QUANTITY:
        raise StatementError(
            f"{found['last_quantity']} {quantity_text!r} is not a whole number of "
            f"shares above 0 and at most 10^12"
            f"{_number_hint(quantity_text, decimal_comma)}", number)
    record = {"order_book_id": oid, "datetime": stamp, "side": side,
              "last_quantity": int(quantity), "symbol": cells.get("symbol", "")}

    if "last_price" in found:
        price = _number(cells["last_price"], decimal_comma)
        if price is None or not math.isfinite(price) or price <= 0:
            raise StatementError(
                f"{found['last_price']} {cells['last_price']!r} is not a price "
                f"above 0{_number_hint(cells['last_price'], decimal_comma)}", number)
        record["last_price"] = price
    if "transaction_cost" in found or fee_cells:
        columns = [found["transaction_cost"]] if "transaction_cost" in found else fee_cells
        cost = 0.0
        for column in columns:
            text = cells[column]
            fee = 0.0 if _is_empty_amount(text) else _number(text, decimal_comma)
            if fee is None or not math.isfinite(fee) or fee < 0:
                raise StatementError(
                    f"{column} {text!r} is not an amount of 0 or more"
                    f"{_number_hint(text, decimal_comma)}", number)
            cost += fee
        record["transaction_cost"] = cost
    return "trade", record


class _Cells(NamedTuple):
    """A column as the stripped text of its distinct cells: cell k is
    texts[codes[k]] (a missing cell is "")."""
    codes: np.ndarray
    texts: list

    def at(self, k):
        return self.texts[self.codes[k]]


def _cells(column):
    codes, uniques = pd.factorize(column, sort=False)
    codes = codes.astype(np.int32) if len(uniques) < 2**31 else codes
    # A missing cell has code -1: the "" put last.
    return _Cells(codes, [_cell(u) for u in uniques] + [""])


def _mapped(cells, parse, empty=None):
    """`parse` of each distinct text, per cell: (values as an object array of the
    distinct values, mask of the cells it refused with None)."""
    values = [empty if (empty is not None and t == "") else parse(t) for t in cells.texts]
    bad = np.array([v is None for v in values], bool)[cells.codes]
    return values, bad


def _ints(values, key):
    return np.array([0 if v is None else key(v) for v in values], "int64")


def _floats(values):
    return np.array([np.nan if v is None else v for v in values], float)


def _text_column(values, codes):
    """values[codes[k]] for each k as a text column held by Arrow (no Python object
    per cell)."""
    try:
        import pyarrow as pa
    except ImportError:
        return pd.Series(np.asarray(values, dtype=object)[codes], dtype=str)
    pool = pa.system_memory_pool()
    import pyarrow.compute as pc
    taken = pc.take(pa.array(values, pa.large_string(), memory_pool=pool),
                    pa.array(codes, memory_pool=pool), memory_pool=pool)
    return pd.Series(taken.to_pandas(types_mapper=lambda t: pd.StringDtype(
        "pyarrow", na_value=np.nan)))


def normalise_statement(frame, progress=None):
    """Map the cells of a statement (``read_statement``, or any DataFrame: its row k
    is counted as row k + 1) to the package's columns and check each row on its own:
    codes, dates and times, sides, whole quantities, prices and fees. Returns a
    ``Statement``: the trades, and every other row as moving nothing (skipped), an
    event of its kind, or unknown with the reason; the balance column. The first bad
    trade raises StatementError naming it (a row that is not a trade is never an
    error: what cannot be read of it makes it unknown). Needs no market data; the
    frame is not changed. Columns not read that look like prices or fees are named
    in a ``StatementWarning``.

    A frame whose ``attrs["decimal_comma"]`` is true (``read_statement`` sets it for
    ';'-separated text) reads "11,92" as 11.92. ``progress`` as in
    ``read_statement``."""
    found, fees = _find_columns(frame)
    _refuse_other_markets(frame)
    decimal_comma = bool(frame.attrs.get("decimal_comma"))
    n = len(frame)
    _report(progress, 0.0, "checking the rows")
    cells = {field: _cells(frame[column]) for field, column in found.items()}
    fee_cells = {column: _cells(frame[column]) for column in fees}

    side_texts = [_side_key(t) for t in cells["side"].texts]
    buy = np.array([t in _BUY for t in side_texts], bool)[cells["side"].codes]
    sell = np.array([t in _SELL for t in side_texts], bool)[cells["side"].codes]
    # A reverse repo is written as a sale; it is a loan of cash, read with the rows
    # that are not trades.
    repo = np.array([_is_repo(t) for t in cells["order_book_id"].texts], bool)
    if repo.any():
        repo = repo[cells["order_book_id"].codes]
        buy &= ~repo
        sell &= ~repo
    # Empty lines: looked for among the rows that are no buy or sale only.
    blank = np.zeros(n, bool)
    others = np.flatnonzero(~(buy | sell))
    if len(others):
        empty = np.ones(len(others), bool)
        part = frame.iloc[others]
        for column in range(part.shape[1]):
            column_cells = _cells(part.iloc[:, column])
            empty &= np.array([t == "" for t in column_cells.texts])[column_cells.codes]
        blank[others[empty]] = True
    trade = buy | sell
    slow = ~trade & ~blank  # rows checked one by one: skipped, or an error

    id_values, bad = _mapped(cells["order_book_id"], _order_book_id)
    id_codes = cells["order_book_id"].codes.copy()
    slow |= trade & bad
    _report(progress, 0.2, "checking the rows")
    if "datetime" in found:
        values, bad = _mapped(cells["datetime"], _stamp)
        slow |= trade & bad
        stamps = _ints(values, lambda s: s.value)[cells["datetime"].codes]
    else:
        values, bad = _mapped(cells["date"], _date)
        slow |= trade & bad
        codes = cells["date"].codes
        whole = _ints(values, lambda s: s.value)[codes]
        stamps = whole
        if "time" in found:
            midnight = _ints(values, lambda s: s.normalize().value)[codes]
            times, bad = _mapped(cells["time"], _seconds, empty=0)
            slow |= trade & bad
            seconds = _ints(times, int)[cells["time"].codes]
            has_time = np.array([t != "" for t in cells["time"].texts])[cells["time"].codes]
            stamps = np.where(has_time, midnight + seconds * 1_000_000_000, whole)
    _report(progress, 0.5, "checking the rows")

    values, _ = _mapped(cells["last_quantity"],
                        lambda t: _quantity_value(t, decimal_comma))
    quantity = _floats(values)[cells["last_quantity"].codes]
    quantity = np.where(sell & (quantity < 0), -quantity, quantity)
    with np.errstate(invalid="ignore"):
        good = (np.isfinite(quantity) & (quantity > 0) & (quantity <= MAX_QUANTITY)
                & (quantity == np.floor(quantity)))
    slow |= trade & ~good
    columns = ["order_book_id", "datetime", "side", "last_quantity", "symbol"]
    extra = {}
    if "last_price" in found:
        values, _ = _mapped(cells["last_price"], lambda t: _number(t, decimal_comma))
        price = _floats(values)[cells["last_price"].codes]
        with np.errstate(invalid="ignore"):
            slow |= trade & ~(np.isfinite(price) & (price > 0))
        extra["last_price"] = price
        columns.append("last_price")
    elif (amount_column := _first_header(frame.columns, [_UNSIGNED])) is not None:
        # No price column: the price is what the trade came to per share.
        amount_cells = _cells(frame[amount_column])
        values, _ = _mapped(amount_cells, lambda t: _number(t, decimal_comma))
        with np.errstate(invalid="ignore", divide="ignore"):
            price = np.abs(_floats(values)[amount_cells.codes]) / quantity
            usable = np.isfinite(price) & (price > 0)
        if usable[trade & ~slow].all():
            extra["last_price"] = np.where(usable, price, np.nan)
            columns.append("last_price")
    if "transaction_cost" in found or fees:
        sources = ({found["transaction_cost"]: cells["transaction_cost"]}
                   if "transaction_cost" in found else fee_cells)
        by_column = {}
        for column, column_cells in sources.items():
            values, _ = _mapped(column_cells, lambda t: 0.0 if _is_empty_amount(t)
                                else _number(t, decimal_comma), empty=0.0)
            fee = _floats(values)[column_cells.codes]
            with np.errstate(invalid="ignore"):
                slow |= trade & ~(np.isfinite(fee) & (fee >= 0))
            by_column[column] = fee
        for total, parts in _fee_totals(by_column, trade & ~slow).items():
            del by_column[total]
            fees.remove(total)
            warnings.warn(StatementWarning(
                f"{total} is the sum of {' and '.join(parts)} on every trade: the fees "
                f"are counted once, by their parts"), stacklevel=2)
        cost = np.zeros(n)
        for fee in by_column.values():
            cost = cost + fee
        extra["transaction_cost"] = cost
        columns.append("transaction_cost")
    elif (cost := _fees_from_amounts(frame, buy, trade & ~slow, decimal_comma)) is not None:
        extra["transaction_cost"] = cost
        columns.append("transaction_cost")
    _report(progress, 0.8, "checking the rows")

    # Rows the vectorised reading did not take: each on its own, in file order.
    others, records = [], {}
    fee_columns = [] if "transaction_cost" in found else fees
    for k in np.flatnonzero(slow).tolist():
        row = {field: column_cells.at(k) for field, column_cells in cells.items()}
        row.update({column: column_cells.at(k) for column, column_cells in fee_cells.items()})
        kind, value = _row(row, found, fee_columns, k + 1, decimal_comma)
        if kind == "skip":
            others.append((k, value))
            trade[k] = False
        else:
            records[k] = value
    # A row taken one by one as a trade (not expected: the checks are the same).
    for k, record in records.items():
        id_codes[k] = len(id_values)
        id_values.append(record["order_book_id"])
        stamps[k] = record["datetime"].value
        quantity[k] = record["last_quantity"]
        buy[k] = record["side"] == "BUY"
        trade[k] = True
        for field in extra:
            if field in record:  # else as read above (a price from 成交金额)
                extra[field][k] = record[field]

    rows = np.flatnonzero(trade)
    index = pd.Index(rows + 1, name="row", dtype="int64")
    symbol = cells.get("symbol", _Cells(np.zeros(n, "int64"), [""]))
    data = {
        "order_book_id": _text_column(id_values, id_codes[rows]),
        "datetime": stamps[rows].astype("datetime64[ns]").astype("datetime64[us]"),
        "side": _text_column(["SELL", "BUY"], buy[rows].astype("int8")),
        "last_quantity": quantity[rows].astype("int64"),
        "symbol": _text_column(symbol.texts, symbol.codes[rows]),
    }
    for field, values in extra.items():
        data[field] = values[rows]
    out = pd.DataFrame({field: (value.set_axis(index) if isinstance(value, pd.Series)
                                else value) for field, value in data.items()},
                       columns=columns, index=index)
    skipped, events, unknown = _other_rows(frame, found, cells, others, decimal_comma,
                                           lambda: _codes_by_name(out))
    balances = _balances(frame, decimal_comma)
    _report(progress, 1.0, "checking the rows")
    return Statement(out, skipped, events, unknown, balances)


_CURRENCIES = ["币种", "币别", "货币", "货币单位"]
# Named by the currencies met beside the yuan (some exports write a code, 0 say, for it).
_OTHER_CURRENCY = re.compile(r"港|美|HKD|USD|HK\$|US\$|欧元|日元|英镑|EUR|JPY|GBP",
                             re.IGNORECASE)
_MARKETS = ["交易市场", "市场", "交易所", "交易类别", "市场名称"]
_OTHER_MARKET = re.compile("港股|沪港通|深港通|香港|B股|HK", re.IGNORECASE)


def _refuse_other_markets(frame):
    """A row in another currency, or of a market other than the A-share exchanges
    (Hong Kong through the Connect, B shares), is refused: its code would be read as
    an A share's (00001 as 000001) and its money as yuan."""
    for headers, foreign, what in (
            (_CURRENCIES, lambda text: bool(_OTHER_CURRENCY.search(text)),
             "a currency other than the yuan (人民币)"),
            (_MARKETS, lambda text: bool(_OTHER_MARKET.search(text)), "a market other "
                                                                      "than the A shares")):
        column = _first_header(frame.columns, headers)
        if column is None:
            continue
        cells = _cells(frame[column])
        bad = np.array([foreign(text) for text in cells.texts], bool)[cells.codes]
        if bad.any():
            k = int(np.argmax(bad))
            raise StatementError(
                f"{column} {cells.at(k)!r} is {what}: only A-share trades and money in "
                f"yuan are read (a Hong Kong or B-share code would be taken for an A "
                f"share's); remove such rows or keep them in a statement of their own",
                k + 1)


def _fees_from_amounts(frame, buy, rows, decimal_comma):
    """The fee of each trade of a statement with no fee column, from what the trade came
    to (成交金额) and the money it moved (发生金额 or another amount column, which
    holds the fees: a purchase takes more than it came to, a sale brings less); None
    unless every trade of `rows` has both and a fee of 0 or more."""
    gross_column = _first_header(frame.columns, [_UNSIGNED])
    moved_column = _first_header(frame.columns, [a for a in _AMOUNTS if a != _UNSIGNED])
    if gross_column is None or moved_column is None or not rows.any():
        return None
    numbers = []
    for column in (gross_column, moved_column):
        cells = _cells(frame[column])
        values, _ = _mapped(cells, lambda t: _number(t, decimal_comma))
        numbers.append(np.abs(_floats(values)[cells.codes]))
    gross, moved = numbers
    with np.errstate(invalid="ignore"):
        fee = np.round(np.where(buy, moved - gross, gross - moved), 2)
        if not (np.isfinite(fee[rows]).all() and (fee[rows] >= 0).all()):
            return None
    return np.where(rows, fee, 0.0)


# Fee columns that may total others: (total, the columns it may total, the one of them
# a total must include).
_FEE_TOTALS = [
    ("手续费", ["佣金", "规费", "交易规费", "经手费", "证管费", "过户费", "结算费", "其他费",
             "其它费"], "佣金"),
    ("规费", ["经手费", "证管费"], "经手费"),
    ("交易规费", ["经手费", "证管费"], "经手费"),
]


def _fee_totals(by_column, rows):
    """{column: the columns it totals} of the fee columns (`by_column`: column -> fee of
    every row) that hold, on each of `rows` (the trades), the sum of other fee columns,
    as 手续费 beside the 佣金 and 规费 it totals: adding them all would count the fees
    twice. A total of one other column (the same fee shown twice) needs three trades
    with a fee to be told from chance."""
    totals = {}
    keys = {_header_key(c): c for c in by_column}
    for total_key, part_keys, needed in _FEE_TOTALS:
        total = keys.get(_header_key(total_key))
        if total is None:
            continue
        t = by_column[total][rows]
        if not (t > 0).any():
            continue
        others = [keys[_header_key(k)] for k in part_keys if _header_key(k) in keys]
        for size in range(1, len(others) + 1):
            if size == 1 and (t > 0).sum() < 3:
                continue
            for parts in itertools.combinations(others, size):
                if _header_key(needed) not in (_header_key(p) for p in parts):
                    continue
                if np.all(np.abs(t - sum(by_column[p][rows] for p in parts)) <= 0.005):
                    totals[total] = parts
                    break
            if total in totals:
                break
    return totals


def _first_header(columns, headers):
    by_key = {}
    for column in columns:
        by_key.setdefault(_header_key(column), column)
    for header in headers:
        if _header_key(header) in by_key:
            return by_key[_header_key(header)]
    return None


def _is_empty_amount(text):
    # Some clients write a dash for "nothing".
    return text == "" or set(text) <= {"-", "—"}


def _codes_by_name(trades):
    """{security name: order_book_id} of the names the trades give one code only."""
    pairs = set(zip(trades["symbol"].astype(str), trades["order_book_id"].astype(str)))
    count = collections.Counter(name for name, _ in pairs)
    return {name: oid for name, oid in pairs if name and count[name] == 1}


def _other_rows(frame, found, cells, others, decimal_comma, codes_by_name=dict):
    """(skipped, events, unknown) of the rows that are not trades: `others` holds
    (index in the frame, text) of each, in file order. `codes_by_name()` gives the
    codes of security names, for a dividend row that names its security by name
    only."""
    skipped, unknown, events = [], [], []
    names = None
    if not others:
        return skipped, _no_events(), unknown
    at = np.array([k for k, _ in others])
    amount_column = _first_header(frame.columns, _AMOUNTS)
    signed = amount_column is None or _header_key(amount_column) != _UNSIGNED
    # Only these rows' cells are looked at: a statement of trades has few of them.
    extra = {}
    if amount_column is not None:
        extra["amount"] = _cells(frame[amount_column].iloc[at])
    day_columns = [c for c in (_first_header(frame.columns, [h]) for h in _EVENT_DATES)
                   if c is not None]
    for i, column in enumerate(day_columns):
        extra[i] = _cells(frame[column].iloc[at])

    for j, (k, text) in enumerate(others):
        row = {field: column_cells.at(k) for field, column_cells in cells.items()}
        number = k + 1

        def unreadable(column, value, what):
            return (number, text, f"{column} {value!r} is not {what}"
                                  f"{_number_hint(value, decimal_comma)}")

        amount = None
        if amount_column is not None:
            value = extra["amount"].at(j)
            if not _is_empty_amount(value):
                amount = _number(value, decimal_comma)
                if amount is None or not math.isfinite(amount):
                    unknown.append(unreadable(amount_column, value, "an amount"))
                    continue
        quantity, bad_quantity = None, None
        value = row["last_quantity"]
        if not _is_empty_amount(value):
            quantity = _number(value, decimal_comma)
            if quantity is None or not math.isfinite(quantity) \
                    or abs(quantity) > MAX_QUANTITY:
                # Wrong only where the row's kind books shares.
                quantity, bad_quantity = None, unreadable(
                    found["last_quantity"], value, "a number of shares")
        price = None
        if "last_price" in found and not _is_empty_amount(row["last_price"]):
            price = _number(row["last_price"], decimal_comma)
        code = row["order_book_id"]
        repo = _is_repo(code)
        reading = _kinds.classify(row["side"], quantity, price, amount, signed=signed,
                                  has_code=code != "", repo=repo)
        if reading.kind == "none":
            skipped.append((number, text))
            continue
        if bad_quantity is not None and (reading.kind == "unknown"
                                         or reading.kind in _kinds.SECURITY_KINDS):
            unknown.append(bad_quantity)
            continue
        if reading.kind == "unknown":
            unknown.append((number, text, reading.reason))
            continue

        digits = _digits(code) if code else None
        if repo:
            oid = _kinds.repo_order_book_id(digits)
        elif reading.kind in ("allotment_payment", "rights_payment", "allotment_credit",
                              "rights_credit") and digits is not None:
            oid = _order_book_id(_kinds.listing_code(digits))
        else:
            oid = _order_book_id(code) if code else ""
        if not code and reading.kind == "dividend" and row.get("symbol"):
            # Named by its name only: the code the trades give that name, so that the
            # market's dividend is not booked beside the statement's own.
            names = codes_by_name() if names is None else names
            oid = names.get(str(row["symbol"]).strip(), "")
        if oid is None:
            if reading.kind in _kinds.SECURITY_KINDS or reading.kind == "dividend":
                unknown.append((number, text, f"{found['order_book_id']} {code!r} is "
                                              f"not a security code"))
                continue
            oid = ""

        stamp, reason = _event_time(row, found, [extra[i].at(j) for i in
                                                 range(len(day_columns))], day_columns)
        if stamp is None:
            unknown.append((number, text, reason))
            continue
        events.append((number, reading.kind, stamp.value, oid, reading.quantity,
                       reading.price, reading.amount, text))

    if not events:
        return skipped, _no_events(), unknown
    rows, kinds, stamps, oids, quantities, prices, amounts, texts = zip(*events)
    frame = pd.DataFrame({
        "kind": pd.Series(kinds, dtype=object),
        "datetime": np.array(stamps, "int64").astype("datetime64[ns]")
        .astype("datetime64[us]"),
        "order_book_id": pd.Series(oids, dtype=object),
        "quantity": np.array(quantities, float), "price": np.array(prices, float),
        "amount": np.array(amounts, float), "text": pd.Series(texts, dtype=object)})
    frame.index = pd.Index(np.array(rows, "int64"), name="row")
    return skipped, frame, unknown


def _event_time(row, found, day_cells, day_columns):
    """(Timestamp, None) of a row that is not a trade, or (None, reason)."""
    if "datetime" in found:
        stamp = _stamp(row["datetime"])
        shown = f"{found['datetime']} {row['datetime']!r}"
    else:
        stamp = _date(row["date"])
        shown = f"{found['date']} {row['date']!r}"
        if stamp is not None and row.get("time"):
            seconds = _seconds(row["time"])
            if seconds is None:
                return None, f"cannot read the time from {found['time']} {row['time']!r}"
            stamp = stamp.normalize() + pd.Timedelta(seconds=seconds)
    if stamp is None:
        for column, text in zip(day_columns, day_cells):
            stamp = _date(text) if text else None
            if stamp is not None:
                break
    if stamp is None:
        return None, f"cannot read the date from {shown}"
    return stamp, None


def _balances(frame, decimal_comma):
    """The balance column of a statement as floats (NaN for an empty cell or one that
    is no number), indexed by row number; None without the column."""
    column = _first_header(frame.columns, _BALANCES)
    if column is None:
        return None
    cells = frame[column]
    # Each distinct text parsed once: plain numbers all at once, those with
    # separators (or that pandas does not read) one by one.
    if isinstance(cells.dtype, pd.CategoricalDtype):
        codes, texts = cells.cat.codes.to_numpy(), cells.cat.categories
    else:
        codes, texts = pd.factorize(cells, sort=False)
    texts = pd.Index(texts, dtype=object)
    values = None
    if not decimal_comma:
        raw = texts.to_numpy(object)
        try:  # the common file: plain numbers and empty cells
            values = np.where(raw == "", "nan", raw).astype(float)
        except (ValueError, TypeError):
            pass
    if values is None:
        texts = texts.astype(str).str.strip()
        plain = texts.where(~texts.str.contains("[,，]", regex=True), "")
        values = np.full(len(texts), np.nan) if decimal_comma else \
            np.array(pd.to_numeric(plain, errors="coerce"), float)
    for i in np.flatnonzero(np.isnan(values)).tolist():
        text = texts[i].strip()
        if not _is_empty_amount(text) and text.lower() != "nan":
            value = _number(text, decimal_comma)
            values[i] = np.nan if value is None else value
    values = np.append(values, np.nan)  # a missing cell has code -1
    return pd.Series(values[codes], index=pd.RangeIndex(1, len(frame) + 1, name="row"),
                     name=column)


def skipped_lines(skipped, limit=SKIPPED_SHOWN):
    """(row, text) pairs (the skipped rows of ``load_statement``, say) as lines to
    show a user: the first `limit`, then "... and N more rows skipped"."""
    lines = [f"skipped row {number}: {text}" for number, text in skipped[:limit]]
    if len(skipped) > limit:
        lines.append(f"... and {len(skipped) - limit:,} more rows skipped")
    return lines


# --- market checks and replay -----------------------------------------------------

def _market_source():
    """The store's source ("sample" for the generated market), or None when the client
    does not say."""
    info = getattr(tickvane, "store_info", None)
    if info is None:
        return None
    try:
        return (info().get("meta") or {}).get("source")
    except Exception:
        return None


def _market_range():
    dates = tickvane.get_trading_dates(_dt.date(1900, 1, 1), _dt.date(2199, 12, 31))
    if not len(dates):
        return None
    return _plain_day(dates[0]), _plain_day(dates[-1])


def _rows_text(numbers, limit=5):
    shown = ", ".join(map(str, numbers[:limit]))
    return shown + (f" and {len(numbers) - limit:,} more" if len(numbers) > limit else "")


def statement_trades(statement, md, accept_prices=False, progress=None):
    """The statement's trades as ``fix_trades`` builds them (sorted by time, stable),
    with, for each, its row number in the file: (trades, rows).

    Checked first against the market data, so that an error names the row: an
    instrument the market data does not know, one that is not a stock, a date outside
    the market data's range or that is not a trading day, a day without a close for
    the instrument (suspended), and a trade price outside [0.5 x, 2 x] the day's close.
    Such a price is a StatementError on a market of real data unless `accept_prices`
    is true, when it is a ``StatementWarning``; on the generated sample market it is
    one warning naming the first rows. ``progress`` as in ``read_statement``."""
    return _statement_trades([statement.frame], md, accept_prices, progress, owned=False)


def _statement_trades(holder, md, accept_prices, progress, owned, also=None):
    """``statement_trades`` of the frame in `holder` (a list of one frame, emptied
    here). With `owned` (nobody else holds the frame) its rows are first moved into
    parts in time order and each part let go once its trades are built, so that the
    frame and all the trades are never held at once. `also` as in ``_check_market``."""
    frame = holder.pop()
    if not len(frame):
        if also:
            _check_instruments(also)
        return [], []
    _check_market(frame, md, accept_prices, progress, also)
    _give_back_memory()  # the checks' arrays, before the trades are built

    stamps = frame["datetime"].to_numpy()
    numbers = frame.index.to_numpy()
    order = np.argsort(stamps, kind="stable")
    ordered = numbers[order].tolist()
    in_order = bool((order == np.arange(len(order))).all())
    del stamps, numbers
    package = frame.drop(columns="symbol")  # copied on write only: not copied here
    del frame
    # Built a part at a time from that part's rows in time order, each part's equal
    # values then made one object (a price, a quantity, a fee, a time repeated over
    # many trades is held once). A frame handed over is cut into its parts first and
    # let go, each part when its trades are built; otherwise each part is taken from
    # the frame in its turn (no sorted copy of the whole).
    step = _PART_ROWS
    starts = range(0, len(package), step)

    def rows_of(at):
        if in_order and not owned:
            return package.iloc[at:at + step]
        return package.take(order[at:at + step]).reset_index(drop=True)

    parts = None
    if owned:
        parts = [rows_of(at) for at in starts][::-1]
        del package
        _give_back_memory()
    trades, pool = [], {}
    for at in starts:
        part = parts.pop() if owned else rows_of(at)
        try:
            built = fix_trades(part, md)
        except Exception as exc:
            for note in getattr(exc, "__notes__", ()):
                match = _TABLE_ROW.search(note)
                if match and at + int(match.group(1)) < len(ordered):
                    raise StatementError(str(exc), ordered[at + int(match.group(1))]) \
                        from exc
            raise
        del part
        _share_fields(built, pool)
        trades.extend(built)
        del built
        _report(progress, 0.2 + 0.8 * min(len(ordered), at + step) / len(ordered),
                "building the trades")
    return trades, ordered


def instrument_fault(oid):
    """(the market data's record of `oid` or None, why it cannot be replayed or None):
    an id the market data does not know, or one that is not a stock (a fund, a bond,
    an index)."""
    try:
        record = tickvane.instruments(oid)
    except ValueError:
        record = None
    if record is None:
        return None, f"unknown instrument {oid}"
    if record.type != "CS":
        return record, f"{oid} ({record.symbol}) is not a stock (type {record.type})"
    return record, None


def _check_instruments(first_row):
    """The instrument record of each id of `first_row` (id -> the first row that
    names it). Ids the market data does not know, or that are not stocks (funds,
    bonds), make one StatementError that names each with its first row."""
    kinds, bad = {}, []
    for oid in sorted(first_row, key=first_row.get):
        record, fault = instrument_fault(oid)
        if fault:
            bad.append((int(first_row[oid]), fault))
        kinds[oid] = record
    if len(bad) == 1:
        raise StatementError(bad[0][1], bad[0][0])
    if bad:
        listed = "; ".join(f"row {number}: {what}" for number, what in bad[1:])
        raise StatementError(
            f"{bad[0][1]}; {listed} ({len(bad)} instruments that are not stocks the "
            f"market data knows: only stocks can be replayed)", bad[0][0])
    return kinds


def _check_market(frame, md, accept_prices, progress, also=None):
    """The checks of ``statement_trades`` against the market data; `also` maps more
    ids to the first row that names them, checked with the trades' instruments."""
    _report(progress, 0.0, "checking against the market data")
    numbers = frame.index.to_numpy()
    codes, ids = pd.factorize(frame["order_book_id"], sort=False)
    first_row = {}
    for position in np.unique(codes, return_index=True)[1]:
        first_row[ids[codes[position]]] = numbers[position]
    kinds = _check_instruments(dict(first_row, **{
        oid: number for oid, number in (also or {}).items()
        if oid not in first_row or number < first_row[oid]}))

    stamps = frame["datetime"].to_numpy()
    day_values = stamps.astype("datetime64[D]")
    day_codes, day_uniques = pd.factorize(day_values, sort=True)
    days = [pd.Timestamp(d).date() for d in day_uniques]
    trading = set(_plain_day(d) for d in tickvane.get_trading_dates(days[0], days[-1]))
    off = [i for i, d in enumerate(days) if d not in trading]
    if off:
        bad = np.isin(day_codes, off)
        k = int(np.argmax(bad))
        oid, day = ids[codes[k]], days[day_codes[k]]
        name = f"{oid} ({kinds[oid].symbol})"
        span = _market_range()
        if span is None or not span[0] <= day <= span[1]:
            where = (f"the market data's range ({span[0]} to {span[1]})" if span
                     else "the market data, which holds no trading days")
            raise StatementError(f"{day} is outside {where} (trade of {name})",
                                 int(numbers[k]))
        raise StatementError(f"{day} is not a trading day (trade of {name})",
                             int(numbers[k]))
    _report(progress, 0.1, "checking against the market data")

    # The close of each (instrument, day) pair: one request per day.
    pair_codes, pairs = pd.factorize(day_codes.astype("int64") * len(ids) + codes,
                                     sort=True)
    closes = np.full(len(pairs), np.nan)
    by_day = {}
    for p, key in enumerate(pairs):
        by_day.setdefault(int(key) // len(ids), []).append((p, ids[int(key) % len(ids)]))
    for d, wanted in by_day.items():
        day = days[d]
        try:
            got = md.get_close_price([oid for _, oid in wanted], day)
        except KeyError:
            got = {}
            for _, oid in wanted:
                try:
                    got.update(md.get_close_price([oid], day))
                except KeyError:
                    pass
        for p, oid in wanted:
            value = got.get(oid)
            closes[p] = np.nan if value is None else float(value)
    close = closes[pair_codes]
    missing = ~np.isfinite(close)
    if missing.any():
        k = int(np.argmax(missing))
        oid = ids[codes[k]]
        raise StatementError(
            f"{oid} ({kinds[oid].symbol}) has no close on {days[day_codes[k]]}: it did "
            f"not trade that day (suspended)", int(numbers[k]))
    if "last_price" in frame:
        _check_prices(frame, close, ids, codes, days, day_codes, kinds, accept_prices)
    _report(progress, 0.2, "checking against the market data")


def _count(n, noun):
    return f"{n:,} {noun}" + ("" if n == 1 else "s")


def _check_prices(frame, close, ids, codes, days, day_codes, kinds, accept_prices):
    price = frame["last_price"].to_numpy(dtype=float)
    outside = (price < _PRICE_LOW * close) | (price > _PRICE_HIGH * close)
    if not outside.any():
        return
    where = np.flatnonzero(outside)
    numbers = frame.index.to_numpy()

    def describe(k):
        oid = ids[codes[k]]
        return (f"row {numbers[k]}: {oid} ({kinds[oid].symbol}) at {price[k]:g} on "
                f"{days[day_codes[k]]}, whose close was {close[k]:g} (range "
                f"{_PRICE_LOW * close[k]:g} to {_PRICE_HIGH * close[k]:g})")

    if _market_source() == "sample":
        shown = "; ".join(describe(k) for k in where[:5])
        more = f"; and {len(where) - 5:,} more" if len(where) > 5 else ""
        warnings.warn(StatementWarning(
            f"{_count(len(where), 'trade price')} outside half to twice the day's close "
            f"of the market data, which is the generated sample market (its prices are "
            f"invented, so real prices do not match it): {shown}{more}"), stacklevel=3)
        return
    if accept_prices:
        shown = "; ".join(describe(k) for k in where[:5])
        more = f"; and {len(where) - 5:,} more" if len(where) > 5 else ""
        warnings.warn(StatementWarning(
            f"{_count(len(where), 'trade price')} taken although outside half to twice "
            f"the day's close: {shown}{more}"), stacklevel=3)
        return
    k = int(where[0])
    oid = ids[codes[k]]
    raise StatementError(
        f"price {price[k]:g} of {oid} ({kinds[oid].symbol}) is outside the range of "
        f"{days[day_codes[k]]}: the close was {close[k]:g}, so a trade price is "
        f"expected from {_PRICE_LOW * close[k]:g} to {_PRICE_HIGH * close[k]:g}; if the "
        f"price is right, accept it (--accept-prices, accept_prices=True)",
        int(numbers[k]))


def _plain_day(value):
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    return pd.Timestamp(value).date()


_TABLE_ROW = re.compile(r"in row (\d+) of the table")
_TRADE_REF = re.compile(r"trades\[(\d+)\]")


def replay_statement(trades, rows, start_date, end_date, md, cash=100000.0):
    """``meridan.pcalc.replay.replay`` of the trades of ``statement_trades`` from
    ``start_date`` to ``end_date``; an error about one trade (a sale of more shares
    than are held, say) becomes a StatementError naming its row in the file."""
    try:
        return replay(trades, start_date, end_date, md, cash=cash)
    except (ValueError, TypeError) as exc:
        texts = [str(exc)] + list(getattr(exc, "__notes__", ()))
        for text in texts:
            match = _TRADE_REF.search(text)
            if match and int(match.group(1)) < len(rows):
                raise StatementError(str(exc), rows[int(match.group(1))]) from exc
        raise


def _give_back_memory():
    """Hand the memory freed so far back to the system (the C library keeps it
    otherwise, and what is built next is counted on top of it)."""
    try:
        import pyarrow as pa
        pa.default_memory_pool().release_unused()
    except (ImportError, AttributeError):
        pass
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def load_statement(path, md, accept_prices=False, progress=None):
    """``read_statement``, ``normalise_statement`` and ``statement_trades`` in one
    call: (trades, rows, skipped), skipped being (row, text) of every row that is not a
    trade (those that move nothing, the events and the unknown rows alike, in file
    order: none of them is booked here). ``accept_prices`` as in ``statement_trades``;
    ``progress``, when given, is called as ``progress(fraction, what)`` from 0 to 1
    over the whole reading."""
    def part(low, high):
        return _progress_part(progress, low, high)

    statement = _read_normalised(path, progress)
    # The frame is handed over whole: its rows are let go as the trades are built.
    holder, skipped = [statement.frame], _not_traded(statement)
    del statement
    trades, rows = _statement_trades(holder, md, accept_prices, part(0.5, 1.0),
                                     owned=True)
    return trades, rows, skipped


def _not_traded(statement):
    """(row, text) of every row of `statement` that is not a trade, in file order."""
    rows = list(statement.skipped)
    rows += zip(statement.events.index.tolist(), statement.events["text"].tolist())
    rows += [(number, text) for number, text, _ in statement.unknown]
    return sorted(rows, key=lambda pair: pair[0])


def _read_normalised(path, progress):
    """``read_statement`` and ``normalise_statement`` of `path`, over the first half of
    `progress`; the cells are let go before the rows are checked against the market."""
    cells = read_statement(path, _progress_part(progress, 0.0, 0.3))
    statement = normalise_statement(cells, _progress_part(progress, 0.3, 0.5))
    del cells
    _give_back_memory()
    return statement


def _progress_part(progress, low, high):
    """``progress`` called with fractions from 0 to 1 mapped to `low` to `high`."""
    if progress is None:
        return None
    return lambda fraction, what: progress(low + (high - low) * fraction, what)


def load_account(path, md, accept_prices=False, progress=None):
    """The statement at `path` read as an account: ``read_statement`` and
    ``normalise_statement``, then the trades as ``load_statement`` builds them, and
    every other row with its kind. Returns an ``Account``: (trades, rows, skipped,
    events, unknown, balances), the last four as ``Statement`` has them.

    Besides the checks of ``statement_trades``, each event that names a security
    (other than a tax, a fee, a cash transfer, interest or a reverse repo) must name
    a stock the market data knows; the instruments that are not are named in one
    StatementError with the first row of each, those of the trades among them.
    ``accept_prices`` and ``progress`` as in ``load_statement``."""
    def part(low, high):
        return _progress_part(progress, low, high)

    statement = _read_normalised(path, progress)
    events = statement.events
    named = events[~events["kind"].isin(_UNCHECKED_KINDS)
                   & (events["order_book_id"] != "")]
    also = {}
    for number, oid in zip(named.index.tolist(), named["order_book_id"].tolist()):
        also.setdefault(oid, number)
    holder = [statement.frame]
    skipped, unknown, balances = statement.skipped, statement.unknown, statement.balances
    del statement
    trades, rows = _statement_trades(holder, md, accept_prices, part(0.5, 1.0),
                                     owned=True, also=also)
    return Account(trades, rows, skipped, events, unknown, balances)
