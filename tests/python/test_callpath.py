"""The call path of the extension modules: functions that behave like Python
functions, and C++ calls of our own methods that still honour Python overrides."""

import inspect
import pickle

import pytest

from meridan import _callpath
from meridan.pcalc.portfolio import Portfolio
from meridan.pcalc.trade import Trade


class Loud(_callpath.Probe):
    def ping(self, x):
        return ("loud", x)


def test_cpp_calls_honour_overrides():
    probe = _callpath.Probe()
    assert _callpath.call_ping(probe, 7, 3) == 7
    assert _callpath.call_ping(Loud(), 7, 3) == ("loud", 7)
    probe.ping = lambda x: ("instance", x)  # an instance attribute shadows the method
    assert _callpath.call_ping(probe, 7, 1) == ("instance", 7)
    with pytest.raises(AttributeError):
        _callpath.call_ping(object(), 1, 1)


def test_functions_look_like_python_functions():
    method = Portfolio.holdings
    assert Portfolio.__dict__["holdings"] is method  # unbound on the class
    book = Portfolio()
    bound = book.holdings
    assert bound.__self__ is book and bound.__func__ is method
    assert (method.__name__, method.__qualname__, method.__module__) == (
        "holdings", "Portfolio.holdings", "meridan.pcalc.portfolio")
    assert str(inspect.signature(bound)) == "()"
    assert "quantity is not 0" in method.__doc__
    assert repr(method) == "<function Portfolio.holdings>"


def test_a_subclass_overrides_a_method_used_by_the_book():
    calls = []

    class Audited(Portfolio):
        def holdings(self):
            calls.append(1)
            return super().holdings()

    book = Audited(positions={"A": 1})
    assert book.holdings() == ["A"] and calls == [1]


def test_trade_record_behaves_like_a_frozen_record():
    fields = dict(datetime=1, order_book_id="A", symbol="a", last_price=1.0,
                  last_quantity=1, side="BUY", transaction_cost=0.0)
    trade = Trade(**fields)
    assert pickle.loads(pickle.dumps(trade)) == trade
    with pytest.raises(AttributeError, match="cannot assign to field 'side'"):
        trade.side = "SELL"
    with pytest.raises(TypeError, match="missing required keyword argument 'side'"):
        Trade(**{k: v for k, v in fields.items() if k != "side"})
    with pytest.raises(TypeError, match="got multiple values|unexpected keyword"):
        Trade(**fields, price=1)

    class Tagged(Trade):
        pass

    tagged = Tagged(**fields)
    assert "Tagged(datetime=1, " in repr(tagged) and tagged != trade
    assert str(inspect.signature(Trade)).startswith("(*, datetime, order_book_id")


def test_a_value_the_binding_cannot_read_is_a_plain_type_error():
    with pytest.raises(TypeError) as info:
        _callpath.call_ping(_callpath.Probe(), 1, "many")
    message = str(info.value)
    assert message.startswith("call_ping() got a value of an unexpected type")
    assert "'str'" in message and "PYBIND11" not in message
