"""The "brinson" market: the "years" market with rows of its own for the Brinson
attribution and factor exposure tests (tests/data/markets/brinson/): closes and index
members around the first days of March 2016, factor exposures, an earlier calendar.

- 600100.XSHG (金融) closes 100, 101, 103.02 on 02-29, 03-01, 03-02: changes 0.01, 0.02.
- 600101.XSHG (金融) closes 10, 13 (change 0.30 on 03-01) and is delisted from 03-02:
  no change rate (NaN) from then on.
- 600102.XSHG (能源) closes 10, 11, 11: changes 0.10, 0.
- 600201-600203 and 600211-600213 close 100 on 02-29 and 03-01, then 110, 95, 102 and
  108, 98, 103 on 03-02; 000016.XSHG holds the last three (0.4, 0.4, 0.2) and closes
  100, 103 on 03-01, 03-02: a textbook attribution in which nothing is rescaled.
- 600301 and 600302 change 0.06 and 0.02 on 03-01 and 0 on 03-02; 000010.XSHG holds
  them half and half and rises 100 -> 105: its sector returns are rescaled by 1.25.
- 000905.XSHG changes on 2016-03-03 from 000725.XSHE 0.4, 601857.XSHG 0.6 to
  000725.XSHE 0.25, 000001.XSHE 0.75; it and 000725.XSHE have closes from 02-29 to
  03-07 (000725.XSHE, with no close after, then changes by 0 while listed).
- 300750.XSHE is listed on 2016-05-23 and under special treatment to 2016-12-30.
- The calendar starts earlier: every weekday from 2009-12-28 to 2010-01-08 (around the
  earliest start of some analyses) and from 2015-05-04 to 2015-10-30 is a trading day
  too (no closes then).
- Factor exposures (``exposure(id, day)``) of the stocks of ``EXPOSED`` on every trading
  day from 2015-05-04 (or the listing) to 2016-12-30: factor number j (0 for beta, in
  the order of ``FACTORS``) is base + j / 10 + (days since 2015-01-01) / 1000.

Every table of the folder adds its rows to the "years" table of the same name.
"""

import datetime as dt

import markets

FACTORS = ["beta", "growth", "liquidity", "leverage", "momentum", "reversal", "size",
           "yield", "volatility", "value"]
# id -> (base, first day with exposures)
EXPOSED = {
    "000001.XSHE": (1.0, dt.date(2015, 5, 4)),
    "000002.XSHE": (-2.0, dt.date(2015, 5, 4)),
    "600519.XSHG": (3.0, dt.date(2015, 5, 4)),
    "601857.XSHG": (-4.0, dt.date(2015, 5, 4)),
    "000725.XSHE": (0.5, dt.date(2015, 5, 4)),
    "300750.XSHE": (2.5, dt.date(2016, 5, 23)),
}
EXPOSED_UNTIL = dt.date(2016, 12, 30)
EARLY = [(dt.date(2009, 12, 28), dt.date(2010, 1, 8)),
         (dt.date(2015, 5, 4), dt.date(2015, 10, 30))]


def exposure(order_book_id, day):
    """The ten exposures of a stock of ``EXPOSED`` on a trading day, in FACTORS order."""
    base = EXPOSED[order_book_id][0]
    return [round(base + j / 10 + (day - dt.date(2015, 1, 1)).days / 1000, 6)
            for j in range(len(FACTORS))]


def calendar():
    """The trading days of the "brinson" market."""
    early = []
    for day, last in EARLY:
        while day <= last:
            if day.weekday() < 5:
                early.append(day)
            day += dt.timedelta(days=1)
    return early + markets.years_calendar()


def generate(tables):
    """Replace `tables` (this market's CSV files) by the "years" tables plus their rows."""
    own = dict(tables)
    tables.clear()
    tables.update(markets.load_tables("years"))
    for name, lines in own.items():
        if name in tables:
            if lines[0] != tables[name][0]:
                raise ValueError("brinson %s.csv: header %r, not %r"
                                 % (name, lines[0], tables[name][0]))
            tables[name].extend(lines[1:])
        else:
            tables[name] = list(lines)
    days = calendar()
    tables["trading_dates"] = ["date"] + [d.isoformat() for d in days]
    tables["factor_exposures"] = ["order_book_id,date," + ",".join(FACTORS)] + [
        "%s,%s,%s" % (oid, d.isoformat(), ",".join(map(str, exposure(oid, d))))
        for oid, (_, first) in EXPOSED.items() for d in days if first <= d <= EXPOSED_UNTIL]
