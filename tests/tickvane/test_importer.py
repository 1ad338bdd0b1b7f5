"""The importer: validation reports the first bad row exactly; imports are all-or-nothing."""

import hashlib
import os
import subprocess
import sys

import pytest

import tickvane
from tickvane import _writer


@pytest.fixture
def folder_with(tmp_path, market, write_market):
    """Write the tiny market with lines replaced ({(table, index in its list): text})."""
    def write(name, changes=None):
        for (table, k), text in (changes or {}).items():
            market[table][k] = text
        return write_market(str(tmp_path / name), market)
    return write


def import_error(tmp_path, folder_with, changes):
    folder = folder_with("csv", changes)
    with pytest.raises(tickvane.DataImportError) as info:
        tickvane.import_folder(folder, str(tmp_path / "store.sqlite"), progress=False)
    assert not os.path.exists(tmp_path / "store.sqlite")
    return info.value


# Each case: the lines changed (list index = line number - 1) and the expected report.
BAD_ROWS = [
    ({("prices", 3): "600001.XSHG,2020-01-06,abc,1.0"}, "prices.csv", 4, "close", "abc"),
    ({("prices", 2): "600001.XSHG,2020-01-03,-1,1.0"}, "prices.csv", 3, "close", "-1"),
    ({("prices", 5): "600001.XSHG,2020-01-04,10,1.0"}, "prices.csv", 6, "date", "2020-01-04"),
    ({("prices", 7): "999999.XSHG,2020-01-09,9.8,1.05"}, "prices.csv", 8, "order_book_id",
     "999999.XSHG"),
    ({("prices", 8): "600001.XSHG,2020-01-13,5.00,"}, "prices.csv", 9, "adj_factor", ""),
    ({("prices", 9): "600001.XSHG,2020-01-13,5.00,2.1"}, "prices.csv", 10, "date", "2020-01-13"),
    ({("instruments", 2): "000002.XSHE,乙科技,STOCK,XSHE,2020-01-06,,100,信息技术,计算机"},
     "instruments.csv", 3, "type", "STOCK"),
    ({("instruments", 1): "600001.XSHG,甲银行,CS,XSHG,2015-05-05,,100,金融业,银行"},
     "instruments.csv", 2, "sector_code_name", "金融业"),
    ({("instruments", 3): "000003.XSHE,*ST丙药,CS,XSHE,2010-01-04,2009-01-01,100,医疗保健,医药生物"},
     "instruments.csv", 4, "de_listed_date", "2009-01-01"),
    ({("instruments", 1): "600001,甲银行,CS,XSHG,2015-05-05,,100,金融,银行"},
     "instruments.csv", 2, "order_book_id", "600001"),
    ({("index_weights", 2): "000300.XSHG,2020-01-02,000003.XSHE,-0.1"}, "index_weights.csv", 3,
     "weight", "-0.1"),
    ({("index_weights", 1): "600001.XSHG,2020-01-02,600001.XSHG,0.75"}, "index_weights.csv", 2,
     "index_id", "600001.XSHG"),
    ({("dividends", 1): "600001.XSHG,2020-01-07,2020-01-08,2020-01-08,5.00,2.5"},
     "dividends.csv", 2, "round_lot", "2.5"),
    ({("dividends", 1): "600001.XSHG,2020-01-08,2020-01-07,,5.00,10"},
     "dividends.csv", 2, "ex_dividend_date", "2020-01-07"),
    ({("factor_exposures", 3): "600001.XSHG,2020-01-15,inf,0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,0.9"},
     "factor_exposures.csv", 4, "beta", "inf"),
    ({("trading_dates", 4): "2020-02-30"}, "trading_dates.csv", 5, "date", "2020-02-30"),
    ({("st_periods", 1): "000003.XSHE,2019-06-03,2019-06-02"}, "st_periods.csv", 2, "end_date",
     "2019-06-02"),
    ({("splits", 1): "600001.XSHG,2020-01-13,10,0"}, "splits.csv", 2, "split_coefficient_to",
     "0"),
    # Two bad rows: the earlier one is reported; within a row, the first bad column.
    ({("prices", 3): "600001.XSHG,2020-01-06,abc,1.0",
      ("prices", 2): "600001.XSHG,2020-01-33,xyz,1.0"}, "prices.csv", 3, "date", "2020-01-33"),
    # A quoted line break inside a cell moves every later row down one physical line.
    ({("instruments", 1): '600001.XSHG,"甲\n银行",CS,XSHG,2015-05-05,,100,金融,银行',
      ("instruments", 2): "000002.XSHE,乙科技,XX,XSHE,2020-01-06,,100,信息技术,计算机"},
     "instruments.csv", 4, "type", "XX"),
]


