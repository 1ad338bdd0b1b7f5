"""The analyst's main job and its statement reader, timed.

1. Reads a 10,000-row settlement statement (the sample statement's trades repeated)
   with meridan.statement (every cell checked, rows named in errors) and with a plain
   vectorised pandas reading that maps the same columns without any check, measured in
   the same run; prints both and the ratio (CPU time, best of five).
2. Runs ``python -m meridan analyse examples/sample_statement.csv`` twice in a fresh
   interpreter on the embedded store as it is (built once beforehand), and prints the
   wall-clock time of each run and the time of each step as the command reports it.

    python bench/bench_analyse.py
"""

import os
import pathlib
import subprocess
import sys
import tempfile
import time

import pandas as pd

from meridan.statement import normalise_statement, read_statement

ROOT = pathlib.Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "examples" / "sample_statement.csv"
ROWS = 10_000


def big_statement(folder):
    lines = SAMPLE.read_text(encoding="utf-8").splitlines()
    trades = [line for line in lines[1:] if ",证券买入," in line or ",证券卖出," in line]
    body = (trades * (ROWS // len(trades) + 1))[:ROWS]
    path = folder / "big.csv"
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


def best_cpu(function, *args, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.process_time()
        function(*args)
        times.append(time.process_time() - start)
    return min(times)


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = big_statement(pathlib.Path(folder))
        mine = ours(path)
        base = plain_pandas(path)
        assert len(mine) == len(base) == ROWS
        assert mine["order_book_id"].tolist() == base["order_book_id"].tolist()
        a, b = best_cpu(ours, path), best_cpu(plain_pandas, path)
        print(f"statement of {ROWS:,} rows: meridan.statement {a * 1e3:.1f} ms "
              f"({a / ROWS * 1e6:.1f} us/row), plain pandas without checks "
              f"{b * 1e3:.1f} ms; ratio {a / b:.1f}x")

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
    main()
