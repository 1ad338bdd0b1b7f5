"""Generates the sample A-share market and writes it as a store.

The model (SCHEMA.md, "The sample market", tells it in prose):

* Calendar: the Shanghai exchange's real sessions (exchange_calendars "XSHG").
* Stocks: listed before the calendar starts or in IPO waves (with the real freezes of
  2012-13 and late 2015), across the 28 Shenwan industries, each mapped to an MSCI sector.
  IPOs open 44 % up and then run limit-up streaks. Some stocks go through special treatment
  (ST) after a slide, and some of those are delisted; a few are delisted by merger.
  Suspensions last from a day to months, with the mass suspension of July 2015.
* Returns: the daily log return of stock i is
      m_t + (b_j - 1) m_t + g_jt + sum_k X_ik,t-1 f_kt + s_it e_it - s_it^2 / 2
  with m the market (a Brownian bridge through index levels of the real history), g the
  industry return, X the ten style exposures as of the previous close, f the factor
  returns, and e Student-t(4) noise scaled by a volatility that rises with the volatility
  exposure and under ST. Exposures are standardised each day (cap-weighted mean 0, unit
  standard deviation, clipped to +-3.5): size is log free-float capitalisation, momentum
  and reversal come from the stock's own past 12-1 and 1 month returns, liquidity and
  volatility mix a persistent trait with realised activity, the rest are persistent traits
  around industry means. Closes are rounded to the 0.01 tick and held within +-10 % of the
  reference price (+-5 % under ST); a move cut by the limit is carried to the next days.
* Corporate actions: cash dividends per 10 shares, mostly with a book closure in June or
  July, from a yield that depends on the industry; bonus-share splits, likelier for
  high-priced stocks. The ex date is the trading day after the book closure; the price
  reference drops accordingly and the adjustment factor takes it up.
* Indices: 000300.XSHG (300 largest) and 000905.XSHG (the next up to 500), reviewed at the
  June and December reviews by average free-float capitalisation with a buffer for
  incumbents, delisted members replaced at once; free-float cap weights on every month end
  and membership change; price-index closes. The 28 Shenwan industry indices are total-cap
  weighted over the industry's listed stocks. Six funds (ETFs and LOFs) track indices.
* Factor returns with regime drifts (the small-cap premium and its reversals), and a
  government yield curve (Nelson-Siegel through a short rate and a 10-year rate that
  follow the real history), as fractions.

Everything is drawn from numpy generators spawned from one seed, so a seed gives the same
store byte for byte on the same platform.

Each part of the model has a module of its own (the parameters and the calendar in
_sample_model, then _sample_stocks, _sample_prices, _sample_indices and _sample_funds);
this one draws them in order (_Market) and writes the store.
"""

import datetime as _dt

import numpy as np

from . import _schema
from ._progress import Progress
from ._sample_funds import Funds, YieldCurve
from ._sample_indices import Indices
from ._sample_model import HS300_ID, N_F, ZZ500_ID, SampleCalendar, _ymd
from ._sample_prices import BookClosures, MarketPaths, PriceHistory
from ._sample_stocks import StockNames, Stocks
from ._writer import StoreWriter, build_lock, check_replaceable, redeliver

DEFAULT_SEED = _schema.SAMPLE_SEED
DEFAULT_STOCKS = _schema.SAMPLE_STOCKS
DEFAULT_START = _schema.SAMPLE_START
DEFAULT_END = _schema.SAMPLE_END
SAMPLE_VERSION = "1"


def build_sample(path, seed=DEFAULT_SEED, n_stocks=DEFAULT_STOCKS, start=DEFAULT_START,
                 end=DEFAULT_END, progress=True, force=False):
    """Generate the sample market and write it to `path` atomically; return the path.

    A store of imported data (or a file that is no store) at `path` is replaced only with
    `force`. The parameters are recorded in the store's meta table, so that a damaged
    sample can be rebuilt as it was.
    """
    seed, n_stocks, start, end = check_parameters(seed, n_stocks, start, end)
    bar = Progress("tickvane sample", enabled=progress)
    try:
        with build_lock(path):
            # Checked before the work and again before the rename: an import may have
            # written the target meanwhile (imports do not take the build lock).
            check_replaceable(path, "build-sample", force)
            with StoreWriter(path, before_replace=lambda: check_replaceable(
                    path, "build-sample", force)) as writer:
                tables = generate(seed, n_stocks, start, end, bar)
                write_tables(writer, tables, bar, first=0.55)
                writer.set_meta(source="sample", seed=seed, n_stocks=n_stocks,
                                start_date=start, end_date=end,
                                sample_version=SAMPLE_VERSION, shenwan_set="sw2014",
                                sector_set="msci10")
                bar.stage("finishing the store file", 0.99)
    except BaseException as exc:
        bar.fail()
        redeliver(exc)
        raise
    bar.done("sample market ready at %s" % path)
    return path


