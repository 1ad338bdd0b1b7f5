"""Measuring helpers shared by the benches: warm and fresh-process figures, and the
small JSON each bench keeps beside it.

- warm: ``measure(fn, warm_runs=5)`` calls ``fn`` once untimed, then ``warm_runs``
  times, and answers the best time (one collection first, then the collector off
  throughout, as timeit has it). ``fn`` may answer its own seconds (the whole call
  minus what it spent outside the package, say); when it answers None its call is
  timed on ``clock``.
- fresh: ``fresh(argv, runs=5)`` runs ``python argv...`` ``runs`` times, one process
  after another; each process times the first call after its imports and prints it
  with ``report_once(seconds, **extra)`` as the last line of its output (a JSON
  object). The answer is the median of the processes' seconds, and all of them.
  Imports are not timed: a module first imported inside the call (pyarrow loads its
  pandas support when a process makes its first array of text, on either side) is
  timed apart by ``time_once`` and taken out.
- ``SYSTEM_ALLOCATOR``: the environment of fresh processes whose pyarrow allocates from
  the system's allocator instead of its default pool. On the 2-core machines this runs
  on, the default pool's first allocations in a process now and then spend 8-16 ms in
  the kernel (two processes in five, say, on either side), which moves a figure of
  25 ms by half; the benches whose calls make text arrays print their fresh figures
  this way too, beside the goal's.
- ``save(name, figures)`` writes ``bench/results/<name>.json``: the figures with the
  interpreter, the machine and the time of the run.

Times are the thread's CPU time by default: on a shared machine wall time mostly
measures the other processes.
"""

from __future__ import annotations

import contextlib
import datetime
import gc
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

__all__ = ["clock", "SYSTEM_ALLOCATOR", "no_gc", "own_time", "measure", "imports_apart",
           "time_once", "fresh", "imports_line", "report_once", "save", "RESULTS"]

clock = time.thread_time
SYSTEM_ALLOCATOR = {**os.environ, "ARROW_DEFAULT_MEMORY_POOL": "system"}
RESULTS = pathlib.Path(__file__).resolve().parent / "results"


@contextlib.contextmanager
def no_gc():
    """The collector off while timing, as timeit does: garbage left by earlier work
    would otherwise be collected in whichever run it falls in."""
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def own_time(proxy, call, before=()):
    """A function timing one call of ``call()``: its own seconds, the time spent in
    requests answered through ``proxy`` (a recording proxy of the client, for requests
    not yet in its memory) taken out. Each of ``before`` is called first, untimed
    (memos to clear, say)."""
    def once():
        for step in before:
            step()
        proxy.reset_calls()
        start = clock()
        call()
        return clock() - start - proxy.time_inside
    return once


def _seconds(fn):
    start = clock()
    own = fn()
    elapsed = clock() - start
    return elapsed if own is None else own


def measure(fn, warm_runs=5):
    """Best seconds of ``warm_runs`` calls of ``fn`` after one untimed call.

    One collection comes first, then the collector stays off for all the calls, as
    timeit has it: a full collection before each call would walk every object of the
    process (the kept replies included) and leave each call to start with cold
    caches, which is the fresh figure's business, not the warm one's."""
    if warm_runs < 1:
        raise ValueError(f"warm_runs must be at least 1, got {warm_runs}")
    with no_gc():
        fn()
        return min(_seconds(fn) for _ in range(warm_runs))


@contextlib.contextmanager
def imports_apart():
    """Times the modules first imported inside the block, apart from the rest: yields a
    dict whose "seconds" and "modules" are filled as they are imported (an import made
    by another import counts in the outer one)."""
    import _frozen_importlib as bootstrap  # every import statement loads through it

    load = bootstrap._find_and_load
    spent = {"seconds": 0.0, "modules": []}
    depth = 0

    def timed_load(name, import_):
        nonlocal depth
        if depth:
            return load(name, import_)
        depth += 1
        start = clock()
        try:
            return load(name, import_)
        finally:
            spent["seconds"] += clock() - start
            spent["modules"].append(name)
            depth -= 1

    bootstrap._find_and_load = timed_load
    try:
        yield spent
    finally:
        bootstrap._find_and_load = load


def time_once(fn):
    """Seconds of one call of ``fn`` (its own answer when it gives one) with the
    modules it first imports taken out, and those imports (a dict of "seconds" and
    "modules"): for the process that reports a fresh figure."""
    with no_gc(), imports_apart() as imports:
        seconds = _seconds(fn)
    return seconds - imports["seconds"], imports


def report_once(seconds, **extra):
    """Prints the figure of a ``--once`` process as the JSON line ``fresh`` reads."""
    print(json.dumps({"seconds": seconds, **extra}), flush=True)


def fresh(argv, runs=5, env=None, key="seconds", reports=None):
    """Median seconds of ``runs`` processes ``python argv...`` and the list of all.

    Each process must end its output with a JSON line holding the figure under ``key``
    (the line ``report_once`` prints); a process that fails raises RuntimeError with its
    error output. Each whole line, read as a dict, is appended to ``reports`` when one
    is given."""
    if runs < 1:
        raise ValueError(f"runs must be at least 1, got {runs}")
    figures = []
    for _ in range(runs):
        done = subprocess.run([sys.executable, *map(str, argv)], capture_output=True,
                              text=True, env=env or os.environ.copy())
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(map(str, argv))} failed "
                               f"({done.returncode}):\n{done.stderr[-2000:]}")
        lines = done.stdout.strip().splitlines()
        if not lines:
            raise RuntimeError(f"{' '.join(map(str, argv))} printed no figure")
        report = json.loads(lines[-1])
        figures.append(report[key])
        if reports is not None:
            reports.append(report)
    return statistics.median(figures), figures


def imports_line(**reports):
    """A line telling what the fresh processes of each side (a name and its reports,
    as ``fresh`` gathers them) imported inside the timed call and was taken out."""
    parts, modules = [], set()
    for side, side_reports in reports.items():
        imports = [r.get("imports", {"seconds": 0.0, "modules": []}) for r in side_reports]
        parts.append(f"{side} {1e3 * statistics.median(i['seconds'] for i in imports):.2f} ms")
        modules.update(m for i in imports for m in i["modules"])
    return (f"  imports made inside the first call, not timed (median): {', '.join(parts)}"
            f" ({', '.join(sorted(modules)) or 'none'})")


def save(name, figures):
    """Writes ``figures`` (a JSON-able dict) to ``bench/results/<name>.json`` with the
    run's interpreter, machine and time; answers the path."""
    RESULTS.mkdir(exist_ok=True)
    path = RESULTS / f"{name}.json"
    record = {
        "figures": figures,
        "python": platform.python_version(),
        "machine": f"{platform.machine()}, {os.cpu_count()} cpus",
        "when": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
    }
    path.write_text(json.dumps(record, indent=2, ensure_ascii=False) + "\n")
    return path


def append(path, figures, note=""):
    """Adds this run's figures to the JSON list of runs at ``path`` (oldest first), with
    the time, the commit, a note and the load average."""
    path = pathlib.Path(path)
    runs = json.loads(path.read_text()) if path.exists() else []
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=path.parent,
                                capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        commit = ""
    runs.append({"when": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                 "commit": commit, "note": note,
                 "load_average": round(os.getloadavg()[0], 2), **figures})
    path.parent.mkdir(exist_ok=True)
    path.write_text(json.dumps(runs, indent=1) + "\n")
