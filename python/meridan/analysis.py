"""The analysis behind the ``meridan analyse`` command, one function per step.

``run(statement, options)`` reads a broker statement, replays the account over the
market data, and makes every analysis on the account per unit (so that deposits and
withdrawals are never return): the Brinson attribution, the factor exposure, risk,
profit and loss and style. It returns an ``Analysis`` holding the numbers;
``meridan.page.render`` turns one into the HTML page.

A refusal (a bad statement or option, market data that cannot be read) raises
``AnalysisError`` with the one-line message the command prints and the step that
refused. An analysis that cannot be made on the data (its module missing, an index
without weights, too few days) does not stop the others: its field of the result is
None and ``facts["unavailable"]`` says why.
"""

from __future__ import annotations

import argparse
import bisect
import datetime as _dt
import importlib
import math
import os
import re
import shlex
import time
import warnings
from typing import Any, NamedTuple

import pandas as pd

from tickvane._errors import StoreError

BENCHMARKS = {"hs300": ("000300.XSHG", "BrinsonBenchmark_HS300", "沪深300"),
              "zz500": ("000905.XSHG", "BrinsonBenchmark_ZZ500", "中证500")}
SECTORS = {"shenwan": "SectorDecider_ShenWan", "msci": "SectorDecider_MSCI"}

# The command's options and their defaults.
DEFAULTS = {"benchmark": "hs300", "sectors": "shenwan", "method": "BHB", "cash": None,
            "positions": None, "start": None, "end": None, "accept_prices": False,
            "lang": "zh"}

# The analyses, by step name, with their titles, in the order they are made.
TITLES = {"brinson": "Brinson attribution", "attribution": "Attribution over time",
          "exposure": "Factor exposure", "risk": "Risk", "profit": "Profit and loss",
          "style": "Style regression"}


class AnalysisError(Exception):
    """The analysis was refused: ``str(error)`` is the one-line message for the user,
    ``error.step`` the step that refused ("options", "market", "statement", "replay",
    "benchmark")."""

    def __init__(self, message, step=None):
        super().__init__(message)
        self.step = step


def _market_refusal(message):
    return AnalysisError(message, "market")


class Unavailable(Exception):
    """An analysis whose module is not installed or that failed on the data."""


class Analysis(NamedTuple):
    """What ``run`` found.

    statement: the path of the statement read.
    facts: a dict of what the page states before the analyses: "period" (first day,
        last day, trading days), "market" (the store's description, or None),
        "benchmark" (id, name), "options", "cash", "cash_given", "cash_assumed",
        "cash_stated" ((balance column, row) the opening cash was read at, or None),
        "positions", "account", "replay", "performance" (the flows and returns),
        "reconciliation", "notes" (substitutions and cut ranges), "section_notes"
        ({step: [notes under its table]}), "unavailable" ([(step, reason)] in the
        order found), "risk_free_rate" (the whole period's annual rate).
    key_figures: the whole period's figures (fractions; NaN when undefined).
    values, benchmark_values: the account's value per unit and the index's closes on
        the days analysed.
    series: the per-unit snapshots of those days.
    brinson, risk, profit, exposure, style: the analyses' tables (numbers), or None.
    attribution: the attribution whose effects add up over the period (see
        ``attribution``), or None.
    """

    statement: str
    facts: dict
    key_figures: dict
    values: pd.Series
    benchmark_values: pd.Series
    series: list
    brinson: Any
    risk: Any
    profit: Any
    exposure: Any
    style: Any
    attribution: Any = None


KEY_FIGURES = ("time_weighted_return", "money_weighted_return", "benchmark_return",
               "excess_return", "volatility", "max_drawdown", "sharpe", "beta",
               "tracking_error", "information_ratio")


def _module(name):
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise Unavailable(f"{name} is not installed ({exc})") from None


def _float(value):
    """A figure as a float; the text some blocks hold where a figure has no meaning
    ("") reads as NaN."""
    if value is None or isinstance(value, str):
        return math.nan
    return float(value)


class _Silent:
    """Progress that shows nothing (``run`` without a ``progress``)."""

    def step(self, text):
        pass

    def update(self, fraction, what):
        pass

    def done(self, text="done"):
        pass

    def end_line(self):
        pass

    def line(self, text):
        pass


