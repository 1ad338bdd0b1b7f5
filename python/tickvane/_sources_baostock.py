"""The baostock library as a source of rows: login, paced and retried requests, every page
of a reply read and checked.

baostock answers each query with a result object: `error_code` is text ("0" for success),
`error_msg` says what went wrong, `fields` names the columns and `next()` /
`get_row_data()` walk the rows, each a list of text cells; `next()` asks the server for
the following page (2000 rows a page) when the current one is full. A page that fails to
arrive ends the walk quietly, with the last full page still in `data` and `error_code`
unchanged; that case is caught here (`_rows`) so that a cut-off reply is never taken for
a complete one. The library prints to standard output as it goes; that chatter is kept
out of ours. A network failure is retried with backoff; any other error code is final.
"""

import contextlib
import io
import socket
import time


class SourceError(RuntimeError):
    """A source refused a request or could not be reached; the message is one line."""


# baostock's error codes for the network (10002xxx) and for a reply that could not be
# read (10004001/2): worth another try. Everything else (not logged in, bad parameters,
# the server's own failures) would fail again.
_TRANSIENT = ("10002", "10004001", "10004002")
PAGE_ROWS = 2000
# The fields of a daily bar, unadjusted (adjustflag "3"), as the library names them.
K_FIELDS = ("date,code,open,high,low,close,preclose,volume,amount,adjustflag,turn,"
            "tradestatus,pctChg,peTTM,pbMRQ,psTTM,pcfNcfTTM,isST")
# An index has no trade status, ST flag or valuation: only these.
INDEX_FIELDS = "date,code,open,high,low,close,preclose,volume,amount,pctChg"


def load_library():
    """The baostock module, or SourceError saying how to install it."""
    try:
        import baostock
    except ImportError:
        raise SourceError('fetch needs the baostock package: pip install "meridan[fetch]"'
                          ' (or: pip install baostock)') from None
    return baostock


def to_order_book_id(code):
    """'sh.600000' -> '600000.XSHG', 'sz.000001' -> '000001.XSHE'."""
    market, _, number = code.partition(".")
    exchange = {"sh": "XSHG", "sz": "XSHE"}.get(market.lower())
    if exchange is None or not number.isdigit():
        raise SourceError("baostock gave a code this store cannot name: %r" % code)
    return "%s.%s" % (number, exchange)


def to_code(order_book_id):
    """'600000.XSHG' -> 'sh.600000'."""
    number, _, exchange = order_book_id.partition(".")
    market = {"XSHG": "sh", "XSHE": "sz"}.get(exchange.upper())
    if market is None or not number.isdigit():
        raise ValueError("not a Shanghai or Shenzhen order_book_id: %r" % order_book_id)
    return "%s.%s" % (market, number)


