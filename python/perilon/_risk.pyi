# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Risk figures of a daily return series against a benchmark."""

from typing import Any

import pandas as pd

class Risk:
    """Risk figures of daily returns against a benchmark's daily returns of the same
    days: the attributes listed first are computed once when the object is built,
    the others when first read.

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

    Computed on first access (the same definitions of n, A and rf_d):
    skewness: population skewness of r, m3 / m2 ** 1.5 with m_k = mean((r -
        mean(r)) ** k).
    kurtosis: population excess kurtosis of r, m4 / m2 ** 2 - 3 (0 for a normal
        distribution).
    up_capture: over the days on which b rose (b > 0), the annual return of r
        ((prod(1 + r)) ** (A / k) - 1 over those k days) over that of b.
    down_capture: the same over the days on which b fell (b < 0).
    tail_ratio: the 95th percentile of r over the absolute value of its 5th (linear
        interpolation).
    stability: R squared of the least-squares line through the log of the
        compounded value, log(prod(1 + r[:i + 1])), against the day number i =
        0 .. n - 1.
    Methods: value_at_risk(confidence=0.95), expected_shortfall(confidence=0.95),
    omega(threshold=None).
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
    skewness: float
    kurtosis: float
    up_capture: float
    down_capture: float
    tail_ratio: float
    stability: float
    _input: Any
    def __init__(
        self,
        returns: pd.Series,
        benchmark_returns: pd.Series,
        risk_free_rate: float,
        annualization: int = 244,
    ) -> None:
        """Computes every figure of `returns` against `benchmark_returns` (see the class)."""
    def value_at_risk(self, confidence: Any = 0.95) -> Any:
        """One-day historical value at risk: minus the (1 - confidence) quantile of the
        returns (linear interpolation between order statistics, numpy's default), a
        loss as a positive fraction. confidence lies strictly between 0 and 1;
        value_at_risk(0.95) equals `var`. NaN without returns.
        """
    def expected_shortfall(self, confidence: Any = 0.95) -> Any:
        """One-day expected shortfall: minus the mean of the returns at or below the
        (1 - confidence) quantile (linear interpolation), the average loss on the days
        at or beyond the value at risk, a positive fraction for a loss. confidence lies
        strictly between 0 and 1. NaN without returns.
        """
    def omega(self, threshold: Any = None) -> Any:
        """Omega ratio about a daily `threshold` (a fraction; None: the daily risk-free
        rate rf_d = risk_free_rate / A): sum(max(r - threshold, 0)) /
        sum(max(threshold - r, 0)), the gains above the threshold per unit of losses
        below it. NaN when no return lies below the threshold.
        """