def options_of(options=None):
    """The analyse options as a Namespace: ``options`` (a mapping or a Namespace)
    over the command's defaults; dates given as text are read as dates."""
    if options is None:
        given = {}
    elif isinstance(options, argparse.Namespace):
        given = vars(options)
    else:
        given = dict(options)
    merged = {**DEFAULTS, **given}
    for key in ("start", "end"):
        value = merged[key]
        if value is not None and not isinstance(value, _dt.date):
            try:
                merged[key] = pd.Timestamp(value).date()
            except (TypeError, ValueError):
                raise AnalysisError(f"--{key}: not a date: {value!r}", "options") from None
        elif isinstance(value, _dt.datetime):
            merged[key] = value.date()
    if merged["benchmark"] not in BENCHMARKS:
        raise AnalysisError(f"--benchmark {merged['benchmark']!r}: choose one of "
                            f"{', '.join(sorted(BENCHMARKS))}", "options")
    if merged["sectors"] not in SECTORS:
        raise AnalysisError(f"--sectors {merged['sectors']!r}: choose one of "
                            f"{', '.join(sorted(SECTORS))}", "options")
    if merged["method"] not in ("BHB", "BF"):
        raise AnalysisError(f"--method {merged['method']!r}: choose BHB or BF", "options")
    return argparse.Namespace(**merged)


# --- the analyses -----------------------------------------------------------------

def brinson(series, options, md, start, end):
    calc = _module("meridan.brinson.calc")
    classifier = getattr(_module("meridan.brinson.classifier"), SECTORS[options.sectors])
    benchmark = getattr(_module("meridan.brinson.benchmark"),
                        BENCHMARKS[options.benchmark][1])
    _check_weights(BENCHMARKS[options.benchmark][0], [s["date"] for s in series])
    return calc.calc(series, benchmark, classifier, start, end, md, options.method)


def attribution(result, series, options, md, start, end):
    """The attribution whose effects add up to the active return (Carino linking), a
    named tuple (table, periods, holdings) as ``meridan.brinson.attribute`` gives it,
    with ``names`` ({order_book_id: name}) empty: ``analyses`` fills it from the
    statement's trades.

    It is made on the account's own snapshots of the days of ``series`` (the per-unit
    snapshots) with the flows the replay recorded: the attribution opens units on the
    first day and books each flow in units, as the replay does, so its returns are
    those of the per-unit series and flow days cut the periods. The per-unit snapshots
    with those flows would count every flow twice, and without them a deposit into
    cash would not cut its period (the holdings in shares are the same)."""
    brinson_module = _module("meridan.brinson")
    classifier = getattr(_module("meridan.brinson.classifier"), SECTORS[options.sectors])
    benchmark = getattr(_module("meridan.brinson.benchmark"),
                        BENCHMARKS[options.benchmark][1])
    _check_weights(BENCHMARKS[options.benchmark][0], [s["date"] for s in series])
    days = {pd.Timestamp(s["date"]) for s in series}
    snapshots = [s for s in result.portfolio_series if pd.Timestamp(s["date"]) in days]
    flows = result.flows
    if flows is not None and len(flows):
        first, last = pd.Timestamp(start), pd.Timestamp(end)
        flows = flows[(flows.index > first) & (flows.index <= last) & (flows != 0)]
        emptied = pd.Timestamp(snapshots[-1]["date"])
        if snapshots[-1]["market_value"] == 0 and emptied in flows.index:
            # Emptied at the last close: its units are redeemed at that close, so the
            # range's returns are those of the account before the withdrawal.
            back = -float(flows[emptied])
            snapshots[-1] = {**snapshots[-1], "cash": snapshots[-1]["cash"] + back,
                             "market_value": snapshots[-1]["market_value"] + back}
            flows = flows.drop(emptied)
    found = brinson_module.attribute(snapshots, benchmark, classifier, start, end, md,
                                     method=options.method, linking="carino",
                                     flows=flows if flows is not None and len(flows)
                                     else None)
    return Attribution(*found, names={})


