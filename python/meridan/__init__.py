"""Portfolio analytics for Chinese A-share stock portfolios.

``import meridan`` loads nothing else: each submodule (``meridan.risk``,
``meridan.brinson`` ...) is imported on its first use as an attribute, so
``meridan.risk.risk_analysis(...)`` works after a plain ``import meridan``.
``meridan.sample_statement()`` is the path of the sample broker statement shipped
with the package.
"""

import importlib

__all__ = ["EmptyInputError", "sample_statement"]


class EmptyInputError(ValueError, IndexError):
    """An analysis was given nothing to analyse: an empty series, or no snapshot in the
    range. Both a ValueError and the IndexError ("no first element") that callers have
    always caught."""

_SUBMODULES = ("brinson", "cli", "exposure", "flows", "pcalc", "profit", "quotes",
               "risk", "statement", "style", "util")


def sample_statement():
    """The path of the sample settlement statement (交割单) shipped with the package: 31
    buys and sales of twelve CSI 300 stocks in 2024 and 2025, with a few rows that are
    not trades. ``meridan analyse`` takes it as it takes any statement file."""
    import os

    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                        "sample_statement.csv")


def _lazy_submodules(package, names):
    """The module ``__getattr__`` and ``__dir__`` of `package` (its globals) that import
    each of `names` on first use as an attribute."""
    def __getattr__(name):
        if name in names:
            # import_module binds the submodule as an attribute of the package, so
            # this runs once per name.
            return importlib.import_module(f"{package['__name__']}.{name}")
        raise AttributeError(f"module {package['__name__']!r} has no attribute {name!r}")

    def __dir__():
        return sorted(set(package) | set(names))

    return __getattr__, __dir__


__getattr__, __dir__ = _lazy_submodules(globals(), _SUBMODULES)
