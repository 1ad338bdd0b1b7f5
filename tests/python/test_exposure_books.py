"""Books of many positions: a snapshot analysed is checked whatever the position of a
fault in a long list and however the positions' dicts were made, the others' money
only; and a benchmark's weights are read alike whatever kind of index labels them."""

import math

import pandas as pd
import pytest

import meridan.exposure as ex

BANK, ESTATE, MOUTAI = "000001.XSHE", "000002.XSHE", "600519.XSHG"
START, END = "2016-03-01", "2016-09-30"
HELD = 40  # positions per snapshot: a fault deep in a long list

pytestmark = pytest.mark.market("brinson")


class Benchmark:
    def __init__(self, index=None):
        self.index = index

    def get_weighting(self, date):
        weights = pd.Series({MOUTAI: 0.7, BANK: 0.3})
        if self.index is not None:
            weights.index = self.index(weights.index)
        return weights


def fresh_text(text):
    """An str equal to `text` but another object, as dicts read from elsewhere hold."""
    return "".join(list(text))


SHOWN, UNSHOWN = "2016-09-30", "2016-05-13"  # the last snapshot, and one not analysed


def series(change=None, on=SHOWN):
    """Weekly snapshots of a book of HELD positions; `change(positions)` alters the
    positions of the snapshot of `on`."""
    out = []
    for i, day in enumerate(pd.bdate_range(START, END, freq="W-FRI")):
        positions = [{"order_book_id": BANK if k % 2 else ESTATE, "quantity": 100,
                      "market_value": 1e4 + k + i} for k in range(HELD)]
        total = sum(p["market_value"] for p in positions) + 5.0
        if str(day.date()) == on and change:
            change(positions)
        out.append({"date": day.date(), "market_value": total, "cash": 5.0,
                    "positions": positions})
    return out


def set_value(at, value):
    def change(positions):
        positions[at]["market_value"] = value
    return change


def drop_id(at):
    def change(positions):
        del positions[at]["order_book_id"]
    return change


def rebuilt(keys, at=range(HELD)):
    """Positions `at` rebuilt with `keys(name)` as their keys, in reverse order."""
    def change(positions):
        for k in at:
            positions[k] = {keys(name): value for name, value in reversed(positions[k].items())}
    return change


def then(*changes):
    def change(positions):
        for c in changes:
            c(positions)
    return change


def reinserted(positions):
    """Positions whose dicts have a gap where an entry was removed."""
    for k, p in enumerate(positions):
        if k % 3 == 0:
            value = p.pop("market_value")
            p["market_value"] = value
        if k % 5 == 0:
            p["note"] = "x"
            del p["quantity"]


class Key(str):
    pass


FAULTS = [
    ("NaN at the last position", set_value(HELD - 1, math.nan), ValueError,
     "the snapshot of 2016-09-30: '000001.XSHE' market_value nan is not a finite number"),
    ("negative deep in the list", set_value(20, -1.0), ValueError,
     "the snapshot of 2016-09-30: '000002.XSHE' market_value -1.0 is negative"),
    ("infinite right after the first", set_value(1, math.inf), ValueError,
     "the snapshot of 2016-09-30: '000001.XSHE' market_value inf is not a finite number"),
    ("no id at the last position", drop_id(HELD - 1), KeyError, "order_book_id"),
    ("text value deep in the list", set_value(30, "12"), TypeError,
     "the snapshot of 2016-09-30: '000002.XSHE' market_value must be a number, got '12'"),
    ("NaN where the keys are other objects",
     then(rebuilt(fresh_text, at=range(10, 30)), set_value(25, math.nan)), ValueError,
     "the snapshot of 2016-09-30: '000001.XSHE' market_value nan is not a finite number"),
    ("NaN where the keys stand elsewhere",
     then(rebuilt(lambda k: k, at=range(1, HELD, 2)), set_value(21, math.nan)), ValueError,
     "the snapshot of 2016-09-30: '000001.XSHE' market_value nan is not a finite number"),
    ("no id where the first position's keys stand elsewhere",
     then(rebuilt(lambda k: k, at=[0]), drop_id(12)), KeyError, "order_book_id"),
    ("no id where the keys are a str subclass",
     then(rebuilt(Key, at=[33]), drop_id(33)), KeyError, "order_book_id"),
]


