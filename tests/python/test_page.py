"""The analysis behind the command, step by step (meridan.analysis), and its page
(meridan.page)."""

import argparse
import html
import math

import pandas as pd
import pytest

from meridan import analysis, page

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
@pytest.mark.filterwarnings("ignore")
def test_the_opening_cash_is_read_from_the_balance_column(tmp_path, market):
    """An export of an account that held 100,000 before its first row."""
    balances = ["87004.87", "66949.67"]
    rows = [row + "," + balance for row, balance in zip(BUYS, balances)]
    path = tmp_path / "交割单.csv"
    path.write_text("\n".join([HEADER + ",资金余额"] + rows) + "\n", encoding="utf-8")
    made = analysis.run(str(path), {"end": "2016-06-30"})
    facts = made.facts
    assert facts["cash"] == 100_000.0 and facts["cash_stated"] == ("资金余额", 1)
    assert not facts["cash_assumed"] and not facts["cash_given"]
    assert facts["reconciliation"].line() == "cash agrees with the statement on 2 of 2 rows"
    assert "Opening cash 100,000.00: as the statement's 资金余额 states it (the balance " \
           "after row 1" in "\n".join(analysis.account_lines(facts))
    assert "100,000.00:由对账单的资金余额得出" in page.render(made, lang="zh")


