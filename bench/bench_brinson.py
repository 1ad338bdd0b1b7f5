"""Brinson attribution of a three-year daily portfolio series: about 730 snapshots of
80 holdings with a trade every third day (about 250 periods of unchanged holdings),
against BrinsonBenchmark_HS300 (300 constituents, reviewed twice a year) by the
Shenwan industries, split coefficients read through a CachedMarketDataProvider.

Market data comes from the real client over the generated sample market (the store it
opens by default), behind the recording proxy of the tests: a first pass stores every
reply, then the timed calls run with the proxy answering from memory (each request a
plain look-up of its arguments, the classifier's instrument requests a dict's own
look-up with no Python frame), so the figures are the whole calls with nothing
subtracted; the few look-ups a call makes are charged to it. The holdings are the
first 80 constituents of 000300.XSHG on the first day, at the sample's unadjusted
closes, with the sample's own splits applied to the quantities. The benchmark memo is
cleared before each timed run. A plain pandas rendering of the same computation runs
beside it, answered the same way; the bench checks that no run changed a reply it was
handed (they are handed out themselves, not copies).

Measured both ways, ours beside the pandas rendering as a ratio: "warm" is the best of
5 calls after a first one; "fresh" is the own time of the first call after the imports
in a new interpreter (first-use look-ups and caches included; a module first imported
inside the call, as pyarrow loads its pandas support on a process's first array of
text, is timed apart and left out on both sides, and printed), the median of 5
processes, each started with `--once ours|pandas <replies>` and given the kept replies
and the series the parent prepared; the client's store is opened in each before the
timed call (the client's time, which no kept reply pays). Each process's figure is
printed too, and the fresh figures again with pyarrow allocating from the system's
allocator on both sides: its default pool's first allocations in a process now and
then spend 8-16 ms in the kernel on these machines (see bench/_timing.py). The figures
are stored in bench/results/brinson.json. Times are the thread's CPU time: on a shared machine wall
time mostly measures the other processes.

    python bench/bench_brinson.py            # replies kept, answered from memory
    python bench/bench_brinson.py --sample   # the whole call, the store's time included

With --sample the series comes from the replay helper (meridan.pcalc.replay) over
three years of the sample market; the whole call is timed (wall clock, the store's
own time included) with the benchmark memo cold, then warm.
"""

import os
import pathlib
import pickle
import sys
import tempfile
import time
import types

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
import _timing  # noqa: E402
from _timing import clock  # noqa: E402

import pandas_brinson  # noqa: E402
import recording_tickvane  # noqa: E402

N_DAYS, N_HOLDINGS, TRADE_EVERY = 730, 80, 3
INDEX = "000300.XSHG"
RUNS = 5


def build_market(tv):
    """The sample market's days from 2021 on, the first holdings of the index on the
    first day, their unadjusted closes (carried over suspensions) and their splits."""
    days = pd.DatetimeIndex(tv.get_trading_dates("2021-01-01", "2024-06-30")[:N_DAYS])
    ids = list(tv.index_components(INDEX, days[0]))[:N_HOLDINGS]
    closes = tv.get_price(ids, days[0], days[-1], adjust_type="none").ffill()
    splits = {}
    for oid in ids:
        table = tv.get_split(oid)
        if table is None:
            continue
        for day, row in table.iterrows():
            if days[0] < pd.Timestamp(day) <= days[-1]:
                splits.setdefault(oid, {})[pd.Timestamp(day)] = (
                    row["split_coefficient_to"] / row["split_coefficient_from"])
    return ids, days, closes, splits


def build_series(ids, days, closes, splits):
    rng = np.random.default_rng(9)
    held = list(ids[:N_HOLDINGS])
    quantity = {oid: 1000.0 for oid in held}
    series = []
    for k, day in enumerate(days):
        for oid, ratios in splits.items():
            if day in ratios and oid in quantity:
                quantity[oid] *= ratios[day]
        if k % TRADE_EVERY == TRADE_EVERY - 1:  # a trade every few days
            oid = held[int(rng.integers(N_HOLDINGS))]
            quantity[oid] += 100.0
        positions = [{"order_book_id": oid, "quantity": q,
                      "market_value": q * float(closes[oid].loc[day])}
                     for oid, q in quantity.items()]
        cash = 50_000.0
        series.append({"date": day.date(), "positions": positions, "cash": cash,
                       "market_value": sum(p["market_value"] for p in positions) + cash})
    return series


C_LEVEL = ("instruments",)  # the classifier's request, one positional id


def own_time(proxy, memo, run):
    """A function timing one call of `run()` with the benchmark memo cleared before
    it: its own seconds (a request not yet in the proxy's memory, answered through the
    proxy, taken out)."""
    return _timing.own_time(proxy, run, before=[f.cache_clear for f in memo])


