"""The package as a whole: a cheap import, its public names, choosing and building stores."""

import os
import sqlite3
import subprocess
import sys

import pytest

import tickvane
from tickvane import _sample

OPERATIONS = [
    "get_price", "get_price_change_rate", "get_trading_dates", "get_previous_trading_date",
    "get_next_trading_date", "instruments", "all_instruments", "_is_st_stock",
    "get_factor_exposure", "get_factor_return", "get_yield_curve", "index_components",
    "index_weights", "get_dividend", "get_split",
]
MANAGEMENT = ["open_store", "use_store", "close_store", "build_sample", "import_folder",
              "store_info"]


def test_import_loads_no_data_libraries():
    package_root = os.path.dirname(os.path.dirname(tickvane.__file__))
    code = ("import sys; sys.path.insert(0, %r); import tickvane; "
            "print(sorted(m for m in ('pandas', 'numpy', 'sqlite3', 'exchange_calendars') "
            "if m in sys.modules))" % package_root)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    assert out.stdout.strip() == "[]"


def test_star_import_gives_exactly_the_public_operations():
    assert sorted(tickvane.__all__) == sorted(OPERATIONS + MANAGEMENT)
    namespace = {}
    exec("from tickvane import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(tickvane.__all__)
    assert all(callable(namespace[name]) for name in tickvane.__all__)


def _small(path, seed=7):
    return tickvane.build_sample(path, seed=seed, progress=False, n_stocks=30,
                                 start_date="2019-01-01", end_date="2019-12-31")


def _dump(path):
    con = sqlite3.connect(path)
    try:
        tables = [r[0] for r in con.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name != 'meta'")]
        return {t: con.execute("SELECT * FROM %s ORDER BY 1" % t).fetchall() for t in tables}
    finally:
        con.close()


def test_same_seed_same_market_and_another_seed_another(tmp_path):
    a = _dump(_small(str(tmp_path / "a.sqlite")))
    b = _dump(_small(str(tmp_path / "b.sqlite")))
    c = _dump(_small(str(tmp_path / "c.sqlite"), seed=8))
    assert a == b
    assert a["prices"] and a["factor_exposures"] and a["index_weights"]
    assert a["prices"] != c["prices"] and a["factor_returns"] != c["factor_returns"]


def test_interrupted_build_leaves_no_half_store(tmp_path, monkeypatch):
    target = str(tmp_path / "s.sqlite")

    def interrupted(self):
        raise KeyboardInterrupt

    monkeypatch.setattr(_sample._Market, "_indices", interrupted)
    with pytest.raises(KeyboardInterrupt):
        _small(target)
    assert [n for n in os.listdir(tmp_path) if not n.endswith(".lock")] == []


def test_first_operation_builds_the_missing_default_store(tmp_path, monkeypatch):
    # Only the cache location is built unasked (a store named by TICKVANE_STORE must exist).
    target = tmp_path / "cache" / "tickvane" / "sample.sqlite"
    monkeypatch.delenv("TICKVANE_STORE")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    real_build = _sample.build_sample
    calls = []

    def small_build(path, **kwargs):
        calls.append(path)
        return real_build(path, n_stocks=20, start="2019-06-03", end="2019-09-30",
                          progress=False)

    monkeypatch.setattr(_sample, "build_sample", small_build)
    tickvane.use_store(None)
    try:
        days = tickvane.get_trading_dates("2019-06-03", "2019-06-10")
        assert calls == [str(target)] and target.exists()
        assert [d.isoformat() for d in days] == ["2019-06-03", "2019-06-04", "2019-06-05",
                                                 "2019-06-06", "2019-06-10"]  # 06-07 holiday
        assert tickvane.store_info()["meta"]["source"] == "sample"
    finally:
        tickvane.close_store()


def test_use_store_needs_an_existing_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="no tickvane store"):
        tickvane.use_store(str(tmp_path / "missing.sqlite"))


@pytest.mark.parametrize("content, message", [
    (b"not a database at all, just text" * 100, "is not a tickvane store"),
    (None, "schema version '0'"),
])
def test_unusable_store_files_are_refused(tmp_path, content, message):
    path = str(tmp_path / "odd.sqlite")
    if content is None:
        con = sqlite3.connect(path)
        con.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)")
        con.execute("INSERT INTO meta VALUES ('schema_version', '0')")
        con.commit()
        con.close()
    else:
        with open(path, "wb") as handle:
            handle.write(content)
    tickvane.use_store(path)
    try:
        with pytest.raises(tickvane.StoreError, match=message):
            tickvane.get_trading_dates("2020-01-01", "2020-01-10")
    finally:
        tickvane.use_store(None)
