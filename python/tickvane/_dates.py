"""Turns the date forms callers use into proleptic-Gregorian day ordinals.

Kept free of pandas and numpy so that the common cases (a Timestamp, a date, ISO text) cost
a microsecond; numpy's datetime64 is recognised by its type name without importing numpy.
"""

import datetime as _dt


def to_ordinal(value):
    """Day ordinal of `value` (its calendar day; the time of day is ignored).

    Accepts pd.Timestamp, datetime.datetime, datetime.date, numpy.datetime64 and text
    "2017-06-30", "20170630" or an ISO date-time; raises ValueError naming anything else.
    """
    if isinstance(value, _dt.date):  # datetime and pd.Timestamp are dates too
        try:
            return value.toordinal()
        except (ValueError, TypeError):  # NaT claims to be a datetime but has no day
            raise ValueError("not a date: %r" % (value,)) from None
    if isinstance(value, str):
        return _text_ordinal(value)
    if type(value).__name__ == "datetime64":
        return _datetime64_ordinal(value)
    raise ValueError("not a date: %r" % (value,))


_EPOCH_ORDINAL = _dt.date(1970, 1, 1).toordinal()


def _text_ordinal(text):
    s = text.strip()
    try:
        if len(s) == 8 and s.isdigit():
            return _dt.date(int(s[:4]), int(s[4:6]), int(s[6:])).toordinal()
        # fromisoformat also reads ISO week dates ("2019-W01-1") and other forms nobody
        # writes for a trading day; only YYYY-MM-DD, with or without a time, is a date here.
        if len(s) >= 10 and _is_ymd(s[:10]):
            if len(s) == 10:
                return _dt.date.fromisoformat(s).toordinal()
            if s[10] in "T ":
                return _dt.datetime.fromisoformat(s).toordinal()
    except ValueError:
        pass
    raise ValueError("not a date: %r" % (text,))


def _is_ymd(s):
    return (s[4] == "-" and s[7] == "-" and s[:4].isdigit() and s[5:7].isdigit()
            and s[8:].isdigit() and s.isascii())


def _datetime64_ordinal(value):
    import numpy as np

    if np.isnat(value):
        raise ValueError("not a date: %r" % (value,))
    return int(value.astype("datetime64[D]").astype(np.int64)) + _EPOCH_ORDINAL


def ordinal_to_ymd(ordinal):
    d = _dt.date.fromordinal(ordinal)
    return d.year * 10000 + d.month * 100 + d.day


def ymd_to_date(ymd):
    return _dt.date(ymd // 10000, ymd // 100 % 100, ymd % 100)
