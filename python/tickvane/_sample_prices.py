"""The sample's prices: the market, industry and factor paths; the dividends' book
closures; and the daily simulation of closes, adjustment factors, share counts and style
exposures."""

import math

import numpy as np

from . import _schema
from ._corporate_actions import ex_reference
from ._sample_model import (
    FACTOR_VOL,
    MARKET_ANCHORS,
    MARKET_VOL,
    N_F,
    REVERSION_DAYS,
    SIZE_DRIFT,
    VOL_REGIMES,
    F,
    _ordinal,
)


class MarketPaths:
    """The paths every stock shares: the market's daily log return m (a Brownian bridge
    through the real index levels), the factor returns f, the industry returns g, and
    the stocks' noise eps."""

    def __init__(self, cal, stocks, rng_paths, rng_noise):
        self.cal, self.stocks = cal, stocks
        self.rng_paths, self.rng_noise = rng_paths, rng_noise
        self._paths()

    def _paths(self):
        cal, stocks = self.cal, self.stocks
        rng, T = self.rng_paths, cal.T
        vol = cal.piecewise(VOL_REGIMES)
        self.vol_regime = vol
        anchor_pos = np.array([np.searchsorted(cal.ord, _ordinal(d)) for d, _ in MARKET_ANCHORS],
                              dtype=float)
        anchor_lvl = np.log([v for _, v in MARKET_ANCHORS])
        anchor_ord = np.array([_ordinal(d) for d, _ in MARKET_ANCHORS], dtype=float)
        trend = np.interp(cal.ord.astype(float), anchor_ord, anchor_lvl)
        walk = np.cumsum(rng.normal(0.0, 1.0, size=T) * MARKET_VOL * vol)
        knots = np.unique(np.clip(np.concatenate([[0, T - 1], anchor_pos]), 0, T - 1)).astype(int)
        bridge = walk - np.interp(np.arange(T), knots, walk[knots])
        level = trend + bridge
        self.market_level0 = math.exp(level[0])
        m = np.empty(T)
        m[0] = 0.0
        m[1:] = np.diff(level)
        # The stocks' log returns carry the dividends the price index gives away.
        m[1:] += 0.018 / 244
        self.m = m

        years = sorted(set(cal.year.tolist()))
        f = np.empty((T, N_F))
        for name, k in F.items():
            drift = np.zeros(T)
            for y in years:
                mean = {"reversal": -0.06, "volatility": -0.04, "momentum": -0.01}.get(name, 0.0)
                d = SIZE_DRIFT.get(y, -0.03) if name == "size" else mean + rng.normal(0, 0.04)
                drift[cal.year == y] = d / 244
            shocks = rng.normal(0.0, 1.0, size=T)
            ar = np.empty(T)
            ar[0] = shocks[0]
            for t in range(1, T):  # mild autocorrelation of factor returns
                ar[t] = 0.1 * ar[t - 1] + shocks[t]
            f[:, k] = drift + FACTOR_VOL[name] * ar * np.sqrt(np.clip(vol, 0.7, 2.0))
        f[:, F["beta"]] += 0.3 * (m - m.mean())
        f[0] = 0.0
        self.f = np.round(f, 6)

        n_ind = len(_schema.SHENWAN_NAMES)
        g = rng.normal(0.0, 0.0055, size=(T, n_ind)) * np.sqrt(vol)[:, None]
        for y in years:
            g[cal.year == y] += rng.normal(0.0, 0.10, size=n_ind) / 244
        g[0] = 0.0
        self.g = g
        self.eps = self.rng_noise.standard_t(4, size=(T, stocks.n)) / math.sqrt(2.0)


