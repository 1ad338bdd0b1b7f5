"""The exposure analyses read snapshots alike however their dicts were made, and
replies of other makes than the client's as pandas does."""

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
    pass


def series(fault=None):
    days = pd.bdate_range("2016-03-01", "2016-09-30", freq="W-FRI")
    out = []
    for i, day in enumerate(days):
        positions = [{"order_book_id": BANK, "quantity": 100, "market_value": 4e5 + i},
                     {"order_book_id": ESTATE, "quantity": 100, "market_value": 6e5}]
        if i == len(days) - 1 and fault == "nan":  # the last snapshot, analysed
            positions[1]["market_value"] = math.nan
        if i == len(days) - 1 and fault == "no id":
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
        "the snapshot of 2016-09-30: '000002.XSHE' market_value nan is not a finite number")
    with pytest.raises(KeyError, match="order_book_id"):
        ex.exposure_analysis(origin(series("no id")), Benchmark(), "2016-03-01", "2016-09-30")


REPLY_KINDS = {
    "over 127 instruments (16-bit codes)": lambda f: f,
    "nullable floats with NA": lambda f: f.astype("Float64").mask(f > 1.2, pd.NA),
    "integers": lambda f: (f.fillna(0) * 100).round().astype("int64"),
    "rows without an id (codes of -1)": lambda f: f.set_axis(pd.MultiIndex.from_arrays([
        f.index.get_level_values(0).where(np.arange(len(f)) % 7 != 3),
        f.index.get_level_values(1)])),
}


@pytest.mark.parametrize("kind", REPLY_KINDS)
def test_reply_kinds_average_as_pandas(market, kind):
    rng = np.random.default_rng(3)
    ids = [f"{600000 + i:06d}.XSHG" for i in range(160)]
    index = pd.MultiIndex.from_product([ids, pd.bdate_range("2016-03-01", periods=40)])
    values = rng.normal(size=(len(index), 10))
    values[rng.random(values.shape) < 0.05] = np.nan
    reply = REPLY_KINDS[kind](pd.DataFrame(values, index=index, columns=list(ex.TRANSLATION)))
    market.set_reply("get_factor_exposure", reply)
    asked = ids[::-3] + ["000000.XSHE"]  # out of order, and one without exposures
    result = ex.get_exposure(asked, pd.Timestamp("2016-06-01"))
    means = reply.astype("float64").groupby(level=0).tail(22).groupby(level=0).mean()
    expected = means.reindex([oid for oid in asked if oid in means.index])
    assert list(result.index) == list(expected.index)
    np.testing.assert_allclose(result.to_numpy(), expected.to_numpy(), rtol=1e-12)
