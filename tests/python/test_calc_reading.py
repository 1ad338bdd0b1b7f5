"""How the attribution reads what it is given: the package's own classifiers called
through `__call__` as a method call finds it (replaced on the class, a subclass or the
instance) and asking the client their module holds at call time, and split coefficients
read from a split table as pandas divides its columns."""

import datetime as dt
import json
import types

import numpy as np
import pandas as pd
import pytest

import meridan.quotes as quotes
from meridan.brinson import calc
from meridan.brinson import classifier as cl
from meridan.quotes import CachedMarketDataProvider

pytestmark = pytest.mark.market("brinson")

BANK, TRUST, OIL = "600100.XSHG", "600101.XSHG", "600102.XSHG"
D1, D2 = dt.date(2016, 3, 1), dt.date(2016, 3, 2)
CASH = "现金"


def period():
    positions = [{"order_book_id": k, "quantity": 100, "market_value": v}
                 for k, v in ((BANK, 30.0), (TRUST, 10.0), (OIL, 40.0))]
    return [{"date": D1, "positions": positions, "cash": 20.0, "market_value": 100.0},
            {"date": D2, "positions": positions, "cash": 20.0, "market_value": 100.0}]


class Record:
    def __init__(self, sector):
        self.sector_code_name = self.shenwan_industry_name = sector


def sectors_by(classifier):
    weight, _ = calc.calc_portfolio_single_period(period(), classifier)
    return weight.to_dict()


def renamed(monkeypatch, cls, calls):
    """The class's own call, wrapped: answers prefixed "x-", calls recorded."""
    own = cls.__call__

    def call(self, order_book_id):
        calls.append(order_book_id)
        return "x-" + own(self, order_book_id)

    monkeypatch.setattr(cls, "__call__", call)


@pytest.mark.parametrize("scheme", ["MSCI", "ShenWan"])
@pytest.mark.parametrize("change", ["class call", "subclass call", "instance call",
                                    "client", "subclass as is"])
def test_a_scheme_is_called_through_its_call_as_found(market, monkeypatch, scheme, change):
    cls = type(getattr(cl, f"SectorDecider_{scheme}"))
    plain = sectors_by(cls())
    assert set(plain) - {CASH} and market.count("instruments") == 6
    calls = []
    if change == "class call":
        renamed(monkeypatch, cls, calls)
        classifier = cls()
    elif change == "subclass call":
        sub = type("Sub", (cls,), {})
        renamed(monkeypatch, sub, calls)
        classifier = sub()
    elif change == "instance call":
        # An attribute of the instance is what a method call finds first.
        classifier = cls()
        classifier.__call__ = lambda oid: (calls.append(oid), "x-" + cls()(oid))[1]
    elif change == "client":
        records = {BANK: Record("x-A"), TRUST: Record("x-A"), OIL: Record("x-B")}
        monkeypatch.setattr(cl, "tickvane", types.SimpleNamespace(
            instruments=lambda oid: (calls.append(oid), records[oid])[1]))
        classifier = cls()
    else:
        classifier = type("Same", (cls,), {})()
    found = sectors_by(classifier)
    if change == "subclass as is":
        assert found == plain and calls == []
        return
    assert calls == [BANK, TRUST, OIL] * 2
    assert all(s.startswith("x-") for s in found if s != CASH)
    assert sum(found.values()) == pytest.approx(1.0)


def test_no_client_in_the_scheme_module_is_a_name_error(market, monkeypatch):
    monkeypatch.delattr(cl, "tickvane")
    for classifier in (cl.SectorDecider_MSCI, cl.SectorDecider_ShenWan):
        with pytest.raises(NameError, match="tickvane"):
            sectors_by(classifier)


def test_an_error_of_the_client_passes_through(market):
    market.set_error("instruments", LookupError("no such instrument"))
    with pytest.raises(LookupError, match="no such instrument"):
        sectors_by(cl.SectorDecider_ShenWan)


DAYS = pd.DatetimeIndex(["2015-06-01", "2016-03-01", "2017-07-13"])


