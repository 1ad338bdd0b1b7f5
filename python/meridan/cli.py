"""The ``meridan`` command: from a broker statement to a full analysis.

    meridan analyse STATEMENT [--benchmark hs300|zz500] [--sectors shenwan|msci]
                              [--method BHB|BF] [--cash N] [--positions FILE]
                              [--start D] [--end D] [--out report.html]

Reads the statement (``meridan.statement``: CSV, text or Excel, the package's columns
or the headers of a settlement statement) with every row's kind, replays the account
day by day over the market data (``meridan.account``): its trades, deposits and
withdrawals, income, taxes, allotments and bonus shares; checks its cash against the
statement's balance column, row by row; then runs the Brinson attribution, the factor
exposure, risk, profit-and-loss and style analyses on the days from ``--start`` to
``--end``, on the account per unit, so that money moved in or out is never return. The
tables are printed; one self-contained HTML page (BokehJS inline, no network needed to
view it) holds the two attribution charts, the value curve against the benchmark and
the tables.

Defaults: ``--start`` is the day of the first trade and ``--end`` the last trading
day of the market data; rows before ``--start`` are replayed but not analysed.
``--cash`` is the opening cash; without it the book opens with 0 when the statement's
deposits fund every purchase, and otherwise with the least cash that keeps its cash
from going below zero after any row, which is then shown as an assumption.
``--positions`` gives the holdings when the statement begins.

``STATEMENT`` may be the word ``sample`` (when no file has that name): the sample
statement shipped with the package (``meridan.sample_statement()``).

The market data the command runs on is named in the first line of its output and at
the top of the page: the generated sample market (invented prices), an imported store
or a store fetched from public sources, with its first and last day.

A bad statement (a cell that cannot be read, an unknown instrument, a trade on a day
without trading or without a close, a sale of more shares than are held), a ``--cash``
too small for the statement (its first row where the cash goes below zero and the cash
needed are named), a market-data store that is missing, damaged or cannot be built, a
benchmark index without closes in the store, and a report that cannot be written are
each one message on stderr; nothing is written and the exit status is 2. Codes the
store does not know come with the ``python -m tickvane fetch`` command that gives a
store holding them. An analysis that cannot be made on the data (an index without
weights in the store for the Brinson attribution, say) is reported and left out of the
page; the others still run, the report is written and the exit status is 1. Exit
status 0: every analysis is in the report. Where the command substitutes something for
missing data (a risk-free rate of 0 where the store has no yield curve; index weights
that the store holds only as an approximation) or cuts a range (an ``--end`` after
the market data's last day), a note says so, in the output and on the page. Without
factor exposures or factor returns in the store (a fetched store has none), the
factor-exposure and style analyses are not available, and the report says why.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import html
import importlib
import math
import os
import re
import shlex
import stat
import sys
import tempfile
import time
import warnings
from typing import NamedTuple

import pandas as pd

from tickvane._errors import StoreError

BENCHMARKS = {"hs300": ("000300.XSHG", "BrinsonBenchmark_HS300", "沪深300"),
              "zz500": ("000905.XSHG", "BrinsonBenchmark_ZZ500", "中证500")}
SECTORS = {"shenwan": "SectorDecider_ShenWan", "msci": "SectorDecider_MSCI"}


class Unavailable(Exception):
    """An analysis whose module is not installed or that failed on the data."""


def _module(name):
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise Unavailable(f"{name} is not installed ({exc})") from None


def _pct(value):
    if value is None or isinstance(value, str):
        return "" if value in (None, "") else value
    value = float(value)
    return "" if math.isnan(value) else f"{value:.2%}"


def _num(value):
    if value is None or isinstance(value, str):
        return "" if value in (None, "") else value
    value = float(value)
    return "" if math.isnan(value) else f"{value:.3f}"


class Progress:
    """One line per slow step on stderr, with its time. A warning shown while a step
    runs ends the step's open line first, and the step is named again with its result."""

    def __init__(self, stream=None):
        self.stream = sys.stderr if stream is None else stream
        self._t = time.perf_counter()
        self._text = None       # the step under way
        self._open = False      # its line is waiting for the result
        self._redrawn = False   # its line shows a fraction done

    def step(self, text):
        self._text = text
        self.stream.write(f"  {text} ...")
        self.stream.flush()
        self._open = True
        self._t = time.perf_counter()

    def update(self, fraction, what):
        """Shows how far the open step is (a fraction from 0 to 1, and what it is doing)
        on a terminal, redrawing its line; elsewhere nothing is written."""
        if self._open and self.stream.isatty():
            self.stream.write(f"\r  {self._text} ... {fraction:.0%} {what}\x1b[K")
            self.stream.flush()
            self._redrawn = True

    def done(self, text="done"):
        elapsed = f"{text} ({time.perf_counter() - self._t:.1f} s)"
        if self._open and self._redrawn:
            self.stream.write(f"\r  {self._text} ... {elapsed}\x1b[K\n")
        elif self._open:
            self.stream.write(f" {elapsed}\n")
        elif self._text is not None:
            self.stream.write(f"  {self._text}: {elapsed}\n")
        self.stream.flush()
        self._open, self._text, self._redrawn = False, None, False

    def end_line(self):
        """Ends the open step line, so that other output starts on a line of its own."""
        if self._open:
            self.stream.write("\n")
            self.stream.flush()
            self._open = False

    def line(self, text):
        self.end_line()
        self.stream.write(f"  {text}\n")
        self.stream.flush()

    def showing_warnings(self):
        """A context in which warnings are shown below the open step line, not in it."""
        progress = self

        class _Hook:
            def __enter__(self):
                self.saved = warnings.showwarning

                def show(*args, **kwargs):
                    progress.end_line()
                    self.saved(*args, **kwargs)
                warnings.showwarning = show
                return progress

            def __exit__(self, *exc):
                warnings.showwarning = self.saved
                return False

        return _Hook()


