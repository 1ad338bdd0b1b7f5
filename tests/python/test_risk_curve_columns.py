"""The risk-free rate is read from the column the window's tenor names, however the
curve's columns are ordered, labelled or shared between replies; and each window's curve
is asked for by the closes' own label of its first day, whatever their index."""

import pandas as pd
import pytest

import meridan.risk as risk
from markets_risk import closes_frame

pytestmark = pytest.mark.market("risk")

DAY = "2017-06-05"
THREE_MONTHS = "2017-10-01"  # a window read at "3M"
TEN_DAYS = "2017-06-15"  # a window read at "0S"


def curve(columns, values):
    return pd.DataFrame([values], index=[pd.Timestamp(DAY)], columns=columns)


def test_each_reply_is_read_at_its_own_column(market):
    plain = market.default_reply("get_yield_curve", DAY, DAY)
    columns = list(plain.columns)
    values = [0.01 * (k + 1) for k in range(len(columns))]
    at = {c: v for c, v in zip(columns, values)}
    shuffled = columns[::-1]
    # One reply, then another whose columns are the same labels in another order,
    # then a third sharing the first one's very columns with other values.
    first = curve(columns, values)
    second = curve(shuffled, [at[c] for c in shuffled])
    third = pd.DataFrame([[v + 1 for v in values]], index=first.index, columns=first.columns)
    for reply, offset in ((first, 0), (second, 0), (third, 1), (first, 0)):
        market.set_reply("get_yield_curve", reply)
        assert risk.get_risk_free_rate(DAY, THREE_MONTHS) == at["3M"] + offset
        assert risk.get_risk_free_rate(DAY, TEN_DAYS) == at["0S"] + offset


LABELS = {
    "objects": (lambda c: pd.Index(c, dtype=object), 0.03),
    "a number among the labels": (lambda c: pd.Index([7] + c[1:], dtype=object), 0.03),
    "the tenor twice": (lambda c: pd.Index(c[:1] + ["3M"] + c[2:], dtype=object), None),
    "another tenor twice": (lambda c: pd.Index(c[:1] + c), 0.03),
    "the tenor missing": (lambda c: pd.Index([x for x in c if x != "3M"]), KeyError),
}


@pytest.mark.parametrize("kind", LABELS)
def test_rates_of_curves_labelled_otherwise_are_read_as_pandas_reads_them(market, kind):
    labels, expected = LABELS[kind]
    plain = market.default_reply("get_yield_curve", DAY, DAY)
    columns = labels(list(plain.columns))
    reply = curve(columns, [0.03 if c == "3M" else 0.5 for c in columns])
    market.set_reply("get_yield_curve", reply)
    if expected is KeyError:
        with pytest.raises(KeyError):
            risk.get_risk_free_rate(DAY, THREE_MONTHS)
    elif expected is None:  # pandas selects two columns for a repeated label
        with pytest.raises((TypeError, ValueError)):
            risk.get_risk_free_rate(DAY, THREE_MONTHS)
    else:
        assert risk.get_risk_free_rate(DAY, THREE_MONTHS) == expected


def portfolio(start, end):
    return closes_frame("000001.XSHE", start, end) * 1000


CLOSES_INDEX = {
    "as given": lambda index: index,
    "seconds": lambda index: index.as_unit("s"),
    "nanoseconds": lambda index: index.as_unit("ns"),
    "a time zone": lambda index: index.tz_localize("Asia/Shanghai"),
    "objects": lambda index: pd.Index(list(index), dtype=object),
}


@pytest.mark.parametrize("kind", CLOSES_INDEX)
def test_curves_are_asked_for_the_closes_own_labels(market, kind):
    series = portfolio("2016-03-14", "2017-03-31")
    start, end = series.index[0], series.index[-1]
    closes = market.default_reply("get_price", "000300.XSHG", start, end,
                                  fields="ClosingPx", adjust_type="none")
    closes.index = CLOSES_INDEX[kind](closes.index)
    market.set_reply("get_price", closes)
    risk.risk_analysis(series, "000300.XSHG")
    calls = market.calls_to("get_yield_curve")
    assert len(calls) == 7
    for call in calls:  # each window's first day, as the closes label it
        first, again = call.args
        label = closes.index[closes.index.get_loc(first)]
        assert first is again and type(first) is type(label) and repr(first) == repr(label)
        assert getattr(first, "unit", None) == getattr(label, "unit", None)


@pytest.mark.parametrize("kind", CLOSES_INDEX)
def test_the_closes_are_asked_for_the_series_own_first_and_last_labels(market, kind):
    series = portfolio("2016-03-14", "2017-03-31")
    series.index = CLOSES_INDEX[kind](series.index)
    risk.risk_analysis(series, "000300.XSHG")
    (call,) = market.calls_to("get_price")
    for asked, label in zip(call.args[1:3], (series.index[0], series.index[-1])):
        assert type(asked) is type(label) and repr(asked) == repr(label)
        assert getattr(asked, "unit", None) == getattr(label, "unit", None)
