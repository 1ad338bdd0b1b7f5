"""The position calculator end to end on the generated sample market of the embedded
store (no fake): a statement is normalised, priced and replayed."""

import pandas as pd
import pytest

from meridan.pcalc.portfolio import Portfolio
from meridan.pcalc.preprocess import fix_trades
from meridan.quotes import CachedMarketDataProvider

pytestmark = pytest.mark.sample

DAY = "2023-03-01"


@pytest.fixture(scope="module")
def tickvane():
    import tickvane
    tickvane.open_store()
    return tickvane


def test_statement_is_priced_at_the_sample_closes(tickvane):
    stocks = tickvane.index_components("000300.XSHG", DAY)[:5]
    typed = [oid.replace(".XSHG", ".SH").replace(".XSHE", ".SZ") for oid in stocks]
    statement = pd.DataFrame({"order_book_id": typed, "datetime": [DAY + " 10:00"] * 5,
                              "side": ["buy"] * 5, "last_quantity": [100] * 5})
    trades = fix_trades(statement, CachedMarketDataProvider())
    closes = tickvane.get_price(stocks, DAY, DAY, adjust_type="none").iloc[0]
    assert [t.order_book_id for t in trades] == stocks
    assert [t.last_price for t in trades] == list(closes)
    book = Portfolio(1e6)
    for t in trades:
        book.apply_trade(t)
    assert book._cash == pytest.approx(1e6 - 100 * closes.sum())
    assert book.holdings() == stocks


def test_dividends_and_splits_of_the_sample_reach_the_book(tickvane):
    md = CachedMarketDataProvider()
    stocks = tickvane.index_components("000300.XSHG", "2020-01-02")
    for oid in stocks:
        table = tickvane.get_dividend(oid, adjusted=False)
        if table is not None:
            break
    row = table.iloc[-1]
    per_share = row["dividend_cash_before_tax"] / row["round_lot"]
    assert md.get_dividend_per_share([oid], row["book_closure_date"].date()) == {oid: per_share}

    split_owner = next(o for o in tickvane.all_instruments(type="CS").order_book_id
                       if tickvane.get_split(o) is not None)
    split = tickvane.get_split(split_owner).iloc[0]
    coefficient = split["split_coefficient_to"] / split["split_coefficient_from"]
    day = tickvane.get_split(split_owner).index[0]
    book = Portfolio(positions={split_owner: 1000})
    book.apply_split(md.get_split_coefficient([split_owner], day))
    assert book.get_position(split_owner).quantity == 1000 * coefficient


def test_readme_example_runs(tickvane, capsys):
    import pathlib
    import re
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
    example = re.search(r"## Example\n\n```python\n(.*?)```", readme, re.S).group(1)
    exec(example, {})
    assert "600000.XSHG" in capsys.readouterr().out