# --- the analyses -----------------------------------------------------------------

def brinson(series, options, md, start, end):
    calc = _module("meridan.brinson.calc")
    classifier = getattr(_module("meridan.brinson.classifier"), SECTORS[options.sectors])
    benchmark = getattr(_module("meridan.brinson.benchmark"),
                        BENCHMARKS[options.benchmark][1])
    _check_weights(BENCHMARKS[options.benchmark][0], [s["date"] for s in series])
    return calc.calc(series, benchmark, classifier, start, end, md, options.method)


def _check_weights(index_id, days):
    """Unavailable unless the store has the index's weights on every day analysed (the
    weights of a day are those of the latest weight date on or before it); without
    them the attribution would compare the portfolio with an empty index."""
    import tickvane

    def weighted(day):
        return len(tickvane.index_weights(index_id, day)) > 0

    if weighted(days[0]):
        return
    if not weighted(days[-1]):
        gap_end = days[-1]
    else:  # weights begin inside the span: the last day before the first weighted one
        low, high = 0, len(days) - 1
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (middle, high) if not weighted(days[middle]) else (low, middle)
        gap_end = days[low]
    raise Unavailable(f"the attribution cannot be made: the store has no weights for "
                      f"the index {index_id} from {days[0]} to {gap_end}")


def exposure(series, options, start, end, market=None):
    if market is not None:
        market.require("factor_exposures", "factor exposures")
    module = _module("meridan.exposure")
    benchmark = getattr(_module("meridan.brinson.benchmark"),
                        BENCHMARKS[options.benchmark][1])
    import tickvane

    index_id = BENCHMARKS[options.benchmark][0]
    result = module.exposure_analysis(series, benchmark, start, end)
    columns, weights, unweighted = {}, {}, []
    factors = None
    for day in sorted(result):
        record = result[day]
        factors = record["factors"]
        columns[f"{day} portfolio"] = [_num(v) for v in record["portfolio"]]
        # Without the index's weights its exposure would read 0 for every factor.
        if len(tickvane.index_weights(index_id, day)) > 0:
            columns[f"{day} benchmark"] = [_num(v) for v in record["benchmark"]]
        else:
            columns[f"{day} benchmark"] = ["n/a"] * len(factors)
            unweighted.append(str(day))
        weights[day] = (record["st_stock_weight"], record["new_stock_weight"])
    table = pd.DataFrame(columns, index=factors) if columns else pd.DataFrame()
    table.index.name = "factor"
    notes = [f"{day}: ST stocks {_pct(st)}, newly listed {_pct(new)} of the portfolio"
             for day, (st, new) in weights.items()]
    if unweighted:
        notes.append(f"the store has no weights for the index {index_id} on "
                     f"{', '.join(unweighted)}: no benchmark exposure (n/a)")
    return table, notes


