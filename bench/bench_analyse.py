"""The analyst's main job and its statement reader, timed.

1. Reads a 1,000,000-row settlement statement (the sample statement's trades repeated,
   about 96 MB) once in each of three fresh interpreters: meridan.statement's reader
   (read_statement and normalise_statement: every cell checked, rows named in errors),
   the whole of load_statement (the reader, the checks against the market data and the
   trades built), and a plain vectorised pandas reading that maps the same columns
   without any check. Prints the wall-clock time of each, the ratio of ours to plain
   pandas, and the peak memory of each process above the interpreter with its imports
   (VmHWM, or ru_maxrss), as a multiple of the file's size too, and the whole peak.
   The whole load is run once more on the same rows with each repeated trade at
   another second of its day: the times of a real long statement hardly repeat, and
   each trade then holds a Timestamp of its own.
2. Runs ``python -m meridan analyse examples/sample_statement.csv`` twice in a fresh
   interpreter on the embedded store as it is (built once beforehand), and prints the
   wall-clock time of each run and the time of each step as the command reports it.

    python bench/bench_analyse.py
"""

import json
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

import pandas as pd

from meridan.statement import normalise_statement, read_statement

ROOT = pathlib.Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "examples" / "sample_statement.csv"
ROWS = 1_000_000


def big_statement(folder, distinct_times=False):
    lines = SAMPLE.read_text(encoding="utf-8").splitlines()
    trades = [line for line in lines[1:] if ",证券买入," in line or ",证券卖出," in line]
    body = (trades * (ROWS // len(trades) + 1))[:ROWS]
    name = "big.csv"
    if distinct_times:
        # Row k at second k * 7919 (mod a day) of its day: a step prime to the
        # day's 86,400 seconds, so no trade of the sample meets its own time again.
        column = lines[0].split(",").index("成交时间")
        for k, line in enumerate(body):
            cells = line.split(",")
            second = k * 7919 % 86400
            cells[column] = f"{second // 3600:02d}:{second // 60 % 60:02d}:{second % 60:02d}"
            body[k] = ",".join(cells)
        name = "distinct_times.csv"
    path = folder / name
    path.write_text("\n".join([lines[0]] + body) + "\n", encoding="utf-8")
    return path


def ours(path):
    return normalise_statement(read_statement(path)).frame


def plain_pandas(path):
    raw = pd.read_csv(path, dtype=str, keep_default_na=False, encoding="utf-8-sig")
    codes = raw["证券代码"].str.zfill(6)
    exchange = codes.str[0].map({"6": ".XSHG"}).fillna(".XSHE")
    fees = raw[["手续费", "印花税", "过户费"]].apply(pd.to_numeric).sum(axis=1)
    return pd.DataFrame({
        "order_book_id": codes + exchange,
        "datetime": pd.to_datetime(raw["成交日期"] + " " + raw["成交时间"],
                                   format="%Y%m%d %H:%M:%S"),
        "side": raw["操作"].map({"证券买入": "BUY", "证券卖出": "SELL"}),
        "last_quantity": pd.to_numeric(raw["成交数量"]).astype("int64"),
        "last_price": pd.to_numeric(raw["成交均价"]),
        "transaction_cost": fees,
    })


def whole_load(path):
    from meridan.quotes import CachedMarketDataProvider
    from meridan.statement import load_statement

    trades, _, _ = load_statement(path, CachedMarketDataProvider())
    return trades


def peak_bytes():
    """The process's peak resident memory. ru_maxrss of a child process starts at its
    parent's size when it was forked, so the kernel's own count of this program's
    peak (VmHWM) is taken where there is one."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def measure(kind, path):
    """Run in a child process: one reading of `path`; prints its figures as JSON."""
    function = {"reader": ours, "load": whole_load, "pandas": plain_pandas}[kind]
    if kind == "load":
        import tickvane
        tickvane.get_trading_dates("2024-01-02", "2024-01-05")
    base = peak_bytes()
    start = time.perf_counter()
    result = function(path)
    seconds = time.perf_counter() - start
    peak = peak_bytes()
    print(json.dumps({"seconds": seconds, "extra": peak - base, "peak": peak,
                      "rows": len(result)}))


def child(kind, path):
    done = subprocess.run([sys.executable, __file__, "--measure", kind, str(path)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = big_statement(pathlib.Path(folder))
        size = path.stat().st_size
        figures = {kind: child(kind, path) for kind in ("pandas", "reader", "load")}
        figures["distinct"] = child("load", big_statement(pathlib.Path(folder), True))
        assert figures["reader"]["rows"] == figures["pandas"]["rows"] == ROWS
        assert figures["distinct"]["rows"] == ROWS
        plain = figures["pandas"]["seconds"]
        print(f"statement of {ROWS:,} rows ({size / 1e6:.0f} MB):")
        for kind, label in (("pandas", "plain pandas, no checks"),
                            ("reader", "meridan.statement reader"),
                            ("load", "load_statement with trades"),
                            ("distinct", "the same, times spread")):
            got = figures[kind]
            print(f"  {label:28s} {got['seconds']:6.1f} s ({got['seconds'] / plain:4.1f}x "
                  f"plain pandas), peak {got['extra'] / 1e6:6.0f} MB above the "
                  f"interpreter ({got['extra'] / size:.1f}x the file; the process "
                  f"{got['peak'] / 1e6:.0f} MB)")

        # The store is built (once) before the timed runs.
        import tickvane
        tickvane.get_trading_dates("2024-01-02", "2024-01-05")
        for run in (1, 2):
            out = pathlib.Path(folder) / f"report{run}.html"
            start = time.perf_counter()
            done = subprocess.run(
                [sys.executable, "-m", "meridan", "analyse", str(SAMPLE), "--out", str(out)],
                capture_output=True, text=True, env=dict(os.environ), check=True)
            elapsed = time.perf_counter() - start
            steps = "; ".join(line.strip() for line in done.stderr.splitlines()
                              if "(" in line and " s)" in line)
            print(f"main job, run {run}: {elapsed:.1f} s wall ({steps})")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--measure"]:
        measure(sys.argv[2], sys.argv[3])
    else:
        main()
