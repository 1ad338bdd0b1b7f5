"""The style regressions written directly with pandas and statsmodels: the reference of
the style tests and the baseline of the style benchmark."""

import statsmodels.api as sm
from dateutil.relativedelta import relativedelta


def style_reference(series, factors, labels):
    """The style analysis of a portfolio value series against the factor returns
    `factors` (a frame by date), window plan included; `labels` names the factors."""
    filled = series.ffill()
    returns = filled / filled.shift() - 1
    returns.iloc[0] = 0
    returns = returns.reindex(factors.index, fill_value=0.0)
    start, end = series.index[0], series.index[-1]
    days = (end - start).days
    if days > 1095:
        step, backward = relativedelta(years=1), True
    elif days > 365:
        step, backward = relativedelta(months=6), days > 547.5
    else:
        step, backward = relativedelta(months=3), days > 270
    ends = ([end - step * 2, end - step, end] if backward
            else [start + step, start + step * 2, start + step * 3])
    result, fit = {}, None
    for e in ends:
        e = min(e, end)
        X = sm.add_constant(factors[start:e], has_constant="add")
        fit = sm.OLS(returns[start:e], X).fit()
        result["%04d-%02d-%02d" % (e.year, e.month, e.day)] = [float(v) for v in fit.params[1:]]
        if e >= end:
            break
    result["style"] = list(labels)
    result["latest_tvalues"] = [float(v) for v in fit.tvalues[1:]]
    return result