def risk(values, index_id):
    """The risk table and its notes. Where the store has no yield curve on a window's
    first day, that window's risk-free rate is 0, and a note says so."""
    module = _module("meridan.risk")
    client = _ZeroRateWithoutCurve(module.tickvane,
                                   [label for _, label in module.YIELD_CURVE_TENORS])
    # The module looks its market-data client up at call time: the substitute serves
    # this call only.
    module.tickvane = client
    try:
        result = module.risk_analysis(values, index_id)
    finally:
        module.tickvane = client.client
    rows = {}
    for period, blocks in result.items():
        p, b = blocks["portfolio"], blocks["benchmark"]
        rows[period] = {
            "annual return": _pct(p["return"]), "benchmark annual return": _pct(b["return"]),
            "alpha": _pct(p["alpha"]), "beta": _num(p["beta"]),
            "sharpe": _num(p["sharpe"]), "benchmark sharpe": _num(b["sharpe"]),
            "sortino": _num(p["sortino"]),
            "max drawdown": _pct(p["max_drawdown"]),
            "benchmark max drawdown": _pct(b["max_drawdown"]),
            "VaR 95%": _pct(p["var"]), "benchmark VaR 95%": _pct(b["var"]),
        }
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "period"
    notes = []
    if client.days:
        days = sorted(set(client.days))
        notes.append("the store has no yield curve on " + ", ".join(map(str, days))
                     + ": a risk-free rate of 0 is used for the windows starting there")
    return table, notes


class _ZeroRateWithoutCurve:
    """The market-data client, except that a day without a yield curve has a curve of
    zeros; the days are recorded."""

    def __init__(self, client, tenors):
        self.client = client
        # The curve's columns: "0S", "1M" ... "50Y" for the tenors S0, M1 ... Y50.
        self.columns = [label[1:] + label[0] for label in tenors]
        self.days = []

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_yield_curve(self, start_date=None, end_date=None):
        curve = self.client.get_yield_curve(start_date, end_date)
        if curve is None and start_date is not None:
            day = pd.Timestamp(start_date).normalize()
            self.days.append(day.date())
            curve = pd.DataFrame(0.0, index=pd.DatetimeIndex([day], name="date"),
                                 columns=self.columns)
        return curve


def profit(values, index_id):
    result = _module("meridan.profit").profit_analysis(values, index_id)
    rows = {key: {"portfolio": _pct(p), "benchmark": _pct(b), "excess": _pct(p - b)}
            for key, (p, b) in result["summary"].items()}
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "period"
    return table


def style(values, market=None):
    """The style table. A window with no more trading days than the regression has
    parameters (the factors and the constant) leaves nothing to estimate them from: its
    row reads "n/a (k days)" instead of the numbers the least squares give."""
    import tickvane

    if market is not None:
        market.require("factor_returns", "factor returns")
    result = _module("meridan.style").style_analysis(values)
    labels = result["style"]
    parameters = len(labels) + 1
    first = values.index[0]
    rows, last_days = {}, None
    for key, coefficients in result.items():
        if key in ("style", "latest_tvalues"):
            continue
        returns = tickvane.get_factor_return(first, key)
        last_days = 0 if returns is None else len(returns)
        rows[f"window to {key}"] = (
            [_num(v) for v in coefficients] if last_days > parameters
            else [f"n/a ({last_days} days)"] * len(labels))
    rows["t (last window)"] = (
        [_num(v) for v in result["latest_tvalues"]]
        if last_days is None or last_days > parameters
        else [f"n/a ({last_days} days)"] * len(labels))
    table = pd.DataFrame.from_dict(rows, orient="index", columns=labels)
    table.index.name = "regression"
    notes = []
    if last_days is not None and any(str(v).startswith("n/a") for v in table.iloc[:, 0]):
        notes.append(f"a regression needs more trading days of factor returns than its "
                     f"{parameters} parameters (the factors and the constant); n/a marks "
                     f"a window of {parameters} days or fewer")
    return table, notes


# --- page -------------------------------------------------------------------------

def value_curve(values, bench, bench_name):
    from bokeh.plotting import figure

    fig = figure(width=960, height=400, x_axis_type="datetime", tools=["save"],
                 title="Cumulative return: portfolio and benchmark")
    fig.line(values.index, values / values.iloc[0] - 1, line_width=2,
             color="#084594", legend_label="portfolio")
    fig.line(bench.index, bench / bench.iloc[0] - 1, line_width=2, color="#9ecae1",
             legend_label=bench_name)
    fig.yaxis.axis_label = "return since the first day (fraction)"
    fig.legend.location = "top_left"
    return fig


def page(title, header_html, sections, figures):
    """The report as one HTML text: a header, then per section its figures or its
    table, BokehJS inline."""
    from bokeh.embed import file_html
    from bokeh.layouts import column
    from bokeh.models import Div
    from bokeh.resources import INLINE

    items = [Div(text=_STYLE + header_html, width=960)]
    for name, body in sections:
        items.append(Div(text=_STYLE + f"<h2>{html.escape(name)}</h2>", width=960))
        if isinstance(body, list):
            items.extend(body)
        else:
            items.append(Div(text=_STYLE + body, width=960))
    return file_html(column(*items), INLINE, title)


