"""risk_analysis on five years of daily portfolio values against an index, beside the
same computation written plainly with pandas and numpy; and perilon.Risk beside a numpy
reading of its formulas. Market data (the CSI 300's closes and the yield curve) comes from
the market-data client over the generated sample market it opens by default, behind the
tests' recording proxy replaying every reply prepared in advance; the time spent inside
the client is measured and left out of both sides' figures. Microseconds per call, median
(and fastest) of repeated batches with the garbage collector paused; the ratio is
baseline time / meridan time (above 1: meridan is faster).

risk_analysis is also measured as its goal states it, both ways beside the rendering,
with the proxy answering from memory (each request a plain look-up of its arguments,
the kept reply handed out itself, nothing recorded or timed), so the figures are the
whole calls with nothing subtracted, on both sides alike; the bench checks that no run
changed a reply it was handed. "warm" is the best of 5 calls after a first one;
"fresh" is the own time of the first call after the imports in a new interpreter,
median of 5 processes, each started with `--once ours|pandas <replies>` and given the
kept replies and the series (the client's store opened before the timed call;
first-use look-ups and caches are part of the figure, modules first imported inside
the call are not; BENCH_PROFILE=1 profiles the call instead). Each run's figures are
added to bench/results/risk.json.

    python bench/bench_risk.py
    python bench/bench_risk.py --note "what changed"   # the note kept with the run
"""

import gc
import os
import pathlib
import pickle
import statistics
import sys
import tempfile
import time
import types

import numpy as np
import pandas as pd
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
import recording_tickvane  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import _timing  # noqa: E402

from pandas_risk import risk_windows  # noqa: E402

INDEX = "000300.XSHG"
YEARS, BATCHES, CALLS, RISK_CALLS = 5, 15, 20, 300
A = 244


def build_market():
    """The client behind the proxy, and five years of generated daily portfolio values
    from the first trading day of 2014."""
    import tickvane

    calendar = pd.DatetimeIndex(tickvane.get_trading_dates("2014-01-01", "2019-12-31"))
    rng = np.random.default_rng(5)
    # Calendar days (weekends included, as a valuation series may have), a few gaps.
    days = pd.date_range(calendar[0], calendar[YEARS * 244 - 1])
    values = 1e7 * np.exp(np.cumsum(rng.normal(0.0003, 0.01, len(days))))
    # A day without a value is absent, as risk_analysis refuses a NaN value.
    series = pd.Series(values, index=days).drop(days[100:104]).drop(days[505])
    return recording_tickvane.RecordingTickvane(tickvane), series


# ------------------------------------------------------------------ plain baseline

def plain_risk(r, b, rate, a=A):
    keep = ~(np.isnan(r) | np.isnan(b))
    r, b = r[keep], b[keep]
    n = len(r)
    ann = np.prod(1 + r) ** (a / n) - 1
    ann_b = np.prod(1 + b) ** (a / n) - 1
    var_b = np.var(b, ddof=1)
    beta = np.cov(r, b, ddof=1)[0, 1] / var_b if var_b else np.nan
    e = r - rate / a
    sd = np.std(e, ddof=1)
    down = np.sqrt(np.mean(np.minimum(e, 0) ** 2))
    value = np.cumprod(np.concatenate([[1.0], 1 + r]))
    return {
        "annual_return": float(ann),
        "alpha": float(ann - (rate + beta * (ann_b - rate))),
        "beta": float(beta),
        "sharpe": float(np.mean(e) / sd * np.sqrt(a)) if sd else np.nan,
        "sortino": float(np.mean(e) * a / (down * np.sqrt(a))) if down else np.nan,
        "max_drawdown": float(np.max(1 - value / np.maximum.accumulate(value))),
        "var": float(-np.percentile(r, 5)),
    }


def plain_rate(tickvane, start, end, tenors):
    curve = tickvane.get_yield_curve(start, start)
    days = (pd.Timestamp(end) - pd.Timestamp(start)).days
    label = "S0"
    for count, name in tenors:
        if days <= count:
            break
        label = name
    value = curve[label[1:] + label[0]].iloc[0]
    return 0 if np.isnan(value) else float(value)


