# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""The record of one executed trade, as the normalisation of trade tables builds it and the portfolio book consumes it."""

from typing import Any

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

    Trades are immutable, compare equal when all seven fields are equal (and are of
    the same class), and hash consistently with that.
    """
    datetime: Any
    order_book_id: str
    symbol: str
    last_price: float
    last_quantity: float
    side: str
    transaction_cost: float
    def __init__(
        self,
        *,
        datetime: Any,
        order_book_id: str,
        symbol: str,
        last_price: float,
        last_quantity: float,
        side: str,
        transaction_cost: float,
    ) -> None:
        """A trade from its seven fields, given by keyword."""
    def __setattr__(self, name: str, value: Any) -> None:
        """Trades are immutable: raises FrozenInstanceError."""
    def __delattr__(self, name: str) -> None:
        """Trades are immutable: raises FrozenInstanceError."""
    def __eq__(self, other: object) -> bool:
        """Equal to a trade of the same class with the same seven fields."""
    def __hash__(self) -> int:
        """Hash of the seven fields."""
    def __repr__(self) -> str:
        """Trade(datetime=…, …)."""
    def __reduce__(self) -> Any:
        """Pickling support."""

def _share_fields(trades: list[Trade], pool: dict[Any, Any]) -> None:
    """Makes equal field values of the new trades in the list `trades` one object, in
    place, so that a long list holds each distinct price, quantity, fee, id, name
    and side once, and each time once where trades of the same time follow one
    another. Only values that cannot be told apart are shared: exact str, int and
    float (not NaN, not -0.0), naive pandas Timestamps of the same value,
    resolution and fold. `pool` is a dict kept between calls on the parts of one
    list (start with {}). For trades nobody else holds yet: the records are
    immutable to everyone else.
    """
