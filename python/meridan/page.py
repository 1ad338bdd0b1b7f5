"""The HTML page of an analysis (``meridan.analysis.run``): one self-contained file,
BokehJS inline, no network needed to view it.

The page reads top-down: the period, the market data and every assumption first, then
the key figures, a contents list and one section per analysis. Every return and weight
is in per cent, in tables and charts alike; the portfolio has one colour and the
benchmark another on every chart; time axes are linked (zooming one zooms all); a
sentence under each table or chart that can be misread says what it shows. Labels are
in one language per page: ``lang`` "zh" (the default) or "en".

``figures(analysis, lang)`` gives the page's charts for a notebook, where they look
as they do on the page.
"""

from __future__ import annotations

import html
import importlib
import math
import re

import pandas as pd

from meridan.analysis import TITLES, Unavailable, account_lines  # noqa: F401

PORTFOLIO = "#1f4e9c"   # the portfolio, on every chart
BENCHMARK = "#e8830c"   # the benchmark, on every chart
EFFECT_COLOURS = ("#5b8def", "#41b883", "#b07cc6", "#555555")
LANGS = ("zh", "en")

# Every label of the page, in both languages: key -> (zh, en).
_TEXT = {
    "title": ("组合分析报告", "Portfolio analysis"),
    "facts": ("概况与假设", "Period, data and assumptions"),
    "key": ("关键指标", "Key figures"),
    "contents": ("目录", "Contents"),
    "period": ("分析区间", "Period analysed"),
    "period_v": ("{start} 至 {end},共 {days} 个交易日", "{start} to {end}, {days} trading days"),
    "market": ("行情数据", "Market data"),
    "benchmark": ("基准", "Benchmark"),
    "statement": ("对账单", "Statement"),
    "statement_v": ("{name}:成交 {trades} 笔,其他记录 {events} 条,未变动资金的记录 {skipped} 条",
                    "{name}: {trades} {trade_s}, {events} other {row_s} booked, {skipped} "
                    "{nothing}"),
    "unknown": ("无法识别而略去的记录 {n} 条", "{n} rows could not be read as any kind and "
                "were left out"),
    "cash": ("期初现金", "Opening cash"),
    "cash_given": ("{cash}(由 --cash 给定)", "{cash} (--cash)"),
    "cash_assumed": ("{cash}:假设值,即使现金在任何一行之后都不为负的最小金额,因对账单的转入资金不足以支付全部买入(可用 --cash 指定)",
                     "{cash}: assumed, the least that keeps the cash from going below "
                     "zero, since the statement's deposits do not fund every purchase "
                     "(give --cash to set it)"),
    "cash_stated": ("{cash}:由对账单的{column}得出(第 {row} 行之后的余额,减去截至该行的发生金额)",
                    "{cash}: as the statement's {column} states it (the balance after "
                    "row {row}, less what the rows up to it moved)"),
    "cash_zero": ("0.00:对账单的转入资金足以支付全部买入", "0.00: the statement's deposits "
                  "fund every purchase"),
    "positions": ("期初持仓", "Opening holdings"),
    "positions_v": ("{n} 只(--positions,按前一日收盘价估值)",
                    "{n} holdings (--positions, at the previous close)"),
    "reconciliation": ("对账", "Reconciliation"),
    "flows": ("区间内资金流动", "Flows after the first day"),
    "flows_v": ("转入 {deposits},转出 {withdrawals}", "deposits {deposits}, withdrawals "
                "{withdrawals}"),
    "value": ("账户市值", "Account value"),
    "value_v": ("{opening} → {final};盈亏 {profit}", "{opening} -> {final}; profit {profit}"),
    "per_unit": ("各项分析均按单位净值计算:转入转出资金买入或赎回份额,不计为收益。",
                 "Every analysis sees the account per unit: deposits and withdrawals buy "
                 "and redeem units, so they are never return."),
    "note": ("说明", "Note"),
    "yuan": ("元", "yuan"),
    "n/a": ("不适用", "n/a"),
    "not_available": ("无法计算:{reason}", "Not available: {reason}"),
    "portfolio": ("组合", "Portfolio"),
    "excess": ("超额", "Excess"),
    "a_year": ("(年化)", " (a year)"),
    "over_period": ("(区间)", " (over the period)"),
    "no_single_rate": ("不适用(无唯一解)", "n/a (no single rate)"),
    # key figures
    "time_weighted_return": ("时间加权收益率", "Time-weighted return"),
    "money_weighted_return": ("资金加权收益率", "Money-weighted return"),
    "benchmark_return": ("基准收益率", "Benchmark return"),
    "excess_return": ("超额收益", "Excess return"),
    "volatility": ("年化波动率", "Volatility (a year)"),
    "max_drawdown": ("最大回撤", "Maximum drawdown"),
    "sharpe": ("夏普比率", "Sharpe ratio"),
    "beta": ("贝塔", "Beta"),
    "tracking_error": ("年化跟踪误差", "Tracking error (a year)"),
    "information_ratio": ("信息比率", "Information ratio"),
    "key_note": ("波动率、夏普比率、跟踪误差与信息比率按每年 244 个交易日年化;夏普比率扣除区间起始日收益率曲线给出的无风险利率。",
                 "Volatility, Sharpe ratio, tracking error and information ratio are "
                 "annualised over 244 trading days; the Sharpe ratio is over the "
                 "risk-free rate of the yield curve on the period's first day."),
    # sections
    "s_value": ("累计收益:组合与基准", "Cumulative return: portfolio and benchmark"),
    "s_brinson": ("Brinson 归因", "Brinson attribution"),
    "s_exposure": ("因子暴露", "Factor exposure"),
    "s_risk": ("风险指标", "Risk"),
    "s_profit": ("收益与盈亏", "Profit and loss"),
    "s_style": ("风格回归", "Style regression"),
    "cumulative": ("自首日以来的收益", "Return since the first day"),
    "date": ("日期", "Date"),
    "value_note": ("组合按单位净值计算(转入转出不计为收益);两条曲线均从首日收盘起算。",
                   "The portfolio per unit (flows are not return); both curves start "
                   "at the first day's close."),
    # tearsheet
    "s_drawdown": ("回撤", "Drawdowns"),
    "s_monthly": ("月度收益", "Monthly returns"),
    "s_rolling": ("滚动指标(122 个交易日)", "Rolling figures (122 trading days)"),
    "s_distribution": ("日收益分布", "Distribution of daily returns"),
    "underwater": ("自历史高点的回撤", "Fall from the running peak"),
    "drawdown": ("回撤", "Drawdown"),
    "worst": ("最大的五次回撤", "The five worst drawdowns"),
    "dd_start": ("开始", "Start"),
    "dd_trough": ("谷底", "Trough"),
    "dd_recovery": ("恢复", "Recovery"),
    "dd_length": ("持续交易日", "Length (trading days)"),
    "dd_depth": ("深度", "Depth"),
    "not_recovered": ("尚未恢复", "not recovered"),
    "drawdown_note": ("回撤是单位净值相对此前最高点的跌幅;持续交易日自开始到恢复(尚未恢复的到最后一日)。",
                      "A drawdown is the fall of the value per unit from its running peak; "
                      "its length counts the trading days from its start to its recovery "
                      "(to the last day when it has not recovered)."),
    "year": ("年份", "Year"),
    "month_total": ("全年", "Year"),
    "monthly_note": ("每月的收益为该月最后一个交易日相对上月最后一个交易日的涨跌;全年为各月复利,首尾不满的年份只含数据内的月份。",
                     "Each month's return runs from the last close of the month before to "
                     "the month's last close; a year's total compounds its months (a first "
                     "or last year that is not whole holds only the months of the data)."),
    "rolling_volatility": ("滚动年化波动率", "Rolling volatility (a year)"),
    "rolling_beta": ("滚动贝塔", "Rolling beta"),
    "rolling_sharpe": ("滚动夏普比率", "Rolling Sharpe ratio"),
    "rolling_note": ("每一点是截至该日的 122 个交易日的指标,按每年 244 个交易日年化;数据不足 122 天的日期没有数值。",
                     "Each point is the figure of the 122 trading days to that day, "
                     "annualised over 244 trading days; days with fewer than 122 days "
                     "before them have none."),
    "daily_return": ("日收益", "Daily return"),
    "days": ("天数", "Days"),
    "distribution_note": ("虚线为单日 95% VaR({var}):95% 的交易日亏损不超过此数;点线为 95% 预期亏损 ES({es}):最差 5% 交易日的平均亏损。",
                          "The dashed line is the one-day VaR at 95 % ({var}): on 95 % of "
                          "the days the loss was no larger; the dotted line the expected "
                          "shortfall at 95 % ({es}): the average loss on the worst 5 % of "
                          "the days."),
    # Brinson
    "method_BHB": ("Brinson-Hood-Beebower", "Brinson-Hood-Beebower"),
    "method_BF": ("Brinson-Fachler", "Brinson-Fachler"),
    "sectors_shenwan": ("申万行业", "Shenwan industries"),
    "sectors_msci": ("MSCI 行业", "MSCI sectors"),
    "sector": ("行业", "Sector"),
    "PortfolioWeight": ("组合权重", "Portfolio weight"),
    "BenchmarkWeight": ("基准权重", "Benchmark weight"),
    "WeightDifference": ("权重差", "Weight difference"),
    "PortfolioReturn": ("组合收益", "Portfolio return"),
    "BenchmarkReturn": ("基准收益", "Benchmark return"),
    "ReturnDifference": ("收益差", "Return difference"),
    "Allocation": ("配置效应", "Allocation"),
    "Selection": ("选股效应", "Selection"),
    "Interaction": ("交互效应", "Interaction"),
    "TotalActiveReturn": ("超额收益合计", "Total active return"),
    "现金": ("现金", "Cash"),
    "总计": ("总计", "Total"),
    "weights_chart": ("行业平均权重", "Average sector weights"),
    "effects_chart": ("超额收益分解(总计)", "Active return by effect (total)"),
    "weight": ("权重", "Weight"),
    "effect": ("效应", "Effect"),
    "brinson_note": ("权重为区间内的时间平均值。某行业的“组合收益”是该行业对组合收益的贡献除以其平均权重,并非该行业股票本身的收益;组合未持有的行业其组合收益记为 0,因此会出现数值相互抵消的选股效应与交互效应。各效应之和等于每行的超额收益合计。",
                     "Weights are time averages over the period. A sector's \"Portfolio "
                     "return\" is its contribution to the portfolio's return divided by its "
                     "average weight, not the return of the sector's stocks; a sector the "
                     "portfolio does not hold has a portfolio return of 0, so its Selection "
                     "and Interaction show as large amounts that offset each other. The "
                     "effects add up to the Total active return of each row."),
    # attribution over time
    "s_attribution": ("归因的跨期链接与个股贡献", "Attribution linked over time, and by holding"),
    "attribution_note": ("各期(持仓不变的区间,并在每个资金转入转出日切分)的效应按 Carino 方法链接,使各效应之和等于全区间组合收益与基准收益之差;组合未持有的行业取基准的行业收益,因此只有配置效应,选股与交互效应为 0。权重为时间平均值。",
                         "The effects of each period (a run of unchanged holdings, also "
                         "cut on every day money moved in or out) are linked over the "
                         "periods (Carino) so that they add up to the portfolio's return "
                         "minus the benchmark's over the whole range; a sector the "
                         "portfolio does not hold takes the benchmark's sector return, so "
                         "it shows allocation only, its selection and interaction 0. "
                         "Weights are time averages."),
    "top_holdings": ("对超额收益贡献最大的 {n} 只股票", "The {n} holdings adding most to the active return"),
    "bottom_holdings": ("对超额收益贡献最小的 {n} 只股票", "The {n} holdings adding least to the active return"),
    "holdings_note": ("贡献:各期个股权重乘以其收益,按组合此前各期的增长放大后累计,各股贡献之和等于组合收益;超额贡献:各期(组合权重 − 基准权重)×(个股收益 − 基准收益),链接后累计。",
                      "Contribution: the stock's weight times its return in each period, "
                      "grown with the portfolio's return over the periods before, so that "
                      "the contributions add up to the portfolio's return; active "
                      "contribution: (its portfolio weight − its benchmark "
                      "weight) × (its return − the benchmark's return) in each period, "
                      "linked."),
    "order_book_id": ("代码", "Code"),
    "name": ("名称", "Name"),
    "contribution": ("贡献", "Contribution"),
    "active_contribution": ("超额贡献", "Active contribution"),
    "effects_over_time": ("超额收益分解的累计走势", "Active return by effect, cumulative"),
    "effects_over_time_note": ("每一点为截至该期末链接后的配置、选股与交互效应,三者之和为截至该日的组合收益与基准收益之差。",
                               "Each point is the allocation, selection and interaction "
                               "linked to the end of a period; the three add up to the "
                               "portfolio's return minus the benchmark's to that day."),
    "active": ("超额收益", "Active return"),
    # exposure
    "factor": ("因子", "Factor"),
    "exposure_note": ("{day}:ST 股票占股票持仓的 {st},次新股占 {new}", "{day}: ST stocks "
                      "{st} and newly listed stocks {new} of the stock holdings"),
    "no_weights_note": ("数据库在 {days} 没有指数 {index} 的权重:基准暴露不适用",
                        "the store has no weights for the index {index} on {days}: no "
                        "benchmark exposure (n/a)"),
    "exposure_portfolio": ("{day} 组合", "{day} portfolio"),
    "exposure_benchmark": ("{day} 基准", "{day} benchmark"),
    # risk and profit
    "window": ("区间", "Window"),
    "one_month": ("近一月", "One month"),
    "three_month": ("近三月", "Three months"),
    "six_month": ("近六月", "Six months"),
    "one_year": ("近一年", "One year"),
    "this_month": ("本月以来", "Month to date"),
    "this_year": ("今年以来", "Year to date"),
    "total": ("全区间", "Whole period"),
    "annualized_total": ("全区间年化(365 天)", "Whole period, a year (365 days)"),
    "r_return": ("区间收益", "Return over the window"),
    "r_bench_return": ("基准区间收益", "Benchmark return over the window"),
    "r_annual": ("年化收益", "Annual return"),
    "r_bench_annual": ("基准年化收益", "Benchmark annual return"),
    "alpha": ("阿尔法(年化)", "Alpha (a year)"),
    "r_sharpe": ("夏普比率", "Sharpe ratio"),
    "r_bench_sharpe": ("基准夏普比率", "Benchmark Sharpe ratio"),
    "sortino": ("索提诺比率", "Sortino ratio"),
    "r_mdd": ("最大回撤", "Maximum drawdown"),
    "r_bench_mdd": ("基准最大回撤", "Benchmark maximum drawdown"),
    "r_var": ("单日 VaR(95%)", "One-day VaR (95%)"),
    "r_bench_var": ("基准单日 VaR(95%)", "Benchmark one-day VaR (95%)"),
    "risk_note": ("风险区间包含起始日当天的涨跌(自前一交易日收盘起算):近一月、近三月、近六月、近一年自最后一日往前推相应的自然月,本月以来、今年以来自当月、当年第一天起。不足一年的区间只显示区间收益,一年及以上显示按每年 244 个交易日的年化收益;不足三个月的区间不显示阿尔法;比数据更长的区间为“不适用”。",
                  "A risk window counts the daily changes from its first day, that day's "
                  "change included (from the previous close): one, three, six and twelve "
                  "calendar months back from the last day, or from the first day of the "
                  "month or year. A window shorter than a year shows its return over the "
                  "window; a year or more, its annual return over 244 trading days. No "
                  "alpha is shown for a window under three months; a window longer than "
                  "the data is n/a."),
    "p_portfolio": ("组合收益", "Portfolio return"),
    "p_benchmark": ("基准收益", "Benchmark return"),
    "p_excess": ("超额收益", "Excess return"),
    "profit_note": ("盈亏区间自起始日或其后第一个交易日的净值起算,不含该日涨跌;本月以来、今年以来自上月、上年最后一个交易日起算。因此同名的风险区间与盈亏区间覆盖的交易日不同,数值可能不同。“全区间年化”按 365 个自然日复利折算,而风险指标按 244 个交易日年化。比数据更长的区间为“不适用”。",
                    "A profit-and-loss window measures from the value of the first trading "
                    "day on or after its first day, so that day's change is left out; "
                    "month and year to date measure from the last trading day before the "
                    "month or year. A risk window and a profit-and-loss window of the same "
                    "name therefore cover different days and can differ. The whole "
                    "period's return a year compounds over 365 calendar days, while risk "
                    "annualises over 244 trading days. A window longer than the data is "
                    "n/a."),
    # style
    "regression": ("回归", "Regression"),
    "style_window": ("截至 {day} 的窗口", "Window to {day}"),
    "style_t": ("t 值(最后窗口)", "t (last window)"),
    "style_short": ("不适用({days} 天)", "n/a ({days} days)"),
    "style_note": ("各窗口对组合日收益与风格因子收益做回归的系数。", "Each window's "
                   "coefficients of the regression of the portfolio's daily returns on "
                   "the style factors' returns."),
    "style_short_note": ("回归需要多于参数个数({n} 个:因子与常数项)的因子收益交易日;“不适用”表示窗口只有 {n} 天或更少。",
                         "a regression needs more trading days of factor returns than its "
                         "{n} parameters (the factors and the constant); n/a marks a window "
                         "of {n} days or fewer"),
}

