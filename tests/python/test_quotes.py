"""The market data providers: what they answer and how few requests they make.

They read the "years" market (tests/support/markets.py): on its k-th trading day
(k = 0 on 2015-11-02) 000001.XSHE closes at 10 + 0.01 k and 600519.XSHG at 200 + 0.1 k;
2016-03-01 is day 80 (21 + 23 + 20 + 16 trading days in November to February).
"""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import meridan.quotes as quotes
from meridan.quotes import CachedMarketDataProvider, MarketDataProvider

MOUTAI, BANK, ETF = "600519.XSHG", "000001.XSHE", "510050.XSHG"
D = dt.date(2016, 3, 1)
CLOSES_ON_D = {MOUTAI: 208.0, BANK: 10.80}


def price_calls(market):
    return [(c.args, c.kwargs) for c in market.calls_to("get_price")]


def test_first_request_prefetches_a_year_and_later_days_are_free(market):
    md = CachedMarketDataProvider()
    first = md.get_close_price([MOUTAI, BANK], D)
    assert price_calls(market) == [(([MOUTAI, BANK],), dict(
        start_date=D, end_date=D + dt.timedelta(days=365), adjust_type="none", fields="close"))]
    assert first == CLOSES_ON_D

    md.get_close_price([BANK, MOUTAI], dt.date(2016, 12, 30))
    md.get_close_price([MOUTAI], D)
    assert market.count() == 1

    # Before the window and past it, only the missing pairs are asked for.
    md.get_close_price([MOUTAI], dt.date(2016, 2, 29))
    md.get_close_price([BANK, MOUTAI], dt.date(2017, 3, 2))
    assert [a[0] for a, _ in price_calls(market)[1:]] == [[MOUTAI], [BANK, MOUTAI]]


def test_cache_is_keyed_by_calendar_day(market):
    md = CachedMarketDataProvider("post")
    md.get_close_price([BANK], D)
    assert set(md._price_cache) >= {(BANK, D), (BANK, dt.date(2016, 3, 2))}
    assert all(type(day) is dt.date for _, day in md._price_cache)
    assert market.calls[0].kwargs["adjust_type"] == "post"
    # A Timestamp or datetime names its calendar day and is served from the cache.
    assert md.get_close_price([BANK], pd.Timestamp(D)) == md.get_close_price([BANK], D)
    assert md.get_close_price([BANK], dt.datetime(2016, 3, 1, 15)) == md.get_close_price([BANK], D)
    assert market.count("get_price") == 1


def test_no_ids_no_request(market):
    assert CachedMarketDataProvider().get_close_price([], D) == {}
    assert CachedMarketDataProvider().get_dividend_per_share([], D) == {}
    assert market.count() == 0


def test_series_reply_belongs_to_the_first_id(market):
    market.set_reply("get_price", pd.Series(
        [10.0, 11.0], index=pd.to_datetime(["2016-03-01", "2016-03-02"])))
    md = CachedMarketDataProvider()
    assert md.get_close_price([ETF], D) == {ETF: 10.0}
    assert md._price_cache == {(ETF, D): 10.0, (ETF, dt.date(2016, 3, 2)): 11.0}


@pytest.mark.parametrize("reply, day", [
    (None, D),                       # the service has nothing
    ("default", dt.date(2016, 3, 5)),  # a Saturday: no row for the day
])
def test_missing_close_raises_key_error_with_the_pair(market, reply, day):
    if reply is None:
        market.set_reply("get_price", None)
    md = CachedMarketDataProvider()
    with pytest.raises(KeyError) as info:
        md.get_close_price([BANK], day)
    assert info.value.args == ((BANK, day),)


def test_service_errors_propagate(market):
    market.set_error("get_price", ConnectionError("down"))
    with pytest.raises(ConnectionError):
        CachedMarketDataProvider().get_close_price([BANK], D)


CLOSURE = pd.Timestamp("2016-06-30")


