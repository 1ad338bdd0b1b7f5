"""The "pcalc" market: the "years" market with what the analyses read beyond prices.

Its own CSV files (tests/data/markets/pcalc/) add rows to the "years" tables of the same
name: the Shenwan industry index 801010.INDX. The generator adds, on the trading days
of 2016 (k counts them from 0 on 2016-01-04):

- a flat yield curve: every tenor yields ``YIELD``;
- factor returns: factor j (``FACTORS[j]``) returns ``0.001 * (j + 1)`` on days with
  k % (j + 2) == 0 and ``-0.0005`` on the others (no two factors move alike);
- factor exposures of the five listed stocks: stock i (``EXPOSED[i]``) has the exposure
  ``0.1 * (i + 1) - 0.05 * j`` to factor j, the same every day.
"""

FACTORS = ["beta", "growth", "liquidity", "leverage", "momentum", "reversal", "size",
           "yield", "volatility", "value"]
TENORS = ["0S", "1M", "2M", "3M", "6M", "9M", "1Y", "2Y", "3Y", "4Y", "5Y", "6Y", "7Y",
          "8Y", "9Y", "10Y", "15Y", "20Y", "30Y", "40Y", "50Y"]
YIELD = 0.03
EXPOSED = ["000001.XSHE", "000002.XSHE", "600519.XSHG", "601857.XSHG", "000725.XSHE"]


def factor_return(j, k):
    """The return of factor ``FACTORS[j]`` on the k-th trading day."""
    return 0.001 * (j + 1) if k % (j + 2) == 0 else -0.0005


def exposure(i, j):
    """The exposure of stock ``EXPOSED[i]`` to factor ``FACTORS[j]``, every day."""
    return round(0.1 * (i + 1) - 0.05 * j, 2)


def pcalc(tables):
    import markets  # here: markets.py imports this module to register it

    own = tables.copy()
    tables.clear()
    tables.update(markets.load_tables("years"))
    for name, lines in own.items():
        if name in tables:
            tables[name].extend(lines[1:])
        else:
            tables[name] = lines
    days = [d.isoformat() for d in markets.years_calendar() if d.year == 2016]
    tables["yield_curve"] = ["date," + ",".join(TENORS)] + [
        day + ",%s" % ",".join([str(YIELD)] * len(TENORS)) for day in days]
    tables["factor_returns"] = ["date," + ",".join(FACTORS)] + [
        day + "," + ",".join(str(factor_return(j, k)) for j in range(len(FACTORS)))
        for k, day in enumerate(days)]
    tables["factor_exposures"] = ["order_book_id,date," + ",".join(FACTORS)] + [
        "%s,%s,%s" % (oid, day, ",".join(str(exposure(i, j)) for j in range(len(FACTORS))))
        for i, oid in enumerate(EXPOSED) for day in days]
