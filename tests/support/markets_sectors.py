"""The "sectors" market: the "years" market classified by today's sector sets, the 31
Shenwan level-1 industries of the 2021 revision and the 11 MSCI sectors with 通信服务
and 房地产 (tests/data/markets/sectors/instruments.csv replaces the "years"
instruments): 601857.XSHG is in 石油石化 (采掘 in "years"), 000002.XSHE in 房地产 under
both schemes (金融 in the "years" MSCI sectors); the other stocks keep their names,
which both sets have. Every other table is the "years" market's.
"""

import markets


def generate(tables):
    """Replace `tables` (this market's CSV files) by the "years" tables with them."""
    own = dict(tables)
    tables.clear()
    tables.update(markets.load_tables("years"))
    tables.update(own)