class Attribution(NamedTuple):
    """``meridan.brinson.attribute``'s result with the names of the holdings."""

    table: pd.DataFrame
    periods: pd.DataFrame
    holdings: pd.DataFrame
    names: dict


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
    """The exposure table (factors by "DAY portfolio" and "DAY benchmark" columns) and
    its notes. A day the store has no index weights for has no benchmark exposure (it
    would read 0 for every factor): its column is NaN and is listed in the table's
    ``attrs["no_weights"]``; ``attrs["weights"]`` holds {day: (ST weight, newly
    listed weight)} of the stock holdings."""
    if market is not None:
        market.require("factor_exposures", "factor exposures")
    module = _module("meridan.exposure")
    benchmark = getattr(_module("meridan.brinson.benchmark"),
                        BENCHMARKS[options.benchmark][1])
    import tickvane

    index_id = BENCHMARKS[options.benchmark][0]
    result = module.exposure_analysis(series, benchmark, start, end)
    columns, weights, unweighted, missing = {}, {}, [], []
    factors = None
    for day in sorted(result):
        record = result[day]
        factors = record["factors"]
        columns[f"{day} portfolio"] = [_float(v) for v in record["portfolio"]]
        if len(tickvane.index_weights(index_id, day)) > 0:
            columns[f"{day} benchmark"] = [_float(v) for v in record["benchmark"]]
        else:
            columns[f"{day} benchmark"] = [math.nan] * len(factors)
            missing.append(f"{day} benchmark")
            unweighted.append(str(day))
        weights[day] = (record["st_stock_weight"], record["new_stock_weight"])
    table = pd.DataFrame(columns, index=factors) if columns else pd.DataFrame()
    table.index.name = "factor"
    table.attrs["no_weights"] = missing
    table.attrs["weights"] = weights
    notes = [f"{day}: ST stocks {_pct(st)}, newly listed {_pct(new)} of the stock holdings"
             for day, (st, new) in weights.items()]
    if unweighted:
        notes.append(f"the store has no weights for the index {index_id} on "
                     f"{', '.join(unweighted)}: no benchmark exposure (n/a)")
    return table, notes


def _pct(value):
    if value is None or isinstance(value, str):
        return "" if value in (None, "") else value
    value = float(value)
    return "" if math.isnan(value) else f"{value:.2%}"


RISK_COLUMNS = {
    "annual return": ("portfolio", "return"), "benchmark annual return": ("benchmark", "return"),
    "alpha": ("portfolio", "alpha"), "beta": ("portfolio", "beta"),
    "sharpe": ("portfolio", "sharpe"), "benchmark sharpe": ("benchmark", "sharpe"),
    "sortino": ("portfolio", "sortino"),
    "max drawdown": ("portfolio", "max_drawdown"),
    "benchmark max drawdown": ("benchmark", "max_drawdown"),
    "VaR 95%": ("portfolio", "var"), "benchmark VaR 95%": ("benchmark", "var"),
}


def risk(values, index_id):
    """The risk table (periods by figures, fractions) and its notes. Where the store has
    no yield curve on a window's first day, that window's risk-free rate is 0, and a
    note says so."""
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
    rows = {period: {column: _float(blocks[side][name])
                     for column, (side, name) in RISK_COLUMNS.items()}
            for period, blocks in result.items()}
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
    """The profit-and-loss table: periods by portfolio, benchmark and excess return."""
    result = _module("meridan.profit").profit_analysis(values, index_id)
    rows = {key: {"portfolio": _float(p), "benchmark": _float(b),
                  "excess": _float(p) - _float(b)}
            for key, (p, b) in result["summary"].items()}
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "period"
    return table


def style(values, market=None):
    """The style table (regressions by style factors) and its notes. A window with no
    more trading days than the regression has parameters (the factors and the
    constant) leaves nothing to estimate them from: its row is NaN, and
    ``attrs["short"]`` holds {row: its days} for such rows."""
    import tickvane

    if market is not None:
        market.require("factor_returns", "factor returns")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = _module("meridan.style").style_analysis(values)
    labels = result["style"]
    parameters = len(labels) + 1
    first = values.index[0]
    rows, short, last_days = {}, {}, None
    for key, coefficients in result.items():
        if key in ("style", "latest_tvalues"):
            continue
        returns = tickvane.get_factor_return(first, key)
        last_days = 0 if returns is None else len(returns)
        rows[f"window to {key}"] = [_float(v) for v in coefficients]
        if last_days <= parameters:
            short[f"window to {key}"] = last_days
    rows["t (last window)"] = [_float(v) for v in result["latest_tvalues"]]
    if last_days is not None and last_days <= parameters:
        short["t (last window)"] = last_days
    table = pd.DataFrame.from_dict(rows, orient="index", columns=labels)
    for row in short:
        table.loc[row] = math.nan
    table.index.name = "regression"
    table.attrs["short"] = short
    _pass_on(caught, rank_deficient=sum(row.startswith("window to") for row in short))
    notes = []
    if last_days is not None and short:
        notes.append(f"a regression needs more trading days of factor returns than its "
                     f"{parameters} parameters (the factors and the constant); n/a marks "
                     f"a window of {parameters} days or fewer")
    return table, notes


