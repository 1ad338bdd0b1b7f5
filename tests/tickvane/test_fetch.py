"""Fetching the market from baostock, against a fake of the library built from replies
recorded in tests/data/fetch/month.json (June 2023, six stocks): the fake answers as the
library does (result objects whose error_code is text, whose `fields` name the columns
and whose rows are lists of text, read page by page with next() / get_row_data()) and
filters the recorded rows as the server would. The network is never used, except by the
one test marked `network`, which runs only when selected with `-m network`."""

import io
import json
import os
import socket
import sqlite3
import sys
import types

import pandas as pd
import pytest

import tickvane
from tickvane import __main__ as cli
from tickvane import _sources_baostock
from tickvane._fetch import fetch

DATA = os.path.join(os.path.dirname(__file__), os.pardir, "data", "fetch", "month.json")
PAGE = 2000
START, END = "2023-06-01", "2023-06-30"


class Result:
    """Shaped as baostock's ResultData: pages of PAGE rows; `next()` asks for the next
    page when the current one is full. `broken`: what the page after the first brings —
    None (it comes), "silent" (nothing arrives: the library then returns False and keeps
    error_code "0") or an error code (the server's answer)."""

    def __init__(self, fields, rows, error_code="0", error_msg="success", broken=None):
        self.error_code, self.error_msg = error_code, error_msg
        self.fields = list(fields) if error_code == "0" else []
        self._pages = [rows[k:k + PAGE] for k in range(0, len(rows), PAGE)] or [[]]
        self._page, self._broken = 0, broken
        self.data = self._pages[0] if error_code == "0" else []
        self.cur_row_num = 0
        self.cur_page_num = "1"
        self.per_page_count = str(PAGE)

    def next(self):
        if len(self.data) == 0:
            return False
        if self.cur_row_num < len(self.data):
            return True
        if len(self.data) < PAGE:
            return False
        if self._broken == "silent":
            return False
        if self._broken is not None:
            self.error_code, self.error_msg = self._broken, "网络接收错误。"
            return False
        self._page += 1
        self.cur_page_num = str(self._page + 1)
        self.data = self._pages[self._page] if self._page < len(self._pages) else []
        self.cur_row_num = 0
        return len(self.data) > 0

    def get_row_data(self):
        row = []
        if self.cur_row_num < len(self.data):
            row = self.data[self.cur_row_num]
            self.cur_row_num += 1
        return row


class FakeBaostock(types.ModuleType):
    """The library's query functions over the recorded tables. `script[name]` is a list
    of replies (Result objects, or None for the recorded answer) given, one per call,
    before the recorded answers."""

    def __init__(self):
        super().__init__("baostock")
        with open(DATA, encoding="utf-8") as handle:
            self.tables = json.load(handle)
        self.calls, self.script, self.logged_in = [], {}, False
        self.bars_asked = []   # (code, start_date, end_date) of each request for bars
        self.timeouts = []     # the sockets' default timeout at each login

    def _answer(self, name, match, table=None):
        self.calls.append(name)
        if self.script.get(name) and self.script[name][0] is not None:
            return self.script[name].pop(0)
        if self.script.get(name):
            self.script[name].pop(0)
        if not self.logged_in:
            return Result([], [], "10001001", "用户未登录")
        table = self.tables[table or name]
        fields = table["fields"]
        rows = [r for r in table["rows"] if match(dict(zip(fields, r)))]
        return Result(fields, rows)

    def login(self, user_id="anonymous", password="123456"):
        self.calls.append("login")
        self.timeouts.append(socket.getdefaulttimeout())
        if self.script.get("login"):
            return self.script["login"].pop(0)
        self.logged_in = True
        return Result([], [])

    def logout(self, user_id="anonymous"):
        self.logged_in = False
        return Result([], [])

    def query_trade_dates(self, start_date=None, end_date=None):
        return self._answer("query_trade_dates",
                            lambda r: start_date <= r["calendar_date"] <= end_date)

    def query_stock_basic(self, code="", code_name=""):
        return self._answer("query_stock_basic", lambda r: code in ("", r["code"]))

    def _members(self, name, date):
        dates = [r[0] for r in self.tables[name]["rows"] if r[0] <= date]
        latest = max(dates, default=None)
        return self._answer(name, lambda r: r["updateDate"] == latest)

    def query_hs300_stocks(self, date=""):
        return self._members("query_hs300_stocks", date)

    def query_zz500_stocks(self, date=""):
        return self._members("query_zz500_stocks", date)

    def query_stock_industry(self, code="", date=""):
        return self._answer("query_stock_industry", lambda r: code in ("", r["code"])
                            and r["updateDate"] <= date)

    def query_history_k_data_plus(self, code, fields, start_date=None, end_date=None,
                                  frequency="d", adjustflag="3"):
        # Stocks and indices are recorded apart: an index has fewer fields.
        assert (frequency, adjustflag) == ("d", "3")
        name = "query_history_k_data_plus"
        table = name if code[3:6] not in ("000", "399") or code[:2] == "sz" else \
            name + " (index)"
        assert fields == ",".join(self.tables[table]["fields"])
        self.bars_asked.append((code, start_date, end_date))
        return self._answer(name, lambda r: r["code"] == code
                            and start_date <= r["date"] <= end_date, table)

    def query_adjust_factor(self, code, start_date=None, end_date=None):
        return self._answer("query_adjust_factor", lambda r: r["code"] == code
                            and start_date <= r["dividOperateDate"] <= end_date)

    def query_dividend_data(self, code, year=None, yearType="report"):
        assert yearType == "operate"
        return self._answer("query_dividend_data", lambda r: r["code"] == code
                            and r["dividOperateDate"][:4] == str(year))


