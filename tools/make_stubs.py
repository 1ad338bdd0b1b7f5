"""Writes the type stubs (.pyi) of the compiled modules beside them under python/.

Run after changing what a binding exposes, with the modules built in place (beside their
sources under python/):  python tools/make_stubs.py  (--check: only report stale stubs)

Each stub is read off the live module: the functions, classes and methods it defines
with the parameters their ``__text_signature__`` reports, its documentation, the slots
and constants it holds, and the names it takes from the package's other modules.
Annotations come from the table below where a type is plain (a pandas Series or
DataFrame, a float, a str, a dict, a list); everything else is ``Any``.
"""

import argparse
import ast
import importlib
import importlib.machinery
import inspect
import pathlib
import sys
import types

ROOT = pathlib.Path(__file__).resolve().parents[1]
SOURCE = ROOT / "python"
PACKAGES = ("meridan", "tickvane", "perilon")
WIDTH = 100

HEADER = ("# Written by tools/make_stubs.py from the compiled module; "
          "regenerate it, do not edit.\n")

# Parameters whose type is the same wherever they appear.
PARAMETERS = {
    "order_book_id": "str",
    "order_book_ids": "list[str]",
    "df": "pd.DataFrame",
    "frame": "pd.DataFrame",
    "values": "pd.Series",
    "flows": "pd.Series | None",
    "benchmark_series": "pd.Series | None",
    "method": "str",
    "adjust_type": "str",
    "cash": "float",
    "amount": "float",
    "positions": "dict[str, Any] | None",
    "splits": "dict[str, float]",
    "dividends": "dict[str, float]",
    "key": "str",
    "risk_free_rate": "float",
    "annualization": "int",
    "returns": "pd.Series",
    "benchmark_returns": "pd.Series",
    "symbol": "str",
    "side": "str",
    "last_price": "float",
    "last_quantity": "float",
    "transaction_cost": "float",
    "n": "int",
}

