"""The akshare tables of a fetch (yield curve, Shenwan industries, official index weights),
against a fake of the library built from the replies recorded in
tests/data/fetch/akshare.json and the fake baostock of test_fetch.py (June 2023, six
stocks). The fake answers with DataFrames shaped and typed as akshare's: Chinese column
names, dates as datetime.date, numbers as floats (NaN where the page has none)."""

import datetime as dt
import io
import json
import os
import sqlite3
import sys
import types

import pandas as pd
import pytest

import tickvane
from test_fetch import END, START, FakeBaostock
from tickvane import __main__ as cli
from tickvane import _importer, _sources_baostock
from tickvane._fetch import fetch

DATA = os.path.join(os.path.dirname(__file__), os.pardir, "data", "fetch", "akshare.json")


def _frame(table):
    return pd.DataFrame(table["rows"], columns=table["columns"])


class FakeAkshare(types.ModuleType):
    """akshare's three functions over the recording. `script[name]`: replies given first,
    one per call: an exception (raised), a DataFrame (returned) or None (the recording)."""

    def __init__(self):
        super().__init__("akshare")
        with open(DATA, encoding="utf-8") as handle:
            self.tables = json.load(handle)
        self.calls, self.script = [], {}

    def _scripted(self, name, args):
        self.calls.append((name,) + args)
        reply = self.script[name].pop(0) if self.script.get(name) else None
        if isinstance(reply, BaseException):
            raise reply
        return reply

    def bond_china_yield(self, start_date="20200204", end_date="20210124"):
        reply = self._scripted("bond_china_yield", (start_date, end_date))
        if reply is not None:
            return reply
        first, last = (dt.datetime.strptime(d, "%Y%m%d").date() for d in (start_date,
                                                                           end_date))
        assert last - first < dt.timedelta(days=366)   # the page serves a year at most
        df = _frame(self.tables["bond_china_yield"])
        df["日期"] = pd.to_datetime(df["日期"], errors="coerce").dt.date
        for column in df.columns[2:]:
            df[column] = pd.to_numeric(df[column], errors="coerce")
        df = df[(df["日期"] >= first) & (df["日期"] <= last)]
        return df.sort_values(by="日期").reset_index(drop=True)

    def stock_industry_clf_hist_sw(self):
        reply = self._scripted("stock_industry_clf_hist_sw", ())
        if reply is not None:
            return reply
        df = _frame(self.tables["stock_industry_clf_hist_sw"])
        for column in ("start_date", "update_time"):
            df[column] = pd.to_datetime(df[column], errors="coerce").dt.date
        return df

    def index_stock_cons_weight_csindex(self, symbol="000300"):
        reply = self._scripted("index_stock_cons_weight_csindex", (symbol,))
        if reply is not None:
            return reply
        df = _frame(self.tables["index_stock_cons_weight_csindex"][symbol])
        df["日期"] = pd.to_datetime(df["日期"], format="%Y%m%d", errors="coerce").dt.date
        df["权重"] = pd.to_numeric(df["权重"], errors="coerce")
        return df


class Sources:
    """Both fakes installed, the imports spied on: `handed` holds the instruments rows of
    each import (as the CSV the importer reads)."""

    def __init__(self, mp, akshare=True):
        self.baostock, self.akshare, self.handed, self.sleeps = FakeBaostock(), None, [], []
        mp.setitem(sys.modules, "baostock", self.baostock)
        if akshare:
            self.akshare = FakeAkshare()
        mp.setitem(sys.modules, "akshare", self.akshare)
        mp.setattr(_sources_baostock.time, "sleep", self.sleeps.append)
        original = _importer.import_folder

        def spy(folder, target, **kwargs):
            frame = pd.read_csv(os.path.join(folder, "instruments.csv"), dtype=str)
            self.handed.append(frame.fillna("").set_index("order_book_id"))
            return original(folder, target, **kwargs)

        mp.setattr(_importer, "import_folder", spy)


@pytest.fixture
def sources(monkeypatch):
    yield Sources(monkeypatch)
    tickvane.use_store(None)


@pytest.fixture(scope="module")
def fetched(tmp_path_factory):
    """The month fetched with akshare: (store, the sources, what `info` printed)."""
    mp = pytest.MonkeyPatch()
    found = Sources(mp)
    path = tmp_path_factory.mktemp("akshare") / "store.sqlite"
    fetch(START, END, store=str(path), pace=0, progress=False, out=io.StringIO())
    out = io.StringIO()
    mp.setattr(sys, "stdout", out)
    cli.main(["info", "--store", str(path)])
    mp.undo()
    tickvane.use_store(str(path))
    yield path, found, out.getvalue()
    tickvane.use_store(None)


