"""The ``meridan analyse`` command end to end: a report for a sound statement, one
clear message and no report for a hostile one."""

import contextlib
import errno
import importlib
import importlib.util
import os
import pathlib
import sys
import warnings

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


# The tests down to the tiny stores read the "pcalc" market (tests/support/markets.py
# and markets_pcalc.py): the "years" closes, indices and industries with a yield curve,
# factor returns and exposures through 2016.
@pytest.mark.market("pcalc")
@pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig"])
def test_report_for_a_statement(tmp_path, market, capsys, encoding):
    code, out = run(tmp_path, BUYS, "--end", "2016-06-30", encoding=encoding)
    printed = capsys.readouterr().out
    assert code == 0
    # Least opening cash: both purchases with their fees (33,050.33), rounded up.
    assert "Opening cash 33,051.00" in printed
    assert "Analysed 2016-03-01 to 2016-06-30" in printed
    # Each analysis that is installed runs on this market.
    for title, module in (("Brinson attribution", "meridan.brinson.calc"),
                          ("Factor exposure", "meridan.exposure"), ("Risk", "meridan.risk"),
                          ("Profit and loss", "meridan.profit"),
                          ("Style regression", "meridan.style")):
        if importlib.util.find_spec(module) is not None:
            assert f"{title}: not available" not in printed
    page = out.read_text(encoding="utf-8")
    assert "累计收益:组合与基准" in page and '<html lang="zh">' in page
    # BokehJS is inline: the page needs no network.
    assert "cdn.bokeh.org" not in page and "Bokeh" in page
    assert list(tmp_path.glob("*.tmp")) == []


@pytest.mark.market("pcalc")
@pytest.mark.parametrize("rows, options, message", [
    (BUYS + ["03/04/2016,10:00,000001,平安银行,证券卖出,100,12,5,0,0"], (),
     "row 3: cannot read the trade date from 成交日期 '03/04/2016'"),
    (BUYS + ["20160105,10:00,000002,万科A,证券买入,100,20,5,0,0"], (),
     "row 3: 000002.XSHE (南山地产) has no close on 2016-01-05"),
    (BUYS + ["20160303,10:00,000001,平安银行,证券卖出,1500,12.84,5,0,0"], (),
     "row 3: "),
    (BUYS + ["20160303,10:00,000001,平安银行,hold,100,12.84,5,0,0"], (),
     "row 3: 操作 'hold'"),
    (BUYS + ["20160303,10:00,600999,x,证券买入,100,12.84,5,0,0"], (),
     "row 3: unknown instrument 600999.XSHG"),
    (BUYS, ("--end", "2016-03-01"), "row 2: a trade on a day after"),
    (BUYS, ("--start", "2016-05-01", "--end", "2016-04-01"), "is after --end"),
    (BUYS, ("--end", "2016-02-26"), "the first trade's day 2016-03-01 is after --end"),
    (BUYS, ("--cash", "-5"), "--cash must be"),
    (BUYS, ("--cash", "inf"), "--cash must be a finite number, got inf"),
    (BUYS, ("--positions", "/nonexistent/held.csv"),
     "--positions /nonexistent/held.csv: No such file or directory"),
    # Shares held at the start: a sale of more than the statement bought is refused.
    (BUYS + ["20160303,10:00,000001,平安银行,证券卖出,1500,12.84,5,0,0"],
     ("--positions", "HELD"), "row 3: cannot sell 1500 shares of 000001.XSHE: only 1400"),
    # Holdings that are no stock, or unknown, are refused as the statement's rows are.
    (BUYS, ("--positions", "HELD:000300.XSHG"), "held.csv: 000300.XSHG ("),
    (BUYS, ("--positions", "HELD:600999"), "held.csv: unknown instrument 600999.XSHG"),
])
def test_hostile_statement_writes_nothing(tmp_path, market, capsys, rows,
                                          options, message):
    given = [o for o in options if o.startswith("HELD")]
    if given:  # "HELD" holds 400 of 000001, "HELD:CODE" 400 of CODE
        held = tmp_path.parent / f"{tmp_path.name}-held.csv"
        code = given[0].partition(":")[2] or "000001"
        held.write_text(f"证券代码,股份余额\n{code},400\n", encoding="utf-8")
        options = tuple(str(held) if o == given[0] else o for o in options)
    code, out = run(tmp_path, rows, *options)
    err = capsys.readouterr().err
    assert code == 2
    assert message in err and "nothing written" in err
    assert not out.exists()
    assert [p.name for p in tmp_path.iterdir()] == ["交割单.csv"]


