"""Malformed values of every kind reach every public function of the compiled modules;
only ordinary Python exceptions may come out (never a crash or a SystemError).

Later modules add their functions to CALLS."""

import datetime as dt
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from meridan.pcalc import preprocess
from meridan.pcalc.portfolio import Portfolio
from meridan.quotes import CachedMarketDataProvider, MarketDataProvider
from meridan.statement import normalise_statement

pytestmark = pytest.mark.sanitize

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=2**63, max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=12), st.binary(max_size=4),
    st.sampled_from(["000001.XSHE", "600519.XSHG", "510050.XSHG", "BUY", "SELL", "2016-03-01",
                     "2016-03-05", "none", "pre", "post", float("nan"), pd.NaT, np.int64(7),
                     np.float64("nan"), np.datetime64("2016-03-01"), object()]),
    st.dates(min_value=dt.date(1900, 1, 1), max_value=dt.date(2100, 1, 1)),
    st.datetimes(min_value=dt.datetime(1900, 1, 1), max_value=dt.datetime(2100, 1, 1)).map(pd.Timestamp),
)
containers = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.tuples(inner, inner), st.frozensets(st.integers(), max_size=3),
        st.dictionaries(st.one_of(st.text(max_size=4), st.integers()), inner, max_size=4)),
    max_leaves=8)
unordered_dates = st.lists(st.dates(min_value=dt.date(2015, 1, 1), max_value=dt.date(2018, 12, 31)),
                           min_size=1, max_size=5)


@st.composite
def frames(draw):
    """Tables with the columns the normalisation reads, holding anything."""
    n = draw(st.integers(min_value=0, max_value=4))
    columns = draw(st.lists(st.sampled_from(
        ["order_book_id", "quantity", "datetime", "side", "last_quantity", "last_price",
         "transaction_cost", "other"]), unique=True, max_size=8))
    data = {c: draw(st.lists(scalars, min_size=n, max_size=n)) for c in columns}
    index = draw(st.one_of(st.none(), st.lists(scalars, min_size=n, max_size=n)))
    return pd.DataFrame(data, index=index if index is not None else None, dtype=object)


values = st.one_of(containers, frames(), unordered_dates.map(pd.to_datetime),
                   unordered_dates.map(lambda d: pd.Series(1.0, index=pd.to_datetime(d))),
                   st.builds(SimpleNamespace, order_book_id=scalars, side=scalars,
                             last_price=scalars, last_quantity=scalars, transaction_cost=scalars),
                   st.just(list(range(50_000))))  # a huge container


def _book():
    return Portfolio(1000.0, {"000001.XSHE": 100})


CALLS = {
    "Portfolio": lambda a, b, c: Portfolio(a, b),
    "Portfolio.apply_trade": lambda a, b, c: _book().apply_trade(a),
    "Portfolio.apply_split": lambda a, b, c: _book().apply_split(a),
    "Portfolio.apply_dividend": lambda a, b, c: _book().apply_dividend(a),
    "Portfolio.get_position": lambda a, b, c: _book().get_position(a),
    "Portfolio.holdings": lambda a, b, c: Portfolio(a, b).holdings(),
    "CachedMarketDataProvider": lambda a, b, c: CachedMarketDataProvider(a),
    "get_close_price": lambda a, b, c: CachedMarketDataProvider(c).get_close_price(a, b),
    "get_dividend_per_share": lambda a, b, c: CachedMarketDataProvider(c).get_dividend_per_share(a, b),
    "get_split_coefficient": lambda a, b, c: CachedMarketDataProvider(c).get_split_coefficient(a, b),
    "_fill_price_cache": lambda a, b, c: CachedMarketDataProvider(c)._fill_price_cache(a, b),
    "MarketDataProvider": lambda a, b, c: MarketDataProvider().get_close_price(a, b),
    "fix_positions": lambda a, b, c: preprocess.fix_positions(a),
    "fix_trades": lambda a, b, c: preprocess.fix_trades(a, b),
    "fix_trades(md)": lambda a, b, c: preprocess.fix_trades(a, CachedMarketDataProvider()),
    "fix_backtest_trades": lambda a, b, c: preprocess.fix_backtest_trades(a),
    "normalise_statement": lambda a, b, c: normalise_statement(a),
}


@pytest.mark.parametrize("name", sorted(CALLS))
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                 HealthCheck.too_slow])
@given(a=values, b=values, c=scalars)
def test_only_ordinary_exceptions(market, name, a, b, c):
    try:
        CALLS[name](a, b, c)
    except SystemError:
        raise
    except Exception:
        pass


def _state(book):
    # repr keeps NaN == NaN and tells 1 from 1.0.
    return repr((book._cash, book._dividends,
                 [(k, p.quantity, p.avg_price) for k, p in book._positions.items()]))


def _sound(value):
    try:
        return np.isfinite(float(value))
    except (TypeError, ValueError, OverflowError):
        return False


@pytest.mark.parametrize("operation", ["apply_trade", "apply_split", "apply_dividend"])
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(a=values)
def test_the_book_refuses_whole_or_stays_sound(market, operation, a):
    book = Portfolio(1000.0, {"000001.XSHE": 100, "600519.XSHG": 50})
    before = _state(book)
    try:
        getattr(book, operation)(a)
    except Exception:
        assert _state(book) == before
        return
    assert _sound(book._cash) and _sound(book._dividends)
    for position in book._positions.values():
        assert _sound(position.quantity) and float(position.quantity) >= 0
        assert _sound(position.avg_price) and position.avg_price >= 0
