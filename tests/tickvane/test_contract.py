"""Every operation's contract on the tiny hand-written market of conftest.py."""

import datetime as dt
import pickle

import numpy as np
import pandas as pd
import pytest

import tickvane

pytestmark = pytest.mark.usefixtures("tiny")

D = dt.date
TS = pd.Timestamp
FACTORS = ["beta", "growth", "liquidity", "leverage", "momentum", "reversal", "size",
           "yield", "volatility", "value"]
TENORS = ["0S", "1M", "2M", "3M", "6M", "9M", "1Y", "2Y", "3Y", "4Y", "5Y", "6Y", "7Y", "8Y",
          "9Y", "10Y", "15Y", "20Y", "30Y", "40Y", "50Y"]
BANK, TECH, PHARMA, INDEX, ETF = ("600001.XSHG", "000002.XSHE", "000003.XSHE", "000300.XSHG",
                                  "510300.XSHG")


def days(*texts):
    return pd.DatetimeIndex([pd.Timestamp(t) for t in texts], name="date")


# ------------------------------------------------------------------------- dates


@pytest.mark.parametrize("value", [
    pd.Timestamp("2020-01-03"), pd.Timestamp("2020-01-03 15:00"),
    pd.Timestamp("2020-01-03 23:30", tz="Asia/Shanghai"),
    dt.datetime(2020, 1, 3, 9, 30), D(2020, 1, 3), np.datetime64("2020-01-03"),
    np.datetime64("2020-01-03T10:00"), "2020-01-03", "20200103", "2020-01-03T09:30:00",
    " 2020-01-03 09:30:00",
])
def test_every_date_form_names_its_calendar_day(value):
    assert tickvane.get_trading_dates(value, value) == [D(2020, 1, 3)]


@pytest.mark.parametrize("value", [
    20200103, 3.5, "2020-13-01", "yesterday", "", "2020/01/03", b"2020-01-03", pd.NaT,
    np.datetime64("NaT"), [2020, 1, 3], None,
    "2020-W01-5", "2020-W01-5T10:00", "2020-003", "２０２０-01-03",  # ISO week/ordinal forms
])
def test_anything_else_is_a_value_error_naming_it(value):
    with pytest.raises(ValueError, match="not a date: " + _quoted(value)):
        tickvane.get_trading_dates(value, "2020-01-10")


def _quoted(value):
    import re
    return re.escape(repr(value))


@pytest.mark.parametrize("start, end, expected", [
    ("2020-01-03", "2020-01-07", [D(2020, 1, 3), D(2020, 1, 6), D(2020, 1, 7)]),
    ("2020-01-04", "2020-01-05", []),                      # a weekend
    ("2020-01-08", "2020-01-03", []),                      # reversed
    ("2019-01-01", "2020-01-03", [D(2020, 1, 2), D(2020, 1, 3)]),
    (dt.datetime(2020, 1, 14, 16), dt.datetime(2020, 1, 15, 1), [D(2020, 1, 14), D(2020, 1, 15)]),
])
def test_get_trading_dates(start, end, expected):
    got = tickvane.get_trading_dates(start, end)
    assert type(got) is list and got == expected
    assert all(type(d) is dt.date for d in got)
    assert bool(got) == bool(expected)


@pytest.mark.parametrize("op, day, expected", [
    ("previous", "2020-01-06", "2020-01-03"),
    ("previous", "2020-01-05", "2020-01-03"),
    ("previous", dt.datetime(2020, 1, 6, 15), "2020-01-03"),
    ("previous", "2030-01-01", "2020-01-15"),
    ("previous", "2020-01-02", None),
    ("next", "2020-01-03", "2020-01-06"),
    ("next", "2019-06-01", "2020-01-02"),
    ("next", "2020-01-15", None),
])
def test_previous_and_next_trading_date(op, day, expected):
    fn = tickvane.get_previous_trading_date if op == "previous" else tickvane.get_next_trading_date
    got = fn(day)
    if expected is None:
        assert got is None
    else:
        assert type(got) is pd.Timestamp and got == pd.Timestamp(expected)
        assert got == got.normalize()


# ------------------------------------------------------------------------- prices