# The English names of what the market data names in Chinese, for the page in English:
# the style factors (as the factor model calls them), the Shenwan level-1 industries of
# both classifications and the MSCI-style sectors. A name not listed is shown as given.
NAMES_EN = {
    "贝塔": "Beta", "成长性": "Growth", "流动性": "Liquidity", "杠杆率": "Leverage",
    "动量": "Momentum", "反转": "Reversal", "市值": "Size", "盈利性": "Yield",
    "波动率": "Volatility", "价值": "Value",
    "农林牧渔": "Agriculture", "采掘": "Mining", "化工": "Chemicals",
    "基础化工": "Basic chemicals", "钢铁": "Steel", "有色金属": "Non-ferrous metals",
    "电子": "Electronics", "家用电器": "Household appliances",
    "食品饮料": "Food and beverage", "纺织服装": "Textiles and apparel",
    "纺织服饰": "Textiles and apparel", "轻工制造": "Light manufacturing",
    "医药生物": "Pharmaceuticals and biotech", "公用事业": "Utilities",
    "交通运输": "Transportation", "房地产": "Real estate", "商业贸易": "Commerce",
    "商贸零售": "Retail", "休闲服务": "Leisure services", "社会服务": "Social services",
    "综合": "Conglomerates", "建筑材料": "Building materials",
    "建筑装饰": "Construction", "电气设备": "Electrical equipment",
    "电力设备": "Power equipment", "国防军工": "Defence", "计算机": "Computers",
    "传媒": "Media", "通信": "Telecommunications", "银行": "Banks",
    "非银金融": "Non-bank financials", "汽车": "Automobiles",
    "机械设备": "Machinery", "煤炭": "Coal", "石油石化": "Oil and petrochemicals",
    "环保": "Environmental protection", "美容护理": "Beauty and personal care",
    "能源": "Energy", "原材料": "Materials", "非必需消费品": "Consumer discretionary",
    "必需消费品": "Consumer staples", "医疗保健": "Health care", "金融": "Financials",
    "信息技术": "Information technology", "电信服务": "Telecommunication services",
    "通信服务": "Communication services", "公共服务": "Utilities", "工业": "Industrials",
}

