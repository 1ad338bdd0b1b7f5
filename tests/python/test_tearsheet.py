"""meridan.tearsheet: drawdowns, calendar returns and rolling figures, checked against the
small pandas expressions they mirror (cummax, the last value of each month, rolling
std/cov) on generated series, and on cases worked by hand."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from meridan import EmptyInputError, tearsheet

COLUMNS = ["start", "trough", "recovery", "length", "depth"]

values_lists = st.lists(st.floats(0.5, 2.0), min_size=1, max_size=60)


def series(values, start="2021-01-04", freq="B", unit="ns"):
    index = pd.date_range(start, periods=len(values), freq=freq).as_unit(unit)
    return pd.Series(values, index=index, dtype="float64")


# ------------------------------------------------------------------------ drawdowns

@given(values_lists)
@settings(max_examples=60, deadline=None)
def test_underwater_is_the_ratio_to_the_running_peak(values):
    s = series(values)
    pd.testing.assert_series_equal(tearsheet.underwater(s), s / s.cummax() - 1,
                                   check_exact=False, rtol=1e-15)


@given(values_lists, st.integers(0, 6))
@settings(max_examples=80, deadline=None)
def test_worst_drawdowns_are_disjoint_falls_from_their_peaks(values, top):
    s = series(values)
    table = tearsheet.worst_drawdowns(s, top)
    assert list(table.columns) == COLUMNS
    assert table.index.equals(pd.RangeIndex(len(table)))
    assert str(table["length"].dtype) == "int64"
    position = {day: i for i, day in enumerate(s.index)}
    spans = []
    for row in table.itertuples():
        a, t = position[row.start], position[row.trough]
        peak = s.iloc[a]
        assert peak == s.iloc[: a + 1].max()
        end = len(s) - 1 if pd.isna(row.recovery) else position[row.recovery]
        inside = s.iloc[a + 1: end if not pd.isna(row.recovery) else end + 1]
        assert (inside < peak).all() and s.iloc[t] == inside.min()
        if not pd.isna(row.recovery):
            assert s.iloc[end] >= peak
        assert row.length == end - a
        assert row.depth == pytest.approx(s.iloc[t] / peak - 1, rel=1e-15)
        spans.append((a, end))
    assert list(table["depth"]) == sorted(table["depth"])
    spans.sort()
    assert all(prev[1] <= nxt[0] for prev, nxt in zip(spans, spans[1:]))
    # The deepest drawdown is the deepest point of the underwater curve.
    low = (s / s.cummax() - 1).min()
    if top and low < 0:
        assert table["depth"].iloc[0] == pytest.approx(low, rel=1e-12)
    if low == 0:
        assert table.empty


def test_two_drawdowns_the_second_not_recovered():
    s = series([100, 110, 99, 88, 110, 121, 90.75, 108.9], start="2024-03-01", freq="D")
    table = tearsheet.worst_drawdowns(s)
    expected = pd.DataFrame({
        "start": pd.to_datetime(["2024-03-06", "2024-03-02"]).as_unit("ns"),
        "trough": pd.to_datetime(["2024-03-07", "2024-03-04"]).as_unit("ns"),
        "recovery": pd.to_datetime([pd.NaT, "2024-03-05"]).as_unit("ns"),
        "length": np.array([2, 3], dtype="int64"),
        "depth": [90.75 / 121 - 1, 88 / 110 - 1],  # -0.25, -0.2
    })
    pd.testing.assert_frame_equal(table, expected)
    # Only the deepest when asked for one.
    assert len(tearsheet.worst_drawdowns(s, top=1)) == 1


def test_one_day_series():
    s = series([3.5], start="2023-06-30")
    pd.testing.assert_series_equal(tearsheet.underwater(s), series([0.0], start="2023-06-30"))
    table = tearsheet.worst_drawdowns(s)
    assert table.empty and list(table.columns) == COLUMNS
    assert str(table["start"].dtype) == "datetime64[ns]"
    months = tearsheet.monthly_returns(s)
    assert list(months.index) == [2023] and months.loc[2023, 6] == 0.0
    assert months.loc[2023, "total"] == 0.0
    assert months.loc[2023, [1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12]].isna().all()


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_dates_keep_the_unit_of_the_index(unit):
    s = series([1.0, 0.5, 0.8], unit=unit)
    table = tearsheet.worst_drawdowns(s)
    for column in ["start", "trough", "recovery"]:
        assert str(table[column].dtype) == f"datetime64[{unit}]"
    assert table["start"].iloc[0] == pd.Timestamp("2021-01-04")
    assert pd.isna(table["recovery"].iloc[0])
    assert tearsheet.underwater(s).index.equals(s.index)
    assert list(tearsheet.monthly_returns(s).index) == [2021]


# ---------------------------------------------------------------- calendar returns

@given(st.lists(st.floats(0.5, 2.0), min_size=1, max_size=40), st.sampled_from(["W", "10D"]))
@settings(max_examples=60, deadline=None)
def test_monthly_returns_against_month_end_values(values, freq):
    s = series(values, start="2019-11-20", freq=freq)
    table = tearsheet.monthly_returns(s)
    month_end = s.groupby([s.index.year, s.index.month]).last()
    before = month_end.shift(1)
    before.iloc[0] = s.iloc[0]
    expected = month_end / before - 1
    got = pd.Series({(y, m): table.loc[y, m] for y, m in expected.index})
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-14)
    assert table.drop(columns="total").notna().sum().sum() == len(expected)
    year_end = s.groupby(s.index.year).last()
    year_before = year_end.shift(1)
    year_before.iloc[0] = s.iloc[0]
    np.testing.assert_allclose(table["total"].to_numpy(),
                               (year_end / year_before - 1).to_numpy(), rtol=1e-14)
    # The months of a year compound to its total.
    for year, row in table.iterrows():
        months = row.drop("total").dropna()
        assert (1 + months).prod() - 1 == pytest.approx(row["total"], rel=1e-12, abs=1e-14)


def test_monthly_table_layout_and_a_gap():
    s = pd.Series([100.0, 110.0, 121.0, 108.9],
                  index=pd.to_datetime(["2020-12-30", "2020-12-31", "2021-02-26", "2022-01-04"]))
    table = tearsheet.monthly_returns(s)
    assert list(table.columns) == list(range(1, 13)) + ["total"]
    assert table.index.name == "year" and str(table.index.dtype) == "int64"
    assert list(table.index) == [2020, 2021, 2022]
    assert (table.dtypes == "float64").all()
    assert table.loc[2020, 12] == pytest.approx(0.1)
    assert math.isnan(table.loc[2021, 1])
    assert table.loc[2021, 2] == pytest.approx(0.1)  # from December's last value
    assert table.loc[2021, "total"] == pytest.approx(0.1)
    assert table.loc[2022, 1] == pytest.approx(-0.1)
    assert table.loc[2022, "total"] == pytest.approx(-0.1)


# ------------------------------------------------------------------ rolling figures

returns_lists = st.lists(st.floats(-0.1, 0.1), min_size=2, max_size=40)


@given(returns_lists, st.data(), st.integers(2, 8), st.floats(0.0, 0.05))
@settings(max_examples=60, deadline=None)
def test_rolling_figures_against_pandas_rolling(r, data, window, rate):
    b = data.draw(st.lists(st.floats(-0.1, 0.1), min_size=len(r), max_size=len(r)))
    rs, bs = series(r), series(b)
    got = tearsheet.rolling_figures(rs, bs, rate, window, 250)
    assert got.index.equals(rs.index)
    assert list(got.columns) == ["volatility", "beta", "sharpe"]
    std = rs.rolling(window).std()
    excess = rs - rate / 250
    expected = pd.DataFrame({
        "volatility": std * math.sqrt(250),
        "beta": rs.rolling(window).cov(bs) / bs.rolling(window).var(),
        "sharpe": excess.rolling(window).mean() / excess.rolling(window).std() * math.sqrt(250),
    })
    assert got.iloc[: window - 1].isna().all().all()
    # pandas' running sums leave rounding noise where a window is (nearly) constant;
    # compare where the figures are well conditioned.
    well = (std > 1e-6) & (bs.rolling(window).std() > 1e-6)
    np.testing.assert_allclose(got[well].to_numpy(), expected[well].to_numpy(),
                               rtol=1e-7, atol=1e-9)


def test_rolling_figures_align_the_benchmark_by_label():
    rs = series([0.01, -0.02, 0.03, 0.01, -0.01])
    bs = series([0.02, -0.01, 0.01, 0.0, 0.005])
    shuffled = bs.iloc[[4, 2, 0, 1, 3]]
    pd.testing.assert_frame_equal(tearsheet.rolling_figures(rs, shuffled, window=3),
                                  tearsheet.rolling_figures(rs, bs, window=3))
    # A day the benchmark lacks is a missing pair: left out of its windows.
    partial = tearsheet.rolling_figures(rs, bs.drop(rs.index[1]), window=3)
    r2, b2 = rs.drop(rs.index[1]).iloc[:2], bs.drop(rs.index[1]).iloc[:2]
    assert partial["beta"].iloc[2] == pytest.approx(
        np.cov(r2, b2)[0, 1] / np.var(b2, ddof=1))
    assert math.isnan(partial["volatility"].iloc[1])
    # A zoned benchmark meets naive returns on its own calendar days.
    zoned = bs.tz_localize("Asia/Shanghai")
    pd.testing.assert_frame_equal(tearsheet.rolling_figures(rs, zoned, window=3),
                                  tearsheet.rolling_figures(rs, bs, window=3))


def test_rolling_figures_defaults_and_short_data():
    rs = series(np.linspace(-0.01, 0.012, 130))
    got = tearsheet.rolling_figures(rs, rs * 0.5)
    assert got.iloc[:121].isna().all().all() and got.iloc[121:].notna().all().all()
    assert got["beta"].iloc[-1] == pytest.approx(2.0)
    assert got["volatility"].iloc[-1] == pytest.approx(rs.iloc[-122:].std() * math.sqrt(244))
    assert tearsheet.rolling_figures(rs.iloc[:5], rs.iloc[:5]).isna().all().all()


# ---------------------------------------------------------------------- refusals

BAD_VALUES = [
    (series([1.0, np.nan, 2.0]), ValueError, "values has the value nan on 2021-01-05"),
    (series([1.0, 2.0, np.inf]), ValueError, "values has the value inf on 2021-01-06"),
    (series([1.0, 0.0]), ValueError, "values has the value 0.0 on 2021-01-05"),
    (series([1.0, -3.0]), ValueError, "values has the value -3.0 on 2021-01-05"),
    (pd.Series([1.0, 2.0], index=pd.to_datetime(["2021-02-02", "2021-02-01"])), ValueError,
     "values dates must be in ascending order: 2021-02-01 follows 2021-02-02"),
    (pd.Series([1.0, 2.0]), TypeError, "values must be indexed by dates"),
    (pd.Series([], dtype="float64", index=pd.DatetimeIndex([])), EmptyInputError,
     "values is empty"),
    ([1.0, 2.0], TypeError, "values must be a pandas Series"),
]


@pytest.mark.parametrize("function", [tearsheet.underwater, tearsheet.worst_drawdowns,
                                      tearsheet.monthly_returns])
@pytest.mark.parametrize("values, error, message", BAD_VALUES)
def test_value_series_refused(function, values, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")):
        function(values)


R = series([0.01, 0.02, -0.01])
CALLS = [
    (tearsheet.underwater, (), {}, TypeError,
     "underwater() takes exactly 1 positional argument (0 given)"),
    (tearsheet.worst_drawdowns, (R, 5, 1), {}, TypeError,
     "worst_drawdowns() takes at most 2 positional arguments (3 given)"),
    (tearsheet.worst_drawdowns, (R,), {"n": 1}, TypeError,
     "worst_drawdowns() got an unexpected keyword argument 'n'"),
    (tearsheet.monthly_returns, (R,), {"values": R}, TypeError,
     "monthly_returns() got multiple values for keyword argument 'values'"),
    (tearsheet.rolling_figures, (R,), {}, TypeError,
     "rolling_figures() takes at least 2 positional arguments (1 given)"),
    (tearsheet.worst_drawdowns, (R + 1, 2.5), {}, TypeError,
     "top must be a whole number, got 2.5 (float)"),
    (tearsheet.worst_drawdowns, (R + 1, -1), {}, ValueError, "top must be at least 0, got -1"),
    (tearsheet.rolling_figures, (R, R), {"window": 0}, ValueError,
     "window must be at least 1, got 0"),
    (tearsheet.rolling_figures, (R, R), {"window": True}, TypeError,
     "window must be a whole number, got True (bool)"),
    (tearsheet.rolling_figures, (R, R), {"risk_free_rate": "2%"}, TypeError,
     "risk_free_rate must be a number, got '2%' (str)"),
    (tearsheet.rolling_figures, (R, R), {"annualization": 0}, ValueError,
     "annualization must be a positive number of days a year, got 0"),
    (tearsheet.rolling_figures, (R, R.to_numpy()), {}, TypeError,
     "benchmark_returns must be a pandas Series, got ndarray"),
    (tearsheet.rolling_figures, (R, pd.concat([R, R.iloc[:1]])), {}, ValueError,
     "benchmark_returns has a date more than once: each day's return must come once "
     "to be matched to the days of returns"),
]


@pytest.mark.parametrize("function, args, kwargs, error, message", CALLS)
def test_wrong_calls(function, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == message


def test_keywords_and_signatures():
    import inspect
    assert str(inspect.signature(tearsheet.rolling_figures)) == (
        "(returns, benchmark_returns, risk_free_rate=0.0, window=122, annualization=244)")
    s = series([1.0, 0.9, 1.1])
    pd.testing.assert_frame_equal(tearsheet.worst_drawdowns(values=s, top=1),
                                  tearsheet.worst_drawdowns(s, 1))
