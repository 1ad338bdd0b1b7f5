"""Fills a store with the real market, fetched from baostock.

The fetched rows are written as the importer's own CSV files into a temporary folder (in
the system's temporary directory; the closes stream there as they arrive, so memory stays
small) and imported from there: the same checks and the same atomic writer as `tickvane
import`, so a fetched store is exactly as sound as an imported one, and a failure anywhere
(the source, a check, Ctrl-C) leaves the previous store as it was and no file beside it.
Fetching comes first, writing last: the slow part (the requests) never holds a temporary
store file open. A re-run over a store fetched with the same start and universe reads its
rows back and asks the source for the days after it only.

What each table holds and where it comes from is described in SCHEMA.md ("Fetched
stores").
"""

import bisect
import csv
import datetime as _dt
import os
import re
import sys
import tempfile

from . import _factors, _manage
from ._dates import to_ordinal
from ._sources_baostock import Baostock, SourceError, to_code, to_order_book_id

DEFAULT_START = "2015-01-01"
DEFAULT_PACE = 0.05   # seconds between two requests
BATCH_DAYS = 366      # calendar days fetched and written at a time
# Index universes: order_book_id, name and base date of the index.
INDICES = {
    "hs300": ("000300.XSHG", "沪深300", "2005-04-08"),
    "zz500": ("000905.XSHG", "中证500", "2007-01-15"),
}
# baostock's security types and the store's.
_TYPES = {"1": "CS", "2": "INDX", "5": "ETF"}
# Tables no source of this command fills yet.
_NOT_FETCHED = ("yield_curve",)
_TREASURY = "the China government bond yield curve (中债国债收益率曲线)"
_WEIGHTS_NOTE = ("approximation: each member's tradable capitalisation (close x volume /"
                 " turnover rate) over the members' sum, on the first day, each month's"
                 " last trading day and each membership change")
_FACTORS_NOTE = ("this package's own style-factor model, computed from the fetched closes,"
                 " dividends, index members and the bars' turnover, pbMRQ and peTTM; no"
                 " leverage")
# When a dry run cannot know the members: a rough allowance for an index's turnover (new
# members per year, as a share of its size).
_TURNOVER = 0.15
# Seconds one request takes besides the pacing, for the dry run's estimate.
_LATENCY = 0.15
# The CSRC industry classification (2012 edition: a division letter and a two-digit
# major group, as in "C39计算机、通信和其他电子设备制造业") mapped to the store's ten
# MSCI-style sectors. A major group listed here overrides its division. Real estate (K)
# is 金融, as in the ten-sector scheme; media (R) is 非必需消费品.
_SECTOR_OF_DIVISION = {
    "A": "必需消费品", "B": "原材料", "C": "工业", "D": "公共服务", "E": "工业",
    "F": "工业", "G": "工业", "H": "非必需消费品", "I": "信息技术", "J": "金融",
    "K": "金融", "L": "工业", "M": "工业", "N": "工业", "O": "非必需消费品",
    "P": "非必需消费品", "Q": "医疗保健", "R": "非必需消费品", "S": "工业",
}
_SECTOR_OF_GROUP = {
    "06": "能源", "07": "能源", "11": "能源", "25": "能源",
    "13": "必需消费品", "14": "必需消费品", "15": "必需消费品", "16": "必需消费品",
    "17": "非必需消费品", "18": "非必需消费品", "19": "非必需消费品",
    "21": "非必需消费品", "24": "非必需消费品", "36": "非必需消费品", "52": "非必需消费品",
    "20": "原材料", "22": "原材料", "26": "原材料", "28": "原材料", "29": "原材料",
    "30": "原材料", "31": "原材料", "32": "原材料", "33": "原材料",
    "27": "医疗保健", "39": "信息技术", "40": "信息技术", "63": "电信服务",
}
_CSRC = re.compile(r"^\s*([A-S])(\d{2})")
_CODE = re.compile(r"^(?:(sh|sz)\.(\d{6})|(\d{6})\.(XSHG|XSHE))$", re.IGNORECASE)
_NUMBER = re.compile(r"^\s*(\d+(?:\.\d*)?|\.\d+)")


class Universe:
    """What `--universe` asks for: index names, 'all', single codes, files of codes
    (one or more a line, separated by blanks or commas), and broker statements (the
    codes of their trades and of their other rows that name a security, read by
    meridan when it is installed)."""

    def __init__(self, text):
        self.text = text
        self.indices, self.codes, self.all = [], [], False
        tokens = [t.strip() for t in str(text).split(",")]
        if not any(tokens):
            raise ValueError("empty universe %r: give hs300, zz500, all or stock codes"
                             % (text,))
        for token in tokens:
            if not token:
                continue
            lower = token.lower()
            m = _CODE.match(token)
            if lower in INDICES:
                if lower not in self.indices:
                    self.indices.append(lower)
            elif lower == "all":
                self.all = True
            elif m:
                self._add(m)
            elif os.path.isfile(token):
                self._read(token)
            else:
                raise ValueError(
                    "unknown universe entry %r in %r: use hs300, zz500, all, codes such"
                    " as 600000.XSHG or sh.600000, or a file of codes, separated by commas"
                    % (token, text))

    def _add(self, m):
        oid = ("%s.%s" % (m.group(3), m.group(4).upper()) if m.group(3)
               else to_order_book_id("%s.%s" % (m.group(1).lower(), m.group(2))))
        if oid not in self.codes:
            self.codes.append(oid)

    def _read(self, path):
        codes, problem = _statement_codes(path)
        if codes is not None:
            for oid in codes:
                m = _CODE.match(oid)
                if m:
                    self._add(m)
            return
        try:
            with open(path, encoding="utf-8-sig") as handle:
                lines = handle.read().splitlines()
        except (OSError, UnicodeDecodeError) as exc:
            raise ValueError("cannot read the universe file %s: %s%s"
                             % (path, exc, _not_statement(problem))) from None
        for number, line in enumerate(lines, 1):
            for cell in re.split(r"[\s,]+", line.strip()):
                m = _CODE.match(cell)
                if cell and not m:
                    raise ValueError("%s, line %d: not a code such as 600000.XSHG or"
                                     " sh.600000 (value %r)%s"
                                     % (path, number, cell, _not_statement(problem)))
                if m:
                    self._add(m)


