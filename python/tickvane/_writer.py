"""Writes a complete store file atomically.

A store is always written into a temporary file beside its target and renamed over the
target only after the last table is in, the file is flushed to disk and the client has
opened it. Whatever goes wrong before the rename (a bad row, a full disk, Ctrl-C,
SIGTERM, a target that is a folder) removes the temporary file, so the target is either
the previous store, untouched, or the complete new one; readers that already have the
old file open keep reading the old file.

Each writer holds an exclusive lock on a small lock file named after its temporary file
for as long as it writes. A temporary file whose lock nobody holds belongs to a writer
that was killed (SIGKILL, a power cut) and is removed by the next writer of the same
target. Deciding by the lock rather than by process id keeps a live writer's file safe
from writers in another PID namespace (a container) or on another host sharing the disk.
"""

import contextlib
import datetime as _dt
import errno
import os
import signal
import sqlite3
import tempfile
import threading

from . import _schema
from ._errors import StoreError, Terminated

try:
    import fcntl
except ImportError:  # no flock: orphans are judged by process id instead
    fcntl = None

_TMP_MARK = ".tmp-"
_LOCK_SUFFIX = ".lock"
_JOURNAL_SUFFIX = "-journal"
_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP")
                 if hasattr(signal, name))

# Temporary files this process is writing now: never orphans, whatever a lock test says.
_live = set()
_live_guard = threading.Lock()