# Each Div is drawn in its own shadow tree, so every one carries the page's style.
_STYLE = ("<style>table{border-collapse:collapse;font:13px sans-serif}"
          "td,th{border:1px solid #ccc;padding:2px 6px;text-align:right}"
          "h1{font:bold 22px sans-serif}h2{font:bold 18px sans-serif;margin:24px 0 6px}"
          "p{font:14px sans-serif}</style>")


def _table_html(table, notes=()):
    text = table.to_html(escape=True, border=0)
    return text + "".join(f"<p>{html.escape(n)}</p>" for n in notes)


# --- command ----------------------------------------------------------------------

def _date(text):
    try:
        return pd.Timestamp(text).date()
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(f"not a date: {text!r}") from None


class _HelpFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Shows each option's default, unless its help says it in words."""

    def _get_help_string(self, action):
        if "(default:" in (action.help or ""):
            return action.help
        return super()._get_help_string(action)


def _parser():
    parser = argparse.ArgumentParser(
        prog="meridan", description="Portfolio analytics for A-share portfolios.")
    commands = parser.add_subparsers(dest="command", required=True)
    analyse = commands.add_parser(
        "analyse", help="a full analysis of a broker statement",
        formatter_class=_HelpFormatter,
        description="Replays a broker statement over the market data and writes an "
                    "HTML report: Brinson attribution, factor exposure, risk, profit "
                    "and loss, style.",
        epilog="Exit status: 0 when every analysis is in the report, 1 when the report "
               "was written without an analysis that could not be made on the data, 2 "
               "when nothing was written (a bad statement or option, market data that "
               "cannot be read, a report that cannot be written).")
    analyse.add_argument(
        "statement",
        help="CSV, text or Excel (.xlsx) trade statement: the package's columns or a "
             "settlement statement's (交割单); 'sample' for the sample statement "
             "shipped with the package")
    analyse.add_argument("--benchmark", choices=sorted(BENCHMARKS), default="hs300",
                         help="the index compared with: hs300 is the CSI 300 "
                              "(000300.XSHG), zz500 the CSI 500 (000905.XSHG)")
    analyse.add_argument("--sectors", choices=sorted(SECTORS), default="shenwan",
                         help="the sectors of the Brinson attribution: Shenwan "
                              "industries or MSCI sectors")
    analyse.add_argument("--method", choices=["BHB", "BF"], default="BHB",
                         help="Brinson-Hood-Beebower or Brinson-Fachler attribution")
    analyse.add_argument("--cash", type=float, default=None, metavar="N",
                         help="opening cash in yuan (default: 0 when the statement's "
                              "deposits fund every purchase, otherwise the least that "
                              "keeps the cash from going below zero)")
    analyse.add_argument("--positions", metavar="FILE",
                         help="the holdings when the statement begins: a CSV of code and "
                              "quantity, valued at the previous close (default: none)")
    analyse.add_argument("--start", type=_date, metavar="D",
                         help="first day analysed, year-month-day (default: the day of "
                              "the first trade)")
    analyse.add_argument("--end", type=_date, metavar="D",
                         help="last day analysed, year-month-day (default: the last "
                              "trading day of the market data)")
    analyse.add_argument("--accept-prices", action="store_true",
                         help="take trade prices outside half to twice the day's close "
                              "with a warning instead of refusing the statement (on the "
                              "generated sample market they are always only a warning)")
    analyse.add_argument("--out", default="report.html", metavar="FILE",
                         help="the HTML report to write")
    return parser


def main(argv=None):
    return analyse(_parser().parse_args(argv))


class _Refusal(Exception):
    """Stops the command: the message is shown and nothing is written."""


def _fail(message):
    print(f"error: {message}", file=sys.stderr)
    print("nothing written", file=sys.stderr)
    return 2


def analyse(options, out=None):
    """Runs the command on parsed options; returns the exit status (see the epilog)."""
    out = sys.stdout if out is None else out
    progress = Progress()
    try:
        with progress.showing_warnings():
            return _analyse(options, out, progress)
    except _Refusal as exc:
        progress.end_line()
        return _fail(str(exc))


def _statement_error(path, exc, market=None):
    # Errors about the whole file name it already; a row's error does not.
    text = str(exc)
    text = text if path in text else f"{path}: {text}"
    if market is not None and _UNKNOWN.search(text):
        text += "\n" + market.fetch_hint(path)
    return _Refusal(text)


_UNKNOWN = re.compile(r"unknown instrument ")


