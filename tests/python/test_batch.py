"""``meridan batch`` on a local Dask cluster started inside the tests: two worker
processes of one thread each, no dashboard, over the small "pcalc" market's store."""

import os

import pandas as pd
import pytest

distributed = pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

from meridan import analysis, batch  # noqa: E402

# Without a dashboard the scheduler still serves its HTTP routes, on port 8787 or, when
# another cluster holds it, on another port with this warning.
pytestmark = pytest.mark.filterwarnings(
    "ignore:Port 8787 is already in use:UserWarning")

HEADER = "成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,手续费,印花税,过户费"
BUYS = ["20160301,09:35:12,000001,平安银行,证券买入,1000,12.99,5,0,0.13",
        "20160302,10:00:00,600519,贵州茅台,证券买入,100,200.5,5,0,0.2"]
SALE = "20160303,10:00,000001,平安银行,证券卖出,{},12.84,5,0,0"
END = "2016-06-30"

# The statements of the batch: three sound ones (one of them sells the shares its
# positions file beside it holds), one refused, a text file the folder holds that is
# not a statement's kind, and a statement given as bytes.
FILES = {
    "a.csv": BUYS,
    "b.csv": BUYS + [SALE.format(500)],
    "held.csv": BUYS + [SALE.format(1300)],
    "bad.csv": BUYS + ["20160303,10:00,600999,x,证券买入,100,12.84,5,0,0"],
}
HELD = "证券代码,股份余额\n000001,400\n"


def _text(rows):
    return "\n".join([HEADER] + rows) + "\n"


