"""``meridan batch`` timed: many generated statements on the sample market.

1. Generates N statements (default 1,000) over the last two years of the sample
   market: each of 30 to 200 trades in 5 to 20 stocks of the CSI 300, bought at the
   day's close and sold only from shares held since an earlier day, with the
   broker's fees (seeded, the same statements on every run).
2. Analyses them on a local Dask cluster of 1 and then of 2 worker processes (one
   thread each), three times on each cluster; prints for each the wall time of every
   run, the statements per second of the best run, the median and mean own time of
   a statement on its worker in that run (and its processor time), and the scaling
   efficiency of 2 workers over 1 (their rates' ratio over 2).
3. The baseline: the first M statements (default 20) in a plain loop in this one
   process, ``meridan.analysis.run`` on each (a new market-data provider each time,
   as the analyse command), after one statement to import and open everything.

    python bench/bench_batch.py [N] [--runs 3] [--baseline M] [--workers 1 2]

The sample market is built first if it is missing (not timed).
"""

import argparse
import datetime as dt
import math
import os
import random
import statistics
import tempfile
import time

import _timing

HEADER = "成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,手续费,印花税,过户费"


def _market():
    """(trading days of the last two years, CSI 300 stocks with a close on most of
    them, their closes as a DataFrame, their names)."""
    import tickvane

    days = tickvane.get_trading_dates("2000-01-01", "2199-12-31")
    last = days[-1]
    first = last.replace(year=last.year - 2) + dt.timedelta(days=1)
    days = [day for day in days if day >= first]
    ids = tickvane.index_components("000300.XSHG", days[0])
    # The exchange of a bare code is read from its first digit.
    ids = [i for i in ids if (i[0] == "6") == i.endswith(".XSHG")]
    closes = tickvane.get_price(ids, days[0], days[-1], adjust_type="none")
    closes = closes.loc[:, closes.notna().mean() > 0.9]
    names = {i: tickvane.instruments(i).symbol for i in closes.columns}
    return days, list(closes.columns), closes, names