SECTION_KEYS = {"brinson": "s_brinson", "attribution": "s_attribution", "exposure": "s_exposure", "risk": "s_risk",
                "profit": "s_profit", "style": "s_style"}


def _labels(lang):
    if lang not in LANGS:
        raise ValueError(f"lang must be 'zh' or 'en', got {lang!r}")
    column = LANGS.index(lang)

    def text(key, **values):
        return _TEXT[key][column].format(**values) if values else _TEXT[key][column]

    def name(given):
        """A factor's or sector's name (or 现金 and 总计) in the page's language."""
        if given in ("现金", "总计"):
            return text(given)
        return NAMES_EN.get(given, given) if lang == "en" else given

    text.lang, text.name = lang, name
    return text


# --- numbers --------------------------------------------------------------------------

MINUS = "\u2212"
NOT_SHOWN = "\u2014"   # a figure the page leaves out on purpose


def _is_nan(value):
    return value is None or (isinstance(value, float) and math.isnan(value))


def pct(value, digits=2, sign=False):
    """A fraction in per cent ("12.34%", "−1.20%"); "" for NaN."""
    if _is_nan(value) or isinstance(value, str):
        return "" if _is_nan(value) else value
    text = f"{float(value):{'+' if sign else ''}.{digits}%}"
    return text.replace("-", MINUS)


def num(value, digits=3):
    if _is_nan(value) or isinstance(value, str):
        return "" if _is_nan(value) else value
    return f"{float(value):.{digits}f}".replace("-", MINUS)


def money(value):
    return f"{float(value):,.2f}".replace("-", MINUS)


def _cell(value, kind, text_class="na"):
    """One table cell: numbers right-aligned, negatives marked."""
    if isinstance(value, str):
        return f'<td class="{text_class}">{html.escape(value)}</td>'
    if _is_nan(value):
        return '<td class="na"></td>'
    text = pct(value) if kind == "pct" else num(value)
    neg = " neg" if float(value) < 0 else ""
    return f'<td class="num{neg}">{text}</td>'


def table_html(frame, kinds, index_label, row_labels=None, column_labels=None,
               text_class="na"):
    """An HTML table of ``frame``: ``kinds`` gives each column's format ("pct" or
    "num"), text cells are shown as they are (in cells of class ``text_class``); the
    box scrolls when it is wider than the page."""
    row_labels = row_labels or {}
    column_labels = column_labels or {}
    head = "".join(f"<th>{html.escape(str(column_labels.get(c, c)))}</th>"
                   for c in frame.columns)
    rows = []
    for label, values in frame.iterrows():
        cells = "".join(_cell(v, kinds.get(c, "pct") if isinstance(kinds, dict) else kinds,
                              text_class) for c, v in values.items())
        rows.append(f'<tr><th scope="row">{html.escape(str(row_labels.get(label, label)))}'
                    f"</th>{cells}</tr>")
    return (f'<div class="box"><table><thead><tr><th>{html.escape(index_label)}</th>'
            f"{head}</tr></thead><tbody>{''.join(rows)}</tbody></table></div>")


# --- windows (what the page shows of the risk and profit tables) ------------------

MONTHS = {"one_month": 1, "three_month": 3, "six_month": 6, "one_year": 12}


