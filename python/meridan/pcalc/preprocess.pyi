# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Normalisation of uploaded position tables, trade statements and backtest logs."""

from typing import Any

import pandas as pd

from meridan.pcalc.trade import Trade as Trade
from meridan.util import fix_datetime as fix_datetime
from meridan.util import fix_order_book_id as fix_order_book_id
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

def fix_positions(frame: pd.DataFrame) -> dict[str, Any]:
    """Opening positions from a table with columns order_book_id and quantity: a new
    dict from normalised order book id to the row's quantity (unconverted). A later
    row of the same instrument replaces an earlier one.
    """

def fix_trades(frame: pd.DataFrame, md: Any) -> list[Trade]:
    """Trades of a user's statement (columns order_book_id, datetime, side,
    last_quantity, optional last_price and transaction_cost) as a new list of Trade
    records sorted by time (stable). Rows without a price column are priced at the
    close of their calendar day through the market data provider `md`. The first
    row that is not a common stock, has an unreadable time, falls on a day without
    trading or has a side other than BUY/SELL raises RuntimeError, as does a
    last_quantity that is not a whole number from 0 to 1e12 (whole-number
    text such as "200" is read as that number). A required column given twice
    raises ValueError; a column that reads like a missing optional one
    ("Last_Price") is named in a UserWarning, since it is not read.
    """

def fix_backtest_trades(frame: pd.DataFrame) -> list[Trade]:
    """Trades of a backtest's log (indexed by trade time; columns order_book_id, side,
    last_price, last_quantity, transaction_cost) as a new list of Trade records in
    row order, leaving out instruments that are not common stocks.
    """
