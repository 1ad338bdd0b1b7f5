"""Normalisation of uploaded positions, trade statements and backtest logs.

They read the "years" market (tests/support/markets.py): on its k-th trading day (k = 0
on 2015-11-02) 000001.XSHE closes at 10 + 0.01 k and 600519.XSHG at 200 + 0.1 k;
2016-03-01 is day 80 and 2016-06-01 day 144 (April lost the 4th, May the 2nd).
000002.XSHE has no close from 2016-01-04 to 2016-01-15.
"""

import datetime as dt
import math

import pandas as pd
import pytest

from meridan.pcalc import preprocess
from meridan.pcalc.preprocess import fix_backtest_trades, fix_positions, fix_trades
from meridan.pcalc.trade import Trade
from meridan.quotes import CachedMarketDataProvider

BANK, MOUTAI, ETF = "000001.XSHE", "600519.XSHG", "510050.XSHG"
SYMBOLS = {BANK: "深发银行", MOUTAI: "茅山酒业"}  # the market's instruments.csv


class NoPrices:
    def get_close_price(self, order_book_ids, date):
        raise AssertionError("no price should be asked for")


def statement(**columns):
    return pd.DataFrame(columns)


def test_positions_normalise_ids_and_keep_quantities(market):
    frame = statement(order_book_id=["sz000001", "600519", "000001.SZ"],
                      quantity=[100, 0, 300])
    assert fix_positions(frame) == {BANK: 300, MOUTAI: 0}
    assert fix_positions(statement(order_book_id=[], quantity=[])) == {}
    assert market.count() == 0


def test_trades_are_checked_normalised_and_sorted(market):
    frame = statement(
        order_book_id=["600519.SH", "sz000001", "000001", "600519"],
        datetime=["2016-03-02 10:00", "2016-03-01 14:00", "2016-03-02 10:00", "20160301"],
        side=["sell", "BUY", "Buy", "buy"],
        last_quantity=[100.0, 200, 300, 400],
        last_price=["10.5", 11, 12.25, 13],
        transaction_cost=[1, 2, 3, 4],
        remark=["ignored", None, None, None],
    )
    trades = fix_trades(frame, NoPrices())
    moutai, bank = SYMBOLS[MOUTAI], SYMBOLS[BANK]
    assert trades == [
        Trade(datetime=pd.Timestamp("2016-03-01"), order_book_id=MOUTAI, symbol=moutai,
              last_price=13.0, last_quantity=400, side="BUY", transaction_cost=4.0),
        Trade(datetime=pd.Timestamp("2016-03-01 14:00"), order_book_id=BANK, symbol=bank,
              last_price=11.0, last_quantity=200, side="BUY", transaction_cost=2.0),
        # Equal times keep their row order.
        Trade(datetime=pd.Timestamp("2016-03-02 10:00"), order_book_id=MOUTAI, symbol=moutai,
              last_price=10.5, last_quantity=100, side="SELL", transaction_cost=1.0),
        Trade(datetime=pd.Timestamp("2016-03-02 10:00"), order_book_id=BANK, symbol=bank,
              last_price=12.25, last_quantity=300, side="BUY", transaction_cost=3.0),
    ]
    assert all(type(t.last_price) is float and type(t.last_quantity) is int for t in trades)
    # Each row: the instrument twice, the calendar of its day once.
    assert market.count("instruments") == 8
    assert market.count("get_trading_dates") == 4
    assert market.count() == 12


def test_unpriced_rows_take_the_close_of_their_day_through_the_provider(market):
    frame = statement(order_book_id=[BANK, BANK, MOUTAI],
                      datetime=["2016-03-01 10:00", "2016-06-01 10:00", "2016-03-02"],
                      side=["BUY", "SELL", "BUY"], last_quantity=[100, 100, 100])
    trades = fix_trades(frame, CachedMarketDataProvider())
    # Days 80, 81 and 144 (see above).
    assert [t.last_price for t in trades] == [10.80, 208.10, 11.44]
    assert [t.transaction_cost for t in trades] == [0.0, 0.0, 0.0]
    # The second BANK row falls inside the first row's year of prefetched closes.
    assert [c.args[0] for c in market.calls_to("get_price")] == [[BANK], [MOUTAI]]