def _pass_on(caught, rank_deficient):
    """Warnings ``caught`` by a step, passed on through the filters in force, but for
    the first ``rank_deficient`` warnings of a rank-deficient regression: a window too
    short for its parameters is shown as n/a with a note, which says more."""
    for warning in caught:
        if warning.category.__name__ == "SingularMatrixWarning" and rank_deficient > 0:
            rank_deficient -= 1
            continue
        warnings.warn_explicit(warning.message, warning.category, warning.filename,
                               warning.lineno)


def risk_free_rate(values):
    """The annual risk-free rate of the whole period (that of the risk table's "total"
    window): 0 where the store has no yield curve on its first day, or without the
    risk module."""
    try:
        module = importlib.import_module("meridan.risk")
    except ImportError:
        return 0.0
    client = _ZeroRateWithoutCurve(module.tickvane,
                                   [label for _, label in module.YIELD_CURVE_TENORS])
    module.tickvane = client
    try:
        return float(module.get_risk_free_rate(values.index[1], values.index[-1]))
    except (KeyError, IndexError, ValueError, TypeError):
        return 0.0
    finally:
        module.tickvane = client.client


def key_figures(values, bench, performance, rate=0.0):
    """The whole period's figures: the returns, and perilon's figures of the daily
    returns against the index's at the annual risk-free rate ``rate``."""
    twr = float(performance.time_weighted)
    bench_total = float(bench.iloc[-1] / bench.iloc[0] - 1)
    figures = dict.fromkeys(KEY_FIGURES, math.nan)
    figures.update(time_weighted_return=twr,
                   money_weighted_return=float(performance.money_weighted),
                   benchmark_return=bench_total, excess_return=twr - bench_total)
    try:
        import perilon
    except ImportError:
        return figures
    risk_of = perilon.Risk(values.pct_change().iloc[1:].to_numpy(),
                           bench.pct_change().iloc[1:].to_numpy(), rate)
    for name in ("volatility", "max_drawdown", "sharpe", "beta", "tracking_error",
                 "information_ratio"):
        figures[name] = float(getattr(risk_of, name))
    return figures


# --- the command's steps ----------------------------------------------------------

def run(statement, options=None, md=None, progress=None):
    """The whole analysis of ``statement`` (a path, or "sample" for the sample
    statement shipped with the package when no file has that name).

    ``options``: a mapping or an argparse Namespace with the analyse options
    (benchmark, sectors, method, cash, positions, start, end, accept_prices, lang);
    missing ones take the command's defaults (``DEFAULTS``). ``md``: the market-data
    provider (default: a new ``CachedMarketDataProvider``). ``progress``: an object
    with the methods of ``meridan.cli.Progress`` that is told of each slow step.

    Returns an ``Analysis``. Raises ``AnalysisError`` when the analysis is refused."""
    options = options_of(options)
    progress = _Silent() if progress is None else progress
    statement = check_options(statement, options)
    opening_positions = read_positions(options)
    if md is None:
        from meridan.quotes import CachedMarketDataProvider

        md = CachedMarketDataProvider()
    try:
        market_days = _open_market(progress)
        check_positions(options, opening_positions)
        market = _market_info()
        notes = list(market.notes()) if market is not None else []
        account = read_statement(statement, options, md, market, progress)
        start, end, replay_start = period(statement, account, options, market_days, notes)
        result, cash, stated_at = replay(statement, account, options, md,
                                         opening_positions, replay_start, end, progress)
        end = emptied_end(result, start, end, options.end, notes)
        series, values, start, end = per_unit(result, start, end)
        _say_first_day(result, start, notes)
        _say_delisted(series, notes)
        bench = benchmark(options, values, start)
        facts = _facts(statement, account, (cash, stated_at), options, result,
                       opening_positions, (start, end, len(values)), market, notes)
        return analyses(statement, options, md, facts, series, values, bench, progress)
    except StoreError as exc:
        progress.end_line()
        raise _market_error(exc) from None