def _meta(path):
    con = sqlite3.connect(str(path))
    try:
        return dict(con.execute("SELECT key, value FROM meta"))
    finally:
        con.close()


@pytest.mark.parametrize("day, expected", [
    # 06-05: the 7-year yield is not published: 6Y to 9Y lie on the line from 5Y (2.55)
    # to 10Y (2.85); before 3M flat at 1.65, beyond 30Y flat at 3.15; percent to fractions.
    ("2023-06-05", {"0S": 1.65, "1M": 1.65, "2M": 1.65, "3M": 1.65, "6M": 1.85,
                    "9M": 1.95, "1Y": 2.05, "2Y": 2.20, "4Y": 2.45, "6Y": 2.61,
                    "7Y": 2.67, "9Y": 2.79, "10Y": 2.85, "15Y": 2.925, "20Y": 3.0,
                    "30Y": 3.15, "40Y": 3.15, "50Y": 3.15}),
    # 06-30: every tenor published; the other curves of the page are not the treasury's.
    ("2023-06-30", {"0S": 1.90, "3M": 1.90, "9M": 2.20, "7Y": 3.00, "8Y": 3.0 + 0.1 / 3,
                    "50Y": 3.40}),
])
def test_yield_curve_on_the_store_tenors(fetched, day, expected):
    curve = tickvane.get_yield_curve(day, day)
    assert curve.index.strftime("%Y-%m-%d").tolist() == [day]
    assert curve.iloc[0][list(expected)].to_dict() == pytest.approx(
        {t: v / 100 for t, v in expected.items()}, abs=1e-9)


def test_a_day_without_a_published_curve_has_no_row(fetched):
    days = tickvane.get_yield_curve(START, END).index.strftime("%Y-%m-%d").tolist()
    assert len(days) == 19 and "2023-06-21" not in days


def test_shenwan_industries_on_the_last_day(fetched):
    # 000002 moves to 计算机 on 06-20; 000005's move on 07-10 lies after the store.
    handed = fetched[1].handed[-1]["shenwan_industry_name"].to_dict()
    assert handed == {
        "000002.XSHE": "计算机", "000004.XSHE": "建筑材料", "000005.XSHE": "机械设备",
        "000300.XSHG": "", "000905.XSHG": "", "600001.XSHG": "银行",
        "600003.XSHG": "医药生物", "600006.XSHG": "煤炭"}


@pytest.mark.parametrize("index, day, expected", [
    # The official weights replace the approximation on their day...
    ("000300.XSHG", "2023-06-30", {"000002.XSHE": 0.60, "600001.XSHG": 0.40}),
    # ...also on a day that is no month end (the approximation is worked out there too)
    ("000905.XSHG", "2023-06-21", {"000005.XSHE": 0.65, "600003.XSHG": 0.35}),
    # ...and nowhere else: the approximation (closes over their sum, test_fetch.py).
    ("000905.XSHG", "2023-06-30", {"000005.XSHE": 7.90 / 12.52, "600003.XSHG": 4.62 / 12.52}),
    ("000300.XSHG", "2023-06-12", {"000002.XSHE": 21.40 / 31.15, "600001.XSHG": 9.75 / 31.15}),
])
def test_official_weights_replace_the_approximation(fetched, index, day, expected):
    assert tickvane.index_weights(index, day).to_dict() == pytest.approx(expected)


def test_the_approximation_error_and_sources_are_recorded_and_shown(fetched):
    meta, info = _meta(fetched[0]), fetched[2]
    # CSI 300 on 06-30: approximated 14.70 / 25.05 and 10.35 / 25.05 against 0.60 / 0.40.
    d300 = abs(14.70 / 25.05 - 0.60)
    # CSI 500 on 06-21: approximated 9.40 / 14.12 and 4.72 / 14.12 against 0.65 / 0.35.
    d500 = abs(9.40 / 14.12 - 0.65)
    expected = ("000300.XSHG on 2023-06-30: largest difference %.4f, sum of differences"
                " %.4f (2 official members, 2 approximated); 000905.XSHG on 2023-06-21:"
                " largest difference %.4f, sum of differences %.4f (2 official members,"
                " 2 approximated)" % (d300, 2 * d300, d500, 2 * d500))
    assert meta["index_weights_error"] == expected
    assert "weights error " + expected in info
    assert meta["fetched_from"] == "baostock, akshare"
    assert meta.get("not_fetched", "") == ""   # every table has a source
    assert "official weights on 2023-06-21, 2023-06-30" in meta["index_weights"]
    assert "yield curve   the China government bond yield curve" in info
    assert "akshare" not in meta


