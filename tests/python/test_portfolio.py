"""The portfolio book: cash, positions, splits and dividends, each operation applied
completely or not at all."""

import copy
from fractions import Fraction
from types import SimpleNamespace

import pytest

from meridan.pcalc import portfolio
from meridan.pcalc.portfolio import Portfolio, Positions
from meridan.pcalc.position import Position
from meridan.pcalc.trade import Trade


def trade(oid="000001.XSHE", side="BUY", price=10.0, quantity=100, cost=5.0):
    return Trade(datetime=None, order_book_id=oid, symbol="", last_price=price,
                 last_quantity=quantity, side=side, transaction_cost=cost)


def state(book):
    """Everything the book holds, as plain values."""
    return (book._cash, book._dividends,
            [(k, p.quantity, p.avg_price) for k, p in book._positions.items()])


def test_new_book():
    book = Portfolio()
    assert book._cash == 100000.0 and type(book._cash) is float
    assert book._dividends == 0 and type(book._dividends) is int
    assert type(book._positions) is Positions and dict(book._positions) == {}
    assert book.holdings() == []


def test_opening_positions_keep_zero_quantities_but_hold_only_nonzero():
    book = Portfolio(5000, {"600000.XSHG": 100, "000001.XSHE": 0})
    assert book._cash == 5000
    assert list(book._positions) == ["600000.XSHG", "000001.XSHE"]
    assert book.holdings() == ["600000.XSHG"]
    assert Portfolio(positions={})._positions == {}


@pytest.mark.parametrize("side, expected_cash", [
    ("BUY", 100000.0 - 1005.0),
    ("SELL", 100000.0 + 995.0),
])
def test_cash_moves_by_gross_and_cost(side, expected_cash):
    book = Portfolio(positions={"000001.XSHE": 200})
    book.apply_trade(trade(side=side))
    assert book._cash == expected_cash
    assert book._dividends == 0


def test_trades_update_and_enter_positions():
    book = Portfolio()
    book.apply_trade(trade(price=10.0, quantity=100))
    book.apply_trade(trade(price=13.0, quantity=200))
    pos = book.get_position("000001.XSHE")
    assert (pos.quantity, pos.avg_price) == (300, 12.0)
    book.apply_trade(trade(side="SELL", quantity=300))
    assert "000001.XSHE" in book._positions
    assert book.get_position("000001.XSHE").quantity == 0
    assert book.holdings() == []


def test_unknown_instrument_reads_flat_and_is_not_stored():
    book = Portfolio()
    a, b = book.get_position("600000.XSHG"), book.get_position("600000.XSHG")
    assert a is not b and a.quantity == 0
    assert "600000.XSHG" not in book._positions
    assert Positions()["X"] == Position("X")


def test_split_and_dividend():
    book = Portfolio()
    book.apply_trade(trade(price=10.0, quantity=100, cost=0.0))
    cash = book._cash
    book.apply_split({"000001.XSHE": 2, "600000.XSHG": 3})
    pos = book.get_position("000001.XSHE")
    assert (pos.quantity, pos.avg_price) == (200, 5.0)
    book.apply_dividend({"000001.XSHE": 0.5, "600000.XSHG": 1.0})
    assert book._dividends == 100.0 and book._cash == cash
    assert "600000.XSHG" not in book._positions


def test_closed_position_still_takes_splits_and_dividends():
    book = Portfolio(positions={"A": 100})
    book.apply_trade(trade(oid="A", side="SELL", quantity=100, cost=0.0))
    book.apply_split({"A": 2})
    book.apply_dividend({"A": 1.0})
    assert book.get_position("A").quantity == 0 and book._dividends == 0


