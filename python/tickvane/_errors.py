"""Error types shared by the reading and the writing side (standard library only)."""


class StoreError(RuntimeError):
    """A store file is not usable: not SQLite, another schema version, damaged or
    incomplete, or it could not be written. The message names the file."""


class Terminated(SystemExit):
    """SIGTERM or SIGHUP arrived while a store was being written.

    Raised from a signal handler, so that the temporary file is removed on the way out; a
    SystemExit, so that `except Exception` does not swallow it. When the writer installed
    the handler itself (`redeliver`), the outermost build or import sends the signal
    again with its default action once everything is cleaned up, so the process still
    ends by the signal as its sender expects (a notebook kernel would otherwise survive a
    SystemExit).
    """

    def __init__(self, signum, redeliver=False):
        super().__init__(128 + signum)
        self.signum = signum
        self.redeliver = redeliver
