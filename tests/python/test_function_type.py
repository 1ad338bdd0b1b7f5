"""Functions of the extension modules as objects: the garbage collector sees what
they hold, so cycles through them are collected, and they pickle as references to
the name they are found under, as Python functions do."""

import functools
import gc
import importlib
import pickle
import pkgutil
import sys
import weakref

import pytest

import meridan
import perilon
from meridan import _callpath
from meridan.pcalc.portfolio import Portfolio

pytestmark = pytest.mark.sanitize


def is_native(value):
    kind = type(value)
    return kind.__module__ == "meridan" and kind.__qualname__ == "function"


def public_functions():
    """Every function of every extension module, found under its own module and
    name: module functions not starting with "_", and every function in the namespace
    of a class the module defines."""
    found = {}
    for package in (meridan, perilon):
        names = [package.__name__] + [
            info.name for info in pkgutil.walk_packages(package.__path__,
                                                        package.__name__ + ".")
            if not info.name.endswith("__main__")]
        for name in names:
            module = importlib.import_module(name)
            for attr, value in vars(module).items():
                if is_native(value) and not attr.startswith("_"):
                    if value.__module__ == name:
                        found[f"{name}.{value.__qualname__}"] = value
                elif isinstance(value, type) and value.__module__ == name:
                    for f in vars(value).values():
                        if is_native(f):
                            found[f"{name}.{f.__qualname__}"] = f
    return found


FUNCTIONS = public_functions()


def test_discovery_finds_the_functions_of_every_module():
    modules = {f.__module__ for f in FUNCTIONS.values()}
    assert {"meridan.brinson.calc", "meridan.brinson.classifier", "meridan.exposure",
            "meridan.risk", "meridan.pcalc.portfolio", "meridan.quotes",
            "perilon"} <= modules
    assert "meridan.pcalc.portfolio.Portfolio.apply_trade" in FUNCTIONS
    assert len(FUNCTIONS) > 50


@pytest.mark.parametrize("qualified", sorted(FUNCTIONS))
def test_a_function_pickles_as_itself_and_shows_what_it_holds(qualified):
    f = FUNCTIONS[qualified]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    # A method holds its class; a module function, the module its body reads.
    owner = sys.modules[f.__module__]
    for part in f.__qualname__.split(".")[:-1]:
        owner = getattr(owner, part)
    assert any(r is owner for r in gc.get_referents(f))


def test_a_partial_of_a_function_crosses_a_pickle():
    book = Portfolio(positions={"A": 1})
    part = pickle.loads(pickle.dumps(functools.partial(Portfolio.holdings)))
    assert part.func is Portfolio.holdings and part(book) == ["A"]


def test_a_function_under_no_name_is_refused_by_pickle():
    f = _callpath.closure(1)
    assert f() == 1
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(f)


def test_the_collector_sees_the_objects_a_body_uses_and_the_dict():
    value = object()
    f = _callpath.closure(value)
    f.note = [1]
    held = gc.get_referents(f)
    assert any(r is value for r in held) and any(r is f.__dict__ for r in held)
    assert gc.is_tracked(f)


class Node:
    pass


@pytest.mark.parametrize("link", ["used by the body", "in the function's __dict__"])
def test_a_cycle_through_a_function_is_collected(link):
    node = Node()
    if link == "used by the body":
        f = _callpath.closure(node)
    else:
        f = _callpath.closure(None)
        f.node = node
    node.f = f  # node -> f -> node
    node_ref = weakref.ref(node)
    del node, f
    gc.collect()
    assert node_ref() is None


# ---- one runtime library for every extension module -------------------------------

def test_every_module_calls_through_one_function_type():
    """The extension modules link one shared runtime: their functions are objects of
    one type, so a call from one module into another's function takes the same path
    as a call within a module."""
    kinds = {type(f) for f in FUNCTIONS.values()}
    assert len(kinds) == 1
    from meridan.brinson import benchmark, calc
    from meridan.pcalc import portfolio
    assert type(calc.calc) is type(benchmark.index_components) is \
        type(portfolio.Portfolio.apply_trade) is type(perilon.Risk.__init__)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_the_runtime_library_is_loaded_once():
    with open("/proc/self/maps") as maps:
        loaded = {line.split(None, 5)[-1].strip() for line in maps
                  if "libmeridan_bind" in line}
    assert len(loaded) == 1, loaded
    (path,) = loaded
    # Installed beside the package's Python files, where every module's rpath looks.
    assert path.rsplit("/", 2)[-2] == "meridan"


# ---- what the bodies hold ----------------------------------------------------------

def held_by(qualified):
    """The module and the object at `qualified`, a dotted path under a module."""
    module_name, _, attr = qualified.partition(":")
    module = importlib.import_module(module_name)
    value = module
    for part in attr.split("."):
        value = vars(value)[part] if isinstance(value, type) else getattr(value, part)
    return module, value


# Functions whose bodies read their module's globals at call time (the client, the
# classes they make), or objects of other modules: each shows them to the collector.
HOLDS = [
    ("meridan.quotes:CachedMarketDataProvider._fill_price_cache", ["module"]),
    ("meridan.quotes:CachedMarketDataProvider.get_split_coefficient", ["module"]),
    ("meridan.brinson.classifier:MSCISectorDecider.all_sectors", ["module"]),
    ("meridan.brinson.classifier:ShenWanSectorDecider.__call__", ["module"]),
    ("meridan.brinson.benchmark:IndexBenchmark.components", ["module"]),
    ("meridan.pcalc.trade:Trade.__reduce__", ["module"]),
    ("meridan.pcalc.portfolio:Positions.__missing__", ["module"]),
    ("meridan.pcalc.portfolio:Portfolio.__init__", ["module", "Positions"]),
    ("meridan.pcalc.portfolio:Portfolio.apply_trade", ["Position", "Trade"]),
    ("meridan.pcalc.position:Position.apply_trade", ["Trade"]),
]


@pytest.mark.parametrize("qualified, names", HOLDS, ids=[q for q, _ in HOLDS])
def test_a_body_shows_what_it_reads(qualified, names):
    module, f = held_by(qualified)
    from meridan.pcalc.trade import Trade
    known = {"module": module, "Positions": getattr(module, "Positions", None),
             "Position": getattr(module, "Position", None), "Trade": Trade}
    referents = gc.get_referents(f)
    for name in names:
        assert any(r is known[name] for r in referents), name


def test_a_memoised_function_shows_its_memo():
    from meridan.brinson import benchmark
    f = benchmark.index_components
    memo = next(r for r in gc.get_referents(f) if hasattr(r, "cache_info"))
    assert memo.cache_info is not None and f.cache_clear.__self__ is memo


# ---- one conversion of numbers -----------------------------------------------------

def test_a_chart_names_the_cell_that_is_not_a_number():
    import pandas as pd

    from meridan.brinson import report
    df = pd.DataFrame({"PortfolioWeight": [0.5, 1.0], "BenchmarkWeight": ["heavy", 1.0]},
                      index=["银行", "总计"])
    with pytest.raises(TypeError, match=r"df\['BenchmarkWeight'\] must be a number, "
                                        r"got 'heavy'"):
        report.report_figures(df)