@pytest.mark.parametrize("day", [
    CLOSURE, CLOSURE.date(), CLOSURE.to_pydatetime(), "2016-06-30", CLOSURE.to_datetime64()])
def test_dividend_per_share_on_its_book_closure_day(market, day):
    md = CachedMarketDataProvider()
    assert md.get_dividend_per_share([MOUTAI, BANK], day) == {MOUTAI: 0.25}
    assert md.get_dividend_per_share([MOUTAI, BANK], dt.date(2016, 7, 1)) == {}
    # One request per instrument, also for the one without dividends.
    assert [c.args for c in market.calls] == [(MOUTAI,), (BANK,)]
    assert all(c.kwargs == {"adjusted": False} for c in market.calls)
    assert md._dividend_cache[BANK] == {}


@pytest.mark.parametrize("day", [pd.Timestamp("2017-07-13"), dt.date(2017, 7, 13)])
def test_split_coefficient_on_its_day(market, day):
    md = CachedMarketDataProvider()
    assert md.get_split_coefficient([BANK, MOUTAI], day) == {MOUTAI: 1.5}
    assert md.get_split_coefficient([MOUTAI], dt.date(2017, 7, 14)) == {}
    assert [c.args for c in market.calls] == [(BANK,), (MOUTAI,)]


@pytest.mark.parametrize("mode, dividends_asked, per_share, splits_asked", [
    ("none", {"adjusted": False}, 0.25, True),
    ("pre", None, None, False),
    ("post", None, None, False),
    # Restated in today's shares: the later 10 -> 15 split divides the cash by 1.5.
    ("other", {"adjusted": True}, 0.25 / 1.5, False),
])
def test_modes_decide_what_is_served(market, mode, dividends_asked, per_share, splits_asked):
    md = CachedMarketDataProvider(mode)
    dividends = md.get_dividend_per_share([MOUTAI], CLOSURE)
    splits = md.get_split_coefficient([MOUTAI], dt.date(2017, 7, 13))
    calls = market.calls_to("get_dividend")
    if dividends_asked is None:
        assert dividends == {} and calls == []
    else:
        assert [c.kwargs for c in calls] == [dividends_asked]
        assert dividends == {MOUTAI: pytest.approx(per_share, abs=1e-15)}
    assert bool(market.calls_to("get_split")) == splits_asked
    assert splits == ({MOUTAI: 1.5} if splits_asked else {})


def test_abstract_provider():
    for name in ("get_close_price", "get_dividend_per_share", "get_split_coefficient"):
        with pytest.raises(NotImplementedError) as info:
            getattr(MarketDataProvider(), name)([BANK], D)
        assert info.value.args == ()
    assert issubclass(CachedMarketDataProvider, MarketDataProvider)


def test_replaced_service_function_is_used(market, monkeypatch):
    seen = []
    monkeypatch.setattr(quotes, "get_split", lambda oid: seen.append(oid))
    assert CachedMarketDataProvider().get_split_coefficient([BANK], D) == {}
    assert seen == [BANK] and market.count() == 0


@pytest.mark.parametrize("ids", [
    lambda: BANK,                          # one id as text, not its characters
    lambda: (oid for oid in [BANK]),       # any iterable, read once
    lambda: {BANK: 1}.keys(),
])
@pytest.mark.parametrize("date", [
    D, "2016-03-01", "20160301", pd.Timestamp(D), dt.datetime(2016, 3, 1, 9, 30),
    pd.Timestamp(D).to_datetime64(),
])
def test_requests_take_ids_and_dates_in_every_form(market, ids, date):
    md = CachedMarketDataProvider()
    assert md.get_close_price(ids(), date) == {BANK: 10.80}
    assert market.count("get_price") == 1


@pytest.mark.parametrize("method", [
    "get_close_price", "get_dividend_per_share", "get_split_coefficient"])