def _market_error(exc, building=False):
    """The one-line message for a store that cannot be opened, read or built."""
    if isinstance(exc, StoreError):
        text = str(exc)
        if not any(word in text for word in ("rebuild", "import", "reopen", "fetch")):
            text += ("; set TICKVANE_STORE to a good store, or make one with 'python -m "
                     "tickvane build-sample' or 'python -m tickvane import FOLDER'")
        return _Refusal(f"the market data cannot be read: {text}")
    path, _ = _store_path()
    if isinstance(exc, FileNotFoundError) and path in str(exc):
        return _Refusal(str(exc))
    where = exc.filename if getattr(exc, "filename", None) else path
    reason = exc.strerror or str(exc)
    if not building:
        return _Refusal(f"cannot open the market data at {path} ({where}: {reason}); "
                        f"check the file, or set TICKVANE_STORE to another store")
    return _Refusal(f"cannot build the sample market at {path} ({where}: {reason}); make "
                    f"{os.path.dirname(path)} writable and give it about 0.5 GB, or set "
                    f"TICKVANE_STORE to an existing store")


class _Market(NamedTuple):
    """What the command says about the store it reads: where its data come from, what
    it lacks, and how to add codes to it."""

    path: str
    meta: dict
    first: _dt.date
    last: _dt.date
    rows: dict

    @property
    def source(self):
        return self.meta.get("source")

    @property
    def origin(self):
        span = f"{self.first} to {self.last}"
        if self.source == "sample":
            return "the generated sample market (invented prices)"
        if self.source == "import":
            folder = self.meta.get("imported_from", self.path)
            return f"an imported store ({folder}, {span})"
        if self.source == "fetch":
            return (f"fetched from {self.meta.get('fetched_from', '?')} on "
                    f"{self.meta.get('fetched_at', '?')}, {span}")
        return f"the store {self.path} ({span})"

    def notes(self):
        """The notes on data the store holds only as an approximation."""
        weights = self.meta.get("index_weights") or ""
        if "approximation" not in weights.lower():
            return []
        detail = weights.split(":", 1)[1].strip() if ":" in weights else weights
        return [f"the store's index weights are an approximation ({detail}): the "
                f"attribution and the benchmark exposure use approximate weights"]

    def require(self, table, what):
        """Unavailable when the store holds no row of `table`."""
        if self.rows.get(table, 1) == 0:
            why = (" (a fetched store does not hold them)" if self.source == "fetch"
                   else "")
            raise Unavailable(f"the store has no {what}{why}")

    def fetch_hint(self, statement):
        """How to get a store that knows the statement's codes: the command that
        fetches them."""
        quote = shlex.quote
        if self.source == "fetch":
            universe = self.meta.get("universe") or "hs300,zz500"
            if statement not in [t.strip() for t in universe.split(",")]:
                universe += f",{statement}"
            start = self.meta.get("fetch_start")
            return ("add the codes the store lacks with: python -m tickvane fetch"
                    + (f" --start {quote(start)}" if start else "")
                    + f" --universe {quote(universe)} --store {quote(self.path)}")
        new = os.path.join(os.path.dirname(self.path), "fetched.sqlite")
        command = (f"python -m tickvane fetch --universe "
                   f"{quote('hs300,zz500,' + statement)} --store {quote(new)}")
        then = f"; then set TICKVANE_STORE={quote(new)}"
        if self.source == "sample":
            return (f"the generated sample market is invented and cannot hold real "
                    f"codes; fetch a real market that holds them with: {command}{then}")
        if self.source == "import":
            return (f"the store {self.path} does not hold them: add them to the files it "
                    f"was imported from and import it again, or fetch a real market that "
                    f"holds them with: {command}{then}")
        return (f"the store {self.path} does not hold them; fetch a real market that "
                f"holds them with: {command}{then}")


def _market_info():
    """The _Market of the store the operations read; None for a stand-in client that
    cannot describe its store."""
    import tickvane

    describe = getattr(tickvane, "store_info", None)
    if describe is None:
        return None
    info = describe()
    return _Market(info["path"], dict(info.get("meta") or {}),
                   pd.Timestamp(info["first_date"]).date(),
                   pd.Timestamp(info["last_date"]).date(), dict(info.get("rows") or {}))


def _store_path():
    import tickvane

    # A stand-in client (a test's) has no store file.
    where = getattr(tickvane, "store_path", None)
    return where() if where is not None else ("the market-data client", False)