SERIES_PAIR = "tuple[pd.Series, pd.Series]"
# Per callable (module-relative qualified name): the return type, and parameters whose
# type differs from the table above.
CALLABLES = {
    "meridan.exposure": {
        "get_exposure": ("pd.DataFrame", {}),
        "_is_new_stock": ("bool", {"date": "pd.Timestamp"}),
        "single_exposure_analysis": ("dict[str, Any]", {}),
        "exposure_analysis": ("dict[str, dict[str, Any]]", {"portfolio_series": "list[Any]"}),
        "exposure_analysis_1": ("dict[str, dict[str, Any]]",
                                {"portfolio_series": "list[Any]"}),
    },
    "meridan.flows": {
        "unit_values": (SERIES_PAIR, {}),
        "money_weighted_return": ("float", {}),
    },
    "meridan.profit": {
        "profit_analysis": ("dict[str, Any]", {"portfolio_series": "pd.Series",
                                               "benchmark": "str | None"}),
    },
    "meridan.risk": {
        "risk_analysis": ("dict[str, Any]", {"portfolio_series": "pd.Series",
                                             "benchmark": "str"}),
    },
    "meridan.style": {
        "style_analysis": ("dict[str, Any]", {"portfolio_series": "pd.Series"}),
    },
    "meridan.quotes": {
        "MarketDataProvider.get_close_price": ("dict[str, float]", {}),
        "MarketDataProvider.get_dividend_per_share": ("dict[str, float]", {}),
        "MarketDataProvider.get_split_coefficient": ("dict[str, float]", {}),
        "CachedMarketDataProvider.get_close_price": ("dict[str, float]", {}),
        "CachedMarketDataProvider.get_dividend_per_share": ("dict[str, float]", {}),
        "CachedMarketDataProvider.get_split_coefficient": ("dict[str, float]", {}),
        "CachedMarketDataProvider._fill_price_cache": ("None", {}),
    },
    "meridan.pcalc.portfolio": {
        "Positions.__missing__": ("Position", {}),
        "Portfolio.holdings": ("list[str]", {}),
        "Portfolio.apply_trade": ("None", {"trade": "Trade"}),
        "Portfolio.get_position": ("Position", {}),
        "Portfolio.apply_split": ("None", {}),
        "Portfolio.apply_dividend": ("None", {}),
        "Portfolio.apply_cash": ("None", {}),
    },
    "meridan.pcalc.position": {
        "Position.__init__": ("None", {"quantity": "float"}),
        "Position.apply_trade": ("None", {"trade": "Trade"}),
    },
    "meridan.pcalc.preprocess": {
        "fix_positions": ("dict[str, Any]", {}),
        "fix_trades": ("list[Trade]", {}),
        "fix_backtest_trades": ("list[Trade]", {}),
    },
    "meridan.pcalc.trade": {
        "_share_fields": ("None", {"trades": "list[Trade]", "pool": "dict[Any, Any]"}),
    },
    "meridan.brinson.report": {
        "gen_sector_weights": ("None", {}),
        "generate_report": ("None", {}),
        "report_figures": ("tuple[Any, Any]", {}),
    },
    "meridan.brinson.calc": {
        "split_by_position": ("list[list[Any]]", {"portfolio_series": "list[Any]"}),
        "calc_portfolio_single_period": (SERIES_PAIR, {"portfolio": "list[Any]"}),
        "combine": (SERIES_PAIR, {"results": "list[Any]", "sectors": "list[str]"}),
        "calc_benchmark_single_period": (SERIES_PAIR, {}),
        "calc_benchmark": (SERIES_PAIR, {"dates": "list[Any]"}),
        "calc": ("pd.DataFrame", {"portfolio_series": "list[Any]"}),
    },
    "meridan.brinson.benchmark": {
        "index_components": ("list[str]", {}),
        "index_weights": ("pd.Series", {}),
        "get_change_rate": ("float", {}),
        "BrinsonBenchmark.components": ("list[str]", {}),
        "BrinsonBenchmark.get_weighting": ("pd.Series", {}),
        "BrinsonBenchmark.get_change_rate": ("float", {}),
        "IndexBenchmark.components": ("list[str]", {}),
        "IndexBenchmark.get_weighting": ("pd.Series", {}),
        "IndexBenchmark.get_change_rate": ("float", {}),
    },
    "meridan.brinson.classifier": {
        "SectorDecider.all_sectors": ("list[str]", {}),
        "SectorDecider.__call__": ("str", {}),
        "MSCISectorDecider.all_sectors": ("list[str]", {}),
        "MSCISectorDecider.__call__": ("str", {}),
        "ShenWanSectorDecider.all_sectors": ("list[str]", {}),
        "ShenWanSectorDecider.__call__": ("str", {}),
    },
}

# Base classes written with their parameters.
BASES = {"Positions": "dict[str, Position]"}
# Classes of other modules that annotations name.
TYPES = {"Trade": "meridan.pcalc.trade", "Position": "meridan.pcalc.position"}

# Special methods whose result type is fixed by the language.
DUNDER_RETURNS = {"__init__": "None", "__setattr__": "None", "__delattr__": "None",
                  "__hash__": "int", "__eq__": "bool", "__repr__": "str"}
DUNDER_PARAMETERS = {"other": "object", "name": "str"}

# Slots and attributes set by a constructor, by class.
ATTRIBUTES = {
    "Trade": {"datetime": "Any", "order_book_id": "str", "symbol": "str",
              "last_price": "float", "last_quantity": "float", "side": "str",
              "transaction_cost": "float"},
    "Position": {"order_book_id": "str", "quantity": "float", "avg_price": "float"},
    "Risk": {name: "float" for name in (
        "annual_return", "alpha", "beta", "sharpe", "sortino", "max_drawdown", "var",
        "volatility", "tracking_error", "information_ratio", "downside_risk", "calmar",
        "win_rate", "skewness", "kurtosis", "up_capture", "down_capture", "tail_ratio",
        "stability")},
}


