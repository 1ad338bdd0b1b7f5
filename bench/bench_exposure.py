"""Factor exposure of a 100-holding book against a 300-constituent benchmark, one day
at a time (single_exposure_analysis) and over a three-year series of daily snapshots
(exposure_analysis), beside a plain pandas implementation of the same computation
measured in the same run.

Market data comes from the real client over the generated sample market (the store it
opens by default), behind the recording proxy of the tests: a first pass stores every
reply (and checks that both renderings agree), then the timed calls run with the proxy
answering from memory (each request a plain look-up of its arguments, the newly-listed
test's instrument requests a dict's own look-up with no Python frame), so the figures
are the whole calls with nothing subtracted; the look-ups a call makes are charged to
it, on both sides alike. The bench checks that no run changed a reply it was handed
(they are handed out themselves, not copies). The figures show the package's own work:
the newly-listed and special-treatment tests, averaging the latest 22 dates of each
instrument, weighting, and building the results. The book is drawn from 400 of the
sample's stocks, ten of them listed during the series, against the constituent
weights of 000300.XSHG. Target: under 2 ms per single-day analysis.

exposure_analysis refuses a range holding a snapshot whose market value or cash is
not finite (all 732 here are read), a snapshot analysed holding a negative or
non-finite position or a position without an id, or a last snapshot worth nothing;
the rendering makes no refusal. The same refusals written in plain Python are timed
too, and the rendering making them first, warm and in fresh processes: printed beside
the goal's figures, for a comparison of the same work.

    python bench/bench_exposure.py            # replies kept, answered from memory
    python bench/bench_exposure.py --note "what changed"   # the note kept with the run
    python bench/bench_exposure.py --sample   # through a plain timing wrapper

exposure_analysis is measured both ways, beside the rendering: warm (the best of 5
calls after a first one) and in a fresh process (the own time of the first call
after the imports in a new interpreter, median of 5 processes, each started with
`--once ours|pandas <replies>` and given the kept replies and the series the parent
prepared; the client's store is opened before the timed call; first-use look-ups and
caches are part of the figure, modules first imported inside the call are not). Each run's figures are added to
bench/results/exposure.json. BENCH_PROFILE=1 with --once profiles the call instead.

With --sample the book is instead a 100-stock book replayed over three years by
meridan.pcalc.replay, read through a plain timing wrapper of the client.
"""

import datetime as dt
import gc
import math
import os
import pathlib
import pickle
import statistics
import sys
import tempfile
import types

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
import recording_tickvane  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import _timing  # noqa: E402

from meridan.exposure import TRANSLATION  # noqa: E402

N_STOCKS, N_NEW, N_HOLDINGS, YEARS = 400, 10, 100, 3
INDEX = "000300.XSHG"


def build_market(tv):
    """Three years of the sample market's days from 2021 on and a universe of stocks:
    the first listed during the series (so the newly-listed test counts days), the
    rest listed before it and still listed at its end."""
    days = pd.DatetimeIndex(tv.get_trading_dates("2021-01-01", "2024-06-30")[:YEARS * 244])
    stocks = tv.all_instruments(type="CS")
    listed = pd.to_datetime(stocks["listed_date"])
    gone = pd.to_datetime(stocks["de_listed_date"])
    new = stocks["order_book_id"][(listed > days[0]) & (listed < days[-250])]
    old = stocks["order_book_id"][(listed < days[0]) & ~(gone <= days[-1])]
    ids = list(new[:N_NEW]) + list(old[: N_STOCKS - N_NEW])
    return ids, days


class IndexBenchmark:
    def __init__(self, service):
        self.service = service

    def get_weighting(self, date):
        return self.service.index_weights(INDEX, date)


def build_series(ids, days, rng):
    """Daily snapshots of a 100-stock book whose holdings and values drift."""
    series = []
    held = list(rng.choice(len(ids), N_HOLDINGS, replace=False))
    for day in days:
        if rng.random() < 0.05:
            held[rng.integers(N_HOLDINGS)] = rng.integers(len(ids))
        values = rng.uniform(1e4, 1e6, N_HOLDINGS)
        positions = [{"order_book_id": ids[i], "quantity": 100, "market_value": float(v)}
                     for i, v in zip(held, values)]
        series.append({"date": day.date(), "positions": positions,
                       "market_value": float(values.sum()) + 1e5, "cash": 1e5})
    return series


