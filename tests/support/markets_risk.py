"""The "risk" market: what the profit, risk and style analyses read, over four years.

The weekdays from 2014-01-01 to 2018-12-31 without the holidays of ``HOLIDAYS``; on the
k-th trading day (k = 0 on 2014-01-02):

- 000300.XSHG closes at 3000 + k + 150 sin(k / 20) and 000001.XSHE at
  10 + 0.005 k + 0.5 sin(k / 15 + 1), rounded to the cent (``close``);
- factor j (the j-th of tickvane's ten factors, j = 0 for beta) returns
  0.004 sin(k (0.9 + 0.1 j)) + 0.0005 cos(k / 7 + j), rounded to 6 decimals;
- the yield at the i-th tenor of the curve (i = 0 for 0S ... 20 for 50Y) is
  0.02 + 0.001 i + 0.000001 k: every tenor and every day differs.

The instruments are in tests/data/markets/risk/instruments.csv. The ``*_frame``
functions give the same tables as pandas objects, for the tests' expected values.
"""

import datetime as dt
import functools
import math

import pandas as pd

from tickvane._schema import FACTORS, TENORS

FIRST, LAST = dt.date(2014, 1, 1), dt.date(2018, 12, 31)
HOLIDAYS = [
    ("2014-01-01", "2014-01-01"), ("2014-01-31", "2014-02-06"), ("2014-05-01", "2014-05-02"),
    ("2014-10-01", "2014-10-07"),
    ("2015-01-01", "2015-01-02"), ("2015-02-18", "2015-02-24"), ("2015-04-06", "2015-04-06"),
    ("2015-05-01", "2015-05-01"), ("2015-06-22", "2015-06-22"), ("2015-10-01", "2015-10-07"),
    ("2016-01-01", "2016-01-01"), ("2016-02-08", "2016-02-12"), ("2016-05-02", "2016-05-02"),
    ("2016-10-03", "2016-10-07"), ("2017-01-02", "2017-01-02"), ("2017-01-27", "2017-02-02"),
    ("2017-05-29", "2017-05-30"), ("2017-10-02", "2017-10-06"), ("2018-01-01", "2018-01-01"),
    ("2018-02-15", "2018-02-21"), ("2018-04-05", "2018-04-06"), ("2018-10-01", "2018-10-05"),
]


@functools.lru_cache(maxsize=None)
def calendar():
    """The trading days of the "risk" market."""
    import markets  # here: markets.py imports this module to register it

    return tuple(markets.weekdays(FIRST, LAST, HOLIDAYS))


def close(order_book_id, k):
    if order_book_id == "000300.XSHG":
        return round(3000 + k + 150 * math.sin(k / 20), 2)
    return round(10 + 0.005 * k + 0.5 * math.sin(k / 15 + 1), 2)


def factor_return(j, k):
    return round(0.004 * math.sin(k * (0.9 + 0.1 * j)) + 0.0005 * math.cos(k / 7 + j), 6)


def yield_at(i, k):
    return round(0.02 + 0.001 * i + 0.000001 * k, 6)


def generate(tables):
    days = calendar()
    tables["trading_dates"] = ["date"] + [d.isoformat() for d in days]
    tables["prices"] = ["order_book_id,date,close"] + [
        "%s,%s,%.2f" % (oid, d.isoformat(), close(oid, k))
        for oid in ("000001.XSHE", "000300.XSHG") for k, d in enumerate(days)]
    tables["factor_returns"] = [",".join(("date",) + FACTORS)] + [
        ",".join([d.isoformat()] + ["%.6f" % factor_return(j, k) for j in range(10)])
        for k, d in enumerate(days)]
    tables["yield_curve"] = [",".join(("date",) + TENORS)] + [
        ",".join([d.isoformat()] + ["%.6f" % yield_at(i, k) for i in range(len(TENORS))])
        for k, d in enumerate(days)]


@functools.lru_cache(maxsize=None)
def _closes(order_book_id):
    days = calendar()
    return pd.Series([close(order_book_id, k) for k in range(len(days))],
                     index=pd.DatetimeIndex([pd.Timestamp(d) for d in days]))


@functools.lru_cache(maxsize=None)
def _factor_returns():
    days = calendar()
    return pd.DataFrame([[factor_return(j, k) for j in range(10)] for k in range(len(days))],
                        index=pd.DatetimeIndex([pd.Timestamp(d) for d in days]),
                        columns=list(FACTORS))


def closes_frame(order_book_id, start, end):
    """The closes of `order_book_id` from `start` to `end` as a Series by date."""
    return _closes(order_book_id)[pd.Timestamp(start):pd.Timestamp(end)].copy()


def factor_returns_frame(start, end):
    """The factor returns from `start` to `end`, a frame by date, tickvane's columns."""
    return _factor_returns()[pd.Timestamp(start):pd.Timestamp(end)].copy()


def curve_value(day, column):
    """The yield of tenor `column` on trading day `day`."""
    k = calendar().index(pd.Timestamp(day).date())
    return yield_at(TENORS.index(column), k)