@pytest.mark.parametrize("row, message", [
    (dict(order_book_id=ETF, datetime="not a time"), "交割单含有非股票数据，请修改后重新上传"),
    (dict(datetime="2016-03-05 10:00"), "2016-03-05 10:00:00 is not a trading day"),
    (dict(side="hold"), 'invalid side: HOLD, should be "BUY" or "SELL"'),
    (dict(datetime="2016-13-45"), "invalid datetime: 2016-13-45"),
])
def test_first_bad_row_fails_the_statement(market, row, message):
    good = dict(order_book_id=BANK, datetime="2016-03-01", side="BUY", last_quantity=100,
                last_price=10.0)
    frame = pd.DataFrame([good, {**good, **row}, {**good, "side": "nonsense"}])
    with pytest.raises(RuntimeError) as info:
        fix_trades(frame, NoPrices())
    assert str(info.value) == message


def test_unreadable_time_keeps_the_reason_attached(market):
    frame = statement(order_book_id=[BANK], datetime=["yesterday"], side=["BUY"],
                      last_quantity=[1])
    with pytest.raises(RuntimeError) as info:
        fix_trades(frame, NoPrices())
    assert isinstance(info.value.__context__, ValueError)
    assert "yesterday" in str(info.value.__context__)


def test_conversion_errors_propagate(market):
    frame = statement(order_book_id=[BANK], datetime=["2016-03-01"], side=["BUY"],
                      last_quantity=[1], last_price=["ten"])
    with pytest.raises(ValueError):
        fix_trades(frame, NoPrices())


def test_empty_statement_asks_nothing(market):
    empty = statement(order_book_id=[], datetime=[], side=[], last_quantity=[])
    assert fix_trades(empty, NoPrices()) == []
    assert fix_backtest_trades(empty.assign(last_price=[], transaction_cost=[])) == []
    assert market.count() == 0


def test_backtest_log_is_trusted_and_filtered(market):
    times = pd.to_datetime(["2016-03-02 09:31", "2016-03-01 09:31", "2016-03-01 09:32"])
    frame = pd.DataFrame({"order_book_id": [BANK, ETF, MOUTAI],
                          "side": ["SELL", "BUY", "buy"],
                          "last_price": [10, 3, "20.5"],
                          "last_quantity": [100.0, 200, 300],
                          "transaction_cost": [1, 0, "2"]}, index=times)
    trades = fix_backtest_trades(frame)
    symbols = SYMBOLS
    assert trades == [
        Trade(datetime=times[0], order_book_id=BANK, symbol=symbols[BANK], last_price=10.0,
              last_quantity=100, side="SELL", transaction_cost=1.0),
        Trade(datetime=times[2], order_book_id=MOUTAI, symbol=symbols[MOUTAI], last_price=20.5,
              last_quantity=300, side="BUY", transaction_cost=2.0),
    ]
    assert [c.args for c in market.calls] == [(BANK,), (ETF,), (MOUTAI,)]


NAN, INF = float("nan"), float("inf")
GOOD = dict(order_book_id=BANK, datetime="2016-03-01", side="BUY", last_quantity=100,
            last_price=10.0, transaction_cost=1.0)


@pytest.mark.parametrize("change, error, message", [
    (dict(last_quantity=100.7), RuntimeError, "invalid last_quantity: 100.7"),
    (dict(last_quantity=-100), RuntimeError, "invalid last_quantity: -100"),
    (dict(last_quantity=INF), RuntimeError, "invalid last_quantity: inf"),
    (dict(last_price=NAN), RuntimeError, "invalid last_price: nan"),
    (dict(last_price=-1.0), RuntimeError, "invalid last_price: -1.0"),
    (dict(transaction_cost=INF), RuntimeError, "invalid transaction_cost: inf"),
    (dict(transaction_cost=-0.5), RuntimeError, "invalid transaction_cost: -0.5"),
    (dict(last_price=pd.NA), RuntimeError, "invalid last_price: <NA>"),
    (dict(transaction_cost=pd.NA), RuntimeError, "invalid transaction_cost: <NA>"),
    (dict(side=NAN), RuntimeError, 'invalid side: nan, should be "BUY" or "SELL"'),
    (dict(side="hold"), RuntimeError, 'invalid side: HOLD, should be "BUY" or "SELL"'),
])
def test_statement_and_backtest_values_are_checked(market, change, error, message):
    frame = pd.DataFrame([GOOD, {**GOOD, **change}])
    backtest = frame.drop(columns="datetime").set_index(
        pd.to_datetime(frame["datetime"]) + pd.Timedelta("10h"))
    for call in (lambda: fix_trades(frame, NoPrices()), lambda: fix_backtest_trades(backtest)):
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message
        assert info.value.__notes__ == [f"in row 1 of the table (order_book_id '{BANK}')"]


