"""The sample's indices: the two cap-weighted indices with their reviews, membership and
weights, and the Shenwan industry indices."""

import datetime as _dt

import numpy as np

from . import _schema
from ._sample_model import HS300_ID, ZZ500_ID


class Indices:
    """Membership (index_members), month-end weights (index_weight_rows) and closes
    (index_close) of the two indices; the industry indices' closes (sw_close); the
    total-return series the funds track."""

    def __init__(self, cal, stocks, paths, prices, rng_index):
        self.cal, self.stocks, self.paths, self.prices = cal, stocks, paths, prices
        self.rng_index = rng_index
        self._indices()

    def _ffill(self, matrix):
        stocks = self.stocks
        T = matrix.shape[0]
        idx = np.where(~np.isnan(matrix), np.arange(T)[:, None], 0)
        np.maximum.accumulate(idx, axis=0, out=idx)
        out = matrix[idx, np.arange(matrix.shape[1])]
        return np.where(stocks.listed, out, np.nan)

    def _review_days(self):
        """Effective positions of the June and December reviews: the trading day after the
        second Friday of the month."""
        cal = self.cal
        out = []
        for y in sorted(set(cal.year.tolist())):
            for month in (6, 12):
                d = _dt.date(y, month, 1)
                fridays = 0
                while True:
                    if d.weekday() == 4:
                        fridays += 1
                        if fridays == 2:
                            break
                    d += _dt.timedelta(days=1)
                pos = int(np.searchsorted(cal.ord, d.toordinal(), side="right"))
                if 0 < pos < cal.T:
                    out.append(pos)
        return out

    def _indices(self):
        cal, stocks, paths, prices = self.cal, self.stocks, self.paths, self.prices
        T, n = cal.T, stocks.n
        close_ff = self._ffill(prices.close)
        cap = close_ff * prices.shares
        self.cap = cap
        ffcap = cap * stocks.free_float
        hs_size = min(300, max(2, round(300 * n / 850)))
        zz_size = min(500, max(2, round(500 * n / 850)))
        reviews = [0] + self._review_days()
        hs, zz = [], []          # lists of (position, member array)
        hs_members, zz_members = np.array([], dtype=int), np.array([], dtype=int)
        for k, e in enumerate(reviews):
            c = max(e - 25, 0)
            window = ffcap[max(c - 120, 0):c + 1]
            seen = (~np.isnan(window)).sum(axis=0)
            metric = np.where(seen > 0, np.nansum(window, axis=0) / np.maximum(seen, 1), np.nan)
            ok = (stocks.listed[c] & ~np.isnan(metric) & ~stocks.st[c] & ~stocks.st[e]
                  & (stocks.delist_idx > e + 5)
                  & ((stocks.list_idx <= c - 60) | (stocks.listed_before & (stocks.list_idx == 0))))
            order = np.flatnonzero(ok)[np.argsort(-metric[ok], kind="stable")]
            rank = np.full(n, n + 1)
            rank[order] = np.arange(len(order))
            hs_members = _pick(order, rank, hs_members, hs_size)
            rest = order[~np.isin(order, hs_members)]
            rest = rest[rank[rest] >= hs_size]
            rank2 = np.full(n, n + 1)
            rank2[rest] = np.arange(len(rest))
            zz_members = _pick(rest, rank2, zz_members, zz_size)
            end = reviews[k + 1] if k + 1 < len(reviews) else T
            hs_members, zz_members = self._membership_period(
                e, end, order, hs, zz, hs_members, zz_members)
        month_end = np.flatnonzero(np.diff(cal.month, append=-1) != 0)
        self.index_members = {HS300_ID: hs, ZZ500_ID: zz}
        self.index_weight_rows = {}
        self.index_close = {}
        base = {HS300_ID: paths.market_level0, ZZ500_ID: paths.market_level0 * 1.28}
        for oid, changes in self.index_members.items():
            weight_days = sorted(set(month_end.tolist()) | {p for p, _ in changes})
            rows = []
            for day in weight_days:
                members = _members_at(changes, day)
                w = np.nan_to_num(ffcap[day, members])
                if w.sum() > 0:
                    rows.append((day, members, w / w.sum()))
            self.index_weight_rows[oid] = rows
            price_rel, total_rel = self._index_relatives(
                lambda t: _members_at(changes, t), ffcap)
            self.index_close[oid] = np.round(base[oid] * np.cumprod(price_rel), 4)
            if oid == HS300_ID:
                self.tr_hs300 = np.cumprod(total_rel)
            else:
                self.tr_zz500 = np.cumprod(total_rel)

        # Industry indices: total-cap weights over every listed stock of the industry
        # that traded before (a new listing joins the day after its first close).
        n_ind = len(_schema.SHENWAN_NAMES)
        onehot = np.zeros((n, n_ind))
        onehot[np.arange(n), stocks.industry] = 1.0
        prev_cap = np.vstack([np.zeros((1, n)), np.nan_to_num(cap[:-1])])
        prev_cap = np.where(stocks.listed, prev_cap, 0.0)
        num = (prev_cap * prices.pr) @ onehot
        den = prev_cap @ onehot
        rel = np.where(den > 0, num / np.where(den > 0, den, 1.0), 1.0)
        rel[0] = 1.0
        level0 = self.rng_index.uniform(1200, 6000, size=n_ind)
        self.sw_close = np.round(level0[None, :] * np.cumprod(rel, axis=0), 4)
        num_tr = (prev_cap * prices.tr) @ onehot
        rel_tr = np.where(den > 0, num_tr / np.where(den > 0, den, 1.0), 1.0)
        rel_tr[0] = 1.0
        self.tr_food = np.cumprod(rel_tr[:, _schema.SHENWAN_NAMES.index("食品饮料")])
        self.prev_cap = prev_cap

    def _membership_period(self, e, end, order, hs, zz, hs_members, zz_members):
        """Record the review at e, then replace members delisted before the next review."""
        stocks = self.stocks
        hs.append((e, np.sort(hs_members)))
        zz.append((e, np.sort(zz_members)))
        for t in range(e + 1, end):
            gone_hs = hs_members[stocks.delist_idx[hs_members] == t]
            gone_zz = zz_members[stocks.delist_idx[zz_members] == t]
            if not len(gone_hs) and not len(gone_zz):
                continue
            taken = set(hs_members.tolist()) | set(zz_members.tolist())
            spare = [i for i in order if stocks.listed[t, i] and not stocks.st[t, i]
                     and stocks.delist_idx[i] > t + 5 and i not in taken]
            if len(gone_hs):
                take = spare[:len(gone_hs)]
                spare = spare[len(take):]
                hs_members = np.concatenate([np.setdiff1d(hs_members, gone_hs), take]).astype(int)
                hs.append((t, np.sort(hs_members)))
            if len(gone_zz):
                take = spare[:len(gone_zz)]
                zz_members = np.concatenate([np.setdiff1d(zz_members, gone_zz), take]).astype(int)
                zz.append((t, np.sort(zz_members)))
        return hs_members, zz_members

    def _index_relatives(self, members_at, ffcap):
        cal, prices = self.cal, self.prices
        T = cal.T
        price_rel = np.ones(T)
        total_rel = np.ones(T)
        prev_w = np.nan_to_num(ffcap)
        for t in range(1, T):
            members = members_at(t)
            w = prev_w[t - 1, members]
            s = w.sum()
            if s > 0:
                price_rel[t] = w @ prices.pr[t, members] / s
                total_rel[t] = w @ prices.tr[t, members] / s
        return price_rel, total_rel


def _pick(order, rank, incumbents, size):
    """Members after a review: incumbents ranked within 1.2 x size stay, then by rank."""
    keep = incumbents[rank[incumbents] < 1.2 * size] if len(incumbents) else incumbents
    keep = keep[np.argsort(rank[keep], kind="stable")][:size]
    kept = set(keep.tolist())
    fill = [i for i in order if i not in kept][:max(0, size - len(keep))]
    return np.concatenate([keep, np.array(fill, dtype=int)]).astype(int)


def _members_at(changes, t):
    """Members in force on position t (changes sorted by position)."""
    lo, hi = 0, len(changes)
    while lo < hi:
        mid = (lo + hi) // 2
        if changes[mid][0] <= t:
            lo = mid + 1
        else:
            hi = mid
    return changes[lo - 1][1] if lo else changes[0][1][:0]
