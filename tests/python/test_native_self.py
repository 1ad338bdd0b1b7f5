"""Methods of the native classes refuse a receiver of another type, as the
interpreter's own method descriptors do, instead of taking its memory for theirs.

The calls run in a child interpreter, so that a crash fails the test rather than
ending the test run."""

import json
import subprocess
import sys

PROBE = r'''
import importlib, inspect, json, pkgutil
import meridan, perilon


def is_native(value):
    kind = type(value)
    return kind.__module__ == "meridan" and kind.__qualname__ == "function"


modules = []
for package in (meridan, perilon):
    modules.append(package)
    for info in pkgutil.walk_packages(package.__path__, package.__name__ + "."):
        if not info.name.endswith("__main__"):
            modules.append(importlib.import_module(info.name))

# Every class that holds methods made by the shared helpers, found wherever a
# module offers it, and every such method in the class's own namespace.
classes = {}
for module in modules:
    for value in vars(module).values():
        if isinstance(value, type) and any(is_native(v) for v in vars(value).values()):
            classes[f"{value.__module__}.{value.__qualname__}"] = value
methods = [(cls, name, f) for cls in classes.values()
           for name, f in vars(cls).items() if is_native(f)]


class Slotted:
    __slots__ = tuple("abcdefgh")

    def __init__(self):
        for name in "abcdefgh":
            setattr(self, name, name)

    def fields(self):
        return [getattr(self, name) for name in "abcdefgh"]


def arguments(f):
    """Placeholder values for the parameters after the receiver, so that a method
    without the check would go on into its body."""
    args, kwargs = [], {}
    for p in list(inspect.signature(f).parameters.values())[1:]:
        if p.default is not p.empty:
            continue
        if p.kind is p.KEYWORD_ONLY:
            kwargs[p.name] = None
        else:
            args.append(None)
    return args, kwargs


others = [cls.__new__(cls) for cls in classes.values()]
failures, calls = [], 0
for cls, name, f in methods:
    args, kwargs = arguments(f)
    slotted = Slotted()
    wrong = [None, 1, [], slotted] + [o for o in others if not isinstance(o, cls)]
    borrower = type("Borrower", (Slotted,), {"__slots__": (), "method": f})()
    attempts = [(w, lambda w=w: f(w, *args, **kwargs)) for w in wrong]
    attempts.append((borrower, lambda: borrower.method(*args, **kwargs)))
    for receiver, attempt in attempts:
        calls += 1
        expected = (f"descriptor '{name}' for '{cls.__name__}' objects doesn't apply "
                    f"to a '{type(receiver).__name__}' object")
        try:
            attempt()
            failures.append([cls.__qualname__, name, type(receiver).__name__, "no error"])
        except TypeError as error:
            if str(error) != expected:
                failures.append([cls.__qualname__, name, type(receiver).__name__, str(error)])
        except Exception as error:
            failures.append([cls.__qualname__, name, type(receiver).__name__, repr(error)])
    if slotted.fields() != list("abcdefgh") or borrower.fields() != list("abcdefgh"):
        failures.append([cls.__qualname__, name, "Slotted", "fields changed"])

# The book calls its positions' methods itself: one whose class borrowed Position's
# is refused there too, and the book is left as it was.
from meridan.pcalc.portfolio import Portfolio, Position
from meridan.pcalc.trade import Trade

Lookalike = type("Lookalike", (Slotted,), {"__slots__": (),
                                           "apply_trade": Position.apply_trade})
book = Portfolio(1000)
book._positions["A"] = lookalike = Lookalike()
trade = Trade(datetime=None, order_book_id="A", symbol="A", last_price=1.0,
              last_quantity=1, side="BUY", transaction_cost=0.0)
try:
    book.apply_trade(trade)
    failures.append(["Portfolio", "apply_trade", "Lookalike", "no error"])
except TypeError as error:
    if "descriptor 'apply_trade' for 'Position'" not in str(error):
        failures.append(["Portfolio", "apply_trade", "Lookalike", str(error)])
if book._cash != 1000 or lookalike.fields() != list("abcdefgh"):
    failures.append(["Portfolio", "apply_trade", "Lookalike", "book changed"])

print(json.dumps({"classes": sorted(classes), "calls": calls, "failures": failures}))
'''


def test_every_native_method_refuses_a_receiver_of_another_type():
    run = subprocess.run([sys.executable, "-c", PROBE], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    report = json.loads(run.stdout.splitlines()[-1])
    assert report["failures"] == []
    # Discovery found the classes of every module that makes them.
    assert {"meridan.pcalc.portfolio.Portfolio", "meridan.pcalc.portfolio.Positions",
            "meridan.pcalc.position.Position", "meridan.pcalc.trade.Trade",
            "meridan.quotes.MarketDataProvider", "meridan.quotes.CachedMarketDataProvider",
            "meridan.brinson.benchmark.BrinsonBenchmark",
            "meridan.brinson.benchmark.IndexBenchmark",
            "meridan.brinson.classifier.SectorDecider",
            "meridan.brinson.classifier.MSCISectorDecider",
            "meridan.brinson.classifier.ShenWanSectorDecider",
            "perilon.Risk"} <= set(report["classes"])
    assert report["calls"] > 300
