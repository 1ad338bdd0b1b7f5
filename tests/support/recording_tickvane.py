"""A recording proxy of the market-data client ``tickvane``, for tests and benchmarks.

``RecordingTickvane(tickvane)`` offers every name of ``tickvane.__all__``; each call
goes to the real client (over whatever store it reads) and is recorded as a
``Call(name, args, kwargs, seconds, error, replayed)`` in ``proxy.calls``. Other
attributes (``StoreError``, ``Instrument``, ``store_path`` ...) are the client's own.
``install(proxy, monkeypatch)`` puts it in ``sys.modules["tickvane"]`` and in every
meridan module already imported.

- Recording: ``calls``, ``count(name=None)``, ``calls_to(name)``, ``reset_calls()``,
  ``time_inside`` (seconds spent inside the client, so benchmarks can take it out).
- Forcing: ``set_reply(name, value_or_callable)`` (returned as is; a callable gets the
  call's arguments), ``set_replies(name, [r1, r2, ...])`` (one per call, then normal),
  ``set_error(name, exc)``, ``reset_overrides(name=None)``; ``default_reply(name, ...)``
  asks the client without recording.
- Replay: inside ``with proxy.replaying():`` the first call of each distinct request
  asks the client and stores its reply; later identical requests get a copy of it.
  ``prepare(name, *args, **kwargs)`` stores a reply ahead without recording a call;
  ``clear_replay()`` forgets them.
- Answering from memory: inside ``with proxy.answering_from_memory() as memory:`` each
  operation answers a request it has answered before by a plain look-up of the
  arguments as passed, and hands out the reply it kept (the same object each time, not a
  copy); nothing is recorded or timed, so nearly all of a call's time is the caller's
  own. A request not yet in ``memory`` goes once through the proxy (recorded, and timed
  into ``time_inside``). ``memory`` can be pickled and given to a later
  ``answering_from_memory(memory)``, in another process say. Operations named in
  ``c_level`` are answered by a dict's own look-up of their one positional argument: no
  Python frame at all, and no keyword or second argument accepted.
"""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import inspect
import pickle
import sys
import time
import types

import numpy as np
import pandas as pd

__all__ = ["Call", "RecordingTickvane", "install", "standing_in", "fingerprint"]


@dataclasses.dataclass
class Call:
    """One recorded call: operation name, arguments as passed, seconds spent inside the
    client, the exception it raised (None on success), and whether a stored replay
    reply answered it."""

    name: str
    args: tuple
    kwargs: dict
    seconds: float
    error: BaseException | None = None
    replayed: bool = False


def freeze(value):
    """A hashable stand-in for an argument, for replay keys (tables by identity)."""
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(freeze(v) for v in value))
    if isinstance(value, dict):
        return ("dict", tuple(sorted((k, freeze(v)) for k, v in value.items())))
    if isinstance(value, (pd.Series, pd.DataFrame, pd.Index, np.ndarray)):
        return ("object", id(value))
    try:
        hash(value)
    except TypeError:
        return ("repr", type(value).__name__, repr(value))
    return (type(value).__name__, value)


def copy_reply(reply):
    """A copy of a stored reply the caller may change. A table's copy keeps the very
    columns Index of the reply, as the client's replies of one table share theirs (an
    Index does not change; readers may know it by identity)."""
    if isinstance(reply, pd.DataFrame):
        copy = reply.copy()
        copy.columns = reply.columns
        return copy
    if isinstance(reply, pd.Series):
        return reply.copy()
    return list(reply) if isinstance(reply, list) else reply


