"""Fixtures shared by the meridan tests."""

import pytest

import fake_tickvane as _fake


@pytest.fixture
def fake_tickvane(monkeypatch):
    """A fresh in-memory market-data client with the built-in market, installed for
    the test: in ``sys.modules["tickvane"]`` and in every meridan module already
    imported. Edit its tables, force replies and read its recorded calls through the
    returned object (see ``fake_tickvane.FakeTickvane``)."""
    fake = _fake.FakeTickvane()
    _fake.install(fake, monkeypatch)
    return fake
