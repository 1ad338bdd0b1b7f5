"""A broker statement as the universe of a fetch: the codes of its trades and of its
other rows that name a stock join the fetch. A file that is no statement is read as a
file of codes, as every file is when meridan is not installed."""

import io
import sqlite3
import subprocess
import sys

import pytest

from test_fetch import END, START, fake  # noqa: F401 (the fake library's fixture)
from tickvane._fetch import Universe, fetch

# Of the recorded month: a deposit, two purchases, a dividend of a third stock and a
# reverse repo (a loan of cash: its code is no stock).
FILES = {"交割单.csv": """成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,发生金额
20230601,09:00:00,,,银行转证券,,,50000.00
20230602,10:00:00,600003,丙药业,证券买入,100,20.00,-2000.00
20230605,10:00:00,000002,乙科技,证券买入,200,10.00,-2000.00
20230612,09:00:00,600006,己能源,红利入账,0,0,30.00
20230613,14:30:00,204001,GC001,融券回购,10,2.50,-1000.00
""", "codes.txt": "600001.XSHG, sz.000002\n", "notes.txt": "buy more\n"}


@pytest.mark.parametrize("name, meridan, found", [
    ("交割单.csv", True, ["600003.XSHG", "000002.XSHE", "600006.XSHG"]),
    ("codes.txt", True, ["600001.XSHG", "000002.XSHE"]),
    # Neither kind: both readings say what is wrong.
    ("notes.txt", True, r"line 1: not a code .* \(value 'buy'\); nor is it a broker "
                        r"statement \(the statement has no column for"),
    ("交割单.csv", False, r"line 1: not a code .* \(value '成交日期'\)$"),
])
def test_universe_files(tmp_path, monkeypatch, name, meridan, found):
    (tmp_path / name).write_text(FILES[name], encoding="utf-8")
    if not meridan:
        monkeypatch.setitem(sys.modules, "meridan.statement", None)
    if isinstance(found, str):
        with pytest.raises(ValueError, match=found):
            Universe(str(tmp_path / name))
    else:
        universe = Universe("hs300,%s" % (tmp_path / name))
        assert (universe.indices, universe.codes) == (["hs300"], found)


def test_importing_tickvane_does_not_import_meridan():
    code = "import sys, tickvane._fetch; sys.exit('meridan' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_a_fetch_of_a_statement_holds_its_stocks(fake, tmp_path):  # noqa: F811
    statement = tmp_path / "交割单.csv"
    statement.write_text(FILES[statement.name], encoding="utf-8")
    store = tmp_path / "s.sqlite"
    fetch(START, END, universe=str(statement), store=str(store), pace=0, progress=False,
          out=io.StringIO())
    con = sqlite3.connect(str(store))
    assert [r for (r,) in con.execute("SELECT order_book_id FROM instruments ORDER BY 1")
            ] == ["000002.XSHE", "600003.XSHG", "600006.XSHG"]
    assert con.execute("SELECT value FROM meta WHERE key = 'universe'").fetchone() == (
        str(statement),)
    con.close()
