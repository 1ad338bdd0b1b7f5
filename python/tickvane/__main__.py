"""Command line: python -m tickvane {info, build-sample, import, fetch} [--store PATH].

Without --store the commands act on the default store (TICKVANE_STORE, else the cached
sample). Exit status 0 on success, 1 on a failed command (the message names the problem
and says what became of the store), 2 on a usage error. SIGTERM or SIGHUP during a build
or import removes the temporary file, says what became of the store, and then ends the
process by that signal.
"""

import argparse
import os
import signal
import sqlite3
import sys

from . import _manage
from ._errors import Terminated
from ._schema import SAMPLE_END, SAMPLE_SEED, SAMPLE_START, SAMPLE_STOCKS


def _whole(low):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
        if value < low:
            raise argparse.ArgumentTypeError("must be at least %d, not %d" % (low, value))
        return value
    return parse


def _day(text):
    from ._dates import to_ordinal

    try:
        to_ordinal(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a date (YYYY-MM-DD): %r" % text) from None
    return text


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m tickvane",
        description="Manage the tickvane market-data store.")
    sub = parser.add_subparsers(dest="command", required=True)

    p_info = sub.add_parser("info", help="show what a store holds")
    p_info.add_argument("--store", help="store file (default: %s)" % _manage.default_path())

    p_build = sub.add_parser("build-sample", help="generate the sample market into a store")
    p_build.add_argument("--store", help="store file (default: %s)" % _manage.default_path())
    p_build.add_argument("--seed", type=_whole(0), default=SAMPLE_SEED,
                         help="random seed, a whole number >= 0 (default %(default)s)")
    p_build.add_argument("--stocks", type=_whole(10), default=SAMPLE_STOCKS,
                         help="number of common stocks, at least 10 (default %(default)s)")
    p_build.add_argument("--start", type=_day, default=SAMPLE_START,
                         help="first day (default %(default)s)")
    p_build.add_argument("--end", type=_day, default=SAMPLE_END,
                         help="last day (default %(default)s)")
    p_build.add_argument("--force", action="store_true",
                         help="replace the store even if it holds imported data or is no"
                              " tickvane store")
    p_build.add_argument("--quiet", action="store_true", help="no progress bar")

    p_import = sub.add_parser(
        "import", help="build a store from a folder of CSV or Parquet files (see SCHEMA.md)")
    p_import.add_argument("folder")
    p_import.add_argument("--store", help="store file (default: %s)" % _manage.default_path())
    p_import.add_argument("--force", action="store_true",
                          help="replace the file at --store even if it is no tickvane store")
    p_import.add_argument("--quiet", action="store_true", help="no progress bar")

    p_fetch = sub.add_parser(
        "fetch", help="fill a store with the real market from baostock (see SCHEMA.md)")
    p_fetch.add_argument("--start", type=_day, default=None,
                         help="first day (default 2015-01-01)")
    p_fetch.add_argument("--end", type=_day, default=None,
                         help="last day (default: today; the store ends at the last day"
                              " with data)")
    p_fetch.add_argument("--universe", default="hs300,zz500",
                         help="comma-separated: hs300, zz500, all, codes such as"
                              " 600000.XSHG, files of codes, or broker statements (their"
                              " codes) (default %(default)s)")
    p_fetch.add_argument("--store", help="store file (default: %s)" % _manage.default_path())
    p_fetch.add_argument("--dry-run", action="store_true",
                         help="print what would be fetched, the number of requests and the"
                              " time they take; request and write nothing")
    p_fetch.add_argument("--pace", type=float, default=None,
                         help="seconds between two requests (default 0.05)")
    p_fetch.add_argument("--force", action="store_true",
                         help="replace the store even if it holds imported data or is no"
                              " tickvane store")
    p_fetch.add_argument("--quiet", action="store_true", help="no progress bar")

    args = parser.parse_args(argv)
    store = _manage.resolve(args.store)
    if args.command == "fetch":
        code = _fetch(args, store)
        return code if code is not None else _print_written(store)
    if args.command == "info":
        try:
            _print_info(store)
        except (ValueError, OSError, RuntimeError, sqlite3.Error) as exc:
            sys.stderr.write("tickvane: %s\n" % exc)
            return 1
        return 0

    def write():
        if args.command == "build-sample":
            from ._sample import build_sample
            build_sample(store, seed=args.seed, n_stocks=args.stocks, start=args.start,
                         end=args.end, progress=not args.quiet, force=args.force)
        else:
            from ._importer import import_folder
            import_folder(args.folder, store, progress=not args.quiet, force=args.force)

    code = _guarded(store, write, _outcome, "\ntickvane: ")
    if code is not None:
        return code
    return _print_written(store)


def _print_written(store):
    try:
        _print_info(store)
    except (ValueError, OSError, RuntimeError, sqlite3.Error) as exc:
        sys.stderr.write("tickvane: the new store was written to %s, but reading it back"
                         " failed: %s\n" % (store, exc))
        return 1
    return 0


