"""Broker trade statements read from a file, checked row by row and turned into the
``Trade`` records of ``meridan.pcalc.preprocess.fix_trades``, then replayed.

Files: CSV or other delimited text (UTF-8 with or without the byte-order mark that
Excel writes, or the GB18030/GBK that Chinese software writes), and Excel workbooks
(.xlsx; the first sheet). Many brokerage clients save tab-separated text under an
.xls name: such a file is read as text. The first row is the header.

Rows are numbered as the user sees them in the file: 1 is the first row under the
header. Every error names the row, the column and the value, and says what is wrong.

Columns, matched case-insensitively and ignoring spaces and underscores (so
"Order Book ID" is order_book_id); for each field the first header of its list that
the file has is used; other columns are ignored.

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
| side             | side, 操作, 买卖标志, 买卖方向           | BUY/SELL in any case, 买入,   |
|                  |                                          | 证券买入, 卖出, 证券卖出, 买, 卖 |
| last_quantity    | last_quantity, 成交数量                  | whole shares; "1,000" reads   |
|                  |                                          | 1000; a sale may be negative  |
| last_price       | last_price, 成交价格, 成交均价           | price per share; without the  |
|                  |                                          | column: the day's close       |
| transaction_cost | transaction_cost, or the sum of 手续费,  | fees in currency; every fee   |
|                  | 佣金, 印花税, 过户费, 其他费用, 其他杂费 | column present is added; an   |
|                  |                                          | empty cell is 0               |
| symbol           | 证券名称, 股票名称                       | shown in messages only        |

Dates must be year-month-day: "03/04/2023" is refused rather than guessed. A
statement may mix the accepted forms.

Rows that are not trades are skipped and listed, not errors: a row whose side is not a
buy or a sale and which has no security code or no quantity, or whose operation names
a cash movement or a corporate action (银行转证券, 证券转银行, 红利入账, 股息红利税补缴,
利息归本, 新股申购 and the like: the words 转, 红利, 股息, 利息, 派息, 入账, 补缴, 扣税,
申购, 配号, 中签, 撤单, 送股, 配股). Any other side is an error.
"""

from __future__ import annotations

import csv
import datetime as _dt
import io
import math
import os
import re
from typing import NamedTuple

import pandas as pd
import tickvane

from meridan.pcalc.preprocess import fix_trades
from meridan.pcalc.replay import replay
from meridan.util import fix_datetime, fix_order_book_id

__all__ = ["StatementError", "Statement", "read_statement", "normalise_statement",
           "statement_trades", "replay_statement", "load_statement"]


class StatementError(ValueError):
    """A statement that cannot be taken as a list of trades. ``row`` is the row in the
    file (1 for the first row under the header) or None for the whole file."""

    def __init__(self, message, row=None):
        super().__init__(f"row {row}: {message}" if row is not None else message)
        self.row = row


class Statement(NamedTuple):
    """A statement in the package's columns (``fix_trades``' input)."""

    frame: pd.DataFrame
    """One row per trade, in file order, indexed by the file's row numbers; columns
    order_book_id, datetime (Timestamp), side, last_quantity (int), symbol, and
    last_price / transaction_cost (float) when the file has them."""
    skipped: list
    """(row number, text) of each row that is not a trade, in file order."""


# Field -> headers in order of preference, compared after _header_key.
_HEADERS = {
    "order_book_id": ["order_book_id", "证券代码", "股票代码"],
    "datetime": ["datetime"],
    "date": ["成交日期"],
    "time": ["成交时间"],
    "side": ["side", "操作", "买卖标志", "买卖方向"],
    "last_quantity": ["last_quantity", "成交数量"],
    "last_price": ["last_price", "成交价格", "成交均价"],
    "transaction_cost": ["transaction_cost"],
    "symbol": ["证券名称", "股票名称"],
}
_FEES = ["手续费", "佣金", "印花税", "过户费", "其他费用", "其他杂费"]

_BUY = {"BUY", "买入", "证券买入", "买"}
_SELL = {"SELL", "卖出", "证券卖出", "卖"}
_NOT_TRADES = re.compile("转|红利|股息|利息|派息|入账|入帐|补缴|扣税|申购|配号|中签|撤单|送股|配股")


