# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Risk figures of a daily return series against a benchmark."""

import pandas as pd

class Risk:
    """Risk figures of daily returns against a benchmark's daily returns of the same
    days, computed once when the object is built.

    returns, benchmark_returns: daily returns as fractions (0.01 is 1 %), numpy
        arrays, pandas Series (only the values are read) or lists of equal length.
        A day where either value is missing (NaN, None) is left out of every figure;
        n below is the number of days left.
    risk_free_rate: the annual risk-free rate as a fraction (0.025 is 2.5 %).
    annualization: trading days in a year, A (244 on the A-share market). The daily
        risk-free rate is rf_d = risk_free_rate / A.

    Attributes (Python floats; NaN when a figure is undefined for the data: no days,
    one day for a standard deviation, a zero variance or deviation in a
    denominator):
    annual_return: (prod(1 + r)) ** (A / n) - 1, the compound return over a year.
    beta: cov(r, b) / var(b), sample estimates (ddof 1).
    alpha: Jensen's alpha, annual_return - (rate + beta * (annual return of b -
        rate)).
    sharpe: mean(r - rf_d) / std(r - rf_d, ddof 1) * sqrt(A).
    sortino: mean(r - rf_d) * A / downside_risk, where downside_risk =
        sqrt(mean(min(r - rf_d, 0) ** 2)) * sqrt(A), the mean taken over all n days.
    max_drawdown: the largest fall of the compounded value (1 before the first
        day) from its running peak, a positive fraction (0.2 for a 20 % fall).
    var: one-day historical value at risk at 95 %: minus the 5th percentile of r
        (linear interpolation), a loss as a positive fraction.
    volatility: std(r, ddof 1) * sqrt(A).
    tracking_error: std(r - b, ddof 1) * sqrt(A).
    information_ratio: mean(r - b) * A / tracking_error.
    downside_risk: as above, the annualised deviation below the risk-free rate.
    calmar: annual_return / max_drawdown.
    win_rate: the share of the n days on which r is above b.
    """
    annual_return: float
    alpha: float
    beta: float
    sharpe: float
    sortino: float
    max_drawdown: float
    var: float
    volatility: float
    tracking_error: float
    information_ratio: float
    downside_risk: float
    calmar: float
    win_rate: float
    def __init__(
        self,
        returns: pd.Series,
        benchmark_returns: pd.Series,
        risk_free_rate: float,
        annualization: int = 244,
    ) -> None:
        """Computes every figure of `returns` against `benchmark_returns` (see the class)."""