def _open_market(progress):
    import tickvane

    path, building = _store_path()
    if building:
        # tickvane shows the build's progress itself: no step line is left open.
        progress.line(f"building the sample market at {path} (once, about 20 s)")
        began = time.perf_counter()
    else:
        progress.step("opening the market data")
    try:
        days = tickvane.get_trading_dates(_dt.date(1900, 1, 1), _dt.date(2199, 12, 31))
    except (StoreError, OSError) as exc:
        progress.done("failed")
        raise _market_error(exc, building) from None
    if not days:
        progress.done("failed")
        raise _Refusal(f"the market data in {path} has no trading days")
    if building:
        progress.line(f"the sample market is ready ({time.perf_counter() - began:.1f} s)")
    else:
        progress.done("ready")
    return days


def _analyse(options, out, progress):
    from meridan import account as acc
    from meridan.pcalc.replay import benchmark_value_series
    from meridan.quotes import CachedMarketDataProvider
    from meridan.statement import StatementError, StatementWarning, load_account

    if options.cash is not None and not (math.isfinite(options.cash)
                                         and options.cash >= 0):
        raise _Refusal(f"--cash must be a number of 0 or more, got {options.cash}")
    folder = os.path.dirname(os.path.abspath(options.out))
    if not os.path.isdir(folder):
        raise _Refusal(f"--out {options.out}: no folder {folder} to write the report in")
    if os.path.isdir(options.out):
        raise _Refusal(f"--out {options.out} is a folder; give a file name")
    statement = options.statement
    if statement == "sample" and not os.path.exists(statement):
        import meridan

        statement = meridan.sample_statement()
    opening_positions = None
    if options.positions is not None:
        try:
            opening_positions = acc.read_positions(options.positions)
        except (OSError, ValueError) as exc:
            text = str(exc)
            if isinstance(exc, OSError):
                text = f"{options.positions}: {exc.strerror or exc}"
            raise _Refusal(f"--positions {text}") from None
    index_id = BENCHMARKS[options.benchmark][0]
    md = CachedMarketDataProvider()
    notes = []

    try:
        market_days = _open_market(progress)
        market = _market_info()
        if market is not None:
            print(f"Market data: {market.origin}", file=out)
            notes += market.notes()
        progress.step(f"reading {statement}")
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", StatementWarning)
                account = load_account(statement, md, accept_prices=options.accept_prices,
                                       progress=progress.update)
        except StatementError as exc:
            progress.done("failed")
            raise _statement_error(statement, exc, market) from None
        trades, rows, events = account.trades, account.rows, account.events
        progress.done(f"{len(trades)} trades, {len(events)} other rows")
        for warning in caught:
            if issubclass(warning.category, StatementWarning):
                progress.line(f"{statement}: warning: {warning.message}")
            else:
                warnings.showwarning(warning.message, warning.category,
                                     warning.filename, warning.lineno)
        if not trades:
            raise _Refusal(f"{statement}: no trades")

        first_trade = trades[0].datetime.date()
        first_day, last_day = market_days[0], market_days[-1]
        start = options.start or first_trade
        end = options.end or last_day
        if options.end is not None and options.end > last_day:
            notes.append(f"--end {options.end} is after the market data's last day "
                         f"{last_day}: the analysis ends there")
            end = last_day
        if options.start is not None and options.start < first_day:
            notes.append(f"--start {options.start} is before the market data's first "
                         f"day {first_day}: the analysis starts there")
            start = first_day
        if start > end:
            raise _Refusal(f"--start {start} is after --end {end}")
        days = [t.datetime.date() for t in trades]
        days += [pd.Timestamp(d).date() for d in events["datetime"]]
        numbers = list(rows) + [int(r) for r in events.index]
        late = [n for d, n in zip(days, numbers) if d > end]
        if late:
            what = "a trade on a day" if min(late) in set(rows) else "a row dated"
            raise _Refusal(f"{statement}: row {min(late)}: {what} after the last day "
                           f"analysed ({end}); give a later --end")
        replay_start = min([start] + days)

        progress.step(f"replaying the book from {replay_start} to {end}")

        def replay(cash):
            return acc.replay_account(trades, rows, events, replay_start, end, md,
                                      cash=cash, positions=opening_positions)

        try:
            if options.cash is None:
                result, cash = acc.replay_with_least_cash(
                    trades, rows, events, replay_start, end, md, opening_positions)
            else:
                result = replay(options.cash)
                cash = options.cash
                overdraft = acc.first_overdraft(result)
                if overdraft is not None:
                    row, below = overdraft
                    least = cash + acc.least_opening_cash(result)
                    progress.done("failed")
                    raise _Refusal(
                        f"--cash {cash:,.2f} is not enough for {statement}: the cash "
                        f"goes below zero at row {row} ({_row_text(account, row)}), to "
                        f"{below:,.2f}; the statement needs an opening cash of at least "
                        f"{least:,.2f} (leave out --cash to open with that)")
        except (StatementError, ValueError) as exc:
            progress.done("failed")
            raise _statement_error(statement, exc) from None
        progress.done(f"{len(result.value_series)} days")

        in_range = ((result.value_series.index >= pd.Timestamp(start))
                    & (result.value_series.index <= pd.Timestamp(end)))
        if in_range.sum() < 2:
            raise _Refusal(f"fewer than two trading days from {start} to {end}")
        unit_value = result.unit_value[in_range]
        empty = unit_value.index[~(unit_value.to_numpy() > 0)]
        if len(empty):
            raise _Refusal(
                f"the account holds nothing on {empty[0].date()} (everything withdrawn, "
                f"or its value fell to zero): analyse the days before or after it with "
                f"--start and --end")
        series = [s for s, keep in zip(result.per_unit_series(), in_range) if keep]
        values = unit_value.rename(None)
        start, end = series[0]["date"], series[-1]["date"]
        flows = acc.performance(result, start, end)
        try:
            bench = benchmark_value_series(index_id, values)
        except ValueError:
            other = next(key for key in BENCHMARKS if key != options.benchmark)
            raise _Refusal(f"the store has no closes of the index {index_id} from "
                           f"{start}: fetch it, or choose --benchmark {other}") from None
        facts = _Facts(statement, account, cash, options.cash is not None, result,
                       flows, acc.reconcile(account.balances, result.row_cash),
                       opening_positions)
        return _report(options, out, progress, md, facts, series, values, bench, start,
                       end, notes, market)
    except StoreError as exc:
        progress.end_line()
        raise _market_error(exc) from None


