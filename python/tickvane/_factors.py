"""The style-factor model of fetched stores: ten exposures a stock a day and ten factor
returns a day, computed from the fetched closes, adjustment factors, dividends, index
members and the daily bars' turnover and valuation fields.

Everything is a matrix of trading days x stocks (NaN: not known), worked on with numpy
as a whole: the rolling windows are differences of cumulative sums, the standardisation
is one pass per factor over all days at once, and only the regression of the factor
returns goes day by day (a small least-squares problem each). SCHEMA.md ("Style factors
of fetched stores") defines each factor; the names below follow it.
"""

import os

import numpy as np

from ._schema import FACTORS

BETA_DAYS, BETA_MIN = 250, 60
MOMENTUM_FROM, MOMENTUM_TO = 252, 21
REVERSAL_DAYS = 21
VOLATILITY_DAYS, VOLATILITY_MIN = 60, 20
LIQUIDITY_DAYS = 21
YIELD_DAYS = 250
GROWTH_DAYS = 250
CLIP = 3.0
MIN_UNIVERSE = 3        # stocks of the universe with a value, for a day's z-scores
MARKET = "000300.XSHG"  # the index beta is measured against
# Calendar days of the bars' fields kept between the batches of one fetch: enough for
# the longest window on those fields (growth's 250 trading days) before the next batch.
KEEP_DAYS = 400


# ---------------------------------------------------------------------- the model


def _lag(a, k):
    """`a` shifted down by k rows (days): row t holds row t - k; NaN for the first k."""
    out = np.full_like(a, np.nan)
    if k < len(a):
        out[k:] = a[:len(a) - k]
    return out


def _ffill(a):
    """Each column's last value that is not NaN, carried down the rows."""
    rows = np.where(~np.isnan(a), np.arange(len(a))[:, None], 0)
    np.maximum.accumulate(rows, axis=0, out=rows)
    out = a[rows, np.arange(a.shape[1])[None, :]]
    seen = np.maximum.accumulate(~np.isnan(a), axis=0)
    return np.where(seen, out, np.nan)


def _window_sums(values, valid, days):
    """(count, sum) over the last `days` rows (this one included) of the valid cells."""
    x = np.where(valid, values, 0.0)
    c = np.cumsum(np.vstack([np.zeros((1,) + x.shape[1:]), x]), axis=0)
    n = np.cumsum(np.vstack([np.zeros((1,) + x.shape[1:]), valid.astype(float)]), axis=0)
    lo = np.maximum(np.arange(1, len(x) + 1) - days, 0)
    hi = np.arange(1, len(x) + 1)
    return n[hi] - n[lo], c[hi] - c[lo]


def daily_returns(close, adj):
    """Each traded day's total return since the stock's previous close (over a
    suspension: since the last close before it); NaN on a day without a close."""
    price = close * adj
    before = _lag(_ffill(price), 1)
    return price / before - 1.0