@pytest.mark.parametrize("changes, file, line, column, value", BAD_ROWS)
def test_first_bad_row_is_reported_exactly(tmp_path, folder_with, changes, file, line, column,
                                           value):
    err = import_error(tmp_path, folder_with, changes)
    assert (err.file, err.line, err.column, err.value) == (file, line, column, value)
    assert "%s, line %d, column %r" % (file, line, column) in str(err)


# Ids and exchanges as other systems write them: refused where they first appear, with
# the store's form to write instead (the client would never find them otherwise).
BANK_AS = "%s,甲银行,CS,%s,2015-05-05,,100,金融,银行"
ID_FORMS = {
    "suffix SH": ({("instruments", 1): BANK_AS % ("600001.SH", "SH")}, "instruments.csv", 2,
                  "order_book_id", "600001.SH", "write 600001.XSHG"),
    "prefix sz": ({("instruments", 2): "sz000002,乙科技,CS,XSHE,2020-01-06,,100,信息技术,计算机"},
                  "instruments.csv", 3, "order_book_id", "sz000002", "write 000002.XSHE"),
    "five digits": ({("instruments", 1): BANK_AS % ("60001.XSHG", "XSHG")}, "instruments.csv",
                    2, "order_book_id", "60001.XSHG", "as 600000.XSHG"),
    "exchange of the other id": ({("instruments", 1): BANK_AS % ("600001.XSHG", "XSHE")},
                                 "instruments.csv", 2, "exchange", "XSHE", "write XSHG"),
    "exchange SH": ({("instruments", 1): BANK_AS % ("600001.XSHG", "SH")}, "instruments.csv",
                    2, "exchange", "SH", "write XSHG"),
    "index exchange of a stock": ({("instruments", 1): BANK_AS % ("600001.XSHG", "INDX")},
                                  "instruments.csv", 2, "exchange", "INDX", "write XSHG"),
    "price of 600001.SH": ({("prices", 2): "600001.SH,2020-01-03,10.50,1.0"}, "prices.csv", 3,
                           "order_book_id", "600001.SH", "write 600001.XSHG, as instruments"),
    "index 000300.SH": ({("index_weights", 1): "000300.SH,2020-01-02,600001.XSHG,0.75"},
                        "index_weights.csv", 2, "index_id", "000300.SH", "write 000300.XSHG"),
}


@pytest.mark.parametrize("changes, file, line, column, value, fragment", ID_FORMS.values(),
                         ids=ID_FORMS.keys())
def test_ids_of_other_forms_are_refused_with_the_form_to_write(tmp_path, folder_with, changes,
                                                               file, line, column, value,
                                                               fragment):
    err = import_error(tmp_path, folder_with, changes)
    assert (err.file, err.line, err.column, err.value) == (file, line, column, value)
    assert fragment in str(err)


def test_beijing_stocks_and_industry_indices_are_ids_of_the_store(tmp_path, market,
                                                                 write_market):
    market["instruments"] += ["430047.BJSE,诺思兰德,CS,BJSE,2020-11-12,,100,医疗保健,医药生物",
                              "801780.INDX,银行,INDX,INDX,1999-12-30,,1,,"]
    path = tickvane.import_folder(write_market(str(tmp_path / "csv"), market),
                                  str(tmp_path / "s.sqlite"), progress=False)
    tickvane.use_store(path)
    try:
        assert tickvane.instruments("430047.BJSE").exchange == "BJSE"
        assert tickvane.instruments("801780.INDX").exchange == "INDX"
    finally:
        tickvane.use_store(None)


@pytest.mark.parametrize("changes, file, column, problem", [
    ({("prices", 0): "order_book_id,date,closing,adj_factor"}, "prices.csv", "closing",
     "unknown column"),
    ({("splits", 0): "order_book_id,split_coefficient_from,split_coefficient_to,ex_date,ex_date"},
     "splits.csv", "ex_date", "column given twice"),
])
def test_header_problems_are_reported_on_line_one(tmp_path, folder_with, changes, file, column,
                                                  problem):
    err = import_error(tmp_path, folder_with, changes)
    assert (err.file, err.line, err.column) == (file, 1, column) and problem in str(err)