def test_an_unreadable_date_is_named(market, method):
    for mode in ("none", "pre"):
        with pytest.raises(ValueError, match="'the day after'"):
            getattr(CachedMarketDataProvider(mode), method)([BANK], "the day after")
    assert market.count() == 0


def test_a_day_without_a_close_fails_alike_in_any_request(market):
    # The suspended stock answers NaN inside a request for several ids.
    suspended, day = "000002.XSHE", dt.date(2016, 1, 6)
    for ids in ([suspended], [BANK, suspended]):
        with pytest.raises(KeyError) as info:
            CachedMarketDataProvider().get_close_price(ids, day)
        assert info.value.args == ((suspended, day),)


@pytest.mark.parametrize("replace", [
    lambda days: np.frombuffer(days, np.int64).repeat(2)[::2],  # an array, strided
    lambda days: None,
])
def test_a_memo_entry_put_there_by_other_code_is_worked_out_again(market, replace):
    md = CachedMarketDataProvider()
    day = dt.date(2016, 6, 30)
    assert md.get_dividend_per_share([MOUTAI], day) == {MOUTAI: 0.25}
    for key, (series, days) in list(md._dividend_days.items()):
        md._dividend_days[key] = (series, replace(days))
    assert md.get_dividend_per_share([MOUTAI], day) == {MOUTAI: 0.25}
    assert md.get_dividend_per_share([MOUTAI], dt.date(2017, 6, 30)) == {MOUTAI: 0.5}
    assert md.get_dividend_per_share([MOUTAI], dt.date(2016, 7, 1)) == {}


def test_a_series_put_in_the_cache_by_other_code_is_read_on_its_own_days(market):
    md = CachedMarketDataProvider()
    day, other = dt.date(2016, 6, 30), dt.date(2016, 7, 1)
    assert md.get_dividend_per_share([MOUTAI], day) == {MOUTAI: 0.25}
    md._dividend_cache[MOUTAI] = pd.Series([0.75], index=pd.DatetimeIndex([other]))
    assert md.get_dividend_per_share([MOUTAI], day) == {}
    assert md.get_dividend_per_share([MOUTAI], other) == {MOUTAI: 0.75}


@pytest.mark.parametrize("ids, error", [
    # The first id without a close, in the order asked, names the KeyError: a NaN
    # already cached and an id still to fetch (delisted before the calendar) fail alike.
    (["000002.XSHE", MOUTAI, "000009.XSHE"], "000002.XSHE"),
    ([MOUTAI, "000009.XSHE", "000002.XSHE"], "000009.XSHE"),
    ((BANK, MOUTAI, BANK), None),
    ([], None),
])
def test_a_request_is_answered_in_order_and_leaves_its_ids_alone(market, ids, error):
    day = dt.date(2016, 1, 6)  # "000002.XSHE" is suspended; "000009.XSHE" has no close
    md = CachedMarketDataProvider()
    md._fill_price_cache([BANK, "000002.XSHE"], day)
    asked = type(ids)(ids)
    if error:
        with pytest.raises(KeyError) as info:
            md.get_close_price(asked, day)
        assert info.value.args == ((error, day),)
    else:
        closes = md.get_close_price(asked, day)
        assert list(closes) == list(dict.fromkeys(ids))
    assert asked == ids


def test_cached_days_are_shared_between_instruments(market):
    md = CachedMarketDataProvider()
    md.get_close_price([BANK, MOUTAI], D)
    md.get_close_price(["000002.XSHE"], D)
    days = [day for _, day in md._price_cache]
    assert len({id(day) for day in days}) == len(set(days))  # one object per day


def test_an_id_the_market_does_not_know_is_the_clients_error(market):
    # The client refuses an unknown id (rather than answering NaN for it), naming it.
    for method in ("get_close_price", "get_dividend_per_share", "get_split_coefficient"):
        with pytest.raises(ValueError, match="unknown order_book_id: '999999.XSHE'"):
            getattr(CachedMarketDataProvider("none"), method)(
                [BANK, "999999.XSHE"], CLOSURE)