def check_options(statement, options):
    """The statement's path ("sample" is the shipped sample statement when no file has
    that name); refuses an opening cash that is not a number of 0 or more."""
    if options.cash is not None and not math.isfinite(options.cash):
        raise AnalysisError(f"--cash must be a finite number, got {options.cash}",
                            "options")
    if options.cash is not None and not options.cash >= 0:
        raise AnalysisError(f"--cash must be a number of 0 or more, got {options.cash}",
                            "options")
    if statement == "sample" and not os.path.exists(statement):
        import meridan

        statement = meridan.sample_statement()
    return statement


def read_positions(options):
    """The holdings of ``--positions``, or None."""
    if options.positions is None:
        return None
    from meridan import account as acc

    try:
        return acc.read_positions(options.positions)
    except (OSError, ValueError) as exc:
        text = str(exc)
        if isinstance(exc, OSError):
            text = f"{options.positions}: {exc.strerror or exc}"
        raise AnalysisError(f"--positions {text}", "options") from None


def check_positions(options, positions):
    """Refuses a holding of ``--positions`` that the market data does not know or that
    is not a stock, as the statement's own rows are refused."""
    from meridan.statement import instrument_fault

    for oid in positions or ():
        _, fault = instrument_fault(oid)
        if fault:
            raise AnalysisError(f"--positions {options.positions}: {fault}: only stocks "
                                f"the market data knows can be held", "options")


def read_statement(statement, options, md, market, progress):
    """The statement's account (trades, events, balances); its warnings are shown as
    progress lines. Refuses a statement that cannot be read or holds no trade."""
    from meridan.statement import StatementError, StatementWarning, load_account

    progress.step(f"reading {statement}")
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", StatementWarning)
            account = load_account(statement, md, accept_prices=options.accept_prices,
                                   progress=progress.update)
    except StatementError as exc:
        progress.done("failed")
        raise _statement_error(statement, exc, market) from None
    trades, events = account.trades, account.events
    progress.done(f"{len(trades)} trades, {len(events)} other rows")
    for warning in caught:
        if issubclass(warning.category, StatementWarning):
            progress.line(f"{statement}: warning: {warning.message}")
        else:
            warnings.showwarning(warning.message, warning.category,
                                 warning.filename, warning.lineno)
    if not trades:
        raise AnalysisError(f"{statement}: no trades", "statement")
    return account


def period(statement, account, options, market_days, notes):
    """(start, end, the first day replayed): ``--start`` and ``--end`` or their
    defaults, cut to the market data's days (``notes`` is told so)."""
    trades, rows, events = account.trades, account.rows, account.events
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
        # Name each bound as the user gave it, or as the default it came from.
        begin = (f"--start {start}" if options.start is not None
                 else f"the first trade's day {start}")
        finish = (f"--end {end}" if options.end is not None
                  else f"the market data's last day {end}")
        raise AnalysisError(f"{begin} is after {finish}", "options")
    days = [t.datetime.date() for t in trades]
    days += [pd.Timestamp(d).date() for d in events["datetime"]]
    numbers = list(rows) + [int(r) for r in events.index]
    late = [n for d, n in zip(days, numbers) if d > end]
    if late:
        what = "a trade on a day" if min(late) in set(rows) else "a row dated"
        raise AnalysisError(f"{statement}: row {min(late)}: {what} after the last day "
                            f"analysed ({end}); give a later --end", "statement")
    # A row of a day without trading counts on the next trading day, which may lie
    # after the range.
    last_trading = market_days[bisect.bisect_right(market_days, end) - 1]
    late = [(n, d) for d, n in zip(days, numbers) if d > last_trading]
    if late:
        row, day = min(late)
        raise AnalysisError(f"{statement}: row {row}: a row dated {day}, a day without "
                            f"trading after the last trading day analysed "
                            f"({last_trading}), counts on the next trading day; give a "
                            f"later --end", "statement")
    return start, end, min([start] + days)


