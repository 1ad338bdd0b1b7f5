"""The ``meridan`` command: from a broker statement to a full analysis.

    meridan analyse STATEMENT [--benchmark hs300|zz500] [--sectors shenwan|msci]
                              [--method BHB|BF] [--cash N] [--positions FILE]
                              [--start D] [--end D] [--out report.html]
                              [--lang zh|en]

Reads the statement (``meridan.statement``: CSV, text or Excel, the package's columns
or the headers of a settlement statement) with every row's kind, replays the account
day by day over the market data (``meridan.account``): its trades, deposits and
withdrawals, income, taxes, allotments and bonus shares; checks its cash against the
statement's balance column, row by row; then runs the Brinson attribution, the factor
exposure, risk, profit-and-loss and style analyses on the days from ``--start`` to
``--end``, on the account per unit, so that money moved in or out is never return. The
tables are printed; one self-contained HTML page (BokehJS inline, no network needed to
view it) reads top-down: the period, the market data and every assumption, the key
figures, then each analysis with its charts and tables, returns and weights in per
cent, each figure that can be misread explained in a sentence. ``--lang`` chooses the
language of its labels: zh (Chinese, the default) or en.

Defaults: ``--start`` is the day of the first trade and ``--end`` the last trading
day of the market data; rows before ``--start`` are replayed but not analysed.
``--cash`` is the opening cash; without it the book opens with the cash the
statement's balance column states (its first balance, less what the rows up to it
moved) when that funds every row, else with 0 when the statement's deposits fund
every purchase, and otherwise with the least cash that keeps its cash from going
below zero after any row, which is then shown as an assumption.
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

The command is ``meridan.analysis.run`` (the steps, one function each), then
``meridan.page.render`` (the page), then the write.
"""

from __future__ import annotations

import argparse
import errno
import os
import stat
import sys
import tempfile
import time
import warnings

import pandas as pd

from meridan.analysis import BENCHMARKS, SECTORS, TITLES, AnalysisError, account_lines


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
                         help="opening cash in yuan (default: as the statement's "
                              "balance column states it; without one, 0 when the "
                              "statement's deposits fund every purchase, otherwise the "
                              "least that keeps the cash from going below zero)")
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
    analyse.add_argument("--lang", choices=["zh", "en"], default="zh",
                         help="the language of the page: Chinese or English labels")
    from meridan import batch

    batch.add_parser(commands)
    return parser


def main(argv=None):
    options = _parser().parse_args(argv)
    if options.command == "batch":
        from meridan import batch

        return batch.main(options)
    return analyse(options)


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
    except (_Refusal, AnalysisError) as exc:
        progress.end_line()
        return _fail(str(exc))


def _analyse(options, out, progress):
    from meridan import analysis as _analysis
    from meridan import page as _page

    statement = _analysis.check_options(options.statement, _analysis.options_of(options))
    # The report must never replace one of the command's own inputs.
    for given, what in ((statement, "the statement"),
                        (getattr(options, "positions", None), "the --positions file")):
        if given and os.path.exists(given) and os.path.exists(options.out) \
                and os.path.samefile(given, options.out):
            raise _Refusal(f"--out {options.out} is {what}: writing the report there "
                           f"would destroy it; give another file name")
    folder = os.path.dirname(os.path.abspath(options.out))
    if not os.path.isdir(folder):
        raise _Refusal(f"--out {options.out}: no folder {folder} to write the report in")
    if os.path.isdir(options.out):
        raise _Refusal(f"--out {options.out} is a folder; give a file name")
    result = _analysis.run(options.statement, options, progress=progress)
    _say_analysis(result, out)
    progress.step(f"writing {options.out}")
    text = _page.render(result, getattr(options, "lang", "zh"))
    try:
        _write(options.out, text)
    except OSError as exc:
        progress.done("failed")
        # Only a full disk is helped by freeing space.
        advice = ("free some space or give another --out" if exc.errno == errno.ENOSPC
                  else "give another --out")
        raise _Refusal(f"cannot write the report to {options.out}: "
                       f"{exc.strerror or exc}; {advice}") from None
    progress.done()
    failures = result.facts["unavailable"]
    if failures:
        print(f"\nReport written to {options.out} without: "
              + ", ".join(TITLES[step] for step, _ in failures), file=out)
        return 1
    print(f"\nReport written to {options.out}", file=out)
    return 0


def _say_analysis(result, out):
    """The analysis as text: the market, the account's facts, the notes, then each
    analysis's table and notes, then those not available."""
    from meridan.page import shown
    from meridan.statement import skipped_lines

    facts = result.facts
    options = facts["options"]
    start, end, days = facts["period"]
    index_id, index_name = facts["benchmark"]

    def say(text=""):
        print(text, file=out)

    def show(table):
        # Chinese labels are two columns wide in a terminal.
        with pd.option_context("display.unicode.east_asian_width", True,
                               "display.width", 250, "display.max_columns", None,
                               "display.max_rows", None):
            say(table.to_string())

    if facts["market"] is not None:
        say(f"Market data: {facts['market'].origin}")
    lines = account_lines(facts)
    say("\n" + lines[0])
    for line in skipped_lines(facts["account"].skipped):
        say(f"  {line}")
    for line in lines[1:]:
        say(line)
    for note in facts["notes"]:
        say(f"Note: {note}")
    say(f"Analysed {start} to {end} ({days} trading days) against {index_name} "
        f"({index_id}); the analyses below see the account per unit, so that deposits "
        f"and withdrawals are not return")
    figures = result.key_figures
    say(f"Time-weighted return {figures['time_weighted_return']:+.2%} (benchmark "
        f"{figures['benchmark_return']:+.2%})")
    if result.brinson is not None:
        say(f"\nBrinson attribution ({options.method}, {options.sectors} sectors)")
        show(shown(result, "brinson"))
    for step in ("exposure", "risk", "profit", "style"):
        if getattr(result, step) is None:
            continue
        say(f"\n{TITLES[step]}")
        show(shown(result, step))
        for note in facts["section_notes"].get(step, ()):
            say(f"  {note}")
    for step, reason in facts["unavailable"]:
        say(f"\n{TITLES[step]}: not available: {reason}")


def _write(path, text):
    """Writes through a temporary file in the same folder, so that a failure leaves
    no half-written report. A path that is no regular file (a device or a pipe) is
    written directly: it cannot be replaced."""
    data = text.encode("utf-8")
    # A link is followed: the file it names is replaced, the link is kept.
    path = os.path.realpath(path)
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
        # mkstemp makes the file private; a new report is an ordinary file, and a
        # report written over keeps the permissions its owner gave it.
        if mode is not None:
            os.chmod(temporary, stat.S_IMODE(mode))
        else:
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