def test_missing_required_column(tmp_path, market, write_market):
    market["prices"] = [",".join(line.split(",")[:2] + line.split(",")[3:])
                        for line in market["prices"]]
    folder = write_market(str(tmp_path / "csv"), market)
    with pytest.raises(tickvane.DataImportError, match="prices.csv, line 1, column 'close': "
                                                       "missing column"):
        tickvane.import_folder(folder, str(tmp_path / "s.sqlite"), progress=False)


def _write(folder, name, text):
    with open(os.path.join(folder, name), "w", encoding="utf-8") as handle:
        handle.write(text)


@pytest.mark.parametrize("setup, message", [
    (lambda d: _write(d, "price.csv", "x\n"), "price.csv: not a table"),
    (lambda d: os.remove(os.path.join(d, "trading_dates.csv")), "no trading_dates file"),
    (lambda d: _write(d, "splits.csv", ""), "splits.csv: the file is empty"),
])
def test_folder_level_problems(tmp_path, folder_with, setup, message):
    folder = folder_with("csv")
    setup(folder)
    with pytest.raises(tickvane.DataImportError, match=message):
        tickvane.import_folder(folder, str(tmp_path / "s.sqlite"), progress=False)


def _without_factors(market):
    market["prices"] = [line.rsplit(",", 1)[0] for line in market["prices"]]


# Prices without adj_factor: the factors come from the dividends and splits, so an ex date
# is no price move. Each case: lines changed and the change rates expected on some days.
# 600001 closes 10.00 on 01-07 and pays 0.50 a share from 01-08 (reference 9.50), closes
# 9.80 on 01-09, is suspended on 01-10 and splits 10 -> 20 on 01-13 (reference 4.90).
DERIVED_FACTORS = {
    "dividend and split": ({}, {("600001.XSHG", "2020-01-08"): 9.70 / 9.50 - 1,
                                ("600001.XSHG", "2020-01-13"): 5.00 / 4.90 - 1,
                                ("600001.XSHG", "2020-01-14"): 5.10 / 5.00 - 1}),
    "ex date while suspended": (
        {("dividends", 1): "600001.XSHG,2020-01-09,2020-01-10,,5.00,10"},
        {("600001.XSHG", "2020-01-08"): 9.70 / 10.00 - 1,
         ("600001.XSHG", "2020-01-13"): 5.00 / (9.30 * 4.90 / 9.80) - 1}),
    "same day, cash per 100 shares": (
        {("dividends", 1): "600001.XSHG,2020-01-10,2020-01-13,,50.00,100"},
        {("600001.XSHG", "2020-01-13"): 5.00 / 4.65 - 1}),
    "ex date before the first close": (
        {("dividends", 1): "000002.XSHE,2020-01-03,2020-01-06,,5.00,10"},
        {("000002.XSHE", "2020-01-07"): 22.00 / 20.00 - 1,
         ("600001.XSHG", "2020-01-08"): 9.70 / 10.00 - 1}),
}


@pytest.mark.parametrize("changes, rates", DERIVED_FACTORS.values(), ids=DERIVED_FACTORS.keys())
def test_prices_without_factors_take_them_from_dividends_and_splits(tmp_path, market,
                                                                   write_market, changes,
                                                                   rates):
    _without_factors(market)
    for (table, k), text in changes.items():
        market[table][k] = text
    folder = write_market(str(tmp_path / "csv"), market)
    path = tickvane.import_folder(folder, str(tmp_path / "s.sqlite"), progress=False)
    tickvane.use_store(path)
    try:
        for (oid, day), rate in rates.items():
            got = tickvane.get_price_change_rate(oid, day, day).iloc[0]
            assert got == pytest.approx(rate, abs=1e-12), (oid, day)
        # The last close is unadjusted whatever the factors.
        assert tickvane.get_price("600001.XSHG", "2020-01-15", "2020-01-15").iloc[0] == 5.20
    finally:
        tickvane.use_store(None)


