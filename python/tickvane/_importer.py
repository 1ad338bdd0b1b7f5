"""Builds a store from a folder of CSV or Parquet files, one per table (see SCHEMA.md).

Every file is read and checked before anything is written: types, dates (on the trading
calendar where the table is daily), known ids, value ranges, duplicate keys. The first
bad row stops the import with its file, line, column and value. Checks run column-wise on
whole columns (pandas), so millions of rows take seconds; the exact physical line of a bad
CSV record is found afterwards by re-reading the file up to it. Writing goes through the
atomic writer: a failed import leaves the previous store as it was.
"""

import codecs
import csv
import datetime as _dt
import gzip
import os
import re
import sqlite3
import zlib

from . import _schema
from ._corporate_actions import ex_reference
from ._progress import Progress
from ._writer import StoreWriter, check_replaceable, redeliver


class DataImportError(ValueError):
    """A file of the import folder is not in the store's format.

    Attributes: file (name within the folder), line (CSV: physical line number, the header
    being line 1; Parquet: data row number from 1; None for whole-file problems), column,
    value, problem.
    """

    def __init__(self, file, problem, line=None, column=None, value=None, unit="line"):
        self.file, self.problem, self.line, self.column, self.value = (
            file, problem, line, column, value)
        where = file
        if line is not None:
            where += ", %s %d" % (unit, line)
        if column is not None:
            where += ", column %r" % column
        text = "%s: %s" % (where, problem)
        if value is not None:
            text += " (value %r)" % (value,)
        super().__init__(text)


# Column kinds: how a cell is read and what it must satisfy. A column is (name, kind,
# may be empty, default when the whole column is absent; _REQUIRED: it must be present).
_REQUIRED = object()
# Order book ids: six digits, a point and the exchange: Shanghai, Shenzhen, Beijing, or
# INDX for the industry indices. The client, the fetch and meridan look instruments up by
# this form only, so an id in another form would be stored but never found.
_ID_PATTERN = r"^[0-9]{6}\.(?:XSHG|XSHE|BJSE|INDX)$"
_EXCHANGES = ("XSHG", "XSHE", "BJSE", "INDX")
# Exchange names other systems write, as this store writes them.
_EXCHANGE_ALIASES = {"SH": "XSHG", "SS": "XSHG", "SSE": "XSHG", "SHSE": "XSHG",
                     "SZ": "XSHE", "SZSE": "XSHE", "SZE": "XSHE", "BJ": "BJSE", "BSE": "BJSE"}
_FOREIGN_ID = re.compile(r"^(?:([A-Za-z]+)[.]?([0-9]{6})|([0-9]{6})[.]([A-Za-z]+))$")


def _layouts():
    opt = None
    factors = [(f, "real", True, opt) for f in _schema.FACTORS]
    tenors = [(t, "real", True, opt) for t in _schema.TENORS]
    return {
        "trading_dates": [("date", "date", False, _REQUIRED)],
        "instruments": [
            ("order_book_id", "id", False, _REQUIRED), ("symbol", "text", False, _REQUIRED),
            ("type", "type", False, _REQUIRED), ("exchange", "exchange", False, _REQUIRED),
            ("listed_date", "date", False, _REQUIRED), ("de_listed_date", "date", True, opt),
            ("round_lot", "posint", False, _REQUIRED),
            ("sector_code_name", "msci", True, opt),
            ("shenwan_industry_name", "shenwan", True, opt)],
        "st_periods": [
            ("order_book_id", "known", False, _REQUIRED), ("start_date", "date", False, _REQUIRED),
            ("end_date", "date", True, opt)],
        "prices": [
            ("order_book_id", "known", False, _REQUIRED), ("date", "tdate", False, _REQUIRED),
            ("close", "positive", False, _REQUIRED), ("adj_factor", "positive", False, "1")],
        "index_components": [
            ("index_id", "index", False, _REQUIRED), ("date", "tdate", False, _REQUIRED),
            ("order_book_id", "known", False, _REQUIRED)],
        "index_weights": [
            ("index_id", "index", False, _REQUIRED), ("date", "tdate", False, _REQUIRED),
            ("order_book_id", "known", False, _REQUIRED), ("weight", "nonneg", False, _REQUIRED)],
        "dividends": [
            ("order_book_id", "known", False, _REQUIRED),
            ("book_closure_date", "tdate", False, _REQUIRED),
            ("ex_dividend_date", "tdate", False, _REQUIRED), ("payable_date", "date", True, opt),
            ("dividend_cash_before_tax", "nonneg", False, _REQUIRED),
            ("round_lot", "posint", False, "10")],
        "splits": [
            ("order_book_id", "known", False, _REQUIRED), ("ex_date", "tdate", False, _REQUIRED),
            ("split_coefficient_from", "positive", False, _REQUIRED),
            ("split_coefficient_to", "positive", False, _REQUIRED)],
        "factor_exposures": [("order_book_id", "known", False, _REQUIRED),
                             ("date", "tdate", False, _REQUIRED)] + factors,
        "factor_returns": [("date", "tdate", False, _REQUIRED)] + factors,
        "yield_curve": [("date", "tdate", False, _REQUIRED)] + tenors,
    }