def check_parameters(seed, n_stocks, start, end):
    """(seed, n_stocks, start, end) checked and normalised (dates as ISO text); ValueError
    naming the parameter otherwise."""
    def whole(name, value, low):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < low:
            raise ValueError("%s must be a whole number of at least %d, not %r"
                             % (name, low, value))
        return int(value)

    def day(name, value):
        from ._dates import to_ordinal

        try:
            d = _dt.date.fromordinal(to_ordinal(value))
        except ValueError:
            raise ValueError("%s must be a date such as 2010-01-04, not %r"
                             % (name, value)) from None
        if not 1900 <= d.year <= 2199:
            raise ValueError("%s must lie in 1900 to 2199 (the years a store holds), not %r"
                             % (name, value))
        return d

    seed = whole("seed", seed, 0)
    if seed >= 2 ** 128:
        raise ValueError("seed must be below 2**128, not %r" % seed)
    n_stocks = whole("n_stocks", n_stocks, 10)
    first, last = day("start", start), day("end", end)
    if first >= last:
        raise ValueError("start (%s) must come before end (%s)" % (first, last))
    return seed, n_stocks, first.isoformat(), last.isoformat()


def write_tables(writer, tables, bar, first=0.0):
    """Insert generated or imported tables (dicts of row iterables, see generate)."""
    weights = {"prices": 0.25, "factor_exposures": 0.6}
    total = sum(weights.get(t, 0.15 / 9) for t in _schema.TABLES)
    done = first
    for table in _schema.TABLES:
        share = (1.0 - first - 0.02) * weights.get(table, 0.15 / 9) / total
        bar.stage("writing %s" % table.replace("_", " "), done)
        rows = tables.get(table, ())
        if callable(rows):
            for k, n, chunk in rows():
                writer.insert(table, chunk)
                bar.update(done + share * k / max(n, 1))
        else:
            writer.insert(table, rows)
        done += share


def generate(seed, n_stocks=DEFAULT_STOCKS, start=DEFAULT_START, end=DEFAULT_END, bar=None):
    """The sample market as tables: {table: list of row tuples, or a chunk generator}."""
    bar = bar or Progress("tickvane sample", enabled=False)
    return _Market(seed, n_stocks, start, end, bar).tables()


