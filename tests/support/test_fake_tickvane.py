"""Checks of the market-data fake where it has logic of its own."""

import datetime as dt
import sys
import types

import numpy as np
import pandas as pd
import pytest

from fake_tickvane import FACTORS, FakeTickvane, install


@pytest.fixture
def fake():
    return FakeTickvane()


@pytest.mark.parametrize(
    ("start", "end", "expected"),
    [
        # Both ends included; a date-time counts as its day.
        ("2017-01-26", "2017-02-06", ["2017-01-26", "2017-02-03", "2017-02-06"]),
        (
            pd.Timestamp("2017-01-26 15:00"),
            dt.datetime(2017, 2, 3, 9, 30),
            ["2017-01-26", "2017-02-03"],
        ),
        (dt.date(2017, 6, 30), np.datetime64("2017-06-30"), ["2017-06-30"]),
        ("2017-07-01", "2017-07-02", []),  # weekend
        ("2017-10-02", "2017-10-06", []),  # National Day week
        ("2017-07-05", "2017-07-03", []),  # reversed range
        ("2014-12-30", "2015-01-05", ["2015-01-05"]),  # calendar starts 2015
    ],
)
def test_trading_dates_inclusive(fake, start, end, expected):
    assert fake.get_trading_dates(start, end) == [
        dt.date.fromisoformat(d) for d in expected
    ]


@pytest.mark.parametrize(
    ("day", "previous", "following"),
    [
        ("2017-02-03", "2017-01-26", "2017-02-06"),
        ("2017-02-03 14:00", "2017-01-26", "2017-02-06"),
        ("2017-07-01", "2017-06-30", "2017-07-03"),
    ],
)
def test_previous_and_next_trading_date_are_strict(fake, day, previous, following):
    assert fake.get_previous_trading_date(day) == pd.Timestamp(previous)
    assert fake.get_next_trading_date(day) == pd.Timestamp(following)


def test_price_shapes_and_adjustment(fake):
    single = fake.get_price(
        "600519.XSHG", "2017-07-12", "2017-07-13", adjust_type="none"
    )
    assert isinstance(single, pd.Series)
    before, after = single.to_numpy()

    frame = fake.get_price(
        ["300750.XSHE", "600519.XSHG", "nope"],
        "2017-07-12",
        "2017-07-13",
        fields="close",
    )
    assert list(frame.columns) == ["300750.XSHE", "600519.XSHG", "nope"]
    assert list(frame.index) == [pd.Timestamp("2017-07-12"), pd.Timestamp("2017-07-13")]
    assert frame["300750.XSHE"].isna().all() and frame["nope"].isna().all()
    # "pre" scales closes before the 10->15 split down, "post" those after it up.
    assert frame["600519.XSHG"].tolist() == pytest.approx([before / 1.5, after])
    post = fake.get_price("600519.XSHG", "2017-07-12", "2017-07-13", adjust_type="post")
    assert post.tolist() == pytest.approx([before, after * 1.5])

    assert fake.get_price("300750.XSHE", "2017-01-01", "2017-12-31") is None
    assert fake.get_price(["nope"], "2017-01-01", "2017-12-31") is None


def test_change_rates_follow_closes(fake):
    fake.set_closes(
        "000001.XSHE", {"2017-07-03": 10.0, "2017-07-05": 11.0, "2017-07-06": 9.9}
    )
    rates = fake.get_price_change_rate(["000001.XSHE"], "2017-07-03", "2017-07-06")
    # A day without a close is NaN; the next one is measured against the last close.
    expected = pd.Series(
        [np.nan, np.nan, 0.1, -0.1],
        index=pd.to_datetime(["2017-07-03", "2017-07-04", "2017-07-05", "2017-07-06"]),
    )
    np.testing.assert_allclose(rates["000001.XSHE"].to_numpy(), expected.to_numpy())
    assert list(rates.index) == list(expected.index)


def test_factor_exposure_shapes(fake):
    one = fake.get_factor_exposure(["000001.XSHE"], "2018-06-01", "2018-06-05")
    assert list(one.columns) == FACTORS and len(one) == 3
    several = fake.get_factor_exposure(
        ["300750.XSHE", "000001.XSHE", "nope"], "2018-06-08", "2018-06-11"
    )
    assert several.index.names == ["order_book_id", "date"]
    assert list(several.index) == [
        ("300750.XSHE", pd.Timestamp("2018-06-11")),
        ("000001.XSHE", pd.Timestamp("2018-06-08")),
        ("000001.XSHE", pd.Timestamp("2018-06-11")),
    ]
    assert fake.get_factor_exposure(["300750.XSHE"], "2018-01-01", "2018-06-08") is None


