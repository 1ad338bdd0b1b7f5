"""Command line: python -m tickvane {info, build-sample, import} [--store PATH].

Without --store the commands act on the default store (TICKVANE_STORE, else the cached
sample). Exit status 0 on success, 1 on a failed command (the message names the problem),
2 on a usage error.
"""

import argparse
import sys

from . import _manage
from ._schema import SAMPLE_END, SAMPLE_SEED, SAMPLE_START, SAMPLE_STOCKS


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m tickvane",
        description="Manage the tickvane market-data store.")
    sub = parser.add_subparsers(dest="command", required=True)

    p_info = sub.add_parser("info", help="show what a store holds")
    p_info.add_argument("--store", help="store file (default: %s)" % _manage.default_path())

    p_build = sub.add_parser("build-sample", help="generate the sample market into a store")
    p_build.add_argument("--store", help="store file (default: %s)" % _manage.default_path())
    p_build.add_argument("--seed", type=int, default=SAMPLE_SEED)
    p_build.add_argument("--stocks", type=int, default=SAMPLE_STOCKS,
                         help="number of common stocks (default %(default)s)")
    p_build.add_argument("--start", default=SAMPLE_START, help="first day (default %(default)s)")
    p_build.add_argument("--end", default=SAMPLE_END, help="last day (default %(default)s)")
    p_build.add_argument("--quiet", action="store_true", help="no progress bar")

    p_import = sub.add_parser(
        "import", help="build a store from a folder of CSV or Parquet files (see SCHEMA.md)")
    p_import.add_argument("folder")
    p_import.add_argument("--store", help="store file (default: %s)" % _manage.default_path())
    p_import.add_argument("--quiet", action="store_true", help="no progress bar")

    args = parser.parse_args(argv)
    store = _manage.resolve(args.store)
    try:
        if args.command == "info":
            _print_info(store)
        elif args.command == "build-sample":
            from ._sample import build_sample
            build_sample(store, seed=args.seed, n_stocks=args.stocks, start=args.start,
                         end=args.end, progress=not args.quiet)
            _print_info(store)
        else:
            from ._importer import import_folder
            import_folder(args.folder, store, progress=not args.quiet)
            _print_info(store)
    except KeyboardInterrupt:
        sys.stderr.write("tickvane: interrupted; the store at %s is unchanged\n" % store)
        return 1
    except (ValueError, OSError, RuntimeError) as exc:
        sys.stderr.write("tickvane: %s\n" % exc)
        if args.command in ("import", "build-sample"):
            sys.stderr.write("tickvane: nothing was written; the store at %s is unchanged\n"
                             % store)
        return 1
    return 0


def _print_info(path):
    import os

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
    out.write("source        %s, built %s\n" % (source, meta.get("built_at", "?")))
    out.write("dates         %s to %s, %d trading days\n" % (
        info["first_date"].date(), info["last_date"].date(), info["trading_dates"]))
    out.write("instruments   %s\n" % ", ".join(
        "%d %s" % (count, kind) for kind, count in info["instruments"].items()))
    out.write("indices with constituents: %s\n"
              % (", ".join(info["indices_with_components"]) or "none"))
    for table, count in info["rows"].items():
        out.write("  %-18s %10d rows\n" % (table, count))


if __name__ == "__main__":
    sys.exit(main())