@pytest.mark.market("pcalc")
@pytest.mark.parametrize("out, message", [("absent/report.html", "no folder"),
                                          (".", "is a folder"),
                                          ("s.csv", "is the statement"),
                                          ("./absent/../s.csv", "is the statement")])
def test_unwritable_report_path(tmp_path, market, capsys, out, message):
    statement = tmp_path / "s.csv"
    text = "\n".join([HEADER] + BUYS) + "\n"
    statement.write_text(text, encoding="utf-8")
    if out.startswith("./absent/.."):  # the statement by another path
        (tmp_path / "absent").mkdir()
    assert cli.main(["analyse", str(statement), "--out", str(tmp_path / out)]) == 2
    assert message in capsys.readouterr().err
    assert statement.read_text(encoding="utf-8") == text
    assert {p.name for p in tmp_path.iterdir()} <= {"s.csv", "absent"}


def test_a_report_written_over_keeps_its_mode_and_its_link(tmp_path):
    # A private report stays private; a link given as --out keeps pointing at the
    # report it names, which is the file rewritten.
    private, link = tmp_path / "private.html", tmp_path / "link.html"
    private.write_text("old", encoding="utf-8")
    private.chmod(0o600)
    link.symlink_to(private)
    cli._write(str(link), "new")
    assert link.is_symlink() and private.read_text(encoding="utf-8") == "new"
    assert private.stat().st_mode & 0o777 == 0o600
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.html", "private.html"]


@pytest.mark.market("pcalc")
@pytest.mark.parametrize("error, advice", [
    (errno.ENOSPC, "; free some space or give another --out"),
    (errno.EACCES, "; give another --out"),
])
def test_a_report_that_cannot_be_written(tmp_path, market, capsys, monkeypatch, error,
                                         advice):
    def refuse(path, text):
        raise OSError(error, os.strerror(error))

    monkeypatch.setattr(cli, "_write", refuse)
    code, out = run(tmp_path, BUYS, "--end", "2016-06-30")
    err = capsys.readouterr().err
    assert code == 2 and not out.exists()
    assert f"cannot write the report to {out}: {os.strerror(error)}{advice}" in err


@pytest.mark.market("pcalc")
def test_missing_columns(tmp_path, market, capsys):
    code, out = run(tmp_path, ["600519,100"], header="证券代码,成交数量")
    assert code == 2 and not out.exists()
    assert ("no column for datetime, 成交日期 or 发生日期; side, 操作, 买卖标志, 业务名称 or "
            "摘要") in capsys.readouterr().err


@pytest.mark.market("pcalc")
def test_sale_of_more_than_is_held_names_instrument_and_quantities(tmp_path, market,
                                                                   capsys):
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
    assert "33 trades, 30 other rows booked, 1 row that moves nothing" in printed
    assert "cash agrees with the statement on 64 of 64 rows" in printed
    assert out.stat().st_size > 100_000


# --- on tiny stores built by tickvane's importer -----------------------------------

