"""Brinson attribution: sector classifiers, index benchmarks, the attribution engine
(`calc`) and the multi-period attribution whose effects add up (`attribute`)."""

from meridan import _lazy_submodules

_SUBMODULES = ("attribution", "benchmark", "calc", "classifier", "report")
_submodule, _dir = _lazy_submodules(globals(), _SUBMODULES)


def __getattr__(name):
    # `attribute` lives in its own extension module, imported on first use like the
    # submodules, so that importing the package stays cheap.
    if name == "attribute":
        from meridan.brinson.attribution import attribute
        globals()["attribute"] = attribute
        return attribute
    return _submodule(name)


def __dir__():
    return sorted(set(_dir()) | {"attribute"})
