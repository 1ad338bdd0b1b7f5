import copy
import math
import sys

import pandas as pd
import pytest

from meridan.pcalc.position import Position
from meridan.pcalc.trade import Trade, _share_fields

pytestmark = pytest.mark.sanitize

FIELDS = dict(
    datetime=pd.Timestamp("2017-06-30 09:31:05"),
    order_book_id="000001.XSHE",
    symbol="深发银行",
    last_price=10.0,
    last_quantity=100,
    side="BUY",
    transaction_cost=5.0,
)


def make_trade(**changes):
    return Trade(**{**FIELDS, **changes})


def test_trade_is_a_keyword_only_record():
    trade = make_trade()
    assert {name: getattr(trade, name) for name in FIELDS} == FIELDS
    with pytest.raises(TypeError):
        Trade(*FIELDS.values())
    with pytest.raises(TypeError):
        Trade(**{k: v for k, v in FIELDS.items() if k != "symbol"})
    text = repr(trade)
    assert text.startswith("Trade(") and "'000001.XSHE'" in text and "'BUY'" in text


@pytest.mark.parametrize("field", list(FIELDS))
def test_trade_equality_covers_every_field(field):
    changed = {
        "datetime": pd.Timestamp("2017-06-30 09:31:06"),
        "order_book_id": "000002.XSHE",
        "symbol": "other",
        "last_price": 10.01,
        "last_quantity": 200,
        "side": "SELL",
        "transaction_cost": 0.0,
    }
    same = make_trade()
    assert same == make_trade() and hash(same) == hash(make_trade())
    assert make_trade(**{field: changed[field]}) != same
    assert len({same, make_trade(), make_trade(**{field: changed[field]})}) == 2


def test_trade_is_not_equal_to_a_lookalike_of_another_class():
    class Lookalike:
        pass

    other = Lookalike()
    other.__dict__.update(FIELDS)
    assert make_trade() != other


def trade(side, quantity, price=0.0):
    # Position reads only these three fields; any object offering them will do.
    return make_trade(side=side, last_quantity=quantity, last_price=price)


@pytest.mark.parametrize(
    ("start", "trades", "quantity", "avg_price"),
    [
        # (start quantity, [(side, shares, price)], quantity, avg_price)
        (0, [("BUY", 100, 10.0)], 100, 10.0),
        (0, [("BUY", 100, 10.0), ("BUY", 300, 12.0)], 400, 11.5),
        (0, [("BUY", 100, 10.0), ("SELL", 40, 20.0)], 60, 10.0),
        (0, [("BUY", 100, 10.0), ("SELL", 40, 20.0), ("BUY", 60, 13.0)], 120, 11.5),
        (0, [("BUY", 100, 10.0), ("SELL", 100, 12.0)], 0, 0.0),
        # After a round trip the next buy starts a fresh average.
        (0, [("BUY", 100, 10.0), ("SELL", 100, 12.0), ("BUY", 50, 8.0)], 50, 8.0),
        # Opening holdings carry no known cost: their average starts at 0.0.
        (200, [], 200, 0.0),
        (200, [("BUY", 200, 10.0)], 400, 5.0),
        (200, [("SELL", 200, 9.0)], 0, 0.0),
        # Zero-share trades change nothing, also on an empty position.
        (0, [("BUY", 0, 10.0)], 0, 0.0),
        (0, [("BUY", 100, 10.0), ("BUY", 0, 99.0), ("SELL", 0, 1.0)], 100, 10.0),
        (0, [("BUY", 100, 10.0), ("BUY", 100, 0.0)], 200, 5.0),
    ],
)
def test_position_applies_trades(start, trades, quantity, avg_price):
    position = Position("000001.XSHE", start)
    for side, shares, price in trades:
        position.apply_trade(trade(side, shares, price))
    assert position.quantity == quantity
    assert type(position.avg_price) is float
    assert position.avg_price == pytest.approx(avg_price, rel=1e-12)


def test_position_keeps_quantity_type_and_starts_flat():
    flat = Position("600000.XSHG")
    assert (flat.order_book_id, flat.quantity, flat.avg_price) == (
        "600000.XSHG",
        0,
        0.0,
    )
    fractional = Position("600000.XSHG", 10.5)
    fractional.apply_trade(trade("SELL", 0.5))
    assert fractional.quantity == 10.0 and isinstance(fractional.quantity, float)