def test_without_akshare_the_tables_stay_as_before(monkeypatch, tmp_path, capsys):
    found = Sources(monkeypatch, akshare=False)
    store = tmp_path / "s.sqlite"
    assert cli.main(["fetch", "--start", START, "--end", END, "--store", str(store),
                     "--quiet", "--pace", "0"]) == 0
    out = capsys.readouterr().out
    tickvane.use_store(str(store))
    try:
        assert tickvane.get_yield_curve(START, END) is None or \
            tickvane.get_yield_curve(START, END).empty
        assert tickvane.index_weights("000300.XSHG", "2023-06-30").to_dict() == \
            pytest.approx({"000002.XSHE": 14.70 / 25.05, "600001.XSHG": 10.35 / 25.05})
    finally:
        tickvane.use_store(None)
    assert "shenwan_industry_name" not in found.handed[-1].columns
    meta = _meta(store)
    assert "yield_curve" in meta["not_fetched"] and "index_weights_error" not in meta
    assert "akshare       not installed: no yield curve" in out


def _failure(kind):
    """(function, replies for every try, what the one line says)."""
    offline = ConnectionError("Max retries exceeded with url: /cbweb-pbc-web/pbc/"
                              "historyQuery\n(Caused by NameResolutionError)")
    return {
        "offline": ("bond_china_yield", [offline] * 4,
                    "cannot reach akshare's source (bond_china_yield(start_date='20230601',"
                    " end_date='20230630')) after 4 tries: Max retries exceeded with url:"),
        "unreadable page": ("bond_china_yield", [ValueError("No tables found")],
                            "akshare failed on bond_china_yield(start_date='20230601',"
                            " end_date='20230630'): ValueError: No tables found"),
        "empty": ("stock_industry_clf_hist_sw", [pd.DataFrame()],
                  "akshare gave an empty reply to stock_industry_clf_hist_sw()"),
        "column missing": ("index_stock_cons_weight_csindex",
                           [pd.DataFrame({"日期": [dt.date(2023, 6, 30)],
                                          "成分券代码": ["600001"], "交易所": ["上海证券交易所"]})],
                           "lacks the column 权重"),
        "bad weight": ("index_stock_cons_weight_csindex",
                       [pd.DataFrame({"日期": [dt.date(2023, 6, 30)], "成分券代码": ["600001"],
                                      "交易所": ["上海证券交易所"], "权重": ["--"]})],
                       "akshare gave no weight in index_stock_cons_weight_csindex("
                       "symbol='000300'), row 1 (600001): '--'"),
    }[kind]


@pytest.mark.parametrize("kind", ["offline", "unreadable page", "empty", "column missing",
                                  "bad weight"])