def compiled_modules(source=SOURCE):
    """Dotted names of the compiled modules of the packages, sorted: those under
    `source` and, for an editable install that keeps them elsewhere, those in every
    folder of the imported package's path."""
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    names = set()
    for package in PACKAGES:
        roots = [source / package]
        try:
            roots += [pathlib.Path(p) for p in importlib.import_module(package).__path__]
        except ImportError:
            pass
        for root in roots:
            for path in root.rglob("*"):
                suffix = next((s for s in suffixes if path.name.endswith(s)), None)
                if suffix:
                    parts = (package,) + path.relative_to(root).parts
                    names.add(".".join(parts[:-1] + (path.name[:-len(suffix)],)))
    return sorted(names)


def text_signature(obj):
    """The `__text_signature__` of a callable (or of the function a memo wraps), or
    None."""
    sig = getattr(obj, "__text_signature__", None)
    if sig is None and hasattr(obj, "__wrapped__"):
        sig = getattr(obj.__wrapped__, "__text_signature__", None)
    return sig


def parameters(sig):
    """The parameters of a text signature as an ast.arguments (`$self` read as
    `self`)."""
    return ast.parse(f"def f{sig.replace('$', '')}: pass").body[0].args


def owns(module, obj):
    """Whether `obj` is defined by `module` (or given to its package's public name)."""
    where = getattr(obj, "__module__", None)
    return where == module.__name__ or module.__name__.startswith(f"{where}.")


def docstring(obj, indent):
    doc = inspect.cleandoc(obj.__doc__ or "")
    if not doc:
        return ""
    doc = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if doc.endswith('"'):
        doc += " "
    lines = doc.split("\n")
    body = "\n".join((indent + line) if line else "" for line in lines[1:])
    return f'{indent}"""{lines[0]}' + (f"\n{body}\n{indent}" if body else "") + '"""\n'