class StoreWriter:
    """Writes one store file; `before_replace` (optional) is called just before the
    finished file replaces the target, and may refuse by raising."""

    def __init__(self, target, before_replace=None):
        self.target = os.path.abspath(target)
        if os.path.isdir(self.target):
            raise IsADirectoryError("%s is a folder; a store is a file (name one inside"
                                    " it, such as %s)" % (
                                        self.target, os.path.join(self.target, "store.sqlite")))
        self.con = None
        self.tmp_path = None
        self._lock_fd = None
        self._before_replace = before_replace
        self._saved_handlers = {}
        folder = os.path.dirname(self.target)
        os.makedirs(folder, exist_ok=True)
        _remove_orphans(self.target)
        self._catch_termination()
        try:
            self._lock_fd, self.tmp_path = _claim_temp(self.target)
            self.con = sqlite3.connect(self.tmp_path)
            # Nothing else sees the temporary file, so durability comes from the final
            # rename alone; the journal stays in memory only so that a rejected chunk can
            # be rolled back to its savepoint.
            self.con.execute("PRAGMA journal_mode = MEMORY")
            self.con.execute("PRAGMA synchronous = OFF")
            self.con.execute("PRAGMA cache_size = -200000")
            self.con.executescript(_schema.DDL)
        except sqlite3.Error as exc:
            self.abort()
            raise self._write_error(exc) from None
        except BaseException:
            self.abort()
            raise
        self._meta = {"schema_version": _schema.SCHEMA_VERSION}

    def _write_error(self, exc):
        return StoreError("cannot write the new store for %s (temporary file %s): %s"
                          % (self.target, self.tmp_path, exc))

    def insert(self, table, rows, columns=None):
        """Insert an iterable of row tuples in the table's column order (or `columns`).

        A repeated key raises sqlite3.IntegrityError (the importer locates the row); any
        other SQLite failure (a full disk, say) is a StoreError naming the files.
        """
        columns = columns or _schema.COLUMNS[table]
        sql = "INSERT INTO %s (%s) VALUES (%s)" % (
            table, ", ".join('"%s"' % c for c in columns), ", ".join("?" * len(columns)))
        try:
            self.con.executemany(sql, rows)
        except sqlite3.IntegrityError:
            raise
        except sqlite3.Error as exc:
            raise self._write_error(exc) from None

    def set_meta(self, **values):
        self._meta.update({k: str(v) for k, v in values.items()})

    def commit(self):
        """Finish the file, check that the client can open it, and move it into place.

        Any failure on the way removes the temporary file and leaves the target as it was.
        """
        try:
            self._meta.setdefault(
                "built_at", _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"))
            try:
                self.insert("meta", sorted(self._meta.items()))
                self.con.commit()
                self.con.execute("PRAGMA journal_mode = DELETE")
                self.con.close()
            except sqlite3.Error as exc:
                raise self._write_error(exc) from None
            self.con = None
            with open(self.tmp_path, "rb") as handle:
                os.fsync(handle.fileno())
            _check_readable(self.tmp_path, self.target)
            if self._before_replace is not None:
                self._before_replace()
            os.chmod(self.tmp_path, 0o644)
            os.replace(self.tmp_path, self.target)
        except BaseException:
            self.abort()
            raise
        _fsync_dir(os.path.dirname(self.target))
        self._release()

    def abort(self):
        if self.con is not None:
            with contextlib.suppress(Exception):
                self.con.close()
            self.con = None
        if self.tmp_path is not None:
            for path in (self.tmp_path, self.tmp_path + _JOURNAL_SUFFIX):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(path)
        self._release()

    def _release(self):
        """Drop the temporary file's lock (removing its lock file first) and restore the
        signal handlers."""
        if self._lock_fd is not None:
            with contextlib.suppress(OSError):
                os.remove(self.tmp_path + _LOCK_SUFFIX)
            os.close(self._lock_fd)  # closing releases the flock
            self._lock_fd = None
        if self.tmp_path is not None:
            with _live_guard:
                _live.discard(self.tmp_path)
        for signum, handler in self._saved_handlers.items():
            signal.signal(signum, handler)
        self._saved_handlers = {}

    def _catch_termination(self):
        """Turn SIGTERM and SIGHUP into Terminated while writing, so that the temporary
        file is removed on the way out. Only where the signals still have their default
        action and only from the main thread (the only one allowed to set handlers): a
        program that handles them itself keeps its handlers."""
        if threading.current_thread() is not threading.main_thread():
            return
        for signum in _SIGNALS:
            if signal.getsignal(signum) is signal.SIG_DFL:
                self._saved_handlers[signum] = signal.signal(signum, _raise_terminated)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        elif self.con is not None:
            self.commit()
        return False


def check_replaceable(target, command, force=False):
    """Refuse, unless `force`, to replace a file that may hold the user's own data.

    `command` is "build-sample" or "import". Nothing refuses a missing target or a
    generated sample (it can be built again from its recorded parameters); an import may
    replace any tickvane store (importing again is how imported data is updated); a
    sample build refuses a store of imported data, and both refuse a file that is not a
    tickvane store at all.
    """
    target = os.path.abspath(target)
    if not os.path.exists(target) or force:
        return
    if os.path.isdir(target):
        raise IsADirectoryError("%s is a folder; a store is a file" % target)
    meta, problem = _read_meta(target)
    hint = ("give --force (force=True) to replace it, or name another store with --store")
    if meta is None:
        raise FileExistsError("%s is not a tickvane store (%s); %s would replace it: %s"
                              % (target, problem, command, hint))
    if command == "build-sample" and meta.get("source") != "sample":
        origin = meta.get("imported_from")
        raise FileExistsError(
            "%s holds imported market data%s (built %s); build-sample would replace it with"
            " the generated sample market: %s" % (
                target, " from %s" % origin if origin else "", meta.get("built_at", "?"),
                hint))


def _read_meta(path):
    """(the meta table of a store as a dict, None) or (None, what is wrong)."""
    from urllib.parse import quote

    try:
        con = sqlite3.connect("file:%s?mode=ro" % quote(path), uri=True)
    except sqlite3.Error as exc:
        return None, str(exc)
    try:
        meta = dict(con.execute("SELECT key, value FROM meta"))
    except sqlite3.Error as exc:
        return None, str(exc)
    finally:
        con.close()
    if "schema_version" not in meta:
        return None, "its meta table has no schema_version"
    return meta, None


def _raise_terminated(signum, frame):
    raise Terminated(signum, redeliver=True)


def redeliver(exc):
    """After a Terminated raised by the writer's own handler has unwound every clean-up,
    end the process by the signal, as its default action would have."""
    if isinstance(exc, Terminated) and exc.redeliver:
        signal.signal(exc.signum, signal.SIG_DFL)
        signal.raise_signal(exc.signum)


def _check_readable(path, target):
    """Open the finished file with the client, as every later operation will: a file the
    client cannot read must never replace a working store."""
    from ._client import Store

    try:
        store = Store(path)
    except StoreError as exc:
        raise StoreError("the new store for %s failed its check and was not put in place:"
                         " %s" % (target, exc)) from None
    try:
        store.check()
    except StoreError as exc:
        raise StoreError("the new store for %s failed its check and was not put in place:"
                         " %s" % (target, exc)) from None
    finally:
        store.close()


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


# ------------------------------------------------------------------ temporary files


def _flock(fd, blocking):
    """True: locked; False: another holds it; None: the file system has no flock (some
    network and FUSE file systems), where writers fall back to judging by process id."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | (0 if blocking else fcntl.LOCK_NB))
    except BlockingIOError:
        return False
    except OSError as exc:
        if exc.errno in (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOSYS, errno.EINVAL):
            return None
        raise
    return True


def _same_file(fd, path):
    """Is the open file `fd` still the file at `path` (not removed or replaced)?"""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return False
    own = os.fstat(fd)
    return (st.st_dev, st.st_ino) == (own.st_dev, own.st_ino)


def _claim_temp(target):
    """(descriptor holding the lock, temporary file name) for a new writer of `target`.

    The lock file is created and locked before the temporary file exists, and the
    temporary file is removed before its lock file, so a temporary file without a held
    lock is never a live writer's.
    """
    folder, base = os.path.split(target)
    prefix = ".%s%s%d-" % (base, _TMP_MARK, os.getpid())
    while True:
        fd, lock_path = tempfile.mkstemp(prefix=prefix, suffix=_LOCK_SUFFIX, dir=folder)
        locked = _flock(fd, blocking=False) if fcntl is not None else None
        if locked is False or (locked and not _same_file(fd, lock_path)):
            # An orphan sweep took the fresh lock file in the instant before we locked it
            # (and removes it): start again under a new name.
            os.close(fd)
            continue
        tmp_path = lock_path[:-len(_LOCK_SUFFIX)]
        try:
            os.close(os.open(tmp_path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600))
        except BaseException:
            with contextlib.suppress(OSError):
                os.remove(lock_path)
            os.close(fd)
            raise
        with _live_guard:
            _live.add(tmp_path)
        return fd, tmp_path


def _remove_orphans(target):
    """Delete temporary files left beside `target` by writers that were killed."""
    folder, base = os.path.split(target)
    prefix = ".%s%s" % (base, _TMP_MARK)
    try:
        names = os.listdir(folder)
    except OSError:
        return
    stems = set()
    for name in names:
        if not name.startswith(prefix):
            continue
        for suffix in (_LOCK_SUFFIX, _JOURNAL_SUFFIX):
            if name.endswith(suffix):
                name = name[:-len(suffix)]
                break
        stems.add(name)
    for stem in stems:
        path = os.path.join(folder, stem)
        with _live_guard:
            if path in _live:
                continue
        _remove_if_orphan(path, stem[len(prefix):])
    _remove_stale_build_lock(target)


def _remove_stale_build_lock(target):
    """Remove the build lock file of a builder that was killed, if nobody holds it (a
    builder that opened it meanwhile notices the removal and locks a fresh one)."""
    path = target + _LOCK_SUFFIX
    with _held_guard:
        if fcntl is None or path in _held:
            return
    try:
        fd = os.open(path, os.O_RDWR)
    except OSError:
        return
    try:
        if _flock(fd, blocking=False) is True and _same_file(fd, path):
            with contextlib.suppress(OSError):
                os.remove(path)
    finally:
        os.close(fd)


def _remove_if_orphan(path, rest):
    """Remove the temporary file `path` (and its journal and lock file) unless its writer
    is alive: its lock is held or, where there is no lock to test (no lock file, no
    flock), the process named in the file name `rest` ("PID-...") still runs."""
    lock_path = path + _LOCK_SUFFIX
    fd = None
    if fcntl is not None:
        try:
            fd = os.open(lock_path, os.O_RDWR)
        except FileNotFoundError:
            pass  # died between removing its file and its lock, or an older tickvane's
        except OSError:
            return
    try:
        locked = _flock(fd, blocking=False) if fd is not None else None
        if locked is False:
            return  # a live writer holds it
        if locked is None:
            pid_text = rest.split("-", 1)[0]
            if pid_text.isdigit() and _alive(int(pid_text)):
                return
        _remove_files(path)
        if fd is None or _same_file(fd, lock_path):
            with contextlib.suppress(OSError):
                os.remove(lock_path)
    finally:
        if fd is not None:
            os.close(fd)


def _remove_files(path):
    for name in (path, path + _JOURNAL_SUFFIX):
        with contextlib.suppress(OSError):
            os.remove(name)


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


# ------------------------------------------------------------------ build lock

# Lock files this process holds, with their nesting depth. flock locks belong to open
# file descriptions, so a second flock of the same file from this process (the first
# operation building the missing default store, which then locks it again inside
# build_sample) would wait for itself forever.
_held = {}
_held_guard = threading.Lock()


@contextlib.contextmanager
def build_lock(target):
    """Serialise builders of the same target across processes (where flock exists).

    Re-entrant within a process: flock locks taken through two descriptors of one file
    exclude each other even in the same process, so a nested request must not take it
    again. The lock file is removed when the lock is released: the holder unlinks it
    before unlocking, and a waiter that then gets the lock of an unlinked file notices and
    locks the current one instead.
    """
    path = os.path.abspath(target) + _LOCK_SUFFIX
    with _held_guard:
        depth = _held.get(path, 0)
        _held[path] = depth + 1
    try:
        if depth or fcntl is None:
            yield
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        while True:
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                locked = _flock(fd, blocking=True)
            except BaseException:
                os.close(fd)
                raise
            if locked is None or _same_file(fd, path):
                break
            os.close(fd)
        try:
            yield
        finally:
            with contextlib.suppress(OSError):
                os.remove(path)
            os.close(fd)
    finally:
        with _held_guard:
            _held[path] -= 1
            if not _held[path]:
                del _held[path]
