# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Sector classifiers: the MSCI sectors and the Shenwan level-1 industries, as
the store the market-data client reads records them (SHENWAN_INDUSTRY_MAP,
read as a module attribute, maps the index ids of its industries to their
names).
"""

class SectorDecider:
    """A sector classification scheme: `all_sectors()` lists its sectors in a fixed
    order and calling it with an order book id names the sector of that instrument.
    """
    def __init__(self) -> None:
        """Takes no settings."""
    def all_sectors(self) -> list[str]:
        """Implemented by schemes: the list of all sector names."""
    def __call__(self, order_book_id: str) -> str:
        """Implemented by schemes: the sector name of an instrument."""

class MSCISectorDecider(SectorDecider):
    """The MSCI sector scheme (Chinese names: the 10 sectors, or the 11 with 通信服务
    and 房地产, as the client's store records), read from the client's
    instrument records.
    """
    def all_sectors(self) -> list[str]:
        """A new list of the MSCI sector names of the store's set, in the scheme's
        order.
        """
    def __call__(self, order_book_id: str) -> str:
        """The MSCI sector name of the instrument: the `sector_code_name` of
        `tickvane.instruments(order_book_id)`, unchecked.
        """

class ShenWanSectorDecider(SectorDecider):
    """The Shenwan level-1 industries (Chinese names: the 28 of 2014, or the 31 of
    the 2021 revision, as the client's store records), read from the client's
    instrument records. SHENWAN_INDUSTRIES: the 28 of 2014.
    """
    SHENWAN_INDUSTRIES: list[str]
    def all_sectors(self) -> list[str]:
        """The industry names of the store's set in the order of SHENWAN_INDUSTRY_MAP,
        shared, not a copy: for the 28 of 2014 the class-level SHENWAN_INDUSTRIES
        list itself, for the 31 of 2021 one list per store.
        """
    def __call__(self, order_book_id: str) -> str:
        """The Shenwan industry name of the instrument: the
        `shenwan_industry_name` of `tickvane.instruments(order_book_id)`,
        unchecked.
        """