@pytest.mark.parametrize("cash, price, cost, expected", [
    (1000, 3, 1, 1000 - 301),                               # ints stay ints
    (Fraction(1000), Fraction(5, 2), Fraction(1, 20), Fraction(14999, 20)),
])
def test_arithmetic_keeps_the_callers_number_types(cash, price, cost, expected):
    book = Portfolio(cash)
    book.apply_trade(SimpleNamespace(order_book_id="A", side="BUY", last_price=price,
                                     last_quantity=100, transaction_cost=cost))
    assert book._cash == expected and type(book._cash) is type(expected)


def test_split_twice_in_one_call_compounds():
    class Twice:
        def items(self):
            return [("A", 2), ("A", 3)]
    book = Portfolio(positions={"A": 10})
    book.get_position("A").avg_price = 6.0
    book.apply_split(Twice())
    assert (book.get_position("A").quantity, book.get_position("A").avg_price) == (60, 1.0)


def _bad_trade(book):
    book.apply_trade(trade(side="SELL", quantity=500))          # more than held


def _bad_new_trade(book):
    book.apply_trade(trade(oid="NEW.XSHG", side="SELL", quantity=1))


def _trade_without_cost(book):
    book.apply_trade(SimpleNamespace(order_book_id="000001.XSHE", side="BUY",
                                     last_price=1.0, last_quantity=1))


def _position_that_fails_half_way(book):
    class Broken(SimpleNamespace):
        def apply_trade(self, t):
            self.quantity = 10**6
            raise RuntimeError("boom")
    book._positions["B"] = Broken(quantity=5, avg_price=2.0)
    try:
        book.apply_trade(trade(oid="B"))
    finally:
        assert (book._positions["B"].quantity, book._positions["B"].avg_price) == (5, 2.0)
        del book._positions["B"]


@pytest.mark.parametrize("operation, error", [
    (_bad_trade, ValueError),
    (_bad_new_trade, ValueError),
    (_trade_without_cost, AttributeError),
    (_position_that_fails_half_way, RuntimeError),
    (lambda b: b.apply_split({"000001.XSHE": 2, "600000.XSHG": 0}), ValueError),
    (lambda b: b.apply_trade(trade(side="buy")), ValueError),  # only "BUY" and "SELL"
    (lambda b: b.apply_split({"000001.XSHE": 2, "600000.XSHG": "x"}), TypeError),
    (lambda b: b.apply_dividend({"000001.XSHE": 0.5, "600000.XSHG": "x"}), TypeError),
    (lambda b: b.apply_dividend(SimpleNamespace(items=lambda: [("000001.XSHE", 1), (1, 2, 3)])),
     ValueError),
    (lambda b: b.apply_split(SimpleNamespace(items=lambda: [("000001.XSHE", 2), 7])), TypeError),
    (lambda b: b.apply_dividend(None), AttributeError),
])
def test_failed_operations_change_nothing(operation, error):
    book = Portfolio(positions={"000001.XSHE": 100, "600000.XSHG": 200})
    book.apply_trade(trade(price=10.0, quantity=100))
    before = copy.deepcopy(state(book))
    with pytest.raises(error):
        operation(book)
    assert state(book) == before


def test_books_with_a_replaced_position_class(monkeypatch):
    class Tagged(Position):
        pass
    monkeypatch.setattr(portfolio, "Position", Tagged)
    book = Portfolio(positions={"A": 1})
    assert type(book.get_position("A")) is Tagged and type(book.get_position("Z")) is Tagged