def _statement_codes(path):
    """(codes, None): the codes a broker statement at `path` names, trades first, in the
    order they first appear; (None, why) when meridan is not installed (why is None) or
    the file cannot be read as a statement. meridan is imported here only: tickvane
    does not need it."""
    try:
        import meridan.statement as reader
    except ImportError:
        return None, None
    import warnings

    try:
        with warnings.catch_warnings():
            # Columns left unread do not matter here: only the codes are wanted.
            warnings.simplefilter("ignore")
            found = reader.normalise_statement(reader.read_statement(path))
    except Exception as exc:   # noqa: BLE001 - any file that is no statement
        return None, str(exc) or type(exc).__name__
    events = found.events
    # The kinds whose code names no stock to replay (a repo's, a tax's): left out.
    unchecked = getattr(reader, "_UNCHECKED_KINDS", ())
    named = events[~events["kind"].isin(list(unchecked)) & (events["order_book_id"] != "")]
    codes = dict.fromkeys(list(found.frame["order_book_id"]) + list(named["order_book_id"]))
    return list(codes), None


def _not_statement(problem):
    return "; nor is it a broker statement (%s)" % problem if problem else ""


def fetch(start=None, end=None, universe="hs300,zz500", store=None, dry_run=False,
          pace=DEFAULT_PACE, retries=3, progress=True, force=False, library=None,
          out=None, today=None, batch_days=BATCH_DAYS):
    """Fetch the market from `start` to `end` into the store at `store`; see
    tickvane.fetch. Returns the store's path, or the plan (a dict) for a dry run.

    The range is fetched in batches of `batch_days` calendar days, each written to the
    store before the next begins (a re-run over the store as it stands): an interrupted
    fetch loses the batch in flight only, and running it again goes on from there."""
    out = out if out is not None else sys.stdout
    today = today or _dt.date.today()
    start = _iso(start or DEFAULT_START, "start")
    end = _iso(end or today.isoformat(), "end")
    if end < start:
        raise ValueError("end %s is before start %s" % (end, start))
    if pace is None or not pace >= 0:
        raise ValueError("pace must be a number of seconds >= 0, not %r" % (pace,))
    wanted = Universe(universe)
    target = _manage.resolve(store)
    if dry_run:
        plan = _plan(start, end, wanted, pace)
        _print_plan(plan, target, out)
        return plan
    _check_target(target, force)
    previous = _previous(target, start, end, wanted)
    done = previous["days"][-1] if previous else None
    if previous is None and os.path.isfile(target):
        from ._writer import _read_meta

        meta = _read_meta(target)[0] or {}
        if meta.get("source") == "fetch":
            out.write("note: the store at %s was fetched from %s to %s for %s; this fetch"
                      " (from %s to %s for %s) replaces it whole\n" % (
                          target, meta.get("fetch_start", "?"), meta.get("end_date", "?"),
                          meta.get("universe", "?"), start, end, wanted.text))
    ends = [e for e in _batch_ends(start, end, batch_days) if done is None or e > done]
    source = Baostock(library, pace=pace, retries=retries)
    bar = _Bar(progress, "tickvane fetch")
    memo = {"end": end, "target": target, "akshare": _akshare(pace, retries)}
    notes, written = [], False
    try:
        with source:
            for k, batch_end in enumerate(ends):
                if k:
                    previous = _previous(target, start, batch_end, wanted)
                if len(ends) > 1:
                    bar = _Bar(progress, "tickvane fetch, batch %d of %d (to %s)"
                               % (k + 1, len(ends), batch_end))
                written |= _batch(source, start, batch_end, wanted, bar, previous, memo,
                                  target, progress, notes)
    except BaseException:
        bar.fail()
        raise
    finally:
        _manage.forget_if_current(target)
    if not written:
        if done is None:
            raise SourceError("baostock knows no trading day from %s to %s" % (start, end))
        out.write("the store at %s is up to date (%s): nothing was written\n"
                  % (target, done))
    for note in dict.fromkeys(notes):  # a batch repeats what an earlier one found
        out.write("note: %s\n" % note)
    return target


def _batch(source, start, end, wanted, bar, previous, memo, target, progress, notes):
    """Fetch up to `end` and write the store; False when there was nothing new."""
    from ._importer import DataImportError, import_folder

    with tempfile.TemporaryDirectory(prefix="tickvane-fetch-") as folder:
        found = _collect(source, start, end, wanted, bar, folder, previous, memo)
        if found is None:
            return False
        tables, found_notes, last = found
        tables.update(_factor_tables(folder, tables, memo, target, previous, wanted))
        notes.extend(found_notes)
        bar.close("%d requests to baostock so far" % source.requests)
        meta = {
            "source": "fetch", "fetched_from": "baostock", "fetched_at": _utc_now(),
            "fetch_start": start, "start_date": tables["trading_dates"][1][0],
            "end_date": last, "universe": wanted.text,
            "not_fetched": ", ".join(_NOT_FETCHED), "index_weights": _WEIGHTS_NOTE,
            "factors": _FACTORS_NOTE,
            "sectors": "MSCI-style sectors mapped from the CSRC industries of %s; no"
                       " Shenwan industries" % last,
        }
        if previous is not None:
            meta["added_from"] = previous["days"][-1]
        _akshare_meta(meta, memo, previous is not None)
        for table, rows in tables.items():
            _write_csv(os.path.join(folder, table + ".csv"), rows)
        try:
            import_folder(folder, target, progress=progress, force=True, meta=meta,
                          title=bar.title)
        except DataImportError as exc:
            raise SourceError("the fetched data failed the store's checks (%s)" % exc) \
                from None
    return True


def _factor_tables(folder, tables, memo, target, previous, wanted):
    """factor_exposures and factor_returns by this package's own model (_factors.py),
    for the days this batch adds; the estimation universe is the fetched indices'
    members."""
    return _factors.tables(folder, tables, memo, target,
                           previous["days"] if previous else [],
                           previous["stocks"] if previous else set(),
                           {INDICES[key][0] for key in wanted.indices})