_KEYS = {
    "trading_dates": ("date",), "instruments": ("order_book_id",),
    "st_periods": ("order_book_id", "start_date"), "prices": ("order_book_id", "date"),
    "index_components": ("index_id", "date", "order_book_id"),
    "index_weights": ("index_id", "date", "order_book_id"),
    "dividends": ("order_book_id", "ex_dividend_date"), "splits": ("order_book_id", "ex_date"),
    "factor_exposures": ("order_book_id", "date"), "factor_returns": ("date",),
    "yield_curve": ("date",),
}
_MANDATORY_TABLES = ("trading_dates", "instruments")
_SUFFIXES = (".csv", ".csv.gz", ".parquet")
_CHUNK = 200_000  # rows checked and inserted at a time
# Dates a store may hold: the years every date converts to a pandas Timestamp (of any
# resolution) and a datetime.date, with room for listings long past and far ahead.
_FIRST_YMD, _LAST_YMD = 19000101, 21991231
# How far one date's index weights may sum from 1: weights published in percent with
# three decimals and converted to fractions are off by up to 0.0025 for 500 members.
_WEIGHT_TOLERANCE = 0.01
_ENCODING = "utf-8-sig"  # UTF-8, with or without the byte-order mark Excel writes
# What a damaged or cut-off gzip file raises while it is read.
_GZIP_ERRORS = (EOFError, zlib.error, gzip.BadGzipFile)


def _name_sets():
    """For each classification column of instruments: the meta key recording its set,
    the sets by name, every name of any set, and the set of each name found in one set
    only (a name in both, such as 银行, says nothing about which)."""
    out = {}
    for column, key, sets in (
            ("sector_code_name", "sector_set", _schema.SECTOR_SETS),
            ("shenwan_industry_name", "shenwan_set",
             {k: tuple(n for n, _ in v) for k, v in _schema.SHENWAN_SETS.items()})):
        owners = {}
        for set_name, names in sets.items():
            for n in names:
                owners.setdefault(n, []).append(set_name)
        only = {n: o[0] for n, o in owners.items() if len(o) == 1}
        out[column] = (key, sets, tuple(owners), only)
    return out


_NAME_SETS = _name_sets()
_SET_DESCRIPTIONS = {**_schema.SECTOR_SET_DESCRIPTIONS, **_schema.SHENWAN_SET_DESCRIPTIONS}


def import_folder(folder, target, progress=True, force=False, meta=None,
                  title="tickvane import"):
    """Validate every table file in `folder` and write the store `target` atomically.

    Tables stream through in chunks, checked and then inserted into the temporary file, so
    memory stays bounded whatever the size of the data; the first bad row aborts the whole
    import and the temporary file goes with it. A file at `target` that is not a tickvane
    store is replaced only with `force`. `meta` (the fetch command's) replaces what the
    store records of its origin; `title` heads the progress lines.
    """
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        raise DataImportError(folder, "not a folder")
    check_replaceable(target, "import", force)
    bar = Progress(title, enabled=progress)
    try:
        files = _find_files(folder)
        sizes = {t: max(os.path.getsize(p), 1) for t, p in files.items()}
        total, done = float(sum(sizes.values())), 0.0
        context = {}
        with StoreWriter(target) as writer:
            for table in _schema.TABLES:
                path = files.get(table)
                if path is None:
                    continue
                share = sizes[table] / total
                bar.stage("checking and writing %s" % table.replace("_", " "), done)
                for fraction, rows, locate in _checked_chunks(table, path, context):
                    _insert(writer, table, rows, locate)
                    bar.update(done + 0.98 * share * fraction)
                done += 0.98 * share
                if table == "trading_dates" and not context["calendar"]:
                    raise DataImportError(os.path.basename(path), "no trading dates")
            if context.get("derive_factors"):
                bar.stage("deriving adjustment factors from dividends and splits", 0.98)
                _derive_factors(writer.con, context)
            bar.stage("finishing the store file", 0.99)
            writer.set_meta(**(meta or dict(source="import",
                                            imported_from=os.path.abspath(folder))))
            writer.set_meta(**_sets_found(context))
    except BaseException as exc:
        bar.fail()
        redeliver(exc)
        raise
    bar.done("store ready at %s" % target)
    return target


def _insert(writer, table, rows, locate):
    """Insert a checked chunk; a key already present is reported at its row."""
    con = writer.con
    con.execute("SAVEPOINT chunk")
    try:
        writer.insert(table, rows)
    except sqlite3.IntegrityError:
        con.execute("ROLLBACK TO chunk")
        con.execute("RELEASE chunk")
        keys = _KEYS[table]
        positions = [_schema.COLUMNS[table].index(k) for k in keys]
        seen = set()
        sql = "SELECT 1 FROM %s WHERE %s" % (table, " AND ".join('"%s" = ?' % k for k in keys))
        for k, row in enumerate(rows):
            key = tuple(row[p] for p in positions)
            if key in seen or con.execute(sql, key).fetchone():
                locate(k, keys[-1], "repeats the key (%s) of an earlier row" % ", ".join(keys))
            seen.add(key)
        raise
    con.execute("RELEASE chunk")


