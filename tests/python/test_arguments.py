"""Wrong calls of every public function raise TypeError with the package's wording,
before anything is read or changed."""

import pytest

import meridan.exposure as exposure
import perilon
from meridan import flows, profit, risk, style
from meridan.brinson import benchmark, calc, classifier, report
from meridan.pcalc import preprocess
from meridan.pcalc.portfolio import Portfolio
from meridan.pcalc.trade import Trade
from meridan.quotes import CachedMarketDataProvider, MarketDataProvider

pytestmark = pytest.mark.sanitize

book = Portfolio()
TRADE = Trade(datetime=None, order_book_id="A", symbol="A", last_price=1.0, last_quantity=1,
              side="BUY", transaction_cost=0.0)
md = CachedMarketDataProvider()
base = MarketDataProvider()

CASES = [
    # Portfolio: the receiver counts as an argument, as for any method.
    (Portfolio, (1, 2, 3), {}, "__init__() takes at most 3 positional arguments (4 given)"),
    (Portfolio, (), {"money": 1}, "__init__() got an unexpected keyword argument 'money'"),
    (Portfolio, (1,), {"cash": 1}, "__init__() got multiple values for keyword argument 'cash'"),
    (book.holdings, (1,), {}, "holdings() takes exactly 1 positional argument (2 given)"),
    (book.apply_trade, (), {}, "apply_trade() takes exactly 2 positional arguments (1 given)"),
    (book.apply_trade, (None,), {"trade": None},
     "apply_trade() got multiple values for keyword argument 'trade'"),
    (book.get_position, (), {"id": "A"}, "get_position() got an unexpected keyword argument 'id'"),
    (book.apply_split, ({}, {}), {}, "apply_split() takes exactly 2 positional arguments (3 given)"),
    (book.apply_dividend, (), {}, "apply_dividend() takes exactly 2 positional arguments (1 given)"),
    (book.apply_cash, (1, 2), {}, "apply_cash() takes exactly 2 positional arguments (3 given)"),
    (flows.unit_values, (), {}, "unit_values() takes at least 1 positional argument (0 given)"),
    (flows.money_weighted_return, (None,), {"flow": None},
     "money_weighted_return() got an unexpected keyword argument 'flow'"),
    # Providers.
    (CachedMarketDataProvider, ("none", 1), {},
     "__init__() takes at most 2 positional arguments (3 given)"),
    (CachedMarketDataProvider, (), {"mode": "pre"},
     "__init__() got an unexpected keyword argument 'mode'"),
    (md.get_close_price, ([],), {}, "get_close_price() takes exactly 3 positional arguments (2 given)"),
    (md.get_dividend_per_share, ([], None), {"order_book_ids": []},
     "get_dividend_per_share() got multiple values for keyword argument 'order_book_ids'"),
    (md.get_split_coefficient, ([], None), {"day": 1},
     "get_split_coefficient() got an unexpected keyword argument 'day'"),
    (base.get_close_price, (), {}, "get_close_price() takes exactly 3 positional arguments (1 given)"),
    (base.get_dividend_per_share, ([], None, 1), {},
     "get_dividend_per_share() takes exactly 3 positional arguments (4 given)"),
    (base.get_split_coefficient, ([],), {"date": None, "x": 1},
     "get_split_coefficient() got an unexpected keyword argument 'x'"),
    # Normalisation.
    (preprocess.fix_positions, (), {}, "fix_positions() takes exactly 1 positional argument (0 given)"),
    (preprocess.fix_positions, (None,), {"frame": None},
     "fix_positions() got multiple values for keyword argument 'frame'"),
    (preprocess.fix_trades, (None,), {}, "fix_trades() takes exactly 2 positional arguments (1 given)"),
    (preprocess.fix_trades, (None, None), {"provider": None},
     "fix_trades() got an unexpected keyword argument 'provider'"),
    (preprocess.fix_backtest_trades, (None, None), {},
     "fix_backtest_trades() takes exactly 1 positional argument (2 given)"),
    # Brinson attribution: classifiers and benchmarks are called like Python methods.
    (classifier.SectorDecider_ShenWan, (), {}, "__call__() takes exactly 2 positional arguments (1 given)"),
    (classifier.SectorDecider_MSCI, (), {"id": "A"}, "__call__() got an unexpected keyword argument 'id'"),
    (benchmark.index_components, ("000300.XSHG",), {"day": None},
     "index_components() got an unexpected keyword argument 'day'"),
    (benchmark.BrinsonBenchmark_HS300.get_change_rate, (None,), {},
     "get_change_rate() takes exactly 3 positional arguments (2 given)"),
    (calc.split_by_position, ([],), {}, "split_by_position() takes exactly 2 positional arguments (1 given)"),
    (calc.calc_portfolio_single_period, ([], None), {"x": 1},
     "calc_portfolio_single_period() got an unexpected keyword argument 'x'"),
    (calc.combine, ([], []), {"results": []}, "combine() got multiple values for keyword argument 'results'"),
    (calc.calc_benchmark_single_period, (None,) * 3, {},
     "calc_benchmark_single_period() takes exactly 4 positional arguments (3 given)"),
    (calc.calc_benchmark, (None,) * 4, {}, "calc_benchmark() takes exactly 3 positional arguments (4 given)"),
    (calc.calc, (None,) * 6, {}, "calc() takes exactly 7 positional arguments (6 given)"),
    # Factor exposure.
    (exposure.get_exposure, ([],), {}, "get_exposure() takes exactly 2 positional arguments (1 given)"),
    (exposure._is_new_stock, ("A", None), {"day": None},
     "_is_new_stock() got an unexpected keyword argument 'day'"),
    (exposure.single_exposure_analysis, ({}, None), {"portfolio": {}, "date": None},
     "single_exposure_analysis() got multiple values for keyword argument 'portfolio'"),
    (exposure.to_date, (), {}, "to_date() takes exactly 1 positional argument (0 given)"),
    (exposure.exposure_analysis, ([], None, None, None, None), {},
     "exposure_analysis() takes exactly 4 positional arguments (5 given)"),
    (exposure.exposure_analysis_1, ([], None, None), {"end": None},
     "exposure_analysis_1() got an unexpected keyword argument 'end'"),
    # Profit and style: style_analysis takes its one argument by position only.
    (profit.profit_analysis, (None,), {}, "profit_analysis() takes at least 2 positional arguments (1 given)"),
    (profit.profit_analysis, (1, 2, 3, 4), {}, "profit_analysis() takes at most 3 positional arguments (4 given)"),
    (profit.profit_analysis, (None, None), {"benchmark": None},
     "profit_analysis() got multiple values for keyword argument 'benchmark'"),
    (profit.profit_analysis, (None, None), {"series": None},
     "profit_analysis() got an unexpected keyword argument 'series'"),
    (style.style_analysis, (), {}, "style_analysis() takes exactly one argument (0 given)"),
    (style.style_analysis, (None, None), {}, "style_analysis() takes exactly one argument (2 given)"),
    (style.style_analysis, (), {"portfolio_series": None}, "style_analysis() takes no keyword arguments"),
    (style.style_analysis, (None,), {"x": 1}, "style_analysis() takes no keyword arguments"),
    # Risk.
    (risk.get_risk_free_rate, ("2017-01-03",), {},
     "get_risk_free_rate() takes exactly 2 positional arguments (1 given)"),
    (risk.get_risk_free_rate, ("2017-01-03",), {"end": "2017-02-03"},
     "get_risk_free_rate() got an unexpected keyword argument 'end'"),
    (risk.risk_analysis, (None, "000300.XSHG"), {"benchmark": "000300.XSHG"},
     "risk_analysis() got multiple values for keyword argument 'benchmark'"),
    (risk.risk_analysis, (None, None, None), {},
     "risk_analysis() takes exactly 2 positional arguments (3 given)"),
    # Attribution charts.
    (report.generate_report, (), {}, "generate_report() takes exactly 1 positional argument (0 given)"),
    (report.gen_sector_weights, (None,), {"df": None},
     "gen_sector_weights() got multiple values for keyword argument 'df'"),
    (report.report_figures, (), {"table": None},
     "report_figures() got an unexpected keyword argument 'table'"),
    (perilon.Risk, ([], []), {}, "__init__() takes at least 4 positional arguments (3 given)"),
    # Too few: the count given is the position of the first missing argument, keywords
    # given after it included; too many: the number of positional arguments. Keywords
    # are checked before counts.
    (profit.profit_analysis, (1,), {"benchmark_series": 2},
     "profit_analysis() takes at least 2 positional arguments (1 given)"),
    (profit.profit_analysis, (), {"benchmark": 1, "benchmark_series": 2},
     "profit_analysis() takes at least 2 positional arguments (0 given)"),
    (profit.profit_analysis, (1, 2, 3, 4), {"benchmark_series": None},
     "profit_analysis() got multiple values for keyword argument 'benchmark_series'"),
    (profit.profit_analysis, (1, 2, 3, 4), {"x": None},
     "profit_analysis() got an unexpected keyword argument 'x'"),
    (calc.calc_benchmark_single_period, (None, None), {"end_date": None},
     "calc_benchmark_single_period() takes exactly 4 positional arguments (2 given)"),
    (preprocess.fix_trades, (), {"md": None}, "fix_trades() takes exactly 2 positional arguments (0 given)"),
    (preprocess.fix_backtest_trades, (None, None), {"extra": 1},
     "fix_backtest_trades() got an unexpected keyword argument 'extra'"),
    (perilon.Risk, ([], [], 0.0, 244, 1), {}, "__init__() takes at most 5 positional arguments (6 given)"),
    (perilon.Risk, ([],), {"risk_free_rate": 0.0}, "__init__() takes at least 4 positional arguments (2 given)"),
    (book.apply_trade, (None, None), {}, "apply_trade() takes exactly 2 positional arguments (3 given)"),
    # Keyword-only fields: given by position, they are refused, never bound.
    (TRADE.__init__, (1,) * 7, {}, "__init__() takes exactly 1 positional argument (8 given)"),
    (TRADE.__init__, (1,), {"side": "BUY"},
     "__init__() takes exactly 1 positional argument (2 given)"),
    (perilon.Risk, ([], [], 0.0), {"periods": 12},
     "__init__() got an unexpected keyword argument 'periods'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", CASES)
def test_wrong_calls(market, function, args, kwargs, message):
    before = (book._cash, dict(book._positions), md._price_cache.copy())
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == message
    assert (book._cash, dict(book._positions), md._price_cache) == before
    assert market.count() == 0


def test_signatures_are_visible():
    import inspect
    assert str(inspect.signature(Portfolio)) == "(cash=100000.0, positions=None)"
    assert str(inspect.signature(preprocess.fix_trades)) == "(frame, md)"
    assert str(inspect.signature(exposure.exposure_analysis)) == (
        "(portfolio_series, benchmark, start_date, end_date)")
    assert str(inspect.signature(profit.profit_analysis)) == (
        "(portfolio_series, benchmark, benchmark_series=None)")
    assert str(inspect.signature(style.style_analysis)) == "(portfolio_series, /)"
    assert str(inspect.signature(risk.risk_analysis)) == "(portfolio_series, benchmark)"
    assert str(inspect.signature(report.generate_report)) == "(df)"
    assert str(inspect.signature(perilon.Risk)) == (
        "(returns, benchmark_returns, risk_free_rate, annualization=244)")
    assert str(inspect.signature(CachedMarketDataProvider.get_close_price)) == (
        "(self, order_book_ids, date)")
