# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Deposits and withdrawals of a portfolio: units of a time-weighted unit value, and
the money-weighted return.
"""

from typing import Any

import pandas as pd

def unit_values(values: pd.Series, flows: pd.Series | None = None) -> tuple[pd.Series, pd.Series]:
    """The units outstanding and the unit value of a portfolio day by day, so that money
    put in or taken out is never counted as return.

    values: the portfolio's value at each day's close, after that day's flows (a
    pandas Series of floats on ascending dates, each date once). flows: the net money
    put in (positive) or taken out (negative) by date, a Series whose dates must all
    be dates of `values` (move a flow on a day without trading to the next trading
    day first); several flows on one date add up. None: no flows.

    The first value is the opening value: it buys units at 1.0 (flows dated on the
    first day are already in it). Each later flow buys units, or redeems them when
    negative, at the unit value of the close of the day before; the unit value of a
    day is its value divided by the units then outstanding. While no units are held
    (from an opening value of 0 to the first deposit, or after everything was
    withdrawn: a withdrawal that leaves less than a billionth of the units counts as
    everything) there is no unit value (NaN); the next deposit buys at the last unit
    value there was (1.0 if none). A withdrawal that leaves a value of 0 at the close
    but is worth more or less than the close before (everything sold that day and
    taken out) redeems every unit at the day's close instead, the withdrawal over the
    units held, which is that day's unit value and the last there was.

    Returns (units, unit_value), two float64 Series on the index of `values`, named
    "units" and "unit_value". Refused: an argument that is not a Series or has labels
    that are not dates (TypeError); a value or flow that is NaN or infinite, dates of
    `values` out of order or repeated, a flow on a date `values` does not have, a
    withdrawal of more than the portfolio was worth that leaves something in it, a
    flow when the portfolio was
    worth nothing at the close before it, a value below 0, the opening value
    included (ValueError naming the date and the amounts).
    """

def money_weighted_return(values: pd.Series, flows: pd.Series | None = None) -> float:
    """The money-weighted return of a portfolio: the rate at which the money put in and
    the value at the end balance, timing of the flows included.

    values and flows as for unit_values. The opening value values.iloc[0] goes in on
    the first date (its own day's flows are already in it), each later date's flows
    at their date, and the last value comes out on the last date; time counts in
    calendar days over the dates the money was in (invested_window: from the first
    date money is in to the last, or to the date the account was emptied when it
    stays empty to the end), and the span is the days from the one to the other.
    The annual rate r in (-1, 10) at which these amounts, discounted by
    (1 + r) ** (days / 365), sum to 0 is returned for a span of 365 days or more;
    for a shorter span, the return over the span, (1 + r) ** (days / 365) - 1, since
    annualising a few weeks magnifies them; where that annual rate would lie beyond
    10 (a day's 1 %, a week's 5 %) and the amounts change sign once, the return over
    the span is sought directly, in (-1, 10). A fraction (0.05 is 5 %). NaN when no
    rate, or more than one, balances the amounts (money only ever went in, say), or
    when there are fewer than two amounts that are not 0. Refused as for unit_values,
    but for the flows it could not count in units (a withdrawal of more than the
    portfolio was worth, a flow into a portfolio worth nothing); an empty `values`
    raises meridan.EmptyInputError (a ValueError and an IndexError).
    """

def invested_window(values: pd.Series, flows: pd.Series | None = None) -> Any:
    """The first and last dates the money was in, which money_weighted_return counts
    its span between: the first date of `values`, or with an opening value of 0 the
    date of the first flow; the last date of `values`, or the date the account was
    emptied (a withdrawal of everything, or a loss of it) when it stays empty, with
    no flow, to the end.

    values and flows as for unit_values. Returns a tuple of two labels of `values`.
    Refused as for money_weighted_return.
    """