def _find_files(folder):
    files = {}
    for name in sorted(os.listdir(folder)):
        lower = name.lower()
        suffix = next((s for s in _SUFFIXES if lower.endswith(s)), None)
        if suffix is None:
            continue
        table = name[:-len(suffix)]
        if table not in _schema.TABLES:
            raise DataImportError(name, "not a table of the store (tables: %s)"
                                  % ", ".join(_schema.TABLES))
        if table in files:
            raise DataImportError(name, "table %s is also given by %s"
                                  % (table, os.path.basename(files[table])))
        files[table] = os.path.join(folder, name)
    for table in _MANDATORY_TABLES:
        if table not in files:
            raise DataImportError(folder, "no %s file (%s)" % (
                table, " or ".join(table + s for s in _SUFFIXES)))
    return files


def _chunks(path):
    """(text chunks of the file, how rows are numbered): each chunk a DataFrame of text
    cells ('' for empty) under the header's own column names."""
    import pandas as pd

    name = os.path.basename(path)
    if path.lower().endswith(".parquet"):
        try:
            frame = pd.read_parquet(path)
        except ImportError as exc:
            raise DataImportError(name, "reading Parquet files needs pyarrow or fastparquet"
                                  " (%s)" % exc) from None
        except Exception as exc:
            raise DataImportError(name, "not a readable Parquet file: %s" % exc) from None
        header = [str(c).strip() for c in frame.columns]
        text = _parquet_as_text(frame, name)
        parts = (text.iloc[k:k + _CHUNK] for k in range(0, max(len(text), 1), _CHUNK))
        return header, parts, "row"
    header = _csv_header(path)
    if not header:
        raise DataImportError(name, "the file is empty (it needs at least a header line)")

    def parts():
        # The file opens only once the caller iterates, and closes however that ends.
        reader = None
        try:
            reader = pd.read_csv(path, dtype=str, keep_default_na=False, na_filter=False,
                                 encoding=_ENCODING, skipinitialspace=True, chunksize=_CHUNK)
            for chunk in reader:
                yield chunk
        except UnicodeDecodeError:
            raise _undecodable(path, header) from None
        except _GZIP_ERRORS as exc:
            raise _cut_off(path, exc) from None
        except (pd.errors.ParserError, pd.errors.EmptyDataError, ValueError) as exc:
            # The parser counts lines through the whole file, not per chunk.
            at = re.search(r"\bline (\d+)", str(exc))
            raise DataImportError(name, "not a readable CSV file: %s" % exc,
                                  line=int(at.group(1)) if at else None) from None
        finally:
            if reader is not None:
                reader.close()
    return header, parts(), "line"


def _open_binary(path):
    return gzip.open(path, "rb") if path.lower().endswith(".gz") else open(path, "rb")


def _undecodable(path, header):
    """The report for a file that is not UTF-8: the first physical line holding a byte
    that is not, the cell it lies in and that cell's text."""
    name = os.path.basename(path)
    try:
        with _open_binary(path) as handle:
            for number, raw in enumerate(handle, 1):
                if number == 1 and raw.startswith(codecs.BOM_UTF8):
                    raw = raw[len(codecs.BOM_UTF8):]
                try:
                    text = raw.decode("utf-8")
                    if number == 1 and header is None:
                        header = [c.strip() for c in next(csv.reader([text]), [])]
                except UnicodeDecodeError as exc:
                    problem = "not UTF-8 text (byte 0x%02x)" % raw[exc.start]
                    text = raw.decode("utf-8", "surrogateescape").rstrip("\r\n")
                    cells = next(csv.reader([text]), [])
                    for k, cell in enumerate(cells):
                        if any("\udc80" <= ch <= "\udcff" for ch in cell):
                            column = header[k] if number > 1 and header and k < len(
                                header) else None
                            value = cell.encode("utf-8", "surrogateescape").decode(
                                "utf-8", "replace")
                            return DataImportError(name, problem, line=number, column=column,
                                                   value=value)
                    return DataImportError(name, problem, line=number)
    except _GZIP_ERRORS + (OSError,):
        pass
    return DataImportError(name, "not UTF-8 text")


def _cut_off(path, exc):
    """The report for a compressed file that is damaged or ends early, at the line where
    its readable part breaks off."""
    try:
        lines, partial = _readable_lines(path)
    except OSError:
        lines, partial = None, False
    name, problem = os.path.basename(path), "the compressed file is damaged or cut off (%s)" % exc
    if lines is None:
        return DataImportError(name, problem)
    if partial:
        return DataImportError(name, problem + "; its readable part breaks off within this"
                               " line", line=lines + 1)
    if lines:
        return DataImportError(name, problem + "; its readable part ends with this line",
                               line=lines)
    return DataImportError(name, problem + "; nothing of it can be read")


