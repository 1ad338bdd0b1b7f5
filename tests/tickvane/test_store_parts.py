"""Each table of a store is read by the part of the client that answers from it, on that
part's first use: damage to one part's table is reported by that part's operations, on
every call (nothing half-read is kept), and the other parts answer as before."""

import sqlite3

import pytest

import tickvane

# The operations of each part, with the table that part reads and what a failed read
# of it is called in the message.
PARTS = {
    "prices": ("prices", "reading prices", [
        lambda: tickvane.get_price("600001.XSHG"),
        lambda: tickvane.get_price_change_rate(["000002.XSHE"], "2020-01-06", "2020-01-15")]),
    "factor exposures": ("factor_exposures", "reading factor_exposures", [
        lambda: tickvane.get_factor_exposure("600001.XSHG", "2020-01-13", "2020-01-15")]),
    "factor returns": ("factor_returns", "reading factor_returns", [
        lambda: tickvane.get_factor_return("2020-01-09", "2020-01-15")]),
    "yield curve": ("yield_curve", "reading yield_curve", [
        lambda: tickvane.get_yield_curve("2020-01-02", "2020-01-15")]),
    "membership": ("index_weights", "reading the index tables", [
        lambda: tickvane.index_components("000300.XSHG", "2020-01-10"),
        lambda: tickvane.index_weights("000300.XSHG", "2020-01-10")]),
    "corporate actions": ("splits", "reading dividends and splits", [
        lambda: tickvane.get_dividend("600001.XSHG"),
        lambda: tickvane.get_split("600001.XSHG")]),
}


def _garble(path, table):
    """Overwrite the first page of `table` (opening reads none of its pages)."""
    con = sqlite3.connect(path)
    page = con.execute("PRAGMA page_size").fetchone()[0]
    root = con.execute("SELECT rootpage FROM sqlite_master WHERE name = ?",
                       (table,)).fetchone()[0]
    con.close()
    with open(path, "r+b") as handle:
        handle.seek((root - 1) * page)
        handle.write(b"\x0d" + b"\xa5" * (page - 1))


@pytest.mark.parametrize("damaged", PARTS, ids=PARTS.keys())
def test_damage_stays_with_the_part_that_reads_it(tmp_path, write_market, damaged):
    target = str(tmp_path / "store.sqlite")
    tickvane.import_folder(write_market(str(tmp_path / "good")), target, progress=False)
    table, reading, _ = PARTS[damaged]
    _garble(target, table)
    tickvane.use_store(target)
    try:
        for name, (_, _, operations) in PARTS.items():
            for operation in operations:
                if name != damaged:
                    assert operation() is not None, (name, damaged)
                    continue
                for _ in range(2):  # a second call reads again and fails the same way
                    with pytest.raises(tickvane.StoreError) as info:
                        operation()
                    assert target in str(info.value) and reading in str(info.value)
    finally:
        tickvane.use_store(None)