def test_subclass_extends_the_book():
    class Audited(Portfolio):
        def __init__(self, *args):
            super().__init__(*args)
            self.log = []

        def apply_trade(self, t):
            self.log.append(t.order_book_id)
            super().apply_trade(t)

    book = Audited(1000.0)
    book.apply_trade(trade(price=1.0, quantity=10, cost=0.0))
    assert book.log == ["000001.XSHE"] and book._cash == 990.0


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("operation, error, words", [
    # Values that would corrupt the book are refused at the door, naming them.
    (lambda b: b.apply_trade(trade(side="SELL", price=NAN)), ValueError, ["last_price", "nan"]),
    (lambda b: b.apply_trade(trade(side="SELL", price=-1.0)), ValueError, ["-1.0"]),
    (lambda b: b.apply_trade(trade(cost=NAN)), ValueError, ["transaction_cost", "nan"]),
    (lambda b: b.apply_trade(trade(cost=-5)), ValueError, ["transaction_cost", "-5"]),
    (lambda b: b.apply_trade(trade(quantity=INF)), ValueError, ["last_quantity", "inf"]),
    (lambda b: b.apply_trade(trade(side=None)), ValueError, ["side", "None"]),
    (lambda b: b.apply_trade(trade(price="10")), TypeError, ["'10'"]),
    (lambda b: b.apply_split({"A": NAN}), ValueError, ["'A'", "nan"]),
    (lambda b: b.apply_split({"A": -2}), ValueError, ["-2"]),
    (lambda b: b.apply_split({"A": INF}), ValueError, ["inf"]),
    (lambda b: b.apply_split({"A": 2, "NOT.HELD": 0}), ValueError, ["'NOT.HELD'"]),
    (lambda b: b.apply_dividend({"A": 1.0, "NOT.HELD": NAN}), ValueError, ["nan"]),
    (lambda b: b.apply_dividend({"A": True}), TypeError, ["True"]),
    # Finite values whose result would overflow.
    (lambda b: b.apply_trade(trade(price=1e308, quantity=10)), ValueError, ["cash", "inf"]),
    (lambda b: b.apply_split({"A": 1e307, "000001.XSHE": 2}), ValueError, ["quantity", "inf"]),
    (lambda b: b.apply_dividend({"A": 1e307}), ValueError, ["dividend income", "inf"]),
])
def test_values_that_would_corrupt_the_book_are_refused(operation, error, words):
    book = Portfolio(positions={"A": 100, "000001.XSHE": 100})
    before = copy.deepcopy(state(book))
    with pytest.raises(error) as info:
        operation(book)
    assert all(word in str(info.value) for word in words), str(info.value)
    assert state(book) == before


@pytest.mark.parametrize("cash, positions, error, words", [
    (None, None, TypeError, ["cash", "None"]),
    (NAN, None, ValueError, ["cash", "nan"]),
    (True, None, TypeError, ["True"]),
    (0, {"A": "100"}, TypeError, ["'A'", "'100'"]),
    (0, {"B": NAN}, ValueError, ["'B'", "nan"]),
    (0, {"C": -100}, ValueError, ["'C'", "-100"]),
])
def test_a_book_opens_only_on_sound_values(cash, positions, error, words):
    with pytest.raises(error) as info:
        Portfolio(cash, positions)
    assert all(word in str(info.value) for word in words), str(info.value)


def test_a_table_given_as_positions_is_refused_plainly():
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError) as info:
        Portfolio(positions=pd.DataFrame({"A": [100]}))
    assert "pybind11" not in str(info.value) and "quantity" in str(info.value)


def test_other_number_types_and_negative_cash_are_accepted():
    from decimal import Decimal
    import numpy as np
    book = Portfolio(Decimal("-10.5"), {"A": np.int64(100), "B": Fraction(1, 2)})
    assert book.holdings() == ["A", "B"]


@pytest.mark.parametrize("quantity, ratios, sell, left", [
    (700, [1.4], 980, 0),              # 700 x 1.4 is 979.9999999999999 in floats
    (100, [1.1], 110, 0),              # would leave a ghost of 1.4e-14 shares
    (100, [1.5, 1.5], 225, 0),
    (10, [2], 20, 0),                  # exact ints stay ints
    (3, [Fraction(1, 3)], 1, 0),       # exact types are never rounded
])
def test_float_splits_leave_whole_shares(quantity, ratios, sell, left):
    book = Portfolio(positions={"A": quantity})
    for ratio in ratios:
        book.apply_split({"A": ratio})
    book.apply_trade(trade(oid="A", side="SELL", quantity=sell, price=1.0))
    assert book.get_position("A").quantity == left and book.holdings() == []