def _readable_lines(path):
    """(complete lines, whether a part of one more follows) of what a gzip file yields
    before it breaks off.

    The gzip module drops the text of the read that fails, so the stream is inflated here
    block by block; the block that fails is inflated again byte by byte from a copy of the
    state before it, which yields every byte that can be read.
    """
    lines, last = 0, b"\n"
    inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)

    def feed(state, data):
        nonlocal lines, last
        while data:
            out = state.decompress(data)
            if out:
                lines += out.count(b"\n")
                last = out[-1:]
            if not state.eof:
                return state
            # A gzip file may hold several members one after the other.
            data = state.unused_data
            state = zlib.decompressobj(16 + zlib.MAX_WBITS)
        return state

    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 16), b""):
            saved = (inflater.copy(), lines, last)
            try:
                inflater = feed(inflater, block)
            except zlib.error:
                inflater, lines, last = saved
                try:
                    for k in range(len(block)):
                        inflater = feed(inflater, block[k:k + 1])
                except zlib.error:
                    pass
                break
    return lines, last != b"\n"


def _csv_header(path):
    opener = gzip.open if path.lower().endswith(".gz") else open
    try:
        with opener(path, "rt", encoding=_ENCODING, newline="") as handle:
            for row in csv.reader(handle):
                if row:
                    return [cell.strip() for cell in row]
    except UnicodeDecodeError:
        raise _undecodable(path, None) from None
    except _GZIP_ERRORS as exc:
        raise _cut_off(path, exc) from None
    except (OSError, csv.Error) as exc:
        raise DataImportError(os.path.basename(path), "not a readable CSV file: %s" % exc) \
            from None
    return []


def _parquet_as_text(frame, name):
    """Parquet columns in their native types, rendered as the text a CSV would hold."""
    import numpy as np
    import pandas as pd

    out = {}
    for col in frame.columns:
        s = frame[col]
        missing = s.isna().to_numpy()
        if pd.api.types.is_datetime64_any_dtype(s):
            if s.dt.tz is not None:
                s = _market_days(s, name, str(col).strip())
            text = s.dt.strftime("%Y-%m-%d")
        elif pd.api.types.is_float_dtype(s):
            text = pd.Series([_float_text(v) for v in s.to_numpy()], index=s.index)
        else:
            text = s.map(lambda v: v.isoformat() if hasattr(v, "isoformat") else str(v))
        out[str(col).strip()] = pd.Series(np.where(missing, "", text.astype(object).to_numpy()),
                                          index=s.index, dtype=object)
    return pd.DataFrame(out, index=frame.index)


# Trading days are days of the exchanges' own clock.
_MARKET_ZONE = "Asia/Shanghai"


def _market_days(s, name, column):
    """Timestamps with a time zone as Shanghai time. A day of the store stored that way
    is midnight there (often written in UTC, 16:00 the day before); any other time of day
    leaves open which day was meant, so it is refused rather than cut off."""
    local = s.dt.tz_convert(_MARKET_ZONE)
    off = (local.notna() & (local != local.dt.normalize())).to_numpy()
    if off.any():
        k = int(off.argmax())
        raise DataImportError(
            name, "a timestamp with a time zone is read as the day in %s, so it must be"
            " midnight there; this one is %s there" % (
                _MARKET_ZONE, local.iloc[k].strftime("%Y-%m-%d %H:%M:%S")),
            line=k + 1, column=column, value=str(s.iloc[k]), unit="row")
    return local.dt.tz_localize(None)


def _float_text(value):
    """A float cell as a CSV would hold it: a whole number as an integer (dates stored as
    20240102.0, which is what an integer column with a gap becomes), a float32 by its
    shortest decimal form (9.44, not the 9.4399995803833 of its exact value)."""
    import numpy as np

    number = float(value)
    if number.is_integer() and abs(number) < 2 ** 53:
        return "%d" % number
    if isinstance(value, np.float32):
        return str(value)
    return repr(number)


