"""Brinson attribution: sector classifiers, index benchmarks and the attribution
engine."""

from meridan import _lazy_submodules

__getattr__, __dir__ = _lazy_submodules(globals(),
                                         ("benchmark", "calc", "classifier", "report"))