class _Facts(NamedTuple):
    """What the command found about the account, shown above the analyses."""

    statement: str
    account: object
    cash: float
    cash_given: bool
    result: object
    performance: object
    reconciliation: object
    positions: dict | None

    def lines(self, name=None):
        """The account's facts as lines for a user: rows read, the opening state and
        what was assumed, the flows, the reconciliation, the returns. ``name`` stands
        for the statement's path (the page shows the file's name only)."""
        account, p = self.account, self.performance
        moving = len(account.skipped)
        out = [f"Statement {name or self.statement}: {len(account.trades)} trades, "
               f"{len(account.events)} other rows booked, {moving} "
               + ("row that moves nothing" if moving == 1 else "rows that move nothing")]
        if account.unknown:
            out.append(f"{len(account.unknown)} rows could not be read as any kind and "
                       f"were left out:")
            out += [f"  row {row}: {text}: {reason}"
                    for row, text, reason in account.unknown[:UNKNOWN_SHOWN]]
            if len(account.unknown) > UNKNOWN_SHOWN:
                out.append(f"  ... and {len(account.unknown) - UNKNOWN_SHOWN:,} more")
        held = (f" and {len(self.positions)} holdings (--positions, at the previous "
                f"close)" if self.positions else "")
        if self.cash_given:
            out.append(f"Opening cash {self.cash:,.2f} (--cash){held}")
        elif self.cash:
            out.append(f"Opening cash {self.cash:,.2f}{held}: assumed, the least that "
                       f"keeps the cash from going below zero, since the statement's "
                       f"deposits do not fund every purchase (give --cash to set it)")
        else:
            out.append(f"Opening cash 0.00{held}: the statement's deposits fund every "
                       f"purchase")
        out.append("Reconciliation: " + self.reconciliation.line())
        out += [f"Note: {note}" for note in self.result.notes]
        out.append(f"Flows after the first day: deposits {p.deposits:,.2f}, "
                   f"withdrawals {p.withdrawals:,.2f}")
        mwr = ("n/a (no single rate)" if p.money_weighted != p.money_weighted
               else f"{p.money_weighted:+.2%}"
               + (" a year" if p.annualised else " over the period"))
        out.append(f"Value {p.opening_value:,.2f} -> {p.final_value:,.2f}; profit "
                   f"{p.profit:+,.2f}; time-weighted return {p.time_weighted:+.2%}, "
                   f"money-weighted {mwr}")
        return out


UNKNOWN_SHOWN = 20


def _row_text(account, row):
    """A short description of statement row ``row``."""
    if row in account.events.index:
        record = account.events.loc[row]
        return str(record["text"])
    for trade, number in zip(account.trades, account.rows):
        if number == row:
            return (f"{trade.side.lower()} {trade.last_quantity:,} {trade.order_book_id} "
                    f"on {trade.datetime.date()}")
    return "?"