def _checked_chunks(table, path, context):
    """Yield (fraction of the table done, checked rows, locate) chunk by chunk.

    `locate(k, column, problem)` raises the report for row k of the chunk just yielded.
    Updates `context` with what later tables are checked against (calendar, known ids).
    """
    import numpy as np
    import pandas as pd

    layout = _layouts()[table]
    name = os.path.basename(path)
    header, parts, unit = _chunks(path)
    known = [c[0] for c in layout]
    for col in header:
        if col not in known:
            raise DataImportError(name, "unknown column (columns of %s: %s)"
                                  % (table, ", ".join(known)), line=1, column=col, unit=unit)
    for col in header:
        if header.count(col) > 1:
            raise DataImportError(name, "column given twice", line=1, column=col, unit=unit)
    for col, kind, nullable, default in layout:
        if col not in header and default is _REQUIRED:
            raise DataImportError(name, "missing column (columns of %s: %s)"
                                  % (table, ", ".join(known)), line=1, column=col, unit=unit)
    if table == "trading_dates":
        context["calendar"] = set()
        context["calendar_array"] = np.zeros(0, dtype=np.int64)
    if table == "instruments":
        context["known"], context["indices"] = set(), set()
    if table == "prices":
        # Without factors the store would read every split and dividend as a price move;
        # they are worked out from the dividends and splits once those are in.
        context["derive_factors"] = name if "adj_factor" not in header else None
    expected_rows = max(_count_lines(path) - 1, 1) if unit == "line" else _CHUNK
    offset = 0
    for frame in parts:
        frame.columns = header if len(frame.columns) == len(header) else frame.columns
        n = len(frame)

        def report(k, column, problem, values=None, offset=offset, frame=frame):
            value = (values[column][2][k] if values is not None
                     else str(frame[column].iloc[k]).strip() if column in frame else None)
            line = _csv_line(path, offset + k) if unit == "line" else offset + k + 1
            raise DataImportError(name, problem, line=line, column=column, value=value,
                                  unit=unit)

        problems, values = [], {}
        for col, kind, nullable, default in layout:
            if col in frame.columns:
                raw = frame[col]
            else:
                raw = pd.Series([default or ""] * n, dtype=object, index=frame.index)
            parsed, bad, empty, text, problem = _parse_column(kind, raw, context)
            if not nullable:
                problems.append((empty, col, "empty cell"))
            problems.append((bad & ~empty, col, problem))
            values[col] = (parsed, empty, text)
        problems.extend(_row_checks(table, values))
        if table == "dividends":
            problems.append(_repeated_book_closure(values, context, offset, path, unit))
        if table == "instruments":
            for column in _NAME_SETS:
                problems.append(_one_set(column, values, context, offset, path, unit))
        if table == "prices":
            problems.append(_outside_listing(values, context))
        first = None
        for mask, col, message in problems:
            hits = np.flatnonzero(mask)
            if len(hits) and (first is None or hits[0] < first[0]):
                first = (int(hits[0]), col, message)
        if first is not None:
            report(*first, values=values)
        if table == "trading_dates":
            context["calendar"].update(values["date"][0].tolist())
            context["calendar_array"] = np.fromiter(context["calendar"], dtype=np.int64)
        if table == "index_weights":
            _add_weight_sums(values, context, offset)
        if table in ("dividends", "splits") and context.get("derive_factors"):
            _add_actions(table, values, context, offset, path, unit)
        if table == "instruments":
            ids = values["order_book_id"][0].tolist()
            context["known"].update(ids)
            delisted, open_ended = values["de_listed_date"][:2]
            context.setdefault("listing", {}).update(zip(ids, zip(
                values["listed_date"][0].tolist(),
                np.where(open_ended, _LAST_YMD + 1, delisted).tolist())))
            context["indices"].update(
                i for i, t in zip(ids, values["type"][0].tolist()) if t == "INDX")
        columns_out = []
        for col, kind, nullable, default in layout:
            parsed, empty, _ = values[col]
            if nullable and empty.any():
                columns_out.append([None if e else v
                                    for v, e in zip(parsed.tolist(), empty.tolist())])
            else:
                columns_out.append(parsed.tolist())
        rows = list(zip(*columns_out))
        offset += n
        yield min(offset / expected_rows, 1.0), rows, (
            lambda k, col, problem, report=report: report(k, col, problem))
    if table == "index_weights":
        _check_weight_sums(context, path, unit)


def _line_of(path, unit, record):
    """Line (CSV) or row number (Parquet) of data record `record` (0-based)."""
    return _csv_line(path, record) if unit == "line" else record + 1


def _add_actions(table, values, context, offset, path, unit):
    """Keep what each ex date does to the shares: {(id, ex date): [cash per share, new
    shares per old one, where its dividend row is]}."""
    actions = context.setdefault("actions", {})
    oids = values["order_book_id"][0].tolist()
    if table == "dividends":
        lots = values["round_lot"][0]
        cash = (values["dividend_cash_before_tax"][0] / lots).tolist()
        texts = values["dividend_cash_before_tax"][2]
        for k, (oid, ex, c) in enumerate(zip(oids, values["ex_dividend_date"][0].tolist(),
                                             cash)):
            entry = actions.setdefault((oid, ex), [0.0, 1.0, None])
            entry[0], entry[2] = c, (path, unit, offset + k, texts[k], int(lots[k]))
    else:
        ratio = (values["split_coefficient_to"][0] / values["split_coefficient_from"][0])
        for oid, ex, r in zip(oids, values["ex_date"][0].tolist(), ratio.tolist()):
            actions.setdefault((oid, ex), [0.0, 1.0, None])[1] = r


def _derive_factors(con, context):
    """Fill adj_factor of a prices file that has none from the dividends and splits: on
    each ex date the factor is multiplied by previous close / reference price, as in the
    sample and in fetched stores, and each row gets the product of the ex dates up to it.
    An ex date before an instrument's first close changes nothing (only ratios count)."""
    by_instrument = {}
    for (oid, ex), entry in sorted(context.get("actions", {}).items()):
        by_instrument.setdefault(oid, []).append((ex, entry))
    previous_sql = ("SELECT close, date FROM prices WHERE order_book_id = ? AND date < ?"
                    " ORDER BY date DESC LIMIT 1")
    update_sql = ("UPDATE prices SET adj_factor = ? WHERE order_book_id = ? AND date >= ?"
                  " AND date < ?")
    for oid, events in by_instrument.items():
        factor, steps = 1.0, []
        for ex, (cash, ratio, row) in events:
            found = con.execute(previous_sql, (oid, ex)).fetchone()
            if found is None:
                continue
            close, day = found
            if cash >= close:
                # No ex-date price is left to measure the next day's change from: the cash
                # is almost surely given per more shares than round_lot says.
                path, unit, record, text, lot = row
                raise DataImportError(
                    os.path.basename(path), "the cash per %d shares is %r a share, not less"
                    " than the close of %r on %04d-%02d-%02d, the last before the ex date;"
                    " %s has no adj_factor column, so the factors are worked out from the"
                    " dividends, which needs the cash as paid per round_lot shares" % (
                        lot, round(cash, 6), close, day // 10000, day // 100 % 100, day % 100,
                        context["derive_factors"]),
                    line=_line_of(path, unit, record), column="dividend_cash_before_tax",
                    value=text, unit=unit)
            factor *= close / ex_reference(close, cash, ratio)
            steps.append((ex, factor))
        for (ex, value), (end, _) in zip(steps, steps[1:] + [(_LAST_YMD + 1, None)]):
            con.execute(update_sql, (value, oid, ex, end))


