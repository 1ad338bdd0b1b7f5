"""The analysis behind the command, step by step (meridan.analysis), and its page
(meridan.page)."""

import argparse
import math

import pandas as pd
import pytest

from meridan import analysis

HEADER = "成交日期,成交时间,证券代码,证券名称,操作,成交数量,成交均价,手续费,印花税,过户费"
BUYS = [
    "20160301,09:35:12,000001,平安银行,证券买入,1000,12.99,5,0,0.13",
    "20160302,10:00:00,600519,贵州茅台,证券买入,100,200.5,5,0,0.2",
]


def statement(tmp_path, rows=BUYS):
    path = tmp_path / "交割单.csv"
    path.write_text("\n".join([HEADER] + rows) + "\n", encoding="utf-8")
    return str(path)


# The "pcalc" market (tests/support/markets_pcalc.py): closes, indices, industries, a
# yield curve, factor returns and exposures through 2016.
@pytest.mark.market("pcalc")
@pytest.mark.filterwarnings("ignore")  # statsmodels warns of the short windows
def test_run_gives_the_numbers_of_every_analysis(tmp_path, market):
    made = analysis.run(statement(tmp_path), {"end": "2016-06-30"})
    facts = made.facts
    assert facts["period"][:2] == (pd.Timestamp("2016-03-01").date(),
                                   pd.Timestamp("2016-06-30").date())
    assert facts["period"][2] == len(made.values) == len(made.series)
    assert facts["cash"] == 33_051.0 and facts["cash_assumed"] and not facts["cash_given"]
    assert facts["unavailable"] == []
    for name in ("brinson", "exposure", "risk", "profit", "style"):
        table = getattr(made, name)
        assert isinstance(table, pd.DataFrame) and len(table)
        # Numbers, not text: the page and the command format them.
        assert all(dtype.kind == "f" for dtype in table.dtypes), name
    figures = made.key_figures
    assert list(figures) == list(analysis.KEY_FIGURES)
    values, bench = made.values, made.benchmark_values
    assert figures["time_weighted_return"] == pytest.approx(values.iloc[-1] / values.iloc[0] - 1)
    assert figures["benchmark_return"] == pytest.approx(bench.iloc[-1] / bench.iloc[0] - 1)
    assert figures["excess_return"] == pytest.approx(
        figures["time_weighted_return"] - figures["benchmark_return"])
    # The whole period's figures are those of the risk table's "total" window.
    total = made.risk.loc["total"]
    assert figures["sharpe"] == pytest.approx(total["sharpe"], rel=1e-9)
    assert figures["beta"] == pytest.approx(total["beta"], rel=1e-9)
    assert figures["max_drawdown"] == pytest.approx(total["max drawdown"], rel=1e-9)
    assert all(math.isfinite(v) for v in figures.values())


@pytest.mark.market("pcalc")
@pytest.mark.parametrize("rows, options, step, message", [
    (BUYS + ["03/04/2016,10:00,000001,平安银行,证券卖出,100,12,5,0,0"], {}, "statement",
     "row 3: cannot read the trade date from 成交日期 '03/04/2016'"),
    (BUYS, {"end": "2016-03-01"}, "statement", "row 2: a trade on a day after"),
    (BUYS, {"start": "2016-05-01", "end": "2016-04-01"}, "options",
     "--start 2016-05-01 is after --end 2016-04-01"),
    (BUYS, argparse.Namespace(cash=-5.0), "options", "--cash must be a number of 0 or more"),
    (BUYS, {"cash": 100.0}, "replay", "--cash 100.00 is not enough for "),
    (BUYS, {"benchmark": "dow"}, "options", "--benchmark 'dow': choose one of hs300, zz500"),
    (BUYS, {"end": "someday"}, "options", "--end: not a date: 'someday'"),
])
def test_refusals_name_their_step(tmp_path, market, rows, options, step, message):
    with pytest.raises(analysis.AnalysisError) as caught:
        analysis.run(statement(tmp_path, rows), options)
    assert caught.value.step == step and message in str(caught.value)
    assert "\n" not in str(caught.value)


@pytest.mark.market("pcalc")
@pytest.mark.filterwarnings("ignore")
def test_an_analysis_that_fails_leaves_the_others(tmp_path, market, monkeypatch):
    def fails(*args):
        raise ZeroDivisionError("no weights")

    monkeypatch.setattr(analysis, "risk", fails)
    made = analysis.run(statement(tmp_path), {"end": "2016-06-30"})
    assert made.risk is None
    assert made.facts["unavailable"] == [("risk", "ZeroDivisionError: no weights")]
    assert made.brinson is not None and made.profit is not None