@pytest.fixture
def fake(monkeypatch):
    library = FakeBaostock()
    monkeypatch.setitem(sys.modules, "baostock", library)
    monkeypatch.setitem(sys.modules, "akshare", None)   # baostock's tables only
    monkeypatch.setattr(_sources_baostock.time, "sleep", lambda s: library.calls.append(
        ("sleep", s)))
    yield library
    tickvane.use_store(None)


@pytest.fixture(scope="module")
def fetched(tmp_path_factory):
    """One store fetched from the recorded month, shared by the read-only tests: (path,
    printed notes, the library's calls)."""
    mp = pytest.MonkeyPatch()
    library = FakeBaostock()
    mp.setitem(sys.modules, "baostock", library)
    mp.setitem(sys.modules, "akshare", None)
    path = tmp_path_factory.mktemp("fetched") / "store.sqlite"
    out = io.StringIO()
    fetch(START, END, store=str(path), pace=0, progress=False, out=out)
    mp.undo()
    yield path, out.getvalue(), library.calls
    tickvane.use_store(None)


@pytest.fixture
def month(fetched):
    tickvane.use_store(str(fetched[0]))
    return fetched


def _day(text):
    return pd.Timestamp(text)


def test_fetched_calendar_and_instruments(month):
    days = tickvane.get_trading_dates(START, END)
    assert len(days) == 20 and days[0].isoformat() == START
    assert not {d.isoformat() for d in days} & {"2023-06-22", "2023-06-23"}
    table = tickvane.all_instruments().set_index("order_book_id")
    # The members of the two indices and the indices; sectors mapped from the CSRC
    # industries (the delisted stock has none at the source); no convertible bond.
    assert table["sector_code_name"].fillna("-").to_dict() == {
        "000002.XSHE": "信息技术", "000004.XSHE": "-", "000005.XSHE": "工业",
        "000300.XSHG": "-", "000905.XSHG": "-", "600001.XSHG": "金融",
        "600003.XSHG": "医疗保健", "600006.XSHG": "公共服务"}
    assert (table.loc["000300.XSHG", "type"], table.loc["600001.XSHG", "symbol"]) == (
        "INDX", "甲银行")
    assert tickvane.instruments("000004.XSHE").de_listed_date == _day("2023-06-16")
    assert tickvane.instruments("600001.XSHG").de_listed_date is None
    assert tickvane.instruments("600001.XSHG").round_lot == 100


