"""The record of one executed trade, as the normalisation of trade tables builds it and
the portfolio book consumes it."""

from __future__ import annotations

import dataclasses

__all__ = ["Trade"]


@dataclasses.dataclass(frozen=True, kw_only=True)
class Trade:
    """One executed trade, created with keyword arguments only and read back through
    attributes of the same names:

    - ``datetime``: time of the trade (a naive pandas Timestamp, Beijing time).
    - ``order_book_id``: instrument id in normal form, e.g. "000001.XSHE".
    - ``symbol``: the instrument's name.
    - ``last_price``: price per share, in currency.
    - ``last_quantity``: number of shares, positive for buys and sales alike.
    - ``side``: "BUY" or "SELL".
    - ``transaction_cost``: fees of the trade, in currency.

    Trades are immutable, compare equal when all seven fields are equal, and hash
    consistently with that.
    """

    datetime: object
    order_book_id: str
    symbol: str
    last_price: float
    last_quantity: int
    side: str
    transaction_cost: float
