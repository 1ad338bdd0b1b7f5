# Written by tools/make_stubs.py from the compiled module; regenerate it, do not edit.
"""Probe of the method-call path used by the extension modules."""

from typing import Any

class Probe:
    """An object whose ping(x) returns x."""
    def ping(self, x: Any) -> Any:
        """Returns x."""

def call_ping(obj: Any, x: Any, n: int) -> Any:
    """Calls obj.ping(x) n times from C++ and returns the last result."""

def closure(value: Any) -> Any:
    """A new function of no arguments that returns value, which it holds."""