def replay(statement, account, options, md, positions, start, end, progress):
    """(the replay, the opening cash, the row it was read at): the book from ``start``
    to ``end`` with ``--cash``, or with the cash the statement's balance column states
    (read at that row), or else with the least cash it needs (the row is then None).
    Refuses a ``--cash`` too small."""
    from meridan import account as acc
    from meridan.statement import StatementError

    trades, rows, events = account.trades, account.rows, account.events
    progress.step(f"replaying the book from {start} to {end}")
    try:
        stated_at = None
        if options.cash is None:
            result, cash, stated_at = acc.replay_with_stated_cash(
                trades, rows, events, account.balances, start, end, md, positions)
        else:
            cash = options.cash
            result = acc.replay_account(trades, rows, events, start, end, md,
                                        cash=cash, positions=positions)
            overdraft = acc.first_overdraft(result)
            if overdraft is not None:
                row, below = overdraft
                least = cash + acc.least_opening_cash(result)
                progress.done("failed")
                raise AnalysisError(
                    f"--cash {cash:,.2f} is not enough for {statement}: the cash "
                    f"goes below zero at row {row} ({_row_text(account, row)}), to "
                    f"{below:,.2f}; the statement needs an opening cash of at least "
                    f"{least:,.2f} (leave out --cash to open with that)", "replay")
    except (StatementError, ValueError) as exc:
        progress.done("failed")
        error = _statement_error(statement, exc, step="replay")
        if getattr(exc, "opening_assumed", False):
            error = AnalysisError(f"{error}; give the opening cash with --cash", "replay")
        raise error from None
    progress.done(f"{len(result.value_series)} days")
    return result, cash, stated_at


def emptied_end(result, start, end, given, notes):
    """The range's last day: ``end``, unless the account was emptied for good on a day
    of the range and no ``--end`` was given (``given`` None); the range then ends on
    the last day it held something, and ``notes`` is told so."""
    if given is not None:
        return end
    try:
        unit_value = result.unit_value
    except ValueError:  # a flow that cannot be counted: per_unit says which
        return end
    inside = unit_value[(unit_value.index >= pd.Timestamp(start))
                        & (unit_value.index <= pd.Timestamp(end))]
    held = inside.to_numpy() > 0
    if not held.any() or held[-1]:
        return end
    last = inside.index[len(held) - 1 - int(held[::-1].argmax())].date()
    notes.append(f"the account holds nothing after {last} (everything was withdrawn): "
                 f"the analysis ends there")
    return last


def _say_first_day(result, start, notes):
    """Tells ``notes`` that the figures run from the close of the replay's first day
    when that day's trades, fees and moves changed what the account opened with: they
    are in the opening value, not in a return or the profit."""
    first = pd.Timestamp(start)
    if result.flows is None or result.value_series.index[0] != first:
        return
    opened = float(result.flows.get(first, 0.0))
    moved = float(result.value_series.iloc[0]) - opened
    if abs(moved) >= 0.005:
        notes.append(f"the figures run from the close of {start}: that day's trades, fees "
                     f"and price moves ({moved:+,.2f} on the {opened:,.2f} the account "
                     f"opened with) are in the opening value, not in the returns or the "
                     f"profit")


def _say_delisted(series, notes):
    """Tells ``notes`` of each stock held on a day of ``series`` on or after its
    delisting date: the market data has no close from then on, so the book values it
    at its last close, which need not be what it can still be sold for."""
    import tickvane

    last_held = {}
    for snapshot in series:
        for position in snapshot["positions"]:
            last_held[position["order_book_id"]] = snapshot["date"]
    if not last_held:
        return
    for record in tickvane.instruments(sorted(last_held)):
        gone = None if record is None else getattr(record, "de_listed_date", None)
        if gone is None or pd.isna(gone):
            continue
        gone = pd.Timestamp(gone).date()
        held = pd.Timestamp(last_held[record.order_book_id]).date()
        if held >= gone:
            notes.append(f"{record.order_book_id} was delisted on {gone} and is held "
                         f"until {held}: it is valued at its last close from then on, "
                         f"which need not be what it can be sold for")


