"""The store is the user's data: whatever fails, the previous store stays byte for byte and
no temporary file stays behind; damage is reported naming the file, never repaired unasked.

Every case runs on small stores built in the test's temporary folder.
"""

import gzip
import hashlib
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import textwrap

import pytest

import tickvane
from tickvane import _client, _sample, _writer

SMALL = dict(seed=7, n_stocks=10, start_date="2019-06-03", end_date="2019-09-30")
SMALL_FLAGS = ["--seed", "7", "--stocks", "10", "--start", "2019-06-03", "--end", "2019-09-30"]
ANY = object()  # an expected value not fixed by the case


def digest(path):
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def leftovers(folder):
    """Temporary and lock files a writer may leave beside its target."""
    return sorted(n for n in os.listdir(folder) if ".tmp-" in n or n.endswith(".lock"))


@pytest.fixture
def store(tmp_path, write_market):
    """A good imported store at tmp_path/store.sqlite, and its digest."""
    target = str(tmp_path / "store.sqlite")
    tickvane.import_folder(write_market(str(tmp_path / "good")), target, progress=False)
    return target, digest(target)


@pytest.fixture
def folder_with(tmp_path, market, write_market):
    """The tiny market with lines replaced or appended ({(table, index): text})."""
    def write(name, changes=None):
        for (table, k), text in (changes or {}).items():
            if k == len(market[table]):
                market[table].append(text)
            else:
                market[table][k] = text
        return write_market(str(tmp_path / name), market)
    return write


def run_python(code, *args, env=None, **kwargs):
    package_root = os.path.dirname(os.path.dirname(tickvane.__file__))
    env = dict(os.environ, PYTHONPATH=package_root, **(env or {}))
    return subprocess.Popen([sys.executable, "-c", code] + list(args), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            **kwargs)


def run_cli(*args, env=None):
    proc = run_python("import sys, tickvane.__main__ as m; sys.exit(m.main(sys.argv[1:]))",
                      *args, env=env)
    out, err = proc.communicate(timeout=120)
    return proc.returncode, out, err


# ------------------------------------------------------------------------- import


def rewrite(path, change, new_path=None):
    with open(path, "rb") as handle:
        data = change(handle.read())
    if new_path:
        os.remove(path)
    with open(new_path or path, "wb") as handle:
        handle.write(data)


def _non_utf8(folder):
    rewrite(os.path.join(folder, "instruments.csv"),
            lambda data: data.replace("乙科技".encode(), b"B\xe9ta"))