def plain_analysis(tickvane, series, benchmark, tenors):
    start, end = series.index[0], series.index[-1]
    closes = tickvane.get_price(benchmark, start, end, fields="ClosingPx", adjust_type="none")
    result = {}
    for key, (wp, wb) in risk_windows(series, closes).items():
        rate = plain_rate(tickvane, wp.index[0], end, tenors)
        p = plain_risk(wp.values, wb.values, rate)
        b = plain_risk(wb.values, wb.values, rate)
        result[key] = {
            "benchmark": {"return": b["annual_return"], "alpha": 0, "beta": 1,
                          "sharpe": b["sharpe"], "sortino": "",
                          "max_drawdown": b["max_drawdown"], "var": b["var"]},
            "portfolio": {"return": p["annual_return"], "alpha": p["alpha"],
                          "beta": p["beta"], "sharpe": p["sharpe"], "sortino": p["sortino"],
                          "max_drawdown": p["max_drawdown"], "var": p["var"]},
        }
    return result


# ------------------------------------------------------------------------ timing

def median_seconds(call, n, client=None):
    """Median over BATCHES batches of n calls of the time per call, less the time spent
    inside the market-data client when one is given."""
    call()  # the first call stores any reply not yet stored
    per_call = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(BATCHES):
            if client is not None:
                client.reset_calls()
            start = time.perf_counter()
            for _ in range(n):
                call()
            elapsed = time.perf_counter() - start
            per_call.append((elapsed - (client.time_inside if client else 0.0)) / n)
    finally:
        gc.enable()
    return statistics.median(per_call), min(per_call)


# ------------------------------------------------- warm and fresh-process figures

RESULTS = pathlib.Path(__file__).resolve().parent / "results" / "risk.json"
FRESH_RUNS, WARM_CALLS = 5, 5
# CPU seconds of this thread: the machines this runs on are shared, and wall-clock
# time would count waits for a core.
CLOCK = _timing.clock


def _runner(which, client, series):
    import meridan.risk as risk

    if which == "ours":
        return lambda: risk.risk_analysis(series, INDEX)
    return lambda: plain_analysis(client, series, INDEX, risk.YIELD_CURVE_TENORS)


def _once(which, payload):
    """A fresh process: the first call of `which` ("ours" or "pandas") after the
    imports, the kept replies and the series read from `payload` (written by the
    parent) and answered from memory; its own time reported."""
    import meridan.risk  # noqa: F401

    with open(payload, "rb") as f:
        data = pickle.load(f)
    client, patch = recording_tickvane.standing_in(CLOCK)
    # The client opens its store before the timed call, as its first operation would
    # in use: the opening is the client's time, like its replies.
    client.real._manage.current()
    with client.answering_from_memory(data["memory"]):
        run = _timing.own_time(client, _runner(which, client, data["series"]))
        if os.environ.get("BENCH_PROFILE"):  # where a fresh process's time goes
            import cProfile
            cProfile.runctx("run()", globals(), locals(), sort="tottime")
            return
        seconds, imports = _timing.time_once(run)
        asked = client.count()
    _timing.report_once(seconds, requests_not_kept=asked, imports=imports)
    patch.undo()


def _warm_and_fresh(client, series, reports):
    """risk_analysis and the rendering, warm and fresh, with the client answering
    from memory: the whole calls timed, nothing subtracted but the imports of a fresh
    process's first call (each process's report kept in ``reports[side]``)."""
    ours, plain = _runner("ours", client, series), _runner("pandas", client, series)
    recording_tickvane.time = types.SimpleNamespace(perf_counter=CLOCK)
    with client.replaying(), client.answering_from_memory() as memory:
        ours(), plain()  # every request kept once, by each rendering's arguments
        before = recording_tickvane.fingerprint(memory)
        warm = _timing.measure(_timing.own_time(client, ours), WARM_CALLS)
        warm_plain = _timing.measure(_timing.own_time(client, plain), WARM_CALLS)
        after = recording_tickvane.fingerprint(memory)
        if any(after[k] != b for k, b in before.items()):
            raise RuntimeError("a run changed a reply it was handed")
    recording_tickvane.time = time
    with tempfile.TemporaryDirectory() as folder:
        payload = pathlib.Path(folder) / "replies.pickle"
        with open(payload, "wb") as f:
            pickle.dump({"memory": memory, "series": series}, f)
        fresh = _timing.fresh([__file__, "--once", "ours", payload], FRESH_RUNS,
                              reports=reports["ours"])
        fresh_plain = _timing.fresh([__file__, "--once", "pandas", payload], FRESH_RUNS,
                                    reports=reports["pandas"])
    return warm, warm_plain, fresh, fresh_plain


