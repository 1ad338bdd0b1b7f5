"""The position of one instrument in the portfolio book: shares held and the average
cost price per share."""

import math
import numbers

__all__ = ["Position"]


def _check_quantity(trade):
    quantity = trade.last_quantity
    # bool is an Integral, but True shares is a bug in the caller, not one share.
    if not isinstance(quantity, numbers.Real) or isinstance(quantity, bool):
        raise TypeError(
            f"last_quantity must be a number of shares, got {quantity!r} "
            f"(trade of {getattr(trade, 'order_book_id', '?')})"
        )
    if math.isnan(quantity) or quantity < 0:
        raise ValueError(
            f"last_quantity must be a non-negative number of shares, got {quantity!r} "
            f"(trade of {getattr(trade, 'order_book_id', '?')})"
        )
    return quantity


class Position:
    """Shares held in one instrument and their average cost price.

    Attributes: ``order_book_id``; ``quantity``, the number of shares held, stored as
    given; ``avg_price``, the average price paid per share (a float, currency per
    share), 0.0 for a new position, since the cost of an opening holding is unknown.
    Positions compare equal on (order_book_id, quantity, avg_price); they change in
    place, so they are not hashable.
    """

    def __init__(self, order_book_id, quantity=0):
        self.order_book_id = order_book_id
        self.quantity = quantity
        self.avg_price = 0.0

    def apply_trade(self, trade):
        """Book one trade of this instrument, reading ``trade.side``,
        ``trade.last_price`` and ``trade.last_quantity`` (shares, never negative).

        A side of exactly "BUY" adds the shares and moves ``avg_price`` to the
        quantity-weighted average of the old average and the trade price (fees are
        not part of the cost price); any other side is a sale, which removes the
        shares and keeps ``avg_price``. A position left with 0 shares has
        ``avg_price`` 0.0.

        Raises ValueError for a sale of more shares than are held, a negative or NaN
        quantity, or a buy at a negative or non-finite price, and TypeError for a
        quantity that is not a number; the position is then left unchanged.
        """
        quantity = _check_quantity(trade)
        if trade.side == "BUY":
            price = trade.last_price
            # A NaN price (a missing close) would silently poison every later
            # average, so it is refused like a negative one.
            if not isinstance(price, numbers.Real) or isinstance(price, bool):
                raise TypeError(
                    f"last_price must be a price per share, got {price!r} "
                    f"(buy of {self.order_book_id})"
                )
            if not math.isfinite(price) or price < 0:
                raise ValueError(
                    f"last_price must be a finite non-negative price, got {price!r} "
                    f"(buy of {self.order_book_id})"
                )
            new_quantity = self.quantity + quantity
            if new_quantity == 0:
                new_avg = 0.0
            else:
                new_avg = float(
                    (self.quantity * self.avg_price + quantity * price) / new_quantity
                )
        else:
            if quantity > self.quantity:
                raise ValueError(
                    f"cannot sell {quantity!r} shares of {self.order_book_id}: "
                    f"only {self.quantity!r} held"
                )
            new_quantity = self.quantity - quantity
            new_avg = 0.0 if new_quantity == 0 else self.avg_price
        self.quantity = new_quantity
        self.avg_price = new_avg

    def __eq__(self, other):
        if not isinstance(other, Position):
            return NotImplemented
        return (self.order_book_id, self.quantity, self.avg_price) == (
            other.order_book_id,
            other.quantity,
            other.avg_price,
        )

    __hash__ = None

    def __repr__(self):
        return (
            f"Position(order_book_id={self.order_book_id!r}, "
            f"quantity={self.quantity!r}, avg_price={self.avg_price!r})"
        )
