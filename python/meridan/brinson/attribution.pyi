# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Brinson attribution over several periods, linked so that the effects add up."""

from typing import Any

import pandas as pd

class Attribution(tuple):
    """Attribution(table, periods, holdings)"""
    _fields: tuple[str, ...]
    _field_defaults: dict[Any, Any]
    _make: classmethod
    table: Any
    periods: Any
    holdings: Any

def attribute(
    portfolio_series: Any,
    benchmark: Any,
    classifier: Any,
    start_date: Any,
    end_date: Any,
    md: Any,
    method: str = 'BHB',
    linking: Any = 'carino',
    flows: pd.Series | None = None,
) -> Any:
    """Brinson attribution over a range whose effects add up to the active return.

    portfolio_series: snapshots in date order (as for calc), those dated from
    start_date to end_date (calendar days, both included) attributed against
    `benchmark` by the sectors of `classifier`; `md` supplies split coefficients.
    method: "BHB" (Brinson-Hood-Beebower) or "BF" (Brinson-Fachler). linking: how
    the periods' effects are carried over the range, "carino", "menchero",
    "grap", "frongello" or "scaled" (weights averaged over time and returns
    linked by growth, as calc does, the effects taken once on the result). flows:
    the net money put in (positive) or taken out by date, a Series (None: none);
    flows dated in the range must fall on a snapshot's date.

    Periods are the runs of unchanged holdings (splits aside), also cut at every
    flow day. A period's return is the unit value at its last close over the unit
    value at the last close of the period before (for the first, the range's first
    close) minus 1, so flows are never return; its sector returns (the first
    snapshot's weights, the stocks' compound returns) are scaled so that their
    weighted sum is that return. The benchmark is read over the same periods (runs
    of unchanged constituents within a period linked), its returns scaled to the
    benchmark's change over the period. A sector the portfolio does not hold in a
    period takes the benchmark's return, so its selection and interaction are 0.
    The linked effects add up to the compounded portfolio return minus the
    compounded benchmark return.

    Returns a named tuple (table, periods, holdings), fractions throughout:
    table: calc's layout (rows "现金", the sectors, "总计") with the weights
    averaged over time, the returns linked, and the linked effects; periods:
    indexed by (start, sector), the period's weights, returns and the three
    effects; holdings: by order_book_id, for each stock held in the range,
    `contribution` (each period's w r grown with the portfolio's return over the
    periods before, so that they add up to the portfolio's return) and
    `active_contribution` (the linked (w - wb)(r - R_b), wb the stock's benchmark
    weight, 0 when it is no member).

    Refused as calc refuses its arguments; a method or linking not listed, or a
    flow that cannot be counted: ValueError naming the value; flows that are not
    a Series by date: TypeError.
    """