@pytest.mark.parametrize("previous", [False, True])
def test_an_akshare_failure_is_one_line_and_writes_nothing(sources, tmp_path, capsys, kind,
                                                          previous):
    store = tmp_path / "market.sqlite"
    if previous:
        assert cli.main(["fetch", "--start", START, "--end", "2023-06-20", "--store",
                         str(store), "--quiet", "--pace", "0"]) == 0
        capsys.readouterr()
    before = store.read_bytes() if previous else None
    name, replies, says = _failure(kind)
    sources.akshare.script[name] = list(replies)
    # A re-run asks for the curve of the new days only.
    says = says.replace("20230601", "20230621") if previous else says
    assert cli.main(["fetch", "--start", START, "--end", END, "--store", str(store),
                     "--quiet", "--pace", "0"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Traceback" not in err and says in err
    assert sorted(os.listdir(tmp_path)) == (["market.sqlite"] if previous else [])
    if previous:
        assert store.read_bytes() == before
    # Only the network is tried again, after 2, 4 and 8 seconds.
    assert sources.sleeps == ([2.0, 4.0, 8.0] if kind == "offline" else [])


def test_a_rerun_adds_the_curve_of_the_new_days_and_keeps_the_error(sources, fetched,
                                                                    tmp_path):
    store = tmp_path / "s.sqlite"
    args = dict(store=str(store), pace=0, progress=False, out=io.StringIO())
    fetch(START, "2023-06-26", **args)
    sources.akshare.calls.clear()
    fetch(START, END, **args)
    assert [c for c in sources.akshare.calls if c[0] == "bond_china_yield"] == [
        ("bond_china_yield", "20230627", "20230630")]
    con, one = (sqlite3.connect(str(p)) for p in (store, fetched[0]))
    try:
        assert con.execute("SELECT * FROM yield_curve ORDER BY 1").fetchall() == \
            one.execute("SELECT * FROM yield_curve ORDER BY 1").fetchall()
    finally:
        con.close()
        one.close()
    # The CSI 500's error was measured by the first fetch (06-21) and is kept.
    assert _meta(store)["index_weights_error"] == _meta(fetched[0])["index_weights_error"]


def _weights_reply(day, rows):
    return pd.DataFrame({"日期": [dt.date.fromisoformat(day)] * len(rows),
                         "成分券代码": [r[0] for r in rows],
                         "交易所": [r[1] for r in rows], "权重": [r[2] for r in rows]})


def test_official_weights_the_store_cannot_hold_leave_the_approximation(sources, tmp_path):
    # The CSI 300's official members include a stock outside the store; the CSI 500's
    # official day lies after it.
    sources.akshare.script["index_stock_cons_weight_csindex"] = [
        _weights_reply("2023-06-30", [("600001", "上海证券交易所", 50.0),
                                      ("600519", "上海证券交易所", 50.0)]),
        _weights_reply("2023-07-05", [("600003", "上海证券交易所", 100.0)])]
    store, out = tmp_path / "s.sqlite", io.StringIO()
    fetch(START, END, store=str(store), pace=0, progress=False, out=out)
    assert ("000300.XSHG on 2023-06-30: 1 members of the official weights are not in the"
            " store (600519.XSHG); the approximation is kept") in out.getvalue()
    tickvane.use_store(str(store))
    assert tickvane.index_weights("000300.XSHG", "2023-06-30").to_dict() == \
        pytest.approx({"000002.XSHE": 14.70 / 25.05, "600001.XSHG": 10.35 / 25.05})
    # Measured all the same: 000002 approximated, not official; 600519 the reverse.
    error = _meta(store)["index_weights_error"]
    assert error.startswith("000300.XSHG on 2023-06-30: largest difference 0.5868, sum of"
                            " differences %.4f" % (14.70 / 25.05 + 0.5 + abs(10.35 / 25.05
                                                                           - 0.5)))
    assert error.endswith("000905.XSHG: not measured, the official weights (of"
                          " 2023-07-05) lie outside the store")


def test_the_command_runs_on_a_fetched_store(fetched, tmp_path, capsys):
    """A settlement statement of two of the month's stocks, analysed on the fetched
    store: the market is named, the cash reconciled, every analysis the month allows
    made (the style regressions need more days than a month has)."""
    from meridan import cli as command

    path, _, _ = fetched
    tickvane.use_store(str(path))   # tests before this one may have let it go
    statement = tmp_path / "交割单.csv"
    statement.write_text(
        "成交日期,证券代码,证券名称,操作,成交数量,成交均价,发生金额,资金余额\n"
        "20230601,,,银行转证券,,,50000.00,50000.00\n"
        "20230602,600001,甲银行,证券买入,1000,%.2f,%.2f,%.2f\n"
        % _priced(path, "600001.XSHG", "2023-06-02", 1000, 50000.0), encoding="utf-8")
    code = command.main(["analyse", str(statement), "--out", str(tmp_path / "r.html")])
    printed = capsys.readouterr()
    assert code in (0, 1), printed.err
    assert "Market data: fetched from baostock, akshare" in printed.out
    assert "cash agrees with the statement on 2 of 2 rows" in printed.out
    for made in ("Brinson attribution", "Factor exposure", "Risk", "Profit and loss"):
        assert f"{made}: not available" not in printed.out


def _priced(path, oid, day, quantity, cash):
    """(price, amount, balance) of buying `quantity` at the store's close of `day`."""
    con = sqlite3.connect(str(path))
    try:
        close, = con.execute("SELECT close FROM prices WHERE order_book_id = ? AND date = ?",
                             (oid, int(day.replace("-", "")))).fetchone()
    finally:
        con.close()
    return close, -close * quantity, cash - close * quantity
