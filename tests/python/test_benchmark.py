"""Index benchmarks and the process-wide memo of the benchmark data functions, over the
"years" market of tests/support/markets.py (000300.XSHG closes at 3000 + k on the k-th
trading day: 3080 on 2016-03-01, 3102 on 2016-03-31)."""

import datetime as dt

import pandas as pd
import pytest

from meridan.brinson import benchmark as bm

D1, D2 = dt.date(2016, 3, 1), dt.date(2016, 3, 31)


@pytest.fixture(autouse=True)
def empty_memo():
    for f in (bm.index_components, bm.index_weights, bm.get_change_rate):
        f.cache_clear()
    yield
    for f in (bm.index_components, bm.index_weights, bm.get_change_rate):
        f.cache_clear()


def test_index_benchmark_answers_from_the_memo(market):
    hs300 = bm.BrinsonBenchmark_HS300
    assert hs300._index == "000300.XSHG" and bm.BrinsonBenchmark_ZZ500._index == "000905.XSHG"
    components = hs300.components(D1)  # the client lists them sorted
    assert components == ["000001.XSHE", "000002.XSHE", "000725.XSHE", "600519.XSHG",
                          "601857.XSHG"]
    weights = hs300.get_weighting(D1)
    assert weights.to_dict() == pytest.approx({"000001.XSHE": 0.30, "000002.XSHE": 0.20,
                                               "600519.XSHG": 0.25, "601857.XSHG": 0.15,
                                               "000725.XSHE": 0.10})
    # Answered from the memo, by the benchmark and the module function alike, by
    # position or by keyword.
    assert hs300.components(D1) == components
    assert bm.index_weights(order_book_id="000300.XSHG", date=D1).equals(weights)
    assert [(c.name, c.args, c.kwargs) for c in market.calls] == [
        ("index_components", ("000300.XSHG", D1), {}),
        ("index_weights", ("000300.XSHG", D1), {})]
    info = bm.index_components.cache_info()
    assert (info.hits, info.misses, info.maxsize) == (1, 1, None)
    assert bm.index_weights.cache_parameters() == {"maxsize": None, "typed": False}


def _edit_list(items):
    items.append("999999.XSHE")
    items[0] = "edited"


def _edit_series(weights):
    weights.iloc[0] = 99.0
    weights["999999.XSHE"] = 1.0
    weights.index.name = "edited"


@pytest.mark.parametrize("ask, edit", [
    (lambda: bm.BrinsonBenchmark_HS300.components(D1), _edit_list),
    (lambda: bm.index_components("000300.XSHG", D1), _edit_list),
    (lambda: bm.BrinsonBenchmark_HS300.get_weighting(D1), _edit_series),
    (lambda: bm.index_weights("000300.XSHG", D1), _edit_series),
])
def test_a_caller_editing_an_answer_leaves_the_memo_as_it_was(market, ask, edit):
    first = ask()
    kept = first.copy()
    edit(first)
    again = ask()
    assert again is not first
    assert list(again) == list(kept)
    if isinstance(kept, pd.Series):
        assert again.equals(kept) and list(again.index) == list(kept.index)
        assert again.index.name == kept.index.name
    assert market.count() == 1


def test_change_rate_is_last_over_first_unadjusted_close(market):
    rate = bm.BrinsonBenchmark_HS300.get_change_rate(D1, D2)
    assert type(rate) is float
    assert rate == pytest.approx(3102.0 / 3080.0 - 1, abs=1e-15)
    bm.get_change_rate("000300.XSHG", D1, D2)
    assert [(c.args, c.kwargs) for c in market.calls] == [
        (("000300.XSHG", D1, D2), {"fields": "close", "adjust_type": "none"})]
    assert bm.get_change_rate("000300.XSHG", D1, D1) == 0.0


@pytest.mark.parametrize("reply, error", [
    (pd.Series([], dtype=float), IndexError),
    (None, TypeError),
])
def test_change_rate_failures_are_not_memoised(market, reply, error):
    market.set_replies("get_price", [reply])
    with pytest.raises(error):
        bm.get_change_rate("000300.XSHG", D1, D2)
    assert bm.get_change_rate.cache_info().currsize == 0
    bm.get_change_rate("000300.XSHG", D1, D2)
    assert market.count("get_price") == 2


def test_base_class_is_abstract(market):
    base = bm.BrinsonBenchmark()
    for call in (lambda: base.components(D1), lambda: base.get_weighting(D1),
                 lambda: base.get_change_rate(D1, D2)):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert info.value.args == ()
    assert market.count() == 0


def test_the_memos_forget_a_store_that_was_closed(market):
    # Another store chosen, or the file replaced by a fetch, closes the one open: what
    # it answered is asked again of the next.
    import tickvane

    memos = (bm.index_components, bm.index_weights, bm.get_change_rate)
    bm.BrinsonBenchmark_HS300.components(D1)
    bm.BrinsonBenchmark_HS300.get_weighting(D1)
    bm.get_change_rate("000300.XSHG", D1, D2)
    assert [f.cache_info().currsize for f in memos] == [1, 1, 1]
    tickvane.close_store()
    assert [f.cache_info().currsize for f in memos] == [0, 0, 0]
    bm.BrinsonBenchmark_HS300.components(D1)
    assert market.count("index_components") == 2