def _report(options, out, progress, md, facts, series, values, bench, start, end,
            notes, market=None):
    from meridan.statement import skipped_lines

    index_id, _, index_name = BENCHMARKS[options.benchmark]

    def say(text=""):
        print(text, file=out)

    def show(table):
        # Chinese labels are two columns wide in a terminal.
        with pd.option_context("display.unicode.east_asian_width", True,
                               "display.width", 250, "display.max_columns", None,
                               "display.max_rows", None):
            say(table.to_string())

    lines = facts.lines()
    say("\n" + lines[0])
    for line in skipped_lines(facts.account.skipped):
        say(f"  {line}")
    for line in lines[1:]:
        say(line)
    for note in notes:
        say(f"Note: {note}")
    say(f"Analysed {start} to {end} ({len(values)} trading days) against {index_name} "
        f"({index_id}); the analyses below see the account per unit, so that deposits "
        f"and withdrawals are not return")
    total = facts.performance.time_weighted
    bench_total = bench.iloc[-1] / bench.iloc[0] - 1
    say(f"Time-weighted return {total:+.2%} (benchmark {bench_total:+.2%})")

    sections, failures = [], []

    def run(title, work):
        progress.step(title)
        try:
            body = work()
        except StoreError:
            raise   # the whole command stops: the store cannot be read
        except Unavailable as exc:
            progress.done("not available")
            failures.append((title, str(exc)))
            return None
        except Exception as exc:  # an analysis that fails on this data
            progress.done("failed")
            failures.append((title, f"{type(exc).__name__}: {exc}"))
            return None
        progress.done()
        return body

    attribution = run("Brinson attribution",
                      lambda: brinson(series, options, md, start, end))
    figures = []
    if attribution is not None:
        report = _module("meridan.brinson.report")
        figures = list(report.report_figures(attribution))
        # Some thirty industry names side by side: slanted, they stay legible.
        figures[0].xaxis.major_label_orientation = 0.8
        shown = attribution.map(_pct)
        say(f"\nBrinson attribution ({options.method}, {options.sectors} sectors)")
        show(shown)
        sections.append((f"Brinson attribution ({options.method}, {options.sectors})",
                         figures + [_html_div(_STYLE + _table_html(shown))]))
    sections.append(("Value against the benchmark",
                     [value_curve(values, bench, index_name)]))

    for title, work in (
        ("Factor exposure", lambda: exposure(series, options, start, end, market)),
        ("Risk", lambda: risk(values, index_id)),
        ("Profit and loss", lambda: (profit(values, index_id), [])),
        ("Style regression", lambda: style(values, market)),
    ):
        body = run(title, work)
        if body is None:
            continue
        table, table_notes = body
        say(f"\n{title}")
        show(table)
        for note in table_notes:
            say(f"  {note}")
        sections.append((title, _table_html(table, table_notes)))

    for title, reason in failures:
        say(f"\n{title}: not available: {reason}")
        sections.append((title, f"<p>Not available: {html.escape(reason)}</p>"))

    header = ("<h1>Portfolio analysis</h1>"
              + (f"<p>Market data: {html.escape(market.origin)}</p>" if market else "")
              + "".join(f"<p>{html.escape(line)}</p>"
                        for line in facts.lines(os.path.basename(facts.statement)))
              + f"<p>Analysed {start} to {end} against {html.escape(index_name)} "
                f"({index_id}), per unit of the account. Time-weighted return "
                f"{total:+.2%}; benchmark {bench_total:+.2%}.</p>"
              + "".join(f"<p>Note: {html.escape(n)}</p>" for n in notes))
    progress.step(f"writing {options.out}")
    text = page("Portfolio analysis", header, sections, figures)
    try:
        _write(options.out, text)
    except OSError as exc:
        progress.done("failed")
        raise _Refusal(f"cannot write the report to {options.out}: "
                       f"{exc.strerror or exc}; free some space or give another "
                       f"--out") from None
    progress.done()
    if failures:
        say(f"\nReport written to {options.out} without: "
            + ", ".join(title for title, _ in failures))
        return 1
    say(f"\nReport written to {options.out}")
    return 0


def _html_div(text):
    from bokeh.models import Div

    return Div(text=text, width=960)


def _write(path, text):
    """Writes through a temporary file in the same folder, so that a failure leaves
    no half-written report. A path that is no regular file (a device or a pipe) is
    written directly: it cannot be replaced."""
    data = text.encode("utf-8")
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        with open(path, "wb") as stream:
            stream.write(data)
        return
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, suffix=".html.tmp")
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        # mkstemp makes the file private; a report is an ordinary file.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


if __name__ == "__main__":
    sys.exit(main())
