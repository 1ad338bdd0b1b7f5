# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Close prices, dividends per share and split coefficients by date."""

from typing import Any

from tickvane import _is_st_stock as _is_st_stock
from tickvane import all_instruments as all_instruments
from tickvane import build_sample as build_sample
from tickvane import close_store as close_store
from tickvane import get_dividend as get_dividend
from tickvane import get_factor_exposure as get_factor_exposure
from tickvane import get_factor_return as get_factor_return
from tickvane import get_next_trading_date as get_next_trading_date
from tickvane import get_previous_trading_date as get_previous_trading_date
from tickvane import get_price as get_price
from tickvane import get_price_change_rate as get_price_change_rate
from tickvane import get_split as get_split
from tickvane import get_trading_dates as get_trading_dates
from tickvane import get_yield_curve as get_yield_curve
from tickvane import import_folder as import_folder
from tickvane import index_components as index_components
from tickvane import index_weights as index_weights
from tickvane import instruments as instruments
from tickvane import open_store as open_store
from tickvane import store_info as store_info
from tickvane import use_store as use_store

class MarketDataProvider:
    """获得多个股票的收盘价，原始价格
    @return dict order_book_id:price
    """
    def get_close_price(self, order_book_ids: list[str], date: Any) -> dict[str, float]:
        """Implemented by providers; returns a dict by order book id."""
    def get_dividend_per_share(self, order_book_ids: list[str], date: Any) -> dict[str, float]:
        """Implemented by providers; returns a dict by order book id."""
    def get_split_coefficient(self, order_book_ids: list[str], date: Any) -> dict[str, float]:
        """Implemented by providers; returns a dict by order book id."""

class CachedMarketDataProvider(MarketDataProvider):
    """Market data provider that reads the market-data client and keeps everything it
    read for its own lifetime.

    CachedMarketDataProvider(adjust_type="none"): closes in that adjustment mode
    ("none", "pre", "post" or any mode the client accepts). Closes are fetched a
    year (365 calendar days) ahead of the date asked for; each instrument's dividend
    and split tables are fetched once. Dividends are served only in mode "none" or
    another mode that is neither "pre" nor "post"; splits only in mode "none".
    """
    def __init__(self, adjust_type: str = 'none') -> None:
        """Creates a provider with empty caches for closes in mode `adjust_type`."""
    def _fill_price_cache(self, order_book_ids: list[str], date: Any) -> None:
        """Fetches the closes of `order_book_ids` from `date` to 365 days later in one
        request and caches them by (order book id, calendar day).
        """
    def get_close_price(self, order_book_ids: list[str], date: Any) -> dict[str, float]:
        """Close of each id on calendar day `date` (a dict by id), adjusted by the
        provider's mode. Missing closes are fetched in one request covering the next
        365 days; an id without a close that day raises KeyError((id, date)).
        """
    def get_dividend_per_share(self, order_book_ids: list[str], date: Any) -> dict[str, float]:
        """Cash dividend per share (pre-tax cash per lot divided by the lot size) of the
        ids whose book closure falls on the calendar day of `date`; empty in modes
        "pre" and "post".
        """
    def get_split_coefficient(self, order_book_ids: list[str], date: Any) -> dict[str, float]:
        """New shares per old share of the ids that split on the calendar day of `date`;
        empty unless the mode is "none".
        """