@pytest.mark.parametrize("change, error, message", [f[1:] for f in FAULTS],
                         ids=[f[0] for f in FAULTS])
@pytest.mark.parametrize("analysis", [ex.exposure_analysis, ex.exposure_analysis_1])
def test_a_fault_anywhere_in_a_snapshot_analysed_is_refused(market, analysis, change,
                                                             error, message):
    with pytest.raises(error) as info:
        analysis(series(change), Benchmark(), START, END)
    assert message in str(info.value)
    assert market.count() == 0  # refused before anything is asked


@pytest.mark.parametrize("analysis", [ex.exposure_analysis, ex.exposure_analysis_1])
def test_a_snapshot_not_analysed_has_its_own_money_checked_only(market, analysis):
    expected = analysis(series(), Benchmark(), START, END)
    assert UNSHOWN not in expected
    for fault in FAULTS:  # its positions make no figure and are not read
        assert analysis(series(fault[1], on=UNSHOWN), Benchmark(), START, END) == expected
    faulty = series()
    next(s for s in faulty if str(s["date"]) == UNSHOWN)["cash"] = math.nan
    with pytest.raises(ValueError, match=f"the snapshot of {UNSHOWN}: cash nan is not a"):
        analysis(faulty, Benchmark(), START, END)
    # Of two faults, the earlier snapshot's is named, whichever kind each is.
    first_shown = min(expected)
    faulty = series(set_value(20, -1.0), on=first_shown)
    next(s for s in faulty if str(s["date"]) > first_shown)["cash"] = math.nan
    with pytest.raises(ValueError, match=f"the snapshot of {first_shown}: '000002.XSHE' "
                                         "market_value -1.0 is negative"):
        analysis(faulty, Benchmark(), START, END)


SOUND = [
    ("keys in another order", rebuilt(lambda k: k)),
    ("every other position's keys in another order",
     rebuilt(lambda k: k, at=range(0, HELD, 2))),
    ("entries removed and added again", reinserted),
    ("keys equal but other objects", rebuilt(fresh_text)),
    ("some positions' keys other objects", rebuilt(fresh_text, at=range(0, HELD, 3))),
    ("keys of a str subclass", rebuilt(Key, at=range(5, 15))),
    ("integer values", set_value(7, 12000)),
]


@pytest.mark.parametrize("change", [s[1] for s in SOUND], ids=[s[0] for s in SOUND])
def test_sound_books_of_any_make_are_accepted(market, change):
    expected = ex.exposure_analysis(series(), Benchmark(), START, END)
    assert ex.exposure_analysis(series(change), Benchmark(), START, END) == expected


INDEX_KINDS = {
    "objects": lambda index: pd.Index(list(index), dtype=object),
    "categories": pd.CategoricalIndex,
    "a list-like of its own": lambda index: pd.Index(list(index), dtype="string"),
}


@pytest.mark.parametrize("kind", INDEX_KINDS)
def test_benchmark_weights_read_alike_whatever_labels_them(market, kind):
    expected = ex.single_exposure_analysis(series()[-1], Benchmark(), END)
    given = ex.single_exposure_analysis(series()[-1], Benchmark(INDEX_KINDS[kind]), END)
    pd.testing.assert_series_equal(given["benchmark_exposure"],
                                   expected["benchmark_exposure"])
    assert ex.exposure_analysis(series(), Benchmark(INDEX_KINDS[kind]), START, END) == \
        ex.exposure_analysis(series(), Benchmark(), START, END)
