"""The sample's stocks: listing (before the calendar or in IPO waves), industry, sector and
traits; special treatment and delisting; suspensions; then their codes and names."""

import datetime as _dt
import math

import numpy as np

from . import _schema
from ._sample_model import (
    INDUSTRY_TRAITS,
    N_F,
    NAME_HEADS,
    TRAIT_MEANS,
    F,
    _ordinal,
    _weekday_on_or_before,
    _ymd,
)


class Stocks:
    """n stocks drawn over the calendar `cal`: per stock its listing, traits and events,
    and per (day, stock) whether it is listed, under special treatment, suspended or
    trading. Traits draw from rng_traits, which the price simulation draws from next."""

    def __init__(self, cal, n, rng_universe, rng_traits, rng_events, rng_susp):
        self.cal = cal
        self.n = n
        self.rng_universe, self.rng_traits = rng_universe, rng_traits
        self.rng_events, self.rng_susp = rng_events, rng_susp
        self._universe()
        self._special_treatment()
        self._suspensions()

    def _universe(self):
        cal = self.cal
        rng, n, T = self.rng_universe, self.n, cal.T
        names = _schema.SHENWAN_NAMES
        share = np.array([INDUSTRY_TRAITS[name][0] for name in names])
        industry = rng.choice(len(names), size=n, p=share / share.sum())
        if n >= 2 * len(names):  # every industry represented
            industry[:len(names)] = rng.permutation(len(names))
        self.industry = industry
        sectors = []
        forced = set()
        for i in range(n):
            options = INDUSTRY_TRAITS[names[industry[i]]][1]
            keys = list(options)
            probs = np.array([options[k] for k in keys])
            pick = keys[rng.choice(len(keys), p=probs / probs.sum())]
            # The first stock of a split industry takes its rarer sector, so that all ten
            # sectors have stocks.
            if len(keys) > 1 and industry[i] not in forced:
                forced.add(industry[i])
                pick = min(keys, key=lambda k: options[k])
            sectors.append(pick)
        self.sector = sectors

        years = cal.T / 244.0
        pre_share = 1.0 - 0.28 * min(1.0, years / 17.0)
        pre = rng.random(n) < pre_share
        self.listed_before = pre
        list_idx = np.zeros(n, dtype=np.int64)
        intensity = cal.piecewise((
            ("2000-01-01", 2.0), ("2012-01-01", 1.0), ("2012-11-01", 0.0),
            ("2014-01-17", 1.0), ("2015-07-04", 0.0), ("2015-12-01", 1.2),
            ("2017-01-01", 2.5), ("2018-01-01", 0.8), ("2019-07-01", 2.0),
            ("2022-01-01", 1.2), ("2023-09-01", 0.35)))
        intensity[0] = 0.0
        if intensity.sum() == 0:
            intensity[1:] = 1.0
        n_ipo = int((~pre).sum())
        list_idx[~pre] = np.sort(rng.choice(T, size=n_ipo, p=intensity / intensity.sum()))
        self.list_idx = list_idx
        first = cal.ord[0]
        # Listing dates before the calendar: weighted towards the years just before it.
        back = np.minimum(rng.exponential(2600.0, size=n) + 40, first - _ordinal("1990-12-19"))
        self.listed_ord = np.where(pre, first - back.astype(np.int64), cal.ord[list_idx])
        self.listed_ord = np.array([_weekday_on_or_before(int(o)).toordinal()
                                    for o in self.listed_ord], dtype=np.int64)
        self.delist_idx = np.full(n, T, dtype=np.int64)

        ind_names = [names[j] for j in industry]
        size_mult = np.array([INDUSTRY_TRAITS[s][5] for s in ind_names])
        cap = np.exp(rng.normal(math.log(6e9), 1.1, size=n)) * size_mult
        cap = np.where(pre, cap, np.exp(rng.normal(math.log(3.5e9), 0.8, size=n)) * size_mult)
        price = np.exp(rng.normal(math.log(9.0), 0.6, size=n))
        price = np.where(np.array([s == "银行" for s in ind_names]), price * 0.7, price)
        price = np.where(np.array([s == "食品饮料" for s in ind_names])
                         & (rng.random(n) < 0.25), price * 5.0, price)
        ipo_price = np.exp(rng.normal(math.log(14.0), 0.5, size=n))
        self.price0 = np.round(np.clip(np.where(pre, price, ipo_price), 2.5, 400.0), 2)
        self.ipo_open = np.where(rng.random(n) < 0.8, 1.44, rng.uniform(1.0, 1.44, size=n))
        self.ipo_run = np.log(rng.uniform(1.0, 2.5, size=n))
        self.shares0 = np.round(cap / self.price0, -4)
        self.free_float = np.where(np.array([s == "银行" for s in ind_names]),
                                   rng.uniform(0.2, 0.6, size=n), rng.uniform(0.3, 0.95, size=n))
        vol_mult = np.array([INDUSTRY_TRAITS[s][4] for s in ind_names])
        self.sig_base = np.clip(0.017 * (cap / 6e9) ** -0.1, 0.009, 0.028) * vol_mult
        self.beta_ind = np.array([INDUSTRY_TRAITS[s][2] for s in ind_names])
        self.yield_base = (np.array([INDUSTRY_TRAITS[s][3] for s in ind_names])
                           * np.exp(rng.normal(0.0, 0.5, size=n)))
        self.exchange = np.where(rng.random(n) < 0.55, "XSHG", "XSHE")

        mu = self.rng_traits.normal(0.0, 0.6, size=(n, N_F))
        for i, s in enumerate(ind_names):
            for factor, value in TRAIT_MEANS.get(s, {}).items():
                mu[i, F[factor]] += value
        # The volatility trait also follows size: small companies are the jumpier ones.
        mu[:, F["volatility"]] -= 0.4 * (np.log(cap) - np.log(cap).mean())
        self.trait_mean = mu

    def _special_treatment(self):
        cal = self.cal
        rng, n, T = self.rng_events, self.n, cal.T
        st_start = np.full(n, -1, dtype=np.int64)
        st_end = np.full(n, -1, dtype=np.int64)
        st_start_ord = np.zeros(n, dtype=np.int64)
        delist_by_st = np.zeros(n, dtype=bool)
        for i in range(n):
            u = rng.random(4)
            if u[0] >= 0.11:
                if u[1] < 0.015 and T - self.list_idx[i] > 600:  # absorbed by a merger
                    self.delist_idx[i] = int(rng.integers(self.list_idx[i] + 500, T))
                continue
            if self.listed_before[i] and u[1] < 0.2:
                begin = 0
                st_start_ord[i] = _weekday_on_or_before(
                    int(cal.ord[0] - rng.integers(30, 600))).toordinal()
                st_start_ord[i] = max(st_start_ord[i], self.listed_ord[i] + 30)
            else:
                lo = self.list_idx[i] + 250
                if lo >= T - 20:
                    continue
                begin = int(rng.integers(lo, T - 20))
                st_start_ord[i] = cal.ord[begin]
            length = int(rng.integers(150, 900))
            finish = begin + length - 1
            st_start[i] = begin
            if finish >= T - 1:
                st_end[i] = T - 1
                continue
            st_end[i] = finish
            if u[2] < 0.35:
                self.delist_idx[i] = finish + 1
                delist_by_st[i] = True
        self.st_start, self.st_end, self.st_start_ord = st_start, st_end, st_start_ord
        self.st_ongoing = (st_start >= 0) & (st_end == T - 1) & (self.delist_idx == T)
        self.delist_by_st = delist_by_st
        t = np.arange(T)[:, None]
        self.st = (st_start[None, :] >= 0) & (t >= st_start[None, :]) & (t <= st_end[None, :])
        self.listed = (t >= self.list_idx[None, :]) & (t < self.delist_idx[None, :])

    def _suspensions(self):
        cal = self.cal
        rng, n, T = self.rng_susp, self.n, cal.T
        susp = np.zeros((T, n), dtype=bool)
        for i in range(n):
            lo, hi = int(self.list_idx[i]) + 5, int(self.delist_idx[i])
            if hi - lo < 10:
                continue
            for _ in range(rng.poisson(0.6)):
                begin = int(rng.integers(lo, hi))
                kind = rng.random()
                length = int(rng.integers(1, 6) if kind < 0.7 else
                             rng.integers(6, 61) if kind < 0.95 else rng.integers(61, 251))
                susp[begin:min(begin + length, hi), i] = True
        crash = cal.idx_on_or_after(_ordinal("2015-07-06"))
        if 0 < crash < T - 45 and cal.ymd[crash] < 20150710:
            for i in np.flatnonzero(self.listed[crash] & (rng.random(n) < 0.3)):
                begin = crash + int(rng.integers(0, 4))
                if begin < self.list_idx[i] + 5:
                    continue
                susp[begin:min(begin + int(rng.integers(3, 41)), self.delist_idx[i]), i] = True
        self.suspended = susp & self.listed
        self.trading = self.listed & ~self.suspended