@pytest.mark.market("pcalc")
@pytest.mark.parametrize("rows, options, step, message", [
    (BUYS + ["03/04/2016,10:00,000001,平安银行,证券卖出,100,12,5,0,0"], {}, "statement",
     "row 3: cannot read the trade date from 成交日期 '03/04/2016'"),
    (BUYS, {"end": "2016-03-01"}, "statement", "row 2: a trade on a day after"),
    (BUYS + ["20160305,,000001,平安银行,红股入账,100,,0,0,0"], {"end": "2016-03-06"},
     "statement",
     "row 3: a row dated 2016-03-05, a day without trading after the last trading day "
     "analysed (2016-03-04), counts on the next trading day; give a later --end"),
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


# --- the page -------------------------------------------------------------------------
# A made-up analysis: the page's rules do not need a market.

def made_up(days, last="2025-12-31"):
    """An Analysis of ``days`` business days to ``last`` with made-up numbers."""
    from types import SimpleNamespace

    import numpy as np

    from meridan.account import Reconciliation

    index = pd.bdate_range(end=last, periods=days)
    rng = np.random.default_rng(7)
    values = pd.Series(np.cumprod(1 + rng.normal(0.0005, 0.01, days)), index=index)
    bench = pd.Series(np.cumprod(1 + rng.normal(0.0003, 0.009, days)), index=index)
    periods = ["one_month", "three_month", "six_month", "one_year", "this_month",
               "this_year", "total"]
    risk = pd.DataFrame(0.1, index=periods, columns=list(analysis.RISK_COLUMNS))
    profit = pd.DataFrame({"portfolio": 0.01, "benchmark": -0.02, "excess": 0.03},
                          index=periods)
    sectors = ["现金", "银行", "总计"]
    brinson = pd.DataFrame(-0.012, index=sectors, columns=[
        "PortfolioWeight", "BenchmarkWeight", "WeightDifference", "PortfolioReturn",
        "BenchmarkReturn", "ReturnDifference", "Allocation", "Selection", "Interaction",
        "TotalActiveReturn"])
    exposure = pd.DataFrame({f"{last} portfolio": [0.25], f"{last} benchmark": [math.nan]},
                            index=["size"])
    exposure.attrs.update(no_weights=[f"{last} benchmark"], weights={last: (0.01, 0.02)})
    style = pd.DataFrame({"value": [0.5, math.nan]},
                         index=[f"window to {last}", "t (last window)"])
    style.attrs["short"] = {"t (last window)": 2}
    performance = SimpleNamespace(
        time_weighted=values.iloc[-1] / values.iloc[0] - 1, money_weighted=0.05,
        annualised=True, profit=-1234.5, opening_value=1e5, final_value=1.1e5,
        deposits=0.0, withdrawals=0.0)
    facts = {"statement": "s.csv", "name": "s.csv",
             "period": (index[0].date(), index[-1].date(), days), "market": None,
             "benchmark": ("000300.XSHG", "沪深300"), "options": analysis.options_of({}),
             "cash": 1000.0, "cash_given": False, "cash_assumed": True, "positions": None,
             "account": SimpleNamespace(trades=[1], events=[], skipped=[], unknown=[]),
             "replay": SimpleNamespace(notes=[]), "performance": performance,
             "reconciliation": Reconciliation(3, 3, None, "资金余额"), "notes": [],
             "section_notes": {}, "unavailable": []}
    figures = dict.fromkeys(analysis.KEY_FIGURES, 0.1)
    return analysis.Analysis("s.csv", facts, figures, values, bench, [], brinson, risk,
                             profit, exposure, style, made_up_attribution(index))


def made_up_attribution(days, holdings=25, names=True):
    """An attribution of two periods (split at the middle of ``days``), sectors 银行
    (held) and 医药 (not held), and ``holdings`` stocks."""
    starts = [days[0], days[len(days) // 2]]
    rows = []
    # (PW, BW, PR, BR) of 银行 and 医药 in each period; portfolio 10 % then -2 %,
    # benchmark 5 % then -2 % (equal returns: Carino's limit factor).
    for bank, pharma in (((1.0, 0.5, 0.10, 0.04), (0.0, 0.5, 0.0, 0.06)),
                         ((1.0, 0.5, -0.02, -0.03), (0.0, 0.5, 0.0, -0.01))):
        for sector, (pw, bw, pr, br) in (("银行", bank), ("医药", pharma)):
            bench_total = bank[1] * bank[3] + pharma[1] * pharma[3]
            rows.append((pw, bw, pr, br, (pw - bw) * (br - bench_total),
                         bw * (pr - br) if pw else 0.0, (pw - bw) * (pr - br) if pw else 0.0))
    periods = pd.DataFrame(rows, columns=["PortfolioWeight", "BenchmarkWeight",
                                          "PortfolioReturn", "BenchmarkReturn",
                                          *page.EFFECTS],
                           index=pd.MultiIndex.from_product([starts, ["银行", "医药"]],
                                                            names=["start", "sector"]))
    table = pd.DataFrame(0.0, index=["现金", "银行", "医药", "总计"],
                         columns=["PortfolioWeight", "Allocation", "Selection",
                                  "Interaction", "TotalActiveReturn"])
    table.loc["医药", "Allocation"] = table.loc["医药", "TotalActiveReturn"] = -0.03
    ids = [f"6000{k:02d}.XSHG" for k in range(holdings)]
    held = pd.DataFrame({"contribution": [0.001 * k for k in range(holdings)],
                         "active_contribution": [0.001 * (k - 5) for k in range(holdings)]},
                        index=pd.Index(ids, name="order_book_id"))
    return analysis.Attribution(table, periods, held,
                                {i: f"股票{k}" for k, i in enumerate(ids)} if names else {})


def test_risk_windows_follow_their_length():
    """Under a year: the return over the window, no annual return; under three months
    no alpha; longer than the data: n/a throughout; a year or more: annual."""
    made = made_up(200)   # 2025-03-13 to 2025-12-31
    shown = page.risk_shown(made)
    values, bench = made.values, made.benchmark_values
    month = values[values.index < pd.Timestamp("2025-12-01")].iloc[-1]
    # One month back is Sunday 30 November: from the close before it (Friday 28).
    friday = values[pd.Timestamp("2025-11-28")]
    expected = {  # period: (return over the window, alpha)
        "one_month": (values.iloc[-1] / friday - 1, page.NOT_SHOWN),
        "this_month": (values.iloc[-1] / month - 1, page.NOT_SHOWN),
        "three_month": (None, 0.1),
        "total": (values.iloc[-1] / values.iloc[0] - 1, 0.1),
    }
    for period, (window, alpha) in expected.items():
        row = shown.loc[period]
        if window is not None:
            assert row["r_return"] == pytest.approx(window)
        assert row["alpha"] == alpha
    # No window of a year or more: no annual return column.
    assert "r_annual" not in shown.columns
    assert (shown.loc["one_year"] == "n/a").all() and (shown.loc["this_year"] == "n/a").all()
    assert shown.loc["this_month", "r_bench_return"] == pytest.approx(
        bench.iloc[-1] / bench[bench.index < pd.Timestamp("2025-12-01")].iloc[-1] - 1)
    longer = page.risk_shown(made_up(400))
    assert longer.loc["one_year", "r_annual"] == 0.1
    assert longer.loc["one_year", "r_return"] == page.NOT_SHOWN


@pytest.mark.parametrize("days, beyond", [
    (200, {"one_year", "this_year"}),          # from 2025-03-13
    (15, {"one_month", "three_month", "six_month", "one_year", "this_month",
          "this_year"}),                       # from 2025-12-11
    (300, set()),
])
def test_profit_windows_longer_than_the_data(days, beyond):
    values = made_up(days).values
    found = {p for p in ("one_month", "three_month", "six_month", "one_year", "this_month",
                         "this_year", "total") if page.profit_beyond(values, p)}
    assert found == beyond


def test_the_command_shows_the_windows_as_the_page_does():
    made = made_up(15)
    risk, profit = page.shown(made, "risk"), page.shown(made, "profit")
    assert (risk.loc["one_year"] == "n/a").all() and (profit.loc["one_year"] == "n/a").all()
    # Under three months: the return over the window and no alpha, in English labels.
    total = risk.loc["total"]
    assert "Alpha (a year)" not in risk and "Annual return" not in risk
    assert total["Return over the window"] == \
        f"{made.values.iloc[-1] / made.values.iloc[0] - 1:.2%}"
    assert profit.loc["total", "portfolio"] == f"{made.profit.loc['total', 'portfolio']:.2%}"


@pytest.mark.filterwarnings("error")
def test_the_command_passes_on_warnings_but_those_of_windows_shown_as_na():
    import warnings

    class SingularMatrixWarning(UserWarning):
        pass

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for text in ("a short window", "a window of enough days", "another"):
            warnings.warn(text, SingularMatrixWarning if "window" in text else UserWarning)
    with pytest.warns(Warning) as passed:
        analysis._pass_on(caught, rank_deficient=1)
    assert [str(w.message) for w in passed] == ["a window of enough days", "another"]


@pytest.mark.parametrize("lang, absent", [
    ("zh", ["PortfolioWeight", "one_month", "TotalActiveReturn", "window to",
            "Portfolio", "Not available", "benchmark"]),
    ("en", ["组合", "收益", "近一月", "不适用", "行业", "银行"]),  # 银行: a sector
])
def test_one_language_per_page(lang, absent):
    import re

    text = page.render(made_up(300), lang)
    # What a reader sees: the page without its scripts and tags.
    seen = re.sub(r"<[^>]+>", " ", re.sub(r"<script.*?</script>", "", text, flags=re.S))
    for word in absent:
        assert word not in seen, word
    assert f'<html lang="{lang}">' in text


def test_numbers_carry_units_and_marks():
    text = page.render(made_up(300), "en")
    # Returns and weights in per cent, negatives with a minus sign and marked.
    assert '<td class="num neg">\u22121.20%</td>' in text
    assert "0.250" in text and "n/a" in text
    assert "n/a (2 days)" in text
    with pytest.raises(ValueError, match="lang must be 'zh' or 'en', got 'fr'"):
        page.render(made_up(30), "fr")


def test_a_missing_analysis_says_why():
    made = made_up(300)
    made = made._replace(risk=None)
    made.facts["unavailable"] = [("risk", "meridan.risk is not installed")]
    text = page.render(made, "zh")
    assert "无法计算:meridan.risk is not installed" in text
    assert 'href="#risk"' in text


# --- what a reader sees: the sample statement's page in headless Chromium -----------

_PROBE = """
<script>
window.__errors = [];
window.addEventListener("error", e => window.__errors.push(String(e.message)));
function __probe() {
  const canvasesUnder = root => {
    const found = [...root.querySelectorAll("canvas")];
    root.querySelectorAll("*").forEach(
      el => el.shadowRoot && found.push(...canvasesUnder(el.shadowRoot)));
    return found;
  };
  const isDrawn = c => {
    if (!c.width || !c.height) return false;
    const data = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    for (let i = 3; i < data.length; i += 4) if (data[i] !== 0) return true;
    return false;
  };
  // Each chart's own element holds the canvases it draws on.
  const charts = [...document.querySelectorAll("[data-root-id]")];
  const blank = charts.filter(div => !canvasesUnder(div).some(isDrawn))
    .map(div => div.id);
  // A row may hold two lines of text, no more.
  const tall = [];
  document.querySelectorAll("main table:not(.facts) tr").forEach(tr => {
    const cell = tr.querySelector("th,td");
    const line = parseFloat(getComputedStyle(cell).lineHeight);
    if (tr.getBoundingClientRect().height > 2 * line + 12) tall.push(tr.innerText);
  });
  const boxes = [...document.querySelectorAll(".box")].filter(
    b => b.getBoundingClientRect().right > document.documentElement.clientWidth + 1).length;
  document.title = JSON.stringify({
    charts: charts.length, blank: blank, errors: window.__errors, tall: tall,
    overflowing: boxes});
}
setTimeout(__probe, 4000);
</script>
"""


@pytest.mark.sample
@pytest.mark.parametrize("lang", ["zh", "en"])
def test_the_sample_page_in_chromium(tmp_path, lang):
    import json
    import shutil
    import subprocess

    from meridan import cli

    for name in ("meridan.brinson.calc", "meridan.exposure", "meridan.risk",
                 "meridan.profit", "meridan.style"):
        pytest.importorskip(name)
    browser = next(filter(None, map(shutil.which, ("chromium", "chromium-browser",
                                                   "google-chrome"))), None)
    if browser is None:
        pytest.skip("no Chromium installed")
    out = tmp_path / "report.html"
    assert cli.main(["analyse", "sample", "--lang", lang, "--out", str(out)]) == 0
    text = out.read_text(encoding="utf-8")
    head, tail = text.rsplit("</body>", 1)
    probe = tmp_path / "probe.html"
    probe.write_text(head + _PROBE + "</body>" + tail, encoding="utf-8")
    run = subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--window-size=1000,800", "--virtual-time-budget=10000", "--dump-dom",
         probe.as_uri()], capture_output=True, text=True, timeout=180)
    title = run.stdout.split("<title>", 1)[1].split("</title>", 1)[0]
    seen = json.loads(html.unescape(title))
    assert seen["errors"] == [] and "Uncaught" not in run.stderr
    assert seen["tall"] == [], seen["tall"]
    assert seen["overflowing"] == 0
    # Every chart is drawn.
    assert seen["charts"] >= 3 and seen["blank"] == [], seen


@pytest.mark.parametrize("note, shown", [
    ("--end 2030-01-01 is after the market data's last day 2026-11-30: the analysis "
     "ends there", "--end 2030-01-01 晚于行情数据的最后一天 2026-11-30:分析截至该日"),
    ("the store has no yield curve on 2016-03-02, 2016-06-01: a risk-free rate of 0 is "
     "used for the windows starting there", "数据库在 2016-03-02, 2016-06-01 没有收益率曲线"),
    ("the store's index weights are an approximation (top 50 by size): the attribution "
     "and the benchmark exposure use approximate weights", "近似值(top 50 by size)"),
    ("a note of the account", "a note of the account"),
])
def test_notes_in_the_page_language(note, shown):
    made = made_up(300)
    made.facts["notes"] = [note]
    assert shown in page.render(made, "zh") and html.escape(note) in page.render(made, "en")


def test_the_page_reads_top_down():
    pytest.importorskip("meridan.tearsheet")
    text = page.render(made_up(300), "zh")
    order = ["facts", "key", "value", "drawdown", "monthly", "rolling", "distribution",
             "brinson", "attribution", "exposure", "risk", "profit", "style"]
    found = [text.index(f'<section id="{step}">') for step in order]
    assert found == sorted(found)
    # The contents list links every section after the key figures.
    assert all(f'href="#{step}"' in text for step in order[2:])
    assert "无法计算" not in text


@pytest.mark.parametrize("lang, recovered, months", [
    ("zh", "尚未恢复", "全年"), ("en", "not recovered", "Year")])
def test_drawdowns_and_months(lang, recovered, months):
    pytest.importorskip("meridan.tearsheet")
    days = pd.to_datetime(["2025-01-30", "2025-01-31", "2025-02-03", "2025-02-28",
                           "2025-03-03", "2025-03-31"])
    # 2 -> 1.5 (-25 %), back at 2.5 on 2025-02-28; 2.5 -> 2.0 (-20 %), not recovered.
    values = pd.Series([1.0, 2.0, 1.5, 2.5, 2.0, 2.0], index=days)
    made = made_up(300)._replace(values=values, benchmark_values=values * 3)
    t = page._labels(lang)
    drawdowns = page._drawdown_section(made, t, [], {})
    rows = drawdowns.split("<tbody>")[1].split("</tr>")
    assert "2025-01-31" in rows[0] and "2025-02-03" in rows[0] and "2025-02-28" in rows[0]
    assert '<td class="num neg">\u221225.00%</td>' in rows[0]
    assert recovered in rows[1] and "\u221220.00%" in rows[1]
    monthly = page._monthly_section(made, t, [], {})
    assert f"<th>{months}</th>" in monthly
    # January +100 %, February +25 %, March -20 %; the year compounds them: +100 %.
    assert ">100.0%<" in monthly and ">25.0%<" in monthly and ">\u221220.0%<" in monthly


# --- the attribution linked over time -------------------------------------------------

def test_effects_to_date_add_up_to_the_active_return_to_date():
    made = made_up(300)
    found = page.effects_over_time(made.attribution, made.values.index)
    days = made.values.index
    assert list(found.index) == [days[0], days[len(days) // 2 - 1], days[-1]]
    assert found.iloc[0].tolist() == [0.0] * 4
    # After one period the effects are that period's own; after both, they add up to
    # the compounded returns' difference, the second period's equal returns included.
    first = made.attribution.periods.xs(days[0], level="start")[list(page.EFFECTS)].sum()
    assert found.iloc[1][list(page.EFFECTS)].tolist() == pytest.approx(first.tolist(),
                                                                      abs=1e-15)
    assert found["Active"].iloc[1] == pytest.approx(0.10 - 0.05, abs=1e-15)
    assert found["Active"].iloc[2] == pytest.approx(1.10 * 0.98 - 1.05 * 0.98, abs=1e-15)
    assert found.notna().all().all()


@pytest.mark.parametrize("holdings, names, top, bottom", [
    (25, True, 10, 10), (13, False, 7, 6), (1, True, 1, 0)])
def test_the_holdings_with_the_most_and_least_active_contribution(holdings, names, top,
                                                                  bottom):
    made = made_up(300)._replace(attribution=made_up_attribution(
        made_up(300).values.index, holdings, names))
    text = page._attribution_section(made, page._labels("en"), [])
    parts = text.split("<h3>")[1:]
    assert len(parts) == (2 if bottom else 1)
    first_rows = parts[0].split("<tbody>")[1].split("</tr>")[:-1]
    assert f"The {top} holdings adding most" in parts[0] and len(first_rows) == top
    # Largest first; the least list starts with the least.
    assert f"6000{holdings - 1:02d}.XSHG" in first_rows[0]
    if bottom:
        rows = parts[1].split("<tbody>")[1].split("</tr>")[:-1]
        assert f"The {bottom} holdings adding least" in parts[1] and len(rows) == bottom
        assert "600000.XSHG" in rows[0] and "\u22120.50%" in rows[0]
    assert ("<th>Name</th>" in text) == names and ("股票0" in text) == names
    # The unheld sector: allocation only.
    bank = text.split("医药")[1].split("</tr>")[0]
    assert bank.count(">0.00%<") == 2 and bank.count("\u22123.00%") == 2


def test_an_attribution_that_failed_says_why():
    made = made_up(300)._replace(attribution=None)
    made.facts["unavailable"] = [("attribution", "KeyError: 'x'")]
    text = page.render(made, "en")
    section = text.split('<section id="attribution">')[1].split("</section>")[0]
    assert "Not available: KeyError: &#x27;x&#x27;" in section
    # An analysis made without it has no such section.
    made.facts["unavailable"] = []
    assert 'id="attribution"' not in page.render(made, "en")


@pytest.fixture(scope="module")
def sample_analysis():
    return analysis.run("sample")


@pytest.mark.sample
def test_the_sample_attribution_adds_up_to_the_time_weighted_returns(sample_analysis):
    import re

    made = sample_analysis
    found = made.attribution
    assert made.facts["unavailable"] == []
    total = found.table.loc["总计"]
    figures = made.key_figures
    # The account per unit: deposits and withdrawals are no return, and the periods
    # are cut on the days money moved.
    assert total["PortfolioReturn"] == pytest.approx(figures["time_weighted_return"],
                                                     abs=1e-12)
    assert total["BenchmarkReturn"] == pytest.approx(figures["benchmark_return"], abs=1e-12)
    effects = found.table.drop("总计")[list(page.EFFECTS)].to_numpy().sum()
    assert effects == pytest.approx(total["PortfolioReturn"] - total["BenchmarkReturn"],
                                    abs=1e-14)
    flows = made.facts["replay"].flows
    moved = flows[flows.index > pd.Timestamp(made.facts["period"][0])].index
    assert len(moved) and set(moved) <= set(found.periods.index.get_level_values(0))
    unheld = found.table[found.table["PortfolioWeight"] == 0]
    assert len(unheld) and (unheld[["Selection", "Interaction"]] == 0).all().all()
    # The effects to date: the portfolio's return minus the benchmark's to each day.
    to_date = page.effects_over_time(found, made.values.index)
    values, bench = made.values, made.benchmark_values
    active = (values[to_date.index] / values.iloc[0]) - (bench[to_date.index] / bench.iloc[0])
    assert to_date["Active"].to_numpy() == pytest.approx(active.to_numpy(), abs=1e-12)

    for lang, most in (("zh", "对超额收益贡献最大的"), ("en", "adding most to the active")):
        text = page.render(made, lang)
        section = text.split('<section id="attribution">')[1].split("</section>")[0]
        assert most in section and "data-root-id" in section
        # The page's table: every unheld sector shows no selection and no interaction.
        for sector in unheld.index.drop("现金", errors="ignore"):
            label = page.NAMES_EN.get(sector, sector) if lang == "en" else sector
            row = section.split(f'<th scope="row">{label}</th>')[1].split("</tr>")[0]
            cells = re.findall(r">([^<]*)</td>", row)
            assert cells[1:3] == ["0.00%", "0.00%"], (sector, cells)
    assert any(f.title.text == "Active return by effect, cumulative"
               for f in page.figures(made, "en") if f.title is not None)