def _repeated_book_closure(values, context, offset, path, unit):
    """A second dividend of one instrument with the same book-closure date: the provider
    looks dividends up by that date and would serve one of them only, so the file must
    give one row with the sum of their cash."""
    import numpy as np

    seen = context.setdefault("book_closures", {})
    oids, dates = values["order_book_id"][0], values["book_closure_date"][0]
    bad = np.zeros(len(oids), dtype=bool)
    first = None
    for k, key in enumerate(zip(oids.tolist(), dates.tolist())):
        earlier = seen.setdefault(key, offset + k)
        if earlier != offset + k:
            bad[k] = True
            first = earlier if first is None else first
    message = ""
    if first is not None:
        message = ("a second dividend of this order_book_id with the same book_closure_date"
                   " (the first is on %s %d); give one row with the sum of their cash" % (
                       unit, _line_of(path, unit, first)))
    return bad, "book_closure_date", message


def _one_set(column, values, context, offset, path, unit):
    """The names of a classification column all of one set: the first name found in one
    set only chooses it (kept in context["sets"]); a later name of another set only is
    refused, naming the row that chose."""
    import numpy as np
    import pandas as pd

    key, _, _, only = _NAME_SETS[column]
    parsed, empty, _ = values[column]
    owner = pd.Series(parsed, dtype=object).map(only).to_numpy(dtype=object)
    decided = (~empty) & pd.notna(owner)
    chosen = context.setdefault("sets", {}).get(key)
    if chosen is None and decided.any():
        k = int(np.flatnonzero(decided)[0])
        chosen = context["sets"][key] = (owner[k], offset + k, parsed[k])
    if chosen is None:
        return np.zeros(len(parsed), dtype=bool), column, ""
    bad = decided & (owner != chosen[0])
    message = ""
    if bad.any():
        other = owner[int(np.flatnonzero(bad)[0])]
        message = ("a name of %s, but %s %d names %r, of %s: the names of a store are all of"
                   " one set" % (_SET_DESCRIPTIONS[other], unit, _line_of(path, unit, chosen[1]),
                                 chosen[2], _SET_DESCRIPTIONS[chosen[0]]))
    return bad, column, message


def _sets_found(context):
    """The meta entries naming the sector sets an import's instruments use: those their
    names chose, else the sample's (every name of theirs is in both sets, or none given)."""
    chosen = context.get("sets", {})
    defaults = {"shenwan_set": "sw2014", "sector_set": "msci10"}
    return {key: chosen[key][0] if key in chosen else default
            for key, default in defaults.items()}


def _add_weight_sums(values, context, offset):
    import pandas as pd

    sums = context.setdefault("weight_sums", {})
    frame = pd.DataFrame({"index_id": values["index_id"][0], "date": values["date"][0],
                          "weight": values["weight"][0]})
    frame["record"] = range(offset, offset + len(frame))
    grouped = frame.groupby(["index_id", "date"], sort=False).agg(
        weight=("weight", "sum"), record=("record", "min"))
    for key, weight, record in zip(grouped.index, grouped["weight"], grouped["record"]):
        entry = sums.get(key)
        sums[key] = (weight, record) if entry is None else (entry[0] + weight, entry[1])


def _check_weight_sums(context, path, unit):
    """Each date's weights of an index sum to 1 (within rounding); reported at the date's
    first row."""
    bad = [(record, key, total) for key, (total, record) in context.get("weight_sums", {})
           .items() if abs(total - 1.0) > _WEIGHT_TOLERANCE]
    if bad:
        record, (index_id, ymd), total = min(bad)
        raise DataImportError(
            os.path.basename(path), "the weights of %s on %04d-%02d-%02d sum to %s, not 1"
            " (within %s); this row is the first of that date" % (
                index_id, ymd // 10000, ymd // 100 % 100, ymd % 100, round(total, 6),
                _WEIGHT_TOLERANCE), line=_line_of(path, unit, record), column="weight",
            value=str(round(total, 6)), unit=unit)