def _truncated_gzip(folder):
    path = os.path.join(folder, "prices.csv")
    rewrite(path, lambda data: gzip.compress(data)[:len(gzip.compress(data)) * 2 // 3],
            path + ".gz")


def _gzip_cut_in_line_6(folder):
    # Stored (level 0) deflate blocks copy the text as it is after 15 bytes of headers, so
    # the cut's place in the text is known: three bytes into line 6.
    path = os.path.join(folder, "prices.csv")
    with open(path, "rb") as handle:
        text = handle.read()
    start_of_6 = len(b"".join(text.splitlines(keepends=True)[:5]))
    rewrite(path, lambda data: gzip.compress(data, compresslevel=0)[:15 + start_of_6 + 3],
            path + ".gz")


def _prices_without_factors(folder):
    rewrite(os.path.join(folder, "prices.csv"), lambda data: b"\n".join(
        line.rpartition(b",")[0] for line in data.splitlines()) + b"\n")


def _parquet_year_zero(folder):
    pytest.importorskip("pyarrow")
    import numpy as np
    import pandas as pd

    os.remove(os.path.join(folder, "trading_dates.csv"))
    days = np.array(["0000-01-01", "2020-01-02"], dtype="datetime64[s]")
    pd.DataFrame({"date": days}).to_parquet(os.path.join(folder, "trading_dates.parquet"))


def _parquet_utc_midnight(folder):
    # UTC midnight is 08:00 in Shanghai: which day was meant is not clear.
    pytest.importorskip("pyarrow")
    import pandas as pd

    os.remove(os.path.join(folder, "trading_dates.csv"))
    days = pd.to_datetime(pd.Series(["2020-01-02", "2020-01-03"])).dt.tz_localize("UTC")
    pd.DataFrame({"date": days}).to_parquet(os.path.join(folder, "trading_dates.parquet"))


# Each case: lines changed, a change to the written files, and the report expected
# (file, line or row, column, value, a fragment of the message).
IMPORT_REFUSALS = {
    "compact year 0": ({("trading_dates", 1): "00000101"}, None,
                       ("trading_dates.csv", 2, "date", "00000101", "1900 to 2199")),
    "ISO year 0": ({("instruments", 1): "600001.XSHG,甲银行,CS,XSHG,0000-01-01,,100,金融,银行"},
                   None, ("instruments.csv", 2, "listed_date", "0000-01-01", "1900 to 2199")),
    "year 2200": ({("instruments", 3): "000003.XSHE,丙,CS,XSHE,2010-01-04,2200-01-01,100,,"},
                  None, ("instruments.csv", 4, "de_listed_date", "2200-01-01", "1900 to 2199")),
    "Parquet year 0": ({}, _parquet_year_zero,
                       ("trading_dates.parquet", 1, "date", "0000-01-01", "row 1")),
    "Parquet UTC midnight": ({}, _parquet_utc_midnight,
                             ("trading_dates.parquet", 1, "date", "2020-01-02 00:00:00+00:00",
                              "this one is 2020-01-02 08:00:00 there")),
    "time 99:99": ({("prices", 3): "600001.XSHG,2020-01-06 99:99,10.20,1.0"}, None,
                   ("prices.csv", 4, "date", "2020-01-06 99:99", "not a date")),
    "two dividends, one book closure": (
        {("dividends", 2): "600001.XSHG,2020-01-07,2020-01-09,,1.00,10"}, None,
        ("dividends.csv", 3, "book_closure_date", "2020-01-07", "the first is on line 2")),
    "weights summing to 5": ({("index_weights", 1): "000300.XSHG,2020-01-02,600001.XSHG,4.75"},
                             None, ("index_weights.csv", 2, "weight", "5.0", "sum to 5.0")),
    "a byte that is not UTF-8": ({}, _non_utf8,
                                 ("instruments.csv", 3, "symbol", "B\ufffdta", "byte 0xe9")),
    "a row with an extra cell": ({("prices", 4): "600001.XSHG,2020-01-07,10.00,1.0,9"}, None,
                                 ("prices.csv", 5, None, None, "Expected 4 fields")),
    "a cut-off gzip file": ({}, _truncated_gzip,
                            ("prices.csv.gz", ANY, None, None, "damaged or cut off")),
    "a dividend above the close, no factors": (
        {("dividends", 1): "600001.XSHG,2020-01-07,2020-01-08,2020-01-08,100.00,10"},
        _prices_without_factors, ("dividends.csv", 2, "dividend_cash_before_tax", "100.00",
                                  "not less than the close of 10.0 on 2020-01-07")),
    "a gzip file cut off in line 6": ({}, _gzip_cut_in_line_6,
                                      ("prices.csv.gz", 6, None, None, "breaks off within")),
    # 000003 is delisted on 01-10 (its first day no longer listed); 000002 lists on 01-06.
    "a close on the delisting day": (
        {("prices", 23): "000003.XSHE,2020-01-10,2.65,1.0"}, None,
        ("prices.csv", 24, "date", "2020-01-10", "000003.XSHE on 2020-01-10, a day it is not"
         " listed: its de_listed_date is 2020-01-10")),
    "a close before the listing": (
        {("prices", 10): "000002.XSHE,2020-01-03,20.00,1.0"}, None,
        ("prices.csv", 11, "date", "2020-01-03", "its listed_date is 2020-01-06")),
}


@pytest.mark.parametrize("changes, damage, expected", IMPORT_REFUSALS.values(),
                         ids=IMPORT_REFUSALS.keys())
def test_import_refusals_name_the_cell_and_keep_the_store(tmp_path, store, folder_with,
                                                          changes, damage, expected):
    target, before = store
    folder = folder_with("bad", changes)
    if damage:
        damage(folder)
    with pytest.raises(tickvane.DataImportError) as info:
        tickvane.import_folder(folder, target, progress=False)
    err = info.value
    file, line, column, value, fragment = expected
    assert (err.file, err.column, err.value) == (file, column, value), str(err)
    assert line is ANY and isinstance(err.line, int) or err.line == line, str(err)
    assert fragment in str(err)
    assert digest(target) == before and leftovers(str(tmp_path)) == []


def test_an_excel_byte_order_mark_is_accepted(tmp_path, market, write_market, tiny_store):
    folder = write_market(str(tmp_path / "bom"), market)
    for name in ("instruments.csv", "prices.csv"):
        rewrite(os.path.join(folder, name), lambda data: b"\xef\xbb\xbf" + data)
    path = tickvane.import_folder(folder, str(tmp_path / "s.sqlite"), progress=False)
    assert tickvane.store_info(path)["rows"] == tickvane.store_info(tiny_store)["rows"]


# ------------------------------------------------------------------------- writer


def _disk_full(monkeypatch):
    """The disk fills up while the final commit writes the meta table."""
    real_init, real_set_meta = _writer.StoreWriter.__init__, _writer.StoreWriter.set_meta

    def init(self, target, **kwargs):
        real_init(self, target, **kwargs)
        pages = self.con.execute("PRAGMA page_count").fetchone()[0]
        self.con.execute("PRAGMA max_page_count = %d" % pages)  # SQLite's "disk is full"

    def set_meta(self, **values):
        real_set_meta(self, note="x" * 100_000, **values)

    monkeypatch.setattr(_writer.StoreWriter, "__init__", init)
    monkeypatch.setattr(_writer.StoreWriter, "set_meta", set_meta)


def _check_fails(monkeypatch):
    def check(self):
        raise tickvane.StoreError("%s: cannot be read back" % self.path)
    monkeypatch.setattr(_client.Store, "check", check)


def _rename_fails(monkeypatch):
    def replace(src, dst):
        raise OSError(28, "No space left on device", dst)
    monkeypatch.setattr(_writer.os, "replace", replace)


WRITE_FAILURES = {
    "disk full": (_disk_full, tickvane.StoreError, "cannot write the new store for .*full"),
    "client cannot read the result": (_check_fails, tickvane.StoreError,
                                      "failed its check and was not put in place"),
    "final rename fails": (_rename_fails, OSError, "No space left"),
}


@pytest.mark.parametrize("operation", ["import", "build"])
@pytest.mark.parametrize("fault, error, message", WRITE_FAILURES.values(),
                         ids=WRITE_FAILURES.keys())
def test_write_failures_keep_the_store_and_leave_nothing(tmp_path, store, write_market,
                                                        monkeypatch, operation, fault, error,
                                                        message):
    target, before = store
    fault(monkeypatch)
    with pytest.raises(error, match=message):
        if operation == "import":
            tickvane.import_folder(write_market(str(tmp_path / "again")), target,
                                   progress=False)
        else:
            tickvane.build_sample(target, progress=False, force=True, **SMALL)
    monkeypatch.undo()
    assert digest(target) == before and leftovers(str(tmp_path)) == []


def test_a_build_does_not_replace_data_imported_while_it_ran(tmp_path, write_market,
                                                            monkeypatch):
    target = tickvane.build_sample(str(tmp_path / "s.sqlite"), progress=False, **SMALL)
    real_write = _sample.write_tables

    def write_tables(writer, tables, bar, first=0.0):
        tickvane.import_folder(write_market(str(tmp_path / "m")), target, progress=False)
        real_write(writer, tables, bar, first)

    monkeypatch.setattr(_sample, "write_tables", write_tables)
    with pytest.raises(FileExistsError, match="holds imported market data"):
        tickvane.build_sample(target, progress=False, **SMALL)
    assert tickvane.store_info(target)["meta"]["source"] == "import"
    assert leftovers(str(tmp_path)) == []


# ------------------------------------------------------------------------- kills

# A build that announces itself once its temporary file exists, then waits to be killed;
# through the command line, or through the library (argv: "library", target).
BUILD_AND_WAIT = textwrap.dedent("""
    import sys, time
    import tickvane, tickvane.__main__ as cli
    from tickvane import _sample

    def slow(writer, tables, bar, first=0.0):
        print("writing", flush=True)
        time.sleep(60)

    _sample.write_tables = slow
    if sys.argv[1] == "library":
        tickvane.build_sample(sys.argv[2], progress=False, force=True, seed=7, n_stocks=10,
                              start_date="2019-06-03", end_date="2019-09-30")
    sys.exit(cli.main(sys.argv[1:]))
""")


def _start_build(target, through="command line"):
    args = (["library", target] if through == "library" else
            ["build-sample", "--store", target, "--force", "--quiet"] + SMALL_FLAGS)
    proc = run_python(BUILD_AND_WAIT, *args)
    assert proc.stdout.readline().strip() == "writing", proc.stderr.read()
    return proc


@pytest.mark.parametrize("through, message", [
    ("command line", "stopped by signal %d; nothing was written; the store at %s is unchanged"),
    ("library", None),
])
def test_sigterm_during_a_build_removes_the_temporary_file(tmp_path, store, through,
                                                          message):
    target, before = store
    proc = _start_build(target, through)
    assert leftovers(str(tmp_path))            # the build is under way
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == -signal.SIGTERM, err   # still ends by the signal
    assert message is None or message % (signal.SIGTERM, target) in err
    assert digest(target) == before and leftovers(str(tmp_path)) == []


def test_orphans_are_judged_by_their_lock_not_their_process_id(tmp_path, store,
                                                              write_market):
    target, before = store
    # A writer killed outright leaves its temporary file; the next writer removes it.
    proc = _start_build(target)
    proc.kill()
    proc.communicate(timeout=60)
    assert digest(target) == before
    assert any(n.endswith(".lock") for n in leftovers(str(tmp_path)))
    # A live writer whose process id means nothing here (another PID namespace or host):
    # its lock is held, so its file must survive another writer's clean-up.
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    foreign = str(tmp_path / (".store.sqlite.tmp-%d-xyz" % dead.pid))
    holder = run_python(textwrap.dedent("""
        import fcntl, sys, time
        open(sys.argv[1], "w").close()
        handle = open(sys.argv[1] + ".lock", "w")
        fcntl.flock(handle, fcntl.LOCK_EX)
        print("locked", flush=True)
        time.sleep(60)
    """), foreign)
    try:
        assert holder.stdout.readline().strip() == "locked"
        tickvane.import_folder(write_market(str(tmp_path / "again")), target, progress=False)
        assert leftovers(str(tmp_path)) == sorted(
            os.path.basename(p) for p in (foreign, foreign + ".lock"))
    finally:
        holder.kill()
        holder.communicate(timeout=60)
    # Its holder gone, the file is an orphan like any other.
    tickvane.import_folder(write_market(str(tmp_path / "again")), target, progress=False)
    assert leftovers(str(tmp_path)) == []


# ------------------------------------------------------------------------- reading


def _sql(path, *statements):
    con = sqlite3.connect(path)
    try:
        for statement in statements:
            con.execute(statement)
        con.commit()
    finally:
        con.close()


def _drop_prices(path):
    _sql(path, "DROP TABLE prices")


def _garble_prices(path):
    """Overwrite the pages of the prices table, leaving the pages read at opening."""
    con = sqlite3.connect(path)
    page = con.execute("PRAGMA page_size").fetchone()[0]
    root = con.execute("SELECT rootpage FROM sqlite_master WHERE name = 'prices'").fetchone()[0]
    con.close()
    with open(path, "r+b") as handle:
        handle.seek((root - 1) * page)
        handle.write(b"\x0d" + b"\xa5" * (page - 1))


def _days():
    return tickvane.get_trading_dates("2020-01-02", "2020-01-03")


def _closes():
    return tickvane.get_price("600001.XSHG")


DAMAGE = {
    "a missing table": (_drop_prices, _days, "incomplete: table prices is missing"),
    "garbled pages past the first": (_garble_prices, _closes,
                                     "damaged or incomplete (reading prices"),
    "text where a close belongs": (
        lambda p: _sql(p, "UPDATE prices SET close = 'ten' WHERE order_book_id = '600001.XSHG'"),
        _closes, "damaged or incomplete (reading prices"),
    "a year-0 payable date": (lambda p: _sql(p, "UPDATE dividends SET payable_date = 101"),
                              lambda: tickvane.get_dividend("600001.XSHG"),
                              "damaged or incomplete (reading dividends"),
    "a year-0 trading date": (lambda p: _sql(p, "INSERT INTO trading_dates VALUES (101)"),
                              _days, "not a date from 1900 to 2199"),
}


@pytest.mark.parametrize("damage, operation, message", DAMAGE.values(), ids=DAMAGE.keys())
def test_damage_is_a_store_error_naming_the_file(tmp_path, store, damage, operation, message):
    target, _ = store
    damage(target)
    tickvane.use_store(target)
    try:
        with pytest.raises(tickvane.StoreError) as info:
            operation()
    finally:
        tickvane.use_store(None)
    assert target in str(info.value) and message in str(info.value)
    assert "import the data again" in str(info.value)


def test_a_damaged_custom_sample_is_reported_with_its_parameters(tmp_path, monkeypatch):
    path = tickvane.build_sample(str(tmp_path / "cache" / "tickvane" / "sample.sqlite"),
                                 progress=False, **SMALL)
    _drop_prices(path)
    before = digest(path)
    monkeypatch.delenv("TICKVANE_STORE")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    tickvane.use_store(None)
    try:
        with pytest.raises(tickvane.StoreError) as info:
            tickvane.get_trading_dates("2019-06-03", "2019-06-10")
    finally:
        tickvane.close_store()
    assert ("rebuild it with: python -m tickvane build-sample --store %s --seed 7 --stocks 10"
            " --start 2019-06-03 --end 2019-09-30" % path) in str(info.value)
    assert digest(path) == before


# ------------------------------------------------------------------------- choosing a store


@pytest.mark.parametrize("named_by, outcome", [
    ("TICKVANE_STORE, missing", FileNotFoundError),
    ("TICKVANE_STORE, outdated sample", tickvane.StoreError),
    ("cache, outdated sample", "rebuilt as recorded"),
])
def test_only_the_cache_location_is_built_unasked(tmp_path, monkeypatch, named_by, outcome):
    cache_store = tmp_path / "cache" / "tickvane" / "sample.sqlite"
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    path = str(tmp_path / "typo.sqlite") if named_by.endswith("missing") else str(
        cache_store if named_by.startswith("cache") else tmp_path / "named.sqlite")
    if named_by.startswith("cache"):
        monkeypatch.delenv("TICKVANE_STORE")
    else:
        monkeypatch.setenv("TICKVANE_STORE", path)
    if named_by.endswith("outdated sample"):
        tickvane.build_sample(path, progress=False, **SMALL)
        _sql(path, "UPDATE meta SET value = '0' WHERE key = 'schema_version'")
    calls = []
    real_build = _sample.build_sample
    monkeypatch.setattr(_sample, "build_sample",
                        lambda p, **kw: calls.append(kw) or real_build(p, progress=False, **{
                            k: v for k, v in kw.items() if k != "progress"}))
    tickvane.use_store(None)
    try:
        if isinstance(outcome, type):
            with pytest.raises(outcome, match=path.replace(".", r"\.")):
                tickvane.get_trading_dates("2019-06-03", "2019-06-10")
            assert calls == []
            assert named_by.endswith("outdated sample") or not os.path.exists(path)
        else:
            assert len(tickvane.get_trading_dates("2019-06-03", "2019-06-10")) == 5
            assert calls == [dict(seed=7, n_stocks=10, start="2019-06-03", end="2019-09-30")]
    finally:
        tickvane.close_store()


# ------------------------------------------------------------------------- command line


def test_command_line_refusals_are_true(tmp_path, store, folder_with):
    target, before = store
    folder = tmp_path / "dir"
    folder.mkdir()
    year_zero = folder_with("bad", {("trading_dates", 1): "00000101"})
    notes = tmp_path / "notes.txt"
    notes.write_text("the user's own file")
    cases = [
        (["import", str(tmp_path / "good"), "--store", str(notes), "--quiet"], 1,
         ["is not a tickvane store", "--force", "the store at %s is unchanged" % notes]),
        # TICKVANE_STORE names the imported store; no --store.
        (["build-sample", "--quiet"] + SMALL_FLAGS, 1,
         ["holds imported market data", "--force", "nothing was written; the store at %s is"
          " unchanged" % target]),
        (["build-sample", "--store", target, "--seed", "-1"], 2, ["argument --seed"]),
        (["build-sample", "--store", target, "--stocks", "5"], 2, ["argument --stocks"]),
        (["build-sample", "--store", target, "--start", "2019-W01-1"], 2, ["argument --start"]),
        (["build-sample", "--store", str(folder), "--quiet"] + SMALL_FLAGS, 1, ["is a folder"]),
        (["import", year_zero, "--store", str(folder), "--quiet"], 1, ["is a folder"]),
        (["import", year_zero, "--store", target, "--quiet"], 1,
         ["trading_dates.csv, line 2, column 'date'", "'00000101'",
          "nothing was written; the store at %s is unchanged" % target]),
    ]
    for args, status, fragments in cases:
        code, out, err = run_cli(*args, env={"TICKVANE_STORE": target})
        assert code == status, (args, err)
        for fragment in fragments:
            assert fragment in err, (args, err)
        assert digest(target) == before and leftovers(str(tmp_path)) == []
    assert notes.read_text() == "the user's own file"
    code, out, err = run_cli("build-sample", "--store", target, "--quiet", "--force",
                             *SMALL_FLAGS)
    assert code == 0, err
    assert "source        sample (seed 7, 10 stocks)" in out
    assert leftovers(str(tmp_path)) == []


# ------------------------------------------------------------------------- swapped files


def _overwrite_in_place(source, target):
    shutil.copyfile(source, target)          # same inode, new pages: what `cp` does


def _replace(source, target):
    os.replace(shutil.copy(source, target + ".new"), target)


def _remove(source, target):
    os.remove(target)


@pytest.mark.parametrize("swap", [_overwrite_in_place, _replace, _remove])
def test_a_store_swapped_under_an_open_client_must_be_reopened(tmp_path, store, market,
                                                               write_market, swap):
    target, _ = store
    # Another market: 600001's first close differs, and one more day of prices.
    market["prices"][1] = "600001.XSHG,2020-01-02,11.00,1.0"
    market["prices"].append("510300.XSHG,2020-01-10,4.10,1.0")
    other = str(tmp_path / "other.sqlite")
    tickvane.import_folder(write_market(str(tmp_path / "other"), market), other,
                           progress=False)
    tickvane.use_store(target)
    try:
        assert tickvane.get_trading_dates("2020-01-02", "2020-01-03")  # opened
        assert tickvane.get_price("000002.XSHE", "2020-01-06", "2020-01-06").iloc[0] == 20.0
        rows = tickvane.store_info()["rows"]   # counted once: each caller gets a copy
        tickvane.store_info()["rows"]["prices"] = -1
        assert tickvane.store_info()["rows"] == rows
        swap(other, target)
        with pytest.raises(tickvane.StoreError):   # not the old file's counts
            tickvane.store_info()
        # Data already in memory is still served; a table not yet read is refused.
        assert tickvane.get_price("000002.XSHE", "2020-01-06", "2020-01-06").iloc[0] == 20.0
        for _ in range(2):  # and stays refused until the store is reopened
            with pytest.raises(tickvane.StoreError) as caught:
                tickvane.get_price("600001.XSHG", "2020-01-02", "2020-01-02")
            message = str(caught.value)
            assert target in message and "tickvane.use_store" in message
        with pytest.raises(tickvane.StoreError):
            tickvane.index_weights("000300.XSHG", "2020-01-10")
        if swap is not _remove:
            tickvane.use_store(target)
            assert tickvane.get_price("600001.XSHG", "2020-01-02", "2020-01-02",
                                      adjust_type="none").iloc[0] == 11.0
            assert tickvane.store_info()["rows"]["prices"] == rows["prices"] + 1
    finally:
        tickvane.use_store(None)