def setting():
    """The proxy installed in place of the client, and the modules the runs use."""
    from meridan.brinson import benchmark, calc
    from meridan.brinson import classifier as cl
    from meridan.quotes import CachedMarketDataProvider

    proxy, patch = recording_tickvane.standing_in(clock)
    memo = (benchmark.index_components, benchmark.index_weights, benchmark.get_change_rate)
    hs300, shenwan = benchmark.BrinsonBenchmark_HS300, cl.SectorDecider_ShenWan

    def runner(which, series):
        start, end = series[0]["date"], series[-1]["date"]
        if which == "ours":
            return lambda: calc.calc(series, hs300, shenwan, start, end,
                                     CachedMarketDataProvider(), "BHB")
        return lambda: pandas_brinson.calc(proxy, series, hs300, shenwan, start, end,
                                           CachedMarketDataProvider(), "BHB")

    return types.SimpleNamespace(proxy=proxy, patch=patch, memo=memo, calc=calc,
                                 hs300=hs300, shenwan=shenwan, runner=runner,
                                 provider=CachedMarketDataProvider)


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
        run = own_time(s.proxy, s.memo, s.runner(which, stored["series"]))
        if os.environ.get("BENCH_PROFILE"):  # where a fresh process's time goes
            import cProfile
            cProfile.runctx("run()", globals(), locals(), sort="tottime")
            return
        seconds, imports = _timing.time_once(run)
    _timing.report_once(seconds, imports=imports)
    s.patch.undo()


def main():
    s = setting()
    proxy, memo, calc = s.proxy, s.memo, s.calc
    ids, days, closes, splits = build_market(proxy.real)
    series = build_series(ids, days, closes, splits)
    start, end = series[0]["date"], series[-1]["date"]
    ours, plain = s.runner("ours", series), s.runner("pandas", series)

    with proxy.replaying():
        for f in memo:
            f.cache_clear()
        table = ours()  # stores every reply
        requests = proxy.count()
        for f in memo:
            f.cache_clear()
        pd.testing.assert_frame_equal(table, plain(), rtol=1e-10, atol=1e-14)
    with proxy.replaying(), proxy.answering_from_memory(c_level=C_LEVEL) as memory:
        for run in (ours, plain):  # every request kept once, by each rendering's arguments
            for f in memo:
                f.cache_clear()
            run()
        before = recording_tickvane.fingerprint(memory)
        warm = _timing.measure(own_time(proxy, memo, ours))
        base_warm = _timing.measure(own_time(proxy, memo, plain))

        periods = calc.split_by_position(series, s.provider())
        dates = [p["date"] for p in series]
        n_runs = len(set(pd.Series(dates).map(
            lambda d: tuple(proxy.default_reply("index_components", INDEX, d)))))
        # The parts of the whole: splitting (with the provider), the benchmark over all
        # dates; the portfolio periods are the rest.
        split_own = _timing.measure(own_time(proxy, memo, lambda: calc.split_by_position(
            series, s.provider())))
        bench_own = _timing.measure(own_time(proxy, memo,
                                             lambda: calc.calc_benchmark(s.hs300, dates, s.shenwan)))
        per_period = (warm - split_own - bench_own) / len(periods)
        after = recording_tickvane.fingerprint(memory)
        if any(after[k] != b for k, b in before.items()):
            raise RuntimeError("a run changed a reply it was handed")
        stored = {"memory": memory, "series": series}

    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "replies.pickle"
        with open(path, "wb") as f:
            pickle.dump(stored, f)
        reports = {"ours": [], "pandas": []}
        fresh, fresh_runs = _timing.fresh([__file__, "--once", "ours", path], RUNS,
                                          reports=reports["ours"])
        base_fresh, base_fresh_runs = _timing.fresh([__file__, "--once", "pandas", path], RUNS,
                                                    reports=reports["pandas"])
        system = [_timing.fresh([__file__, "--once", which, path], RUNS,
                                env=_timing.SYSTEM_ALLOCATOR) for which in ("ours", "pandas")]

    print(f"{len(series)} snapshots ({start} .. {end}), {N_HOLDINGS} holdings, "
          f"{len(periods)} periods; benchmark {INDEX} with "
          f"{len(proxy.default_reply('index_components', INDEX, start))} constituents, "
          f"{n_runs} runs")
    print(f"{requests} requests per calc, answered from memory")
    print(f"warm  (best of {RUNS}): calc {1e3 * warm:.1f} ms, pandas rendering "
          f"{1e3 * base_warm:.1f} ms, ratio {base_warm / warm:.1f}x  [calc <= 30 ms]")
    print(f"fresh (median of {RUNS} processes): calc {1e3 * fresh:.1f} ms, pandas rendering "
          f"{1e3 * base_fresh:.1f} ms, ratio {base_fresh / fresh:.1f}x  [>= 30x]")
    print(_timing.imports_line(calc=reports["ours"], pandas=reports["pandas"]))
    print(f"  processes: calc {', '.join(f'{1e3 * t:.1f}' for t in fresh_runs)} ms; pandas "
          f"{', '.join(f'{1e3 * t:.0f}' for t in base_fresh_runs)} ms")
    (sys_fresh, sys_runs), (sys_base, sys_base_runs) = system
    print(f"  pyarrow on the system's allocator (both sides): calc {1e3 * sys_fresh:.1f} ms, "
          f"pandas rendering {1e3 * sys_base:.1f} ms, ratio {sys_base / sys_fresh:.1f}x; "
          f"calc {', '.join(f'{1e3 * t:.1f}' for t in sys_runs)} ms")
    print(f"  splitting into periods (split coefficients through a CachedMarketDataProvider): "
          f"{1e3 * split_own:.1f} ms")
    print(f"  benchmark (calc_benchmark): {1e3 * bench_own:.1f} ms, "
          f"{1e6 * bench_own / n_runs:.0f} us per run "
          f"(the {len(dates)} constituent look-ups included)")
    print(f"  portfolio periods (the rest): {1e6 * per_period:.1f} us per period")
    print("total row:", {k: round(v, 6) for k, v in table.loc["总计"].items()})
    path = _timing.save("brinson", {
        "workload": {"snapshots": len(series), "holdings": N_HOLDINGS,
                     "periods": len(periods), "benchmark_runs": n_runs,
                     "requests": requests},
        "warm_ms": {"calc": 1e3 * warm, "pandas": 1e3 * base_warm,
                    "ratio": base_warm / warm},
        "fresh_ms": {"calc": 1e3 * fresh, "pandas": 1e3 * base_fresh,
                     "ratio": base_fresh / fresh,
                     "calc_runs": [1e3 * x for x in fresh_runs],
                     "pandas_runs": [1e3 * x for x in base_fresh_runs]},
        "fresh_system_allocator_ms": {"calc": 1e3 * sys_fresh, "pandas": 1e3 * sys_base,
                                      "ratio": sys_base / sys_fresh,
                                      "calc_runs": [1e3 * x for x in sys_runs],
                                      "pandas_runs": [1e3 * x for x in sys_base_runs]},
        "parts_ms": {"splitting": 1e3 * split_own, "benchmark": 1e3 * bench_own,
                     "per_period_us": 1e6 * per_period},
    })
    print(f"figures stored in {path}")
    s.patch.undo()