@pytest.mark.parametrize("to, frm, note", [
    ([2.0, 13.0, 15.0], [1.0, 10.0, 10.0], None),         # float64: read in one pass
    ([2, 13, 15], [1, 10, 10], None),                      # int64: pandas divides
    ([2.0, np.nan, 1.0], [1.0, 10.0, 0.0], None),          # NaN and x/0 as pandas has them
    (pd.array([2.0, 13.0, None], dtype="Float64"), [1.0, 10.0, 10.0], None),
    (pd.array([2.0, 13.0, 1.5], dtype="Float64"),
     pd.array([1.0, 10.0, 1.0], dtype="Float64"), None),
    ([2.0, 13.0, 15.0], [1.0, 10.0, 10.0], "text beside"),
], ids=["float", "int", "nan-and-zero", "nullable", "both-nullable", "other-column"])
def test_split_coefficients_divide_as_pandas(monkeypatch, to, frm, note):
    table = pd.DataFrame({"split_coefficient_from": frm, "split_coefficient_to": to},
                         index=DAYS)
    if note is not None:
        table.insert(0, "note", note)
    monkeypatch.setattr(quotes, "get_split", lambda oid: table.copy())
    expected = table["split_coefficient_to"] / table["split_coefficient_from"]
    md = CachedMarketDataProvider()
    for k, day in enumerate(DAYS):
        value = expected.iloc[k]
        got = md.get_split_coefficient([BANK], day.date())
        if pd.isna(value):
            assert len(got) == 1 and pd.isna(got[BANK])
        else:
            assert got == {BANK: value} and type(got[BANK]) is type(value)
    assert md.get_split_coefficient([BANK], dt.date(2016, 3, 2)) == {}
    with np.errstate(divide="ignore"):
        assert md.get_split_coefficient([BANK, OIL], DAYS[0].date()) == {
            BANK: expected.iloc[0], OIL: expected.iloc[0]}


@pytest.mark.parametrize("columns, missing", [
    ({"ratio": [2.0]}, "split_coefficient_to"),
    ({"split_coefficient_to": [2.0]}, "split_coefficient_from"),
])
def test_a_split_table_without_its_columns_fails_when_fetched(monkeypatch, columns, missing):
    monkeypatch.setattr(quotes, "get_split",
                        lambda oid: pd.DataFrame(columns, index=DAYS[:1]))
    with pytest.raises(KeyError, match=missing):
        CachedMarketDataProvider().get_split_coefficient([BANK], dt.date(2020, 1, 1))


@pytest.mark.parametrize("kind", ["str", "string", "category"])
def test_benchmark_weights_read_alike_under_any_index_kind(market, kind):
    def weighted(dtype):
        index = pd.Index([BANK, TRUST, OIL], dtype=dtype)
        weights = pd.Series([0.5, 0.25, 0.25], index=index, name="weight")
        return types.SimpleNamespace(get_weighting=lambda date: weights)

    plain = calc.calc_benchmark_single_period(weighted(object), cl.SectorDecider_ShenWan, D1, D2)
    got = calc.calc_benchmark_single_period(weighted(kind), cl.SectorDecider_ShenWan, D1, D2)
    for a, b in zip(got, plain):
        pd.testing.assert_series_equal(a, b)


def made(kind, positions):
    """Positions as different readers make them: literal dicts, keys in another order,
    read back from JSON (keys equal but other objects), with an extra key, with gaps
    left by deleted keys, or only the later ones in another order."""
    if kind == "reordered":
        return [dict(reversed(list(p.items()))) for p in positions]
    if kind == "json":
        return json.loads(json.dumps(positions))
    if kind == "extra":
        return [{"symbol": p["order_book_id"][:6], **p} for p in positions]
    if kind == "gaps":
        out = []
        for p in positions:
            d = {"a": 0, "b": 1, **p}
            del d["a"], d["b"]
            out.append(d)
        return out
    if kind == "later reordered":
        return positions[:1] + made("reordered", positions[1:])
    return positions


KINDS = ["literal", "reordered", "json", "extra", "gaps", "later reordered"]


@pytest.mark.parametrize("kind", KINDS)
def test_positions_of_any_make_read_alike(market, kind):
    def series(kind):
        return [dict(s, positions=made(kind, s["positions"])) for s in period()]

    plain = calc.calc_portfolio_single_period(series("literal"), cl.SectorDecider_ShenWan)
    got = calc.calc_portfolio_single_period(series(kind), cl.SectorDecider_ShenWan)
    for a, b in zip(got, plain):
        pd.testing.assert_series_equal(a, b)


@pytest.mark.parametrize("kind", KINDS)
def test_a_fault_in_a_later_position_of_any_make_is_found(kind):
    class NoSplits:
        def get_split_coefficient(self, order_book_ids, date):
            return {}

    snapshots = period()
    positions = [dict(p) for p in snapshots[1]["positions"]]
    positions[-1]["quantity"] = float("nan")
    snapshots[1] = dict(snapshots[1], positions=made(kind, positions))
    with pytest.raises(ValueError, match=f"2016-03-02.*{OIL}|{OIL}.*2016-03-02"):
        calc.split_by_position(snapshots, NoSplits())