@pytest.mark.parametrize("function, drop", [
    (lambda f: fix_trades(f, NoPrices()), "side"),
    (fix_backtest_trades, "transaction_cost"),
    (fix_positions, "quantity"),
])
def test_a_missing_column_is_named_before_any_row_is_read(market, function, drop):
    frame = pd.DataFrame([{**GOOD, "quantity": 1}]).drop(columns=drop)
    with pytest.raises(ValueError, match=f"no column '{drop}'"):
        function(frame)
    assert market.count() == 0


def test_backtest_times_are_read_like_statement_times(market):
    frame = pd.DataFrame([GOOD], index=["someday"]).drop(columns="datetime")
    with pytest.raises(RuntimeError, match="invalid datetime: someday"):
        fix_backtest_trades(frame)


def test_position_codes_keep_their_type(market):
    frame = pd.DataFrame({"order_book_id": [600000, 1], "quantity": [100.5, 200.0]})
    assert fix_positions(frame) == {"600000.XSHG": 100.5, "000001.XSHE": 200.0}


@pytest.mark.parametrize("replace_reader", [False, True])
def test_trades_come_out_in_a_stable_time_order(market, monkeypatch, replace_reader):
    # Times read in bulk, and through a replaced reader that returns plain datetimes,
    # sort like Python's stable sort of the rows by time.
    if replace_reader:
        monkeypatch.setattr(preprocess, "fix_datetime", lambda v: (
            pd.Timestamp(v).to_pydatetime() if isinstance(v, str) else v))
    times = ["2016-03-02 10:00", "2016-03-01 14:00:00.000001", "2016-03-02 10:00",
             "2016/3/1 14:00", "20160301", pd.Timestamp("2016-03-01 14:00:00.000000001"),
             "2016-03-02T09:59:59.999999"]
    frame = statement(order_book_id=[BANK] * len(times), datetime=times,
                      side=["BUY"] * len(times), last_quantity=list(range(1, len(times) + 1)),
                      last_price=[10.0] * len(times))
    trades = fix_trades(frame, NoPrices())
    expected = sorted(range(len(times)), key=lambda i: pd.Timestamp(times[i]))
    assert [t.last_quantity for t in trades] == [i + 1 for i in expected]


def test_aware_backtest_times_become_beijing_wall_time(market):
    frame = pd.DataFrame([GOOD]).drop(columns="datetime").set_index(
        pd.DatetimeIndex([pd.Timestamp("2016-03-01 02:00", tz="UTC")]))
    [trade] = fix_backtest_trades(frame)
    assert trade.datetime == pd.Timestamp("2016-03-01 10:00") and trade.datetime.tz is None


@pytest.mark.parametrize("side, read", [
    ("Buy", "BUY"), ("sELL", "SELL"), ("ſell", "SELL"),  # what str.upper() gives
    (" buy", None), ("buy\n", None), ("ｂｕｙ", None), ("BUYS", None), ("SEL", None),
])
def test_sides_read_as_their_upper_case(market, side, read):
    frame = pd.DataFrame([{**GOOD, "side": side}])
    if read is None:
        with pytest.raises(RuntimeError, match="invalid side"):
            fix_trades(frame, NoPrices())
    else:
        assert fix_trades(frame, NoPrices())[0].side == read


def test_every_kind_of_provider_prices_unpriced_rows_alike(market):
    # The package's own provider, a subclass that overrides the lookup, and one whose
    # method is replaced on the instance: the overrides are asked for every row.
    asked = []

    class Counting(CachedMarketDataProvider):
        def get_close_price(self, order_book_ids, date):
            asked.append((list(order_book_ids), date))
            return super().get_close_price(order_book_ids, date)

    shadowed = CachedMarketDataProvider()
    shadowed.get_close_price = lambda ids, date: {ids[0]: 1.5}
    frame = statement(order_book_id=[BANK, BANK, MOUTAI],
                      datetime=["2016-03-01 10:00", "2016-03-02 10:00", "2016-03-01 11:00"],
                      side=["BUY", "SELL", "BUY"], last_quantity=[100, 100, 100])
    own = [t.last_price for t in fix_trades(frame, CachedMarketDataProvider())]
    assert [t.last_price for t in fix_trades(frame, Counting())] == own
    # In table order, one row at a time.
    assert asked == [([BANK], dt.date(2016, 3, 1)), ([BANK], dt.date(2016, 3, 2)),
                     ([MOUTAI], dt.date(2016, 3, 1))]
    assert [t.last_price for t in fix_trades(frame, shadowed)] == [1.5] * 3


