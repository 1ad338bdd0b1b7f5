"""Checks of the recording proxy and the `market` fixture where they have logic of their
own: the records, forced replies, replay, installation and variant stores."""

import datetime as dt
import pickle
import sys

import pandas as pd
import pytest

import meridan.brinson.benchmark as benchmark
import meridan.quotes as quotes
import tickvane
from recording_tickvane import RecordingTickvane, install

BANK = "000001.XSHE"
D = dt.date(2016, 3, 1)  # trading day 80 of the "years" market: the bank closes at 10.80


def test_calls_are_recorded_with_their_outcome(market):
    assert market.get_price(BANK, D, D, adjust_type="none").tolist() == [10.80]
    with pytest.raises(ValueError, match="'999999.XSHE'"):
        market.instruments("999999.XSHE")
    first, second = market.calls
    assert (first.name, first.args, first.kwargs, first.error) == (
        "get_price", (BANK, D, D), {"adjust_type": "none"}, None)
    assert second.name == "instruments" and isinstance(second.error, ValueError)
    assert market.count() == 2 and market.count("instruments") == 1
    assert market.calls_to("get_price") == [first]
    assert market.time_inside == pytest.approx(first.seconds + second.seconds)
    market.reset_calls()
    assert market.calls == [] and market.time_inside == 0.0
    # Names that are no operation are the client's own, not recorded.
    assert market.StoreError is tickvane.StoreError and market.count() == 0


def test_forced_replies_and_errors(market):
    market.set_reply("get_split", lambda oid: oid.upper())
    market.set_replies("get_dividend", [None, "second"])
    market.set_error("index_weights", ConnectionError)
    assert market.get_split("abc") == "ABC"
    assert [market.get_dividend(BANK), market.get_dividend(BANK)] == [None, "second"]
    paid = market.get_dividend("600519.XSHG", adjusted=False)
    assert paid.dividend_cash_before_tax.tolist() == [2.5, 5.0]
    with pytest.raises(ConnectionError):
        market.index_weights("000300.XSHG", D)
    market.reset_overrides("get_split")
    assert market.get_split("600519.XSHG").index.tolist() == [pd.Timestamp("2017-07-13")]
    with pytest.raises(ConnectionError):
        market.index_weights("000300.XSHG", D)
    market.reset_overrides()
    assert len(market.index_weights("000300.XSHG", D)) == 5
    with pytest.raises(ValueError, match="no operation"):
        market.set_reply("get_prices", None)


def test_replay_answers_repeats_with_copies_of_one_reply(market):
    prepared = market.prepare("get_price", BANK, D, D, adjust_type="none")
    assert market.count() == 0 and prepared.tolist() == [10.80]
    with market.replaying():
        first = market.get_price(BANK, D, D, adjust_type="none")
        first.iloc[0] = -1.0  # the caller's copy, not the stored reply
        again = market.get_price(BANK, start_date=D, end_date=D, adjust_type="none")
        fresh = market.get_price(BANK, D, D, adjust_type="post")
    after = market.get_price(BANK, D, D, adjust_type="none")
    assert again.tolist() == after.tolist() == fresh.tolist() == [10.80]
    assert [c.replayed for c in market.calls] == [True, True, False, False]


def test_answers_from_memory_are_the_kept_replies_themselves(market):
    from meridan.brinson.classifier import SectorDecider_ShenWan as shenwan

    proxy = market.client
    asks = [("get_price", (BANK, D, D), {"adjust_type": "none"}),
            ("get_price", (BANK,), {"start_date": D, "end_date": D, "adjust_type": "none"}),
            ("get_price_change_rate", ([BANK, "600519.XSHG"],), {"start_date": D, "end_date": D}),
            ("instruments", (BANK,), {})]
    with proxy.answering_from_memory(c_level=("instruments",)) as memory:
        # The module's own copy and the proxy's attribute are both swapped.
        assert quotes.get_split is proxy.get_split
        first = [getattr(proxy, name)(*a, **kw) for name, a, kw in asks]
        sector = shenwan(BANK)
        again = [getattr(proxy, name)(*a, **kw) for name, a, kw in asks]
        assert shenwan(BANK) == sector
    # Each distinct request asked once (the two spellings of get_price apart), then the
    # same objects handed out again, unrecorded.
    assert [c.name for c in proxy.calls] == [n for n, _, _ in asks]
    assert all(a is b for a, b in zip(first, again))
    assert quotes.get_split is proxy.get_split and proxy.count() == 4
    proxy.reset_calls()
    kept = pickle.loads(pickle.dumps(memory))
    with proxy.answering_from_memory(kept, c_level=("instruments",)):
        replies = [getattr(proxy, name)(*a, **kw) for name, a, kw in asks]
        assert shenwan(BANK) == sector
    assert proxy.count() == 0
    assert replies[0].tolist() == [10.80] and replies[3].order_book_id == BANK
    # Outside, the proxy records and copies again.
    assert market.get_price(BANK, D, D, adjust_type="none") is not first[0]
    assert proxy.count() == 1


def test_install_replaces_and_restores_the_client_everywhere(monkeypatch):
    real = sys.modules["tickvane"]
    proxy = RecordingTickvane(real)
    with monkeypatch.context() as patch:
        install(proxy, patch)
        assert sys.modules["tickvane"] is proxy and benchmark.tickvane is proxy
        assert quotes.get_price is proxy.get_price
        # A second stand-in replaces the first.
        other = RecordingTickvane(real)
        install(other, patch)
        assert benchmark.tickvane is other and quotes.get_split is other.get_split
    assert sys.modules["tickvane"] is real and benchmark.tickvane is real
    assert quotes.get_price is real.get_price


@pytest.mark.market("week")
def test_variants_are_built_once_and_kept_on_a_refused_row(market, market_maker):
    base, split = market.path, "000004.XSHE,2024-03-07,10,20"
    market.add_rows("splits", split)
    assert market.path != base and market.count() == 0
    assert market.get_split("000004.XSHE").index.tolist() == [pd.Timestamp("2024-03-07")]
    variant = market.path
    tables = market_maker.tables("week")
    tables["splits"].append(split)
    assert market_maker.store(tables) == variant
    assert market_maker.store(market_maker.tables("week")) == base
    # A row the importer refuses names its file, and the test keeps its store.
    with pytest.raises(tickvane.DataImportError, match="splits.csv"):
        market.add_rows("splits", "600036.XSHG,2024-03-09,10,20")  # a Saturday
    assert market.path == variant and market.tables["splits"][-1] == split


@pytest.mark.market("week")
def test_a_marked_test_reads_its_market(market):
    assert market.name == "week"
    assert market.get_trading_dates("2024-01-01", "2024-12-31")[0] == dt.date(2024, 3, 4)
