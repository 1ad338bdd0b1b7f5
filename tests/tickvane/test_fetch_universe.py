"""A broker statement as the universe of a fetch: the codes of its trades and of its
other rows that name a security join the fetch. A file that is no statement is read as
a file of codes, as every file is when meridan is not installed."""

import io
import sqlite3
import sys

import pytest
from test_fetch import END, START, fake  # noqa: F401 (the fake library's fixture)

from tickvane._fetch import Universe, fetch

# A settlement statement of the recorded month: a deposit, two purchases, a dividend of
# a third stock and a reverse repo (a loan of cash: its code is no stock).
STATEMENT = """成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,发生金额
20230601,09:00:00,,,银行转证券,,,50000.00
20230602,10:00:00,600003,丙药业,证券买入,100,20.00,-2000.00
20230605,10:00:00,000002,乙科技,证券买入,200,10.00,-2000.00
20230612,09:00:00,600006,己能源,红利入账,0,0,30.00
20230613,14:30:00,204001,GC001,融券回购,10,2.50,-1000.00
20230614,10:00:00,600003,丙药业,证券卖出,100,21.00,2100.00
"""


@pytest.fixture
def files(tmp_path):
    found = {"statement": tmp_path / "交割单.csv", "codes": tmp_path / "codes.txt",
             "other": tmp_path / "notes.txt"}
    found["statement"].write_text(STATEMENT, encoding="utf-8")
    found["codes"].write_text("600001.XSHG, sz.000002\n", encoding="utf-8")
    found["other"].write_text("buy more\n", encoding="utf-8")
    return found


@pytest.mark.parametrize("token, without_meridan, codes", [
    # Trades first, then the dividend's stock; the transfer and the repo name none.
    ("statement", False, ["600003.XSHG", "000002.XSHE", "600006.XSHG"]),
    ("codes", False, ["600001.XSHG", "000002.XSHE"]),
    ("codes", True, ["600001.XSHG", "000002.XSHE"]),
])
def test_universe_files(files, monkeypatch, token, without_meridan, codes):
    if without_meridan:
        monkeypatch.setitem(sys.modules, "meridan.statement", None)
    universe = Universe("hs300,%s" % files[token])
    assert (universe.indices, universe.codes) == (["hs300"], codes)


@pytest.mark.parametrize("token, without_meridan, problem", [
    # Neither kind: both readings say what is wrong.
    ("other", False, r"notes.txt, line 1: not a code .* \(value 'buy'\); nor is it a "
                     r"broker statement \(the statement has no column for"),
    # Without meridan a statement is a file of codes, and not one.
    ("statement", True, r"交割单.csv, line 1: not a code .* \(value '成交日期'\)$"),
])
def test_a_file_that_is_neither_is_refused(files, monkeypatch, token, without_meridan,
                                           problem):
    if without_meridan:
        monkeypatch.setitem(sys.modules, "meridan.statement", None)
    with pytest.raises(ValueError, match=problem):
        Universe(str(files[token]))


def test_importing_tickvane_does_not_import_meridan():
    import subprocess

    code = ("import sys, tickvane, tickvane._fetch; "
            "sys.exit(any(m.startswith('meridan') for m in sys.modules))")
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_a_fetch_of_a_statement_holds_its_stocks(fake, files, tmp_path):  # noqa: F811
    store = tmp_path / "s.sqlite"
    fetch(START, END, universe=str(files["statement"]), store=str(store), pace=0,
          progress=False, out=io.StringIO())
    con = sqlite3.connect(str(store))
    try:
        stocks = [r[0] for r in con.execute(
            "SELECT order_book_id FROM instruments ORDER BY 1")]
        universe = con.execute("SELECT value FROM meta WHERE key = 'universe'").fetchone()
    finally:
        con.close()
    assert stocks == ["000002.XSHE", "600003.XSHG", "600006.XSHG"]
    assert universe == (str(files["statement"]),)