def risk_windows(values):
    """{period: (first day, under a year, under three months, longer than the data)}
    of the risk table's periods: each window counts the daily changes from its first
    day (that day's included) to the last day."""
    first, last = values.index[0], values.index[-1]
    starts = {period: last - pd.DateOffset(months=k) for period, k in MONTHS.items()}
    starts["this_month"] = last.replace(day=1)
    starts["this_year"] = last.replace(month=1, day=1)
    starts["total"] = first
    year_ago, quarter_ago = last - pd.DateOffset(years=1), last - pd.DateOffset(months=3)
    return {period: (start, start > year_ago, start > quarter_ago, start < first)
            for period, start in starts.items()}


def window_return(values, start):
    """The change of ``values`` over the daily changes from ``start`` on: from the
    last value before ``start`` (the first value when there is none) to the last."""
    before = values[values.index < start]
    base = before.iloc[-1] if len(before) else values.iloc[0]
    return float(values.iloc[-1] / base - 1)


def risk_shown(analysis):
    """The risk table as the page shows it: the return over the window for windows
    under a year, the annual return for longer ones, no alpha under three months
    ("—" marks a figure not shown), n/a for a window longer than the data."""
    table = analysis.risk
    windows = risk_windows(analysis.values)
    rows = {}
    for period, row in table.iterrows():
        start, short, brief, beyond = windows.get(period, (None, False, False, False))
        shown = {}
        if start is not None and short:
            shown["r_return"] = window_return(analysis.values, start)
            shown["r_bench_return"] = window_return(analysis.benchmark_values, start)
            shown["r_annual"] = shown["r_bench_annual"] = NOT_SHOWN
        else:
            shown["r_return"] = shown["r_bench_return"] = NOT_SHOWN
            shown["r_annual"] = row["annual return"]
            shown["r_bench_annual"] = row["benchmark annual return"]
        shown["alpha"] = NOT_SHOWN if brief else row["alpha"]
        for key, column in (("beta", "beta"), ("r_sharpe", "sharpe"),
                            ("r_bench_sharpe", "benchmark sharpe"), ("sortino", "sortino"),
                            ("r_mdd", "max drawdown"),
                            ("r_bench_mdd", "benchmark max drawdown"),
                            ("r_var", "VaR 95%"), ("r_bench_var", "benchmark VaR 95%")):
            shown[key] = row[column]
        if beyond:
            shown = dict.fromkeys(shown, "n/a")
        rows[period] = shown
    frame = pd.DataFrame.from_dict(rows, orient="index", dtype=object)
    # A column no window shows is left out.
    keep = [c for c in frame.columns if not (frame[c].isin(["n/a", NOT_SHOWN])).all()]
    return frame[keep]


def profit_beyond(values, period):
    """Whether the profit-and-loss window ``period`` reaches before the data."""
    first, last = values.index[0], values.index[-1]
    if period in MONTHS:
        return last - pd.DateOffset(months=MONTHS[period]) < first
    if period == "this_month":
        return first >= last.replace(day=1)
    if period == "this_year":
        return first >= last.replace(month=1, day=1)
    return False


# --- the command's text tables ---------------------------------------------------

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


def shown(analysis, step):
    """The table of analysis ``step`` as text, as the command prints it; None when
    the analysis was not made. The risk and profit tables follow the page's rules
    for their windows (``risk_shown``, ``profit_beyond``), with English labels."""
    table = getattr(analysis, step)
    if table is None:
        return None
    if step == "brinson":
        return table.map(_pct)
    if step == "profit":
        text = table.map(_pct)
        for period in table.index:
            if profit_beyond(analysis.values, period):
                text.loc[period] = "n/a"
        return text
    if step == "risk":
        risk, t = risk_shown(analysis), _labels("en")
        return pd.DataFrame({t(column): risk[column].map(
            _num if _RISK_KINDS.get(column) == "num" else _pct)
            for column in risk.columns}, index=risk.index)
    text = table.map(_num)
    if step == "exposure":
        for column in table.attrs.get("no_weights", ()):
            text[column] = "n/a"
    elif step == "style":
        for row, days in table.attrs.get("short", {}).items():
            text.loc[row] = f"n/a ({days} days)"
    return text



# --- charts ---------------------------------------------------------------------------

WIDTH = 900


def _percent_axis(axis):
    from bokeh.models import NumeralTickFormatter

    axis.formatter = NumeralTickFormatter(format="0.0%")


def _date_axis(axis):
    """Dates as numbers (2025-03), the same in either language."""
    from bokeh.models import DatetimeTickFormatter

    axis.formatter = DatetimeTickFormatter(days="%m-%d", months="%Y-%m", years="%Y")


def value_chart(values, bench, t, bench_name, x_range=None):
    """Cumulative return of the portfolio and of the benchmark since the first day, in
    per cent, with a tooltip of both on the day pointed at."""
    from bokeh.models import ColumnDataSource, HoverTool
    from bokeh.plotting import figure

    source = ColumnDataSource({"date": values.index,
                               "p": (values / values.iloc[0] - 1).to_numpy(),
                               "b": (bench / bench.iloc[0] - 1).reindex(values.index)
                               .to_numpy()})
    extra = {"x_range": x_range} if x_range is not None else {}
    fig = figure(width=WIDTH, height=360, x_axis_type="datetime",
                 tools="xpan,xwheel_zoom,reset,save", **extra)
    _date_axis(fig.xaxis[0])
    portfolio = fig.line("date", "p", source=source, line_width=2, color=PORTFOLIO,
                         legend_label=t("portfolio"))
    fig.line("date", "b", source=source, line_width=2, color=BENCHMARK,
             legend_label=bench_name)
    fig.add_tools(HoverTool(renderers=[portfolio], mode="vline",
                            formatters={"@date": "datetime"},
                            tooltips=[(t("date"), "@date{%F}"),
                                      (t("portfolio"), "@p{0.00%}"),
                                      (bench_name, "@b{0.00%}")]))
    fig.yaxis.axis_label = t("cumulative")
    _percent_axis(fig.yaxis[0])
    fig.legend.location = "top_left"
    return fig


def brinson_charts(table, t, bench_name):
    """(average sector weights of the portfolio and the benchmark, the total row's
    effects) as bar charts in per cent, with tooltips."""
    from bokeh.models import ColumnDataSource, FactorRange, HoverTool
    from bokeh.plotting import figure
    from bokeh.transform import dodge

    sectors = [s for s in table.index if s != "总计"]
    names = [t.name(str(s)) for s in sectors]
    source = ColumnDataSource({"sector": names,
                               "p": table.loc[sectors, "PortfolioWeight"].to_numpy(),
                               "b": table.loc[sectors, "BenchmarkWeight"].to_numpy()})
    weights = figure(width=WIDTH, height=380, x_range=FactorRange(*names),
                     tools="save", title=t("weights_chart"))
    bars = [weights.vbar(x=dodge("sector", -0.2, range=weights.x_range), top="p",
                         width=0.38, source=source, color=PORTFOLIO,
                         legend_label=t("portfolio")),
            weights.vbar(x=dodge("sector", 0.2, range=weights.x_range), top="b",
                         width=0.38, source=source, color=BENCHMARK,
                         legend_label=bench_name)]
    weights.add_tools(HoverTool(renderers=bars, tooltips=[
        (t("sector"), "@sector"), (t("portfolio"), "@p{0.00%}"),
        (bench_name, "@b{0.00%}")]))
    weights.xaxis.major_label_orientation = 0.8
    weights.yaxis.axis_label = t("weight")
    _percent_axis(weights.yaxis[0])
    weights.legend.location = "top_right"

    keys = ["Allocation", "Selection", "Interaction", "TotalActiveReturn"]
    labels = [t(k) for k in keys]
    total = table.loc["总计", keys].to_numpy(dtype=float)
    effect_source = ColumnDataSource({"effect": labels, "value": total,
                                      "colour": list(EFFECT_COLOURS)})
    effects = figure(width=WIDTH, height=240, y_range=FactorRange(*reversed(labels)),
                     tools="save", title=t("effects_chart"))
    effects.hbar(y="effect", right="value", height=0.6, source=effect_source,
                 color="colour")
    effects.add_tools(HoverTool(tooltips=[(t("effect"), "@effect"),
                                          ("", "@value{0.00%}")]))
    _percent_axis(effects.xaxis[0])
    return weights, effects