def _parse_column(kind, raw, context):
    """(parsed, bad, empty, text, problem) for one column of a chunk.

    Cells are parsed as they are; only the cells that fail are stripped of surrounding
    blanks and parsed again, which keeps the common case free of per-cell Python work.
    """
    import numpy as np

    raw = raw.astype(object)
    text = raw.to_numpy(dtype=object)
    empty = (raw == "").to_numpy()
    parsed, bad, problem = _parse(kind, raw, context)
    retry = bad & ~empty
    if retry.any():
        stripped = raw[retry].str.strip()
        again, still_bad, _ = _parse(kind, stripped, context)
        parsed = parsed.copy()
        parsed[retry] = again
        bad = bad.copy()
        bad[retry] = still_bad
        now_empty = (stripped == "").to_numpy()
        empty = empty.copy()
        empty[retry] = now_empty
        text = text.copy()
        text[retry] = stripped.to_numpy(dtype=object)
    if kind in _ID_KINDS:
        hits = np.flatnonzero(bad & ~empty)
        if len(hits):
            problem = _id_problem(kind, problem, text[hits[0]], context)
    return parsed, bad, empty, text, problem


_ID_KINDS = ("id", "known", "index", "exchange")


def _store_form(text):
    """The store's form of an id written as other systems write it (600000.SH, SH600000,
    sh.600000, 600000.xshg), or of an exchange name (SH, SZSE); None when there is none."""
    text = str(text).strip()
    upper = text.upper()
    if upper in _EXCHANGES or upper in _EXCHANGE_ALIASES:
        return _EXCHANGE_ALIASES.get(upper, upper)
    m = _FOREIGN_ID.match(text)
    if not m:
        return None
    code, name = (m.group(2), m.group(1)) if m.group(2) else (m.group(3), m.group(4))
    exchange = _EXCHANGE_ALIASES.get(name.upper(), name.upper())
    return "%s.%s" % (code, exchange) if exchange in _EXCHANGES else None


def _id_problem(kind, problem, value, context):
    """The report for a bad id or exchange cell, saying what to write when the cell is
    another system's form of one the store knows."""
    form = _store_form(value)
    if kind == "exchange":
        return problem + ("; write %s" % form if form and "." not in form else "")
    if kind == "id":
        return problem + ("; write %s" % form if form else ", as 600000.XSHG")
    known = context.get("indices" if kind == "index" else "known", ())
    if form and form in known:
        return problem + "; write %s, as instruments has it" % form
    return problem


