"""The HTML page of an analysis (``meridan.analysis.run``): one self-contained file,
BokehJS inline, no network needed to view it."""

from __future__ import annotations

import html
import math

import pandas as pd

from meridan.analysis import TITLES, account_lines


def _pct(value):
    if value is None or isinstance(value, str):
        return "" if value in (None, "") else value
    value = float(value)
    return "" if math.isnan(value) else f"{value:.2%}"


def _num(value):
    if value is None or isinstance(value, str):
        return "" if value in (None, "") else value
    value = float(value)
    return "" if math.isnan(value) else f"{value:.3f}"


_RISK_NUMBERS = ("beta", "sharpe", "benchmark sharpe", "sortino")


def shown(analysis, step):
    """The table of analysis ``step`` as text, as the command prints it; None when
    the analysis was not made."""
    table = getattr(analysis, step)
    if table is None:
        return None
    if step in ("brinson", "profit"):
        return table.map(_pct)
    if step == "risk":
        return pd.DataFrame({column: table[column].map(
            _num if column in _RISK_NUMBERS else _pct) for column in table.columns},
            index=table.index)
    text = table.map(_num)
    if step == "exposure":
        for column in table.attrs.get("no_weights", ()):
            text[column] = "n/a"
    elif step == "style":
        for row, days in table.attrs.get("short", {}).items():
            text.loc[row] = f"n/a ({days} days)"
    return text


def value_curve(values, bench, bench_name):
    from bokeh.plotting import figure

    fig = figure(width=960, height=400, x_axis_type="datetime", tools=["save"],
                 title="Cumulative return: portfolio and benchmark")
    fig.line(values.index, values / values.iloc[0] - 1, line_width=2,
             color="#084594", legend_label="portfolio")
    fig.line(bench.index, bench / bench.iloc[0] - 1, line_width=2, color="#9ecae1",
             legend_label=bench_name)
    fig.yaxis.axis_label = "return since the first day (fraction)"
    fig.legend.location = "top_left"
    return fig


def render(analysis, lang="zh"):
    """The page of ``analysis`` as one HTML text."""
    facts = analysis.facts
    options = facts["options"]
    start, end, _ = facts["period"]
    index_id, index_name = facts["benchmark"]
    market = facts["market"]
    total = analysis.key_figures["time_weighted_return"]
    bench_total = analysis.key_figures["benchmark_return"]
    sections, figures = [], []
    if analysis.brinson is not None:
        from meridan.brinson import report

        figures = list(report.report_figures(analysis.brinson))
        # Some thirty industry names side by side: slanted, they stay legible.
        figures[0].xaxis.major_label_orientation = 0.8
        sections.append((f"Brinson attribution ({options.method}, {options.sectors})",
                         figures + [_html_div(_STYLE + _table_html(
                             shown(analysis, "brinson")))]))
    sections.append(("Value against the benchmark",
                     [value_curve(analysis.values, analysis.benchmark_values,
                                  index_name)]))
    for step in ("exposure", "risk", "profit", "style"):
        if getattr(analysis, step) is not None:
            sections.append((TITLES[step], _table_html(
                shown(analysis, step), facts["section_notes"].get(step, ()))))
    for step, reason in facts["unavailable"]:
        sections.append((TITLES[step], f"<p>Not available: {html.escape(reason)}</p>"))
    header = ("<h1>Portfolio analysis</h1>"
              + (f"<p>Market data: {html.escape(market.origin)}</p>" if market else "")
              + "".join(f"<p>{html.escape(line)}</p>"
                        for line in account_lines(facts, facts["name"]))
              + f"<p>Analysed {start} to {end} against {html.escape(index_name)} "
                f"({index_id}), per unit of the account. Time-weighted return "
                f"{total:+.2%}; benchmark {bench_total:+.2%}.</p>"
              + "".join(f"<p>Note: {html.escape(n)}</p>" for n in facts["notes"]))
    return page("Portfolio analysis", header, sections, figures)


def page(title, header_html, sections, figures):
    """The report as one HTML text: a header, then per section its figures or its
    table, BokehJS inline."""
    from bokeh.embed import file_html
    from bokeh.layouts import column
    from bokeh.models import Div
    from bokeh.resources import INLINE

    items = [Div(text=_STYLE + header_html, width=960)]
    for name, body in sections:
        items.append(Div(text=_STYLE + f"<h2>{html.escape(name)}</h2>", width=960))
        if isinstance(body, list):
            items.extend(body)
        else:
            items.append(Div(text=_STYLE + body, width=960))
    return file_html(column(*items), INLINE, title)


# Each Div is drawn in its own shadow tree, so every one carries the page's style.
_STYLE = ("<style>table{border-collapse:collapse;font:13px sans-serif}"
          "td,th{border:1px solid #ccc;padding:2px 6px;text-align:right}"
          "h1{font:bold 22px sans-serif}h2{font:bold 18px sans-serif;margin:24px 0 6px}"
          "p{font:14px sans-serif}</style>")


def _table_html(table, notes=()):
    text = table.to_html(escape=True, border=0)
    return text + "".join(f"<p>{html.escape(n)}</p>" for n in notes)


def _html_div(text):
    from bokeh.models import Div

    return Div(text=text, width=960)