def test_get_price_one_id_unadjusted_skips_the_suspended_day():
    got = tickvane.get_price(BANK, "2020-01-08", "2020-01-13", adjust_type="none")
    expected = pd.Series([9.70, 9.80, 5.00], index=days("2020-01-08", "2020-01-09", "2020-01-13"),
                         name=BANK)
    pd.testing.assert_series_equal(got, expected)


@pytest.mark.parametrize("adjust_type, expected", [
    # close x factor / factor of the first close (1.0) ...
    ("post", [10.00, 10.50, 10.20, 10.00, 9.70 * 1.05, 9.80 * 1.05, 5.00 * 2.1, 5.10 * 2.1,
              5.20 * 2.1]),
    # ... or of the latest close (2.1)
    ("pre", [10.00 / 2.1, 10.50 / 2.1, 10.20 / 2.1, 10.00 / 2.1, 9.70 * 1.05 / 2.1,
             9.80 * 1.05 / 2.1, 5.00, 5.10, 5.20]),
])
def test_get_price_adjustments(adjust_type, expected):
    got = tickvane.get_price(BANK, adjust_type=adjust_type)  # whole store
    traded = [d for d in ["2020-01-02", "2020-01-03", "2020-01-06", "2020-01-07", "2020-01-08",
                          "2020-01-09", "2020-01-13", "2020-01-14", "2020-01-15"]]
    pd.testing.assert_series_equal(got, pd.Series(expected, index=days(*traded), name=BANK),
                                   rtol=1e-12)


def test_get_price_default_is_pre_adjusted():
    pd.testing.assert_series_equal(tickvane.get_price(BANK, "2020-01-02", "2020-01-03"),
                                   tickvane.get_price(BANK, "2020-01-02", "2020-01-03",
                                                      adjust_type="pre"))


def test_get_price_list_has_every_trading_day_and_nan_where_no_close():
    got = tickvane.get_price([PHARMA, BANK, TECH, BANK], "2020-01-03", "2020-01-10",
                             fields="ClosingPx", adjust_type="none")
    nan = np.nan
    expected = pd.DataFrame({
        PHARMA: [2.85, 2.71, 2.57, 2.70, 2.65, nan],
        BANK: [10.50, 10.20, 10.00, 9.70, 9.80, nan],
        TECH: [nan, 20.00, 22.00, 24.20, 26.62, 29.28],
    }, index=days("2020-01-03", "2020-01-06", "2020-01-07", "2020-01-08", "2020-01-09",
                  "2020-01-10"))
    pd.testing.assert_frame_equal(got, expected, check_column_type=False)


@pytest.mark.parametrize("ids, start, end", [
    (BANK, "2020-01-04", "2020-01-05"),          # no trading day
    (TECH, "2020-01-02", "2020-01-03"),          # before listing
    (PHARMA, "2020-01-10", "2030-01-01"),        # after delisting
    ([TECH, ETF], "2020-01-02", "2020-01-03"),   # nobody has a close
    ([], "2020-01-02", "2020-01-15"),
])
def test_get_price_answers_none_without_data(ids, start, end):
    assert tickvane.get_price(ids, start, end) is None


def test_get_price_fields_alias():
    a = tickvane.get_price(INDEX, "2020-01-02", "2020-01-15", fields="close", adjust_type="none")
    b = tickvane.get_price(INDEX, "2020-01-02", "2020-01-15", fields="ClosingPx",
                           adjust_type="none")
    pd.testing.assert_series_equal(a, b)
    assert a.tolist() == [4000, 4040, 4020, 4050, 4100, 4080, 4120, 4150, 4130, 4160]


@pytest.mark.parametrize("kwargs, message", [
    (dict(order_book_ids=BANK, fields="open"), "'open'"),
    (dict(order_book_ids=BANK, fields=["close"]), r"\['close'\]"),
    (dict(order_book_ids=BANK, adjust_type="forward"), "'forward'"),
    (dict(order_book_ids=BANK, frequency="1m"), "'1m'"),
    (dict(order_book_ids="600001.XSHE"), "'600001.XSHE'"),
    (dict(order_book_ids=[BANK, "999999.XSHG", "888888.XSHE"]), "'999999.XSHG', '888888.XSHE'"),
    (dict(order_book_ids=600001), "600001"),
    (dict(order_book_ids=[BANK, 2]), "2"),
    (dict(order_book_ids=BANK, start_date="someday"), "'someday'"),
])
def test_get_price_rejects_impossible_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        tickvane.get_price(**kwargs)