def _fetch(args, store):
    """Run the fetch command; None when the store was written (its description follows),
    else the exit status."""
    from ._fetch import DEFAULT_PACE, Universe, fetch
    from ._sources_baostock import SourceError, load_library

    pace = DEFAULT_PACE if args.pace is None else args.pace
    try:
        Universe(args.universe)
        if not pace >= 0:
            raise ValueError("--pace must be a number of seconds >= 0, not %r" % pace)
        if args.dry_run:
            fetch(args.start, args.end, args.universe, store, dry_run=True, pace=pace)
            return 0
        library = load_library()
    except SourceError as exc:   # the library is missing
        sys.stderr.write("tickvane: %s\n" % exc)
        return 2
    except ValueError as exc:
        sys.stderr.write("tickvane: %s\n" % exc)
        return 2
    return _guarded(store, lambda: fetch(
        args.start, args.end, args.universe, store, pace=pace, progress=not args.quiet,
        force=args.force, library=library), _fetch_outcome, "; ")


def _guarded(store, write, outcome, joiner):
    """Runs `write` (which builds the store at `store`) with SIGTERM and SIGHUP caught;
    None when it wrote, else the exit status after a line saying what became of the
    store (`outcome(store, identity before)`; after an error's text and `joiner`)."""
    before = _identity(store)
    saved = _catch_termination()
    try:
        write()
    except Terminated as exc:
        sys.stderr.write("tickvane: stopped by signal %d; %s\n"
                         % (exc.signum, outcome(store, before)))
        sys.stderr.flush()
        # End by the signal itself, as the default action would have.
        signal.signal(exc.signum, signal.SIG_DFL)
        signal.raise_signal(exc.signum)
        return exc.code
    except KeyboardInterrupt:
        sys.stderr.write("tickvane: interrupted; %s\n" % outcome(store, before))
        return 1
    except (ValueError, OSError, RuntimeError, sqlite3.Error) as exc:
        sys.stderr.write("tickvane: %s%s%s\n" % (exc, joiner, outcome(store, before)))
        return 1
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)
    return None


def _fetch_outcome(path, before):
    """What became of the store after a failed fetch: unchanged, or holding the batches
    written before the failure."""
    from ._writer import _read_meta

    if _identity(path) in (before, None):
        return _outcome(path, before)
    meta, _ = _read_meta(path)
    if not meta or meta.get("source") != "fetch":
        return _outcome(path, before)
    return ("the store at %s holds the batches fetched before the failure, up to %s; the"
            " same command goes on from there" % (path, meta.get("end_date", "?")))


def _catch_termination():
    """SIGTERM and SIGHUP raise Terminated while the command writes, so that the message
    below can say what became of the store; returns the handlers to restore."""
    def handler(signum, frame):
        raise Terminated(signum)

    saved = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is not None and signal.getsignal(signum) is signal.SIG_DFL:
            saved[signum] = signal.signal(signum, handler)
    return saved


def _identity(path):
    """What tells one file at `path` from its replacement (None: no file)."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _outcome(path, before):
    """What became of the store at `path` after a failed command, as observed."""
    now = _identity(path)
    if now == before:
        if before is None:
            return "nothing was written; there is still no store at %s" % path
        return "nothing was written; the store at %s is unchanged" % path
    if now is None:
        return "the store at %s is gone" % path
    return "the store at %s was replaced by the new one before the failure" % path


def _print_info(path):
    from ._client import Store

    if not os.path.exists(path):
        raise FileNotFoundError("no store at %s (create one with 'python -m tickvane"
                                " build-sample' or 'python -m tickvane import FOLDER')" % path)
    store = Store(path)
    try:
        info = store.info()
    finally:
        store.close()
    meta = info["meta"]
    out = sys.stdout
    out.write("store         %s (%.1f MiB)\n" % (info["path"], info["size_bytes"] / 2 ** 20))
    source = meta.get("source", "?")
    if source == "sample":
        source += " (seed %s, %s stocks)" % (meta.get("seed"), meta.get("n_stocks"))
    elif "imported_from" in meta:
        source += " from %s" % meta["imported_from"]
    elif source == "fetch":
        source += " from %s up to %s, fetched %s" % (meta.get("fetched_from", "?"),
                                                      meta.get("end_date", "?"),
                                                      meta.get("fetched_at", "?"))
    out.write("source        %s, built %s\n" % (source, meta.get("built_at", "?")))
    out.write("dates         %s to %s, %d trading days\n" % (
        info["first_date"].date(), info["last_date"].date(), info["trading_dates"]))
    out.write("instruments   %s\n" % ", ".join(
        "%d %s" % (count, kind) for kind, count in info["instruments"].items()))
    out.write("indices with constituents: %s\n"
              % (", ".join(info["indices_with_components"]) or "none"))
    for table, count in info["rows"].items():
        out.write("  %-18s %10d rows\n" % (table, count))
    sets = info.get("sector_sets") or {}
    if sets:
        from . import _schema

        out.write("sector sets   %s (%s); %s (%s)\n" % (
            sets["sector_set"], _schema.SECTOR_SET_DESCRIPTIONS[sets["sector_set"]],
            sets["shenwan_set"], _schema.SHENWAN_SET_DESCRIPTIONS[sets["shenwan_set"]]))
    if source.startswith("fetch") and meta.get("not_fetched"):
        out.write("not fetched   %s (no source of this tickvane gives them)\n"
                  % meta["not_fetched"])
        out.write("sectors       %s\n" % meta.get("sectors", "?"))
        if meta.get("index_weights"):
            out.write("index weights %s\n" % meta["index_weights"])
    if source.startswith("fetch"):
        for key, label in (("factors", "factors"), ("yield_curve", "yield curve"),
                           ("index_weights_error", "weights error"),
                           ("akshare", "akshare")):
            if meta.get(key):
                out.write("%-13s %s\n" % (label, meta[key]))


if __name__ == "__main__":
    sys.exit(main())