class Baostock:
    """One session with baostock. `pace`: seconds between the starts of two requests;
    `retries`: further tries of a request that failed on the network, after `backoff`,
    2 × `backoff`, 4 × `backoff` ... seconds; `timeout`: seconds a reply may take (the
    library sets none, so a stalled connection would hang for ever). `requests` counts
    what was sent."""

    name = "baostock"

    def __init__(self, library=None, pace=0.05, retries=3, backoff=2.0, timeout=60.0,
                 sleep=None, clock=None):
        self.bs = library if library is not None else load_library()
        self.pace, self.retries, self.backoff, self.timeout = pace, retries, backoff, timeout
        self._sleep, self._clock = sleep or time.sleep, clock or time.monotonic
        self._last = None
        self.requests = 0
        self.logged_in = False

    # ------------------------------------------------------------------ session

    def _connect(self):
        """The library's login, which opens its one connection: with a timeout, so that a
        stalled reply fails (and is retried) instead of hanging."""
        previous = socket.getdefaulttimeout()
        socket.setdefaulttimeout(self.timeout)
        try:
            return self.bs.login()
        finally:
            socket.setdefaulttimeout(previous)

    def login(self):
        for attempt in range(self.retries + 1):
            reply = self._call("login", self._connect)
            if attempt < self.retries and _transient(reply):
                self._sleep(self.backoff * 2 ** attempt)
                continue
            self._check("login", reply)
            self.logged_in = True
            return

    def logout(self):
        if self.logged_in:
            self.logged_in = False
            with contextlib.suppress(Exception), _quiet():
                self.bs.logout()

    def __enter__(self):
        self.login()
        return self

    def __exit__(self, *exc):
        self.logout()
        return False

    # ------------------------------------------------------------------ queries

    def trade_dates(self, start, end):
        return self.query("query_trade_dates", start_date=start, end_date=end)

    def stock_basic(self):
        return self.query("query_stock_basic")

    def index_members(self, index, day):
        """index: 'hs300' or 'zz500'; the members in force on `day`."""
        return self.query("query_%s_stocks" % index, date=day)

    def industry(self, day):
        """Every stock's CSRC industry as classified on `day`."""
        return self.query("query_stock_industry", date=day)

    def daily_bars(self, code, start, end):
        return self.query("query_history_k_data_plus", code, K_FIELDS, start_date=start,
                          end_date=end, frequency="d", adjustflag="3")

    def index_bars(self, code, start, end):
        return self.query("query_history_k_data_plus", code, INDEX_FIELDS, start_date=start,
                          end_date=end, frequency="d", adjustflag="3")

    def adjust_factors(self, code, start, end):
        return self.query("query_adjust_factor", code=code, start_date=start, end_date=end)

    def dividends(self, code, year):
        """The dividends whose ex date falls in `year`."""
        return self.query("query_dividend_data", code=code, year=str(year),
                          yearType="operate")

    # ------------------------------------------------------------------ machinery

    def query(self, function, *args, **kwargs):
        """All rows of one query as dicts of text, by field name."""
        what = _describe(function, args, kwargs)
        method = getattr(self.bs, function)
        for attempt in range(self.retries + 1):
            reply = self._call(what, lambda: method(*args, **kwargs))
            try:
                return self._rows(what, reply)
            except _Transient as exc:
                if attempt == self.retries:
                    raise SourceError("baostock failed %d times on %s: %s"
                                      % (attempt + 1, what, exc)) from None
                self._sleep(self.backoff * 2 ** attempt)
                # The library's connection may be dead: a fresh login opens a new one.
                self._call("login", self._connect)
        raise AssertionError("unreachable")

    def _call(self, what, function):
        if self.pace and self._last is not None:
            wait = self._last + self.pace - self._clock()
            if wait > 0:
                self._sleep(wait)
        self._last = self._clock()
        self.requests += 1
        try:
            with _quiet():
                return function()
        except Exception as exc:  # the library lets some socket errors through
            return _Failed(exc)

    def _check(self, what, reply):
        if isinstance(reply, _Failed):
            raise SourceError("cannot reach baostock (%s): %s" % (what, reply.exc))
        if reply is None:
            raise SourceError("baostock gave no reply to %s" % what)
        code = str(reply.error_code)
        if code != "0":
            message = str(reply.error_msg or "").strip() or "no message"
            if code.startswith("10002") or code == "10001001" and what == "login":
                raise SourceError("cannot reach baostock (%s): error %s, %s"
                                  % (what, code, message))
            raise SourceError("baostock refused %s: error %s, %s" % (what, code, message))

    def _rows(self, what, reply):
        if _transient(reply):
            raise _Transient(_reason(reply))
        self._check(what, reply)
        fields = list(reply.fields)
        rows = []
        with _quiet():
            while True:
                try:
                    more = reply.next()
                except Exception as exc:
                    raise _Transient("the reply broke off after %d rows: %s"
                                     % (len(rows), exc)) from None
                if not more:
                    break
                row = reply.get_row_data()
                if len(row) != len(fields):
                    raise SourceError("baostock gave a row of %d cells for the %d fields of"
                                      " %s: %r" % (len(row), len(fields), what, row))
                rows.append(dict(zip(fields, row)))
        if str(reply.error_code) != "0":
            # A later page failed: what came before is not the whole answer.
            if str(reply.error_code).startswith(_TRANSIENT):
                raise _Transient("the reply broke off after %d rows: error %s, %s" % (
                    len(rows), reply.error_code, reply.error_msg))
            raise SourceError("baostock broke off %s after %d rows: error %s, %s" % (
                what, len(rows), reply.error_code, reply.error_msg))
        if len(getattr(reply, "data", ())) == PAGE_ROWS:
            # The last page read was full, so the library asked for the next one and got
            # nothing back (an empty next page would have replaced it).
            raise _Transient("the reply broke off after %d rows (a page did not arrive)"
                             % len(rows))
        return rows


def _transient(reply):
    return isinstance(reply, _Failed) or (
        reply is not None and str(reply.error_code).startswith(_TRANSIENT))


class _Transient(Exception):
    pass


class _Failed:
    """A call that raised instead of answering."""

    def __init__(self, exc):
        self.exc = exc
        self.error_code = "10002001"
        self.error_msg = str(exc)


def _reason(reply):
    if isinstance(reply, _Failed):
        return "%s: %s" % (type(reply.exc).__name__, reply.exc)
    return "error %s, %s" % (reply.error_code, reply.error_msg)


def _describe(function, args, kwargs):
    shown = [repr(a) for a in args if a not in (K_FIELDS, INDEX_FIELDS)]
    shown += ["%s=%r" % kv for kv in kwargs.items() if kv[0] not in ("frequency", "adjustflag")]
    return "%s(%s)" % (function, ", ".join(shown))


@contextlib.contextmanager
def _quiet():
    """The library prints its progress and errors; they are reported by us instead."""
    with contextlib.redirect_stdout(io.StringIO()):
        yield
