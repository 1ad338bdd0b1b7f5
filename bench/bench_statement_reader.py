"""What reading text in place from pyarrow earns when a statement's trades are built:
``fix_trades`` over the 100,000 trades of a statement as ``normalise_statement`` hands
them over (ids and sides as pandas' string dtype on pyarrow storage), read in place,
beside the same trades with those columns made Python objects first, which is what
reading them without the in-place reader costs (one str per cell). Own time: the
market-data client's replies are prepared in advance, in the same run, and the best
of five runs is taken for each. A ratio above 1 is what the in-place reader saves.

    python bench/bench_statement_reader.py
"""

import functools
import gc
import time

import numpy as np
import pandas as pd
import pyarrow as pa

N_TRADES, N_STOCKS, RUNS = 100_000, 300, 5


def prepared(fn):
    """`fn` answering from replies kept by the repr of its arguments: the first call of
    each asks the client, every later one is a dict look-up."""
    replies = {}

    @functools.wraps(fn)
    def answer(*args, **kwargs):
        key = repr((args, sorted(kwargs.items())))
        if key not in replies:
            replies[key] = fn(*args, **kwargs)
        return replies[key]
    return answer


def arrow_text(values, codes):
    """values[codes[k]] for each k as pandas' string dtype on pyarrow storage, as the
    statement reader builds its text columns."""
    taken = pa.array(values, pa.large_string()).take(pa.array(codes))
    return pd.Series(taken.to_pandas(
        types_mapper=lambda t: pd.StringDtype("pyarrow", na_value=np.nan)))


def statement_trades():
    import tickvane

    days = tickvane.get_trading_dates("2016-01-04", "2017-12-29")
    stocks = tickvane.all_instruments("CS")
    ids = stocks.order_book_id[stocks.listed_date < "2015-01-01"].tolist()[:N_STOCKS]
    rng = np.random.default_rng(26)
    day = np.sort(rng.integers(0, len(days), N_TRADES))
    stamps = (pd.DatetimeIndex(days)[day] + pd.Timedelta(hours=10)).to_numpy()
    return pd.DataFrame({
        "order_book_id": arrow_text(ids, rng.integers(0, len(ids), N_TRADES)),
        "datetime": stamps.astype("datetime64[us]"),
        "side": arrow_text(["SELL", "BUY"], rng.integers(0, 2, N_TRADES)),
        "last_quantity": rng.integers(1, 50, N_TRADES) * 100,
        "last_price": np.round(rng.uniform(3, 60, N_TRADES), 2),
        "transaction_cost": np.round(rng.uniform(5, 50, N_TRADES), 2),
    })


def best_of(run):
    times = []
    for _ in range(RUNS):
        gc.collect()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    from meridan.pcalc import preprocess

    for name in ("instruments", "get_trading_dates"):
        setattr(preprocess, name, prepared(getattr(preprocess, name)))
    frame = statement_trades()
    text = ["order_book_id", "side"]
    assert all(isinstance(frame[c].dtype, pd.StringDtype) for c in text)

    def in_place():
        return preprocess.fix_trades(frame, None)

    def as_objects():
        return preprocess.fix_trades(frame.astype({c: object for c in text}), None)

    assert in_place() == as_objects()  # the same trades (and the replies prepared)
    arrow, objects = best_of(in_place), best_of(as_objects)
    print(f"fix_trades, {N_TRADES:,} trades of a statement, best of {RUNS}:")
    print(f"  text read in place from pyarrow   {arrow * 1e3:8.1f} ms")
    print(f"  text made Python objects first    {objects * 1e3:8.1f} ms")
    print(f"  ratio (objects / in place)        {objects / arrow:8.2f}")
    print(f"  own time saved by the reader      {1 - arrow / objects:8.1%}")


if __name__ == "__main__":
    main()