EFFECTS = ("Allocation", "Selection", "Interaction")


def _carino(active, log_active):
    """Carino's factor: the log active return over the active return (its limit,
    1 / (1 + r), where the two returns are equal)."""
    import numpy as np

    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(active == 0, 1.0, log_active / np.where(active == 0, 1.0, active))


def effects_over_time(attribution, days):
    """The linked effects to the end of each period: a DataFrame by the period's last
    day (the first row, the range's first day, all 0) of Allocation, Selection,
    Interaction and Active (their sum, the portfolio's return minus the benchmark's to
    that day). Each row links the periods up to it by Carino's factors, so the last
    row is the attribution's total."""
    import numpy as np

    periods = attribution.periods
    starts = periods.index.get_level_values(0)
    by_period = periods.groupby(starts, sort=True)
    r = by_period.apply(lambda p: (p["PortfolioWeight"] * p["PortfolioReturn"]).sum())
    b = by_period.apply(lambda p: (p["BenchmarkWeight"] * p["BenchmarkReturn"]).sum())
    effects = by_period[list(EFFECTS)].sum()
    r, b = r.to_numpy(float), b.to_numpy(float)
    log_r, log_b = np.log1p(r), np.log1p(b)
    k = np.where(r == b, 1 / (1 + r), _carino(r - b, log_r - log_b))
    growth_r, growth_b = np.expm1(np.cumsum(log_r)), np.expm1(np.cumsum(log_b))
    total_k = np.where(growth_r == growth_b, 1 / (1 + growth_r),
                       _carino(growth_r - growth_b, np.cumsum(log_r) - np.cumsum(log_b)))
    linked = np.cumsum(effects.to_numpy(float) * k[:, None], axis=0) / total_k[:, None]
    days = pd.DatetimeIndex(days)
    next_starts = pd.DatetimeIndex(effects.index[1:])
    ends = [days[days < start][-1] for start in next_starts] + [days[-1]]
    out = pd.DataFrame(linked, index=pd.DatetimeIndex(ends), columns=list(EFFECTS))
    out.loc[days[0]] = 0.0
    out = out.sort_index()
    out["Active"] = out[list(EFFECTS)].sum(axis=1)
    return out


def effects_chart(analysis, t, x_range=None):
    """The linked allocation, selection and interaction to each period's end, in per
    cent, with the active return, on the page's shared time axis."""
    from bokeh.models import ColumnDataSource, HoverTool
    from bokeh.plotting import figure

    found = effects_over_time(analysis.attribution, analysis.values.index)
    source = ColumnDataSource({"date": found.index, "a": found["Allocation"].to_numpy(),
                               "s": found["Selection"].to_numpy(),
                               "i": found["Interaction"].to_numpy(),
                               "t": found["Active"].to_numpy()})
    extra = {"x_range": x_range} if x_range is not None else {}
    fig = figure(width=WIDTH, height=300, x_axis_type="datetime",
                 tools="xpan,xwheel_zoom,reset,save", title=t("effects_over_time"),
                 **extra)
    _date_axis(fig.xaxis[0])
    lines = [fig.line("date", key, source=source, line_width=2, color=colour,
                      legend_label=t(label))
             for key, label, colour in (("a", "Allocation", EFFECT_COLOURS[0]),
                                        ("s", "Selection", EFFECT_COLOURS[1]),
                                        ("i", "Interaction", EFFECT_COLOURS[2]))]
    fig.line("date", "t", source=source, line_width=1.5, line_dash="dashed",
             color=EFFECT_COLOURS[3], legend_label=t("active"))
    fig.add_tools(HoverTool(renderers=lines[:1], mode="vline",
                            formatters={"@date": "datetime"},
                            tooltips=[(t("date"), "@date{%F}"),
                                      (t("Allocation"), "@a{0.00%}"),
                                      (t("Selection"), "@s{0.00%}"),
                                      (t("Interaction"), "@i{0.00%}"),
                                      (t("active"), "@t{0.00%}")]))
    fig.yaxis.axis_label = t("effect")
    _percent_axis(fig.yaxis[0])
    fig.legend.location = "bottom_left"
    return fig


def figures(analysis, lang="zh"):
    """The page's charts of ``analysis`` as bokeh models, in the page's order, their
    time axes linked: for a notebook (``bokeh.io.show(column(*figures(a)))``)."""
    return [model for _, model in _charts(analysis, _labels(lang))[0]]


INDEX_NAMES = {"000300.XSHG": "CSI 300", "000905.XSHG": "CSI 500"}


def benchmark_name(analysis, t):
    index_id, name = analysis.facts["benchmark"]
    return name if t.lang == "zh" else INDEX_NAMES.get(index_id, index_id)


def _charts(analysis, t):
    """([(section step, chart)] of the page, {step: reason} of the tearsheet's charts
    that could not be drawn, the VaR and ES marked); the time axes are linked."""
    bench_name = benchmark_name(analysis, t)
    value = value_chart(analysis.values, analysis.benchmark_values, t, bench_name)
    charts, failed, marks = [("value", value)], {}, {}
    if _tearsheet_module() is not None:
        for step, make in (
                ("drawdown", lambda: [underwater_chart(analysis, t, value.x_range)]),
                ("rolling", lambda: rolling_charts(analysis, t, value.x_range)),
                ("distribution", lambda: [_distribution(analysis, t, marks)])):
            try:
                charts += [(step, chart) for chart in make()]
            except Exception as exc:  # the page is written without it, and says why
                failed[step] = f"{type(exc).__name__}: {exc}"
    if analysis.brinson is not None:
        charts += [("brinson", c) for c in brinson_charts(analysis.brinson, t, bench_name)]
    if getattr(analysis, "attribution", None) is not None:
        charts.append(("attribution", effects_chart(analysis, t, value.x_range)))
    return charts, failed, marks


def _distribution(analysis, t, marks):
    chart, found = distribution_chart(analysis, t)
    marks.update(found)
    return chart


# --- the tearsheet ----------------------------------------------------------------

ROLLING_WINDOW = 122


def _tearsheet_module():
    try:
        return importlib.import_module("meridan.tearsheet")
    except ImportError:
        return None


def _daily(series):
    return series.pct_change().iloc[1:]


def underwater_chart(analysis, t, x_range):
    """The fall of the portfolio and of the benchmark from their running peaks, in per
    cent, on the page's shared time axis."""
    from bokeh.models import ColumnDataSource, HoverTool
    from bokeh.plotting import figure

    sheet = _tearsheet_module()
    p = sheet.underwater(analysis.values)
    b = sheet.underwater(analysis.benchmark_values).reindex(p.index)
    source = ColumnDataSource({"date": p.index, "p": p.to_numpy(), "b": b.to_numpy(),
                               "zero": [0.0] * len(p)})
    fig = figure(width=WIDTH, height=260, x_axis_type="datetime", x_range=x_range,
                 tools="xpan,xwheel_zoom,reset,save", title=t("underwater"))
    _date_axis(fig.xaxis[0])
    area = fig.varea(x="date", y1="p", y2="zero", source=source, color=PORTFOLIO,
                     alpha=0.35, legend_label=t("portfolio"))
    fig.line("date", "b", source=source, color=BENCHMARK, line_width=1.5,
             legend_label=benchmark_name(analysis, t))
    fig.add_tools(HoverTool(renderers=[area], mode="vline",
                            formatters={"@date": "datetime"},
                            tooltips=[(t("date"), "@date{%F}"),
                                      (t("portfolio"), "@p{0.00%}"),
                                      (benchmark_name(analysis, t), "@b{0.00%}")]))
    fig.yaxis.axis_label = t("drawdown")
    _percent_axis(fig.yaxis[0])
    fig.legend.location = "bottom_left"
    return fig


