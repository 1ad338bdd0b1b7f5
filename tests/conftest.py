"""Fixtures shared by the meridan tests."""

import importlib

import pytest

import markets as _markets
import recording_tickvane as _recording
import tickvane

# Every module of the package is imported before any test installs the recording proxy,
# so that installing it replaces, and its removal restores, the client in each of them
# (modules that copy the client's names at import would otherwise keep the proxy).
for _name in ("meridan.pcalc.portfolio", "meridan.pcalc.preprocess", "meridan.quotes",
              "meridan.pcalc.replay", "meridan.statement", "meridan.cli", "meridan.analysis",
              "meridan.page",
              "meridan.brinson.report", "meridan.brinson.calc", "meridan.brinson.attribution",
              "meridan.brinson.classifier",
              "meridan.brinson.benchmark", "meridan.exposure", "meridan.risk",
              "meridan.profit", "meridan.style"):
    try:
        importlib.import_module(_name)
    except ImportError:
        pass


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "market(name): the small market the `market` fixture opens (default"
        " \"years\"; see tests/support/markets.py)")


@pytest.fixture(scope="session")
def market_maker(tmp_path_factory):
    """Builds the small markets' stores, once per distinct content in a session."""
    return _markets.StoreMaker(tmp_path_factory.mktemp("markets"))


@pytest.fixture
def market(request, market_maker, monkeypatch):
    """The real client over a small market's store (``@pytest.mark.market(name)``,
    "years" by default), behind a recording proxy installed for the test. The returned ``markets.Market`` passes the proxy's recording, forcing and replay
    methods on, and switches to a variant store with ``edit(change)`` or
    ``add_rows(table, *rows)``. The default store is restored afterwards."""
    marker = request.node.get_closest_marker("market")
    name = marker.args[0] if marker else "years"
    proxy = _recording.RecordingTickvane(tickvane)
    try:
        chosen = _markets.Market(market_maker, name, proxy)
        _recording.install(proxy, monkeypatch)
        yield chosen
    finally:
        _markets.release()
