"""The portfolio book: cash, positions, splits and dividends, each operation applied
completely or not at all."""

import copy
import re
import sys
import threading
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import pytest

from meridan.pcalc import portfolio
from meridan.pcalc.portfolio import Portfolio, Positions
from meridan.pcalc.position import Position
from meridan.pcalc.trade import Trade

pytestmark = pytest.mark.sanitize


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
    (Fraction(1000), 2.5, 0.05, 749.95),                    # as Python: a float
    (Decimal("1000"), Decimal("2.5"), Decimal("0.05"), Decimal("749.95")),
    # Floats meeting a Decimal are read as the Decimals of their text.
    (Decimal("1000"), 2.51, 0.1, Decimal("748.9")),
    (1000.0, Decimal("2.51"), 0.1, Decimal("748.9")),
    (1000, 2.51, Decimal("0.1"), Decimal("748.9")),
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


def test_a_decimal_book_keeps_decimals_through_trades_splits_and_dividends():
    book = Portfolio(Decimal("1000"), {"A": 10})
    book.apply_trade(trade(oid="A", price=10.1, quantity=10, cost=0.3))
    book.apply_trade(trade(oid="A", side="SELL", price=Decimal("12.3"), quantity=5,
                           cost=Decimal("0.2")))
    assert book._cash == Decimal("1000") - Decimal("101.3") + Decimal("61.3")
    position = book.get_position("A")
    assert (position.quantity, position.avg_price) == (15, 10.1 / 2)
    book.apply_split({"A": Decimal("1.5")})
    assert position.quantity == Decimal("22.5") and type(position.avg_price) is float
    assert position.avg_price == pytest.approx(10.1 / 3)
    book.apply_dividend({"A": 0.1})
    assert book._dividends == Decimal("2.25") and type(book._cash) is Decimal


@pytest.mark.parametrize("cash, price, named", [
    (Decimal("1000"), Fraction(1, 3), "Decimal('1000') and Fraction(1, 3)"),
    (Fraction(1000), Decimal("2.5"), "Decimal('2.5') and Fraction(1000, 1)"),
])
def test_numbers_that_do_not_mix_are_refused_by_name(cash, price, named):
    book = Portfolio(cash)
    before = state(book)
    with pytest.raises(TypeError, match=re.escape(f"cannot combine {named}: give its")):
        book.apply_trade(trade(oid="A", price=price, quantity=10, cost=0))
    assert state(book) == before


def _concurrently(work, threads=4):
    """Runs `work(i)` in `threads` threads at once, switching between them as often
    as the interpreter can."""
    start = threading.Barrier(threads)

    def run(i):
        start.wait()
        work(i)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join(60)
        assert not any(t.is_alive() for t in pool)
    finally:
        sys.setswitchinterval(interval)


@pytest.mark.parametrize("cash, price, cost, per_share", [
    (Fraction(10**6), Fraction(1, 3), Fraction(1, 7), Fraction(1, 11)),
    (Decimal(10**6), Decimal("0.37"), Decimal("0.13"), Decimal("0.011")),
])
def test_a_book_shared_by_threads_loses_no_update(cash, price, cost, per_share):
    # Arithmetic on these runs Python code, where the interpreter switches threads.
    book = Portfolio(cash, {"A": 1000})
    n = 200

    def work(i):
        for _ in range(n):
            if i % 2:
                book.apply_trade(trade(oid="B", price=price, quantity=2, cost=cost))
            else:
                book.apply_trade(trade(oid="B", side="SELL", price=price, quantity=0,
                                       cost=cost))
            book.apply_dividend({"A": per_share})
    _concurrently(work)
    assert book.get_position("B").quantity == 2 * 2 * n
    assert book._cash == cash - 2 * n * (2 * price + cost) - 2 * n * cost
    assert book._dividends == 4 * n * 1000 * per_share


def test_python_code_run_inside_a_change_may_call_back_into_the_book():
    book = Portfolio(1000)

    class Reentrant(SimpleNamespace):
        def apply_trade(self, t):
            self.seen = (book.holdings(), book.get_position("A").quantity)
            book.apply_dividend({"A": 1})
            self.quantity += t.last_quantity
    book._positions["A"] = position = Reentrant(quantity=5, avg_price=0.0)
    _concurrently(lambda i: book.apply_trade(trade(oid="A", price=1.0, quantity=1,
                                                   cost=0.0)), threads=2)
    assert position.quantity == 7 and book._cash == 998.0 and book._dividends == 5 + 6


@pytest.mark.parametrize("cash, amount, expected", [
    (1000, 250, 1250),                                   # a deposit; ints stay ints
    (1000, -1250, -250),                                 # cash may go below 0
    (Fraction(1000), Fraction(-1, 3), Fraction(2999, 3)),
    (Decimal("1000"), 0.1, Decimal("1000.1")),           # a float meets a Decimal
    (1000.0, Decimal("-0.1"), Decimal("999.9")),
    (1000, 2.5, 1002.5),
])
def test_cash_moves_in_and_out_keeping_the_number_types(cash, amount, expected):
    book = Portfolio(cash, {"A": 100})
    book.apply_cash(amount)
    assert book._cash == expected and type(book._cash) is type(expected)
    assert book.get_position("A").quantity == 100 and book._dividends == 0


@pytest.mark.parametrize("cash, amount, error, words", [
    (1000.0, NAN, ValueError, ["amount", "nan"]),
    (1000.0, -INF, ValueError, ["amount", "-inf"]),
    (1000, Decimal("NaN"), ValueError, ["Decimal('NaN')"]),
    (1000.0, "100", TypeError, ["'100'"]),
    (1000.0, None, TypeError, ["None"]),
    (1000.0, True, TypeError, ["True"]),
    (1e308, 1e308, ValueError, ["cash would become inf", "1e+308"]),
    (Decimal("1000"), Fraction(1, 3), TypeError, ["Decimal('1000') and Fraction(1, 3)"]),
])
def test_a_cash_movement_that_would_corrupt_the_book_changes_nothing(cash, amount, error,
                                                                      words):
    book = Portfolio(cash, {"A": 100})
    before = copy.deepcopy(state(book))
    with pytest.raises(error) as info:
        book.apply_cash(amount)
    assert all(word in str(info.value) for word in words), str(info.value)
    assert state(book) == before


def test_a_copied_book_is_a_book_of_its_own():
    # A what-if trade on a copy leaves the original's shares and cash as they were.
    book = Portfolio(10000.0, {"000001.XSHE": 1000})
    for what_if in (copy.copy(book), copy.deepcopy(book)):
        what_if.apply_trade(trade(quantity=500))
        assert (book._cash, book._positions["000001.XSHE"].quantity) == (10000.0, 1000)
    assert repr(book) == "Portfolio(cash=10000.0, dividends=0, positions={'000001.XSHE': 1000})"


def test_numpy_quantities_read_as_plain_numbers_in_messages():
    # Split coefficients come from market data as numpy numbers.
    import numpy as np

    book = Portfolio(0, {"000001.XSHE": 1000})
    book.apply_split({"000001.XSHE": np.float64(1.3)})
    with pytest.raises(ValueError) as info:
        book.apply_trade(trade(side="SELL", quantity=5000))
    assert "np." not in str(info.value) and "1300.0" in str(info.value)
