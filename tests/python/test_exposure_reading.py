"""How the exposure analyses read what they are given: snapshots however their dicts
were made (literals, read back from JSON or pickle, keys of a str subclass), and
replies of the market data in other layouts than the client's (nullable columns,
integer columns, many instruments, instruments' rows interleaved), against pandas."""

import datetime as dt
import json
import math
import pickle

import numpy as np
import pandas as pd
import pytest

import meridan.exposure as ex

BANK, ESTATE, MOUTAI = "000001.XSHE", "000002.XSHE", "600519.XSHG"

pytestmark = pytest.mark.market("brinson")


class Benchmark:
    def get_weighting(self, date):
        return pd.Series({MOUTAI: 1.0})


class Key(str):
    """A key equal to the plain one, but another type."""


def series(fault=None):
    days = pd.bdate_range("2016-03-01", "2016-09-30", freq="W-FRI")
    out = []
    for i, day in enumerate(days):
        positions = [{"order_book_id": BANK, "quantity": 100, "market_value": 4e5 + i},
                     {"order_book_id": ESTATE, "quantity": 100, "market_value": 6e5}]
        if i == 10 and fault == "nan":  # a snapshot the analysis does not show
            positions[1]["market_value"] = math.nan
        if i == 10 and fault == "no id":
            del positions[1]["order_book_id"]
        out.append({"date": day.date(), "market_value": 1e6 + i, "cash": 0.0,
                    "positions": positions})
    return out


def literal(s):
    return s


def from_json(s):
    text = json.dumps([{**x, "date": x["date"].isoformat()} for x in s])
    return [{**x, "date": dt.date.fromisoformat(x["date"])} for x in json.loads(text)]


def from_pickle(s):
    return pickle.loads(pickle.dumps(s))


def subclass_keys(s):
    return [{**x, "positions": [{Key(k): v for k, v in p.items()} for p in x["positions"]]}
            for x in s]


ORIGINS = [literal, from_json, from_pickle, subclass_keys]


@pytest.mark.parametrize("origin", ORIGINS, ids=lambda f: f.__name__)
def test_snapshots_read_alike_whatever_made_them(market, origin):
    expected = ex.exposure_analysis(series(), Benchmark(), "2016-03-01", "2016-09-30")
    assert ex.exposure_analysis(origin(series()), Benchmark(), "2016-03-01",
                                "2016-09-30") == expected
    with pytest.raises(ValueError) as info:
        ex.exposure_analysis(origin(series("nan")), Benchmark(), "2016-03-01", "2016-09-30")
    assert str(info.value) == (
        "the snapshot of 2016-05-13: '000002.XSHE' market_value nan is not a finite number")
    with pytest.raises(KeyError, match="order_book_id"):
        ex.exposure_analysis(origin(series("no id")), Benchmark(), "2016-03-01", "2016-09-30")


def table(ids, days, values, interleave=False):
    """A reply by (order_book_id, date), each instrument's dates ascending; with
    `interleave`, the instruments' rows mixed (still in date order per instrument)."""
    index = pd.MultiIndex.from_product([ids, days], names=["order_book_id", "date"])
    frame = pd.DataFrame(values, index=index, columns=list(ex.TRANSLATION))
    if interleave:
        frame = frame.swaplevel().sort_index(level=0, sort_remaining=False).swaplevel()
    return frame


def pandas_means(reply, ids):
    means = reply.groupby(level=0, sort=False).tail(22).groupby(level=0, sort=False).mean()
    return means.reindex([oid for oid in ids if oid in means.index])


REPLY_KINDS = {
    # Over 127 instruments: the index's codes are 16-bit.
    "many instruments": lambda f: f,
    "interleaved rows": None,
    "nullable floats with NA": lambda f: f.astype("Float64").mask(f > 1.2, pd.NA),
    "integers": lambda f: (f.fillna(0) * 100).round().astype("int64"),
}


@pytest.mark.parametrize("kind", REPLY_KINDS)
def test_reply_layouts_average_as_pandas(market, kind):
    rng = np.random.default_rng(3)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(160)]
    days = pd.bdate_range("2016-03-01", periods=40)
    values = rng.normal(size=(len(ids) * len(days), 10))
    values[rng.random(values.shape) < 0.05] = np.nan
    reply = table(ids, days, values, interleave=kind == "interleaved rows")
    if REPLY_KINDS[kind]:
        reply = REPLY_KINDS[kind](reply)
    market.set_reply("get_factor_exposure", reply)
    asked = ids[::-3] + ["000000.XSHE"]  # out of order, and one without exposures
    result = ex.get_exposure(asked, pd.Timestamp("2016-06-01"))
    expected = pandas_means(reply.astype("float64"), asked)
    assert list(result.index) == list(expected.index)
    np.testing.assert_allclose(result.to_numpy(), expected.to_numpy(), rtol=1e-12)
