"""Normalisation of what users type for instrument codes and trade times.

Both functions run once per row of an uploaded table, so they parse with a single
precompiled pattern each and never fall back to guessing: an input they cannot read
exactly raises ValueError naming it.
"""

import datetime as _dt
import numbers
import re

import numpy as np
import pandas as pd

__all__ = ["fix_order_book_id", "fix_datetime"]

# Suffixes users write, mapped to the exchange part of the normal id. "INDX" marks the
# industry indices of the data service and is kept as it is.
_SUFFIXES = {
    "XSHG": "XSHG",
    "XSHE": "XSHE",
    "BJSE": "BJSE",
    "INDX": "INDX",
    "SH": "XSHG",
    "SZ": "XSHE",
    "BJ": "BJSE",
}

# "SZ000001", or "000001" with an optional ".SZ"/".XSHE"-style suffix. re.ASCII keeps
# \d to 0-9, so full-width or other Unicode digits are rejected.
_CODE_RE = re.compile(
    r"(?:(SH|SZ|BJ)(\d{6})|(\d{6})(?:\.(XSHG|XSHE|BJSE|INDX|SH|SZ|BJ))?)", re.ASCII
)

# Exchange of a bare six-digit code, by its leading digit. Codes starting with 92 are
# Beijing listings although 9 otherwise means Shanghai (B shares); 7 is not a listed
# security code on any of the three exchanges.
_BY_FIRST_DIGIT = {
    "6": "XSHG",
    "9": "XSHG",
    "5": "XSHG",
    "0": "XSHE",
    "1": "XSHE",
    "2": "XSHE",
    "3": "XSHE",
    "4": "BJSE",
    "8": "BJSE",
}


def _infer_exchange(digits, code):
    if digits.startswith("92"):
        return "BJSE"
    exchange = _BY_FIRST_DIGIT.get(digits[0])
    if exchange is None:
        raise ValueError(f"cannot tell the exchange of instrument code {code!r}")
    return exchange


def fix_order_book_id(code):
    """Return the normal order book id ("NNNNNN.XSHG", "NNNNNN.XSHE" or
    "NNNNNN.BJSE") of an instrument code as a user typed it.

    Accepted: ids already in normal form (industry indices "NNNNNN.INDX" included),
    short suffixes ("000001.SZ", "600000.sh", "430047.BJ"), prefixes ("SZ000001",
    "bj430047"), surrounding whitespace, and bare six-digit codes given as text or as a
    non-negative integer (1 is "000001"), whose exchange follows from the leading
    digits: 6, 9 and 5 Shanghai, 0 to 3 Shenzhen, 4, 8 and 92 Beijing. An explicit
    exchange always wins over the leading digits. Anything else raises ValueError.
    """
    if isinstance(code, str):
        text = code.strip()
        # Checked before upper-casing: some non-ASCII letters upper-case to ASCII
        # ("ſ" to "S"), which would let "600000.ſh" pass as "600000.SH".
        if not text.isascii():
            raise ValueError(f"not an instrument code: {code!r}")
        text = text.upper()
        match = _CODE_RE.fullmatch(text)
        if match is None:
            raise ValueError(f"not an instrument code: {code!r}")
        prefix, prefixed_digits, digits, suffix = match.groups()
        if prefix is not None:
            return f"{prefixed_digits}.{_SUFFIXES[prefix]}"
        if suffix is not None:
            return f"{digits}.{_SUFFIXES[suffix]}"
        return f"{digits}.{_infer_exchange(digits, code)}"
    # bool is an Integral, but True is never meant as code 000001.
    if isinstance(code, numbers.Integral) and not isinstance(code, (bool, np.bool_)):
        number = int(code)
        if not 0 <= number <= 999999:
            raise ValueError(f"not an instrument code: {code!r}")
        digits = f"{number:06d}"
        return f"{digits}.{_infer_exchange(digits, code)}"
    raise ValueError(f"not an instrument code: {code!r}")