def rolling_charts(analysis, t, x_range):
    """Rolling volatility (per cent), beta and Sharpe ratio over 122 trading days."""
    from bokeh.models import ColumnDataSource, HoverTool
    from bokeh.plotting import figure

    rolling = _tearsheet_module().rolling_figures(
        _daily(analysis.values), _daily(analysis.benchmark_values),
        risk_free_rate=analysis.facts.get("risk_free_rate", 0.0),
        window=ROLLING_WINDOW, annualization=244)
    charts = []
    for column, key, percent in (("volatility", "rolling_volatility", True),
                                 ("beta", "rolling_beta", False),
                                 ("sharpe", "rolling_sharpe", False)):
        source = ColumnDataSource({"date": rolling.index,
                                   "v": rolling[column].to_numpy(dtype=float)})
        fig = figure(width=WIDTH, height=200, x_axis_type="datetime", x_range=x_range,
                     tools="xpan,xwheel_zoom,reset,save", title=t(key))
        _date_axis(fig.xaxis[0])
        line = fig.line("date", "v", source=source, color=PORTFOLIO, line_width=1.5)
        fig.add_tools(HoverTool(renderers=[line], mode="vline",
                                formatters={"@date": "datetime"},
                                tooltips=[(t("date"), "@date{%F}"),
                                          (t(key), "@v{0.00%}" if percent else "@v{0.00}")]))
        if percent:
            _percent_axis(fig.yaxis[0])
        charts.append(fig)
    return charts