def test_a_cached_day_without_a_close_fails_its_row(market):
    # The suspended stock's NaN close is already in the cache when its row comes.
    suspended, day = "000002.XSHE", "2016-01-06"
    md = CachedMarketDataProvider()
    md._fill_price_cache([BANK, suspended], dt.date(2016, 1, 5))
    assert math.isnan(md._price_cache[(suspended, dt.date(2016, 1, 6))])
    frame = statement(order_book_id=[suspended], datetime=[day], side=["BUY"],
                      last_quantity=[100])
    with pytest.raises(KeyError) as info:
        fix_trades(frame, md)
    assert info.value.args == ((suspended, dt.date(2016, 1, 6)),)
    assert info.value.__notes__ == [f"in row 0 of the table (order_book_id '{suspended}')"]


TEXT = ["order_book_id", "datetime", "side"]


def _stored(frame, how):
    """The frame with its text columns held another way: in pyarrow, as pandas' string
    dtype or an ArrowDtype, or as the Python objects that tolist() gives of those."""
    pa = pytest.importorskip("pyarrow")
    out = frame.copy()
    for name in TEXT:
        cells = [v if isinstance(v, str) else None for v in frame[name].tolist()]
        if how == "arrow":
            out[name] = pd.Series(cells, dtype=pd.StringDtype("pyarrow"))
        elif how == "arrow, 32-bit offsets":
            out[name] = pd.Series(cells, dtype=pd.ArrowDtype(pa.string()))
        elif how == "arrow, three chunks":
            chunks = [pa.array(cells[k:k + 2], pa.large_string()) for k in (0, 2)]
            chunks.append(pa.array(cells[4:], pa.large_string()))
            out[name] = pd.Series(pd.arrays.ArrowExtensionArray(pa.chunked_array(chunks)))
        else:
            raise AssertionError(how)
    return out


def _as_objects(frame):
    out = frame.copy()
    for name in TEXT:
        out[name] = pd.Series(frame[name].tolist(), dtype=object, index=frame.index)
    return out


@pytest.mark.parametrize("how", ["arrow", "arrow, 32-bit offsets", "arrow, three chunks"])
@pytest.mark.parametrize("change", [
    {},
    {3: dict(datetime="2016-03-01T10:00+08:00")},   # read by fix_datetime itself
    {4: dict(side="ſell"), 5: dict(order_book_id="sz000001")},
    {2: dict(datetime=None)},
    {6: dict(side=None)},
    {1: dict(order_book_id=None)},
    {7: dict(side="ｂｕｙ")},
])
def test_text_columns_read_alike_however_pandas_stores_them(market, how, change):
    # Text read in place from pyarrow gives what the cells' Python objects give.
    rows = [dict(GOOD, order_book_id=oid, datetime=f"2016-03-0{1 + k % 3} 1{k}:00",
                 side=("buy", "SELL", "Buy")[k % 3])
            for k, oid in enumerate(["000001", "600519.SH", "000001.XSHE", "600519",
                                     "sz000001", "000001", "600519.XSHG", "000001"])]
    for k, cells in change.items():
        rows[k].update(cells)
    stored = _stored(pd.DataFrame(rows), how)

    def outcome(table):
        try:
            return fix_trades(table, NoPrices())
        except Exception as error:  # the same error, with the same note
            return type(error), str(error), getattr(error, "__notes__", None)

    for table in (stored, stored.iloc[1:]):  # iloc[1:]: arrays at an offset
        assert outcome(table) == outcome(_as_objects(table))


def _backtest(frame):
    return frame.drop(columns="datetime").set_index(
        pd.to_datetime(frame["datetime"]) + pd.Timedelta("10h"))


@pytest.mark.parametrize("cells, expected", [
    (["200", 300], [200, 300]),             # whole-number text, as it always was read
    ([" 200 ", "+7"], [200, 7]),            # as int() reads text
    ([10**12, 1e12], [10**12, 10**12]),     # the largest holding accepted
])
def test_whole_quantities_are_read_as_ints(market, cells, expected):
    frame = pd.DataFrame([GOOD] * len(cells)).assign(last_quantity=cells)
    for trades in (fix_trades(frame, NoPrices()), fix_backtest_trades(_backtest(frame))):
        assert [t.last_quantity for t in trades] == expected
        assert all(type(t.last_quantity) is int for t in trades)