def test_get_price_change_rate_by_hand():
    got = tickvane.get_price_change_rate([BANK, TECH, PHARMA], "2020-01-06", "2020-01-14")
    nan = np.nan
    post = {  # post-adjusted closes of the bank: close x factor
        "01-03": 10.50, "01-06": 10.20, "01-07": 10.00, "01-08": 9.70 * 1.05,
        "01-09": 9.80 * 1.05, "01-13": 5.00 * 2.1, "01-14": 5.10 * 2.1}
    expected = pd.DataFrame({
        BANK: [post["01-06"] / post["01-03"] - 1, post["01-07"] / post["01-06"] - 1,
               post["01-08"] / post["01-07"] - 1, post["01-09"] / post["01-08"] - 1,
               0.0,                                          # suspended
               post["01-13"] / post["01-09"] - 1,            # against the last close
               post["01-14"] / post["01-13"] - 1],
        TECH: [nan, 22.00 / 20.00 - 1, 24.20 / 22.00 - 1, 26.62 / 24.20 - 1,
               29.28 / 26.62 - 1, 27.00 / 29.28 - 1, 27.50 / 27.00 - 1],
        PHARMA: [2.71 / 2.85 - 1, 2.57 / 2.71 - 1, 2.70 / 2.57 - 1, 2.65 / 2.70 - 1,
                 nan, nan, nan],
    }, index=days("2020-01-06", "2020-01-07", "2020-01-08", "2020-01-09", "2020-01-10",
                  "2020-01-13", "2020-01-14"))
    pd.testing.assert_frame_equal(got, expected, check_column_type=False, rtol=1e-12)


def test_get_price_change_rate_edges():
    assert tickvane.get_price_change_rate([BANK], "2020-01-04", "2020-01-05") is None
    first = tickvane.get_price_change_rate([BANK], "2020-01-02", "2020-01-02")
    assert first.shape == (1, 1) and np.isnan(first.iloc[0, 0])   # no earlier close
    one = tickvane.get_price_change_rate(BANK, "2020-01-03", "2020-01-03")
    assert isinstance(one, pd.Series) and one.name == BANK
    assert one.iloc[0] == pytest.approx(0.05)
    empty = tickvane.get_price_change_rate([], "2020-01-02", "2020-01-03")
    assert empty.shape == (2, 0)


# ------------------------------------------------------------------------- instruments


@pytest.mark.parametrize("oid, attrs", [
    (BANK, dict(symbol="甲银行", type="CS", exchange="XSHG", listed_date=TS("2015-05-05"),
                de_listed_date=None, round_lot=100, sector_code_name="金融",
                shenwan_industry_name="银行", shenwan_industry_code="801780.INDX")),
    (PHARMA, dict(type="CS", de_listed_date=TS("2020-01-10"), sector_code_name="医疗保健",
                  shenwan_industry_name="医药生物", shenwan_industry_code="801150.INDX")),
    (INDEX, dict(type="INDX", round_lot=1, sector_code_name=None, shenwan_industry_name=None)),
    (ETF, dict(type="ETF", symbol="沪深300ETF", listed_date=TS("2012-05-28"))),
])
def test_instrument_records(oid, attrs):
    record = tickvane.instruments(oid)
    assert record.order_book_id == oid
    for name, value in attrs.items():
        assert getattr(record, name) == value, name


def test_instrument_records_are_immutable_and_readable():
    record = tickvane.instruments(BANK)
    with pytest.raises(AttributeError):
        record.symbol = "changed"
    assert tickvane.instruments(BANK).symbol == "甲银行"
    assert "order_book_id='600001.XSHG'" in repr(record) and "甲银行" in repr(record)
    assert "listed_date='2015-05-05'" in repr(record)
    assert pickle.loads(pickle.dumps(record)) == record


def test_instruments_list_keeps_order_and_names_unknown_ids():
    assert [r.order_book_id for r in tickvane.instruments([TECH, BANK])] == [TECH, BANK]
    with pytest.raises(ValueError, match="'600002.XSHG'"):
        tickvane.instruments(["600002.XSHG", BANK])