def _tiny_market():
    """The hand-written ten-day market of the tickvane tests (tables as CSV lines)."""
    path = pathlib.Path(__file__).parents[1] / "tickvane" / "conftest.py"
    found = importlib.util.spec_from_file_location("tiny_market", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


TINY_HEADER = "成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价"
TINY_TRADES = ["20200102,10:00:00,600001,甲银行,证券买入,1000,10.00",
               "20200107,10:00:00,000002,乙科技,证券买入,200,22.00"]
# Opening cash needed: 10,000 on the first day, 4,400 more on 2020-01-07 at 10:00 (the
# dividend of 500 booked that day comes after the day's trades): 14,400.


@pytest.fixture(scope="module")
def tiny_stores(tmp_path_factory, market_maker):
    """{variant: store path}: the tiny market, and copies with a table emptied or cut
    (imported by the session's store maker, as the small markets are)."""
    tiny = _tiny_market()
    variants = {
        "full": {},
        "no weights": {"index_weights": 1},
        "weights from 01-10": {"index_weights": 3},   # the weights of 2020-01-10 only
        "no curve": {"yield_curve": 1},
    }
    stores = {}
    for name, cuts in variants.items():
        tables = {table: list(lines) for table, lines in tiny.TINY.items()}
        for table, keep in cuts.items():   # the header and the last `keep` - 1 rows
            tables[table] = tables[table][:1] + tables[table][len(tables[table]) - keep + 1:]
        stores[name] = market_maker.store(tables)
    # A store that opens but whose prices cannot be read: found in the middle of the run.
    import shutil
    import sqlite3

    stores["bad prices"] = str(tmp_path_factory.mktemp("bad-prices") / "store.sqlite")
    shutil.copy(stores["full"], stores["bad prices"])
    with contextlib.closing(sqlite3.connect(stores["bad prices"])) as con:
        con.execute("UPDATE prices SET close = 'abc' WHERE order_book_id = '600001.XSHG'")
        con.commit()
    garbage = tmp_path_factory.mktemp("damaged") / "store.sqlite"
    garbage.write_bytes(b"not a database at all" * 100)
    stores["damaged"] = str(garbage)
    return stores


@pytest.fixture
def on_store(tiny_stores):
    import tickvane

    def use(name):
        tickvane.use_store(tiny_stores[name])
    yield use
    tickvane.use_store(None)


def _analyse_tiny(tmp_path, capsys, *options, rows=TINY_TRADES, out=None):
    statement = tmp_path / "交割单.csv"
    statement.write_text("\n".join([TINY_HEADER] + rows) + "\n", encoding="utf-8")
    out = str(tmp_path / "report.html") if out is None else out
    # The page in English, so that what the output says can be found on it.
    code = cli.main(["analyse", str(statement), "--out", out, "--lang", "en", *options])
    printed = capsys.readouterr()
    return code, printed.out, printed.err, statement, out


# (store, options, status, fragments of stdout + stderr, report written)
CASES = [
    ("full", (), 0, ["Opening cash 14,400.00", "Analysed 2020-01-02 to 2020-01-15",
                     "n/a (5 days)", "Report written to"], True),
    ("full", ("--end", "2030-01-01"), 0,
     ["Note: --end 2030-01-01 is after the market data's last day 2020-01-15: the "
      "analysis ends there"], True),
    ("full", ("--start", "2019-06-03"), 0,
     ["Note: --start 2019-06-03 is before the market data's first day 2020-01-02: the "
      "analysis starts there"], True),
    ("no weights", (), 1,
     ["Brinson attribution: not available: the attribution cannot be made: the store "
      "has no weights for the index 000300.XSHG from 2020-01-02 to 2020-01-15",
      "without: Brinson attribution",
      "the store has no weights for the index 000300.XSHG on 2020-01-15: no benchmark "
      "exposure (n/a)"], True),
    ("weights from 01-10", (), 1,
     ["has no weights for the index 000300.XSHG from 2020-01-02 to 2020-01-09"], True),
    ("no curve", (), 0,
     ["the store has no yield curve on 2020-01-03: a risk-free rate of 0 is used"], True),
    ("full", ("--cash", "100"), 2,
     ["--cash 100.00 is not enough", "at row 1 (buy 1,000 600001.XSHG on 2020-01-02)",
      "at least 14,400.00", "nothing written"], False),
    ("full", ("--cash", "11000"), 2,
     ["at row 2 (buy 200 000002.XSHE on 2020-01-07)", "at least 14,400.00"], False),
    ("full", ("--out", "/dev/full"), 2,
     ["cannot write the report to /dev/full: No space left on device"], False),
    ("bad prices", (), 2,
     ["the market data cannot be read:", "is damaged or incomplete (reading prices:",
      "import the data again"], False),
    ("damaged", (), 2,
     ["the market data cannot be read:", "is not a tickvane store", "TICKVANE_STORE"],
     False),
]


@pytest.mark.filterwarnings("ignore")  # statsmodels warns of the short windows
@pytest.mark.parametrize("store, options, status, fragments, written", CASES)
def test_command_on_tiny_stores(tmp_path, capsys, on_store, tiny_stores, store, options,
                                status, fragments, written):
    on_store(store)
    code, printed, err, _, out = _analyse_tiny(tmp_path, capsys, *options)
    assert code == status, err
    for fragment in fragments:
        assert fragment in printed + err
    assert "Traceback" not in err
    if "/dev/full" in options:
        assert pathlib.Path("/dev/full").is_char_device()
        return
    assert pathlib.Path(out).exists() == written
    assert [p for p in tmp_path.iterdir() if p.suffix == ".tmp"] == []
    if written:
        page = pathlib.Path(out).read_text(encoding="utf-8")
        # What the output says about missing data, the page says too.
        for fragment in fragments:
            if "not available" in fragment or "Note: " in fragment or "rate of 0" in fragment:
                shown = fragment.split("Note: ")[-1].split(": not available: ")[-1]
                # (The page escapes an apostrophe twice: compare what follows it.)
                assert shown.split("'")[-1] in page
        if store == "no weights":
            assert "总计" not in printed and "TotalActiveReturn" not in page


@pytest.mark.parametrize("environment, message", [
    ({"TICKVANE_STORE": "{tmp}/absent.sqlite"}, "no tickvane store at {tmp}/absent.sqlite"),
    # The cache folder cannot be made: a file stands where it would be.
    ({"XDG_CACHE_HOME": "{tmp}/a-file"}, "cannot build the sample market at "
                                         "{tmp}/a-file/tickvane/sample.sqlite"),
])
def test_a_store_that_cannot_be_opened_or_built(tmp_path, capsys, monkeypatch,
                                                environment, message):
    import tickvane

    (tmp_path / "a-file").write_text("")
    monkeypatch.delenv("TICKVANE_STORE", raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value.format(tmp=tmp_path))
    tickvane.use_store(None)
    try:
        code, _, err, _, out = _analyse_tiny(tmp_path, capsys)
    finally:
        tickvane.use_store(None)
    assert code == 2 and "Traceback" not in err
    assert message.format(tmp=tmp_path) in err and "nothing written" in err
    assert not pathlib.Path(out).exists()


@pytest.mark.parametrize("row, listed, what", [
    ("20200103,09:00:00,,,新股申购,0,0", "skipped row", "25 rows that move nothing"),
    # A transfer without an amount column: its size cannot be told.
    ("20200103,09:00:00,,,银行转证券,0,0", "  row ", "25 rows could not be read"),
])
def test_rows_not_booked_are_listed_up_to_twenty(tmp_path, capsys, on_store, row, listed,
                                                 what):
    on_store("full")
    code, printed, err, _, _ = _analyse_tiny(tmp_path, capsys, "--cash", "20000",
                                             rows=TINY_TRADES[:1] + [row] * 25)
    assert "2 trades" not in printed and "1 trades, 0 other rows booked" in printed
    assert what in printed
    assert printed.count(listed) == 20 and "  ... and 5 more" in printed


def test_a_file_error_names_the_file_once(tmp_path, capsys, on_store):
    on_store("full")
    statement = tmp_path / "交割单.csv"
    statement.write_text(TINY_HEADER + ",成交均价\n" + TINY_TRADES[0] + ",10.00\n",
                         encoding="utf-8")
    assert cli.main(["analyse", str(statement), "--out", str(tmp_path / "r.html")]) == 2
    error = capsys.readouterr().err.split("error: ", 1)[1]
    assert error.count(str(statement)) == 1 and "names column '成交均价' twice" in error


def test_warnings_start_on_a_line_of_their_own(capsys):
    progress = cli.Progress()
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        # Shown on stderr, as outside pytest (which records them).
        warnings.showwarning = lambda message, category, filename, lineno, file=None, \
            line=None: sys.stderr.write(warnings.formatwarning(message, category,
                                                               filename, lineno, line))
        with progress.showing_warnings():
            progress.step("Style regression")
            warnings.warn("rank-deficient", RuntimeWarning)
            progress.done()
            progress.step("writing")
            progress.done()
    lines = capsys.readouterr().err.splitlines()
    assert lines[0] == "  Style regression ..."
    assert "RuntimeWarning: rank-deficient" in lines[1]
    assert lines[-2].startswith("  Style regression: done (")
    assert lines[-1].startswith("  writing ... done (")


def test_every_option_has_help_with_its_default(capsys):
    with pytest.raises(SystemExit):
        cli.main(["analyse", "--help"])
    text = " ".join(capsys.readouterr().out.split())
    for fragment in ("(default: hs300)", "(default: shenwan)", "(default: BHB)",
                     "(default: report.html)", "the least that keeps the cash",
                     "the day of the first trade", "the last trading day of the market",
                     "'sample' for the sample statement", "Exit status: 0"):
        assert fragment in text
    assert "(default: None)" not in text


@pytest.mark.filterwarnings("ignore")  # statsmodels warns of the short windows
@pytest.mark.parametrize("options, status, fragment", [
    ((), 2, "row 1: "),
    (("--accept-prices",), 0, "交割单.csv: warning: "),
])
def test_price_far_from_the_close(tmp_path, capsys, on_store, options, status, fragment):
    # 35.00 against a close of 10.00 on an imported (real) market.
    on_store("full")
    rows = [TINY_TRADES[0].replace("10.00", "35.00"), TINY_TRADES[1]]
    code, printed, err, _, out = _analyse_tiny(tmp_path, capsys, *options, rows=rows)
    assert code == status, err
    assert fragment in err and "35" in err and "Traceback" not in err
    assert pathlib.Path(out).exists() == (status == 0)


def test_an_opening_deposit_reads_as_opening_cash(tmp_path, capsys, on_store):
    """The same trades funded by a deposit row, or by --cash of that amount: the same
    figures. With the amount and balance columns the cash is checked row by row."""
    on_store("full")
    header = TINY_HEADER + ",发生金额,资金余额"
    trades = [TINY_TRADES[0] + ",-10000.00,10000.00",
              TINY_TRADES[1] + ",-4400.00,5600.00"]
    deposit = ["20200102,09:00:00,,,银行转证券,,,20000.00,20000.00"]

    def figures(rows, *options):
        folder = tmp_path / str(len(rows))
        folder.mkdir()
        statement = folder / "交割单.csv"
        statement.write_text("\n".join([header] + rows) + "\n", encoding="utf-8")
        # Exit 0: the style regression's windows are too short on the tiny market,
        # shown as n/a with a note (statsmodels' warning of them is not passed on).
        assert cli.main(["analyse", str(statement), "--out", str(folder / "r.html"),
                         *options]) == 0
        printed = capsys.readouterr().out
        return printed, [line for line in printed.splitlines()
                         if line.startswith(("Value ", "Time-weighted", "总计"))]

    funded, with_deposit = figures(deposit + trades)
    given, with_cash = figures(trades, "--cash", "20000")
    assert with_deposit == with_cash and len(with_deposit) == 3
    assert "Opening cash 0.00: the statement's deposits fund every purchase" in funded
    assert "Opening cash 20,000.00 (--cash)" in given
    assert "cash agrees with the statement on 3 of 3 rows" in funded
    assert "cash agrees with the statement on 2 of 2 rows" in given



@pytest.mark.parametrize("first_buy, said", [
    # Bought at 10.10 against the close of 10.00: 100 of the 20,000 put in is gone by
    # the first close, which the figures run from; the page says so.
    ("10.10", "that day's trades, fees and price moves (-100.00 on the 20,000.00 the "
              "account opened with) are in the opening value"),
    ("10.00", None),  # bought at the close: nothing to say
])
def test_the_first_days_result_is_named(tmp_path, capsys, on_store, first_buy, said):
    on_store("full")
    rows = ["20200102,09:00:00,,,银行转证券,,,20000.00,20000.00",
            f"20200102,10:00:00,600001,甲银行,证券买入,1000,{first_buy},"
            f"{-1000 * float(first_buy):.2f},{20000 - 1000 * float(first_buy):.2f}"]
    statement = tmp_path / "交割单.csv"
    statement.write_text("\n".join([TINY_HEADER + ",发生金额,资金余额"] + rows) + "\n",
                         encoding="utf-8")
    cli.main(["analyse", str(statement), "--out", str(tmp_path / "r.html")])
    printed = capsys.readouterr().out
    assert ("the figures run from the close of 2020-01-02" in printed) == (said is not None)
    assert said is None or said in printed


def test_a_stock_held_past_its_delisting_is_named(tmp_path, capsys, on_store):
    # 000003 last trades on 01-09 and is delisted on 01-10; the range runs to 01-15.
    on_store("full")
    rows = ["20200102,10:00:00,000003,*ST丙药,证券买入,1000,3.00",
            "20200102,10:00:00,600001,甲银行,证券买入,1000,10.00"]
    code, out, _, statement, report = _analyse_tiny(tmp_path, capsys, "--cash", "20000",
                                                    rows=rows)
    assert code == 0
    assert ("Note: 000003.XSHE was delisted on 2020-01-10 and is held until 2020-01-15: "
            "it is valued at its last close from then on") in out
    assert "600001.XSHG was delisted" not in out
    chinese = tmp_path / "zh.html"
    cli.main(["analyse", str(statement), "--cash", "20000", "--out", str(chinese)])
    assert "000003.XSHE 已于 2020-01-10 退市,持有至 2020-01-15" in chinese.read_text("utf-8")


@pytest.mark.parametrize("withdrawn, balance, status, printed", [
    # The account closed: everything sold above the day before's close and the money
    # withdrawn the same day. Redeemed at that day's close: +5 %, and the analysis
    # ends on the day the account was emptied (exit 1: the tiny market has no factor
    # data for those two days).
    ("-10500.00", "0.00", 1,
     ["time-weighted return +5.00%", "the account holds nothing after 2020-01-03"]),
    # More than the close before was worth, with something left: refused.
    ("-10400.00", "100.00", 2,
     ["the withdrawal of 10400.0 on 2020-01-03 is more than the portfolio was worth "
      "at the close of 2020-01-02 (10000.0)", "analyse the days before it with --end"]),
])
def test_a_withdrawal_above_the_close_before_it(tmp_path, capsys, on_store, withdrawn,
                                                balance, status, printed):
    on_store("full")
    rows = ["20200102,09:00:00,,,银行转证券,,,10000.00,10000.00",
            "20200102,10:00:00,600001,甲银行,证券买入,1000,10.00,-10000.00,0.00",
            "20200103,10:00:00,600001,甲银行,证券卖出,1000,10.50,10500.00,10500.00",
            f"20200103,15:30:00,,,证券转银行,,,{withdrawn},{balance}"]
    statement = tmp_path / "交割单.csv"
    statement.write_text("\n".join([TINY_HEADER + ",发生金额,资金余额"] + rows) + "\n",
                         encoding="utf-8")
    out = tmp_path / "r.html"
    assert cli.main(["analyse", str(statement), "--out", str(out)]) == status
    said = capsys.readouterr()
    assert "Traceback" not in said.err and out.exists() == (status != 2)
    assert all(p in said.out + said.err for p in printed), said.out + said.err


# --- which market: stores of each origin ---------------------------------------------

FETCH_META = {"source": "fetch", "fetched_from": "baostock", "imported_from": None,
              "fetched_at": "2020-01-16T08:00:00Z", "fetch_start": "2019-12-01",
              "universe": "hs300,zz500", "index_weights": "approximation: capitalisation"}


@pytest.fixture(scope="module")
def origin_stores(tmp_path_factory, market_maker, tiny_stores):
    """{origin: store path}: the tiny market imported, marked as the generated sample,
    as fetched (without the factor tables, which a fetch does not fill) and as fetched
    with a table lost; an imported one without the closes of the CSI 300."""
    import shutil
    import sqlite3

    def store(meta=None, drop=None, **keep):
        tables = {t: [line for k, line in enumerate(lines)
                      if k == 0 or keep.get(t, lambda _: True)(line)]
                  for t, lines in _tiny_market().TINY.items()}
        path = market_maker.store(tables)
        if meta is None:
            return path
        copy = str(tmp_path_factory.mktemp("origin") / "store.sqlite")
        shutil.copy(path, copy)
        with contextlib.closing(sqlite3.connect(copy)) as con:
            for key, value in meta.items():
                con.execute("DELETE FROM meta WHERE key = ?", (key,))
                if value is not None:
                    con.execute("INSERT INTO meta VALUES (?, ?)", (key, value))
            if drop:
                con.execute(f"DROP TABLE {drop}")
            con.commit()
        return copy

    no_factors = {"factor_exposures": lambda _: False, "factor_returns": lambda _: False}
    return {"imported": tiny_stores["full"],
            "sample": store({"source": "sample", "imported_from": None}),
            "fetched": store(FETCH_META, **no_factors),
            "fetched, damaged": store(FETCH_META, drop="splits", **no_factors),
            "no index closes": store(prices=lambda line: "000300.XSHG" not in line)}


@pytest.fixture
def on_origin(origin_stores):
    import tickvane

    yield lambda name: tickvane.use_store(origin_stores[name]) or origin_stores[name]
    tickvane.use_store(None)


@pytest.mark.filterwarnings("ignore")  # statsmodels warns of the short windows
@pytest.mark.parametrize("origin, status, fragments", [
    ("imported", 0, ["Market data: an imported store (", ", 2020-01-02 to 2020-01-15)"]),
    ("sample", 0, ["Market data: the generated sample market (invented prices)"]),
    ("fetched", 1, [
        "Market data: fetched from baostock on 2020-01-16T08:00:00Z, 2020-01-02 to "
        "2020-01-15", "the attribution and the benchmark exposure use approximate weights",
        "Factor exposure: not available: the store has no factor exposures (a fetched",
        "Style regression: not available: the store has no factor returns (a fetched"]),
])
def test_the_report_says_which_market_it_ran_on(tmp_path, capsys, on_origin, origin,
                                                status, fragments):
    on_origin(origin)
    code, printed, err, _, out = _analyse_tiny(tmp_path, capsys)
    assert code == status and "Traceback" not in err
    assert printed.startswith("Market data: ") and printed.count("Market data: ") == 1
    page = pathlib.Path(out).read_text(encoding="utf-8")
    for fragment in fragments:
        # The page names the market in a row of its own, headed "Market data".
        shown = fragment.split(": not available: ")[-1].removeprefix("Market data: ")
        assert fragment in printed and shown in page


def _command(err):
    """The fetch command a message prints, as the shell splits it (a store's hint ends
    its error's parenthesis)."""
    import re
    import shlex

    found = re.search(r"(python -m tickvane fetch .*?)\)?(?:; then set |\n|$)", err)
    return shlex.split(found.group(1)) if found else err


@pytest.mark.parametrize("origin, options, says, command", [
    # Codes the store lacks: the fetch that gives a store with them (the same fetch
    # with the statement added, for a fetched store; a new store otherwise).
    ("fetched", (), "add the codes the store lacks with:",
     "--start 2019-12-01 --universe hs300,zz500,{statement} --store {store}"),
    ("sample", (), "the generated sample market is invented and cannot hold real codes",
     "--universe hs300,zz500,{statement} --store {folder}/fetched.sqlite"),
    ("imported", (), "add them to the files it was imported from and import it again",
     "--universe hs300,zz500,{statement} --store {folder}/fetched.sqlite"),
    ("fetched, damaged", (), "table splits is missing (it was fetched from baostock; "
     "move it aside and fetch it again:",
     "--start 2019-12-01 --universe hs300,zz500 --store {store}"),
    ("no index closes", (), "error: the store has no closes of the index 000300.XSHG "
     "from 2020-01-02: fetch it, or choose --benchmark zz500\nnothing written", None),
    ("imported", ("--benchmark", "zz500"), "error: the store has no closes of the index "
     "000905.XSHG from 2020-01-02: fetch it, or choose --benchmark hs300", None),
])
def test_what_the_store_lacks_stops_the_command_in_one_message(
        tmp_path, capsys, on_origin, origin, options, says, command):
    path = on_origin(origin)
    unknown = ["20200108,10:00:00,600999,x,证券买入,100,10.00"] if command else []
    code, _, err, statement, out = _analyse_tiny(tmp_path, capsys, *options,
                                                 rows=TINY_TRADES + unknown)
    assert code == 2 and "nothing written" in err and not pathlib.Path(out).exists()
    assert says in err and "Traceback" not in err
    if command:
        names = {"statement": statement, "store": path, "folder": pathlib.Path(path).parent}
        assert _command(err) == ["python", "-m", "tickvane", "fetch",
                                 *command.format(**names).split(" ")]


def test_the_batch_command_is_a_subcommand(capsys):
    """`meridan batch` is reached through the command's own parser and refuses an empty
    batch before any cluster starts."""
    from meridan import cli

    assert cli.main(["batch"]) == 2
    err = capsys.readouterr().err
    assert "no statements" in err or 'pip install "meridan[batch]"' in err