# Date as YYYY-MM-DD or YYYY/MM/DD (one or two digits for month and day) or YYYYMMDD,
# then optionally a time after "T" or blanks, optionally with fractional seconds and a
# UTC offset.
_DATETIME_RE = re.compile(
    r"""
    (?P<year>\d{4})
    (?:(?P<sep>[-/])(?P<month>\d{1,2})(?P=sep)(?P<day>\d{1,2})
       |(?P<cmonth>\d{2})(?P<cday>\d{2}))
    (?:(?:T|\s+)
       (?P<hour>\d{1,2}):(?P<minute>\d{2})
       (?::(?P<second>\d{2})(?:[.,](?P<fraction>\d{1,9}))?)?
       \s*(?P<offset>Z|[+-]\d{2}:?\d{2})?
    )?
    """,
    re.VERBOSE | re.ASCII,
)

# Trades on this market are booked in Beijing time; aware inputs are shown in it.
_MARKET_TZ = "Asia/Shanghai"


def _bad_datetime(value):
    return ValueError(f"cannot read a date-time from {value!r}")


def _naive_market_time(ts):
    if ts.tz is not None:
        ts = ts.tz_convert(_MARKET_TZ).tz_localize(None)
    return ts


def _parse_datetime_text(value):
    match = _DATETIME_RE.fullmatch(value.strip())
    if match is None:
        raise _bad_datetime(value)
    g = match.groupdict()
    month = g["month"] or g["cmonth"]
    day = g["day"] or g["cday"]
    fraction = g["fraction"] or ""
    digits9 = fraction.ljust(9, "0")
    try:
        wall = _dt.datetime(
            int(g["year"]),
            int(month),
            int(day),
            int(g["hour"] or 0),
            int(g["minute"] or 0),
            int(g["second"] or 0),
            int(digits9[:6]),
        )
        ts = pd.Timestamp(wall)
        nanoseconds = int(digits9[6:])
        if nanoseconds:
            ts = ts + pd.Timedelta(nanoseconds, unit="ns")
        offset = g["offset"]
        if offset is not None:
            if offset == "Z":
                tz = _dt.timezone.utc
            else:
                sign = -1 if offset[0] == "-" else 1
                hhmm = offset[1:].replace(":", "")
                delta = _dt.timedelta(hours=int(hhmm[:2]), minutes=int(hhmm[2:]))
                tz = _dt.timezone(sign * delta)
            ts = _naive_market_time(ts.tz_localize(tz))
    except (ValueError, OverflowError) as exc:
        # Impossible calendar dates (2017-02-30), hours past 23, offsets of a day or
        # more, and years outside what pandas can hold.
        raise _bad_datetime(value) from exc
    return ts


def fix_datetime(value):
    """Return the naive pandas Timestamp of a trade time as a user gave it.

    Accepted: pandas Timestamp, datetime.datetime, datetime.date (midnight),
    numpy.datetime64, and text "YYYY-MM-DD", "YYYY/MM/DD" or "YYYYMMDD", optionally
    followed by a time "HH:MM" or "HH:MM:SS[.fraction]" after "T" or a blank, and
    optionally a UTC offset ("Z", "+08:00"). Timezone-aware values are converted to
    Beijing wall time (Asia/Shanghai) and returned without a timezone.

    Raises ValueError, naming the value, for anything else: None, NaN, NaT, numbers,
    booleans, empty or unreadable text, impossible dates such as "2017-02-30", and
    times outside the years 1900 to 2199, which no market data covers.
    """
    ts = _fix_datetime(value)
    if not 1900 <= ts.year <= 2199:
        raise _bad_datetime(value)
    return ts


def _fix_datetime(value):
    # NaT passes isinstance checks for datetime, so it is rejected first.
    if value is pd.NaT:
        raise _bad_datetime(value)
    if isinstance(value, str):
        return _parse_datetime_text(value)
    if isinstance(value, _dt.datetime):
        try:
            return _naive_market_time(pd.Timestamp(value))
        except (ValueError, OverflowError) as exc:
            raise _bad_datetime(value) from exc
    if isinstance(value, _dt.date):
        try:
            return pd.Timestamp(value.year, value.month, value.day)
        except (ValueError, OverflowError) as exc:
            raise _bad_datetime(value) from exc
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise _bad_datetime(value)
        try:
            return pd.Timestamp(value)
        except (ValueError, OverflowError) as exc:
            raise _bad_datetime(value) from exc
    raise _bad_datetime(value)
