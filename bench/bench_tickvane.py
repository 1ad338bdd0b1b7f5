"""Measures tickvane against its figures: import, sample build, opening, latencies, memory.

    python bench/bench_tickvane.py [--store PATH] [--rounds N]

Without --store the sample is built into a temporary folder (and the build is timed);
with --store an existing store is measured and the build figures are skipped, unless the
file does not exist yet, in which case it is built there. Run it with the package
importable (installed, or PYTHONPATH=python). Timings are medians.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

TARGETS = {
    "import tickvane": ("ms", 50),
    "build sample": ("s", 60),
    "store size": ("MiB", 1024),
    "open store": ("s", 1),
    "get_price_change_rate 300 ids x 60 days": ("ms", 2),
    "index_weights": ("ms", 0.2),
    "index_components": ("ms", 0.2),
    "instruments (one id)": ("ms", 0.2),
    "get_factor_exposure 300 ids x 90 days": ("ms", 5),
    "get_price one index x 3 years": ("ms", 1),
    "memory after touching every table": ("MiB", 1536),
}
SCALE = {"ms": 1e3, "s": 1.0}


def fresh_python(code, env=None):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=env, check=True)
    return out.stdout.strip()


def median_time(fn, rounds):
    samples = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t)
    return statistics.median(samples)


def rss_mib():
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", help="measure this store instead of a fresh sample")
    parser.add_argument("--rounds", type=int, default=300)
    args = parser.parse_args()
    results = {}
    notes = {}

    code = ("import time, sys; t = time.perf_counter(); import tickvane; "
            "print(time.perf_counter() - t, 'pandas' in sys.modules, 'numpy' in sys.modules)")
    runs = [fresh_python(code).split() for _ in range(7)]
    results["import tickvane"] = statistics.median(float(r[0]) for r in runs)
    notes["import tickvane"] = "pandas loaded: %s, numpy loaded: %s" % (runs[0][1], runs[0][2])

    tmp = None
    store = args.store
    if store is None or not os.path.exists(store):
        if store is None:
            tmp = tempfile.TemporaryDirectory(prefix="tickvane-bench-")
            store = os.path.join(tmp.name, "sample.sqlite")
        t = time.perf_counter()
        fresh_python("import tickvane; tickvane.build_sample(%r, progress=False)" % store)
        results["build sample"] = time.perf_counter() - t
        notes["build sample"] = "fresh process, includes imports and the calendar"
    results["store size"] = os.path.getsize(store) / 2 ** 20

    opened = fresh_python(
        "import time; t0 = time.perf_counter(); import tickvane, pandas; "
        "t1 = time.perf_counter(); tickvane.open_store(%r); t2 = time.perf_counter(); "
        "print(t2 - t0, t2 - t1)" % store).split()
    results["open store"] = float(opened[0])
    notes["open store"] = "fresh process incl. importing pandas; %.0f ms without it" % (
        float(opened[1]) * 1e3)

    import tickvane

    tickvane.use_store(store)
    info = tickvane.store_info()
    day = "2019-06-28"
    t = time.perf_counter()
    members = tickvane.index_components("000300.XSHG", day)
    index_first = time.perf_counter() - t
    dates = tickvane.get_trading_dates("2019-01-01", day)
    start60, start90 = dates[-60], dates[-90]

    first = {}
    timed = {
        "get_price_change_rate 300 ids x 60 days":
            lambda: tickvane.get_price_change_rate(members, start60, day),
        "index_weights": lambda: tickvane.index_weights("000300.XSHG", day),
        "index_components": lambda: tickvane.index_components("000300.XSHG", day),
        "instruments (one id)": lambda: tickvane.instruments(members[0]),
        "get_factor_exposure 300 ids x 90 days":
            lambda: tickvane.get_factor_exposure(members, start90, day),
        "get_price one index x 3 years":
            lambda: tickvane.get_price("000300.XSHG", "2016-06-28", day, fields="ClosingPx",
                                       adjust_type="none"),
    }
    for name, fn in timed.items():
        t = time.perf_counter()
        reply = fn()
        first[name] = time.perf_counter() - t
        results[name] = median_time(fn, args.rounds)
        shape = getattr(reply, "shape", None) or (len(reply) if isinstance(reply, list)
                                                  else type(reply).__name__)
        notes[name] = "first touch %.1f ms; reply %s" % (first[name] * 1e3, shape)
    for name in ("index_weights", "index_components"):
        notes[name] = "first touch of the index tables %.0f ms; reply (300,)" % (
            index_first * 1e3)

    base = rss_mib()
    t = time.perf_counter()
    everything = tickvane.all_instruments()
    ids = everything["order_book_id"].tolist()
    stocks = everything.loc[everything["type"] == "CS", "order_book_id"].tolist()
    tickvane.get_price(ids, adjust_type="pre")
    tickvane.get_price_change_rate(ids, info["first_date"], info["last_date"])
    tickvane.get_factor_exposure(stocks, info["first_date"], info["last_date"])
    tickvane.get_factor_return(info["first_date"], info["last_date"])
    tickvane.get_yield_curve()
    for oid in stocks:
        tickvane.get_dividend(oid)
        tickvane.get_split(oid)
    tickvane.index_weights("000905.XSHG", day)
    touch_all = time.perf_counter() - t
    import gc
    gc.collect()
    results["memory after touching every table"] = rss_mib()
    notes["memory after touching every table"] = (
        "process RSS; %.0f MiB before the full touch, which took %.1f s"
        % (base, touch_all))

    width = max(len(k) for k in TARGETS)
    print("tickvane figures (store %s, %d rows of prices, %d of exposures)"
          % (store, info["rows"]["prices"], info["rows"]["factor_exposures"]))
    for name, (unit, limit) in TARGETS.items():
        if name not in results:
            print("  %-*s  (skipped)" % (width, name))
            continue
        value = results[name] * SCALE.get(unit, 1.0)
        verdict = "ok" if value <= limit else "OVER"
        print("  %-*s %10.3f %-3s (target <= %g %s) %-4s %s"
              % (width, name, value, unit, limit, unit, verdict, notes.get(name, "")))
    if tmp is not None:
        tickvane.close_store()
        tmp.cleanup()


if __name__ == "__main__":
    main()