class RecordingTickvane:
    """The client's operations, recorded, with forced replies and replay."""

    __name__ = "tickvane"
    _tickvane_stand_in = True

    def __init__(self, client):
        # Not "_client": tickvane's own modules import "tickvane._client" through
        # sys.modules["tickvane"], which is this object while it is installed.
        self._wrapped = client
        self.__all__ = list(client.__all__)
        self.calls = []
        self.time_inside = 0.0
        self.replay = False
        # Private names never those of tickvane's submodules (`_errors`, `_client`, ...):
        # importing one while the proxy stands in sets it as an attribute of the proxy.
        self._replay_store = {}
        self._forced_replies, self._forced_queues, self._forced_errors = {}, {}, {}
        for name in self.__all__:
            setattr(self, name, self._recording(name, getattr(client, name)))

    @property
    def real(self):
        """The client module the proxy passes calls to."""
        return self._wrapped

    def __getattr__(self, name):
        client = self.__dict__.get("_wrapped")
        if client is None:
            raise AttributeError(name)
        return getattr(client, name)

    def __repr__(self):
        return f"<RecordingTickvane with {len(self.calls)} recorded calls>"

    def _recording(self, name, real):
        @functools.wraps(real)
        def operation(*args, **kwargs):
            start = time.perf_counter()
            error, replayed = None, [False]
            try:
                return self._answer(name, real, args, kwargs, replayed)
            except BaseException as exc:
                error = exc
                raise
            finally:
                seconds = time.perf_counter() - start
                self.time_inside += seconds
                self.calls.append(Call(name, args, kwargs, seconds, error, replayed[0]))

        operation._tickvane_stand_in_operation = True
        return operation

    def _answer(self, name, real, args, kwargs, replayed):
        if name in self._forced_errors:
            error = self._forced_errors[name]
            raise error() if isinstance(error, type) else error
        queue = self._forced_queues.get(name)
        reply = queue.pop(0) if queue else self._forced_replies.get(name, _NONE)
        if reply is not _NONE:
            return reply(*args, **kwargs) if callable(reply) else reply
        if not self.replay:
            return real(*args, **kwargs)
        key = self._key(name, args, kwargs)
        if key in self._replay_store:
            replayed[0] = True
        else:
            self._replay_store[key] = real(*args, **kwargs)
        return copy_reply(self._replay_store[key])

    def _real(self, name):
        if name not in self.__all__:
            raise ValueError(f"no operation {name!r}")
        return getattr(self._wrapped, name)

    def _key(self, name, args, kwargs):
        bound = inspect.signature(self._real(name)).bind(*args, **kwargs)
        bound.apply_defaults()
        return (name, tuple((k, freeze(v)) for k, v in bound.arguments.items()))

    # recording
    def count(self, name=None):
        """Number of recorded calls, of one operation or of all."""
        return len(self.calls if name is None else self.calls_to(name))

    def calls_to(self, name):
        """The recorded calls of one operation, oldest first."""
        return [call for call in self.calls if call.name == name]

    def reset_calls(self):
        """Forget the recorded calls and the time spent inside."""
        self.calls.clear()
        self.time_inside = 0.0

    # forcing replies
    def set_reply(self, name, reply):
        self._real(name)
        self._forced_replies[name] = reply

    def set_replies(self, name, replies):
        self._real(name)
        self._forced_queues[name] = list(replies)

    def set_error(self, name, error):
        self._real(name)
        self._forced_errors[name] = error

    def reset_overrides(self, name=None):
        for table in (self._forced_replies, self._forced_queues, self._forced_errors):
            if name is None:
                table.clear()
            else:
                table.pop(name, None)

    def default_reply(self, name, *args, **kwargs):
        """The client's own reply, without recording a call."""
        return self._real(name)(*args, **kwargs)

    # replay
    @contextlib.contextmanager
    def replaying(self, enabled=True):
        previous, self.replay = self.replay, enabled
        try:
            yield self
        finally:
            self.replay = previous

    def prepare(self, name, *args, **kwargs):
        key = self._key(name, args, kwargs)
        self._replay_store[key] = self._real(name)(*args, **kwargs)
        return copy_reply(self._replay_store[key])

    def clear_replay(self):
        self._replay_store.clear()

    # answering from memory
    @contextlib.contextmanager
    def answering_from_memory(self, memory=None, c_level=()):
        memory = {} if memory is None else memory
        swapped = {name: self._from_memory(name, memory, name in c_level)
                   for name in self.__all__}
        patched = []
        for module_name, module in list(sys.modules.items()):
            if module_name == "meridan" or module_name.startswith("meridan."):
                namespace = getattr(module, "__dict__", {})
                for name, answer in swapped.items():
                    if namespace.get(name) is self.__dict__[name]:
                        patched.append((namespace, name, namespace[name]))
                        namespace[name] = answer
        own = {name: self.__dict__[name] for name in swapped}
        self.__dict__.update(swapped)
        try:
            yield memory
        finally:
            self.__dict__.update(own)
            for namespace, name, operation in patched:
                namespace[name] = operation

    def _from_memory(self, name, memory, c_level):
        operation = self.__dict__[name]
        kept = memory.setdefault(name, _Kept() if c_level else {})
        if c_level and not isinstance(kept, _Kept):
            kept = memory[name] = _Kept(kept)

        def ask(args, kwargs, fast):
            key = (tuple(map(_plain, args)), tuple((k, _plain(v)) for k, v in kwargs.items()))
            if key not in kept:
                kept[key] = operation(*args, **kwargs)
            try:  # the look-up tried first, when the arguments allow one
                kept[fast] = kept[key]
            except TypeError:
                pass
            return kept[key]

        if c_level:
            kept.ask = ask
            return kept.__getitem__

        def answer(*args, **kwargs):
            fast = (_KEYWORDS, args, tuple(kwargs.items())) if kwargs else args
            try:
                return kept[fast]
            except (KeyError, TypeError):
                return ask(args, kwargs, fast)

        answer.__name__ = answer.__qualname__ = name
        answer._tickvane_stand_in_operation = True
        return answer