@pytest.mark.parametrize(
    ("start", "bad", "error", "words"),
    [
        (100, trade("SELL", 101, 10.0), ValueError, ["000001.XSHE", "101", "100"]),
        (0, trade("SELL", 1, 10.0), ValueError, ["000001.XSHE", "1", "0"]),
        (100, trade("BUY", -10, 10.0), ValueError, ["-10"]),
        (100, trade("SELL", -10, 10.0), ValueError, ["-10"]),
        (100, trade("BUY", math.nan, 10.0), ValueError, ["nan"]),
        (100, trade("BUY", "100", 10.0), TypeError, ["'100'"]),
        (100, trade("SELL", None, 10.0), TypeError, ["None"]),
        (100, trade("BUY", True, 10.0), TypeError, ["True"]),
        (100, trade("BUY", 10, math.nan), ValueError, ["nan", "000001.XSHE"]),
        (100, trade("BUY", 10, -1.0), ValueError, ["-1.0"]),
        (100, trade("BUY", 10, "10.0"), TypeError, ["'10.0'"]),
        # Only "BUY" and "SELL" are sides: a lower-case "buy" is not taken for a sale.
        (100, trade("buy", 30, 50.0), ValueError, ["'buy'", "000001.XSHE"]),
        (100, trade("HOLD", 30, 50.0), ValueError, ["'HOLD'"]),
        (100, trade("SELL", 10, math.nan), ValueError, ["nan", "sell of 000001.XSHE"]),
        (100, trade("SELL", math.inf, 1.0), ValueError, ["inf"]),
    ],
)
def test_position_refuses_bad_trades_unchanged(start, bad, error, words):
    position = Position("000001.XSHE", start)
    position.avg_price = 9.5
    before = copy.copy(position)
    with pytest.raises(error) as info:
        position.apply_trade(bad)
    for word in words:
        assert word in str(info.value)
    assert (position.quantity, position.avg_price) == (
        before.quantity,
        before.avg_price,
    )


def test_position_equality_and_repr():
    a, b = Position("000001.XSHE", 100), Position("000001.XSHE", 100)
    assert a == b
    b.avg_price = 1.0
    assert a != b
    assert Position("000001.XSHE") != Position("000002.XSHE")
    assert a != ("000001.XSHE", 100, 0.0)
    with pytest.raises(TypeError):
        hash(a)
    assert (
        repr(a) == "Position(order_book_id='000001.XSHE', quantity=100, avg_price=0.0)"
    )


STAMP = pd.Timestamp("2017-06-30 09:31:05")


@pytest.mark.parametrize(
    ("field", "first", "second", "shared"),
    [
        ("datetime", STAMP, pd.Timestamp("2017-06-30 09:31:05"), True),
        # Equal values that can be told apart stay apart: the resolution, the zone.
        ("datetime", STAMP.as_unit("s"), STAMP.as_unit("us"), False),
        ("datetime", STAMP.tz_localize("UTC"), pd.Timestamp("2017-06-30 09:31:05Z"), False),
        ("last_price", 10.5, float("10.5"), True),
        ("last_price", math.nan, float("nan"), False),  # such trades stay unequal
        ("transaction_cost", -0.0, 0.0, False),
        ("last_quantity", 10**6, int("1000000"), True),
        ("last_quantity", True, 1, False),
        ("last_quantity", 1.0, 1, False),
        ("symbol", "深发银行", "".join(["深发", "银行"]), True),
    ],
)
def test_shared_fields_change_nothing_but_identity(field, first, second, shared):
    a, b = make_trade(**{field: first}), make_trade(**{field: second})
    before = (a == b, hash(a) == hash(b), repr(a), repr(b))
    _share_fields([a, b], {})
    assert (getattr(b, field) is getattr(a, field)) is shared
    assert type(getattr(b, field)) is type(second) and repr(getattr(b, field)) == repr(second)
    assert (a == b, hash(a) == hash(b), repr(a), repr(b)) == before
    assert a == make_trade(**{field: first}) or first != first
    with pytest.raises(AttributeError):
        b.last_price = 1.0


def test_trade_holds_its_seven_fields_only():
    # No __dict__ or weak-reference slot: a statement holds a million trades.
    assert not hasattr(make_trade(), "__dict__")
    assert sys.getsizeof(make_trade()) <= sys.getsizeof(object()) + 7 * 8 + 16
