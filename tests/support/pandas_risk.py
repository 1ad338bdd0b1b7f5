"""The daily return windows of the risk analysis written directly with pandas: the
reference of the risk tests and part of the risk benchmark's baseline."""

from dateutil.relativedelta import relativedelta


def risk_windows(series, closes):
    """Per standard period, the portfolio's and the index's daily returns from the
    period's start: the portfolio carried onto the index's days, missing values padded."""
    aligned = series.reindex(closes.index, method="ffill")

    def change(x):
        x = x.ffill()
        return (x / x.shift(1) - 1).iloc[1:]

    rp, rb = change(aligned), change(closes)
    start, end = series.index[0], series.index[-1]
    starts = {"one_month": end - relativedelta(months=1),
              "three_month": end - relativedelta(months=3),
              "six_month": end - relativedelta(months=6),
              "one_year": end - relativedelta(years=1),
              "this_month": end.replace(day=1),
              "this_year": end.replace(month=1, day=1),
              "total": start}
    return {k: (rp[s:], rb[s:]) for k, s in starts.items()}