# ---------------------------------------------------------------- the pandas baseline


def pandas_exposure(tv, ids, date):
    reply = tv.get_factor_exposure(ids, date - dt.timedelta(days=90), date)
    while reply is None:
        date = tv.get_previous_trading_date(date)
        reply = tv.get_factor_exposure(ids, date - dt.timedelta(days=90), date)
    if len(ids) == 1:
        return reply.iloc[-22:].mean().to_frame(ids[0]).T
    means = reply.groupby(level=0, sort=False).tail(22).groupby(level=0, sort=False).mean()
    return means.reindex([oid for oid in ids if oid in means.index])


def pandas_is_new(tv, oid, date):
    listed = tv.instruments(oid).listed_date
    days = (date - pd.Timestamp(listed)).days
    if days > 365:
        return False
    if days < 150:
        return True
    return len(tv.get_trading_dates(listed, date)) <= 132


def pandas_single(tv, portfolio, benchmark, date):
    date = pd.Timestamp(date)
    latest = tv.get_previous_trading_date(date + dt.timedelta(days=1))
    total = new = st = 0
    weights = {}
    for p in portfolio["positions"]:
        oid, value = p["order_book_id"], p["market_value"]
        total += value
        if pandas_is_new(tv, oid, date):
            new += value
            continue
        if tv._is_st_stock(oid, latest):
            st += value
        weights[oid] = value
    weights = pd.Series(weights)
    weights /= weights.sum()
    exposure = pandas_exposure(tv, list(weights.index), date)
    weighted = exposure.T * weights[exposure.index]
    portfolio_exposure = weighted.sum(axis=1)
    detailed = weighted.T / portfolio_exposure
    bench = benchmark.get_weighting(date)
    bench = bench / bench.sum()
    bench_exposure = (pandas_exposure(tv, list(bench.index), date).T * bench).sum(axis=1)
    return {"portfolio_exposure": portfolio_exposure, "benchmark_exposure": bench_exposure,
            "detailed_portfolio_exposure": detailed, "st_stock_weight": st / total,
            "new_stock_weight": new / total}


def plain_refusals(snaps, chosen):
    """The refusals exposure_analysis makes before it asks for anything, in plain
    Python, over the snapshots in range and the places of those analysed: every
    snapshot with a finite market value and cash; in those analysed, positions whose
    value is finite and not negative, each with an id; the range's last snapshot worth
    more than 0. Not part of the rendering the goal compares with; printed beside it."""
    for s in snaps:
        for key in ("market_value", "cash"):
            if not math.isfinite(s[key]):
                raise ValueError(f"{key} of {s['date']}")
    for i in sorted(chosen):
        for p in snaps[i]["positions"]:
            p["order_book_id"]
            value = p["market_value"]
            if not math.isfinite(value) or value < 0:
                raise ValueError(f"a position of {snaps[i]['date']}")
    if snaps and not snaps[-1]["market_value"] > 0:
        raise ValueError(f"market_value of {snaps[-1]['date']}")


def chosen_snapshots(series, start_date, end_date):
    """The snapshots in range, and the places of up to three of them: those nearest
    the end date and one and two steps before it."""
    from dateutil.relativedelta import relativedelta
    start, end = pd.Timestamp(start_date).date(), pd.Timestamp(end_date).date()
    days = (end - start).days
    step = relativedelta(years=1) if days > 1095 else relativedelta(
        months=6 if days > 365 else 3)
    snaps = [s for s in series if start <= s["date"] <= end]

    def select_index(d, i):
        while i >= 0 and snaps[i]["date"] > d:
            i -= 1
        if i < 0:
            return None
        if i == len(snaps) - 1:
            return i
        return i if abs((d - snaps[i]["date"]).days) <= abs((d - snaps[i + 1]["date"]).days) \
            else i + 1

    chosen, index, target = [], len(snaps) - 1, end
    for _ in range(3):
        index = select_index(target, index)
        if index is None:
            break
        chosen.append(index)
        target -= step
        index -= 1
        if index < 0 or target < start:
            break
    return snaps, chosen