def _batch_ends(start, end, batch_days):
    """The last day of each batch: every `batch_days` calendar days from `start`, and
    `end`."""
    first, last = to_ordinal(start), to_ordinal(end)
    ends = [_dt.date.fromordinal(o).isoformat()
            for o in range(first + batch_days - 1, last, max(int(batch_days), 1))]
    return ends + [end]


# ---------------------------------------------------------------------- collecting


def _collect(source, start, end, wanted, bar, folder, previous=None, memo=None):
    """Fetch the tables; closes stream into prices.csv in `folder`, the rest is returned:
    (tables as lists of CSV rows, notes for the user, last trading day), or None when a
    re-run finds no new day. With `previous` (an earlier fetch of the same universe) only
    the days after it are asked for, except for stocks new to the universe."""
    notes = []
    since = start if previous is None else _next_day(previous["days"][-1])
    bar.stage("trading calendar")
    new_days = []
    if since <= end:
        new_days = sorted(r["calendar_date"] for r in source.trade_dates(since, end)
                          if r.get("is_trading_day") == "1"
                          and since <= r["calendar_date"] <= end)
    if not new_days:
        return None
    old_days = previous["days"] if previous else []
    days = old_days + new_days

    bar.stage("list of securities")
    basic = {r["code"]: r for r in source.stock_basic()}

    # index key -> [(trading day, [order_book_ids])]
    members = {key: list(previous["members"].get(key, [])) if previous else []
               for key in wanted.indices}
    stocks = set(wanted.codes) | (previous["stocks"] if previous else set())
    checkpoints = _month_ends(new_days)
    for key in wanted.indices:
        for k, day in enumerate(checkpoints):
            bar.count("%s members by date" % key.upper(), k, len(checkpoints))
            rows = source.index_members(key, day)
            if not rows:
                continue
            on = max(_on_or_after(days, min(r["updateDate"] for r in rows)),
                     new_days[0] if members[key] else days[0])
            ids = sorted({to_order_book_id(r["code"]) for r in rows})
            if members[key] and members[key][-1][1] == ids:
                continue
            if members[key] and members[key][-1][0] == on:
                members[key][-1] = (on, ids)
            else:
                members[key].append((on, ids))
            stocks.update(ids)
    if wanted.all:
        stocks |= _all_stocks(basic, since, end, notes)
    stocks -= {INDICES[key][0] for key in wanted.indices}

    bar.stage("industries")
    industry = _industries(source.industry(days[-1]), stocks)
    instruments, listed, indices = _instruments(stocks, basic, industry, wanted, previous,
                                                notes)
    found = _akshare_collect(memo, new_days, days, wanted, bar)
    instruments = _with_shenwan(instruments, found, days[-1], notes)

    day_set = set(days)
    position = {d: k for k, d in enumerate(days)}
    weight_days = _weight_days(new_days, end, members, previous is None)
    weight_days = sorted(set(weight_days) | set(_official_days(found, new_days)))
    caps = {}
    st, dividends, splits = [], [], []
    last_seen = old_days[-1] if old_days else None
    prices_path = os.path.join(folder, "prices.csv")
    with open(prices_path, "w", encoding="utf-8", newline="") as handle:
        prices = csv.writer(handle)
        prices.writerow(("order_book_id", "date", "close", "adj_factor"))
        # The store takes closes only while a stock is listed, up to the day before its
        # delisting date; a bar outside that, the source's or one an earlier fetch kept,
        # is left out, with a note.
        delisted = {row[0]: row[5] for row in instruments[1:] if row[0] in listed and row[5]}
        if previous is not None:
            for row in previous["prices"]():
                oid, day = row[0], row[1]
                if oid in listed and not listed[oid] <= day < delisted.get(oid, "9999"):
                    notes.append("%s: a close kept from before on %s, when it is not listed"
                                 " (listed %s%s); left out" % (oid, day, listed[oid], (
                                     ", delisted %s" % delisted[oid]) if oid in delisted
                                     else ""))
                    continue
                prices.writerow(row)
        order = sorted(listed)
        for k, oid in enumerate(order):
            bar.count("stocks: daily bars, dividends and splits", k, len(order), True)
            code = to_code(oid)
            first = new_days[0] if previous and oid in previous["stocks"] else days[0]
            bars = [b for b in source.daily_bars(code, first, days[-1])
                    if b["date"] in day_set and b["date"] >= first]
            if bars and (last_seen is None or bars[-1]["date"] > last_seen):
                last_seen = bars[-1]["date"]
            # The factors up to the end of the whole fetch, asked for once.
            memo = {} if memo is None else memo
            if ("factors", code) not in memo:
                memo[("factors", code)] = source.adjust_factors(
                    code, listed[oid], max(memo.get("end", days[-1]), days[-1]))
            factors = memo[("factors", code)]
            events = sorted((f["dividOperateDate"], _number(f["backAdjustFactor"], oid,
                                                            "backAdjustFactor"))
                            for f in factors if f.get("dividOperateDate"))
            event_days = [d for d, _ in events]
            inside = [d for d in event_days if first <= d <= days[-1]]
            explained = set()
            for year in sorted({d[:4] for d in inside}):
                for row in source.dividends(code, year):
                    explained.update(_dividend_rows(oid, row, first, days[-1], day_set,
                                                    dividends, splits, notes))
            unexplained = [d for d in inside if d not in explained]
            if unexplained:
                notes.append("%s: price adjustment on %s without a dividend or bonus shares"
                             " (a rights issue, say); it is in the adjustment factors only"
                             % (oid, ", ".join(unexplained)))
            for b in bars:
                if b.get("tradestatus") != "1":
                    continue   # suspended: no close, whatever the source repeats
                if b["date"] < listed[oid] or b["date"] >= delisted.get(oid, "9999"):
                    notes.append("%s: a bar on %s, when it is not listed (listed %s%s); no"
                                 " price that day" % (oid, b["date"], listed[oid], (
                                     ", delisted %s" % delisted[oid]) if oid in delisted
                                     else ""))
                    continue
                close = _number(b.get("close"), oid, "close on %s" % b["date"], empty=None)
                if close is None or close <= 0:
                    notes.append("%s traded on %s without a close; no price that day"
                                 % (oid, b["date"]))
                    continue
                at = bisect.bisect_right(event_days, b["date"])
                factor = events[at - 1][1] if at else 1.0
                prices.writerow((oid, b["date"], b["close"].strip(), repr(factor)))
            st.extend(_st_runs(oid, bars, position))
            caps.update(_capitalisations(oid, bars, weight_days))
            _factors.keep_inputs(memo, oid, bars)
        bar.stage("index closes")
        for oid in sorted(indices):
            # Index levels: every bar is a traded day, and no factor applies.
            first = new_days[0] if previous and oid in previous["instruments"] else days[0]
            for b in source.index_bars(to_code(oid), first, days[-1]):
                if b["date"] in day_set and b["date"] >= first and _number(
                        b.get("close"), oid, "close on %s" % b["date"], empty=0.0) > 0:
                    prices.writerow((oid, b["date"], b["close"].strip(), "1.0"))

    if last_seen is None or (previous is not None and last_seen == old_days[-1]):
        if previous is not None:
            return None
        last_seen = days[-1]
    if last_seen < days[-1]:
        # Days at the end of the calendar on which nothing of the universe has a bar yet
        # (a fetch before the day's data is published) are left out: they would read as a
        # day on which every stock was suspended.
        notes.append("no bars yet after %s; the store ends there" % last_seen)
        days = [d for d in days if d <= last_seen]
        dividends = [r for r in dividends if r[2] <= last_seen]
        splits = [r for r in splits if r[1] <= last_seen]

    if previous is not None:
        st = previous["st"] + st
        dividends = previous["dividends"] + dividends
        splits = previous["splits"] + splits
    weights = [("index_id", "date", "order_book_id", "weight")] + (
        previous["weights"] if previous else []) + _weights(
            members, wanted, [d for d in weight_days if d <= days[-1]], caps, notes)
    components = [("index_id", "date", "order_book_id")]
    known = set(listed) | (previous["stocks"] if previous else set())
    for key in wanted.indices:
        index_id = INDICES[key][0]
        for day, ids in members[key]:
            if day > days[-1]:
                continue
            missing = [i for i in ids if i not in known]
            if missing:
                notes.append("%s on %s: %d members left out of the store (%s)"
                             % (index_id, day, len(missing), ", ".join(missing[:5])))
            components.extend((index_id, day, i) for i in ids if i in known)
    weights = _with_official_weights(weights, found, known, days[-1], memo, notes)
    tables = {
        "trading_dates": [("date",)] + [(d,) for d in days],
        "instruments": instruments,
        "st_periods": [("order_book_id", "start_date", "end_date")]
        + _st_periods(st, days),
        "index_components": components,
        "index_weights": weights,
        "dividends": [("order_book_id", "book_closure_date", "ex_dividend_date",
                       "payable_date", "dividend_cash_before_tax", "round_lot")]
        + _merged_dividends(dividends, notes),
        "splits": [("order_book_id", "ex_date", "split_coefficient_from",
                    "split_coefficient_to")] + _merged_splits(splits),
    }
    tables.update(_yield_curve_table(found, previous, memo, days, notes))
    return tables, notes, days[-1]


