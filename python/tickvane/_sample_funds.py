"""The sample's funds (ETFs and LOFs tracking its indices) and its government yield
curve."""

import math

import numpy as np

from . import _schema
from ._sample_model import CURVE_ANCHORS, FUNDS, HS300_ID, ZZ500_ID, _ordinal


class Funds:
    """fund_rows: (id, symbol, type, listing ordinal, first position, quotes) per fund
    listed within the calendar."""

    def __init__(self, cal, names, prices, indices, rng_funds):
        self.cal, self.names, self.prices, self.indices = cal, names, prices, indices
        self.rng_funds = rng_funds
        self._funds()

    def _funds(self):
        cal, names, prices, indices = self.cal, self.names, self.prices, self.indices
        T = cal.T
        rng = self.rng_funds
        prev_cap = indices.prev_cap
        chinext = np.array([code.startswith("30") for code in names.codes])
        if chinext.any():
            num = (prev_cap[:, chinext] * prices.tr[:, chinext]).sum(axis=1)
            den = prev_cap[:, chinext].sum(axis=1)
            rel = np.where(den > 0, num / np.where(den > 0, den, 1.0), 1.0)
        else:
            rel = np.concatenate([[1.0], indices.tr_zz500[1:] / indices.tr_zz500[:-1]])
        rel[0] = 1.0
        tracked = {"hs300": indices.tr_hs300, "zz500": indices.tr_zz500,
                   "chinext": np.cumprod(rel), "food": indices.tr_food}
        self.fund_rows = []
        for oid, symbol, kind, listed, key, price0, fee, alpha in FUNDS:
            listed_ord = _ordinal(listed)
            start = cal.idx_on_or_after(listed_ord)
            if start >= T:
                continue
            series = tracked[key]
            daily = series[start:] / np.concatenate([[series[start]], series[start:-1]])
            noise = rng.normal(0.0, 0.0006, size=len(daily))
            daily = daily * np.exp(noise + (alpha - fee) / 244)
            daily[0] = 1.0
            if price0 is None:
                price0 = indices.index_close[HS300_ID if key == "hs300" else ZZ500_ID][start] / 1000
            nav = price0 * np.cumprod(daily)
            quote = np.round(nav * (1 + rng.normal(0.0, 0.0008, size=len(nav))), 3)
            quote = np.clip(quote, 0.001, None)
            for t in range(1, len(quote)):  # funds share the stocks' +-10 % limit
                quote[t] = min(max(quote[t], round(quote[t - 1] * 0.9, 3)),
                               round(quote[t - 1] * 1.1, 3))
            self.fund_rows.append((oid, symbol, kind, listed_ord, start, quote))


class YieldCurve:
    """curve: per day the yields (fractions) of the store's tenors."""

    def __init__(self, cal, rng_curve):
        self.cal = cal
        self.rng_curve = rng_curve
        self._yield_curve()

    def _yield_curve(self):
        cal = self.cal
        rng, T = self.rng_curve, cal.T
        a_ord = np.array([_ordinal(d) for d, _, _ in CURVE_ANCHORS], dtype=float)
        short = np.interp(cal.ord.astype(float), a_ord, [s for _, s, _ in CURVE_ANCHORS])
        ten = np.interp(cal.ord.astype(float), a_ord, [x for _, _, x in CURVE_ANCHORS])
        noise = np.zeros((T, 3))
        shocks = rng.normal(size=(T, 3)) * np.array([0.025, 0.015, 0.01])
        for t in range(1, T):
            noise[t] = noise[t - 1] * np.array([0.97, 0.98, 0.99]) + shocks[t]
        short = short + noise[:, 0]
        ten = ten + noise[:, 1]
        curve_b2 = 0.25 + noise[:, 2] * 3
        lam = 1.8
        tau = np.array(_schema.TENOR_YEARS)
        x = np.where(tau > 0, tau / lam, 1.0)
        g = np.where(tau > 0, (1 - np.exp(-x)) / x, 1.0)
        h = np.where(tau > 0, g - np.exp(-x), 0.0)
        x10 = 10 / lam
        g10 = (1 - math.exp(-x10)) / x10
        h10 = g10 - math.exp(-x10)
        b1 = (ten - curve_b2 * h10 - short) / (g10 - 1.0)
        b0 = short - b1
        curve = b0[:, None] + b1[:, None] * g[None, :] + curve_b2[:, None] * h[None, :]
        self.curve = np.round(np.clip(curve, 1.25, 4.75) / 100.0, 6)