def test_suspended_days_have_no_close_whatever_the_source_repeats(month):
    closes = tickvane.get_price("000002.XSHE", "2023-06-15", "2023-06-21", adjust_type="none")
    assert closes.to_dict() == {_day("2023-06-15"): 14.0, _day("2023-06-16"): 14.1,
                                _day("2023-06-21"): 14.2}
    change = tickvane.get_price_change_rate("000002.XSHE", "2023-06-19", "2023-06-21")
    assert list(change[:2]) == [0.0, 0.0]
    assert change.iloc[2] == pytest.approx(14.2 / 14.1 - 1)
    # The delisted stock's last close is the day before its delisting date.
    last = tickvane.get_price("000004.XSHE", START, END, adjust_type="none")
    assert (last.index[-1], last.iloc[-1]) == (_day("2023-06-15"), pytest.approx(1.5))
    # The indices' levels, every day.
    levels = tickvane.get_price(["000300.XSHG", "000905.XSHG"], START, END, adjust_type="none")
    assert levels.iloc[[0, -1]].to_dict("list") == {
        "000300.XSHG": [3800.0, 3990.0], "000905.XSHG": [5800.0, 5895.0]}


@pytest.mark.parametrize("oid, day, expected", [
    # 600001: ex-dividend on 06-09 (factor 1.5 -> 1.548338 in the source's factors)
    ("600001.XSHG", "2023-06-09", 9.70 * 1.548338 / (10.25 * 1.5) - 1),
    ("600001.XSHG", "2023-06-08", 10.25 / 10.20 - 1),
    # 000002: ten get three bonus and two transferred shares and 1 yuan on 06-15
    ("000002.XSHE", "2023-06-15", 14.00 * 1.506912 / 21.80 - 1),
    # 000005: a rights issue on 06-26, in the factors only
    ("000005.XSHE", "2023-06-26", 7.50 * 1.04 / 9.40 - 1),
])
def test_change_rates_follow_the_source_factors_on_ex_days(month, oid, day, expected):
    assert tickvane.get_price_change_rate(oid, day, day).iloc[0] == pytest.approx(expected)


def test_dividends_and_bonus_shares(month):
    # Only the dividend with its ex date in the store; cash per 10 shares before tax.
    paid = tickvane.get_dividend("600001.XSHG", adjusted=False)
    assert paid.to_dict("records") == [{
        "book_closure_date": _day("2023-06-08"), "ex_dividend_date": _day("2023-06-09"),
        "payable_date": _day("2023-06-09"), "dividend_cash_before_tax": 3.2,
        "round_lot": 10}]
    split = tickvane.get_split("000002.XSHE")
    assert split.to_dict("index") == {_day("2023-06-15"): {
        "split_coefficient_from": 10, "split_coefficient_to": 15}}
    assert tickvane.get_dividend("000002.XSHE", adjusted=False).iloc[0][
        "dividend_cash_before_tax"] == pytest.approx(1.0)
    assert tickvane.get_split("600001.XSHG") is None
    # The rights issue is named in the notes.
    assert "000005.XSHE: price adjustment on 2023-06-26" in month[1]


@pytest.mark.parametrize("index, day, members", [
    # The members in force before the store begins hold from its first day.
    ("000300.XSHG", "2023-06-01", ["600001.XSHG", "600006.XSHG"]),
    ("000300.XSHG", "2023-06-09", ["600001.XSHG", "600006.XSHG"]),
    ("000300.XSHG", "2023-06-12", ["000002.XSHE", "600001.XSHG"]),
    ("000905.XSHG", "2023-06-09", ["000002.XSHE", "000004.XSHE", "600003.XSHG"]),
    ("000905.XSHG", "2023-06-30", ["000005.XSHE", "600003.XSHG"]),
])
def test_index_members_on_their_change_dates(month, index, day, members):
    assert tickvane.index_components(index, day) == members


@pytest.mark.parametrize("index, day, closes", [
    # Every recorded bar has the same volume and turnover rate, so the same tradable
    # share count: the weights are the members' closes over their sum.
    ("000300.XSHG", "2023-06-01", {"600001.XSHG": 10.00, "600006.XSHG": 30.00}),
    ("000300.XSHG", "2023-06-09", {"600001.XSHG": 10.00, "600006.XSHG": 30.00}),
    ("000300.XSHG", "2023-06-12", {"000002.XSHE": 21.40, "600001.XSHG": 9.75}),
    # 000002 is suspended on 06-19 and 06-20 and 000004 delisted: last closes.
    ("000905.XSHG", "2023-06-01", {"000002.XSHE": 20.00, "000004.XSHE": 2.00,
                                   "600003.XSHG": 5.00}),
    ("000905.XSHG", "2023-06-30", {"000005.XSHE": 7.90, "600003.XSHG": 4.62}),
    ("000300.XSHG", "2023-06-30", {"000002.XSHE": 14.70, "600001.XSHG": 10.35}),
])
def test_index_weights_approximated_from_tradable_capitalisation(month, index, day, closes):
    weights = tickvane.index_weights(index, day)
    total = sum(closes.values())
    assert weights.to_dict() == pytest.approx({i: c / total for i, c in closes.items()})


