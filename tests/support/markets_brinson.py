"""The "brinson" market: the "years" market with a few rows of its own for the Brinson
attribution tests (tests/data/markets/brinson/), all around the first days of March 2016.

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

Every table of the folder adds its rows to the "years" table of the same name.
"""

import markets


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