class StockNames:
    """Codes (from the code block of each stock's exchange and listing date) and names;
    a stock that ends under special treatment carries "*ST" in its name."""

    def __init__(self, cal, stocks, rng_names):
        self.cal, self.stocks = cal, stocks
        self.rng_names = rng_names
        self._codes_and_names()

    def _boards(self):
        """The code block each stock's code comes from, by exchange and listing date."""
        stocks = self.stocks
        rng = self.rng_names
        boards = []
        for k in range(stocks.n):
            ymd = _ymd(_dt.date.fromordinal(int(stocks.listed_ord[k])))
            u = rng.random()
            if stocks.exchange[k] == "XSHG":
                board = ("600" if ymd < 20060101 else "601a" if ymd < 20100101 else
                         "601b" if ymd < 20111101 else
                         ("688" if u < 0.4 else "605") if ymd >= 20200101 else
                         ("688" if u < 0.4 else "603") if ymd >= 20190722 else "603")
            else:
                board = ("000" if ymd < 20040601 else
                         ("300a" if u < 0.5 else "002a") if ymd >= 20091030 and ymd < 20100101
                         else "002a" if ymd < 20100101 else
                         ("300b" if u < 0.5 else "002b") if ymd < 20210406 else
                         ("301" if u < 0.5 else "001"))
            boards.append(board)
        return boards

    def _codes_and_names(self):
        cal, stocks = self.cal, self.stocks
        rng, n = self.rng_names, stocks.n
        blocks = {"600": (600000, 600999), "601a": (601000, 601699), "601b": (601700, 601999),
                  "603": (603000, 603999), "605": (605000, 605599), "688": (688001, 688999),
                  "000": (1, 999), "002a": (2001, 2320), "300a": (300001, 300060),
                  "002b": (2321, 2999), "300b": (300061, 300999), "301": (301001, 301600),
                  "001": (1201, 1399)}
        boards = self._boards()
        codes = [None] * n
        for board, (lo, hi) in blocks.items():
            members = [i for i in range(n) if boards[i] == board]
            members.sort(key=lambda i: (stocks.listed_ord[i], i))
            if not members:
                continue
            step = max(1, (hi - lo + 1) // len(members))
            code = lo
            for k, i in enumerate(members):
                # Each block opens at its first code, so ids like 600000.XSHG exist.
                code += int(rng.integers(0, step)) if step > 1 and k else 0
                if code > hi + 99:  # a crowded block spills into the next hundred codes
                    raise ValueError("too many stocks for code block %s" % board)
                suffix = ".XSHG" if board[0] == "6" else ".XSHE"
                codes[i] = "%06d%s" % (code, suffix)
                code += 1
        self.codes = codes
        used = set()
        names = []
        for i in range(n):
            endings = INDUSTRY_TRAITS[_schema.SHENWAN_NAMES[stocks.industry[i]]][6]
            for attempt in range(200):
                name = NAME_HEADS[int(rng.integers(len(NAME_HEADS)))] + endings[
                    int(rng.integers(len(endings)))]
                if name not in used:
                    break
            else:
                name = name + str(i)
            used.add(name)
            last = min(int(stocks.delist_idx[i]), cal.T) - 1
            if last >= 0 and stocks.st[last, i]:
                name = "*ST" + name
            names.append(name)
        self.symbols = names