class _Market:
    """The whole sample market, composed of its parts in the order they are drawn."""

    def __init__(self, seed, n_stocks, start, end, bar):
        if n_stocks < 10:
            raise ValueError("the sample needs at least 10 stocks, not %d" % n_stocks)
        self.bar = bar
        self.seed = seed
        self.n = int(n_stocks)
        # One independent stream per component: changing how one part draws leaves the
        # others' data as it was.
        streams = np.random.SeedSequence(seed).spawn(11)
        (self.rng_universe, self.rng_events, self.rng_paths, self.rng_noise, self.rng_traits,
         self.rng_names, self.rng_index, self.rng_funds, self.rng_curve, self.rng_susp,
         self.rng_divs) = [np.random.default_rng(s) for s in streams]
        bar.stage("reading the Shanghai trading calendar", 0.0)
        self._calendar(start, end)
        bar.stage("drawing %d stocks" % self.n, 0.03)
        self._stocks()
        bar.stage("drawing market, industry and factor returns", 0.06)
        self._paths()
        self._dividend_schedule()
        bar.stage("simulating daily prices and exposures", 0.08)
        self._simulate()
        bar.stage("building index membership, weights and closes", 0.40)
        self._codes_and_names()
        self._indices()
        bar.stage("pricing funds and the yield curve", 0.48)
        self._funds()
        self._yield_curve()

    # Each step draws one part from its own streams and the parts before it.

    def _calendar(self, start, end):
        self.cal = SampleCalendar(start, end)

    def _stocks(self):
        self.stocks = Stocks(self.cal, self.n, self.rng_universe, self.rng_traits,
                             self.rng_events, self.rng_susp)

    def _paths(self):
        self.paths = MarketPaths(self.cal, self.stocks, self.rng_paths, self.rng_noise)

    def _dividend_schedule(self):
        self.book_closures = BookClosures(self.cal, self.stocks, self.rng_divs)

    def _simulate(self):
        self.prices = PriceHistory(self.cal, self.stocks, self.paths,
                                   self.book_closures.book_events, self.rng_traits, self.bar)

    def _codes_and_names(self):
        self.names = StockNames(self.cal, self.stocks, self.rng_names)

    def _indices(self):
        self.indices = Indices(self.cal, self.stocks, self.paths, self.prices, self.rng_index)

    def _funds(self):
        self.funds = Funds(self.cal, self.names, self.prices, self.indices, self.rng_funds)

    def _yield_curve(self):
        self.curve = YieldCurve(self.cal, self.rng_curve)

    # -------------------------------------------------------------- tables

    def tables(self):
        cal, stocks, names, paths = self.cal, self.stocks, self.names, self.paths
        prices, indices, funds, curve = self.prices, self.indices, self.funds, self.curve
        T = cal.T
        ymd = cal.ymd.tolist()
        out = {"trading_dates": [(v,) for v in ymd]}
        instruments = []
        for i in range(stocks.n):
            delisted = _ymd(cal.days[stocks.delist_idx[i]]) if stocks.delist_idx[i] < T else None
            industry = _schema.SHENWAN_NAMES[stocks.industry[i]]
            instruments.append((
                names.codes[i], names.symbols[i], "CS", stocks.exchange[i],
                _ymd(_dt.date.fromordinal(int(stocks.listed_ord[i]))), delisted, 100,
                stocks.sector[i], industry))
        index_meta = [(HS300_ID, "沪深300", "XSHG", 20050408),
                      (ZZ500_ID, "中证500", "XSHG", 20070115)]
        for oid, symbol, exchange, listed in index_meta:
            instruments.append((oid, symbol, "INDX", exchange, listed, None, 1, None, None))
        for name, oid in _schema.SHENWAN_INDUSTRIES:
            instruments.append((oid, name, "INDX", "INDX", 19991230, None, 1, None, None))
        for oid, symbol, kind, listed_ord, _, _ in funds.fund_rows:
            instruments.append((oid, symbol, kind, oid[-4:], _ymd(_dt.date.fromordinal(listed_ord)),
                                None, 100, None, None))
        instruments.sort()
        out["instruments"] = instruments

        st_rows = []
        for i in np.flatnonzero(stocks.st_start >= 0):
            end = None if stocks.st_ongoing[i] else ymd[stocks.st_end[i]]
            start = _ymd(_dt.date.fromordinal(int(stocks.st_start_ord[i])))
            st_rows.append((names.codes[i], start, end))
        out["st_periods"] = sorted(st_rows)

        series = {}  # id -> (positions, closes, factors)
        for i in range(stocks.n):
            pos = np.flatnonzero(~np.isnan(prices.close[:, i]))
            series[names.codes[i]] = (pos, prices.close[pos, i], prices.adj[pos, i])
        for oid in (HS300_ID, ZZ500_ID):
            pos = np.arange(T)
            series[oid] = (pos, indices.index_close[oid], np.ones(T))
        for j, (_, oid) in enumerate(_schema.SHENWAN_INDUSTRIES):
            series[oid] = (np.arange(T), indices.sw_close[:, j], np.ones(T))
        for oid, _, _, _, start, quote in funds.fund_rows:
            series[oid] = (np.arange(start, T), quote, np.ones(len(quote)))
        ordered = sorted(series)
        total_px = sum(len(series[k][0]) for k in ordered)

        def price_chunks():
            done = 0
            for oid in ordered:
                pos, values, factor = series[oid]
                done += len(pos)
                yield done, total_px, zip([oid] * len(pos), cal.ymd[pos].tolist(),
                                          values.tolist(), factor.tolist())
        out["prices"] = price_chunks

        code_of = names.codes
        for table, source in (("index_components", indices.index_members),
                              ("index_weights", indices.index_weight_rows)):
            rows = []
            for oid, changes in source.items():
                for item in changes:
                    day, members = item[0], item[1]
                    if table == "index_components":
                        rows.extend((oid, ymd[day], code_of[m]) for m in members)
                    else:
                        rows.extend((oid, ymd[day], code_of[m], float(w))
                                    for m, w in zip(members, item[2]))
            out[table] = sorted(rows)

        out["dividends"] = sorted((code_of[i], ymd[b], ymd[x], ymd[x], cash, 10)
                                  for i, b, x, cash in prices.dividends)
        out["splits"] = sorted((code_of[i], ymd[x], a, b) for i, x, a, b in prices.splits)

        stock_order = sorted(range(stocks.n), key=lambda i: code_of[i])
        total_ex = int(stocks.listed.sum())

        def exposure_chunks():
            done = 0
            for i in stock_order:
                pos = np.flatnonzero(~np.isnan(prices.X[:, i, 0]))
                if not len(pos):
                    continue
                done += len(pos)
                cols = [prices.X[pos, i, k].tolist() for k in range(N_F)]
                yield done, total_ex, zip([code_of[i]] * len(pos), cal.ymd[pos].tolist(), *cols)
        out["factor_exposures"] = exposure_chunks
        out["factor_returns"] = [(ymd[t],) + tuple(paths.f[t].tolist()) for t in range(T)]
        out["yield_curve"] = [(ymd[t],) + tuple(curve.curve[t].tolist()) for t in range(T)]
        return out