def _header_key(text):
    return re.sub(r"[\s_]+", "", str(text)).lower()


# --- reading ----------------------------------------------------------------------

def read_statement(path):
    """The cells of a statement file as text (empty text for an empty cell): a
    DataFrame with the file's headers as columns and a RangeIndex (row k of the frame
    is row k + 1 of the file). StatementError for a file that cannot be read."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as exc:
        raise StatementError(f"cannot read {path}: {exc.strerror or exc}") from None
    if data[:2] == b"PK":
        frame = _read_xlsx(path)
    elif data[:4] == b"\xd0\xcf\x11\xe0":
        raise StatementError(
            f"{path} is an old binary Excel workbook (.xls); save it as .xlsx or CSV")
    else:
        frame = _read_text(path, data)
    frame.columns = [str(c).strip() for c in frame.columns]
    if frame.columns.duplicated().any():
        dup = frame.columns[frame.columns.duplicated()][0]
        raise StatementError(f"{path}: the header names column {dup!r} twice")
    return frame


def _read_xlsx(path):
    try:
        frame = pd.read_excel(path, sheet_name=0, dtype=str, na_filter=False,
                              engine="openpyxl")
    except ImportError:
        raise StatementError("reading Excel workbooks needs openpyxl: "
                             "pip install openpyxl") from None
    except Exception as exc:  # a damaged workbook: openpyxl/zipfile errors vary
        raise StatementError(f"cannot read the workbook {path}: {exc}") from None
    # Cells that Excel holds as dates come back as "2023-03-01 00:00:00".
    return frame


def _read_text(path, data):
    for encoding in ("utf-8-sig", "gb18030"):
        try:
            text = data.decode(encoding)
            break
        except UnicodeDecodeError:
            continue
    else:  # gb18030 decodes any byte string, so this is not reached
        raise StatementError(f"cannot decode {path}")
    first = text.split("\n", 1)[0]
    delimiter = max([",", "\t", ";"], key=first.count)
    rows = list(csv.reader(io.StringIO(text), delimiter=delimiter))
    # A trailing "=" prefix ('="000001"') is how some clients keep leading zeros.
    rows = [[_unquote(cell) for cell in row] for row in rows]
    if not rows or not any(cell.strip() for cell in rows[0]):
        raise StatementError(f"{path} has no header row")
    header, body = rows[0], rows[1:]
    width = len(header)
    for k, row in enumerate(body, start=1):
        if len(row) > width and any(cell.strip() for cell in row[width:]):
            raise StatementError(
                f"{len(row)} cells under a header of {width} columns", row=k)
    body = [(row + [""] * width)[:width] for row in body]
    return pd.DataFrame(body, columns=header, dtype=object)


def _unquote(cell):
    if cell.startswith('="') and cell.endswith('"'):
        return cell[2:-1]
    return cell


# --- normalisation ----------------------------------------------------------------

def _find_columns(frame):
    by_key = {}
    for column in frame.columns:
        by_key.setdefault(_header_key(column), column)
    found = {}
    for field, headers in _HEADERS.items():
        for header in headers:
            if _header_key(header) in by_key:
                found[field] = by_key[_header_key(header)]
                break
    fees = [by_key[_header_key(h)] for h in _FEES if _header_key(h) in by_key]
    present = dict(found, datetime=found.get("datetime") or found.get("date"))
    missing = [names for field, names in (
        ("order_book_id", "order_book_id or 证券代码"),
        ("datetime", "datetime or 成交日期"),
        ("side", "side, 操作 or 买卖标志"),
        ("last_quantity", "last_quantity or 成交数量")) if not present.get(field)]
    if missing:
        raise StatementError(
            "the statement has no column for " + "; ".join(missing)
            + f" (its columns: {', '.join(map(str, frame.columns))})")
    return found, fees


def _cell(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return str(value).strip()


def _number(text):
    """A number cell as float; None for text that is not a number."""
    text = text.replace(",", "").replace("，", "")
    try:
        value = float(text)
    except ValueError:
        return None
    return value


def _code(text):
    # Excel turns 000001 into 1 (or 1.0 once it has been a float): pad back to six.
    digits = text[:-2] if re.fullmatch(r"\d{1,6}\.0", text) else text
    if re.fullmatch(r"\d{1,6}", digits):
        return digits.zfill(6)
    return text


_TIME_RE = re.compile(r"(\d{1,2}):(\d{2})(?::(\d{2}))?(?:\.\d+)?|(\d{5,6})")


def _trade_time(date_text, time_text, columns, row):
    where = " and ".join(f"{c} {t!r}" for c, t in zip(columns, (date_text, time_text)) if c)
    if re.fullmatch(r"\d{4}\.\d{1,2}\.\d{1,2}", date_text):
        date_text = date_text.replace(".", "-")
    try:
        stamp = fix_datetime(date_text)
    except ValueError:
        raise StatementError(
            f"cannot read the trade date from {where}; write dates as year-month-day "
            f"(2023-03-01, 2023/3/1 or 20230301)", row) from None
    if time_text:
        match = _TIME_RE.fullmatch(time_text)
        if match is None:
            raise StatementError(f"cannot read the trade time from {where}", row)
        if match.group(4):
            digits = match.group(4).zfill(6)
            hour, minute, second = int(digits[:2]), int(digits[2:4]), int(digits[4:])
        else:
            hour, minute = int(match.group(1)), int(match.group(2))
            second = int(match.group(3) or 0)
        if hour > 23 or minute > 59 or second > 59:
            raise StatementError(f"cannot read the trade time from {where}", row)
        stamp = stamp.normalize() + pd.Timedelta(hours=hour, minutes=minute,
                                                 seconds=second)
    return stamp


def normalise_statement(frame):
    """Map the cells of a statement (``read_statement``, or any DataFrame: its row k
    is counted as row k + 1) to the package's columns and check each row on its own:
    codes, dates and times, sides, whole quantities, prices and fees. Returns a
    ``Statement``; the first bad row raises StatementError naming it. Needs no market
    data; the frame is not changed."""
    found, fees = _find_columns(frame)
    get = {field: frame[column].tolist() for field, column in found.items()}
    fee_cells = [(c, frame[c].tolist()) for c in fees]
    rows, skipped = [], []
    everything = frame.to_numpy(dtype=object)
    for k in range(len(frame)):
        number = k + 1
        if not any(_cell(v) for v in everything[k]):
            continue  # an empty line
        cells = {field: _cell(values[k]) for field, values in get.items()}
        side_text = cells["side"]
        side = side_text.upper()
        quantity_text = cells["last_quantity"]
        if side in _BUY:
            side = "BUY"
        elif side in _SELL:
            side = "SELL"
        else:
            quantity = _number(quantity_text) if quantity_text else None
            if (_NOT_TRADES.search(side_text) or not cells["order_book_id"]
                    or not quantity):
                label = side_text or "(no side)"
                name = cells.get("symbol") or cells["order_book_id"]
                skipped.append((number, f"{label} {name}".strip()))
                continue
            raise StatementError(
                f"{found['side']} {side_text!r} is neither a buy nor a sale "
                f"(BUY, SELL, 买入, 卖出, 证券买入, 证券卖出)", number)

        code = cells["order_book_id"]
        try:
            oid = fix_order_book_id(_code(code))
        except ValueError:
            raise StatementError(
                f"{found['order_book_id']} {code!r} is not a security code", number) from None

        if "datetime" in found:
            try:
                stamp = fix_datetime(cells["datetime"])
            except ValueError:
                raise StatementError(
                    f"cannot read the trade time from {found['datetime']} "
                    f"{cells['datetime']!r}; write it as year-month-day hour:minute "
                    f"(2023-03-01 10:05)", number) from None
        else:
            stamp = _trade_time(cells["date"], cells.get("time", ""),
                                (found["date"], found.get("time")), number)

        quantity = _number(quantity_text)
        if quantity is not None and side == "SELL" and quantity < 0:
            quantity = -quantity
        if quantity is None or not math.isfinite(quantity) or quantity <= 0 \
                or quantity != int(quantity):
            raise StatementError(
                f"{found['last_quantity']} {quantity_text!r} is not a whole number of "
                f"shares above 0", number)
        record = {"order_book_id": oid, "datetime": stamp, "side": side,
                  "last_quantity": int(quantity), "symbol": cells.get("symbol", "")}

        if "last_price" in found:
            price = _number(cells["last_price"])
            if price is None or not math.isfinite(price) or price <= 0:
                raise StatementError(
                    f"{found['last_price']} {cells['last_price']!r} is not a price "
                    f"above 0", number)
            record["last_price"] = price
        if "transaction_cost" in found or fee_cells:
            pairs = ([(found["transaction_cost"], cells["transaction_cost"])]
                     if "transaction_cost" in found
                     else [(c, _cell(values[k])) for c, values in fee_cells])
            cost = 0.0
            for column, text in pairs:
                fee = _number(text) if text else 0.0
                if fee is None or not math.isfinite(fee) or fee < 0:
                    raise StatementError(
                        f"{column} {text!r} is not an amount of 0 or more", number)
                cost += fee
            record["transaction_cost"] = cost
        rows.append((number, record))

    columns = ["order_book_id", "datetime", "side", "last_quantity", "symbol"]
    if "last_price" in found:
        columns.append("last_price")
    if "transaction_cost" in found or fee_cells:
        columns.append("transaction_cost")
    out = pd.DataFrame([r for _, r in rows], columns=columns,
                       index=pd.Index([n for n, _ in rows], name="row", dtype="int64"))
    return Statement(out, skipped)


# --- market checks and replay -----------------------------------------------------

def statement_trades(statement, md):
    """The statement's trades as ``fix_trades`` builds them (sorted by time, stable),
    with, for each, its row number in the file: (trades, rows).

    Checked first against the market data, so that an error names the row: an
    instrument the market data does not know, one that is not a stock, a date that is
    not a trading day, and a day without a close for the instrument (suspended): a
    trade cannot have been made at that day's market."""
    frame = statement.frame
    if not len(frame):
        return [], []
    ids = frame["order_book_id"].tolist()
    stamps = frame["datetime"].tolist()
    numbers = frame.index.tolist()
    kinds = {}
    for oid, number in zip(ids, numbers):
        if oid in kinds:
            continue
        try:
            record = tickvane.instruments(oid)
        except ValueError:
            record = None
        if record is None:
            raise StatementError(f"unknown instrument {oid}", number)
        kinds[oid] = record
        if record.type != "CS":
            raise StatementError(
                f"{oid} ({record.symbol}) is not a stock (type {record.type})", number)
    days = [s.date() for s in stamps]
    trading = set(_plain_day(d) for d in tickvane.get_trading_dates(min(days), max(days)))
    for oid, day, number in zip(ids, days, numbers):
        name = f"{oid} ({kinds[oid].symbol})"
        if day not in trading:
            raise StatementError(f"{day} is not a trading day (trade of {name})", number)
        try:
            close = md.get_close_price([oid], day).get(oid)
        except KeyError:
            close = None
        if close is None or close != close:
            raise StatementError(
                f"{name} has no close on {day}: it did not trade that day (suspended)",
                number)
    package = frame.drop(columns="symbol").reset_index(drop=True)
    try:
        trades = fix_trades(package, md)
    except Exception as exc:
        for note in getattr(exc, "__notes__", ()):
            match = _TABLE_ROW.search(note)
            if match and int(match.group(1)) < len(numbers):
                raise StatementError(str(exc), numbers[int(match.group(1))]) from exc
        raise
    order = sorted(range(len(stamps)), key=lambda i: stamps[i])
    return trades, [numbers[i] for i in order]


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


def load_statement(path, md):
    """``read_statement``, ``normalise_statement`` and ``statement_trades`` in one
    call: (trades, rows, skipped)."""
    statement = normalise_statement(read_statement(path))
    trades, rows = statement_trades(statement, md)
    return trades, rows, statement.skipped
