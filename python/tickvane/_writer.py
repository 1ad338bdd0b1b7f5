"""Writes a complete store file atomically.

A store is always written into a temporary file beside its target and renamed over the
target only after the last table is in and the file is flushed to disk. A build or import
that fails or is interrupted removes its temporary file, so the target is either the
previous store, untouched, or the complete new one; readers that already have the old
file open keep reading the old file.
"""

import contextlib
import datetime as _dt
import os
import sqlite3
import tempfile
import threading

from . import _schema

_TMP_MARK = ".tmp-"


class StoreWriter:
    def __init__(self, target):
        self.target = os.path.abspath(target)
        folder = os.path.dirname(self.target)
        os.makedirs(folder, exist_ok=True)
        _remove_orphans(self.target)
        fd, self.tmp_path = tempfile.mkstemp(
            prefix=".%s%s%d-" % (os.path.basename(self.target), _TMP_MARK, os.getpid()),
            dir=folder)
        os.close(fd)
        self.con = sqlite3.connect(self.tmp_path)
        # Nothing else sees the temporary file, so durability comes from the final rename
        # alone; the journal stays in memory only so that a rejected chunk can be rolled
        # back to its savepoint.
        self.con.execute("PRAGMA journal_mode = MEMORY")
        self.con.execute("PRAGMA synchronous = OFF")
        self.con.execute("PRAGMA cache_size = -200000")
        self.con.executescript(_schema.DDL)
        self._meta = {"schema_version": _schema.SCHEMA_VERSION}

    def insert(self, table, rows, columns=None):
        """Insert an iterable of row tuples in the table's column order (or `columns`)."""
        columns = columns or _schema.COLUMNS[table]
        sql = "INSERT INTO %s (%s) VALUES (%s)" % (
            table, ", ".join('"%s"' % c for c in columns), ", ".join("?" * len(columns)))
        self.con.executemany(sql, rows)

    def set_meta(self, **values):
        self._meta.update({k: str(v) for k, v in values.items()})

    def commit(self):
        """Finish the file and move it into place."""
        self._meta.setdefault(
            "built_at", _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"))
        self.insert("meta", sorted(self._meta.items()))
        self.con.commit()
        self.con.execute("PRAGMA journal_mode = DELETE")
        self.con.close()
        self.con = None
        with open(self.tmp_path, "rb") as handle:
            os.fsync(handle.fileno())
        os.chmod(self.tmp_path, 0o644)
        os.replace(self.tmp_path, self.target)
        _fsync_dir(os.path.dirname(self.target))

    def abort(self):
        if self.con is not None:
            with contextlib.suppress(Exception):
                self.con.close()
            self.con = None
        for path in (self.tmp_path, self.tmp_path + "-journal"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        elif self.con is not None:
            self.commit()
        return False


def _fsync_dir(folder):
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _remove_orphans(target):
    """Delete temporary files left beside `target` by writers that were killed."""
    folder, base = os.path.split(target)
    prefix = ".%s%s" % (base, _TMP_MARK)
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if not name.startswith(prefix):
            continue
        pid_text = name[len(prefix):].split("-", 1)[0]
        if pid_text.isdigit() and _alive(int(pid_text)):
            continue
        with contextlib.suppress(OSError):
            os.remove(os.path.join(folder, name))


def _alive(pid):
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)  # signal 0: existence check only
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


# Lock files this process holds, with their nesting depth. flock locks belong to open
# file descriptions, so a second flock of the same file from this process (the first
# operation building the missing default store, which then locks it again inside
# build_sample) would wait for itself forever.
_held = {}


_held = {}
_held_guard = threading.Lock()


@contextlib.contextmanager
def build_lock(target):
    """Serialise builders of the same target across processes (where flock exists).

    Re-entrant within a process: flock locks taken through two descriptors of one file
    exclude each other even in the same process, so a nested request must not take it again.
    """
    path = os.path.abspath(target) + ".lock"
    with _held_guard:
        depth = _held.get(path, 0)
        _held[path] = depth + 1
    try:
        if depth:
            yield
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        try:
            import fcntl
        except ImportError:
            yield
            return
        with open(path, "a") as handle:
            fcntl.flock(handle.fileno(), fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(handle.fileno(), fcntl.LOCK_UN)
    finally:
        with _held_guard:
            _held[path] -= 1
            if not _held[path]:
                del _held[path]