def distribution_chart(analysis, t):
    """The daily returns' histogram (per cent) with the one-day VaR and expected
    shortfall at 95 % marked."""
    import numpy as np
    from bokeh.models import ColumnDataSource, HoverTool, Span
    from bokeh.plotting import figure

    import perilon

    returns = _daily(analysis.values).to_numpy(dtype=float)
    returns = returns[np.isfinite(returns)]
    counts, edges = np.histogram(returns, bins=min(60, max(10, len(returns) // 5)))
    source = ColumnDataSource({"left": edges[:-1], "right": edges[1:], "n": counts})
    fig = figure(width=WIDTH, height=300, tools="save")
    bars = fig.quad(left="left", right="right", bottom=0, top="n", source=source,
                    color=PORTFOLIO, alpha=0.7)
    fig.add_tools(HoverTool(renderers=[bars], tooltips=[
        (t("daily_return"), "@left{0.00%} – @right{0.00%}"), (t("days"), "@n")]))
    risk_of = perilon.Risk(returns, returns, analysis.facts.get("risk_free_rate", 0.0))
    marks = {}
    for key, method, dash in (("var", "value_at_risk", "dashed"),
                              ("es", "expected_shortfall", "dotted")):
        if not hasattr(risk_of, method):   # a perilon without the tail figures
            continue
        value = float(getattr(risk_of, method)(0.95))
        if math.isfinite(value):
            fig.add_layout(Span(location=-value, dimension="height", line_color="#c62828",
                                line_dash=dash, line_width=2))
            marks[key] = value
    fig.xaxis.axis_label = t("daily_return")
    fig.yaxis.axis_label = t("days")
    _percent_axis(fig.xaxis[0])
    return fig, marks


# --- the page ---------------------------------------------------------------------

def render(analysis, lang="zh"):
    """The page of ``analysis`` as one HTML text (see the module)."""
    from bokeh.embed import components
    from bokeh.resources import INLINE

    t = _labels(lang)
    charts, failed, marks = _charts(analysis, t)
    script, divs = components([chart for _, chart in charts])
    by_step = {}
    for (step, _), div in zip(charts, divs):
        by_step.setdefault(step, []).append(div)

    sections = [("value", t("s_value"), "".join(by_step.get("value", ()))
                 + _note(t("value_note")))]
    if _tearsheet_module() is not None:
        for step, make in (("drawdown", _drawdown_section), ("monthly", _monthly_section),
                           ("rolling", _rolling_section),
                           ("distribution", _distribution_section)):
            title = t("s_" + step)
            try:
                if step in failed:
                    raise Unavailable(failed[step])
                body = make(analysis, t, by_step.get(step, []), marks)
            except Exception as exc:  # noqa: BLE001  the page says why
                reason = str(exc) if isinstance(exc, Unavailable) else \
                    f"{type(exc).__name__}: {exc}"
                body = f"<p>{html.escape(t('not_available', reason=reason))}</p>"
            sections.append((step, title, body))
    unavailable = dict(analysis.facts["unavailable"])
    for step in ("brinson", "attribution", "exposure", "risk", "profit", "style"):
        title = t(SECTION_KEYS[step])
        if step == "attribution" and step not in unavailable and \
                getattr(analysis, step, None) is None:
            continue   # an analysis made without it
        if step in unavailable:
            body = f"<p>{html.escape(t('not_available', reason=unavailable[step]))}</p>"
        else:
            body = _SECTIONS[step](analysis, t, by_step.get(step, []))
        sections.append((step, title, body))

    contents = "".join(f'<li><a href="#{step}">{html.escape(title)}</a></li>'
                       for step, title, _ in sections)
    body = "".join(f'<section id="{step}"><h2>{html.escape(title)}</h2>{text}</section>'
                   for step, title, text in sections)
    return (f'<!DOCTYPE html>\n<html lang="{lang}"><head><meta charset="utf-8">'
            f"<title>{html.escape(t('title'))}</title>{INLINE.render()}"
            f"<style>{_CSS}</style></head><body class=\"{lang}\"><main>"
            f"<h1>{html.escape(t('title'))}</h1>"
            f'<section id="facts"><h2>{html.escape(t("facts"))}</h2>'
            f"{_facts_html(analysis, t)}</section>"
            f'<section id="key"><h2>{html.escape(t("key"))}</h2>'
            f"{_key_html(analysis, t)}</section>"
            f'<nav><h2>{html.escape(t("contents"))}</h2><ol>{contents}</ol></nav>'
            f"{body}</main>{script}</body></html>")


def _note(text):
    return f'<p class="note">{html.escape(text)}</p>'


def _facts_html(analysis, t):
    facts = analysis.facts
    account, p = facts["account"], facts["performance"]
    start, end, days = facts["period"]
    index_id, index_name = facts["benchmark"]
    rows = [(t("period"), t("period_v", start=start, end=end, days=days))]
    if facts["market"] is not None:
        rows.append((t("market"), _origin(facts["market"], t)))
    rows.append((t("benchmark"), f"{benchmark_name(analysis, t)} ({index_id})"))
    rows.append((t("statement"), t("statement_v", name=facts["name"],
                                   trades=len(account.trades), events=len(account.events),
                                   skipped=len(account.skipped),
                                   trade_s="trade" if len(account.trades) == 1 else "trades",
                                   row_s="row" if len(account.events) == 1 else "rows",
                                   nothing="row that moves nothing"
                                   if len(account.skipped) == 1
                                   else "rows that move nothing")))
    cash, stated = money(facts["cash"]), facts.get("cash_stated")
    rows.append((t("cash"), t("cash_given", cash=cash) if facts["cash_given"]
                 else t("cash_stated", cash=cash, column=stated[0], row=stated[1])
                 if stated else t("cash_assumed", cash=cash) if facts["cash"]
                 else t("cash_zero")))
    if facts["positions"]:
        rows.append((t("positions"), t("positions_v", n=len(facts["positions"]))))
    rows.append((t("flows"), t("flows_v", deposits=money(p.deposits),
                               withdrawals=money(p.withdrawals))))
    rows.append((t("value"), t("value_v", opening=money(p.opening_value),
                               final=money(p.final_value),
                               profit=f"{p.profit:+,.2f}".replace("-", MINUS))))
    rows.append((t("reconciliation"), _reconciliation(facts["reconciliation"], t)))
    items = "".join(f"<tr><th>{html.escape(k)}</th><td>{html.escape(str(v))}</td></tr>"
                    for k, v in rows)
    notes = [*facts["replay"].notes, *facts["notes"]]
    unknown = ""
    if account.unknown:
        shown = "".join(f"<li>{html.escape(f'{row}: {text}: {reason}')}</li>"
                        for row, text, reason in account.unknown[:20])
        unknown = (f"<p>{html.escape(t('unknown', n=len(account.unknown)))}</p>"
                   f"<ul>{shown}</ul>")
    return (f'<table class="facts">{items}</table>{unknown}'
            + "".join(f"<p>{html.escape(t('note'))}: {html.escape(_note_text(n, t))}</p>"
                      for n in notes)
            + _note(t("per_unit")))


def _reconciliation(found, t):
    """The reconciliation in the page's language."""
    if t.lang != "zh":
        return found.line()
    if found.column is None:
        return "对账单没有余额列:现金未核对"
    text = f"现金与对账单余额在 {found.compared:,} 行中的 {found.agree:,} 行一致"
    if found.column == "可用金额":
        text += "(取自“可用金额”列,即可用余额:对账单没有其他余额列)"
    if found.first is not None:
        row, theirs, ours, difference = found.first
        text += (f";第一处差异在第 {row} 行:对账单余额 {money(theirs)},本报告 "
                 f"{money(ours)}({difference:+,.2f})".replace("-", MINUS))
    return text


# The notes the analysis writes, in Chinese: (pattern, text).
_NOTES_ZH = [
    (re.compile(r"the store's index weights are an approximation \((.*)\): the attribution "
                r"and the benchmark exposure use approximate weights$"),
     "数据库中的指数权重为近似值({0}):归因与基准暴露使用近似权重"),
    (re.compile(r"--end (\S+) is after the market data's last day (\S+): the analysis ends "
                r"there$"), "--end {0} 晚于行情数据的最后一天 {1}:分析截至该日"),
    (re.compile(r"--start (\S+) is before the market data's first day (\S+): the analysis "
                r"starts there$"), "--start {0} 早于行情数据的第一天 {1}:分析自该日开始"),
    (re.compile(r"the store has no yield curve on (.*): a risk-free rate of 0 is used for "
                r"the windows starting there$"),
     "数据库在 {0} 没有收益率曲线:自这些日期开始的区间无风险利率取 0"),
    (re.compile(r"the account holds nothing after (\S+) \(everything was withdrawn\): the "
                r"analysis ends there$"), "账户在 {0} 之后已无资产(资金已全部转出):分析截至该日"),
    (re.compile(r"the figures run from the close of (\S+): that day's trades, fees and price "
                r"moves \((\S+) on the (\S+) the account opened with\) are in the opening "
                r"value, not in the returns or the profit$"),
     "各项数据自 {0} 收盘起计算:当日的交易、费用与价格变动(相对于期初的 {2} 为 {1})计入期初市值,不计入收益率与盈亏"),
    (re.compile(r"(\S+) was delisted on (\S+) and is held until (\S+): it is valued at its "
                r"last close from then on, which need not be what it can be sold for$"),
     "{0} 已于 {1} 退市,持有至 {2}:退市后按其最后收盘价估值,未必是其可卖出的价格"),
]


def _note_text(note, t):
    """A note of the analysis in the page's language (the account's own notes stay
    as they are written)."""
    if t.lang == "zh":
        for pattern, text in _NOTES_ZH:
            found = pattern.match(note)
            if found:
                return text.format(*found.groups())
    return note


def _origin(market, t):
    span = f"{market.first} – {market.last}"
    if t.lang != "zh":
        return market.origin
    if market.source == "sample":
        return "生成的样本行情(价格为虚构)"
    if market.source == "import":
        return f"导入的数据库({market.meta.get('imported_from', market.path)},{span})"
    if market.source == "fetch":
        return (f"取自 {market.meta.get('fetched_from', '?')}"
                f"(获取于 {market.meta.get('fetched_at', '?')}),{span}")
    return f"数据库 {market.path}({span})"


def _key_html(analysis, t):
    figures = analysis.key_figures
    p = analysis.facts["performance"]
    cells = []
    for key in ("time_weighted_return", "money_weighted_return", "benchmark_return",
                "excess_return", "volatility", "max_drawdown", "sharpe", "beta",
                "tracking_error", "information_ratio"):
        value = figures.get(key, math.nan)
        label = t(key)
        if key == "money_weighted_return":
            label += t("a_year") if p.annualised else t("over_period")
            text = t("no_single_rate") if _is_nan(value) else pct(value, sign=True)
        elif key in ("sharpe", "beta", "information_ratio"):
            text = num(value, 2) or t("n/a")
        elif key.endswith("return"):
            text = pct(value, sign=True) or t("n/a")
        else:
            text = pct(value) or t("n/a")
        neg = " neg" if not _is_nan(value) and value < 0 and key != "max_drawdown" else ""
        cells.append(f'<div class="figure"><div class="label">{html.escape(label)}</div>'
                     f'<div class="value{neg}">{html.escape(text)}</div></div>')
    return f'<div class="card">{"".join(cells)}</div>' + _note(t("key_note"))


def _brinson_section(analysis, t, charts):
    options = analysis.facts["options"]
    table = analysis.brinson
    comma = "," if t.lang == "zh" else ", "
    caption = (f"<p>{html.escape(t('method_' + options.method))}{comma}"
               f"{html.escape(t('sectors_' + options.sectors))}</p>")
    rows = {s: t.name(s) for s in table.index}
    columns = {c: t(c) for c in table.columns if c in _TEXT}
    return (caption + "".join(charts)
            + table_html(table, "pct", t("sector"), rows, columns)
            + _note(t("brinson_note")))


def _attribution_section(analysis, t, charts):
    found = analysis.attribution
    table = found.table
    rows = {s: t.name(s) for s in table.index}
    effects = table[list(EFFECTS) + ["TotalActiveReturn"]]
    out = [table_html(effects, "pct", t("sector"), rows, {c: t(c) for c in effects}),
           _note(t("attribution_note"))]
    holdings = found.holdings.sort_values("active_contribution", ascending=False)
    shown = holdings[["contribution", "active_contribution"]]
    if found.names:
        shown = shown.copy()
        shown.insert(0, "name", [found.names.get(i, "") for i in shown.index])
    columns = {c: t(c) for c in shown.columns}
    n = len(shown)
    top = min(TOP_HOLDINGS, n - n // 2)
    bottom = min(TOP_HOLDINGS, n - top)
    for key, part in (("top_holdings", shown.iloc[:top]),
                      ("bottom_holdings", shown.iloc[n - bottom:].iloc[::-1])):
        if len(part):
            out.append(f"<h3>{html.escape(t(key, n=len(part)))}</h3>"
                       + table_html(part, "pct", t("order_book_id"), None, columns,
                                    text_class="text"))
    out.append(_note(t("holdings_note")))
    out += list(charts) + [_note(t("effects_over_time_note"))]
    return "".join(out)


TOP_HOLDINGS = 10


def _exposure_section(analysis, t, charts):
    table = analysis.exposure
    shown = table.astype(object)
    for column in table.attrs.get("no_weights", ()):
        shown[column] = t("n/a")
    labels = {}
    for column in table.columns:
        day, side = str(column).rsplit(" ", 1)
        labels[column] = t("exposure_" + side, day=day)
    index_id = analysis.facts["benchmark"][0]
    notes = [t("exposure_note", day=day, st=pct(st), new=pct(new))
             for day, (st, new) in table.attrs.get("weights", {}).items()]
    missing = [str(c).rsplit(" ", 1)[0] for c in table.attrs.get("no_weights", ())]
    if missing:
        notes.append(t("no_weights_note", days=", ".join(missing), index=index_id))
    rows = {f: t.name(str(f)) for f in table.index}
    return (table_html(shown, "num", t("factor"), rows, column_labels=labels)
            + "".join(_note(n) for n in notes))


_RISK_KINDS = {"beta": "num", "r_sharpe": "num", "r_bench_sharpe": "num",
               "sortino": "num"}


def _risk_section(analysis, t, charts):
    shown = risk_shown(analysis)
    # Cell by cell on the object array: DataFrame.replace would try to downcast the
    # columns, which pandas 2.2 warns about.
    cells = shown.to_numpy(dtype=object, copy=True)
    cells[cells == "n/a"] = t("n/a")
    shown = pd.DataFrame(cells, index=shown.index, columns=shown.columns)
    rows = {p: t(p) for p in shown.index if p in _TEXT}
    columns = {c: t(c) for c in shown.columns}
    notes = analysis.facts["section_notes"].get("risk", [])
    return (table_html(shown, _RISK_KINDS | {c: "pct" for c in shown.columns
                                             if c not in _RISK_KINDS},
                       t("window"), rows, columns)
            + _note(t("risk_note")) + "".join(_note(_note_text(n, t)) for n in notes))


def _profit_section(analysis, t, charts):
    table = analysis.profit.astype(object)
    for period in table.index:
        if profit_beyond(analysis.values, period):
            table.loc[period] = t("n/a")
    rows = {p: t(p) for p in table.index if p in _TEXT}
    columns = {"portfolio": t("p_portfolio"), "benchmark": t("p_benchmark"),
               "excess": t("p_excess")}
    return table_html(table, "pct", t("window"), rows, columns) + _note(t("profit_note"))


def _style_section(analysis, t, charts):
    table = analysis.style
    shown = table.astype(object)
    rows = {}
    for row in table.index:
        if row.startswith("window to "):
            rows[row] = t("style_window", day=row[len("window to "):])
        elif row == "t (last window)":
            rows[row] = t("style_t")
    short = table.attrs.get("short", {})
    for row, days in short.items():
        shown.loc[row] = t("style_short", days=days)
    notes = [t("style_note")]
    if short:
        notes.append(t("style_short_note", n=len(table.columns) + 1))
    columns = {c: t.name(str(c)) for c in table.columns}
    return (table_html(shown, "num", t("regression"), rows, columns)
            + "".join(_note(n) for n in notes))


def _drawdown_section(analysis, t, charts, marks):
    worst = _tearsheet_module().worst_drawdowns(analysis.values, top=5)
    rows = []
    for _, row in worst.iterrows():
        recovery = row["recovery"]
        rows.append({"dd_start": _day(row["start"]), "dd_trough": _day(row["trough"]),
                     "dd_recovery": t("not_recovered") if pd.isna(recovery)
                     else _day(recovery),
                     "dd_length": f"{int(row['length']):,}",
                     "dd_depth": -abs(float(row["depth"]))})
    frame = pd.DataFrame(rows, columns=["dd_start", "dd_trough", "dd_recovery",
                                        "dd_length", "dd_depth"],
                         index=range(1, len(rows) + 1), dtype=object)
    columns = {c: t(c) for c in frame.columns}
    return ("".join(charts) + f"<h3>{html.escape(t('worst'))}</h3>"
            + table_html(frame, "pct", "#", column_labels=columns, text_class="num")
            + _note(t("drawdown_note")))


def _day(value):
    return str(pd.Timestamp(value).date())


def _monthly_section(analysis, t, charts, marks):
    table = _tearsheet_module().monthly_returns(analysis.values)
    numbers = table.to_numpy(dtype=float)
    scale = max(float(pd.Series(numbers.ravel()).abs().max()), 1e-12)
    up, down = ("198,40,40", "27,127,59") if t.lang == "zh" else ("27,127,59", "198,40,40")
    head = "".join(f"<th>{m}</th>" if m != "total" else f"<th>{html.escape(t('month_total'))}</th>"
                   for m in table.columns)
    rows = []
    for year, values in table.iterrows():
        cells = []
        for value in values:
            if _is_nan(value):
                cells.append('<td class="na"></td>')
                continue
            value = float(value)
            colour = up if value >= 0 else down
            alpha = min(abs(value) / scale, 1.0) * 0.55
            neg = " neg" if value < 0 else ""
            cells.append(f'<td class="num heat{neg}" style="background:rgba({colour},'
                         f'{alpha:.2f})">{pct(value, 1)}</td>')
        rows.append(f'<tr><th scope="row">{html.escape(str(year))}</th>{"".join(cells)}</tr>')
    return (f'<div class="box"><table class="monthly"><thead><tr><th>'
            f'{html.escape(t("year"))}</th>{head}</tr></thead><tbody>{"".join(rows)}'
            f"</tbody></table></div>" + _note(t("monthly_note")))


def _rolling_section(analysis, t, charts, marks):
    return "".join(charts) + _note(t("rolling_note"))


def _distribution_section(analysis, t, charts, marks):
    text = "".join(charts)
    if marks:
        text += _note(t("distribution_note", var=pct(marks.get("var")),
                        es=pct(marks.get("es"))))
    return text


_SECTIONS = {"brinson": _brinson_section, "attribution": _attribution_section,
             "exposure": _exposure_section,
             "risk": _risk_section, "profit": _profit_section, "style": _style_section}

_CSS = """
body{margin:0;font:14px/1.5 "Noto Sans CJK SC","Noto Sans SC","PingFang SC",
 "Microsoft YaHei",sans-serif;color:#222;background:#fff}
main{max-width:1000px;margin:0 auto;padding:16px 24px}
h1{font-size:24px;margin:8px 0 12px}
h3{font-size:15px;margin:14px 0 4px}
td.heat{min-width:3.5em}
h2{font-size:19px;margin:28px 0 8px;border-bottom:1px solid #ddd;padding-bottom:4px}
.box{overflow-x:auto;max-width:100%;margin:8px 0}
table{border-collapse:collapse;width:auto}
th,td{border:1px solid #d6d6d6;padding:3px 8px;white-space:nowrap}
thead th{background:#f3f5f8;font-weight:600;text-align:center}
tbody th{text-align:left;font-weight:normal;background:#fafafa}
td.num{text-align:right;font-variant-numeric:tabular-nums}
td.na{text-align:center;color:#888}
td.text{text-align:left}
.neg{color:#c62828}
body.zh .neg{color:#1b7f3b}
table.facts th{text-align:left;font-weight:600;background:#fafafa;vertical-align:top}
table.facts td{white-space:normal}
.card{display:grid;grid-template-columns:repeat(5,1fr);gap:8px}
.figure{border:1px solid #d6d6d6;border-radius:6px;padding:8px 10px}
.figure .label{font-size:12px;color:#555}
.figure .value{font-size:20px;font-weight:600;text-align:right;
 font-variant-numeric:tabular-nums}
p.note{color:#444;font-size:13px;max-width:900px}
nav ol{columns:2;margin:4px 0}
"""