@pytest.mark.parametrize("oid, day, st", [
    ("600003.XSHG", "2023-06-02", False), ("600003.XSHG", "2023-06-05", True),
    ("600003.XSHG", "2023-06-30", True), ("000004.XSHE", "2023-06-01", True),
    ("000004.XSHE", "2023-06-15", True), ("600001.XSHG", "2023-06-15", False),
])
def test_st_periods_from_the_daily_flag(month, oid, day, st):
    assert tickvane._is_st_stock(oid, day) is st


def test_store_records_its_source_and_rows(fetched):
    path = fetched[0]
    con = sqlite3.connect(str(path))
    try:
        st = con.execute("SELECT * FROM st_periods ORDER BY 1").fetchall()
        meta = dict(con.execute("SELECT key, value FROM meta"))
    finally:
        con.close()
    assert st == [("000004.XSHE", 20230601, 20230615), ("600003.XSHG", 20230605, None)]
    assert (meta["source"], meta["fetched_from"], meta["end_date"]) == (
        "fetch", "baostock", END)
    assert tickvane.store_info(str(path))["meta"]["fetched_at"] == meta["fetched_at"]
    # One calendar, one list, the industries, 2 x 2 member dates, 6 stocks x (bars,
    # factors), the year of each stock with an adjustment in the month (two dividends, a
    # rights issue) and the closes of the two indices.
    calls = [c for c in fetched[2] if c != "login"]
    assert len(calls) == 1 + 1 + 1 + 4 + 6 * 2 + 3 + 2


def test_command_line_fetch_then_info(fake, tmp_path, capsys):
    store = tmp_path / "market.sqlite"
    assert cli.main(["fetch", "--start", START, "--end", END, "--store", str(store),
                     "--quiet", "--pace", "0"]) == 0
    out = capsys.readouterr().out
    assert "source        fetch from baostock up to 2023-06-30" in out
    assert "not fetched   yield_curve" in out
    assert "index weights approximation: each member's tradable capitalisation" in out
    assert cli.main(["info", "--store", str(store)]) == 0
    assert "fetch from baostock" in capsys.readouterr().out


def _tables(path):
    con = sqlite3.connect(str(path))
    try:
        return {t: sorted(con.execute("SELECT * FROM %s" % t).fetchall(), key=repr)
                for t in ("trading_dates", "instruments", "st_periods", "prices",
                          "index_components", "index_weights", "dividends", "splits")}
    finally:
        con.close()


def test_a_rerun_adds_the_new_days(fake, fetched, tmp_path, capsys):
    # Fetched up to 06-09, then again up to 06-30: the same store as one fetch of the
    # month. The re-run asks for the new days only, except for 000005, which joins the
    # CSI 500 on 06-12 and is fetched from the start.
    store = tmp_path / "s.sqlite"
    args = ["fetch", "--start", START, "--store", str(store), "--quiet", "--pace", "0"]
    assert cli.main(args + ["--end", "2023-06-09"]) == 0
    fake.calls.clear()
    fake.bars_asked.clear()
    assert cli.main(args + ["--end", END]) == 0
    assert _tables(store) == _tables(fetched[0])
    assert sorted(fake.bars_asked) == [
        ("sh.000300", "2023-06-12", END), ("sh.000905", "2023-06-12", END),
        ("sh.600001", "2023-06-12", END), ("sh.600003", "2023-06-12", END),
        ("sh.600006", "2023-06-12", END), ("sz.000002", "2023-06-12", END),
        ("sz.000004", "2023-06-12", END), ("sz.000005", START, END)]
    # Nothing new: nothing is requested beyond the session, nothing written.
    before = store.read_bytes()
    fake.calls.clear()
    capsys.readouterr()
    assert cli.main(args + ["--end", END]) == 0
    assert "is up to date (2023-06-30): nothing was written" in capsys.readouterr().out
    assert fake.calls == ["login"] and store.read_bytes() == before
    # Another universe is fetched whole, and says so.
    assert cli.main(args + ["--end", END, "--universe", "hs300"]) == 0
    assert ("was fetched from 2023-06-01 to 2023-06-30 for hs300,zz500; this fetch (from"
            " 2023-06-01 to 2023-06-30 for hs300) replaces it whole") in capsys.readouterr().out
    assert {r[0] for r in _tables(store)["index_components"]} == {"000300.XSHG"}


