"""Fixtures shared by the meridan tests."""

import importlib

import pytest

import fake_tickvane as _fake

# Every module of the package is imported before any test installs the fake client, so
# that installing it replaces, and its removal restores, the real one in each of them
# (modules that copy the client's names at import would otherwise keep the fake).
for _name in ("meridan.pcalc.portfolio", "meridan.pcalc.preprocess", "meridan.quotes",
              "meridan.pcalc.replay", "meridan.statement", "meridan.cli",
              "meridan.brinson.report", "meridan.brinson.calc", "meridan.brinson.classifier",
              "meridan.brinson.benchmark", "meridan.exposure", "meridan.risk",
              "meridan.profit", "meridan.style"):
    try:
        importlib.import_module(_name)
    except ImportError:
        pass


@pytest.fixture
def fake_tickvane(monkeypatch):
    """A fresh in-memory market-data client with the built-in market, installed for
    the test: in ``sys.modules["tickvane"]`` and in every meridan module already
    imported. Edit its tables, force replies and read its recorded calls through the
    returned object (see ``fake_tickvane.FakeTickvane``)."""
    fake = _fake.FakeTickvane()
    _fake.install(fake, monkeypatch)
    return fake