def per_unit(result, start, end):
    """(snapshots, values, first day, last day) of the account per unit on the
    trading days from ``start`` to ``end``. Refuses fewer than two days, and a day on
    which the account holds nothing."""
    in_range = ((result.value_series.index >= pd.Timestamp(start))
                & (result.value_series.index <= pd.Timestamp(end)))
    if in_range.sum() < 2:
        raise AnalysisError(f"fewer than two trading days from {start} to {end}", "replay")
    try:
        unit_value = result.unit_value[in_range]
    except ValueError as exc:  # a flow that cannot buy or redeem units
        raise AnalysisError(
            f"{exc}: money put in or taken out counts at the value of the close before "
            f"its day, so the return cannot be followed through it; analyse the days "
            f"before it with --end", "replay") from None
    empty = unit_value.index[~(unit_value.to_numpy() > 0)]
    if len(empty):
        raise AnalysisError(
            f"the account holds nothing on {empty[0].date()} (before its first "
            f"deposit, after everything was withdrawn, or because its value fell to "
            f"zero): analyse the days before or after it with --start and --end",
            "replay")
    series = [s for s, keep in zip(result.per_unit_series(), in_range) if keep]
    values = unit_value.rename(None)
    return series, values, series[0]["date"], series[-1]["date"]


def benchmark(options, values, start):
    """The index's closes on the days of ``values``; refuses an index without them."""
    from meridan.pcalc.replay import benchmark_value_series

    index_id = BENCHMARKS[options.benchmark][0]
    try:
        return benchmark_value_series(index_id, values)
    except ValueError:
        other = next(key for key in BENCHMARKS if key != options.benchmark)
        raise AnalysisError(f"the store has no closes of the index {index_id} from "
                            f"{start}: fetch it, or choose --benchmark {other}",
                            "benchmark") from None


def _facts(statement, account, opening, options, result, positions, days, market, notes):
    from meridan import account as acc

    start, end, _ = days
    index_id, _, index_name = BENCHMARKS[options.benchmark]
    cash, stated_at = opening
    cash_given = options.cash is not None
    stated = None if stated_at is None else (account.balances.name, stated_at)
    return {
        "statement": statement, "name": os.path.basename(statement),
        "period": days, "market": market,
        "benchmark": (index_id, index_name), "options": options,
        "cash": cash, "cash_given": cash_given, "cash_stated": stated,
        "cash_assumed": not cash_given and stated is None and bool(cash),
        "positions": positions, "account": account, "replay": result,
        "performance": acc.performance(result, start, end),
        "reconciliation": acc.reconcile(account.balances, result.row_cash),
        "notes": notes, "section_notes": {}, "unavailable": [], "risk_free_rate": 0.0,
    }


def analyses(statement, options, md, facts, series, values, bench, progress):
    """Makes every analysis; one that cannot be made is None in the result and its
    reason is in ``facts["unavailable"]``. A store that cannot be read stops all."""
    start, end, _ = facts["period"]
    index_id = facts["benchmark"][0]
    market = facts["market"]

    def attempt(step, work):
        progress.step(TITLES[step])
        try:
            body = work()
        except StoreError:
            raise   # the whole command stops: the store cannot be read
        except Unavailable as exc:
            progress.done("not available")
            facts["unavailable"].append((step, str(exc)))
            return None
        except Exception as exc:  # an analysis that fails on this data
            progress.done("failed")
            facts["unavailable"].append((step, f"{type(exc).__name__}: {exc}"))
            return None
        progress.done()
        return body

    tables = {"brinson": attempt("brinson",
                                 lambda: brinson(series, options, md, start, end))}
    found = attempt("attribution", lambda: attribution(
        facts["replay"], series, options, md, start, end))
    if found is not None:
        found = found._replace(names=_names(facts["account"], found.holdings.index))
    for step, work in (
        ("exposure", lambda: exposure(series, options, start, end, market)),
        ("risk", lambda: risk(values, index_id)),
        ("profit", lambda: (profit(values, index_id), [])),
        ("style", lambda: style(values, market)),
    ):
        body = attempt(step, work)
        tables[step] = None if body is None else body[0]
        if body is not None:
            facts["section_notes"][step] = list(body[1])
    facts["risk_free_rate"] = rate = risk_free_rate(values)
    figures = key_figures(values, bench, facts["performance"], rate)
    return Analysis(statement, facts, figures, values, bench, series, **tables,
                    attribution=found)