@pytest.mark.parametrize("kwargs, expected", [
    (dict(), [TECH, PHARMA, INDEX, ETF, BANK]),
    (dict(type="CS"), [TECH, PHARMA, BANK]),
    (dict(type=["ETF", "INDX"]), [INDEX, ETF]),
    (dict(date="2020-01-03"), [PHARMA, INDEX, ETF, BANK]),      # 000002 not listed yet
    (dict(type="CS", date="2020-01-10"), [TECH, BANK]),         # 000003 delisted that day
])
def test_all_instruments(kwargs, expected):
    frame = tickvane.all_instruments(**kwargs)
    assert frame["order_book_id"].tolist() == expected
    assert {"symbol", "type", "listed_date", "de_listed_date", "sector_code_name",
            "shenwan_industry_name"} <= set(frame.columns)


def test_all_instruments_rejects_unknown_type():
    with pytest.raises(ValueError, match="'STOCK'"):
        tickvane.all_instruments(type="STOCK")


@pytest.mark.parametrize("oid, day, expected", [
    (PHARMA, "2019-06-03", True), (PHARMA, "2020-01-07", True), (PHARMA, "2020-01-08", False),
    (PHARMA, "2019-05-31", False), (BANK, "2020-01-13", False), (BANK, "2020-01-14", True),
    (BANK, "2030-01-01", True), (TECH, "2020-01-14", False), (INDEX, "2020-01-14", False),
])
def test_is_st_stock(oid, day, expected):
    assert tickvane._is_st_stock(oid, day) is expected


def test_is_st_stock_unknown_id():
    with pytest.raises(ValueError, match="'000004.XSHE'"):
        tickvane._is_st_stock("000004.XSHE", "2020-01-14")


# ------------------------------------------------------------------------- factor model


@pytest.mark.parametrize("ids", [BANK, [BANK]])
def test_factor_exposure_of_one_id(ids):
    got = tickvane.get_factor_exposure(ids, "2020-01-01", "2020-01-14")
    expected = pd.DataFrame([[1.1, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9],
                             [1.2, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9]],
                            index=days("2020-01-13", "2020-01-14"), columns=FACTORS)
    pd.testing.assert_frame_equal(got, expected, check_column_type=False)


def test_factor_exposure_of_several_ids_in_request_order():
    got = tickvane.get_factor_exposure([TECH, PHARMA, BANK], "2020-01-14", "2020-01-15")
    assert got.index.names == ["order_book_id", "date"]
    assert got.index.tolist() == [(TECH, TS("2020-01-14")), (TECH, TS("2020-01-15")),
                                  (BANK, TS("2020-01-14")), (BANK, TS("2020-01-15"))]
    assert got.columns.tolist() == FACTORS
    assert got["beta"].tolist() == [-1.0, -2.0, 1.2, 1.3]
    assert np.isnan(got.loc[(TECH, TS("2020-01-14")), "value"])      # an empty cell
    assert got.index.get_level_values(0).unique().tolist() == [TECH, BANK]


@pytest.mark.parametrize("ids, start, end", [
    ([], "2020-01-02", "2020-01-15"),
    (PHARMA, "2020-01-02", "2020-01-15"),
    ([BANK, TECH], "2020-01-02", "2020-01-10"),
    ([INDEX], "2020-01-02", "2020-01-15"),
    (BANK, "2020-01-16", "2020-03-01"),
])
def test_factor_exposure_none_without_data(ids, start, end):
    assert tickvane.get_factor_exposure(ids, start, end) is None


def test_factor_return_rows_only_where_published():
    got = tickvane.get_factor_return("2020-01-02", "2020-01-10")
    assert got.columns.tolist() == FACTORS
    assert got.index.equals(days("2020-01-09", "2020-01-10"))
    assert got.loc["2020-01-10", "size"] == pytest.approx(0.001 * 7 * 2)
    assert tickvane.get_factor_return("2020-01-02", "2020-01-08") is None


def test_yield_curve():
    got = tickvane.get_yield_curve()
    assert got.columns.tolist() == TENORS
    assert got.index.equals(days("2020-01-02", "2020-01-15"))
    assert got.loc["2020-01-15", "10Y"] == pytest.approx(0.016 + 0.001 * 15)
    one = tickvane.get_yield_curve("2020-01-02", "2020-01-02")
    assert one.shape == (1, 21) and one.iloc[0, 0] == pytest.approx(0.015)
    assert tickvane.get_yield_curve("2020-01-03", "2020-01-14") is None