def _parse(kind, s, context):
    """(parsed values, bad mask, problem text) for a column of text cells (object Series)."""
    import numpy as np
    import pandas as pd

    if kind in ("date", "tdate"):
        ymd, bad = _parse_dates(s)
        if kind == "tdate":
            off = ~np.isin(ymd, context.get("calendar_array", np.zeros(0, dtype=np.int64)))
            return ymd, bad | off, ("not a date (YYYY-MM-DD or YYYYMMDD, 1900 to 2199) or"
                                    " not a trading date of trading_dates")
        return ymd, bad, "not a date (YYYY-MM-DD or YYYYMMDD, 1900 to 2199)"
    if kind in ("real", "positive", "nonneg", "posint"):
        num = pd.to_numeric(s, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
        ok = np.isfinite(num) & (np.abs(num) < 1e100)
        if kind == "real":
            return num, ~ok, "not a finite number"
        if kind == "positive":
            return num, ~(ok & (num > 0)), "not a positive number"
        if kind == "nonneg":
            return num, ~(ok & (num >= 0)), "not a non-negative number"
        whole = ok & (num > 0) & (num == np.round(num)) & (num < 2 ** 31)
        return np.where(whole, num, 0).astype(np.int64), ~whole, "not a positive whole number"
    values = s.to_numpy(dtype=object)
    if kind == "id":
        ok = s.str.match(_ID_PATTERN).fillna(False).to_numpy(dtype=bool)
        return values, ~ok, ("not an order_book_id: six digits, a point and the exchange"
                             " (XSHG Shanghai, XSHE Shenzhen, BJSE Beijing, INDX industry"
                             " indices)")
    if kind == "text":
        return values, np.zeros(len(s), dtype=bool), ""
    allowed = {"type": _schema.INSTRUMENT_TYPES, "exchange": _EXCHANGES,
               "msci": _NAME_SETS["sector_code_name"][2],
               "shenwan": _NAME_SETS["shenwan_industry_name"][2],
               "known": context.get("known", ()), "index": context.get("indices", ())}[kind]
    bad = ~s.isin(list(allowed)).to_numpy(dtype=bool)
    problem = {
        "type": "not an instrument type (%s)" % ", ".join(_schema.INSTRUMENT_TYPES),
        "exchange": "not an exchange (%s)" % ", ".join(_EXCHANGES),
        "msci": "not an MSCI sector name (of the 10 sectors or of the 11 with 通信服务 and"
                " 房地产)",
        "shenwan": "not a Shenwan level-1 industry name (of the 28 of 2014 or of the 31 of"
                   " the 2021 revision)",
        "known": "not an order_book_id of instruments",
        "index": "not an index (an instrument of type INDX)",
    }[kind]
    return values, bad, problem


_DATE_RE = re.compile(
    r"^(\d{4})-?(\d{2})-?(\d{2})(?:[ T](\d{2}):(\d{2})(?::(\d{2})(?:\.\d+)?)?)?$", re.ASCII)


def _parse_dates(s):
    """yyyymmdd integers and a bad mask for text dates; the two plain forms go through
    pandas' compiled parser, anything else through the pattern. Dates outside 1900 to
    2199 are bad: pandas reads year 0 happily, but no date of the client can hold it."""
    import numpy as np
    import pandas as pd

    n = len(s)
    ymd = np.zeros(n, dtype=np.int64)
    todo = np.ones(n, dtype=bool)
    for fmt, width in (("%Y-%m-%d", 10), ("%Y%m%d", 8)):
        if not todo.any():
            break
        part = s[todo]
        parsed = pd.to_datetime(part, format=fmt, errors="coerce")
        # strptime-style parsing accepts '2020-1-3'; only the full-width text counts here.
        hit = (parsed.notna() & (part.str.len() == width)).to_numpy(dtype=bool)
        where = np.flatnonzero(todo)[hit]
        got = parsed[hit]
        ymd[where] = (got.dt.year * 10000 + got.dt.month * 100 + got.dt.day).to_numpy()
        todo[where] = False
    if todo.any():
        where = np.flatnonzero(todo)
        for pos, text in zip(where, s.to_numpy(dtype=object)[where]):
            m = _DATE_RE.match(text) if isinstance(text, str) else None
            if not m:
                continue
            y, mo, d = int(m.group(1)), int(m.group(2)), int(m.group(3))
            try:
                _dt.date(y, mo, d)
                # The time of day is ignored, but it must be one.
                _dt.time(int(m.group(4) or 0), int(m.group(5) or 0), int(m.group(6) or 0))
            except ValueError:
                continue
            ymd[pos] = y * 10000 + mo * 100 + d
            todo[pos] = False
    return ymd, todo | (ymd < _FIRST_YMD) | (ymd > _LAST_YMD)


def _row_checks(table, values):
    """Checks between columns of one row."""
    def later(a, b, message, strict):
        pa, ea, _ = values[a]
        pb, eb, _ = values[b]
        bad = (pb < pa) if not strict else (pb <= pa)
        return [(bad & ~ea & ~eb, b, message)]

    if table == "instruments":
        return later("listed_date", "de_listed_date", "de_listed_date is not after listed_date",
                     strict=True) + [_exchange_of_id(values)]
    if table == "st_periods":
        return later("start_date", "end_date", "end_date is before start_date", strict=False)
    if table == "dividends":
        return later("book_closure_date", "ex_dividend_date",
                     "ex_dividend_date is before book_closure_date", strict=False)
    return []


def _outside_listing(values, context):
    """A close only while its instrument is listed: from listed_date up to the day before
    de_listed_date, the first day it no longer is (the client lists an instrument on
    listed_date <= day < de_listed_date). A close past the delisting would value a
    holding of a stock that is gone at a price nobody could trade at."""
    import numpy as np
    import pandas as pd

    listing = context.get("listing", {})
    oids, days = values["order_book_id"][0], values["date"][0]
    # Looked up by a hash index, not id by id: a prices file has millions of rows.
    # Unknown ids are reported by their own check; here they are never outside.
    spans = np.array([(0, _LAST_YMD + 1)] + list(listing.values()),
                     dtype=np.int64).reshape(-1, 2)
    span = spans[pd.Index(list(listing), dtype=object).get_indexer(oids) + 1]
    early, late = days < span[:, 0], days >= span[:, 1]
    bad = early | late
    message = ""
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        if early[k]:
            why = "its listed_date is %s" % _iso(span[k, 0])
        else:
            why = "its de_listed_date is %s, the first day it is no longer listed" % _iso(
                span[k, 1])
        message = "a close of %s on %s, a day it is not listed: %s" % (
            oids[k], _iso(days[k]), why)
    return bad, "date", message


def _iso(ymd):
    ymd = int(ymd)
    return "%04d-%02d-%02d" % (ymd // 10000, ymd // 100 % 100, ymd % 100)


def _exchange_of_id(values):
    """The exchange column says what the id's suffix says: the client and meridan take an
    instrument's exchange from either, and the two must not disagree."""
    import numpy as np

    ids, exchanges = values["order_book_id"][0], values["exchange"][0]
    suffixes = np.array([str(i).rpartition(".")[2] for i in ids.tolist()], dtype=object)
    bad = suffixes != exchanges
    message = ""
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        message = "not the exchange of order_book_id %s: write %s" % (ids[k], suffixes[k])
    return bad, "exchange", message


def _count_lines(path):
    """Lines of a plain CSV file (for the progress bar only; compressed files are not
    counted and report their progress chunk by chunk)."""
    if path.lower().endswith(".gz"):
        return _CHUNK
    count = 0
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            count += block.count(b"\n")
    return count


def _csv_line(path, record):
    """Physical line on which data record `record` (0-based, header excluded) starts."""
    opener = gzip.open if path.lower().endswith(".gz") else open
    with opener(path, "rt", encoding=_ENCODING, newline="") as handle:
        reader = csv.reader(handle)
        seen = -1   # the header is record -1
        end_of_previous = 0
        for row in reader:
            if not row:  # blank lines are skipped by the reader above too
                end_of_previous = reader.line_num
                continue
            if seen == record:
                return end_of_previous + 1
            seen += 1
            end_of_previous = reader.line_num
    return record + 2