def main():
    import meridan.risk as risk
    import perilon

    client, series = build_market()
    recording_tickvane.install(client, pytest.MonkeyPatch())

    start, end = series.index[0], series.index[-1]
    with client.replaying():
        client.prepare("get_price", INDEX, start, end, fields="ClosingPx", adjust_type="none")
        ours = risk.risk_analysis(series, INDEX)
        plain = plain_analysis(client, series, INDEX, risk.YIELD_CURVE_TENORS)
        worst = max(abs(ours[k][s][f] - plain[k][s][f]) / max(abs(plain[k][s][f]), 1e-12)
                    for k in ours for s in ours[k] for f in ours[k][s]
                    if not isinstance(plain[k][s][f], str))
        ours_own, ours_best = median_seconds(lambda: risk.risk_analysis(series, INDEX), CALLS,
                                             client)
        requests = client.count() / CALLS
        inside = client.time_inside / CALLS
        plain_own, plain_best = median_seconds(
            lambda: plain_analysis(client, series, INDEX, risk.YIELD_CURVE_TENORS), CALLS // 4,
            client)
    reports = {"ours": [], "pandas": []}
    warm, warm_plain, (fresh, fresh_runs), (fresh_plain, fresh_runs_plain) = \
        _warm_and_fresh(client, series, reports)

    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"risk_analysis: {len(series)} daily values ({start.date()} .. {end.date()}), "
          f"7 periods x 2 Risk objects, {requests:.0f} service requests per call "
          f"(replayed, {1e6 * inside:.0f} us inside the client, not counted)")
    print(f"  meridan.risk : {1e6 * ours_own:8.1f} us per call, own time (fastest batch "
          f"{1e6 * ours_best:.1f} us; target < 1000 us)")
    print(f"  pandas/numpy : {1e6 * plain_own:8.1f} us per call, own time (fastest batch "
          f"{1e6 * plain_best:.1f} us)")
    print(f"  ratio        : {plain_own / ours_own:8.1f}; largest relative difference of the "
          f"figures {worst:.1e}")
    print("  risk_analysis, the client answering from memory (whole calls, nothing "
          "subtracted), CPU seconds of this thread:")
    print(f"    warm  (best of {WARM_CALLS}):            ours {1e3 * warm:8.3f} ms; pandas "
          f"{1e3 * warm_plain:8.3f} ms; ratio {warm_plain / warm:5.1f}x (goal >= 10x)")
    print(f"    fresh (median of {FRESH_RUNS} processes): ours {1e3 * fresh:8.3f} ms; pandas "
          f"{1e3 * fresh_plain:8.3f} ms; ratio {fresh_plain / fresh:5.1f}x (goal >= 10x)")
    print("  " + _timing.imports_line(ours=reports["ours"], pandas=reports["pandas"]))
    ms = 1e3
    _timing.append(RESULTS, {"risk_analysis": {
        "warm_ms": round(ms * warm, 4), "warm_pandas_ms": round(ms * warm_plain, 4),
        "warm_ratio": round(warm_plain / warm, 2),
        "fresh_ms": round(ms * fresh, 4), "fresh_pandas_ms": round(ms * fresh_plain, 4),
        "fresh_ratio": round(fresh_plain / fresh, 2),
        "fresh_runs_ms": [round(ms * t, 4) for t in fresh_runs],
        "fresh_runs_pandas_ms": [round(ms * t, 4) for t in fresh_runs_plain]}}, NOTE)

    rng = np.random.default_rng(9)
    r = rng.normal(0.0004, 0.012, YEARS * 244)
    b = 0.7 * r + rng.normal(0, 0.006, len(r))
    for label, arrays in (("numpy arrays", (r, b)),
                          ("pandas Series", (pd.Series(r), pd.Series(b)))):
        ours_risk, _ = median_seconds(lambda: perilon.Risk(*arrays, 0.025), RISK_CALLS)
        plain_risk_s, _ = median_seconds(
            lambda: plain_risk(np.asarray(arrays[0]), np.asarray(arrays[1]), 0.025),
            RISK_CALLS // 10)
        print(f"perilon.Risk, {len(r)} days, {label}: {1e6 * ours_risk:.1f} us (13 figures); "
              f"numpy, 7 figures: {1e6 * plain_risk_s:.1f} us; ratio {plain_risk_s / ours_risk:.1f}")

NOTE = ""

if __name__ == "__main__":
    if sys.argv[1:2] == ["--once"]:
        _once(sys.argv[2], sys.argv[3])
    else:
        if "--note" in sys.argv:
            NOTE = sys.argv[sys.argv.index("--note") + 1]
        main()
