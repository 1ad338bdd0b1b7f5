"""Many portfolios at once on a Dask cluster: ``meridan batch``.

    meridan batch STATEMENT... | --dir DIR [--workers N | --scheduler ADDRESS]
                  [--out RESULTS] [--reports] [the analyse options]

Each statement is analysed as ``meridan analyse`` would (``meridan.analysis.run``), on
the workers of a Dask cluster: by default a local cluster of worker processes on this
machine (one thread each, as many as there are cores, or ``--workers``); with
``--scheduler`` an existing cluster, whose workers must all be able to read the
market store at the same path (it is opened read-only once per worker process, never
copied per task). ``--dir`` takes the ``*.csv *.txt *.xls *.xlsx`` files of a folder
(not its subfolders); a portfolio's id is its path relative to the folder (a statement
named on the command line: its path as given). A file ``STATEMENT.positions.csv``
(or ``STEM.positions.csv``) beside a statement holds its opening positions (as
``--positions`` does for one statement; it takes precedence over ``--positions``).

The results are tidy tables, one row per observation with the portfolio's id in the
``portfolio`` column, sorted by portfolio id whatever the order the workers finish in,
written as Parquet files in ``RESULTS/``:

* ``key_figures``: one row per portfolio: the index compared with, the first and
  last day and the trading days analysed, then the whole period's figures
  (``meridan.analysis.KEY_FIGURES``: time- and money-weighted return, benchmark and
  excess return, volatility, drawdown, Sharpe, beta, tracking error, information ratio);
* ``brinson`` (by ``sector``), ``risk`` (by ``period``), ``profit`` (by ``period``:
  ``portfolio_return``, ``benchmark_return``, ``excess_return``), ``exposure`` (by
  ``day`` and ``factor``: the portfolio's ``exposure`` and the index's
  ``benchmark_exposure``, NaN on a day the store has no index weights for), ``style``
  (by ``regression``): the tables of the single command, row for row;
* ``failures``: (portfolio, step, message) of each statement refused, with the message
  the single command prints, or of one that killed a worker each time it was tried;
* ``unavailable``: (portfolio, analysis, reason) of each analysis that could not be
  made on a portfolio's data (the others of that portfolio are in their tables);
* ``notes``: (portfolio, note) of what the single command would say of a statement
  analysed: its warnings (a trade price far from the day's close, say) and what the
  analysis assumed or adjusted.

``--reports`` also writes each portfolio's HTML page to ``RESULTS/reports/``.

One bad statement never stops the batch. A worker that dies in the middle of a
statement (killed, out of memory) has its statements run again on another; a statement
during which a worker dies again is reported as failed. The local cluster's scheduler
is set for this (``SCHEDULER``: Dask's allowed failures 1, and a worker saturation of 1
so that a worker holds no statement beyond the one it analyses, which its death would
make suspect too); give the scheduler of a cluster of your own the same settings
(``distributed.scheduler.allowed-failures`` and ``worker-saturation``). In a batch of
no more statements than twice the cluster's threads Dask hands them all out at once:
a statement waiting on a worker that dies is then suspect as well.

Every worker process keeps its market-data provider, the store it reads and the index
and sector memos of the analyses for all the statements it is given.

``analyse_many`` is the same from Python; it needs ``dask``, ``distributed`` and
``pyarrow`` (``pip install "meridan[batch]"``).
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import sys
import tempfile
import time
import uuid
from typing import NamedTuple

import pandas as pd

SUFFIXES = (".csv", ".txt", ".xls", ".xlsx")
POSITIONS = ".positions.csv"
TABLES = ("key_figures", "brinson", "risk", "profit", "exposure", "style", "failures",
          "unavailable", "notes")
INSTALL = ('meridan batch needs dask, distributed and pyarrow: pip install '
           '"meridan[batch]"')

# The row key of each analysis's table, after the portfolio.
_KEYS = {"brinson": ["sector"], "risk": ["period"], "profit": ["period"],
         "exposure": ["day", "factor"], "style": ["regression"]}
_PROFIT = {"portfolio": "portfolio_return", "benchmark": "benchmark_return",
           "excess": "excess_return"}


class Results(NamedTuple):
    """The tables of a batch (DataFrames, rows sorted by portfolio id; see the module's
    help for their columns) and ``timings``: (portfolio, worker, seconds, cpu_seconds)
    of each statement analysed: its own wall-clock and processor time on its worker
    (the worker's process id)."""

    key_figures: pd.DataFrame
    brinson: pd.DataFrame
    risk: pd.DataFrame
    profit: pd.DataFrame
    exposure: pd.DataFrame
    style: pd.DataFrame
    failures: pd.DataFrame
    unavailable: pd.DataFrame
    notes: pd.DataFrame
    timings: pd.DataFrame


class BatchError(Exception):
    """The batch cannot start (no statements, a bad option, a folder that cannot be
    written, the packages missing): nothing is analysed or written."""


# --- in the worker processes ------------------------------------------------------

# The warm state of this process, by store path: the market-data provider shared by
# every statement analysed here. The index and sector memos of the analyses are
# process-wide already; the store stays open in tickvane between statements, which
# also counts its rows (for the description every statement reads) only once.
_WARM: dict = {}

# A warm provider keeps every close it has read: it is replaced by a fresh one once it
# holds this many, so that a worker's memory stays bounded in a batch of any size (the
# results do not depend on what a provider has cached).
WARM_CLOSES = 200_000


class _Warm:
    def __init__(self, store):
        from meridan.quotes import CachedMarketDataProvider

        self.store = store
        self.md = CachedMarketDataProvider()
        self.statements = 0


def _worker_state(store):
    """This process's warm state for ``store``, made on its first statement; the store
    becomes the one tickvane reads (opened once, read-only)."""
    import tickvane
    from meridan.analysis import AnalysisError

    if store is not None and tickvane.store_path()[0] != os.path.abspath(store):
        try:
            tickvane.use_store(store)
        except FileNotFoundError as exc:
            raise AnalysisError(f"cannot open the market data: {exc}; every worker must "
                                f"be able to read the store at that path", "market") from None
    state = _WARM.get(store)
    if state is None:
        state = _WARM[store] = _Warm(store)
    return state


def _write_source(folder, name, source):
    """The path of ``source``: itself when it is a path, else its bytes written to a
    file named ``name`` in ``folder``."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        path = os.path.join(folder, os.path.basename(name) or "statement")
        with open(path, "wb") as handle:
            handle.write(bytes(source))
        return path
    return os.fspath(source)


def _kept_lines():
    """A progress that shows nothing and keeps the lines the single command prints of
    a statement (its warnings: trade prices far from the close, ...) in ``lines``."""
    from meridan.analysis import _Silent

    class Kept(_Silent):
        def __init__(self):
            self.lines = []

        def line(self, text):
            self.lines.append(text)

    return Kept()


def analyse_one(portfolio, source, options, store=None, positions=None, lang=None,
                report=False):
    """Runs on a worker: the analysis of one statement as a dict of plain data.

    ``source``: the statement's path, or its bytes (``portfolio`` then names the file,
    and so its format by the suffix); ``positions`` likewise (None: ``options``'s).
    Returns {"portfolio", "tables" ({name: DataFrame}), "failure" ((step, message) or
    None), "report" (the page's HTML, or None), "seconds" and "cpu_seconds" (its
    own wall-clock and processor time), "worker" (the process id)}."""
    from meridan import analysis

    began, cpu = time.perf_counter(), time.process_time()
    out = {"portfolio": portfolio, "tables": {}, "failure": None, "report": None,
           "seconds": 0.0, "cpu_seconds": 0.0, "worker": os.getpid()}
    folder = None
    try:
        state = _worker_state(store)
        given = dict(options)
        if isinstance(source, (bytes, bytearray, memoryview)) or isinstance(
                positions, (bytes, bytearray, memoryview)):
            folder = tempfile.mkdtemp(prefix="meridan-batch-")
        path = _write_source(folder, portfolio, source)
        if positions is not None:
            given["positions"] = _write_source(folder, portfolio + POSITIONS, positions)
        shown = _kept_lines()
        result = analysis.run(path, given, md=state.md, progress=shown)
        state.statements += 1
        if len(getattr(state.md, "_price_cache", ())) > WARM_CLOSES:
            from meridan.quotes import CachedMarketDataProvider

            state.md = CachedMarketDataProvider()
        out["tables"] = tables_of(portfolio, result)
        # What the single command would print of the statement (its warnings) and the
        # analysis's notes, kept beside the results.
        notes = [_named(line, folder, portfolio) for line in shown.lines]
        notes += [str(note) for note in result.facts.get("notes") or []]
        if notes:
            out["tables"]["notes"] = pd.DataFrame(
                [(portfolio, note) for note in notes], columns=["portfolio", "note"])
        if report:
            from meridan import page

            out["report"] = page.render(result, lang or given.get("lang") or "zh")
    except analysis.AnalysisError as exc:
        out["failure"] = (exc.step or "error", _named(str(exc), folder, portfolio))
    except Exception as exc:  # a fault of ours on this statement: the batch goes on
        out["failure"] = ("error", _named(f"{portfolio}: {type(exc).__name__}: {exc}",
                                          folder, portfolio))
    finally:
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)
    out["seconds"] = time.perf_counter() - began
    out["cpu_seconds"] = time.process_time() - cpu
    return out


def _named(message, folder, portfolio):
    """A message about a statement given as bytes names it by its id, not by the
    temporary file it was read from."""
    if folder is None:
        return message
    return message.replace(os.path.join(folder, os.path.basename(portfolio)), portfolio)


def tables_of(portfolio, result):
    """The tidy tables of one ``Analysis``: {name: DataFrame} with the ``portfolio``
    column first (see the module's help)."""
    start, end, days = result.facts["period"]
    figures = {"portfolio": portfolio, "index": result.facts["benchmark"][0],
               "start": _day(start), "end": _day(end), "days": int(days)}
    figures.update({name: float(result.key_figures.get(name, math.nan))
                    for name in _key_figure_names()})
    tables = {"key_figures": pd.DataFrame([figures]).astype({"start": _DAY, "end": _DAY})}
    for step, keys in _KEYS.items():
        table = getattr(result, step, None)
        if table is None:
            continue
        if step == "exposure":
            table = _exposure_rows(table)
        else:
            table = table.rename_axis(keys[0]).reset_index()
            if step == "profit":
                table = table.rename(columns=_PROFIT)
        table[keys[0]] = (table[keys[0]] if step == "exposure"
                          else table[keys[0]].astype(str))
        table.insert(0, "portfolio", portfolio)
        tables[step] = table
    unavailable = result.facts.get("unavailable") or []
    if unavailable:
        tables["unavailable"] = pd.DataFrame(
            [(portfolio, step, reason) for step, reason in unavailable],
            columns=["portfolio", "analysis", "reason"])
    return tables


def _key_figure_names():
    from meridan.analysis import KEY_FIGURES

    return KEY_FIGURES


def _exposure_rows(table):
    """The exposure table ("DAY portfolio" and "DAY benchmark" columns by factor) as
    rows of day and factor."""
    rows = []
    days = sorted({column.rsplit(" ", 1)[0] for column in table.columns})
    for day in days:
        own = table.get(f"{day} portfolio")
        other = table.get(f"{day} benchmark")
        for factor in table.index:
            rows.append((_day(day), str(factor),
                         math.nan if own is None else float(own[factor]),
                         math.nan if other is None else float(other[factor])))
    table = pd.DataFrame(rows, columns=["day", "factor", "exposure", "benchmark_exposure"])
    table["day"] = table["day"].astype(_DAY)
    return table


_DAY = "datetime64[ns]"   # the dtype of every day in the tables


def _day(value):
    return pd.Timestamp(value).as_unit("ns")


# --- in the client ----------------------------------------------------------------

def _imports():
    try:
        import dask  # noqa: F401
        import distributed
        import pyarrow  # noqa: F401
    except ImportError:
        raise BatchError(INSTALL) from None
    return distributed


def statements_in(folder):
    """{portfolio id: path} of the statements in ``folder`` (not its subfolders),
    sorted by id. Refuses a folder that does not exist."""
    if not os.path.isdir(folder):
        raise BatchError(f"--dir {folder}: no such folder")
    found = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if (not name.lower().endswith(SUFFIXES) or name.lower().endswith(POSITIONS)
                or not os.path.isfile(path)):
            continue
        found[name] = path
    return found


def positions_beside(path):
    """The positions file beside the statement at ``path`` (``STATEMENT.positions.csv``,
    else ``STEM.positions.csv``), or None."""
    for candidate in (path + POSITIONS, os.path.splitext(path)[0] + POSITIONS):
        if os.path.isfile(candidate):
            return candidate
    return None


def _work(statements):
    """[(id, source, positions)] sorted by id from a list of paths or a mapping
    {id: path or bytes}; refuses two statements with the same id."""
    if isinstance(statements, (str, os.PathLike)):
        statements = [statements]
    if hasattr(statements, "items"):
        items = [(str(key), value) for key, value in statements.items()]
    else:
        items = [(os.fspath(path), path) for path in statements]
    seen = set()
    work = []
    for portfolio, source in items:
        if isinstance(source, (bytes, bytearray, memoryview)):
            work.append((portfolio, bytes(source), None))
        else:
            source = os.fspath(source)
            work.append((portfolio, source, positions_beside(source)))
        if portfolio in seen:
            raise BatchError(f"two statements have the id {portfolio!r}")
        seen.add(portfolio)
    return sorted(work, key=lambda item: item[0])


def _plain_options(options):
    """The analyse options as a plain dict the workers are given (checked here first:
    a bad option refuses the whole batch, not each statement)."""
    from meridan import analysis

    try:
        checked = analysis.options_of(options)
    except analysis.AnalysisError as exc:
        raise BatchError(str(exc)) from None
    plain = {key: getattr(checked, key) for key in analysis.DEFAULTS}
    if plain["cash"] is not None and not (math.isfinite(plain["cash"]) and plain["cash"] >= 0):
        raise BatchError(f"--cash must be a number of 0 or more, got {plain['cash']}")
    return plain


def _store():
    """The store the workers read: the one this process reads (built here first when
    it is the sample market not made yet, so that workers never build it at once)."""
    import tickvane

    path, building = tickvane.store_path()
    if building:
        tickvane.get_trading_dates("2000-01-01", "2000-01-02")
    return path


class _Counter:
    """Progress of a batch on a stream: counts, failures and the time left; on a
    terminal one line redrawn, elsewhere a line every tenth of the batch or 30 s."""

    def __init__(self, total, stream):
        self.total, self.stream = total, stream
        self.began = self.shown = time.perf_counter()
        self.done = self.failed = 0
        self.tty = bool(getattr(stream, "isatty", lambda: False)())
        self.step = max(1, total // 10)

    def line(self, text):
        self.stream.write(f"  {text}\n")
        self.stream.flush()

    def update(self, failed):
        self.done += 1
        self.failed += bool(failed)
        now = time.perf_counter()
        elapsed = now - self.began
        left = elapsed / self.done * (self.total - self.done)
        text = (f"analysed {self.done:,}/{self.total:,} ({self.failed:,} failed), "
                f"{_duration(elapsed)}"
                + (f", about {_duration(left)} left" if self.done < self.total else ""))
        if self.tty:
            self.stream.write(f"\r  {text}\x1b[K" + ("\n" if self.done == self.total else ""))
            self.stream.flush()
        elif (self.done % self.step == 0 or self.done == self.total
              or now - self.shown >= 30):
            self.line(text)
            self.shown = now


def _duration(seconds):
    if seconds < 60:
        return f"{seconds:.0f} s"
    minutes, seconds = divmod(int(round(seconds)), 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


# The scheduler's settings of a local cluster: a statement during which a worker dies
# twice is given up, and a worker is given its next statement only when it has
# finished the one before (the statements wait at the scheduler), so that a worker
# that dies leaves only the statement it was analysing suspect.
SCHEDULER = {"distributed.scheduler.allowed-failures": 1,
             "distributed.scheduler.worker-saturation": 1.0}


def local_cluster(workers=None, dashboard=":8787"):
    """A local Dask cluster of ``workers`` processes (default: one per core), one thread
    each, with the scheduler's settings ``SCHEDULER``."""
    import dask
    from distributed import LocalCluster

    with dask.config.set(SCHEDULER):
        return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                            processes=True, dashboard_address=dashboard)


def analyse_many(statements, client=None, *, store=None, reports=None, workers=None,
                 progress=None, dashboard=":8787", **options):
    """Analyses many statements on a Dask cluster; returns their ``Results``.

    ``statements``: paths (the id of each is its path as given), or a mapping {id:
    path or bytes} (bytes are the file's content; the id's suffix gives its format). A
    path's ``STATEMENT.positions.csv`` beside it is its ``positions``. ``client``: a
    ``distributed.Client`` (default: a local cluster of ``workers`` processes, closed
    at the end). ``store``: the market store's path every worker reads (default: this
    process's store). ``reports``: a folder to write each portfolio's HTML page in (as
    ``ID.html``, with "/" in an id as "_"). ``progress``: a stream to show the progress
    on. ``options``: the analyse options (``meridan.analysis.DEFAULTS``), checked
    before anything runs (``BatchError``).

    A statement refused, or during which a worker died more often than the scheduler
    allows, is a row of ``failures``; the batch goes on."""
    distributed = _imports()
    plain = _plain_options(options)
    work = _work(statements)
    store = _store() if store is None else os.path.abspath(store)
    if reports is not None:
        named = {}
        for portfolio, _, _ in work:
            other = named.setdefault(_report_name(portfolio), portfolio)
            if other != portfolio:
                raise BatchError(f"the statements {other!r} and {portfolio!r} would have "
                                 f"the same report {_report_name(portfolio)}; rename one")
        os.makedirs(reports, exist_ok=True)
    own = None
    if client is None:
        own = local_cluster(workers, dashboard)
        client = distributed.Client(own)
    try:
        # A local cluster without a dashboard still serves the scheduler's HTTP routes
        # and names them as one.
        link = None if own is not None and dashboard is None else _dashboard(client)
        if progress is not None and link:
            progress.write(f"  Dask dashboard: {link}\n")
        return _gather(client, work, plain, store, reports, progress, distributed)
    finally:
        if own is not None:
            client.close()
            own.close()


def _dashboard(client):
    """The address of the cluster's dashboard, or None when it has none."""
    try:
        return client.dashboard_link or None
    except (KeyError, AttributeError, OSError):
        return None


def _gather(client, work, options, store, reports, progress, distributed):
    token = uuid.uuid4().hex[:8]
    futures = {}
    for portfolio, source, positions in work:
        future = client.submit(analyse_one, portfolio, source, options, store, positions,
                               options.get("lang"), reports is not None,
                               key=f"meridan-analyse-{portfolio}-{token}", pure=False)
        futures[future] = portfolio
    counter = None if progress is None else _Counter(len(work), progress)
    done = {}
    for future in distributed.as_completed(list(futures)):
        portfolio = futures[future]
        try:
            out = future.result()
        except distributed.KilledWorker:
            out = _failed(portfolio, "worker", f"{portfolio}: a worker died each time it "
                          f"analysed this statement: it is left out (it may need more "
                          f"memory than a worker has)")
        except Exception as exc:
            out = _failed(portfolio, "error", f"{portfolio}: {type(exc).__name__}: {exc}")
        future.release()
        if out.get("report") is not None:
            _write_text(os.path.join(reports, _report_name(portfolio)), out.pop("report"))
        done[portfolio] = out
        if counter is not None:
            counter.update(out["failure"] is not None)
    return collect([done[portfolio] for portfolio, _, _ in work])


def _report_name(portfolio):
    """The file name of a portfolio's page: its id with "/" and "\\" as "_"."""
    return portfolio.replace("/", "_").replace("\\", "_") + ".html"


def _failed(portfolio, step, message):
    return {"portfolio": portfolio, "tables": {}, "failure": (step, message),
            "report": None, "seconds": math.nan, "cpu_seconds": math.nan, "worker": None}


def collect(outcomes):
    """The ``Results`` of the outcomes of ``analyse_one`` (in the order given)."""
    parts = {name: [] for name in TABLES}
    failures, timings = [], []
    for out in outcomes:
        for name, table in out["tables"].items():
            parts[name].append(table)
        if out["failure"] is not None:
            failures.append((out["portfolio"], *out["failure"]))
        else:
            timings.append((out["portfolio"], out["worker"], out["seconds"],
                            out["cpu_seconds"]))
    tables = {}
    for name in TABLES:
        if name == "failures":
            tables[name] = pd.DataFrame(failures, columns=["portfolio", "step", "message"],
                                        dtype="str")
            continue
        found = [table for table in parts[name] if len(table)]
        if found:
            tables[name] = pd.concat(found, ignore_index=True)
        else:
            tables[name] = _empty(name)
    tables["timings"] = pd.DataFrame(timings, columns=["portfolio", "worker", "seconds",
                                                       "cpu_seconds"])
    return Results(**tables)


def _empty(name):
    """The table ``name`` of a batch without any row of it: its key columns, and
    its figures where they are known before any analysis is made."""
    from meridan.analysis import KEY_FIGURES, RISK_COLUMNS

    if name == "key_figures":
        frame = pd.DataFrame({"portfolio": pd.Series(dtype="str"),
                              "index": pd.Series(dtype="str"),
                              "start": pd.Series(dtype=_DAY),
                              "end": pd.Series(dtype=_DAY),
                              "days": pd.Series(dtype="int64")})
        for figure in KEY_FIGURES:
            frame[figure] = pd.Series(dtype="float64")
        return frame
    if name == "unavailable":
        return pd.DataFrame(columns=["portfolio", "analysis", "reason"], dtype="str")
    if name == "notes":
        return pd.DataFrame(columns=["portfolio", "note"], dtype="str")
    columns = {"portfolio": pd.Series(dtype="str")}
    for key in _KEYS[name]:
        columns[key] = pd.Series(dtype=_DAY if key == "day" else "str")
    figures = {"exposure": ["exposure", "benchmark_exposure"],
               "risk": list(RISK_COLUMNS), "profit": list(_PROFIT.values())}
    for figure in figures.get(name, ()):
        columns[figure] = pd.Series(dtype="float64")
    return pd.DataFrame(columns)


def _write_text(path, text):
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as handle:
        handle.write(text)
    os.replace(temporary, path)


def write(results, folder):
    """Writes the tables of ``results`` as ``folder/NAME.parquet`` (each file replaced
    whole, never left half-written)."""
    os.makedirs(folder, exist_ok=True)
    for name in TABLES:
        path = os.path.join(folder, f"{name}.parquet")
        temporary = path + ".tmp"
        getattr(results, name).to_parquet(temporary, index=False)
        os.replace(temporary, path)


# --- the command ------------------------------------------------------------------

def add_parser(subparsers):
    """Adds the ``batch`` command to the ``meridan`` command's subparsers."""
    from meridan.cli import _HelpFormatter

    parser = subparsers.add_parser(
        "batch", help="analyses many broker statements on a Dask cluster",
        formatter_class=_HelpFormatter,
        description="Analyses many statements as 'meridan analyse' would, on the worker "
                    "processes of a Dask cluster, and writes the results as Parquet "
                    "tables.",
        epilog="Exit status: 0 when every statement was analysed with every analysis, 1 "
               "when the results were written with failed statements or analyses that "
               "could not be made, 2 when nothing was analysed (no statements, a bad "
               "option, the packages missing).")
    _arguments(parser)
    return parser


def _arguments(parser):
    from meridan.analysis import BENCHMARKS, SECTORS
    from meridan.cli import _date

    parser.add_argument("statements", nargs="*", metavar="STATEMENT",
                        help="statements to analyse (CSV, text or Excel)")
    parser.add_argument("--dir", metavar="DIR",
                        help="analyse every *.csv *.txt *.xls *.xlsx file in DIR (not its "
                             "subfolders); STATEMENT.positions.csv beside a statement is "
                             "its opening positions (default: none)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="N",
                       help="worker processes of the local cluster, one thread each "
                            "(default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="the scheduler of an existing Dask cluster, e.g. "
                            "tcp://host:8786 (default: a local cluster)")
    parser.add_argument("--out", default="results", metavar="RESULTS",
                        help="the folder the Parquet tables are written to")
    parser.add_argument("--reports", action="store_true",
                        help="also write each portfolio's HTML page to RESULTS/reports")
    parser.add_argument("--benchmark", choices=sorted(BENCHMARKS), default="hs300",
                        help="the index compared with")
    parser.add_argument("--sectors", choices=sorted(SECTORS), default="shenwan",
                        help="the sectors of the Brinson attribution")
    parser.add_argument("--method", choices=["BHB", "BF"], default="BHB",
                        help="Brinson-Hood-Beebower or Brinson-Fachler attribution")
    parser.add_argument("--cash", type=float, default=None, metavar="N",
                        help="opening cash of every statement (default: as the analyse "
                             "command)")
    parser.add_argument("--positions", metavar="FILE",
                        help="opening positions of statements without a positions file "
                             "of their own (default: none)")
    parser.add_argument("--start", type=_date, metavar="D",
                        help="first day analysed (default: each statement's first trade)")
    parser.add_argument("--end", type=_date, metavar="D",
                        help="last day analysed (default: the market data's last day)")
    parser.add_argument("--accept-prices", action="store_true",
                        help="take trade prices far from the day's close with a warning")


def _parser():
    parser = argparse.ArgumentParser(prog="meridan batch", formatter_class=(
        argparse.ArgumentDefaultsHelpFormatter))
    _arguments(parser)
    return parser


def main(options, out=None, err=None):
    """Runs ``meridan batch`` on parsed options; returns the exit status."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    try:
        return _main(options, out, err)
    except BatchError as exc:
        print(f"error: {exc}", file=err)
        print("nothing written", file=err)
        return 2


def _count(n, one, many=None):
    """"1 statement", "2 statements"."""
    return f"{n:,} {one if n == 1 else (many or one + 's')}"


def _main(options, out, err):
    distributed = _imports()
    statements = {}
    for path in options.statements:
        if not os.path.isfile(path):
            raise BatchError(f"{path}: no such file")
        statements[path] = path
    if options.dir is not None:
        for portfolio, path in statements_in(options.dir).items():
            if portfolio in statements:
                raise BatchError(f"two statements have the id {portfolio!r}")
            statements[portfolio] = path
    if not statements:
        raise BatchError("no statements: name them, or give --dir with statements in it")
    if options.workers is not None and options.workers < 1:
        raise BatchError(f"--workers must be 1 or more, got {options.workers}")
    results = os.path.abspath(options.out)
    if os.path.exists(results) and not os.path.isdir(results):
        raise BatchError(f"--out {options.out} is a file; give a folder")
    if not os.path.isdir(os.path.dirname(results)):
        raise BatchError(f"--out {options.out}: no folder {os.path.dirname(results)} "
                         f"to make it in")
    analyse = {key: getattr(options, key) for key in ("benchmark", "sectors", "method",
                                                      "cash", "positions", "start", "end",
                                                      "accept_prices")}
    plain = _plain_options(analyse)   # before any cluster starts
    if plain["positions"] is not None and not os.path.isfile(plain["positions"]):
        raise BatchError(f"--positions {plain['positions']}: no such file")
    client = None
    if options.scheduler is not None:
        try:
            client = distributed.Client(options.scheduler, timeout="30s")
        except (OSError, TimeoutError) as exc:
            raise BatchError(f"--scheduler {options.scheduler}: cannot connect "
                             f"({exc})") from None
    workers = options.workers or os.cpu_count()
    print(f"Analysing {_count(len(statements), 'statement')} on "
          + (f"the cluster at {options.scheduler}" if client is not None else
             f"a local cluster of {_count(workers, 'worker process', 'worker processes')}"),
          file=err)
    began = time.perf_counter()
    try:
        found = analyse_many(statements, client, progress=err, workers=options.workers,
                             reports=(os.path.join(results, "reports") if options.reports
                                      else None), **analyse)
    finally:
        if client is not None:
            client.close()
    write(found, results)
    analysed = found.key_figures["portfolio"].nunique()
    print(f"{analysed:,} of {len(statements):,} statements analysed in "
          f"{_duration(time.perf_counter() - began)}; results in {results}", file=out)
    if len(found.failures):
        print(f"{len(found.failures):,} failed (failures.parquet):", file=out)
        for row in found.failures.head(20).itertuples():
            print(f"  {row.portfolio}: {row.step}: {row.message}", file=out)
        if len(found.failures) > 20:
            print(f"  ... and {len(found.failures) - 20:,} more", file=out)
    if len(found.unavailable):
        print(f"{found.unavailable['portfolio'].nunique():,} portfolios without an "
              f"analysis that could not be made on their data (unavailable.parquet)",
              file=out)
    if len(found.notes):
        print(f"{found.notes['portfolio'].nunique():,} portfolios with warnings or notes "
              f"the single command would print (notes.parquet)", file=out)
    return 1 if len(found.failures) or len(found.unavailable) else 0


if __name__ == "__main__":
    # Workers start by spawning a fresh interpreter that imports this module again:
    # the batch runs only in the main process.
    # The functions the workers run are taken from the module by its name.
    from meridan import batch

    sys.exit(batch.main(batch._parser().parse_args()))
