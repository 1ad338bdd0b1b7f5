"""How values read from a store file become numbers, dates and date arrays.

Shared by the store's parts (prices, membership, corporate actions, factor model): each
reads its own tables, and all turn yyyymmdd integers into dates the same way.
"""

import numpy as np
import pandas as pd

from ._dates import ymd_to_date

NAN = float("nan")
# Date indexes use the resolution the installed pandas gives dates by default (ns on pandas
# 2, us on pandas 3), so replies compare equal to frames a caller builds from dates.
UNIT = pd.date_range("2000-01-01", periods=1).unit

# The range of years a store may hold: every date the client hands out must convert to
# a pandas Timestamp and a datetime.date.
FIRST_YMD, LAST_YMD = 19000101, 21991231


def checked_ymd(ymd, where):
    """A yyyymmdd value read from the store as a date; ValueError when it is no date of
    the years the client serves."""
    if not isinstance(ymd, int) or not FIRST_YMD <= ymd <= LAST_YMD:
        raise ValueError("%s holds %r, not a date from 1900 to 2199" % (where, ymd))
    return ymd_to_date(ymd)


def dates_column(values):
    """A datetime64 array from yyyymmdd integers (NaT for NULL)."""
    out = np.full(len(values), np.datetime64("NaT"), dtype="datetime64[%s]" % UNIT)
    for i, v in enumerate(values):
        if v is not None:
            out[i] = np.datetime64(checked_ymd(int(v), "a date column"), UNIT)
    return out