def render_def(name, sig, returns, overrides, indent):
    """One `def` line (wrapped when longer than the code's width) from a text
    signature."""
    args = parameters(sig)
    dunder = name.startswith("__")

    def one(arg, default=None):
        text = arg.arg
        if arg.arg not in ("self", "cls", "type"):
            annotation = (overrides.get(arg.arg) or (dunder and DUNDER_PARAMETERS.get(arg.arg))
                          or PARAMETERS.get(arg.arg) or "Any")
            text += f": {annotation}"
            if default is not None:
                text += f" = {ast.unparse(default)}"
        elif default is not None:
            text += f"={ast.unparse(default)}"
        return text

    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    items = [one(a, d) for a, d in zip(positional, defaults)]
    if args.posonlyargs:
        items.insert(len(args.posonlyargs), "/")
    if args.vararg:
        items.append("*" + one(args.vararg))
    elif args.kwonlyargs:
        items.append("*")
    items += [one(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        items.append("**" + one(args.kwarg))
    head = f"{indent}def {name}("
    tail = f") -> {returns}:"
    line = head + ", ".join(items) + tail
    if len(line) > WIDTH:
        inner = indent + "    "
        line = head + "\n" + "".join(f"{inner}{item},\n" for item in items) + indent + tail
    return line


def value_type(value):
    """The annotation of a constant: containers with their element type when all their
    elements share one plain type."""
    def common(items):
        kinds = {type(item).__name__ for item in items}
        return kinds.pop() if len(kinds) == 1 and kinds <= {"str", "int", "float"} else "Any"

    if isinstance(value, dict):
        return f"dict[{common(value)}, {common(value.values())}]"
    if isinstance(value, list):
        return f"list[{common(value)}]"
    if isinstance(value, tuple):
        return f"tuple[{common(value)}, ...]"
    return type(value).__name__ if type(value).__module__ == "builtins" else "Any"


def render_function(module_table, qualname, obj, indent=""):
    name = qualname.rsplit(".", 1)[-1]
    returns, overrides = module_table.get(qualname, (DUNDER_RETURNS.get(name, "Any"), {}))
    text = render_def(name, text_signature(obj), returns, overrides, indent)
    doc = docstring(obj, indent + "    ")
    return text + ("\n" + doc if doc else " ...\n")


def render_class(module, module_table, name, cls):
    bases = [b for b in cls.__bases__ if b is not object]
    base_text = BASES.get(name) or ", ".join(
        b.__name__ if owns(module, b) or b.__module__ == "builtins" else
        f"{b.__module__}.{b.__name__}" for b in bases)
    out = [f"class {name}({base_text}):\n" if base_text else f"class {name}:\n"]
    doc = docstring(cls, "    ")
    out.append(doc)
    members = []
    for attr, annotation in ATTRIBUTES.get(name, {}).items():
        members.append(f"    {attr}: {annotation}\n")
    for attr, value in vars(cls).items():
        if attr.startswith("__") or attr in ATTRIBUTES.get(name, {}):
            continue
        if isinstance(value, types.MemberDescriptorType):
            members.append(f"    {attr}: Any\n")
        elif not callable(value) and not isinstance(value, (property, staticmethod)):
            members.append(f"    {attr}: {value_type(value)}\n")
    for attr, value in vars(cls).items():
        if callable(value) and text_signature(value) is not None:
            members.append(render_function(module_table, f"{name}.{attr}", value, "    "))
    if not members and not doc:
        members.append("    ...\n")
    out += members
    return "".join(out)


def render(module_name):
    """The stub text of one compiled module."""
    module = importlib.import_module(module_name)
    table = CALLABLES.get(module_name, {})
    imports, constants, bodies = [], [], []
    for name, obj in vars(module).items():
        if name.startswith("__") or isinstance(obj, types.ModuleType):
            continue
        if owns(module, obj) and isinstance(obj, type):
            bodies.append(render_class(module, table, name, obj))
        elif owns(module, obj) and callable(obj) and text_signature(obj) is not None:
            bodies.append(render_function(table, name, obj))
        elif isinstance(getattr(obj, "__module__", None), str) and (
                isinstance(obj, type) or callable(obj)):
            home = obj.__module__
            if home.split(".")[0] in PACKAGES and getattr(obj, "__name__", None) == name:
                imports.append((home, name))
        elif type(obj).__module__ == module_name or owns(module, type(obj)):
            constants.append(f"{name}: {type(obj).__name__}\n")
        elif type(obj).__module__ == "builtins":
            constants.append(f"{name}: {value_type(obj)}\n")
    text = "".join(constants) + "\n" + "\n".join(bodies)
    head = HEADER
    if module.__doc__:
        head += docstring(module, "")
    # The names the annotations use (documentation aside) decide what is imported.
    tree = ast.parse(text)
    used = {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}
    defined = {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
    # Standard library, third-party and our own imports, each block on its own.
    blocks = [line for line in (
        "from typing import Any" if "Any" in used else "",
        "import pandas as pd" if "pd" in used else "",
    ) if line]
    extra = [(home, kind) for kind, home in TYPES.items()
             if kind in used and kind not in defined and (home, kind) not in imports]
    if imports or extra:
        blocks.append("\n".join(
            f"from {home} import {name} as {name}" if (home, name) in imports
            else f"from {home} import {name}"
            for home, name in sorted(set(imports) | set(extra))))
    out = head + ("\n" + "\n\n".join(blocks) + "\n" if blocks else "")
    return out + "\n" + text.strip("\n") + "\n"


def stub_path(module_name, source=SOURCE):
    return source.joinpath(*module_name.split(".")).with_suffix(".pyi")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="write nothing; exit 1 when a stub differs from the module")
    args = parser.parse_args(argv)
    sys.path.insert(0, str(SOURCE))
    stale = []
    for name in compiled_modules():
        path, text = stub_path(name), render(name)
        if path.exists() and path.read_text(encoding="utf-8") == text:
            continue
        stale.append(path)
        if not args.check:
            path.write_text(text, encoding="utf-8")
    # A package with compiled modules declares that its stubs are to be read.
    for package in sorted({name.split(".")[0] for name in compiled_modules()}):
        marker = SOURCE / package / "py.typed"
        if not marker.exists():
            stale.append(marker)
            if not args.check:
                marker.write_text("")
    for path in stale:
        print(("stale: " if args.check else "wrote: ") + str(path.relative_to(ROOT)))
    return 1 if args.check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