# ------------------------------------------------------------------------- indices


@pytest.mark.parametrize("day, members", [
    ("2019-12-31", []),
    ("2020-01-02", [PHARMA, BANK]),
    ("2020-01-09", [PHARMA, BANK]),
    ("2020-01-10", [TECH, BANK]),
    ("2020-06-30", [TECH, BANK]),
])
def test_index_components_as_of_the_latest_change(day, members):
    assert tickvane.index_components(INDEX, day) == members


@pytest.mark.parametrize("day, weights", [
    ("2020-01-09", {BANK: 0.75, PHARMA: 0.25}),
    (dt.datetime(2020, 1, 10, 9), {BANK: 0.6, TECH: 0.4}),
])
def test_index_weights_as_of_the_latest_weight_date(day, weights):
    got = tickvane.index_weights(INDEX, day)
    assert got.to_dict() == weights
    assert got.index.name == "order_book_id"


def test_index_weights_before_the_first_date_are_empty():
    got = tickvane.index_weights(INDEX, "2019-12-31")
    assert isinstance(got, pd.Series) and got.empty and got.dtype == np.float64


@pytest.mark.parametrize("op", [tickvane.index_components, tickvane.index_weights])
@pytest.mark.parametrize("oid, message", [
    (BANK, "'600001.XSHG' is not an index"), (ETF, "is not an index"),
    ("000905.XSHG", "unknown order_book_id: '000905.XSHG'"),
])
def test_index_operations_reject_non_indices(op, oid, message):
    with pytest.raises(ValueError, match=message):
        op(oid, "2020-01-10")


# ------------------------------------------------------------------------- corporate actions


@pytest.mark.parametrize("adjusted, cash", [(True, 2.50), (False, 5.00)])
def test_get_dividend(adjusted, cash):
    got = tickvane.get_dividend(BANK, adjusted=adjusted)
    assert got.columns.tolist() == ["book_closure_date", "ex_dividend_date", "payable_date",
                                    "dividend_cash_before_tax", "round_lot"]
    assert got.loc[0, "book_closure_date"] == TS("2020-01-07")
    assert got.loc[0, "ex_dividend_date"] == TS("2020-01-08")
    assert got.loc[0, "dividend_cash_before_tax"] == pytest.approx(cash)  # 10 -> 20 split later
    assert got.loc[0, "round_lot"] == 10


def test_get_split():
    got = tickvane.get_split(BANK)
    expected = pd.DataFrame({"split_coefficient_from": [10.0], "split_coefficient_to": [20.0]},
                            index=pd.DatetimeIndex([TS("2020-01-13")], name="ex_date"))
    pd.testing.assert_frame_equal(got, expected)


@pytest.mark.parametrize("op", [tickvane.get_dividend, tickvane.get_split])
def test_corporate_actions_none_when_there_are_none(op):
    assert op(TECH) is None
    with pytest.raises(ValueError, match="'000009.XSHE'"):
        op("000009.XSHE")


# ------------------------------------------------------------------------- ownership


@pytest.mark.parametrize("call", [
    lambda: tickvane.get_price(BANK, "2020-01-02", "2020-01-15"),
    lambda: tickvane.get_price([BANK, TECH], "2020-01-02", "2020-01-15"),
    lambda: tickvane.get_price_change_rate([BANK], "2020-01-02", "2020-01-15"),
    lambda: tickvane.get_factor_exposure([BANK, TECH], "2020-01-02", "2020-01-15"),
    lambda: tickvane.get_factor_exposure(BANK, "2020-01-02", "2020-01-15"),
    lambda: tickvane.get_factor_return("2020-01-02", "2020-01-15"),
    lambda: tickvane.get_yield_curve(),
    lambda: tickvane.index_weights(INDEX, "2020-01-15"),
    lambda: tickvane.index_components(INDEX, "2020-01-15"),
    lambda: tickvane.get_trading_dates("2020-01-02", "2020-01-15"),
])
def test_results_belong_to_the_caller(call):
    first = call()
    before = pickle.dumps(call())
    if isinstance(first, list):
        first[0] = "changed"
        first.append("more")
    else:
        first.iloc[0] = -123.0
    assert pickle.dumps(call()) == before
