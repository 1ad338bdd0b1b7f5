"""A small progress bar on stderr for the long-running build and import commands.

On a terminal it redraws one line (bar, percentage, what is being done); elsewhere (a log
file, CI) it prints one line per stage so the output stays readable.
"""

import sys
import time


class Progress:
    def __init__(self, title, enabled=True, stream=None, width=28):
        self.title = title
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self.width = width
        self.fraction = 0.0
        self.label = ""
        self._detail = ""
        self._tty = enabled and hasattr(self.stream, "isatty") and self.stream.isatty()
        self._last_draw = 0.0
        self._start = time.monotonic()

    def stage(self, label, fraction=None):
        """Start a stage; `fraction` is the overall progress reached when it begins."""
        if fraction is not None:
            self.fraction = max(self.fraction, min(1.0, fraction))
        self.label = label
        self._detail = ""
        if not self.enabled:
            return
        if self._tty:
            self._draw(force=True)
        else:
            self.stream.write("%s: %3d%% %s\n" % (self.title, int(self.fraction * 100), label))
            self.stream.flush()

    def update(self, fraction, detail=None):
        self.fraction = max(self.fraction, min(1.0, fraction))
        if detail is not None:
            self._detail = detail
        if self._tty:
            self._draw()

    def _draw(self, force=False):
        now = time.monotonic()
        if not force and now - self._last_draw < 0.1:
            return
        self._last_draw = now
        filled = int(round(self.fraction * self.width))
        bar = "#" * filled + "-" * (self.width - filled)
        text = "%s [%s] %3d%%  %s %s" % (self.title, bar, int(self.fraction * 100),
                                        self.label, self._detail)
        self.stream.write("\r" + text[:110].ljust(110))
        self.stream.flush()

    def done(self, message=None):
        self.fraction = 1.0
        if not self.enabled:
            return
        elapsed = time.monotonic() - self._start
        message = message or "done"
        if self._tty:
            self._detail = ""
            self.label = message
            self._draw(force=True)
            self.stream.write("\n")
        else:
            self.stream.write("%s: 100%% %s (%.1f s)\n" % (self.title, message, elapsed))
        self.stream.flush()

    def fail(self):
        if self.enabled and self._tty:
            self.stream.write("\n")
            self.stream.flush()
