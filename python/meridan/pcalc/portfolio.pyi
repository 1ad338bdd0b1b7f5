# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""The book of a portfolio replayed from its trades, splits and dividends."""

from typing import Any

from meridan.pcalc.position import Position as Position
from meridan.pcalc.trade import Trade

class Positions(dict[str, Position]):
    """Positions of a book by order book id.

    A dict whose missing keys read as a new flat Position that is not stored, so
    looking up an instrument never adds it to the book.
    """
    def __missing__(self, key: str) -> Position:
        """A new flat Position(key) for an instrument not in the book; not stored."""

class Portfolio:
    """The book of one portfolio: cash, one Position per instrument and the dividend
    income received.

    Portfolio(cash=100000.0, positions=None) opens a book with `cash` (currency) and
    `positions`, a mapping from order book id to a number of shares. Trades, splits,
    dividends and cash movements are applied in the caller's order; each operation
    either applies completely or, when it raises, leaves the book exactly as it
    was. Cash must be a finite number and each quantity a finite number >= 0
    (TypeError for what is not a number, ValueError otherwise, naming the value).

    Amounts keep the caller's number types, with Python's arithmetic: ints stay
    ints, a Fraction stays a Fraction (a Fraction and a float give a float). A
    Decimal stays a Decimal: where an operation involves a Decimal, its float
    amounts are read as the Decimals of their shortest text (a price of 10.1 is
    Decimal('10.1')), so Portfolio(Decimal('1000')) can book trades priced in
    floats. Numbers that do not mix (a Decimal and a Fraction) raise TypeError
    naming both values. Average prices are floats.

    A book may be shared between threads: each operation holds the book's own lock
    while it reads and changes it, so concurrent trades never lose an update.
    """
    _cash: Any
    _dividends: Any
    _positions: Any
    def __init__(self, cash: float = 100000.0, positions: dict[str, Any] | None = None) -> None:
        """Opens a book with `cash` and the share quantities of `positions`."""
    def holdings(self) -> list[str]:
        """Order book ids whose quantity is not 0, in the order they entered the book."""
    def get_position(self, key: str) -> Position:
        """The Position of order book id `key`; a new flat Position, not stored, for an
        instrument that is not in the book.
        """
    def __copy__(self) -> Any:
        """A book of its own with the same cash, dividends and positions (copy.copy is
        copy.deepcopy: the two never share a position).
        """
    def __repr__(self) -> str:
        """Portfolio(cash=..., dividends=..., positions={id: quantity}) of the
        instruments held.
        """
    def apply_trade(self, trade: Trade) -> None:
        """Books an executed trade: cash moves by price times quantity, plus the
        transaction cost on a buy or minus it on a sale (side "BUY" or "SELL"), and
        the instrument's position is updated and kept in the book. A side, price,
        quantity or cost that would corrupt the book (another side; a NaN, infinite or
        negative number; not a number) raises ValueError or TypeError and changes
        nothing.
        """
    def apply_split(self, splits: dict[str, float]) -> None:
        """Applies share splits: `splits` maps order book id to new shares per old share.
        Each held position's quantity is multiplied and its average price divided by
        the coefficient; instruments not in the book are skipped. A float quantity
        within 1e-6 of a whole number becomes that whole number. Every coefficient
        must be a finite number > 0, or nothing changes.
        """
    def apply_dividend(self, dividends: dict[str, float]) -> None:
        """Books cash dividends: `dividends` maps order book id to cash per share. Each
        instrument in the book adds quantity times dividend to the dividend income
        (never to cash); instruments not in the book are skipped. Every amount must
        be a finite number >= 0, or nothing changes.
        """
    def apply_cash(self, amount: float) -> None:
        """Moves `amount` (currency) into the book's cash, or out of it when negative:
        deposits and withdrawals, income credited as cash, taxes and fees. The amount
        must be a finite number, or nothing changes; the book does not refuse cash
        that becomes negative (the caller decides whether an account may overdraw).
        """