def pandas_period(tv, series, benchmark, start_date, end_date, refusing=False):
    snaps, chosen = chosen_snapshots(series, start_date, end_date)
    if refusing:
        plain_refusals(snaps, chosen)
    result = {}
    for index in chosen:
        s = snaps[index]
        r = pandas_single(tv, s, benchmark, s["date"])
        d = s["date"]
        result["%04d-%02d-%02d" % (d.year, d.month, d.day)] = {
            "factors": [TRANSLATION[f] for f in r["benchmark_exposure"].index],
            "portfolio": [float(v) for v in r["portfolio_exposure"]],
            "benchmark": [float(v) for v in r["benchmark_exposure"]],
            "st_stock_weight": r["st_stock_weight"],
            "new_stock_weight": r["new_stock_weight"]}
    return result


# ---------------------------------------------------------------------------- timing


# Times are CPU seconds of this thread: the machines this runs on are shared, and
# wall-clock time would count the moments the process waits for a core wherever they
# fall.
CLOCK = _timing.clock
RESULTS = pathlib.Path(__file__).resolve().parent / "results" / "exposure.json"
FRESH_RUNS, WARM_CALLS = 5, 5
# The newly-listed test's request, one positional id: answered by a dict's own look-up.
C_LEVEL = ("instruments",)


def median_own(proxy, call, repeat):
    """Median of `repeat` own times of `call()` after a first one, the collector paused."""
    once = _timing.own_time(proxy, call)
    once()
    with _timing.no_gc():
        return statistics.median(once() for _ in range(repeat))


def setting():
    """The proxy installed in place of the client, and the module the runs use."""
    import meridan.exposure as ex

    proxy, patch = recording_tickvane.standing_in(CLOCK)
    benchmark = IndexBenchmark(proxy)

    def runner(which, series, start, end):
        if which == "ours":
            return lambda: ex.exposure_analysis(series, benchmark, start, end)
        if which == "pandas+refusals":  # the rendering doing the same refusals first
            return lambda: pandas_period(proxy, series, benchmark, start, end, True)
        return lambda: pandas_period(proxy, series, benchmark, start, end)

    return types.SimpleNamespace(proxy=proxy, patch=patch, ex=ex, benchmark=benchmark,
                                 runner=runner)


def once(which, path):
    """A fresh process: the first call of `which` after the imports, replies and
    series read from `path` (written by the parent), its own time reported."""
    s = setting()
    with open(path, "rb") as f:
        stored = pickle.load(f)
    # The client opens its store before the timed call, as its first operation would
    # in use: the opening is the client's time, like its replies.
    s.proxy.real._manage.current()
    with s.proxy.answering_from_memory(stored["memory"], C_LEVEL):
        run = _timing.own_time(s.proxy, s.runner(which, stored["series"], stored["start"],
                                         stored["end"]))
        if os.environ.get("BENCH_PROFILE"):  # where a fresh process's time goes
            import cProfile
            cProfile.runctx("run()", globals(), locals(), sort="tottime")
            return
        seconds, imports = _timing.time_once(run)
        asked = s.proxy.count()
    _timing.report_once(seconds, requests_not_kept=asked, imports=imports)
    s.patch.undo()


