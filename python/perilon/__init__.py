"""Risk figures of a daily return series against a benchmark's daily returns.

``Risk(returns, benchmark_returns, risk_free_rate, annualization=244)`` computes, once,
the annual return, alpha, beta, Sharpe and Sortino ratios, maximum drawdown, one-day
value at risk, volatility, tracking error, information ratio, downside risk, Calmar
ratio and win rate, each an attribute (a Python float). The shape of the return
distribution and how the portfolio follows its benchmark (``skewness``, ``kurtosis``,
``up_capture``, ``down_capture``, ``tail_ratio``, ``stability``) are computed when first
read, and ``value_at_risk(confidence)``, ``expected_shortfall(confidence)`` and
``omega(threshold)`` when called. Returns and rates are fractions; see
``help(perilon.Risk)`` for the definitions.
"""

from perilon._risk import Risk

__all__ = ["Risk"]
