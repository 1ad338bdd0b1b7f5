"""Risk figures of a daily return series against a benchmark's daily returns.

``Risk(returns, benchmark_returns, risk_free_rate, annualization=244)`` computes, once,
the annual return, alpha, beta, Sharpe and Sortino ratios, maximum drawdown, one-day
value at risk, volatility, tracking error, information ratio, downside risk, Calmar
ratio and win rate, each an attribute (a Python float). Returns and rates are
fractions; see ``help(perilon.Risk)`` for the definitions.
"""

from perilon._risk import Risk

__all__ = ["Risk"]