class _Kept(dict):
    """The replies of an operation answered by the dict's own look-up: a request not
    kept yet asks the proxy."""

    ask = None

    def __missing__(self, key):
        return self.ask((key,), {}, key)

    def __reduce__(self):  # the replies only
        return (_Kept, (dict(self),))


_KEYWORDS = "keywords:"


def _plain(value):
    """A hashable stand-in for an argument as passed (a list by its items)."""
    return ("list:", tuple(value)) if isinstance(value, list) else value


_NONE = object()


def install(stand_in, monkeypatch):
    """Put ``stand_in`` (a proxy of the client) in place of the market-data
    client for the duration of a ``monkeypatch`` (a pytest MonkeyPatch): in
    ``sys.modules["tickvane"]``, and in every already imported meridan module, both the
    module attribute ``tickvane`` of modules that imported it and the copies of its
    operations in modules that star-imported it. A meridan module's own function of the
    same name as an operation is left alone."""
    previous = sys.modules.get("tickvane")
    monkeypatch.setitem(sys.modules, "tickvane", stand_in)
    for module_name, module in list(sys.modules.items()):
        if not (module_name == "meridan" or module_name.startswith("meridan.")):
            continue
        if not isinstance(module, types.ModuleType):
            continue
        namespace = module.__dict__
        held = namespace.get("tickvane")
        if held is not None and (
            getattr(held, "_tickvane_stand_in", False)
            or (isinstance(held, types.ModuleType) and held.__name__ == "tickvane")
        ):
            monkeypatch.setattr(module, "tickvane", stand_in)
        for name in stand_in.__all__:
            if name in namespace and _from_client(namespace[name], previous, name):
                monkeypatch.setattr(module, name, getattr(stand_in, name))


def _from_client(value, client, name):
    """Whether ``value`` is an operation copied from a market-data client (the real
    one, a stand-in, or an older copy of either) rather than a module's own function."""
    if getattr(value, "_tickvane_stand_in_operation", False):
        return True
    if client is not None and value is getattr(client, name, None):
        return True
    owner = getattr(value, "__module__", None) or ""
    return owner == "tickvane" or owner.startswith("tickvane.")


def standing_in(clock=None):
    """A proxy of the real client installed for a benchmark: ``(proxy, patch)``, where
    ``patch.undo()`` puts the client back. ``clock`` (say ``time.thread_time``) times
    the calls in place of ``time.perf_counter``. The client's submodules are loaded
    first: one first loaded while the proxy stands in would be set as an attribute of
    the proxy, over the proxy's own."""
    import pytest

    import tickvane
    import tickvane._errors  # noqa: F401
    import tickvane._importer  # noqa: F401
    import tickvane._records  # noqa: F401

    if clock is not None:
        global time
        time = types.SimpleNamespace(perf_counter=clock)
    proxy = RecordingTickvane(tickvane)
    patch = pytest.MonkeyPatch()
    install(proxy, patch)
    return proxy, patch


def fingerprint(memory):
    """Bytes standing for each reply kept in an ``answering_from_memory`` memory, by
    identity: compared before and after timed runs, they show that no run changed a
    reply it was handed (the replies are handed out themselves, not copies)."""
    replies = {id(r): r for kept in memory.values() for r in kept.values()}
    return {k: pickle.dumps(r, protocol=pickle.HIGHEST_PROTOCOL) for k, r in replies.items()}
