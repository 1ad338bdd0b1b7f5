"""Which store the operations read, and opening it on first use.

Standard library only at import; the client (numpy, pandas, SQLite) loads with the first
operation. The store is, in order: the file given to use_store/open_store, the file named
by the environment variable TICKVANE_STORE, or sample.sqlite in the user cache folder
($XDG_CACHE_HOME/tickvane or ~/.cache/tickvane). Only that cache location is ever built
without being asked: a missing sample there is built, and a sample there written by a
tickvane of another store version is rebuilt from its recorded parameters. A store named
explicitly that does not exist is a FileNotFoundError (a typo must not cost a 500 MB
build), and a damaged store is a StoreError saying how to rebuild it.
"""

import os
import sys
import threading

ENV_STORE = "TICKVANE_STORE"

_lock = threading.RLock()
_current = None    # the open client Store
_chosen = None     # path given to use_store, or None for the default
_listeners = []    # called with no arguments whenever the store is closed


def default_path():
    env = os.environ.get(ENV_STORE)
    if env:
        return os.path.abspath(os.path.expanduser(env))
    return cache_path()


def cache_path():
    """The sample's place in the user cache folder: the one store built unasked."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(os.path.abspath(cache), "tickvane", "sample.sqlite")


def resolve(path=None):
    if path is not None:
        return os.path.abspath(os.path.expanduser(os.fspath(path)))
    return _chosen if _chosen is not None else default_path()


def chosen():
    """The path given to use_store, or None for the default."""
    return _chosen


def current():
    store = _current
    if store is None:
        store = _open()
    return store


def _open():
    global _current
    with _lock:
        if _current is not None:
            return _current
        from . import _client

        path = resolve()
        automatic = _chosen is None and path == cache_path()
        if automatic:
            _build_if_missing(path)
        elif _chosen is None and not os.path.exists(path):
            raise FileNotFoundError(
                "no tickvane store at %s, the file named by %s (only the default %s is"
                " built automatically; create this one with 'python -m tickvane"
                " build-sample' or 'python -m tickvane import FOLDER', or correct %s)"
                % (path, ENV_STORE, cache_path(), ENV_STORE))
        try:
            store = _client.Store(path)
        except _client.OutdatedStoreError:
            parameters = _recorded_sample(path) if automatic else None
            if parameters is None:
                raise
            # A sample written by a tickvane of another store version: ours to regenerate,
            # exactly as it was built.
            sys.stderr.write("tickvane: the sample store at %s is from another version of"
                             " tickvane; rebuilding it (seed %s, %s stocks, %s to %s)\n"
                             % ((path,) + parameters))
            from ._sample import build_sample
            seed, n_stocks, start, end = parameters
            build_sample(path, seed=seed, n_stocks=n_stocks, start=start, end=end)
            store = _client.Store(path)
        _current = store
        return store


def _build_if_missing(path):
    if os.path.exists(path):
        return
    from ._sample import build_sample
    from ._writer import build_lock

    with build_lock(path):
        if os.path.exists(path):  # another process built it while we waited
            return
        sys.stderr.write("tickvane: no market-data store at %s; building the sample market"
                         " (once)\n" % path)
        build_sample(path)


def _recorded_sample(path):
    """(seed, n_stocks, start, end) a sample store was built with, or None when the file
    is no sample or they cannot all be found (then it is not rebuilt unasked)."""
    import sqlite3

    from ._client import connect_readonly, sample_parameters

    try:
        con = connect_readonly(path)
        try:
            meta = dict(con.execute("SELECT key, value FROM meta"))
        finally:
            con.close()
        if meta.get("source") != "sample":
            return None
        found = sample_parameters(path, meta)
        if None in found.values():
            return None
        return (int(found["seed"]), int(found["n_stocks"]), found["start"], found["end"])
    except (sqlite3.DatabaseError, TypeError, ValueError):
        return None


def use_store(path=None):
    """Read from the store file at `path` from the next operation on (None: the default)."""
    global _current, _chosen
    with _lock:
        if path is not None:
            path = resolve(path)
            if not os.path.isfile(path):
                raise FileNotFoundError("no tickvane store at %s" % path)
        close_store()
        _chosen = path


def close_store():
    """Close the open store and drop its in-memory data; the next operation reopens it.
    Every listener is told: the next store may be another, or the file replaced."""
    global _current
    with _lock:
        if _current is not None:
            _current.close()
            _current = None
        for listener in list(_listeners):
            listener()


def when_store_changes(callback):
    """Call ``callback()`` whenever the store is closed, another is chosen or its file
    is replaced: for memos of what the store answered."""
    with _lock:
        _listeners.append(callback)


def forget_if_current(path):
    """A store file was replaced: make the next operation read the new file."""
    with _lock:
        if _current is not None and _current.path == os.path.abspath(path):
            close_store()