def _names(account, ids):
    """{order_book_id: name} of ``ids`` from the statement's trades (where a trade
    names its instrument)."""
    names = {}
    for trade in account.trades:
        name = str(getattr(trade, "symbol", "") or "")
        if name and name != trade.order_book_id:
            names.setdefault(trade.order_book_id, name)
    return {i: names[i] for i in ids if i in names}


def account_lines(facts, name=None):
    """The account's facts as lines for a user: rows read, the opening state and
    what was assumed, the flows, the reconciliation, the returns. ``name`` stands
    for the statement's path (the page shows the file's name only)."""
    account, p = facts["account"], facts["performance"]
    moving = len(account.skipped)
    out = [f"Statement {name or facts['statement']}: {len(account.trades)} trades, "
           f"{len(account.events)} other rows booked, {moving} "
           + ("row that moves nothing" if moving == 1 else "rows that move nothing")]
    if account.unknown:
        count = len(account.unknown)
        out.append(f"{count} {'row' if count == 1 else 'rows'} could not be read as any "
                   f"kind and were left out:")
        out += [f"  row {row}: {text}: {reason}"
                for row, text, reason in account.unknown[:UNKNOWN_SHOWN]]
        if len(account.unknown) > UNKNOWN_SHOWN:
            out.append(f"  ... and {len(account.unknown) - UNKNOWN_SHOWN:,} more")
    positions, cash = facts["positions"], facts["cash"]
    held = (f" and {len(positions)} holdings (--positions, at the previous "
            f"close)" if positions else "")
    if facts["cash_given"]:
        out.append(f"Opening cash {cash:,.2f} (--cash){held}")
    elif facts.get("cash_stated"):
        column, row = facts["cash_stated"]
        out.append(f"Opening cash {cash:,.2f}{held}: as the statement's {column} "
                   f"states it (the balance after row {row}, less what the rows up to "
                   f"it moved)")
    elif cash:
        out.append(f"Opening cash {cash:,.2f}{held}: assumed, the least that "
                   f"keeps the cash from going below zero, since the statement's "
                   f"deposits do not fund every purchase (give --cash to set it)")
    else:
        out.append(f"Opening cash 0.00{held}: the statement's deposits fund every "
                   f"purchase")
    out.append("Reconciliation: " + facts["reconciliation"].line())
    out += [f"Note: {note}" for note in facts["replay"].notes]
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


# --- the market data ----------------------------------------------------------------

def _statement_error(path, exc, market=None, step="statement"):
    # Errors about the whole file name it already; a row's error does not.
    text = str(exc)
    text = text if path in text else f"{path}: {text}"
    if market is not None and _UNKNOWN.search(text):
        text += "\n" + market.fetch_hint(path)
    return AnalysisError(text, step)


_UNKNOWN = re.compile(r"unknown instrument ")


def _market_error(exc, building=False):
    """The one-line message for a store that cannot be opened, read or built."""
    if isinstance(exc, StoreError):
        text = str(exc)
        if not any(word in text for word in ("rebuild", "import", "reopen", "fetch")):
            text += ("; set TICKVANE_STORE to a good store, or make one with 'python -m "
                     "tickvane build-sample' or 'python -m tickvane import FOLDER'")
        return _market_refusal(f"the market data cannot be read: {text}")
    path, _ = _store_path()
    if isinstance(exc, FileNotFoundError) and path in str(exc):
        return _market_refusal(str(exc))
    where = exc.filename if getattr(exc, "filename", None) else path
    reason = exc.strerror or str(exc)
    if not building:
        return _market_refusal(f"cannot open the market data at {path} ({where}: {reason}); "
                        f"check the file, or set TICKVANE_STORE to another store")
    return _market_refusal(f"cannot build the sample market at {path} ({where}: {reason}); make "
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
        raise _market_refusal(f"the market data in {path} has no trading days")
    if building:
        progress.line(f"the sample market is ready ({time.perf_counter() - began:.1f} s)")
    else:
        progress.done("ready")
    return days