class BookClosures:
    """book_events: {day position: [(stock, split draw, split ratio, yield jitter)]}."""

    def __init__(self, cal, stocks, rng_divs):
        self.cal, self.stocks = cal, stocks
        self.rng_divs = rng_divs
        self._dividend_schedule()

    def _dividend_schedule(self):
        """Book-closure days of the yearly cash dividends, with the draws that later fix
        the amount and any bonus-share split; amounts follow from the close of that day."""
        cal, stocks = self.cal, self.stocks
        rng, T = self.rng_divs, cal.T
        years = sorted(set(cal.year.tolist()))
        days_of = {y: np.flatnonzero(cal.year == y) for y in years}
        by_book = {}
        for i in range(stocks.n):
            bank = _schema.SHENWAN_NAMES[stocks.industry[i]] == "银行"
            for y in years:
                in_year = days_of[y]
                # A stock pays out of last year's profit; one listed this spring pays half
                # the time, one listed later waits for next year.
                listed_early = stocks.list_idx[i] <= in_year[0] + 40
                if not listed_early and not (stocks.list_idx[i] < in_year[0] + 160
                                             and rng.random() < 0.5):
                    continue
                if rng.random() > (0.95 if bank else 0.68):
                    continue
                if rng.random() < 0.8:
                    window = in_year[(cal.month[in_year] >= 6) & (cal.month[in_year] <= 7)]
                else:
                    window = in_year[(cal.month[in_year] >= 4)
                                     & (cal.ymd[in_year] % 10000 <= 1215)]
                for _ in range(8):  # a few tries to land on a day it trades, and the next
                    if not len(window):
                        break
                    b = int(rng.choice(window))
                    if (b + 1 < T and b > stocks.list_idx[i] and stocks.trading[b, i]
                            and stocks.trading[b + 1, i] and not stocks.st[b, i]):
                        by_book.setdefault(b, []).append(
                            (i, rng.random(), int(rng.choice(
                                [12, 13, 15, 16, 18, 20, 25, 30],
                                p=[.08, .14, .22, .08, .08, .3, .05, .05])),
                             math.exp(rng.normal(0.0, 0.3))))
                        break
        self.book_events = by_book