def descriptors(close, adj, turn, shares, pb, pe, cash, market):
    """The raw descriptors, {factor: days x stocks}. close, adj: the traded days' closes
    and adjustment factors (NaN when not traded); turn (percent), shares (tradable), pb,
    pe: the bars' fields on traded days; cash: cash dividend per share on its ex day (0
    elsewhere); market: the index closes (days)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        r = daily_returns(close, adj)
        price = _ffill(close * adj)
        last_close = _ffill(close)
        m = np.asarray(market, dtype=float)
        mr = (m / _lag(_ffill(m[:, None]), 1)[:, 0] - 1.0)[:, None]
        out = {}

        both = ~np.isnan(r) & ~np.isnan(mr)
        n, sx = _window_sums(np.broadcast_to(mr, r.shape), both, BETA_DAYS)
        _, sy = _window_sums(r, both, BETA_DAYS)
        _, sxx = _window_sums(np.broadcast_to(mr * mr, r.shape), both, BETA_DAYS)
        _, sxy = _window_sums(r * mr, both, BETA_DAYS)
        varx = sxx - sx * sx / n
        out["beta"] = np.where((n >= BETA_MIN) & (varx > 0), (sxy - sx * sy / n) / varx,
                               np.nan)

        out["momentum"] = np.log(_lag(price, MOMENTUM_TO) / _lag(price, MOMENTUM_FROM))
        out["reversal"] = np.log(price / _lag(price, REVERSAL_DAYS))

        valid = ~np.isnan(r)
        n, s = _window_sums(r, valid, VOLATILITY_DAYS)
        _, ss = _window_sums(r * r, valid, VOLATILITY_DAYS)
        var = (ss - s * s / n) / (n - 1)
        out["volatility"] = np.where(n >= VOLATILITY_MIN, np.sqrt(np.maximum(var, 0)),
                                     np.nan)

        cap = capitalisation(close, shares)
        out["size"] = np.where(cap > 0, np.log(cap), np.nan)

        traded = ~np.isnan(turn) & ~np.isnan(close)
        n, s = _window_sums(turn, traded, LIQUIDITY_DAYS)
        mean = s / n
        out["liquidity"] = np.where((n > 0) & (mean > 0), np.log(mean), np.nan)

        pb_last = _ffill(np.where(pb != 0, pb, np.nan))
        out["value"] = 1.0 / pb_last

        paid = np.nan_to_num(cash) / _lag(last_close, 1)
        paid = np.where(np.nan_to_num(cash) > 0, paid, 0.0)
        _, s = _window_sums(np.nan_to_num(paid), np.ones_like(paid, dtype=bool), YIELD_DAYS)
        out["yield"] = np.where(np.isnan(last_close), np.nan, s)

        earnings = price / _ffill(np.where((pe != 0) & ~np.isnan(close), pe, np.nan))
        before = _lag(earnings, GROWTH_DAYS)
        out["growth"] = np.where(before != 0, (earnings - before) / np.abs(before), np.nan)

        out["leverage"] = np.full(r.shape, np.nan)
    return out


def capitalisation(close, shares):
    """Tradable capitalisation: the last close x the last tradable share count."""
    return _ffill(close) * _ffill(shares)


def standardise(x, universe, cap):
    """z-scores of one descriptor (days x stocks) against each day's estimation
    universe: (x - the universe's capitalisation-weighted mean) / its equal-weighted
    standard deviation (n - 1), clipped to +-3. Stocks outside the universe are put on
    the same scale. A day with fewer than MIN_UNIVERSE values in the universe, or no
    spread, has no z-scores."""
    with np.errstate(divide="ignore", invalid="ignore"):
        have = universe & ~np.isnan(x)
        weighted = have & (cap > 0)
        w = np.where(weighted, cap, 0.0)
        mean = np.sum(w * np.where(weighted, x, 0.0), axis=1) / np.sum(w, axis=1)
        n = have.sum(axis=1)
        xs = np.where(have, x, 0.0)
        eq = xs.sum(axis=1) / n
        std = np.sqrt(np.sum(np.where(have, (x - eq[:, None]) ** 2, 0.0), axis=1) / (n - 1))
        ok = (n >= MIN_UNIVERSE) & (std > 0) & ~np.isnan(mean)
        z = (x - mean[:, None]) / std[:, None]
        z[~ok] = np.nan
        return np.clip(z, -CLIP, CLIP)


def factor_returns(exposures, returns, universe, cap, days=None):
    """The factor returns of each day t (days x factors): weighted least squares of the
    stocks' returns on day t on their exposures at the close of day t - 1, over the
    universe of day t - 1, weights sqrt(capitalisation at t - 1), with an intercept (the
    market's return, not kept). A factor no stock of the sample is exposed to is left
    out of the day's regression and earns 0 (nobody holds it); a stock's missing
    exposure counts as 0 (the mean). A day with no more stocks than the regression has
    columns, or with columns that are not independent, has no factor returns (NaN).
    `days`: the rows to work out (default all)."""
    t_all, _, k = exposures.shape
    out = np.full((t_all, k), np.nan)
    for t in (range(1, t_all) if days is None else days):
        if t < 1:
            continue
        x, y, c = exposures[t - 1], returns[t], cap[t - 1]
        rows = universe[t - 1] & ~np.isnan(y) & (c > 0) & ~np.all(np.isnan(x), axis=1)
        if not rows.any():
            continue
        x = x[rows]
        cols = ~np.all(np.isnan(x), axis=0)
        design = np.hstack([np.ones((len(x), 1)), np.nan_to_num(x[:, cols])])
        if len(design) <= design.shape[1]:
            continue
        root = np.sqrt(np.sqrt(c[rows]))[:, None]     # sqrt of the weight sqrt(cap)
        a, b = design * root, y[rows] * root[:, 0]
        coef, _, rank, _ = np.linalg.lstsq(a, b, rcond=None)
        if rank < design.shape[1]:
            continue
        out[t] = 0.0
        out[t, np.flatnonzero(cols)] = coef[1:]
    return out


def model(close, adj, turn, shares, pb, pe, cash, market, universe):
    """(exposures days x stocks x factors in FACTORS order, capitalisation days x
    stocks, daily returns days x stocks)."""
    raw = descriptors(close, adj, turn, shares, pb, pe, cash, market)
    cap = capitalisation(close, shares)
    exposures = np.stack([standardise(raw[f], universe, cap) for f in FACTORS], axis=2)
    return exposures, cap, daily_returns(close, adj)


# ---------------------------------------------------------------------- a fetch's tables


def keep_inputs(memo, oid, bars):
    """Remember a stock's bar fields the store has no column for (turnover, tradable
    shares, pbMRQ, peTTM on traded days), for this batch and the next ones of the same
    fetch."""
    kept = memo.setdefault(("factor inputs", oid), {})
    for b in bars:
        if b.get("tradestatus") != "1":
            continue
        turn, volume = _float(b.get("turn")), _float(b.get("volume"))
        shares = volume / (turn / 100) if turn and volume and turn > 0 and volume > 0 \
            else None
        kept[b["date"]] = (turn, shares, _float(b.get("pbMRQ")), _float(b.get("peTTM")))


def _forget_before(memo, last):
    """Drop the kept bar fields older than KEEP_DAYS calendar days before `last`."""
    import datetime as dt

    cut = (dt.date.fromisoformat(last) - dt.timedelta(days=KEEP_DAYS)).isoformat()
    for key, kept in memo.items():
        if isinstance(key, tuple) and key[0] == "factor inputs":
            for day in [d for d in kept if d < cut]:
                del kept[day]


def _float(text):
    try:
        value = float(text)
    except (TypeError, ValueError):
        return None
    return value if np.isfinite(value) else None


def tables(folder, tables, memo, target, old_days, old_stocks, indices):
    """The factor_exposures and factor_returns tables of a fetch (lists of CSV rows; the
    earlier rows of a re-run come back as a generator over the store at `target`):
    computed for the days after `old_days` (all days without them) from prices.csv in
    `folder`, the fetched tables and the bar fields kept in `memo`; a stock not among
    `old_stocks` (new to the store) gets the earlier days too. `indices`: the order book
    ids of the indices fetched (their members are the estimation universe; without any,
    every fetched stock is)."""
    import pandas as pd

    days = [r[0] for r in tables["trading_dates"][1:]]
    position = {d: k for k, d in enumerate(days)}
    prices = pd.read_csv(os.path.join(folder, "prices.csv"), dtype={"order_book_id": str})
    prices = prices[prices["date"].isin(position)]
    kinds = {r[0]: r[2] for r in tables["instruments"][1:]}
    stocks = sorted(o for o, kind in kinds.items() if kind == "CS")
    column = {o: k for k, o in enumerate(stocks)}
    shape = (len(days), len(stocks))

    def matrix(frame, value):
        out = np.full(shape, np.nan)
        frame = frame[frame["order_book_id"].isin(column)]
        rows = frame["date"].map(position).to_numpy(np.intp)
        cols = frame["order_book_id"].map(column).to_numpy(np.intp)
        out[rows, cols] = frame[value].to_numpy(float)
        return out

    close, adj = matrix(prices, "close"), matrix(prices, "adj_factor")
    market = np.full(len(days), np.nan)
    index_rows = prices[prices["order_book_id"] == MARKET]
    market[index_rows["date"].map(position).to_numpy(np.intp)] = \
        index_rows["close"].to_numpy(float)

    fields = np.full((4,) + shape, np.nan)
    for oid in stocks:
        for day, values in memo.get(("factor inputs", oid), {}).items():
            at = position.get(day)
            if at is not None:
                fields[:, at, column[oid]] = [np.nan if v is None else v for v in values]
    turn, shares, pb, pe = fields

    cash = np.zeros(shape)
    for oid, _book, ex, _pay, amount, lot in tables["dividends"][1:]:
        if oid in column and ex in position:
            cash[position[ex], column[oid]] += float(amount) / float(lot)

    universe = np.zeros(shape, dtype=bool)
    changes = {}
    for index_id, day, oid in tables["index_components"][1:]:
        if index_id in indices:
            changes.setdefault(index_id, {}).setdefault(day, []).append(oid)
    if changes:
        for by_day in changes.values():
            starts = sorted(by_day)
            for k, day in enumerate(starts):
                stop = position[starts[k + 1]] if k + 1 < len(starts) else len(days)
                cols = [column[o] for o in by_day[day] if o in column]
                universe[position[day]:stop, cols] = True
    else:
        universe[:] = True

    exposures, cap, returns = model(close, adj, turn, shares, pb, pe, cash, market,
                                    universe)
    first_new = len(old_days)
    previous = _previous_rows(target, old_days[-1]) if old_days else {}
    if previous:
        # The last day of the earlier fetch as it was written: the regression of the
        # first new day uses it, and a stock's growth (a year of bar fields, which a
        # re-run in a new process does not have) is kept from it.
        last = first_new - 1
        for oid, values in previous.items():
            if oid in column:
                exposures[last, column[oid]] = values
        g = FACTORS.index("growth")
        carried = exposures[last, :, g]
        for t in range(first_new, len(days)):
            gap = np.isnan(exposures[t, :, g])
            exposures[t, gap, g] = carried[gap]
    _forget_before(memo, days[-1])
    fr = factor_returns(exposures, returns, universe, cap, range(first_new, len(days)))

    def exposure_rows():
        if target and old_days:
            yield from _stored_rows(target, "factor_exposures", "order_book_id, date")
        # From the first close on; a delisted stock up to its last close.
        alive = ~np.isnan(_ffill(close))
        gone = [column[r[0]] for r in tables["instruments"][1:]
                if r[0] in column and r[5] and r[5] <= days[-1]]
        alive[:, gone] &= ~np.isnan(_ffill(close[::-1, gone])[::-1])
        new = np.array([o not in old_stocks for o in stocks], dtype=bool)
        for t in range(len(days)):
            keep = alive[t] & ~np.all(np.isnan(exposures[t]), axis=1)
            if t < first_new:
                keep &= new
            at = np.flatnonzero(keep)
            for j, values in zip(at.tolist(), exposures[t, at].tolist()):
                yield (stocks[j], days[t]) + tuple("" if v != v else "%.6g" % v
                                                   for v in values)

    return_rows = list(_stored_rows(target, "factor_returns", "date")) if old_days else []
    return_rows += [(days[t],) + tuple(_text(v) for v in fr[t])
                    for t in range(first_new, len(days)) if not np.all(np.isnan(fr[t]))]
    header_e = ("order_book_id", "date") + FACTORS
    return {"factor_exposures": _Rows(header_e, exposure_rows),
            "factor_returns": [("date",) + FACTORS] + return_rows}


class _Rows:
    """A table's CSV rows made on demand (a header, then the rows), so that the largest
    table is never held as a list."""

    def __init__(self, header, rows):
        self.header, self.rows = header, rows

    def __iter__(self):
        yield self.header
        yield from self.rows()


def _text(value):
    return "" if np.isnan(value) else "%.6g" % value


def _previous_rows(target, last_day):
    """{order_book_id: exposures} of an earlier fetch's last day."""
    import sqlite3

    from ._client import connect_readonly

    if not target or not os.path.isfile(target):
        return {}
    con = connect_readonly(target)
    try:
        return {r[0]: [np.nan if v is None else v for v in r[1:]] for r in con.execute(
            "SELECT order_book_id, %s FROM factor_exposures WHERE date = ?"
            % ", ".join('"%s"' % f for f in FACTORS), (int(last_day.replace("-", "")),))}
    except sqlite3.Error:
        return {}
    finally:
        con.close()


def _stored_rows(target, table, key):
    """An earlier fetch's rows of a factor table as the importer's CSV text."""
    from ._client import connect_readonly

    con = connect_readonly(target)
    try:
        for r in con.execute("SELECT %s, %s FROM %s ORDER BY %s" % (
                key, ", ".join('"%s"' % f for f in FACTORS), table, key)):
            head, ymd = r[:-len(FACTORS) - 1], r[-len(FACTORS) - 1]
            head += ("%04d-%02d-%02d" % (ymd // 10000, ymd // 100 % 100, ymd % 100),)
            yield head + tuple("" if v is None else repr(v) for v in r[-len(FACTORS):])
    finally:
        con.close()