@pytest.mark.parametrize("cell, shown", [
    ("100.7", "100.7"), ("abc", "abc"), ("-5", "-5"), ("", ""),
    (1e300, "1e+300"), (10**12 + 1, "1000000000001"),
    (12345678901234567, "12345678901234567"),   # not a float's whole number either
    (float(2**60), "1.152921504606847e+18"),
])
def test_quantities_that_are_not_a_holding_are_refused(market, cell, shown):
    frame = pd.DataFrame([GOOD, GOOD]).astype({"last_quantity": object})
    frame.at[1, "last_quantity"] = cell
    backtest = _backtest(frame)
    for call in (lambda: fix_trades(frame, NoPrices()), lambda: fix_backtest_trades(backtest)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == f"invalid last_quantity: {shown}"
        assert info.value.__notes__ == [f"in row 1 of the table (order_book_id '{BANK}')"]


@pytest.mark.parametrize("function, column", [
    (lambda f: fix_trades(f, NoPrices()), "last_quantity"),
    (lambda f: fix_trades(f, NoPrices()), "last_price"),
    (lambda f: fix_backtest_trades(_backtest(f)), "side"),
    (fix_positions, "order_book_id"),
])
def test_a_repeated_column_is_named(market, function, column):
    frame = pd.DataFrame([{**GOOD, "quantity": 1}])
    frame = pd.concat([frame, frame[[column]]], axis=1)
    with pytest.raises(ValueError, match=f"the table has 2 columns '{column}'"):
        function(frame)
    assert market.count() == 0


def test_a_repeated_column_that_is_not_read_is_no_error(market):
    frame = pd.DataFrame([{**GOOD, "note": "a"}])
    frame = pd.concat([frame, frame[["note"]]], axis=1)
    assert len(fix_trades(frame, NoPrices())) == 1


@pytest.mark.parametrize("name, resembles", [
    ("Last_Price", "last_price"),
    ("LastPrice", "last_price"),
    ("last_prices", "last_price"),
    ("transaction_costs", "transaction_cost"),
    ("Transaction_Cost", "transaction_cost"),
    ("transacton_cst", "transaction_cost"),
])
def test_a_misspelt_optional_column_is_named_in_a_warning(market, name, resembles):
    frame = pd.DataFrame([GOOD]).drop(columns=resembles).assign(**{name: 1.0})
    if resembles == "last_price":
        frame = frame.drop(columns="transaction_cost")
    md = CachedMarketDataProvider()
    with pytest.warns(UserWarning) as record:
        fix_trades(frame, md)
    assert [str(w.message) for w in record] == [
        f"the table's column '{name}' is not read; did you mean '{resembles}'?"]


def test_columns_far_from_the_optional_ones_give_no_warning(market):
    # pytest turns any warning into an error.
    frame = pd.DataFrame([{**GOOD, "price": 1.0, "cost": 2.0, "last_px_usd": 3.0,
                           "Last_Price": 10.0}])
    fix_trades(frame, NoPrices())    # last_price is there: nothing is ignored


def _with_bytes(frame, column, row, raw):
    """The frame with its text column `column` held in pyarrow, cell `row` being the
    bytes `raw` (which need not be UTF-8)."""
    pa = pytest.importorskip("pyarrow")
    cells = [str(v).encode() for v in frame[column]]
    cells[row] = raw
    offsets = [0]
    for c in cells:
        offsets.append(offsets[-1] + len(c))
    array = pa.Array.from_buffers(pa.string(), len(cells), [
        None, pa.py_buffer(pa.array(offsets, pa.int32()).buffers()[1]),
        pa.py_buffer(b"".join(cells))])
    out = frame.copy()
    out[column] = pd.Series(pd.arrays.ArrowExtensionArray(array))
    return out


@pytest.mark.parametrize("column, note_id", [
    ("order_book_id", r"b'\xff00001'"),
    ("side", repr(BANK)),
    ("datetime", repr(BANK)),
])
def test_text_that_is_not_utf8_fails_in_its_own_row(market, column, note_id):
    frame = _with_bytes(pd.DataFrame([GOOD] * 3), column, 2, b"\xff00001")
    with pytest.raises(Exception) as info:
        fix_trades(frame, NoPrices())
    assert info.value.__notes__ == [f"in row 2 of the table (order_book_id {note_id})"]
