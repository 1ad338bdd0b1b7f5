"""Profit-and-loss and style analysis of a five-year daily portfolio value series, each
beside the same computation written plainly with pandas (and statsmodels), timed in
the same run. The market data is the generated sample market the real client opens by
default (000300.XSHG closes, previous trading dates, factor returns over 2013-2017),
read through the recording proxy of the tests with the replies prepared ahead of the
timed calls, and the time spent inside the client is left out of every figure. Rounds of
ours and of the baseline alternate, and the median round counts, so that load from
elsewhere on the machine falls on both alike; linear algebra runs on one thread unless
the environment says otherwise (threads fighting over busy cores make the regressions'
time erratic).

    python bench/bench_profit_style.py
"""

import os

for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import pathlib
import statistics
import sys
import time

import numpy as np
import pandas as pd
from dateutil.relativedelta import relativedelta

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
import recording_tickvane  # noqa: E402
from pandas_style import style_reference  # noqa: E402

INDEX = "000300.XSHG"
PROFIT_CALLS, STYLE_CALLS, ROUNDS = 200, 10, 7


def build_market(proxy):
    calendar = pd.DatetimeIndex(proxy.get_trading_dates("2013-01-04", "2017-12-29"))
    rng = np.random.default_rng(3)
    # The portfolio is valued on every calendar day, weekends included, so both
    # analyses align it on the trading calendar.
    days = pd.date_range(calendar[0], calendar[-1])
    series = pd.Series(1e7 * np.exp(np.cumsum(rng.normal(0.0003, 0.01, len(days)))),
                       index=days)
    start, end = series.index[0], series.index[-1]
    proxy.prepare("get_price", INDEX, start, end, fields="ClosingPx", adjust_type="none")
    proxy.prepare("get_previous_trading_date", end.replace(day=1))
    proxy.prepare("get_previous_trading_date", end.replace(month=1, day=1))
    proxy.prepare("get_factor_return", start, end)
    proxy.reset_calls()
    return series


def pandas_profit(tv, portfolio_series, benchmark):
    """profit_analysis in plain pandas."""
    start_date, end_date = portfolio_series.index[0], portfolio_series.index[-1]
    B = tv.get_price(benchmark, start_date, end_date, fields="ClosingPx", adjust_type="none")
    P = portfolio_series.reindex(B.index, method="ffill")
    pv, bv = P.iloc[-1], B.iloc[-1]
    summary = {}
    for key, delta in [("one_month", relativedelta(months=1)),
                       ("three_month", relativedelta(months=3)),
                       ("six_month", relativedelta(months=6)),
                       ("one_year", relativedelta(years=1))]:
        base = end_date - delta
        summary[key] = [float(pv / P[base:].iloc[0] - 1), float(bv / B[base:].iloc[0] - 1)]
    for key, day in [("this_month", end_date.replace(day=1)),
                     ("this_year", end_date.replace(month=1, day=1))]:
        summary[key] = [float(pv / P[tv.get_previous_trading_date(day):].iloc[0] - 1),
                        float(bv / B[tv.get_previous_trading_date(day):].iloc[0] - 1)]
    summary["total"] = [float(pv / P.iloc[0] - 1), float(bv / B.iloc[0] - 1)]
    days = (end_date - start_date).days
    if days > 365:
        summary["annualized_total"] = [float((pv / P.iloc[0]) ** (365 / days) - 1),
                                       float((bv / B.iloc[0]) ** (365 / days) - 1)]
    detail = {"date": [d.strftime("%Y-%m-%d") for d in P.index],
              "portfolio": [float(v) for v in P / P.iloc[0] - 1],
              "benchmark": [float(v) for v in B / B.iloc[0] - 1]}
    return {"summary": summary, "detail": detail}


def pandas_style(tv, portfolio_series):
    """style_analysis in plain pandas: the same add_constant, OLS, fit, params and
    tvalues calls on the same slices."""
    factors = tv.get_factor_return(portfolio_series.index[0], portfolio_series.index[-1])
    return style_reference(portfolio_series, factors,
                           [TRANSLATION[c] for c in factors.columns])


def own_seconds_per_call(proxy, functions, calls):
    """For each function, the median over alternating rounds of the time per call
    spent outside the market-data client, and the requests made per call."""
    per_call = [[] for _ in functions]
    requests = []
    for _ in range(ROUNDS):
        for k, function in enumerate(functions):
            proxy.reset_calls()
            start = time.perf_counter()
            for _ in range(calls):
                function()
            per_call[k].append((time.perf_counter() - start - proxy.time_inside) / calls)
            assert all(call.replayed for call in proxy.calls), "a reply was not prepared"
            requests.append(proxy.count() // calls)
    return [statistics.median(times) for times in per_call], requests[0]


def main():
    global TRANSLATION
    from meridan import profit, style
    TRANSLATION = style.TRANSLATION

    proxy, patch = recording_tickvane.standing_in()
    series = build_market(proxy)

    with proxy.replaying():
        ours = profit.profit_analysis(series, INDEX)
        theirs = pandas_profit(proxy, series, INDEX)
        assert ours["detail"]["date"] == theirs["detail"]["date"]
        assert np.allclose(ours["detail"]["portfolio"], theirs["detail"]["portfolio"])
        for key, pair in theirs["summary"].items():
            assert np.allclose(ours["summary"][key], pair), key
        assert list(ours["summary"]) == list(theirs["summary"])
        ours_s, theirs_s = style.style_analysis(series), pandas_style(proxy, series)
        assert list(ours_s) == list(theirs_s)
        for key in ours_s:
            if key != "style":
                assert np.allclose(ours_s[key], theirs_s[key], rtol=1e-9), key

        (p_ours, p_base), p_requests = own_seconds_per_call(
            proxy, [lambda: profit.profit_analysis(series, INDEX),
                   lambda: pandas_profit(proxy, series, INDEX)], PROFIT_CALLS)
        (s_ours, s_base), s_requests = own_seconds_per_call(
            proxy, [lambda: style.style_analysis(series),
                   lambda: pandas_style(proxy, series)], STYLE_CALLS)

    print(f"portfolio value series: {len(series)} calendar days "
          f"({series.index[0].date()} .. {series.index[-1].date()}), "
          f"{len(ours['detail']['date'])} trading days")
    print(f"profit_analysis: {1e3 * p_ours:.3f} ms per call (package's own time; target "
          f"under 1 ms), plain pandas {1e3 * p_base:.3f} ms, ratio {p_ours / p_base:.2f}; "
          f"{p_requests} service requests per call")
    windows = [k for k in ours_s if k not in ("style", "latest_tvalues")]
    print(f"style_analysis: {1e3 * s_ours:.3f} ms per call, plain pandas + statsmodels "
          f"{1e3 * s_base:.3f} ms, ratio {s_ours / s_base:.2f} (target within 1.2); "
          f"windows {windows}; {s_requests} service request per call")
    patch.undo()


if __name__ == "__main__":
    main()
