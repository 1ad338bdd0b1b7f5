"""The ``meridan`` command: from a broker statement to a full analysis.

    meridan analyse STATEMENT [--benchmark hs300|zz500] [--sectors shenwan|msci]
                              [--method BHB|BF] [--cash N] [--start D] [--end D]
                              [--out report.html]

Reads the statement (``meridan.statement``: CSV, text or Excel, the package's columns
or the headers of a settlement statement), replays the book day by day over the
market data (``meridan.pcalc.replay``), then runs the Brinson attribution, the factor
exposure, risk, profit-and-loss and style analyses on the days from ``--start`` to
``--end``. The tables are printed; one self-contained HTML page (BokehJS inline, no
network needed to view it) holds the two attribution charts, the value curve against
the benchmark and the tables.

Defaults: ``--start`` is the day of the first trade and ``--end`` the last trading
day of the market data; trades before ``--start`` are replayed but not analysed.
``--cash`` is the opening cash; without it the book opens with the least cash that
keeps its cash from going below zero, so that returns measure the stocks bought.

A bad statement (a cell that cannot be read, an unknown instrument, a trade on a day
without trading or without a close, a sale of more shares than are held) is reported
with its row in the file and the value, and nothing is written. An analysis that
fails on the data is reported and left out of the page; the others still run.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import html
import importlib
import math
import os
import sys
import tempfile
import time

import pandas as pd

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
    """One line per slow step on stderr, with its time."""

    def __init__(self, stream=None):
        self.stream = sys.stderr if stream is None else stream
        self._t = time.perf_counter()

    def step(self, text):
        self.stream.write(f"  {text} ...")
        self.stream.flush()
        self._t = time.perf_counter()

    def done(self, text="done"):
        self.stream.write(f" {text} ({time.perf_counter() - self._t:.1f} s)\n")
        self.stream.flush()


# --- the analyses -----------------------------------------------------------------

def brinson(series, options, md, start, end):
    calc = _module("meridan.brinson.calc")
    classifier = getattr(_module("meridan.brinson.classifier"), SECTORS[options.sectors])
    benchmark = getattr(_module("meridan.brinson.benchmark"),
                        BENCHMARKS[options.benchmark][1])
    return calc.calc(series, benchmark, classifier, start, end, md, options.method)


def exposure(series, options, start, end):
    module = _module("meridan.exposure")
    benchmark = getattr(_module("meridan.brinson.benchmark"),
                        BENCHMARKS[options.benchmark][1])
    result = module.exposure_analysis(series, benchmark, start, end)
    columns, weights = {}, {}
    factors = None
    for day in sorted(result):
        record = result[day]
        factors = record["factors"]
        columns[f"{day} portfolio"] = record["portfolio"]
        columns[f"{day} benchmark"] = record["benchmark"]
        weights[day] = (record["st_stock_weight"], record["new_stock_weight"])
    table = pd.DataFrame(columns, index=factors).map(_num) if columns else pd.DataFrame()
    table.index.name = "factor"
    notes = [f"{day}: ST stocks {_pct(st)}, newly listed {_pct(new)} of the portfolio"
             for day, (st, new) in weights.items()]
    return table, notes


def risk(values, index_id):
    result = _module("meridan.risk").risk_analysis(values, index_id)
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
    return table


def profit(values, index_id):
    result = _module("meridan.profit").profit_analysis(values, index_id)
    rows = {key: {"portfolio": _pct(p), "benchmark": _pct(b), "excess": _pct(p - b)}
            for key, (p, b) in result["summary"].items()}
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "period"
    return table


def style(values):
    result = _module("meridan.style").style_analysis(values)
    labels = result["style"]
    rows = {f"window to {key}": [_num(v) for v in coefficients]
            for key, coefficients in result.items()
            if key not in ("style", "latest_tvalues")}
    rows["t (last window)"] = [_num(v) for v in result["latest_tvalues"]]
    table = pd.DataFrame.from_dict(rows, orient="index", columns=labels)
    table.index.name = "regression"
    return table


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


def _parser():
    parser = argparse.ArgumentParser(
        prog="meridan", description="Portfolio analytics for A-share portfolios.")
    commands = parser.add_subparsers(dest="command", required=True)
    analyse = commands.add_parser(
        "analyse", help="a full analysis of a broker statement",
        description="Replays a broker statement over the market data and writes an "
                    "HTML report: Brinson attribution, factor exposure, risk, profit "
                    "and loss, style.")
    analyse.add_argument("statement", help="CSV, text or Excel (.xlsx) trade statement")
    analyse.add_argument("--benchmark", choices=sorted(BENCHMARKS), default="hs300")
    analyse.add_argument("--sectors", choices=sorted(SECTORS), default="shenwan")
    analyse.add_argument("--method", choices=["BHB", "BF"], default="BHB",
                         help="Brinson-Hood-Beebower or Brinson-Fachler attribution")
    analyse.add_argument("--cash", type=float, default=None,
                         help="opening cash (default: the least that keeps cash >= 0)")
    analyse.add_argument("--start", type=_date, help="first day analysed")
    analyse.add_argument("--end", type=_date, help="last day analysed")
    analyse.add_argument("--out", default="report.html", help="HTML report to write")
    return parser


def main(argv=None):
    return analyse(_parser().parse_args(argv))


def _fail(message):
    print(f"error: {message}", file=sys.stderr)
    print("nothing written", file=sys.stderr)
    return 2


def analyse(options, out=None):
    from meridan.pcalc.replay import benchmark_value_series
    from meridan.quotes import CachedMarketDataProvider
    from meridan.statement import StatementError, load_statement, replay_statement

    import tickvane

    out = sys.stdout if out is None else out
    progress = Progress()
    if options.cash is not None and not (math.isfinite(options.cash)
                                         and options.cash >= 0):
        return _fail(f"--cash must be a number of 0 or more, got {options.cash}")
    folder = os.path.dirname(os.path.abspath(options.out))
    if not os.path.isdir(folder) or os.path.isdir(options.out):
        return _fail(f"--out {options.out}: no folder {folder} to write the report in"
                     if not os.path.isdir(folder) else
                     f"--out {options.out} is a folder; give a file name")
    index_id, _, index_name = BENCHMARKS[options.benchmark]
    md = CachedMarketDataProvider()

    # The first use of the sample market builds it (tickvane shows its own progress).
    progress.step("opening the market data")
    tickvane.get_trading_dates(_dt.date(2020, 1, 1), _dt.date(2020, 1, 10))
    progress.done("ready")

    progress.step(f"reading {options.statement}")
    try:
        trades, rows, skipped = load_statement(options.statement, md)
    except StatementError as exc:
        progress.done("failed")
        return _fail(f"{options.statement}: {exc}")
    progress.done(f"{len(trades)} trades")
    if not trades:
        return _fail(f"{options.statement}: no trades")

    first_trade = trades[0].datetime.date()
    last_trade = trades[-1].datetime.date()
    today = _dt.date.today()
    market_days = tickvane.get_trading_dates(first_trade, max(today, last_trade))
    start = options.start or first_trade
    end = options.end or (pd.Timestamp(market_days[-1]).date() if market_days
                          else last_trade)
    if start > end:
        return _fail(f"--start {start} is after --end {end}")
    if last_trade > end:
        late = next(r for t, r in zip(trades, rows) if t.datetime.date() > end)
        return _fail(f"{options.statement}: row {late}: a trade on a day after the "
                     f"last day analysed ({end}); give a later --end")
    replay_start = min(start, first_trade)

    progress.step(f"replaying the book from {replay_start} to {end}")
    try:
        cash = options.cash
        result = replay_statement(trades, rows, replay_start, end, md,
                                  cash=0.0 if cash is None else cash)
        if cash is None:
            low = min(s["cash"] for s in result.portfolio_series)
            cash = float(math.ceil(max(0.0, -low)))
            if cash:
                result = replay_statement(trades, rows, replay_start, end, md, cash=cash)
    except StatementError as exc:
        progress.done("failed")
        return _fail(f"{options.statement}: {exc}")
    progress.done(f"{len(result.value_series)} days")

    series = [s for s in result.portfolio_series if start <= s["date"] <= end]
    values = result.value_series[(result.value_series.index >= pd.Timestamp(start))
                                 & (result.value_series.index <= pd.Timestamp(end))]
    if len(values) < 2:
        return _fail(f"fewer than two trading days from {start} to {end}")
    if min(s["market_value"] for s in series) <= 0:
        return _fail("the book's value falls to zero or below; give more --cash")
    bench = benchmark_value_series(index_id, values)
    start, end = series[0]["date"], series[-1]["date"]

    def say(text=""):
        print(text, file=out)

    def show(table):
        # Chinese labels are two columns wide in a terminal.
        with pd.option_context("display.unicode.east_asian_width", True,
                               "display.width", 250, "display.max_columns", None,
                               "display.max_rows", None):
            say(table.to_string())

    say(f"\nStatement {options.statement}: {len(trades)} trades, "
        f"{len(skipped)} other rows skipped")
    for number, text in skipped:
        say(f"  skipped row {number}: {text}")
    say(f"Opening cash {cash:,.2f}; analysed {start} to {end} ({len(values)} trading "
        f"days) against {index_name} ({index_id})")
    total = values.iloc[-1] / values.iloc[0] - 1
    bench_total = bench.iloc[-1] / bench.iloc[0] - 1
    say(f"Value {values.iloc[0]:,.2f} -> {values.iloc[-1]:,.2f}: {total:+.2%} "
        f"(benchmark {bench_total:+.2%})")

    sections, failures = [], []

    def run(title, work):
        progress.step(title)
        try:
            body = work()
        except Unavailable as exc:
            progress.done("skipped")
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
        ("Factor exposure", lambda: exposure(series, options, start, end)),
        ("Risk", lambda: (risk(values, index_id), [])),
        ("Profit and loss", lambda: (profit(values, index_id), [])),
        ("Style regression", lambda: (style(values), [])),
    ):
        body = run(title, work)
        if body is None:
            continue
        table, notes = body
        say(f"\n{title}")
        show(table)
        for note in notes:
            say(f"  {note}")
        sections.append((title, _table_html(table, notes)))

    for title, reason in failures:
        say(f"\n{title}: not available: {reason}")
        sections.append((title, f"<p>Not available: {html.escape(reason)}</p>"))

    header = (f"<h1>Portfolio analysis</h1>"
              f"<p>Statement {html.escape(os.path.basename(options.statement))}: "
              f"{len(trades)} trades; analysed {start} to {end} against "
              f"{html.escape(index_name)} ({index_id}). Opening cash {cash:,.2f}. "
              f"Value {values.iloc[0]:,.2f} → {values.iloc[-1]:,.2f} ({total:+.2%}; "
              f"benchmark {bench_total:+.2%}).</p>")
    progress.step(f"writing {options.out}")
    text = page("Portfolio analysis", header, sections, figures)
    _write(options.out, text)
    progress.done()
    say(f"\nReport written to {options.out}")
    return 0


def _html_div(text):
    from bokeh.models import Div

    return Div(text=text, width=960)


def _write(path, text):
    """Writes through a temporary file in the same folder, so that a failure leaves
    no half-written report."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, suffix=".html.tmp")
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as stream:
            stream.write(text)
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
