# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""The position of one instrument in the portfolio book: shares held and the average cost price per share."""

from meridan.pcalc.trade import Trade

class Position:
    """Shares held in one instrument and their average cost price.

    Attributes: ``order_book_id``; ``quantity``, the number of shares held, stored as
    given; ``avg_price``, the average price paid per share (a float, currency per
    share), 0.0 for a new position, since the cost of an opening holding is unknown.
    Positions compare equal on (order_book_id, quantity, avg_price); they change in
    place, so they are not hashable.
    """
    order_book_id: str
    quantity: float
    avg_price: float
    def __init__(self, order_book_id: str, quantity: float = 0) -> None:
        """A position of `quantity` shares at an unknown (0.0) cost price."""
    def apply_trade(self, trade: Trade) -> None:
        """Book one trade of this instrument, reading ``trade.side``, ``trade.last_price``
        and ``trade.last_quantity`` (shares, never negative).

        A side of "BUY" adds the shares and moves ``avg_price`` to the
        quantity-weighted average of the old average and the trade price (fees are not
        part of the cost price); a side of "SELL" removes the shares and keeps
        ``avg_price``. A position left with 0 shares has ``avg_price`` 0.0.

        Raises ValueError for a sale of more shares than are held, any other side, a
        quantity or price that is negative, NaN or infinite, and TypeError for a
        quantity or price that is not a number; the position is then left unchanged.
        """
    def __eq__(self, other: object) -> bool:
        """Equal to another Position with the same id, quantity and avg_price."""
    def __repr__(self) -> str:
        """Position(order_book_id=…, …)."""