def _previous(target, start, end, wanted):
    """What an earlier fetch of the same start and universe holds, for a re-run that adds
    the days after it; None when there is none (the store is then fetched whole)."""
    import sqlite3

    from ._client import connect_readonly

    if not os.path.isfile(target):
        return None
    try:
        con = connect_readonly(target)
    except sqlite3.Error:
        return None
    try:
        meta = dict(con.execute("SELECT key, value FROM meta"))
        if (meta.get("source") != "fetch" or meta.get("universe") != wanted.text
                or meta.get("fetch_start") != start):
            return None
        days = [_ymd(d) for (d,) in con.execute("SELECT date FROM trading_dates ORDER BY 1")]
        if not days or end < days[-1]:
            return None

        def rows(sql):
            return [tuple(_cell(v, c) for v, c in zip(r, sql_columns(sql)))
                    for r in con.execute(sql)]

        def sql_columns(sql):
            return [c.strip() for c in sql[len("SELECT "):sql.index(" FROM")].split(",")]

        instruments = {r[0]: r for r in rows(
            "SELECT order_book_id, symbol, type, exchange, listed_date, de_listed_date,"
            " round_lot, sector_code_name FROM instruments")}
        indices = {INDICES[k][0] for k in INDICES}
        # Open ST periods run to the last day of the earlier fetch.
        st = [(oid, b, e or days[-1]) for oid, b, e in rows(
            "SELECT order_book_id, start_date, end_date FROM st_periods")]
        members = {}
        for key in wanted.indices:
            found = {}
            for day, oid in rows("SELECT date, order_book_id FROM index_components"
                                 " WHERE index_id = '%s' ORDER BY date, order_book_id"
                                 % INDICES[key][0]):
                found.setdefault(day, []).append(oid)
            members[key] = sorted(found.items())
        previous = {
            "days": days, "instruments": instruments, "st": st, "members": members,
            "stocks": set(instruments) - indices,
            "dividends": rows("SELECT order_book_id, book_closure_date, ex_dividend_date,"
                              " payable_date, dividend_cash_before_tax, round_lot"
                              " FROM dividends"),
            "splits": rows("SELECT order_book_id, ex_date, split_coefficient_from,"
                           " split_coefficient_to FROM splits"),
            "weights": rows("SELECT index_id, date, order_book_id, weight"
                            " FROM index_weights"),
        }
    except (sqlite3.Error, ValueError):
        con.close()
        return None
    con.close()

    def prices():
        reader = connect_readonly(target)
        try:
            for oid, ymd, close, factor in reader.execute(
                    "SELECT order_book_id, date, close, adj_factor FROM prices"):
                yield oid, _ymd(ymd), repr(close), repr(factor)
        finally:
            reader.close()

    previous["prices"] = prices
    return previous


