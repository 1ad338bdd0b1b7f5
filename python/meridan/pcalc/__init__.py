"""Position calculator: trade and position normalisation and the portfolio book."""

from meridan import _lazy_submodules

__getattr__, __dir__ = _lazy_submodules(
    globals(), ("portfolio", "position", "preprocess", "replay", "trade"))
