"""Which store the operations read, and opening it on first use.

Standard library only at import; the client (numpy, pandas, SQLite) loads with the first
operation. The store is, in order: the file given to use_store/open_store, the file named
by the environment variable TICKVANE_STORE, or sample.sqlite in the user cache folder
($XDG_CACHE_HOME/tickvane or ~/.cache/tickvane). When the store comes from the environment
or the cache folder and does not exist yet, the sample market is built there first.
"""

import os
import sys
import threading

ENV_STORE = "TICKVANE_STORE"

_lock = threading.RLock()
_current = None    # the open client Store
_chosen = None     # path given to use_store, or None for the default


def default_path():
    env = os.environ.get(ENV_STORE)
    if env:
        return os.path.abspath(os.path.expanduser(env))
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(os.path.abspath(cache), "tickvane", "sample.sqlite")


def resolve(path=None):
    if path is not None:
        return os.path.abspath(os.path.expanduser(os.fspath(path)))
    return _chosen if _chosen is not None else default_path()


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
        if _chosen is None:
            _build_if_missing(path)
        try:
            store = _client.Store(path)
        except _client.StoreError:
            if _chosen is not None or not _is_old_sample(path):
                raise
            # A sample written by an older tickvane: it is ours to regenerate.
            sys.stderr.write("tickvane: the sample store at %s is from an older version;"
                             " rebuilding it\n" % path)
            from ._sample import build_sample
            build_sample(path)
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


def _is_old_sample(path):
    import sqlite3
    from ._client import connect_readonly

    try:
        con = connect_readonly(path)
        try:
            meta = dict(con.execute("SELECT key, value FROM meta"))
        finally:
            con.close()
    except sqlite3.DatabaseError:
        return False
    return meta.get("source") == "sample"


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
    """Close the open store and drop its in-memory data; the next operation reopens it."""
    global _current
    with _lock:
        if _current is not None:
            _current.close()
            _current = None


def forget_if_current(path):
    """A store file was replaced: make the next operation read the new file."""
    with _lock:
        if _current is not None and _current.path == os.path.abspath(path):
            close_store()