def _ymd(value):
    value = int(value)
    return "%04d-%02d-%02d" % (value // 10000, value // 100 % 100, value % 100)


def _cell(value, column):
    """A stored value as the importer's CSV text."""
    if value is None:
        return ""
    if column.endswith("date"):
        return _ymd(value)
    return repr(value) if isinstance(value, float) else str(value)


def _industries(rows, stocks):
    """{order_book_id: CSRC industry} of the stocks being fetched. The source classifies
    the whole market, Beijing stocks and others this store cannot name included: those are
    passed over, unless the code carries the number of a stock being fetched, whose
    industry would then be lost."""
    numbers = {oid.partition(".")[0] for oid in stocks}
    out = {}
    for r in rows:
        code = r.get("code") or ""
        try:
            oid = to_order_book_id(code)
        except SourceError:
            if re.sub(r"\D", "", code) in numbers:
                raise
            continue
        if oid in stocks:
            out[oid] = r.get("industry") or ""
    return out


def _all_stocks(basic, since, end, notes):
    """The order_book_ids of the list's stocks listed at some time from `since` to `end`.
    A stock of an exchange this store cannot name (Beijing, say) is left out, with a note
    that counts them, rather than ending the fetch."""
    out, other = set(), []
    for code, r in basic.items():
        if r.get("type") == "1" and (r.get("ipoDate") or "9999") <= end and (
                not r.get("outDate") or r["outDate"] > since):
            try:
                out.add(to_order_book_id(code))
            except SourceError:
                other.append(code)
    if other:
        notes.append("%d stocks of exchanges this store cannot name left out (%s)"
                     % (len(other), ", ".join(sorted(other)[:5])))
    return out


def _next_day(day):
    return (_dt.date.fromisoformat(day) + _dt.timedelta(days=1)).isoformat()


def _instruments(stocks, basic, industry, wanted, previous, notes):
    """(instruments table, {order_book_id: listing date} of the stocks and funds whose
    data is fetched, the ids of the indices among them). A stock of an earlier fetch that
    the source no longer lists keeps its row."""
    old = previous["instruments"] if previous else {}
    rows = [("order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date",
             "round_lot", "sector_code_name")]
    listed, indices, unclassified = {}, set(), []
    for oid in sorted(stocks):
        r = basic.get(to_code(oid))
        if r is None:
            if oid in old:
                rows.append(old[oid])
            else:
                notes.append("%s is not in baostock's list of securities; left out" % oid)
            continue
        kind = _TYPES.get(r.get("type"))
        if kind is None:
            notes.append("%s is of baostock type %r (not a stock, index or ETF); left out"
                         % (oid, r.get("type")))
            continue
        ipo, out = r.get("ipoDate") or "", r.get("outDate") or ""
        if not ipo:
            notes.append("%s has no listing date at baostock; left out" % oid)
            continue
        if out and out <= ipo:
            notes.append("%s: delisting date %s not after its listing date %s; kept as"
                         " listed" % (oid, out, ipo))
            out = ""
        lot = 1 if kind == "INDX" else 200 if oid.startswith("688") else 100
        sector = msci_sector(industry.get(oid)) if kind == "CS" else None
        if kind == "CS" and sector is None:
            unclassified.append(oid)
        rows.append((oid, r.get("code_name") or oid, kind, oid.split(".")[1], ipo, out, lot,
                     sector or ""))
        if kind == "INDX":
            indices.add(oid)
        else:
            listed[oid] = ipo
    for key in wanted.indices:
        oid, name, base = INDICES[key]
        r = basic.get(to_code(oid)) or {}
        rows.append((oid, r.get("code_name") or name, "INDX", "XSHG",
                     r.get("ipoDate") or base, "", 1, ""))
        indices.add(oid)
    if unclassified:
        notes.append("%d stocks without a CSRC industry at baostock have no sector (%s)"
                     % (len(unclassified), ", ".join(unclassified[:5])))
    return rows, listed, indices


def _dividend_rows(oid, row, first, last, day_set, dividends, splits, notes):
    """Add one dividend record's cash dividend and bonus shares if its ex date lies from
    `first` to `last`; returns the ex dates it explains."""
    ex = (row.get("dividOperateDate") or "").strip()
    if not ex or not first <= ex <= last:
        return set()
    if ex not in day_set:
        notes.append("%s: ex date %s is not a trading day; its dividend is left out"
                     % (oid, ex))
        return set()
    cash = _number(row.get("dividCashPsBeforeTax"), oid, "dividend on %s" % ex, empty=0.0)
    bonus = (_number(row.get("dividStocksPs"), oid, "bonus shares on %s" % ex, empty=0.0)
             + _number(row.get("dividReserveToStockPs"), oid, "transferred shares on %s"
                       % ex, empty=0.0))
    if cash > 0:
        book = (row.get("dividRegistDate") or "").strip()
        if book not in day_set or book > ex:
            notes.append("%s: the dividend with ex date %s has its book closure %s outside"
                         " the store's trading days; left out" % (oid, ex, book or "missing"))
        else:
            dividends.append((oid, book, ex, (row.get("dividPayDate") or "").strip(),
                              _decimal(cash * 10), "10"))
    if bonus > 0:
        splits.append((oid, ex, "10", _decimal(10 * (1 + bonus))))
    return {ex} if cash > 0 or bonus > 0 else set()


def _merged_dividends(rows, notes):
    """One row per instrument and ex date (the store's key): cash on the same ex date
    is summed, as it is paid together."""
    merged = {}
    for oid, book, ex, pay, cash, lot in rows:
        key = (oid, ex)
        if key in merged:
            old = merged[key]
            if old[1] != book:
                notes.append("%s: two dividends with ex date %s and book closures %s and"
                             " %s; recorded as one on %s" % (oid, ex, old[1], book, old[1]))
            merged[key] = (oid, old[1], ex, old[3] or pay,
                           _decimal(float(old[4]) + float(cash)), lot)
        else:
            merged[key] = (oid, book, ex, pay, cash, lot)
    return sorted(merged.values())


def _merged_splits(rows):
    merged = {}
    for oid, ex, frm, to in rows:
        if (oid, ex) in merged:
            ratio = float(merged[(oid, ex)][3]) / 10 * float(to) / float(frm)
            to = _decimal(10 * ratio)
        merged[(oid, ex)] = (oid, ex, "10", to)
    return sorted(merged.values())


def _capitalisations(oid, bars, weight_days):
    """{(oid, day): tradable capitalisation} on each of `weight_days` from the last close
    and the last tradable share count (volume / turnover rate, which the source gives in
    percent) on or before it."""
    out = {}
    close = shares = None
    k = 0
    for day in weight_days:
        while k < len(bars) and bars[k]["date"] <= day:
            b = bars[k]
            k += 1
            if b.get("tradestatus") != "1":
                continue
            c, v, t = (_float(b.get(f)) for f in ("close", "volume", "turn"))
            if c and c > 0:
                close = c
            if v and t and v > 0 and t > 0:
                shares = v / (t / 100)
        if close and shares:
            out[(oid, day)] = close * shares
    return out


def _weights(members, wanted, weight_days, caps, notes):
    """index_weights rows: on each weight day, each member's share of the members'
    capitalisation; a member without one (no trade yet) is left out, with a note."""
    rows = []
    for key in wanted.indices:
        index_id, changes = INDICES[key][0], members[key]
        for day in weight_days:
            at = bisect.bisect_right([d for d, _ in changes], day)
            if not at:
                continue
            ids = changes[at - 1][1]
            found = {i: caps[(i, day)] for i in ids if (i, day) in caps}
            if len(found) < len(ids):
                notes.append("%s on %s: %d of %d members without a capitalisation are left"
                             " out of the weights" % (index_id, day, len(ids) - len(found),
                                                      len(ids)))
            total = sum(found.values())
            if total > 0:
                rows.extend((index_id, day, i, repr(c / total))
                            for i, c in sorted(found.items()))
    return rows


def _float(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def _st_runs(oid, bars, position):
    """(oid, first, last) for each run of consecutive trading days on which the source
    marks the stock ST."""
    runs, begin, prev = [], None, None
    for b in bars:
        k = position[b["date"]]
        flagged = b.get("isST") == "1"
        if begin is not None and (not flagged or k != prev + 1):
            runs.append((oid, begin, prev))
            begin = None
        if flagged and begin is None:
            begin = k
        prev = k
    if begin is not None:
        runs.append((oid, begin, prev))
    return runs


def _st_periods(runs, days):
    """ST periods from runs of day positions (and an earlier fetch's periods, given as
    dates): runs that meet are joined, and a period that reaches the last day is open (no
    end date)."""
    position = {d: k for k, d in enumerate(days)}
    spans = []
    for oid, begin, last in runs:
        if isinstance(begin, str):   # an earlier fetch's period
            begin, last = position[begin], position[last]
        spans.append((oid, begin, last))
    spans.sort()
    periods = []
    for oid, begin, last in spans:
        if periods and periods[-1][0] == oid and begin <= periods[-1][2] + 1:
            periods[-1] = (oid, periods[-1][1], max(last, periods[-1][2]))
        else:
            periods.append((oid, begin, last))
    return [(oid, days[b], "" if e == len(days) - 1 else days[e]) for oid, b, e in periods]


def msci_sector(csrc_industry):
    """The MSCI-style sector of a CSRC industry text, or None when it is not one."""
    m = _CSRC.match(csrc_industry or "")
    if not m:
        return None
    return _SECTOR_OF_GROUP.get(m.group(2)) or _SECTOR_OF_DIVISION[m.group(1)]


def _weight_days(new_days, end, members, first):
    """When the index weights are worked out: each month's last trading day among
    `new_days` (the last of them only if `end` closes its month), each membership change
    among them, and the store's first day (`first`). Batches thus give the same days as
    one fetch."""
    last_of_month = _dt.date.fromisoformat(end[:8] + "01") + _dt.timedelta(days=31)
    month_closed = end >= (last_of_month.replace(day=1) - _dt.timedelta(days=1)).isoformat()
    ends = [d for d, nxt in zip(new_days, new_days[1:] + [None])
            if (nxt is None and month_closed) or (nxt is not None and nxt[:7] != d[:7])]
    changes = {d for changes in members.values() for d, _ in changes if d >= new_days[0]}
    return sorted(set(ends) | changes | ({new_days[0]} if first else set()))


def _month_ends(days):
    """The first trading day and the last trading day of each month: when the index
    members are asked for."""
    ends = [d for d, nxt in zip(days, days[1:] + [None]) if nxt is None or nxt[:7] != d[:7]]
    return sorted(set([days[0]] + ends))


def _on_or_after(days, day):
    at = bisect.bisect_left(days, day)
    return days[min(at, len(days) - 1)]


# ---------------------------------------------------------------------- akshare tables
# The yield curve, the Shenwan industries and the official index weights, when akshare is
# installed (SCHEMA.md, "Fetched stores"). `memo["akshare"]` is the source (None without
# the library); what it gave for the batch in hand is a dict ("found" below).


def _akshare(pace, retries):
    from ._sources_akshare import Akshare, load_library

    library = load_library()
    return None if library is None else Akshare(library, pace=pace, retries=retries)


def _akshare_collect(memo, new_days, days, wanted, bar):
    """Ask akshare for the batch's curves, and once a fetch for the Shenwan history and the
    official weights of the universe's indices; None without akshare."""
    source = (memo or {}).get("akshare")
    if source is None:
        return None
    bar.stage("akshare: yield curve, Shenwan industries, official index weights")
    if "shenwan" not in memo:
        memo["shenwan"] = source.shenwan_history()
        memo["official"] = {INDICES[key][0]: source.official_weights(INDICES[key][0])
                            for key in wanted.indices}
    return {"curves": source.yield_curve(new_days[0], days[-1]), "new_days": new_days,
            "shenwan": memo["shenwan"], "official": memo["official"]}


def _with_shenwan(instruments, found, last, notes):
    """The instruments table with each stock's Shenwan level-1 industry on `last` (the
    last record starting on or before it); unchanged without akshare."""
    if found is None:
        return instruments
    history, rows, unclassified = found["shenwan"], [instruments[0] + (
        "shenwan_industry_name",)], []
    for row in instruments[1:]:
        name = ""
        if row[2] == "CS":
            changes = [n for start, n in history.get(row[0][:6], ()) if start <= last]
            name = changes[-1] if changes else ""
            if not name:
                unclassified.append(row[0])
        rows.append(tuple(row) + (name,))
    if unclassified:
        notes.append("%d stocks without a Shenwan industry on %s have none (%s)"
                     % (len(unclassified), last, ", ".join(unclassified[:5])))
    return rows


def _official_days(found, new_days):
    """The days among `new_days` with official weights: the approximation is worked out
    on them too, to be measured against them."""
    if found is None:
        return []
    days = set(new_days)
    return [d for by_day in found["official"].values() for d in by_day if d in days]


def _with_official_weights(weights, found, known, last, memo, notes):
    """index_weights rows with the approximation replaced by the official weights on the
    days the source gives them (up to `last`), each day's error of the approximation
    recorded in memo["weights_error"]. A day whose official members the store lacks keeps
    the approximation, with a note."""
    if found is None:
        return weights
    new_days = set(found["new_days"])
    for index_id, by_day in sorted(found["official"].items()):
        for day, official in sorted(by_day.items()):
            if day not in new_days or day > last:
                continue
            approx = {r[2]: float(r[3]) for r in weights[1:]
                      if r[0] == index_id and r[1] == day}
            ids = set(approx) | set(official)
            diffs = [abs(approx.get(i, 0.0) - official.get(i, 0.0)) for i in ids]
            memo.setdefault("weights_error", {})[index_id] = (
                day, max(diffs), sum(diffs), len(official), len(approx))
            missing = sorted(set(official) - set(known))
            if missing:
                notes.append("%s on %s: %d members of the official weights are not in the"
                             " store (%s); the approximation is kept on that day" % (
                                 index_id, day, len(missing), ", ".join(missing[:5])))
                continue
            weights = [r for r in weights if not (r[0] == index_id and r[1] == day)]
            weights.extend((index_id, day, i, repr(w)) for i, w in sorted(official.items()))
    return weights


def _curve_row(day, points):
    """One yield_curve row: the store's tenors, linear in maturity between the published
    ones and flat beyond the first and the last; percent to fractions."""
    import numpy as np

    from ._schema import TENOR_YEARS

    years = sorted(points)
    values = np.interp(TENOR_YEARS, years, [points[y] / 100 for y in years])
    return (day,) + tuple(repr(float(v)) for v in values)


def _yield_curve_table(found, previous, memo, days, notes):
    """{"yield_curve": rows} from the curves of the batch's new days (after an earlier
    fetch's rows); {} without akshare."""
    from ._schema import TENORS

    if found is None:
        return {}
    old = []
    if previous is not None:
        old = [r for r in _stored_rows(memo["target"], "yield_curve", ("date",) + TENORS)
               if r[0] <= days[-1]]
    new_days = [d for d in found["new_days"] if d <= days[-1]]
    rows, empty = [], []
    for day in new_days:
        points = found["curves"].get(day)
        if points:
            rows.append(_curve_row(day, points))
        else:
            empty.append(day)
    if empty:
        notes.append("the yield curve is not published for %d of the %d new trading days"
                     " (%s); they have no row" % (len(empty), len(new_days),
                                                  ", ".join(empty[:5])))
    return {"yield_curve": [("date",) + TENORS] + old + rows}


def _stored_rows(target, table, columns):
    """The rows of `table` in the store at `target` as the importer's CSV text."""
    from ._client import connect_readonly

    con = connect_readonly(target)
    try:
        return [tuple(_cell(v, c) for v, c in zip(r, columns)) for r in con.execute(
            "SELECT %s FROM %s ORDER BY 1" % (", ".join('"%s"' % c for c in columns), table))]
    finally:
        con.close()


def _akshare_meta(meta, memo, rerun):
    """What the store records of akshare's tables: the sources, what is still not fetched,
    the official weights' days and the approximation's error on them (kept from the store
    a re-run adds to when this batch measured none)."""
    if memo.get("akshare") is None:
        meta["akshare"] = ("not installed: no yield curve, no Shenwan industries, index"
                           " weights approximated on every day (pip install akshare)")
        return
    meta["fetched_from"] = "baostock, akshare"
    meta["not_fetched"] = ", ".join(t for t in _NOT_FETCHED if t != "yield_curve")
    meta["yield_curve"] = ("%s from akshare, on the store's tenors: linear between the"
                           " published tenors, flat before the first and beyond the last"
                           % _TREASURY)
    meta["sectors"] = meta["sectors"].replace("; no Shenwan industries", "") + (
        "; Shenwan level-1 industries (2021 revision) from akshare as of %s"
        % meta["end_date"])
    errors = {index_id: "%s on %s: largest difference %.4f, sum of differences %.4f (%d"
                        " official members, %d approximated)" % ((index_id,) + error)
              for index_id, error in memo.get("weights_error", {}).items()}
    if rerun and len(errors) < len(memo.get("official", {})):
        from ._writer import _read_meta

        old = (_read_meta(memo["target"])[0] or {}).get("index_weights_error", "")
        for part in old.split("; "):
            if _MEASURED.match(part):
                errors.setdefault(_MEASURED.match(part).group(1), part)
    parts = []
    for index_id in sorted(memo.get("official", {})):
        days = ", ".join(sorted(memo["official"][index_id])) or "none"
        parts.append(errors.get(index_id) or "%s: not measured, the official weights (of"
                     " %s) lie outside the store" % (index_id, days))
    if parts:
        meta["index_weights_error"] = "; ".join(parts)
    measured = sorted({m.group(2) for m in map(_MEASURED.match, parts) if m})
    if measured:
        meta["index_weights"] += ("; the index company's official weights on %s instead"
                                  % ", ".join(measured))


_MEASURED = re.compile(r"^(\S+) on (\d{4}-\d{2}-\d{2}): largest difference")


# ---------------------------------------------------------------------- planning


def _plan(start, end, wanted, pace, batch_days=BATCH_DAYS):
    """What a fetch would request, estimated without asking the source."""
    first, last = to_ordinal(start), to_ordinal(end)
    weekdays = sum(1 for o in range(first, last + 1) if _dt.date.fromordinal(o).weekday() < 5)
    months = len({_dt.date.fromordinal(o).strftime("%Y-%m") for o in range(first, last + 1)})
    years = (last - first + 1) / 365.25
    sizes = {"hs300": 300, "zz500": 500}
    n = sum(sizes[k] * (1 + _TURNOVER * years) for k in wanted.indices)
    n = int(round(5000 if wanted.all else n)) + len(wanted.codes)
    batches = len(_batch_ends(start, end, batch_days))
    dividend_years = max(1, int(round(years)))
    requests = {
        "login": 1,
        "calendar, securities, industries": batches * 6,
        "index members": len(wanted.indices) * (months + batches),
        "index closes": len(wanted.indices) * batches,
        "daily bars (a request a batch)": n * batches,
        "adjustment factors": n,
        "dividends (years with an ex date)": n * dividend_years,
    }
    total = sum(requests.values())
    return {"start": start, "end": end, "universe": wanted.text, "stocks": n,
            "weekdays": weekdays, "batches": batches, "requests": requests,
            "total_requests": total,
            "seconds": total * (pace + _LATENCY), "pace": pace,
            "tables": ["trading_dates", "instruments", "st_periods", "prices",
                       "index_components", "index_weights (approximated)", "dividends",
                       "splits", "factor_exposures and factor_returns (this package's"
                       " model)"],
            "not_fetched": list(_NOT_FETCHED)}


def _print_plan(plan, target, out):
    out.write("tickvane fetch (dry run): nothing is requested or written\n")
    out.write("store         %s\n" % target)
    out.write("range         %s to %s (at most %d trading days)\n"
              % (plan["start"], plan["end"], plan["weekdays"]))
    out.write("universe      %s: about %d stocks\n" % (plan["universe"], plan["stocks"]))
    out.write("batches       %d (each written to the store before the next)\n"
              % plan["batches"])
    out.write("tables        %s from baostock\n" % ", ".join(plan["tables"]))
    out.write("not fetched   %s (left empty)\n" % ", ".join(plan["not_fetched"]))
    for what, count in plan["requests"].items():
        out.write("  %-36s %8d requests\n" % (what, count))
    minutes = plan["seconds"] / 60
    out.write("about %d requests, about %s at a pace of %g s per request\n" % (
        plan["total_requests"], "%.0f min" % minutes if minutes >= 1
        else "%.0f s" % plan["seconds"], plan["pace"]))


# ---------------------------------------------------------------------- helpers


def _check_target(target, force):
    """A fetch replaces a generated sample or an earlier fetch. A store of imported data,
    or a file that is no tickvane store, only with `force`."""
    from ._writer import _read_meta

    if force or not os.path.exists(target):
        return
    if os.path.isdir(target):
        raise IsADirectoryError("%s is a folder; a store is a file" % target)
    meta, problem = _read_meta(target)
    hint = "give --force (force=True) to replace it, or name another store with --store"
    if meta is None:
        raise FileExistsError("%s is not a tickvane store (%s); fetch would replace it: %s"
                              % (target, problem, hint))
    if meta.get("source") == "import":
        origin = meta.get("imported_from")
        raise FileExistsError(
            "%s holds imported market data%s; fetch would replace it with fetched data: %s"
            % (target, " from %s" % origin if origin else "", hint))


def _iso(value, what):
    try:
        return _dt.date.fromordinal(to_ordinal(value)).isoformat()
    except (ValueError, TypeError):
        raise ValueError("%s is not a date: %r" % (what, value)) from None


def _number(text, oid, what, empty=False):
    """A number given as text by the source; `empty` is what an empty cell means (False:
    it is an error)."""
    text = "" if text is None else str(text).strip()
    if not text:
        if empty is False:
            raise SourceError("baostock gave no %s for %s" % (what, oid))
        return empty
    m = _NUMBER.match(text)
    if not m:
        raise SourceError("baostock gave %s for %s as %r, which is no number"
                          % (what, oid, text))
    return float(m.group(1))


def _decimal(value):
    """A float as short decimal text, free of binary noise (0.30000000000000004 -> 0.3)."""
    return ("%.8f" % value).rstrip("0").rstrip(".")


def _write_csv(path, rows):
    with open(path, "w", encoding="utf-8", newline="") as handle:
        csv.writer(handle).writerows(rows)


def _utc_now():
    return _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class _Bar:
    """Progress with counts and time left, on stderr: a redrawn line on a terminal, else
    a line per stage and one per tenth of a long stage."""

    def __init__(self, enabled, title):
        from ._progress import Progress

        self.title = title
        self.progress = Progress(title, enabled=enabled)
        self._label = None
        self._began = None

    def stage(self, label):
        self._label = label
        self.progress.stage(label)

    def count(self, label, k, n, overall=False):
        """Item k (from 0) of n of a long stage begins; `overall`: the stage is most of
        the work, and moves the bar."""
        import time

        if label != self._label:
            self._label, self._began = label, time.monotonic()
            self.progress.stage("%s (%d)" % (label, n), 0.0)
        left = ""
        if k:
            seconds = (time.monotonic() - self._began) / k * (n - k)
            left = ", about %s left" % (
                "%.0f min" % (seconds / 60) if seconds >= 90 else "%.0f s" % seconds)
        detail = "%d/%d%s" % (k, n, left)
        self.progress.update(0.9 * k / max(n, 1) if overall else 0.0, detail)
        step = max(1, n // 10)
        if self.progress.enabled and not self.progress._tty and k and k % step == 0:
            self.progress.stream.write("%s: %s %s\n" % (self.title, label, detail))
            self.progress.stream.flush()

    def fail(self):
        self.progress.fail()

    def close(self, message):
        self.progress.stage("fetched (%s); writing the store" % message, 0.9)