def test_a_fetch_in_batches_keeps_the_batches_written_before_a_failure(fake, fetched,
                                                                      tmp_path):
    # Batches of ten days end on 06-10, 06-20 and 06-30; the closes of the third batch do
    # not arrive. The store keeps the first two; the same fetch again completes it.
    store = tmp_path / "s.sqlite"
    bars = 6 + 2
    fake.script["query_history_k_data_plus"] = [None] * (2 * bars) + [
        Result([], [], "10004011", "无效的证券代码")]
    with pytest.raises(tickvane.SourceError, match="error 10004011"):
        fetch(START, END, store=str(store), pace=0, progress=False, out=io.StringIO(),
              batch_days=10)
    info = tickvane.store_info(str(store))
    assert (info["last_date"], info["meta"]["added_from"]) == (_day("2023-06-20"),
                                                               "2023-06-09")
    fetch(START, END, store=str(store), pace=0, progress=False, out=io.StringIO(),
          batch_days=10)
    assert _tables(store) == _tables(fetched[0])


def test_the_command_says_how_far_a_failed_fetch_got(fake, tmp_path, capsys):
    # From 2022-06-01 the first batch (a year) holds one trading day of the recording,
    # 2023-06-01: five member stocks and two indices. The second batch fails.
    store = tmp_path / "s.sqlite"
    fake.script["query_history_k_data_plus"] = [None] * 7 + [
        Result([], [], "10004011", "无效的证券代码")]
    assert cli.main(["fetch", "--start", "2022-06-01", "--end", END, "--store", str(store),
                     "--quiet", "--pace", "0"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.endswith(
        "the store at %s holds the batches fetched before the failure, up to 2023-06-01;"
        " the same command goes on from there\n" % store)


def test_store_ends_at_the_last_day_with_bars(fake, tmp_path):
    # The calendar already holds 2023-07-03, but the source has no bars for it yet.
    store = tmp_path / "s.sqlite"
    out = io.StringIO()
    fetch(START, "2023-07-03", store=str(store), pace=0, progress=False, out=out)
    info = tickvane.store_info(str(store))
    assert info["last_date"].isoformat()[:10] == END
    assert "no bars yet after 2023-06-30" in out.getvalue()


def _failure(kind):
    """(function whose reply fails, the reply)."""
    big = [["2010-01-01", "1"]] * PAGE + [["2015-01-05", "1"]]
    return {
        "login offline": ("login", Result([], [], "10002007", "网络接收错误。")),
        "error code": ("query_history_k_data_plus",
                       Result([], [], "10004011", "无效的证券代码")),
        "broken page": ("query_trade_dates",
                        Result(["calendar_date", "is_trading_day"], big, broken="10004019")),
        "lost page": ("query_trade_dates",
                      Result(["calendar_date", "is_trading_day"], big, broken="silent")),
        "a member's code unnamed": ("query_stock_industry", Result(
            ["updateDate", "code", "code_name", "industry", "industryClassification"],
            [["2023-06-26", "SZ000002", "乙科技", "C39计算机", "证监会行业分类"]])),
    }[kind]


@pytest.mark.parametrize("kind, says", [
    ("login offline", "cannot reach baostock (login): error 10002007"),
    ("error code", "baostock refused query_history_k_data_plus('sz.000002', start_date="),
    ("broken page", "baostock broke off query_trade_dates("),
    ("lost page", "a page did not arrive"),
    ("a member's code unnamed", "baostock gave a code this store cannot name: 'SZ000002'"),
])
@pytest.mark.parametrize("previous", [False, True])
def test_a_failed_fetch_says_so_in_one_line_and_writes_nothing(
        fake, tmp_path, capsys, kind, says, previous):
    store = tmp_path / "market.sqlite"
    if previous:   # the failing run would add the days after 06-20
        assert cli.main(["fetch", "--start", START, "--end", "2023-06-20", "--store",
                         str(store), "--quiet", "--pace", "0"]) == 0
        capsys.readouterr()
    before = store.read_bytes() if previous else None
    name, reply = _failure(kind)
    # A lost page is retried: every try loses it.
    fake.script[name] = [reply] + [_failure(kind)[1] for _ in range(3)]
    assert cli.main(["fetch", "--start", START, "--end", END, "--store", str(store),
                     "--quiet", "--pace", "0"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Traceback" not in err and says in err
    assert ("the store at %s is unchanged" % store if previous
            else "there is still no store at %s" % store) in err
    assert sorted(os.listdir(tmp_path)) == (["market.sqlite"] if previous else [])
    if previous:
        assert store.read_bytes() == before


def test_industries_of_stocks_outside_the_universe_are_passed_over(fake, tmp_path):
    # The source classifies the whole market, Beijing stocks included.
    fake.tables["query_stock_industry"]["rows"].append(
        ["2023-06-26", "bj.830799", "艾融软件", "I65软件和信息技术服务业", "证监会行业分类"])
    store = tmp_path / "s.sqlite"
    fetch(START, END, universe="600001.XSHG", store=str(store), pace=0, progress=False,
          out=io.StringIO())
    assert [r[0] for r in _tables(store)["instruments"]] == ["600001.XSHG"]


def test_a_bar_on_the_delisting_day_is_left_out(fake, tmp_path):
    table = fake.tables["query_history_k_data_plus"]
    last = next(r for r in reversed(table["rows"]) if r[1] == "sz.000004")
    table["rows"].append(["2023-06-16"] + last[1:])   # baostock delists it on 06-16
    out = io.StringIO()
    fetch(START, END, store=str(tmp_path / "s.sqlite"), pace=0, progress=False, out=out)
    assert ("000004.XSHE: a bar on 2023-06-16, when it is not listed (listed 1996-05-07,"
            " delisted 2023-06-16)") in out.getvalue()


def test_a_close_an_earlier_fetch_kept_outside_the_listing_is_left_out(fake, tmp_path):
    store = tmp_path / "s.sqlite"
    fetch(START, "2023-06-09", store=str(store), pace=0, progress=False, out=io.StringIO())
    con = sqlite3.connect(str(store))
    with con:   # as a store fetched before closes were held to the listing dates
        con.execute("INSERT INTO prices SELECT order_book_id, 20230616, close, adj_factor"
                    " FROM prices WHERE order_book_id = '000004.XSHE' LIMIT 1")
    con.close()
    out = io.StringIO()
    fetch(START, END, store=str(store), pace=0, progress=False, out=out)
    assert ("000004.XSHE: a close kept from before on 2023-06-16, when it is not listed "
            "(listed 1996-05-07, delisted 2023-06-16); left out") in out.getvalue()


def test_network_errors_are_retried_with_backoff(fake, tmp_path):
    offline = Result([], [], "10002007", "网络接收错误。")
    fake.script["query_stock_basic"] = [offline, Result([], [], "10002003", "网络连接超时")]
    fetch(START, END, store=str(tmp_path / "s.sqlite"), pace=0, progress=False,
          out=io.StringIO())
    sleeps = [c[1] for c in fake.calls if isinstance(c, tuple)]
    assert sleeps == [2.0, 4.0]
    # Each retry logs in again (a new connection), with a timeout the library lacks.
    assert fake.timeouts == [60.0] * 3 and socket.getdefaulttimeout() is None
    assert fake.calls.count("query_stock_basic") == 3


def test_without_the_library_fetch_says_what_to_install(monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "baostock", None)
    assert cli.main(["fetch", "--store", str(tmp_path / "s.sqlite")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and 'pip install "meridan[fetch]"' in err
    assert os.listdir(tmp_path) == []


def test_dry_run_requests_and_writes_nothing(fake, tmp_path, capsys):
    store = tmp_path / "s.sqlite"
    assert cli.main(["fetch", "--start", "2023-01-01", "--end", "2023-12-31",
                     "--store", str(store), "--dry-run", "--pace", "0.5"]) == 0
    out = capsys.readouterr().out
    assert fake.calls == [] and not store.exists()
    plan = tickvane.fetch("2023-01-01", "2023-12-31", store=str(store), dry_run=True,
                          pace=0.5)
    assert "about %d requests" % plan["total_requests"] in out
    assert plan["seconds"] == pytest.approx(plan["total_requests"] * (0.5 + 0.15))
    # 1.15 x 800 stocks over a year, one batch: bars, factors and a dividend year each.
    assert plan["requests"]["daily bars (a request a batch)"] == 920


def test_an_imported_store_is_replaced_only_with_force(fake, tmp_path):
    store = tmp_path / "s.sqlite"
    con = sqlite3.connect(str(store))
    con.executescript("CREATE TABLE meta (key TEXT, value TEXT);"
                      "INSERT INTO meta VALUES ('schema_version', '1'), ('source', 'import');")
    con.commit()
    con.close()
    before = store.read_bytes()
    with pytest.raises(FileExistsError, match="holds imported market data.*--force"):
        tickvane.fetch(START, END, store=str(store), pace=0, progress=False)
    assert store.read_bytes() == before and fake.calls == []


@pytest.mark.parametrize("universe, problem", [
    ("hs300,csi1000", "unknown universe entry 'csi1000'"),
    ("", "empty universe"),
    ("600000.XSHZ", "unknown universe entry '600000.XSHZ'"),
    ("{codes}", r"codes.txt, line 2: not a code .* \(value '60003'\)"),
])
def test_a_bad_universe_is_refused_before_any_request(fake, tmp_path, universe, problem):
    codes = tmp_path / "codes.txt"
    codes.write_text("600001.XSHG sz.000002\n60003\n", encoding="utf-8")
    with pytest.raises(ValueError, match=problem):
        tickvane.fetch(START, END, universe=universe.format(codes=codes),
                       store=str(tmp_path / "s.sqlite"))
    assert fake.calls == []


def test_a_universe_of_codes_from_a_file(fake, tmp_path):
    codes = tmp_path / "codes.txt"
    codes.write_text("600001.XSHG, sz.000002\n\n", encoding="utf-8")
    store = tmp_path / "s.sqlite"
    fetch(START, END, universe=str(codes), store=str(store), pace=0, progress=False,
          out=io.StringIO())
    assert [r[0] for r in _tables(store)["instruments"]] == ["000002.XSHE", "600001.XSHG"]
    assert _tables(store)["index_components"] == []


def _network_selected(config):
    return "network" in (config.option.markexpr or "") and \
        "not network" not in config.option.markexpr


@pytest.mark.network
def test_real_fetch_of_three_stocks_over_ten_days(request, tmp_path):
    if not _network_selected(request.config):
        pytest.skip("fetches from the real baostock servers: select with -m network")
    pytest.importorskip("baostock")
    store = tmp_path / "real.sqlite"
    tickvane.fetch("2023-06-01", "2023-06-14", universe="600000.XSHG,000001.XSHE,600519.XSHG",
                   store=str(store), pace=0.2, progress=False)
    info = tickvane.store_info(str(store))
    assert info["trading_dates"] == 10
    assert info["rows"]["prices"] >= 25 and info["meta"]["source"] == "fetch"


def test_all_leaves_out_stocks_of_other_exchanges(fake, tmp_path):
    # The list of securities also holds Beijing stocks, whose codes this store cannot
    # name: they are left out with a note, and the rest of the market is fetched.
    fake.tables["query_stock_basic"]["rows"] += [
        ["bj.430047", "北交所甲", "2020-01-02", "", "1", "1"],
        ["bj.920001", "北交所乙", "2021-11-15", "", "1", "1"]]
    out = io.StringIO()
    fetch(START, END, universe="all", store=str(tmp_path / "s.sqlite"), pace=0,
          progress=False, out=out)
    assert ("note: 2 stocks of exchanges this store cannot name left out (bj.430047,"
            " bj.920001)") in out.getvalue()
    tickvane.use_store(str(tmp_path / "s.sqlite"))
    ids = set(tickvane.all_instruments(type="CS")["order_book_id"])
    assert {"600001.XSHG", "000002.XSHE"} <= ids and not any("430047" in i for i in ids)