@pytest.fixture(scope="module")
def store(market_maker):
    return market_maker.market_store("pcalc")


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    path = tmp_path_factory.mktemp("statements")
    for name, rows in FILES.items():
        (path / name).write_text(_text(rows), encoding="utf-8")
    (path / "held.csv.positions.csv").write_text(HELD, encoding="utf-8")
    (path / "notes.md").write_text("not a statement\n", encoding="utf-8")
    (path / "sub").mkdir()
    (path / "sub" / "deeper.csv").write_text(_text(BUYS), encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def client():
    cluster = batch.local_cluster(workers=2, dashboard=None)
    with distributed.Client(cluster) as client:
        yield client
    cluster.close()


@pytest.fixture(scope="module")
def results(client, folder, store):
    statements = dict(batch.statements_in(folder))
    statements["given/bytes.csv"] = _text(BUYS).encode("utf-8")
    return batch.analyse_many(statements, client, store=store, end=END)


def _single(path, positions=None):
    options = {"end": END, "positions": positions}
    return analysis.run(str(path), options)


GOOD = ["a.csv", "b.csv", "given/bytes.csv", "held.csv"]


def test_folder_statements_and_their_positions(folder):
    found = batch.statements_in(folder)
    assert list(found) == ["a.csv", "b.csv", "bad.csv", "held.csv"]
    assert batch.positions_beside(found["held.csv"]) == str(folder / "held.csv.positions.csv")
    assert batch.positions_beside(found["a.csv"]) is None


@pytest.mark.market("pcalc")
def test_failing_statement_among_good_ones(results, folder, market):
    assert list(results.key_figures["portfolio"]) == GOOD
    assert list(results.failures["portfolio"]) == ["bad.csv"]
    failure = results.failures.iloc[0]
    with pytest.raises(analysis.AnalysisError) as refused:
        _single(folder / "bad.csv")
    # The row holds the step and the message the single command prints.
    assert (failure["step"], failure["message"]) == (refused.value.step, str(refused.value))
    assert "row 3: unknown instrument 600999.XSHG" in failure["message"]
    assert set(results.timings["portfolio"]) == set(GOOD)


def _own_table(results, name, portfolio):
    """Table ``name`` of one portfolio of a batch, in the single analysis's shape."""
    table = getattr(results, name)
    table = table[table["portfolio"] == portfolio].drop(columns="portfolio")
    if name == "exposure":
        table = table.assign(side=table["day"].dt.strftime("%Y-%m-%d"))
        own = table.pivot(index="factor", columns="side", values="exposure")
        other = table.pivot(index="factor", columns="side", values="benchmark_exposure")
        wide = pd.concat([own.add_suffix(" portfolio"), other.add_suffix(" benchmark")],
                         axis=1)
        order = [f"{day} {side}" for day in sorted(table["side"].unique())
                 for side in ("portfolio", "benchmark")]
        return wide[order]
    key = batch._KEYS[name][0]
    table = table.set_index(key)
    if name == "profit":
        table = table.rename(columns={v: k for k, v in batch._PROFIT.items()})
    return table


@pytest.mark.market("pcalc")
def test_results_equal_the_single_analysis(results, folder, market):
    for portfolio in GOOD:
        path = folder / ("a.csv" if portfolio == "given/bytes.csv" else portfolio)
        single = _single(path, batch.positions_beside(str(path)))
        row = results.key_figures.set_index("portfolio").loc[portfolio]
        assert row["days"] == single.facts["period"][2]
        assert row["start"] == pd.Timestamp(single.facts["period"][0])
        for figure in analysis.KEY_FIGURES:
            assert row[figure] == pytest.approx(single.key_figures[figure], nan_ok=True,
                                                rel=1e-12, abs=0)
        for name in batch._KEYS:
            expected = getattr(single, name)
            got = _own_table(results, name, portfolio)
            if name == "exposure":
                expected = expected.loc[got.index]
            pd.testing.assert_frame_equal(got.reset_index(drop=True),
                                          expected.reset_index(drop=True),
                                          check_names=False, check_dtype=False)
            assert list(got.index.astype(str)) == list(expected.index.astype(str))
    assert results.unavailable.empty


SCHEMAS = {
    "key_figures": ["portfolio", "index", "start", "end", "days",
                    *analysis.KEY_FIGURES],
    "brinson": ["portfolio", "sector"],
    "risk": ["portfolio", "period", *analysis.RISK_COLUMNS],
    "profit": ["portfolio", "period", "portfolio_return", "benchmark_return",
               "excess_return"],
    "exposure": ["portfolio", "day", "factor", "exposure", "benchmark_exposure"],
    "style": ["portfolio", "regression"],
    "failures": ["portfolio", "step", "message"],
    "unavailable": ["portfolio", "analysis", "reason"],
    "notes": ["portfolio", "note"],
}


def test_result_tables_schemas(results, tmp_path):
    empty = batch.collect([])
    batch.write(results, tmp_path / "full")
    batch.write(empty, tmp_path / "empty")
    for name, columns in SCHEMAS.items():
        table = getattr(results, name)
        assert list(table.columns[:len(columns)]) == columns, name
        assert list(getattr(empty, name).columns[:len(columns)]) == columns, name
        assert (table["portfolio"].tolist() == sorted(table["portfolio"])), name
        for key in columns[:3]:
            if key in ("start", "end", "day"):
                assert table[key].dtype == "datetime64[ns]"
                assert getattr(empty, name)[key].dtype == "datetime64[ns]"
        numbers = table.columns[2:] if name not in ("failures", "unavailable",
                                                    "notes") else []
        numbers = [c for c in numbers if c not in ("index", "start", "end", "factor")]
        assert all(pd.api.types.is_numeric_dtype(table[c]) for c in numbers), name
        # The Parquet files give the same tables back.
        back = pd.read_parquet(tmp_path / "full" / f"{name}.parquet")
        pd.testing.assert_frame_equal(back, table, check_dtype=False)
        assert list(pd.read_parquet(tmp_path / "empty" / f"{name}.parquet").columns[
            :len(columns)]) == columns
    assert not list((tmp_path / "full").glob("*.tmp"))


class _Killer(distributed.WorkerPlugin):
    """Ends the worker process in the middle of the statement named ``target``: each
    time, or only the first time (while the file ``once`` exists)."""

    name = "meridan-test-killer"

    def __init__(self, target, once=None):
        self.target, self.once = target, once

    def setup(self, worker):
        self.saved = saved = analysis.run
        target, once = self.target, self.once

        def run(statement, *args, **kwargs):
            if os.path.basename(statement) == target:
                if once is None:
                    os._exit(1)
                try:
                    os.remove(once)
                except FileNotFoundError:
                    pass
                else:
                    os._exit(1)
            return saved(statement, *args, **kwargs)

        analysis.run = run

    def teardown(self, worker):
        analysis.run = self.saved


@pytest.mark.parametrize("each_time", [False, True])
def test_worker_killed_during_the_batch(client, folder, store, results, tmp_path,
                                        each_time):
    once = None if each_time else tmp_path / "kill-once"
    if once is not None:
        once.write_text("")
    # The other statements are the first one's content as bytes, under other names:
    # more than twice the cluster's threads, so that they wait at the scheduler.
    content = (folder / "a.csv").read_bytes()
    statements = {"a.csv": folder / "a.csv", "kill.csv": content,
                  **{f"copy{k}.csv": content for k in range(4)}}
    client.wait_for_workers(2)
    client.register_plugin(_Killer("kill.csv", None if once is None else str(once)))
    try:
        found = batch.analyse_many(statements, client, store=store, end=END)
    finally:
        client.unregister_worker_plugin(_Killer.name)
    a_figures = results.key_figures.set_index("portfolio").loc["a.csv"]
    figures = found.key_figures.set_index("portfolio")
    if each_time:
        # The statement that killed a worker again is a failure, named; the others,
        # whose workers died under another statement, were analysed.
        assert list(figures.index) == ["a.csv", *(f"copy{k}.csv" for k in range(4))]
        assert found.failures.values.tolist() == [[
            "kill.csv", "worker", "kill.csv: a worker died each time it analysed this "
            "statement: it is left out (it may need more memory than a worker has)"]]
    else:
        # The statement whose worker died ran again on another: nothing is missing.
        assert not once.exists()
        assert list(figures.index) == ["a.csv", *(f"copy{k}.csv" for k in range(4)),
                                       "kill.csv"]
        assert found.failures.empty
    for portfolio in figures.index:
        pd.testing.assert_series_equal(figures.loc[portfolio], a_figures, check_names=False)


def test_command(client, folder, store, tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("TICKVANE_STORE", store)
    out = tmp_path / "results"
    options = batch._parser().parse_args(
        ["--dir", str(folder), "--scheduler", client.cluster.scheduler_address, "--out", str(out),
         "--reports", "--end", END])
    # A statement refused: the results are written, with exit status 1.
    assert batch.main(options) == 1
    printed = capsys.readouterr()
    assert "3 of 4 statements analysed" in printed.out
    assert "bad.csv: statement:" in printed.out
    assert "analysed 4/4 (1 failed)" in printed.err
    assert sorted(p.name for p in out.iterdir()) == sorted(
        [f"{name}.parquet" for name in batch.TABLES] + ["reports"])
    assert sorted(p.name for p in (out / "reports").iterdir()) == [
        "a.csv.html", "b.csv.html", "held.csv.html"]
    assert pd.read_parquet(out / "key_figures.parquet")["portfolio"].tolist() == [
        "a.csv", "b.csv", "held.csv"]


@pytest.mark.parametrize("arguments, message", [
    (["--dir", "/nonexistent/statements"], "--dir /nonexistent/statements: no such folder"),
    ([], "no statements"),
    (["/nonexistent/s.csv"], "/nonexistent/s.csv: no such file"),
    (["STATEMENT", "--cash", "-1"], "--cash must be a number of 0 or more, got -1.0"),
    (["STATEMENT", "--out", "STATEMENT"], "is a file; give a folder"),
    (["STATEMENT", "--workers", "0"], "--workers must be 1 or more"),
])
def test_command_refuses_before_starting(folder, arguments, message, capsys):
    arguments = [str(folder / "a.csv") if a == "STATEMENT" else a for a in arguments]
    assert batch.main(batch._parser().parse_args(arguments)) == 2
    err = capsys.readouterr().err
    assert message in err and "nothing written" in err


def test_command_without_the_packages(monkeypatch, folder, capsys):
    monkeypatch.setitem(__import__("sys").modules, "distributed", None)
    assert batch.main(batch._parser().parse_args([str(folder / "a.csv")])) == 2
    assert 'pip install "meridan[batch]"' in capsys.readouterr().err


@pytest.mark.parametrize("ids", [["desk/a.csv", "desk_a.csv"], ["desk\\a.csv", "desk/a.csv"]])
def test_reports_of_distinct_ids_never_overwrite_each_other(client, folder, store,
                                                           tmp_path, ids):
    statements = {portfolio: folder / "a.csv" for portfolio in ids}
    with pytest.raises(batch.BatchError, match="the same report"):
        batch.analyse_many(statements, client, store=store, end=END, reports=tmp_path)
    assert not list(tmp_path.iterdir())


def test_statement_content_of_any_bytes_type_and_its_warnings(client, folder, store):
    # A trade price far from the day's close, accepted: the single command warns of
    # it, and the batch keeps the warning beside the results.
    far = _text(BUYS).replace("12.99", "129.9").encode("utf-8")
    content = (folder / "a.csv").read_bytes()
    found = batch.analyse_many({"bytes.csv": content, "bytearray.csv": bytearray(content),
                                "memoryview.csv": memoryview(content), "far.csv": far},
                               client, store=store, end=END, accept_prices=True)
    assert sorted(found.key_figures["portfolio"]) == [
        "bytearray.csv", "bytes.csv", "far.csv", "memoryview.csv"]
    warned = found.notes[found.notes["note"].str.contains("half to twice the day's close")]
    assert warned["portfolio"].tolist() == ["far.csv"]
    assert "far.csv: warning" in warned["note"].iloc[0]