def statement(rng, days, ids, closes, names):
    """The CSV text of one generated statement."""
    stocks = rng.sample(ids, rng.randint(5, 20))
    count = rng.randint(30, 200)
    when = sorted(rng.sample(range(len(days)), min(count, len(days))))
    held, today, lines = {}, {}, [HEADER]
    for seconds, k in enumerate(when):
        day = days[k]
        stamp = closes.index[k]
        # Shares bought on an earlier day may be sold (one day's settlement).
        free = {s: q - today.get((s, day), 0) for s, q in held.items()}
        sellable = [s for s, q in free.items() if q >= 100
                    and not math.isnan(closes.at[stamp, s])]
        if sellable and rng.random() < 0.4:
            code = rng.choice(sellable)
            quantity = rng.randint(1, free[code] // 100) * 100
            side = "证券卖出"
        else:
            priced = [s for s in stocks if not math.isnan(closes.at[stamp, s])]
            if not priced:
                continue
            code = rng.choice(priced)
            quantity = rng.randint(1, 20) * 100
            side = "证券买入"
        price = round(float(closes.at[stamp, code]), 2)
        if price <= 0:
            continue
        amount = price * quantity
        commission = max(5.0, round(amount * 0.00025, 2))
        tax = round(amount * 0.0005, 2) if side == "证券卖出" else 0.0
        transfer = round(amount * 0.00001, 2)
        if side == "证券买入":
            held[code] = held.get(code, 0) + quantity
            today[(code, day)] = today.get((code, day), 0) + quantity
        else:
            held[code] -= quantity
        time_of_day = dt.time(9, 30 + seconds // 60 % 60, seconds % 60)
        lines.append(f"{day:%Y%m%d},{time_of_day:%H:%M:%S},{code[:6]},{names[code]},"
                     f"{side},{quantity},{price:.2f},{commission:.2f},{tax:.2f},"
                     f"{transfer:.2f}")
    return "\n".join(lines) + "\n"


def generate(folder, n, seed=26):
    days, ids, closes, names = _market()
    paths = []
    for i in range(n):
        rng = random.Random(seed * 1_000_003 + i)
        path = os.path.join(folder, f"s{i:05d}.csv")
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(statement(rng, days, ids, closes, names))
        paths.append(path)
    return paths


def on_cluster(paths, workers, runs):
    """(wall time of each run, the best run's Results) on a local cluster of
    ``workers`` processes, one thread each."""
    import distributed

    from meridan import batch

    cluster = batch.local_cluster(workers, dashboard=None)
    walls, best = [], None
    try:
        with distributed.Client(cluster) as client:
            client.wait_for_workers(workers)
            for _ in range(runs):
                began = time.perf_counter()
                found = batch.analyse_many(paths, client)
                walls.append(time.perf_counter() - began)
                if walls[-1] == min(walls):
                    best = found
    finally:
        cluster.close()
    return walls, best


def loop(paths):
    """Seconds per statement of a plain loop in this process (after one statement
    that imports and opens everything), and the statements refused."""
    from meridan import analysis

    def one(path):
        try:
            analysis.run(path)
        except analysis.AnalysisError:
            return 1
        return 0

    one(paths[0])
    began = time.perf_counter()
    refused = sum(one(path) for path in paths)
    return (time.perf_counter() - began) / len(paths), refused


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("n", type=int, nargs="?", default=1000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--baseline", type=int, default=20, metavar="M")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()

    import tickvane
    tickvane.get_trading_dates("2000-01-01", "2000-01-02")   # builds the sample if missing
    with tempfile.TemporaryDirectory() as folder:
        began = time.perf_counter()
        paths = generate(folder, args.n)
        sizes = [sum(1 for _ in open(p, encoding="utf-8")) - 1 for p in paths]
        print(f"{args.n:,} statements of {min(sizes)} to {max(sizes)} trades (mean "
              f"{statistics.mean(sizes):.0f}) generated in {time.perf_counter() - began:.1f} s")
        rates, figures = {}, {"statements": args.n, "trades_mean": statistics.mean(sizes)}
        for workers in args.workers:
            walls, found = on_cluster(paths, workers, args.runs)
            rates[workers] = args.n / min(walls)
            own, cpu = found.timings["seconds"], found.timings["cpu_seconds"]
            print(f"{workers} worker{'s' if workers > 1 else ''}: runs "
                  + ", ".join(f"{w:.1f} s" for w in walls)
                  + f"; best {rates[workers]:.2f} statements/s; own time per statement "
                  f"median {own.median():.3f} s, mean {own.mean():.3f} s (processor "
                  f"time mean {cpu.mean():.3f} s); {len(found.failures)} refused")
            figures[f"workers_{workers}"] = {
                "runs_s": walls, "statements_per_s": rates[workers],
                "own_median_s": float(own.median()), "own_mean_s": float(own.mean()),
                "cpu_mean_s": float(cpu.mean()), "refused": len(found.failures)}
            if len(found.failures):
                print("  first refused: " + found.failures.iloc[0]["message"].splitlines()[0])
        if 1 in rates and 2 in rates:
            print(f"2 workers over 1: {rates[2] / rates[1]:.2f}x, scaling efficiency "
                  f"{rates[2] / rates[1] / 2:.0%}")
            figures["scaling"] = rates[2] / rates[1]
        if args.baseline:
            seconds, refused = loop(paths[:args.baseline])
            print(f"plain loop in one process, {args.baseline} statements: "
                  f"{seconds:.3f} s per statement ({1 / seconds:.2f} statements/s), "
                  f"{refused} refused")
            figures["loop"] = {"statements": args.baseline, "seconds_each": seconds}
            for workers, rate in rates.items():
                print(f"  {workers} worker{'s' if workers > 1 else ''}: "
                      f"{rate * seconds:.2f}x the loop")
                figures[f"workers_{workers}"]["over_loop"] = rate * seconds
        figures["load_average"] = os.getloadavg()
        print(f"figures stored in {_timing.save('batch', figures)}")


if __name__ == "__main__":
    main()