def test_replies_are_independent_of_the_tables(fake):
    weights = fake.index_weights("000300.XSHG", "2017-06-12")
    weights[:] = 0.0
    closes = fake.get_price("000001.XSHE", "2017-07-03", "2017-07-05")
    closes[:] = 0.0
    assert fake.index_weights("000300.XSHG", "2017-06-12").sum() == pytest.approx(1.0)
    assert (fake.get_price("000001.XSHE", "2017-07-03", "2017-07-05") > 0).all()


def test_calls_are_recorded(fake):
    fake.get_trading_dates("2017-01-03", end_date="2017-01-04")
    with pytest.raises(ValueError, match="'nope'"):
        fake.instruments("nope")
    fake.set_error("get_split", ConnectionError("down"))
    with pytest.raises(ConnectionError):
        fake.get_split("600519.XSHG")

    assert [(c.name, c.args, c.kwargs) for c in fake.calls] == [
        ("get_trading_dates", ("2017-01-03",), {"end_date": "2017-01-04"}),
        ("instruments", ("nope",), {}),
        ("get_split", ("600519.XSHG",), {}),
    ]
    assert fake.calls[0].error is None and isinstance(
        fake.calls[2].error, ConnectionError
    )
    assert fake.count() == 3 and fake.count("instruments") == 1
    assert fake.time_inside == pytest.approx(sum(c.seconds for c in fake.calls))
    fake.reset_calls()
    assert fake.calls == [] and fake.time_inside == 0.0


def test_forced_replies(fake):
    fake.set_replies("get_factor_exposure", [None, lambda ids, start, end: ids])
    assert fake.get_factor_exposure(["000001.XSHE"], "2018-06-01", "2018-06-05") is None
    assert fake.get_factor_exposure(["x"], "2018-06-01", "2018-06-05") == ["x"]
    assert (
        len(fake.get_factor_exposure(["000001.XSHE"], "2018-06-01", "2018-06-05")) == 3
    )
    fake.set_reply("get_price", None)
    assert fake.get_price("000001.XSHE", "2017-07-03", "2017-07-05") is None
    fake.reset_overrides()
    assert fake.get_price("000001.XSHE", "2017-07-03", "2017-07-05") is not None


def test_replay_answers_identical_requests_from_store(fake):
    with fake.replaying():
        first = fake.index_weights("000300.XSHG", "2017-06-12")
        first[:] = 0.0
        again = fake.index_weights("000300.XSHG", "2017-06-12")
        fake.index_weights("000300.XSHG", date="2017-06-12")  # same request by keyword
        fake.index_weights("000300.XSHG", "2017-06-13")
        fake.set_index_weights("000300.XSHG", "2017-06-12", {"000001.XSHE": 2.0})
        edited = fake.index_weights("000300.XSHG", "2017-06-12")
    fake.index_weights("000300.XSHG", "2017-06-12")
    assert [call.replayed for call in fake.calls] == [
        False,
        True,
        True,
        False,
        False,
        False,
    ]
    assert again.sum() == pytest.approx(1.0)
    assert edited.to_dict() == {"000001.XSHE": 2.0}


def test_install_rebinds_meridan_modules(monkeypatch):
    def own_index_components(order_book_id, date):
        return "own"

    star = types.ModuleType("meridan._probe_star")
    plain = types.ModuleType("meridan._probe_plain")
    old = FakeTickvane()
    plain.tickvane = old
    for name in old.__all__:
        setattr(star, name, getattr(old, name))
    star.index_components = own_index_components
    monkeypatch.setitem(sys.modules, star.__name__, star)
    monkeypatch.setitem(sys.modules, plain.__name__, plain)

    new = FakeTickvane()
    with monkeypatch.context() as patch:
        install(new, patch)
        assert sys.modules["tickvane"] is new and plain.tickvane is new
        assert star.get_price is new.get_price and star._is_st_stock is new._is_st_stock
        assert star.index_components is own_index_components
        namespace = {}
        exec("from tickvane import *", namespace)
        assert namespace["_is_st_stock"] is new._is_st_stock
    assert plain.tickvane is old and star.get_price is old.get_price


def test_fixture_installs_a_fresh_fake(fake_tickvane):
    import tickvane

    assert tickvane is fake_tickvane and fake_tickvane.calls == []


def test_fake_offers_the_real_clients_operations_with_its_signatures(fake):
    # The fake lists the operations it stands in for; this keeps that list and the
    # parameters in step with the real client, so tests never pass against a fake
    # the package could not call the same way.
    import inspect

    import tickvane

    assert set(FakeTickvane.__all__) <= set(tickvane.__all__)
    for name in FakeTickvane.__all__:
        real = inspect.signature(getattr(tickvane, name))
        assert inspect.signature(getattr(fake, name)) == real, name