def _digest(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def _leftovers(folder):
    return [n for n in os.listdir(folder) if n.startswith(".") and ".tmp-" in n]


def test_failed_import_leaves_the_previous_store_untouched(tmp_path, write_market, folder_with):
    target = str(tmp_path / "store.sqlite")
    tickvane.import_folder(write_market(str(tmp_path / "good")), target, progress=False)
    before = _digest(target)
    tickvane.use_store(target)
    try:
        assert tickvane.get_price("000300.XSHG", "2020-01-02", "2020-01-02").iloc[0] == 4000
        bad = folder_with("bad", {("yield_curve", 2): "2020-01-15,x" + ",0" * 20})
        with pytest.raises(tickvane.DataImportError, match="yield_curve.csv, line 3"):
            tickvane.import_folder(bad, target, progress=False)
        assert _digest(target) == before
        assert _leftovers(str(tmp_path)) == []
        assert tickvane.get_price("000300.XSHG", "2020-01-02", "2020-01-03").tolist() == [
            4000, 4040]
    finally:
        tickvane.use_store(None)


def test_interrupted_write_leaves_the_previous_store_untouched(tmp_path, monkeypatch,
                                                              write_market):
    target = str(tmp_path / "store.sqlite")
    good = write_market(str(tmp_path / "good"))
    tickvane.import_folder(good, target, progress=False)
    before = _digest(target)
    real_insert = _writer.StoreWriter.insert

    def insert(self, table, rows, columns=None):
        if table == "factor_exposures":
            raise KeyboardInterrupt
        return real_insert(self, table, rows, columns)

    monkeypatch.setattr(_writer.StoreWriter, "insert", insert)
    with pytest.raises(KeyboardInterrupt):
        tickvane.import_folder(good, target, progress=False)
    assert _digest(target) == before
    assert _leftovers(str(tmp_path)) == []


def test_reimport_replaces_the_store_the_client_reads(tmp_path, market, folder_with):
    target = str(tmp_path / "store.sqlite")
    tickvane.import_folder(folder_with("one"), target, progress=False)
    tickvane.use_store(target)
    try:
        assert tickvane.get_price("000300.XSHG", "2020-01-15", "2020-01-15").iloc[0] == 4160
        changed = folder_with("two", {("prices", len(market["prices"]) - 1):
                                      "000300.XSHG,2020-01-15,4200,1"})
        tickvane.import_folder(changed, target, progress=False)
        assert tickvane.get_price("000300.XSHG", "2020-01-15", "2020-01-15").iloc[0] == 4200
    finally:
        tickvane.use_store(None)


def _stored_as(kind):
    """How a Parquet writer may hold a column of the tiny market (a text column as read
    from its CSV), or None to leave it as text."""
    import pandas as pd

    def change(column, s):
        if kind == "float32 closes":
            return s.astype("float32") if column == "close" else None
        if not column.endswith("date"):
            return None
        if kind == "dates as floats":   # an integer column with a gap becomes float
            return s.str.replace("-", "").astype(float)
        days = pd.to_datetime(s)
        if kind == "Shanghai midnight in UTC":
            return days.dt.tz_localize("Asia/Shanghai").dt.tz_convert("UTC")
        return days
    return change


@pytest.mark.parametrize("kind", ["datetimes", "Shanghai midnight in UTC", "dates as floats",
                                  "float32 closes"])
def test_parquet_files_import_like_csv(tmp_path, tiny_store, market, write_market, kind):
    pytest.importorskip("pyarrow")
    import sqlite3

    import pandas as pd

    folder = tmp_path / "parquet"
    folder.mkdir()
    csv_folder = write_market(str(tmp_path / "csv"))
    change = _stored_as(kind)
    for name in market:
        frame = pd.read_csv(os.path.join(csv_folder, name + ".csv"), keep_default_na=True,
                            dtype={c: str for c in ("date", "listed_date", "de_listed_date")})
        for col in frame.columns:
            changed = change(col, frame[col])
            if changed is not None:
                frame[col] = changed
        frame.to_parquet(folder / (name + ".parquet"))
    path = tickvane.import_folder(str(folder), str(tmp_path / "p.sqlite"), progress=False)
    tables = []
    for store in (path, tiny_store):
        with sqlite3.connect(store) as con:
            tables.append({t: con.execute("SELECT * FROM %s ORDER BY 1, 2, 3" % t).fetchall()
                           for t in ("instruments", "prices", "st_periods", "dividends",
                                     "index_weights", "factor_exposures")})
    assert tables[0] == tables[1]


# ------------------------------------------------------------------------- command line


def run_cli(*args):
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(tickvane.__file__))
    env["PYTHONPATH"] = os.pathsep.join([package_root] + (
        [env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.run([sys.executable, "-m", "tickvane"] + list(args), capture_output=True,
                          text=True, env=env, timeout=120)


def test_cli_info(tiny_store):
    out = run_cli("info", "--store", tiny_store)
    assert out.returncode == 0, out.stderr
    assert "2020-01-02 to 2020-01-15, 10 trading days" in out.stdout
    assert "3 CS, 1 ETF, 1 INDX" in out.stdout
    assert "prices" in out.stdout and " 33 rows" in out.stdout


def test_cli_import_failure_names_the_row_and_keeps_the_store(tmp_path, folder_with,
                                                              write_market):
    bad = folder_with("bad", {("prices", 3): "600001.XSHG,2020-01-06,abc,1.0"})
    target = str(tmp_path / "s.sqlite")
    out = run_cli("import", bad, "--store", target, "--quiet")
    assert out.returncode == 1
    assert "prices.csv, line 4, column 'close'" in out.stderr and "'abc'" in out.stderr
    assert "nothing was written; there is still no store" in out.stderr
    assert not os.path.exists(target)
    good = run_cli("import", write_market(str(tmp_path / "good")), "--store", target, "--quiet")
    assert good.returncode == 0, good.stderr
    assert "10 trading days" in good.stdout


def test_cli_info_without_a_store(tmp_path):
    out = run_cli("info", "--store", str(tmp_path / "nothing.sqlite"))
    assert out.returncode == 1 and "no store at" in out.stderr


def _instrument(line, msci, shenwan):
    """Line `line` (2 to 4) of the tiny instruments with these sector names."""
    oid, symbol, exchange, listed, delisted = {
        2: ("600001.XSHG", "甲银行", "XSHG", "2015-05-05", ""),
        3: ("000002.XSHE", "乙科技", "XSHE", "2020-01-06", ""),
        4: ("000003.XSHE", "*ST丙药", "XSHE", "2010-01-04", "2020-01-10")}[line]
    return {("instruments", line - 1): "%s,%s,CS,%s,%s,%s,100,%s,%s" % (
        oid, symbol, exchange, listed, delisted, msci, shenwan)}


# The instruments' names (line: (MSCI sector, Shenwan industry)) and the sets recorded.
# 金融, 信息技术, 医疗保健, 银行, 计算机 and 医药生物 are names of both sets.
SETS_ACCEPTED = [
    ({}, "sw2014", "msci10"),
    ({3: ("通信服务", "电力设备")}, "sw2021", "msci11"),
    ({2: ("房地产", "银行")}, "sw2014", "msci11"),
    ({3: ("电信服务", "计算机"), 4: ("医疗保健", "美容护理")}, "sw2021", "msci10"),
]


@pytest.mark.parametrize("names, shenwan_set, sector_set", SETS_ACCEPTED, ids=[
    "sample sets", "today's sets", "11 sectors", "2021 industries"])
def test_the_store_records_the_sector_sets_of_its_names(tmp_path, folder_with, names,
                                                        shenwan_set, sector_set):
    changes = {}
    for line, (msci, shenwan) in names.items():
        changes.update(_instrument(line, msci, shenwan))
    path = tickvane.import_folder(folder_with("csv", changes), str(tmp_path / "s.sqlite"),
                                  progress=False)
    meta = tickvane.store_info(path)["meta"]
    assert (meta["shenwan_set"], meta["sector_set"]) == (shenwan_set, sector_set)


# Names of two sets: the first row whose name is of the other set only is refused, and
# the report names the row that chose the set.
SETS_REFUSED = [
    ({2: ("金融", "化工"), 4: ("医疗保健", "电力设备")}, 4, "shenwan_industry_name", "电力设备",
     "line 2 names '化工', of the 28 Shenwan level-1 industries of 2014"),
    ({3: ("通信服务", "计算机"), 4: ("电信服务", "医药生物")}, 4, "sector_code_name", "电信服务",
     "line 3 names '通信服务', of the 11 MSCI sectors"),
    ({2: ("金融", "采矿"), 3: ("信息技术", "电力设备")}, 2, "shenwan_industry_name", "采矿",
     "not a Shenwan level-1 industry name"),
]


@pytest.mark.parametrize("names, line, column, value, problem", SETS_REFUSED, ids=[
    "2014 then 2021", "11 then 10", "unknown name"])
def test_names_of_two_sector_sets_are_refused(tmp_path, folder_with, names, line, column,
                                              value, problem):
    changes = {}
    for row, (msci, shenwan) in names.items():
        changes.update(_instrument(row, msci, shenwan))
    err = import_error(tmp_path, folder_with, changes)
    assert (err.file, err.line, err.column, err.value) == ("instruments.csv", line, column,
                                                           value)
    assert problem in str(err)
