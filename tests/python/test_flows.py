"""Unit values and the money-weighted return of a portfolio whose account received
deposits and paid out withdrawals."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import meridan
from meridan import flows

DAYS = pd.bdate_range("2024-01-02", periods=400)


@st.composite
def value_series(draw, min_size=2, max_size=60, move=0.2):
    """Closes of a portfolio that grows by random daily returns up to `move`, no
    flows."""
    returns = draw(st.lists(st.floats(-move, move), min_size=min_size - 1,
                            max_size=max_size - 1))
    opening = draw(st.floats(1.0, 1e7))
    values = opening * np.cumprod([1.0] + [1.0 + r for r in returns])
    return pd.Series(values, index=DAYS[:len(values)])


@settings(max_examples=60, deadline=None)
@given(value_series())
def test_without_flows_the_unit_value_is_the_growth_since_the_opening(values):
    units, unit_value = flows.unit_values(values)
    assert (units.name, unit_value.name) == ("units", "unit_value")
    assert units.index.equals(values.index) and unit_value.dtype == np.float64
    np.testing.assert_allclose(units, values.iloc[0], rtol=0)
    np.testing.assert_allclose(unit_value, values / values.iloc[0], rtol=1e-14)


@settings(max_examples=60, deadline=None)
@given(value_series(min_size=3), st.data())
def test_a_deposit_changes_the_units_and_never_the_unit_value(values, data):
    k = data.draw(st.integers(1, len(values) - 1))
    deposit = data.draw(st.floats(-0.9, 10.0)) * values.iloc[k - 1]
    assume(deposit != 0)
    flow = pd.Series([deposit], index=[values.index[k]])
    _, plain = flows.unit_values(values)
    # Invested alongside the portfolio from the close before its day, the money
    # scales every later value: the unit value is the same series.
    invested = values.copy()
    invested.iloc[k:] *= 1 + deposit / values.iloc[k - 1]
    _, unit_value = flows.unit_values(invested, flow)
    np.testing.assert_allclose(unit_value, plain, rtol=1e-12)
    # Held as idle cash on a day the rest is flat, the value jumps by the deposit
    # alone: that day's unit value is the day before's.
    idle = values.copy()
    idle.iloc[k] = values.iloc[k - 1] + deposit
    _, unit_value = flows.unit_values(idle, flow)
    assert unit_value.iloc[k] == pytest.approx(unit_value.iloc[k - 1], rel=1e-12)


def test_the_unit_value_chains_the_returns_between_flows():
    # 1000 opens; +10 %; 500 deposited, close 1650; 300 withdrawn, close 1300;
    # everything withdrawn; 500 deposited again, close 550. Money moves at the start
    # of its day, so a day's return is its close over the close before plus the flow.
    values = pd.Series([1000.0, 1100, 1650, 1300, 0, 550], index=DAYS[:6])
    moved = pd.Series([500.0, -200, -100, -1300, 500], index=DAYS[[2, 3, 3, 4, 5]])
    units, unit_value = flows.unit_values(values, moved)
    chained = np.cumprod([1.0, 1100 / 1000, 1650 / (1100 + 500), 1300 / (1650 - 300)])
    np.testing.assert_allclose(unit_value.iloc[:4], chained, rtol=1e-14)
    assert units.iloc[4] == 0 and math.isnan(unit_value.iloc[4])
    # The new deposit buys at the last unit value there was and earns 10 %.
    assert unit_value.iloc[5] == pytest.approx(chained[3] * 1.1, rel=1e-14)
    assert units.iloc[5] == pytest.approx(500 / chained[3], rel=1e-14)


def bisect_rate(amounts, days):
    """The rate balancing the amounts, by plain bisection on (-1, 10)."""
    def npv(r):
        return sum(a * (1 + r) ** (-t / 365) for a, t in zip(amounts, days))
    lo, hi = -1 + 1e-9, 10.0
    if npv(lo) * npv(hi) >= 0:
        return None
    for _ in range(200):
        mid = (lo + hi) / 2
        if npv(mid) * npv(lo) > 0:
            lo = mid
        else:
            hi = mid
    return lo


@settings(max_examples=60, deadline=None)
@given(value_series(min_size=2, max_size=400, move=0.02), st.data())
def test_the_money_weighted_return_balances_the_flows(values, data):
    # Flows of -50 % to +200 % of the value the day before, added to every later
    # value as if invested in cash.
    n = len(values)
    moved = {i: f * values.iloc[i - 1] for i, f in data.draw(
        st.dictionaries(st.integers(1, n - 1), st.floats(-0.5, 2.0), max_size=5)).items()}
    values = values + pd.Series(moved, dtype=float).reindex(range(n), fill_value=0.0) \
        .cumsum().to_numpy()
    assume(values.min() > 0)  # withdrawals that add up to more than there is are refused
    flow = pd.Series(list(moved.values()), index=values.index[list(moved)], dtype=float)
    amounts = [values.iloc[0]] + list(moved.values()) + [-values.iloc[-1]]
    days = [0] + [(values.index[i] - values.index[0]).days for i in moved]
    span = (values.index[-1] - values.index[0]).days
    days.append(span)
    # A single change of sign of the running total in time order makes the rate
    # unique; keep rates well inside the range searched.
    order = np.argsort(days, kind="stable")
    running = np.cumsum(np.asarray(amounts)[order])
    assume(np.count_nonzero(np.diff(np.sign(running[running != 0]))) == 1)
    rate = bisect_rate(amounts, days)
    if rate is not None and -0.95 < rate < 9.5:
        expected = rate if span >= 365 else (1 + rate) ** (span / 365) - 1
    else:
        # Beyond the annual search (a strong day or week): a short window whose
        # amounts change sign once, so that one rate alone balances them, is solved
        # with time counted in windows.
        by_day = pd.Series(amounts).groupby(days).sum()
        signs = np.sign(by_day[by_day != 0].to_numpy())
        assume(0 < span < 365 and np.count_nonzero(np.diff(signs)) == 1)
        expected = bisect_rate(amounts, [t * 365 / span for t in days])
        assume(expected is not None and -0.95 < expected < 9.5)
    got = flows.money_weighted_return(values, flow)
    assert got == pytest.approx(expected, rel=1e-9, abs=1e-12)


V = pd.Series([100.0, 110.0, 120.0], index=DAYS[:3])
NAN, INF = float("nan"), float("inf")


# Withdrawals, deposits and openings that cannot be counted in units are refused by
# unit_values; the rest by both functions.
@pytest.mark.parametrize("values, moved, error, words", [
    (V.set_axis(DAYS[[0, 2, 1]]), None, ValueError, ["2024-01-03 follows 2024-01-04"]),
    (V.set_axis(DAYS[[0, 1, 1]]), None, ValueError, ["2024-01-03 appears twice"]),
    (pd.Series([100.0, NAN, 1], DAYS[:3]), None, ValueError, ["value nan on 2024-01-03"]),
    (V, pd.Series([INF], [DAYS[1]]), ValueError, ["flow inf on 2024-01-03"]),
    (V, pd.Series([5.0], [pd.Timestamp("2024-01-06")]), ValueError,
     ["flow 5.0 on 2024-01-06", "values does not have"]),
    (V, pd.Series([-111.0], [DAYS[2]]), ValueError,
     ["withdrawal of 111.0 on 2024-01-04", "110.0", "2024-01-03"]),
    (pd.Series([100.0, 0.0, 5.0], DAYS[:3]), pd.Series([5.0], [DAYS[2]]), ValueError,
     ["deposit of 5.0 on 2024-01-04", "worth 0.0 at the close of 2024-01-03"]),
    (pd.Series([0.0, 0.0], DAYS[:2]), pd.Series([-1.0], [DAYS[1]]), ValueError,
     ["withdrawal of 1.0 on 2024-01-03", "held nothing"]),
    (pd.Series([-5.0, 1.0], DAYS[:2]), None, ValueError, ["opens with -5.0 on 2024-01-02"]),
    (pd.Series([100.0, -5.0, 100.0], DAYS[:3]), None, ValueError,
     ["value -5.0 on 2024-01-03", "cannot be negative"]),
    ([100.0, 110.0], None, TypeError, ["pandas Series", "list"]),
    (pd.Series([100.0, 110.0]), None, TypeError, ["label 0 is the number 0"]),
    (V, pd.Series([1.0], ["x"]), TypeError, ["flows", "the text 'x'"]),
])
def test_refusals_name_the_date_and_the_amount(values, moved, error, words):
    in_units = any(w in " ".join(words) for w in ("withdrawal", "deposit", "opens"))
    for function in (flows.unit_values,) + (() if in_units else (
            flows.money_weighted_return, flows.invested_window)):
        with pytest.raises(error) as info:
            function(values, moved)
        assert all(word in str(info.value) for word in words), str(info.value)


@pytest.mark.parametrize("values, moved, window", [
    ([100, 110, 121], {}, (0, 2)),
    ([0, 0, 100, 110], {2: 100}, (2, 3)),         # nothing in before the deposit
    ([100, 105, 0, 0, 0], {2: -110}, (0, 2)),     # emptied, and empty to the end
    ([100, 50, 0, 0], {}, (0, 2)),                # everything lost: that day stays
    ([100, 0, 0, 50, 55], {1: -100, 3: 50}, (0, 4)),  # emptied, then money in again
])
def test_the_money_weighted_return_counts_the_days_the_money_was_in(values, moved, window):
    # The figure over the whole series is the figure over the days the money was in:
    # days with nothing invested neither earn nor stretch the window.
    days = DAYS[::60][:len(values)]
    v = pd.Series(values, days, dtype=float)
    f = pd.Series(list(moved.values()), days[list(moved)], dtype=float)
    first, last = days[window[0]], days[window[1]]
    assert flows.invested_window(v, f) == (first, last)
    inside = f[(f.index > first) & (f.index <= last)]
    got, expected = (flows.money_weighted_return(v, f),
                     flows.money_weighted_return(v[first:last], inside))
    assert got == pytest.approx(expected, abs=1e-14) or math.isnan(got) and math.isnan(expected)


def test_an_empty_series_has_no_units_and_no_money_weighted_return():
    empty = pd.Series([], index=pd.DatetimeIndex([]), dtype=float)
    units, unit_value = flows.unit_values(empty)
    assert len(units) == len(unit_value) == 0
    for function in (flows.money_weighted_return, flows.invested_window):
        with pytest.raises(meridan.EmptyInputError, match="values is empty"):
            function(empty)
