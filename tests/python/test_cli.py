"""The ``meridan analyse`` command end to end: a report for a sound statement, one
clear message and no report for a hostile one."""

import importlib
import importlib.util
import pathlib

import pytest

from meridan import cli

HEADER = "成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,手续费,印花税,过户费"
BUYS = [
    "20160301,09:35:12,000001,平安银行,证券买入,1000,12.99,5,0,0.13",
    "20160302,10:00:00,600519,贵州茅台,证券买入,100,200.5,5,0,0.2",
]


def run(tmp_path, rows, *options, encoding="utf-8", header=HEADER):
    statement = tmp_path / "交割单.csv"
    statement.write_bytes(("\n".join([header] + rows) + "\n").encode(encoding))
    out = tmp_path / "report.html"
    code = cli.main(["analyse", str(statement), "--out", str(out), *options])
    return code, out


@pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig"])
def test_report_for_a_statement(tmp_path, fake_tickvane, capsys, encoding):
    code, out = run(tmp_path, BUYS, "--end", "2016-06-30", encoding=encoding)
    printed = capsys.readouterr().out
    assert code == 0
    # Least opening cash: both purchases with their fees (33,050.33), rounded up.
    assert "Opening cash 33,051.00" in printed
    assert "analysed 2016-03-01 to 2016-06-30" in printed
    # Each analysis that is installed runs on this market.
    for title, module in (("Brinson attribution", "meridan.brinson.calc"),
                          ("Factor exposure", "meridan.exposure"), ("Risk", "meridan.risk"),
                          ("Profit and loss", "meridan.profit"),
                          ("Style regression", "meridan.style")):
        if importlib.util.find_spec(module) is not None:
            assert f"{title}: not available" not in printed
    page = out.read_text(encoding="utf-8")
    assert "Cumulative return: portfolio and benchmark" in page
    # BokehJS is inline: the page needs no network.
    assert "cdn.bokeh.org" not in page and "Bokeh" in page
    assert list(tmp_path.glob("*.tmp")) == []


@pytest.mark.parametrize("rows, options, message", [
    (BUYS + ["03/04/2016,10:00,000001,平安银行,证券卖出,100,12,5,0,0"], (),
     "row 3: cannot read the trade date from 成交日期 '03/04/2016'"),
    (BUYS + ["20160105,10:00,000002,万科A,证券买入,100,20,5,0,0"], (),
     "row 3: 000002.XSHE"),
    (BUYS + ["20160303,10:00,000001,平安银行,证券卖出,1500,12.84,5,0,0"], (),
     "row 3: "),
    (BUYS + ["20160303,10:00,000001,平安银行,hold,100,12.84,5,0,0"], (),
     "row 3: 操作 'hold'"),
    (BUYS + ["20160303,10:00,600999,x,证券买入,100,12.84,5,0,0"], (),
     "row 3: unknown instrument 600999.XSHG"),
    (BUYS, ("--end", "2016-03-01"), "row 2: a trade on a day after"),
    (BUYS, ("--start", "2016-05-01", "--end", "2016-04-01"), "is after --end"),
    (BUYS, ("--cash", "-5"), "--cash must be"),
])
def test_hostile_statement_writes_nothing(tmp_path, fake_tickvane, capsys, rows,
                                          options, message):
    code, out = run(tmp_path, rows, *options)
    err = capsys.readouterr().err
    assert code == 2
    assert message in err and "nothing written" in err
    assert not out.exists()
    assert [p.name for p in tmp_path.iterdir()] == ["交割单.csv"]


@pytest.mark.parametrize("out, message", [("absent/report.html", "no folder"),
                                          (".", "is a folder")])
def test_unwritable_report_path(tmp_path, fake_tickvane, capsys, out, message):
    statement = tmp_path / "s.csv"
    statement.write_text("\n".join([HEADER] + BUYS) + "\n", encoding="utf-8")
    assert cli.main(["analyse", str(statement), "--out", str(tmp_path / out)]) == 2
    assert message in capsys.readouterr().err
    assert [p.name for p in tmp_path.iterdir()] == ["s.csv"]


def test_missing_columns(tmp_path, fake_tickvane, capsys):
    code, out = run(tmp_path, ["600519,100"], header="证券代码,成交数量")
    assert code == 2 and not out.exists()
    assert "no column for datetime or 成交日期; side, 操作 or 买卖标志" in capsys.readouterr().err


def test_sale_of_more_than_is_held_names_instrument_and_quantities(tmp_path,
                                                                   fake_tickvane, capsys):
    rows = BUYS + ["20160303,10:00,000001,平安银行,证券卖出,1500,12.84,5,0,0"]
    assert run(tmp_path, rows)[0] == 2
    err = capsys.readouterr().err
    assert "row 3:" in err and "000001.XSHE" in err and "1500" in err


@pytest.mark.sample
def test_sample_statement_on_the_sample_market(tmp_path, capsys):
    statement = pathlib.Path(__file__).parents[2] / "examples" / "sample_statement.csv"
    out = tmp_path / "report.html"
    assert cli.main(["analyse", str(statement), "--out", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "31 trades, 4 other rows skipped" in printed
    assert out.stat().st_size > 100_000
