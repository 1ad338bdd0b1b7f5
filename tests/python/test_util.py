import datetime as dt

import numpy as np
import pandas as pd
import pytest

from meridan.util import fix_datetime, fix_order_book_id


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        ("000001.XSHE", "000001.XSHE"),
        ("600000.XSHG", "600000.XSHG"),
        ("430047.BJSE", "430047.BJSE"),
        ("000001.SZ", "000001.XSHE"),
        ("600000.SH", "600000.XSHG"),
        ("600000.sh", "600000.XSHG"),
        ("430047.BJ", "430047.BJSE"),
        ("600000.xshg", "600000.XSHG"),
        ("SZ000001", "000001.XSHE"),
        ("sz000001", "000001.XSHE"),
        ("SH600000", "600000.XSHG"),
        ("BJ430047", "430047.BJSE"),
        (" 000001.XSHE ", "000001.XSHE"),
        ("\t600000\n", "600000.XSHG"),
        ("801010.INDX", "801010.INDX"),
        # Bare codes: exchange from the leading digits.
        ("600000", "600000.XSHG"),
        ("900901", "900901.XSHG"),
        ("510050", "510050.XSHG"),
        ("000001", "000001.XSHE"),
        ("159915", "159915.XSHE"),
        ("200002", "200002.XSHE"),
        ("300750", "300750.XSHE"),
        ("430047", "430047.BJSE"),
        ("835185", "835185.BJSE"),
        ("920002", "920002.BJSE"),
        # Integers are codes without their leading zeros.
        (600000, "600000.XSHG"),
        (1, "000001.XSHE"),
        (300750, "300750.XSHE"),
        (np.int64(2), "000002.XSHE"),
        # An explicit exchange wins over the leading digits.
        ("600000.SZ", "600000.XSHE"),
        ("SH000001", "000001.XSHG"),
    ],
)
def test_fix_order_book_id_normalises(code, expected):
    assert fix_order_book_id(code) == expected


@pytest.mark.parametrize(
    "code",
    [
        None,
        600000.0,
        True,
        np.bool_(False),
        -1,
        1000000,
        "",
        "60000",
        "6000000",
        "600000.XX",
        "600000.",
        "600000.SH.SH",
        "SH600000.SH",
        "600 000",
        "600000 .SH",
        "700001",  # no exchange lists codes starting with 7
        "６00000",  # full-width digit
        b"600000",
        ["600000"],
        "600000.\u017fh",  # a long s, which upper-cases to "S"
        "\u0663\u0660\u0660\u0660\u0660\u0660",  # Arabic-Indic digits
    ],
)
def test_fix_order_book_id_rejects(code):
    with pytest.raises(ValueError) as info:
        fix_order_book_id(code)
    assert repr(code) in str(info.value)


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("2017-06-30", "2017-06-30 00:00:00"),
        ("2017-06-30 09:31:05", "2017-06-30 09:31:05"),
        ("2017-06-30T09:31", "2017-06-30 09:31:00"),
        ("2017-06-30 09:31:05.250", "2017-06-30 09:31:05.250"),
        ("20170630", "2017-06-30 00:00:00"),
        ("20170630 14:59:59", "2017-06-30 14:59:59"),
        ("2017/06/30", "2017-06-30 00:00:00"),
        ("2017/6/3 9:31", "2017-06-03 09:31:00"),
        ("  2017-06-30 ", "2017-06-30 00:00:00"),
        ("2016-02-29", "2016-02-29 00:00:00"),
        # Offsets are converted to Beijing time (UTC+8).
        ("2017-06-30T01:31:05Z", "2017-06-30 09:31:05"),
        ("2017-06-30 09:31:05+08:00", "2017-06-30 09:31:05"),
        ("2017-06-30 20:00-0400", "2017-07-01 08:00:00"),
        (pd.Timestamp("2017-06-30 09:31:05"), "2017-06-30 09:31:05"),
        (pd.Timestamp("2017-06-30 01:31:05", tz="UTC"), "2017-06-30 09:31:05"),
        (dt.datetime(2017, 6, 30, 9, 31, 5), "2017-06-30 09:31:05"),
        (
            dt.datetime(2017, 6, 29, 23, 0, tzinfo=dt.timezone(dt.timedelta(hours=-2))),
            "2017-06-30 09:00:00",
        ),
        (dt.date(2017, 6, 30), "2017-06-30 00:00:00"),
        (np.datetime64("2017-06-30"), "2017-06-30 00:00:00"),
        (np.datetime64("2017-06-30T09:31:05"), "2017-06-30 09:31:05"),
    ],
)
def test_fix_datetime_reads(value, expected):
    result = fix_datetime(value)
    assert type(result) is pd.Timestamp
    assert result.tz is None
    assert result == pd.Timestamp(expected)


@pytest.mark.parametrize(
    "value",
    [
        None,
        float("nan"),
        np.nan,
        pd.NaT,
        np.datetime64("NaT"),
        20170630,
        1498786265.0,
        True,
        "",
        "   ",
        "2017-02-30",
        "2017-13-01",
        "2017-06-30 24:00",
        "2017-06-30 09:61",
        "2017-06-30 09:31:05+25:00",
        "2017-0630",
        "2017-06/30",
        "30/06/2017",
        "June 30, 2017",
        "yesterday",
        "2017-06-30 garbage",
        b"2017-06-30",
        # Outside the years any market data covers (the first one lands in year 10000).
        "9999-12-31T23:00-01:00",
        "1899-12-31",
        "2200-01-01",
        dt.date(1, 1, 1),
    ],
)
def test_fix_datetime_rejects(value):
    with pytest.raises(ValueError) as info:
        fix_datetime(value)
    assert repr(value) in str(info.value)