class PriceHistory:
    """Per (day, stock): close, adjustment factor, shares outstanding, price and
    total-return relatives; per (day, stock, factor) the exposures X; and the dividends
    and splits paid."""

    def __init__(self, cal, stocks, paths, book_events, rng_traits, bar):
        self.cal, self.stocks, self.paths = cal, stocks, paths
        self.book_events = book_events
        self.rng_traits = rng_traits
        self.bar = bar
        self._simulate()

    def _simulate(self):
        cal, stocks, paths = self.cal, self.stocks, self.paths
        n, T = stocks.n, cal.T
        close = np.full((T, n), np.nan)
        adj = np.full((T, n), np.nan)
        shares_out = np.empty((T, n))
        pr = np.ones((T, n))        # price relative (splits taken out, dividends not)
        tr = np.ones((T, n))        # total-return relative
        X_out = np.full((T, n, N_F), np.nan)
        cum_hist = np.zeros((T, n))
        P = np.full(n, np.nan)
        A = np.ones(n)
        shares = stocks.shares0.astype(float).copy()
        gap = np.zeros(n)
        started = np.zeros(n, dtype=bool)
        cum = np.zeros(n)
        market_cum = np.zeros(n)
        first_idx = np.full(n, -1, dtype=np.int64)
        ewma_abs = stocks.sig_base * 0.8
        ewma_sq = stocks.sig_base ** 2
        mu = stocks.trait_mean
        Z = mu + 0.6 * self.rng_traits.normal(size=(n, N_F))
        phi = 0.996
        X_prev = np.zeros((n, N_F))
        ind = stocks.industry
        pending = {}
        dividends, splits = [], []
        pre_st = np.where(stocks.st_start > 0, stocks.st_start - 250, T + 1)
        pre_delist = np.where(stocks.delist_by_st, stocks.delist_idx - 60, T + 1)
        noise_rng = self.rng_traits
        for t in range(T):
            if t % 100 == 0:
                self.bar.update(0.08 + 0.32 * t / T,
                                "%d-%02d" % (cal.ymd[t] // 10000, cal.ymd[t] // 100 % 100))
            st_t = stocks.st[t]
            sig = stocks.sig_base * np.exp(0.25 * Z[:, F["volatility"]]) * np.where(st_t, 1.5, 1.0)
            drift = np.where((t >= pre_st) & (t < stocks.st_start), -0.0015, 0.0)
            drift += np.where((t >= pre_delist) & (t < stocks.delist_idx), -0.004, 0.0)
            # Weak pull of each stock's path towards its market-beta path keeps the spread
            # of prices realistic over sixteen years (no stock drifts to a few fen).
            drift -= (cum + gap - market_cum) / REVERSION_DAYS
            r = (paths.m[t] * stocks.beta_ind + paths.g[t, ind] + X_prev @ paths.f[t]
                 + sig * paths.eps[t] - 0.5 * sig * sig + drift)
            trading = stocks.trading[t]
            ref = P.copy()
            ratio = np.ones(n)
            for i, cash10, ratio_i in pending.pop(t, ()):
                new_ref = ex_reference(P[i], cash10 / 10.0, ratio_i)
                A[i] *= P[i] / new_ref
                ref[i] = new_ref
                ratio[i] = ratio_i
                shares[i] *= ratio_i
            moving = trading & started
            if moving.any():
                raw = r[moving] + gap[moving]
                base = ref[moving]
                limit = np.where(st_t[moving], 0.05, 0.10)
                up = np.round(base * (1 + limit), 2)
                down = np.round(base * (1 - limit), 2)
                new = np.maximum(np.clip(np.round(base * np.exp(raw), 2), down, up), 0.01)
                realised = np.log(new / base)
                gap[moving] = raw - realised
                pr[t, moving] = new * ratio[moving] / P[moving]
                tr[t, moving] = new / base
                cum[moving] += realised
                ewma_abs[moving] = 0.94 * ewma_abs[moving] + 0.06 * np.abs(realised)
                ewma_sq[moving] = 0.94 * ewma_sq[moving] + 0.06 * realised ** 2
                P[moving] = new
            waiting = stocks.suspended[t] & started
            gap[waiting] += r[waiting]
            market_cum[started] += paths.m[t] * stocks.beta_ind[started]
            opening = trading & ~started
            if opening.any():
                ipo = opening & ~stocks.listed_before
                P[opening] = stocks.price0[opening]
                P[ipo] = np.round(stocks.price0[ipo] * stocks.ipo_open[ipo], 2)
                gap[ipo] = stocks.ipo_run[ipo]
                started |= opening
                first_idx[opening] = t
            close[t, trading] = P[trading]
            adj[t, trading] = A[trading]
            shares_out[t] = shares
            cum_hist[t] = cum

            # Book closures: the cash amount follows from today's close; splits are
            # likelier for expensive stocks. Both take effect on the next trading day.
            for i, u_split, to, jitter in self.book_events.get(t, ()):
                if not started[i]:
                    continue
                if P[i] < 2.0:
                    continue
                cash10 = max(round(10.0 * min(stocks.yield_base[i] * jitter, 0.1) * P[i], 2), 0.01)
                ratio_i = 1.0
                if u_split < (0.45 if P[i] > 40 else 0.07):
                    ratio_i = to / 10.0
                    splits.append((i, t + 1, 10.0, float(to)))
                dividends.append((i, t, t + 1, cash10))
                pending.setdefault(t + 1, []).append((i, cash10, ratio_i))

            # Exposures as of today's close.
            live = stocks.listed[t] & started
            Z = (mu + phi * (Z - mu)
                 + math.sqrt(1 - phi * phi) * 0.6 * noise_rng.normal(size=(n, N_F)))
            if live.any():
                X_prev = self._exposures(t, live, Z, P, shares, cum_hist, first_idx,
                                         ewma_abs, ewma_sq)
                X_out[t, live] = X_prev[live]
        self.close, self.adj, self.shares, self.pr, self.tr = close, adj, shares_out, pr, tr
        self.X = X_out
        self.dividends, self.splits = dividends, splits

    def _exposures(self, t, live, Z, P, shares, cum_hist, first_idx, ewma_abs, ewma_sq):
        stocks = self.stocks
        n = stocks.n
        cap = P * shares * stocks.free_float
        S = Z.copy()
        history = t - first_idx

        def window_return(back_from, back_to):
            a = np.maximum(t - back_to, first_idx)
            b = np.maximum(t - back_from, first_idx)
            a = np.clip(a, 0, t)
            b = np.clip(b, 0, t)
            cols = np.arange(n)
            return cum_hist[b, cols] - cum_hist[a, cols]

        def z(values):
            v = values[live]
            sd = v.std()
            out = np.zeros(n)
            out[live] = (v - v.mean()) / sd if sd > 0 else 0.0
            return out

        S[:, F["size"]] = np.log(np.where(live, cap, 1.0))
        S[:, F["momentum"]] = np.where(history >= 42, window_return(21, 252), 0.0)
        S[:, F["reversal"]] = np.where(history >= 5, window_return(0, 21), 0.0)
        S[:, F["liquidity"]] = 0.6 * Z[:, F["liquidity"]] + 0.4 * z(np.log(ewma_abs + 1e-6))
        S[:, F["volatility"]] = 0.5 * Z[:, F["volatility"]] + 0.5 * z(0.5 * np.log(ewma_sq + 1e-8))
        S[:, F["value"]] = Z[:, F["value"]] - 0.3 * z(window_return(0, 250))
        w = np.where(live, cap, 0.0)
        w = w / w.sum()
        Sl = S[live]
        centre = w[live] @ Sl
        sd = Sl.std(axis=0)
        sd[sd == 0] = 1.0
        X = np.zeros((n, N_F))
        X[live] = np.round(np.clip((Sl - centre) / sd, -3.5, 3.5), 4)
        return X