def main():
    s = setting()
    proxy, ex, benchmark = s.proxy, s.ex, s.benchmark
    ids, days = build_market(proxy.real)
    rng = np.random.default_rng(5)
    series = build_series(ids, days, rng)
    sample_days = list(range(0, len(series), len(series) // 20))[:20]
    start, end = days[0].date(), days[-1].date()
    ours, plain = s.runner("ours", series, start, end), s.runner("pandas", series, start, end)

    with proxy.replaying():
        # First pass: the replies are computed and stored; both renderings agree.
        for i in sample_days:
            mine = ex.single_exposure_analysis(series[i], benchmark, series[i]["date"])
            theirs = pandas_single(proxy, series[i], benchmark, series[i]["date"])
            for key in ("portfolio_exposure", "benchmark_exposure"):
                np.testing.assert_allclose(mine[key], theirs[key], rtol=1e-9)
            assert mine["st_stock_weight"] == theirs["st_stock_weight"]
        proxy.reset_calls()
        mine, theirs = ours(), plain()
        assert list(mine) == list(theirs)
        requests = proxy.count() // 2

    with proxy.replaying(), proxy.answering_from_memory(c_level=C_LEVEL) as memory:
        # Every request kept once, by each rendering's arguments.
        for i in sample_days:
            ex.single_exposure_analysis(series[i], benchmark, series[i]["date"])
            pandas_single(proxy, series[i], benchmark, series[i]["date"])
        ours(), plain()
        before = recording_tickvane.fingerprint(memory)
        single = [median_own(proxy, lambda i=i: ex.single_exposure_analysis(
            series[i], benchmark, series[i]["date"]), 5) for i in sample_days]
        single_pd = [median_own(proxy, lambda i=i: pandas_single(
            proxy, series[i], benchmark, series[i]["date"]), 3) for i in sample_days]
        warm = _timing.measure(_timing.own_time(proxy, ours), WARM_CALLS)
        warm_pd = _timing.measure(_timing.own_time(proxy, plain), WARM_CALLS)
        snaps, chosen = chosen_snapshots(series, start, end)
        refusals = _timing.measure(lambda: plain_refusals(snaps, chosen), WARM_CALLS)
        after = recording_tickvane.fingerprint(memory)
        if any(after[k] != b for k, b in before.items()):
            raise RuntimeError("a run changed a reply it was handed")
        stored = {"memory": memory, "series": series, "start": start, "end": end}

    # The fresh processes are given the kept replies.
    with tempfile.TemporaryDirectory() as folder:
        payload = pathlib.Path(folder) / "replies.pickle"
        with open(payload, "wb") as f:
            pickle.dump(stored, f)
        reports = {"ours": [], "pandas": []}
        fresh, fresh_runs = _timing.fresh([__file__, "--once", "ours", payload], FRESH_RUNS,
                                          reports=reports["ours"])
        fresh_pd, fresh_runs_pd = _timing.fresh([__file__, "--once", "pandas", payload],
                                                FRESH_RUNS, reports=reports["pandas"])
        system = [_timing.fresh([__file__, "--once", which, payload], FRESH_RUNS,
                                env=_timing.SYSTEM_ALLOCATOR) for which in ("ours", "pandas")]
        fresh_refusing, _ = _timing.fresh([__file__, "--once", "pandas+refusals", payload],
                                          FRESH_RUNS)

    ours_ms, pd_ms = 1e3 * statistics.mean(single), 1e3 * statistics.mean(single_pd)
    n_bench = len(benchmark.get_weighting(series[0]["date"]))
    print(f"{N_HOLDINGS} holdings, benchmark of {n_bench}, {len(series)} daily snapshots "
          f"({days[0].date()} .. {days[-1].date()}); {requests} service requests per "
          f"exposure_analysis, answered from memory")
    print(f"single_exposure_analysis, own time per day (mean of {len(sample_days)} days): "
          f"{ours_ms:.3f} ms; pandas {pd_ms:.3f} ms; ratio {pd_ms / ours_ms:.1f}x "
          f"(target < 2 ms)")
    print(f"exposure_analysis over {YEARS} years ({len(mine)} snapshots analysed), own time:")
    print(f"  warm  (best of {WARM_CALLS}):            ours {1e3 * warm:8.3f} ms; pandas "
          f"{1e3 * warm_pd:8.3f} ms; ratio {warm_pd / warm:5.1f}x (goal >= 10x)")
    print(f"  fresh (median of {FRESH_RUNS} processes): ours {1e3 * fresh:8.3f} ms; pandas "
          f"{1e3 * fresh_pd:8.3f} ms; ratio {fresh_pd / fresh:5.1f}x (goal >= 10x)")
    print(_timing.imports_line(ours=reports["ours"], pandas=reports["pandas"]))
    (sys_fresh, sys_runs), (sys_pd, sys_runs_pd) = system
    print(f"  fresh, pyarrow on the system's allocator (both sides): ours {1e3 * sys_fresh:.3f} "
          f"ms; pandas {1e3 * sys_pd:.3f} ms; ratio {sys_pd / sys_fresh:.1f}x")
    with_refusals = warm_pd + refusals
    print(f"  the same refusals in plain Python: {1e3 * refusals:.3f} ms warm; the rendering "
          f"with them {1e3 * with_refusals:.3f} ms warm, ratio {with_refusals / warm:.1f}x; "
          f"{1e3 * fresh_refusing:.3f} ms fresh, ratio {fresh_refusing / fresh:.1f}x "
          f"(not the goal's rendering)")
    print("CPU seconds of this thread; load average while running: "
          + ", ".join(f"{x:.1f}" for x in os.getloadavg()) + f" on {os.cpu_count()} cores")
    ms = 1e3
    _timing.append(RESULTS, {"exposure_analysis": {
        "warm_ms": round(ms * warm, 4), "warm_pandas_ms": round(ms * warm_pd, 4),
        "warm_ratio": round(warm_pd / warm, 2),
        "fresh_ms": round(ms * fresh, 4), "fresh_pandas_ms": round(ms * fresh_pd, 4),
        "fresh_ratio": round(fresh_pd / fresh, 2),
        "fresh_runs_ms": [round(ms * t, 4) for t in fresh_runs],
        "fresh_runs_pandas_ms": [round(ms * t, 4) for t in fresh_runs_pd],
        "fresh_system_allocator_ms": round(ms * sys_fresh, 4),
        "fresh_system_allocator_pandas_ms": round(ms * sys_pd, 4),
        "fresh_system_allocator_runs_ms": [round(ms * t, 4) for t in sys_runs],
        "warm_plain_refusals_ms": round(ms * refusals, 4),
        "fresh_pandas_with_refusals_ms": round(ms * fresh_refusing, 4)},
        "single_exposure_analysis": {"mean_ms": round(ours_ms, 4),
                                     "pandas_mean_ms": round(pd_ms, 4),
                                     "ratio": round(pd_ms / ours_ms, 2)}}, NOTE)
    s.patch.undo()


# ------------------------------------------------------------------ the sample store


def sample_main():
    import functools

    import meridan.exposure as ex
    import tickvane
    from meridan.pcalc.replay import replay

    inside = [0.0]

    def timed(function):
        @functools.wraps(function)
        def wrapper(*args, **kwargs):
            start = CLOCK()
            try:
                return function(*args, **kwargs)
            finally:
                inside[0] += CLOCK() - start
        return wrapper

    tickvane.open_store()
    client = types.SimpleNamespace(**{n: timed(getattr(tickvane, n)) for n in tickvane.__all__})

    class Index:
        def get_weighting(self, date):
            return client.index_weights(INDEX, date)

    start, end = "2021-01-04", "2023-12-29"
    stocks = tickvane.index_components(INDEX, start)[:N_HOLDINGS]
    series = replay([], start, end, cash=1e6, positions={oid: 10_000 for oid in stocks})[0]
    benchmark = Index()
    ex.tickvane = client
    days = series[:: len(series) // 10][:10]

    def own(call, repeat=3):
        times = []
        gc.collect()
        gc.disable()
        try:
            for _ in range(repeat):
                inside[0] = 0.0
                t0 = CLOCK()
                call()
                times.append(CLOCK() - t0 - inside[0])
        finally:
            gc.enable()
        return statistics.median(times)

    for s in days:  # first touch of the store's tables
        ex.single_exposure_analysis(s, benchmark, s["date"])
    ours = statistics.mean(own(lambda s=s: ex.single_exposure_analysis(
        s, benchmark, s["date"])) for s in days)
    theirs = statistics.mean(own(lambda s=s: pandas_single(
        client, s, benchmark, s["date"])) for s in days)
    period = own(lambda: ex.exposure_analysis(series, benchmark, start, end))
    period_pd = own(lambda: pandas_period(client, series, benchmark, start, end))
    print(f"sample store: {len(stocks)} holdings replayed over {len(series)} days, benchmark "
          f"{INDEX}; single_exposure_analysis own time {1e3 * ours:.3f} ms, pandas "
          f"{1e3 * theirs:.3f} ms, ratio {theirs / ours:.1f}x; exposure_analysis "
          f"{1e3 * period:.3f} ms, pandas {1e3 * period_pd:.3f} ms, "
          f"ratio {period_pd / period:.1f}x")


NOTE = ""

if __name__ == "__main__":
    if sys.argv[1:2] == ["--once"]:
        once(sys.argv[2], sys.argv[3])
    elif "--sample" in sys.argv[1:]:
        sample_main()
    else:
        if "--note" in sys.argv:
            NOTE = sys.argv[sys.argv.index("--note") + 1]
        main()