def sample():
    import tickvane
    from meridan.brinson import benchmark, calc
    from meridan.brinson import classifier as cl
    from meridan.pcalc.replay import replay
    from meridan.pcalc.trade import Trade
    from meridan.quotes import CachedMarketDataProvider

    days = tickvane.get_trading_dates("2021-01-01", "2023-12-31")[:N_DAYS]
    start, end = days[0], days[-1]
    stocks = tickvane.index_components(INDEX, start)[:N_HOLDINGS]
    closes = tickvane.get_price(stocks, start, end, adjust_type="none").ffill()
    rng = np.random.default_rng(9)

    def trade(day, oid, quantity):
        return Trade(datetime=pd.Timestamp(f"{day} 10:00"), order_book_id=oid, symbol=oid,
                     last_price=float(closes[oid].loc[pd.Timestamp(day)]),
                     last_quantity=quantity, side="BUY", transaction_cost=5.0)

    trades = [trade(start, oid, 1000) for oid in stocks]
    trades += [trade(day, stocks[int(rng.integers(N_HOLDINGS))], 100)
               for day in days[4::5]]
    t0 = time.perf_counter()
    series = replay(trades, start, end, cash=1e7, skip_untradable=True).portfolio_series
    replay_seconds = time.perf_counter() - t0
    memo = (benchmark.index_components, benchmark.index_weights, benchmark.get_change_rate)
    for f in memo:
        f.cache_clear()
    figures = []
    for label in ("cold memo", "warm memo"):
        t0 = time.perf_counter()
        table = calc.calc(series, benchmark.BrinsonBenchmark_HS300, cl.SectorDecider_ShenWan,
                          start, end, CachedMarketDataProvider(), "BHB")
        figures.append((label, time.perf_counter() - t0))
    periods = len(calc.split_by_position(series, CachedMarketDataProvider()))
    print(f"sample store: {len(series)} snapshots ({start} .. {end}), {N_HOLDINGS} holdings, "
          f"{periods} periods; series replayed in {replay_seconds:.1f} s")
    for label, seconds in figures:
        print(f"calc, {label}: {1e3 * seconds:.0f} ms (wall, the store's time included)")
    print("total row:", {k: round(v, 6) for k, v in table.loc["总计"].items()})


if __name__ == "__main__":
    if "--sample" in sys.argv[1:]:
        sample()
    elif "--once" in sys.argv[1:]:
        at = sys.argv.index("--once")
        once(sys.argv[at + 1], sys.argv[at + 2])
    else:
        main()
