"""Portfolio analytics for Chinese A-share stock portfolios.

``import meridan`` loads nothing else: each submodule (``meridan.risk``,
``meridan.brinson`` ...) is imported on its first use as an attribute, so
``meridan.risk.risk_analysis(...)`` works after a plain ``import meridan``.
``meridan.sample_statement()`` is the path of the sample broker statement shipped
with the package.
"""

import importlib

__all__ = ["sample_statement"]

_SUBMODULES = ("brinson", "cli", "exposure", "pcalc", "profit", "quotes", "risk",
               "statement", "style", "util")


def sample_statement():
    """The path of the sample settlement statement (交割单) shipped with the package: 31
    buys and sales of twelve CSI 300 stocks in 2024 and 2025, with a few rows that are
    not trades. ``meridan analyse`` takes it as it takes any statement file."""
    import os

    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                        "sample_statement.csv")


def __getattr__(name):
    if name in _SUBMODULES:
        # import_module binds the submodule as an attribute of the package, so this runs
        # once per name.
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_SUBMODULES))
