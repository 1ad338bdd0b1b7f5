"""Error types shared by the reading and the writing side (standard library only)."""


class StoreError(RuntimeError):
    """A store file is not usable: not SQLite, another schema version, damaged or
    incomplete, or it could not be written. The message names the file."""


class Terminated(SystemExit):
    """SIGTERM or SIGHUP arrived while a store was being written.

    Raised from the signal handler the writer installs, so that the temporary file is
    removed on the way out; a SystemExit, so that `except Exception` does not swallow it
    and an uncaught one ends the process with the shell's status for the signal.
    """

    def __init__(self, signum):
        super().__init__(128 + signum)
        self.signum = signum
