"""The akshare library as a source of three tables: the government bond yield curve, the
Shenwan industry membership history (2021 revision) and the CSI indices' official weights.

akshare answers each call with a pandas DataFrame whose columns have Chinese names (or
raises whatever its HTTP client or parser raised). The replies are checked here: a reply
that is empty, lacks a column or holds a value that cannot be read is a SourceError in one
line, never taken for a complete answer. A failure of the network (an OSError, which the
HTTP client's errors are) is retried with backoff; anything else would fail again.
"""

import datetime as _dt
import math
import time

from ._sources_baostock import SourceError

# The curve asked for among the several the yield-curve page lists.
TREASURY_CURVE = "中债国债收益率曲线"
# The yield curve's published tenors: column name and maturity in years.
CURVE_TENORS = (("3月", 0.25), ("6月", 0.5), ("1年", 1.0), ("3年", 3.0), ("5年", 5.0),
                ("7年", 7.0), ("10年", 10.0), ("30年", 30.0))
# The source serves at most a year of curves a request.
CURVE_SPAN_DAYS = 360
# Shenwan level-1 industries of the 2021 revision by the first two digits of the
# classification's six-digit industry code (level 1 is XX0000).
SHENWAN_2021 = {
    "11": "农林牧渔", "22": "基础化工", "23": "钢铁", "24": "有色金属", "27": "电子",
    "28": "汽车", "33": "家用电器", "34": "食品饮料", "35": "纺织服饰", "36": "轻工制造",
    "37": "医药生物", "41": "公用事业", "42": "交通运输", "43": "房地产", "45": "商贸零售",
    "46": "社会服务", "48": "银行", "49": "非银金融", "51": "综合", "61": "建筑材料",
    "62": "建筑装饰", "63": "电力设备", "64": "机械设备", "65": "国防军工", "71": "计算机",
    "72": "传媒", "73": "通信", "74": "煤炭", "75": "石油石化", "76": "环保", "77": "美容护理",
}
# The CSI indices' codes at the index company, by order_book_id.
INDEX_SYMBOLS = {"000300.XSHG": "000300", "000905.XSHG": "000905"}
_EXCHANGES = (("上海", "XSHG"), ("深圳", "XSHE"))


def load_library():
    """The akshare module, or None when it is not installed (its tables are then not
    fetched)."""
    try:
        import akshare
    except ImportError:
        return None
    return akshare


class Akshare:
    """Paced, retried calls to akshare. `pace`: seconds between the starts of two calls;
    `retries`: further tries of a call that failed on the network, after `backoff`,
    2 × `backoff` ... seconds. `requests` counts what was sent."""

    name = "akshare"

    def __init__(self, library, pace=0.05, retries=3, backoff=2.0, sleep=None, clock=None):
        self.ak = library
        self.pace, self.retries, self.backoff = pace, retries, backoff
        self._sleep, self._clock = sleep or time.sleep, clock or time.monotonic
        self._last = None
        self.requests = 0

    # ------------------------------------------------------------------ queries

    def yield_curve(self, start, end):
        """{day: {maturity in years: yield in percent}} of the treasury curve from `start`
        to `end` (ISO dates), asked for a year at a time. A tenor the source leaves empty
        on a day is absent from that day's dict."""
        curves = {}
        first, last = _dt.date.fromisoformat(start), _dt.date.fromisoformat(end)
        while first <= last:
            upto = min(last, first + _dt.timedelta(days=CURVE_SPAN_DAYS - 1))
            what = "bond_china_yield(start_date=%r, end_date=%r)" % (
                first.strftime("%Y%m%d"), upto.strftime("%Y%m%d"))
            frame = self.call(what, "bond_china_yield", start_date=first.strftime("%Y%m%d"),
                              end_date=upto.strftime("%Y%m%d"))
            _columns(what, frame, ("曲线名称", "日期") + tuple(c for c, _ in CURVE_TENORS))
            rows = frame[frame["曲线名称"].astype(str).str.strip() == TREASURY_CURVE]
            if not len(rows):
                raise SourceError("akshare gave no %s in %s" % (TREASURY_CURVE, what))
            for k, (_, row) in enumerate(rows.iterrows(), 1):
                day = _date(row["日期"], what, k, "日期")
                points = {}
                for column, years in CURVE_TENORS:
                    value = _number(row[column], what, k, column)
                    if value is not None:
                        points[years] = value
                if day in curves and curves[day] != points:
                    raise SourceError("akshare gave two different curves for %s in %s"
                                      % (day, what))
                curves[day] = points
            first = upto + _dt.timedelta(days=1)
        return curves

    def shenwan_history(self):
        """{stock number (6 digits): [(start date, level-1 name)] in date order}: the
        Shenwan classification's membership history, level 1 of each industry code."""
        what = "stock_industry_clf_hist_sw()"
        frame = self.call(what, "stock_industry_clf_hist_sw")
        _columns(what, frame, ("symbol", "start_date", "industry_code"))
        history = {}
        for k, (_, row) in enumerate(frame.iterrows(), 1):
            symbol = str(row["symbol"]).strip()
            code = str(row["industry_code"]).strip()
            if not (len(symbol) == 6 and symbol.isdigit()):
                raise SourceError("akshare gave a stock code that is no six-digit number in"
                                  " %s, row %d: %r" % (what, k, row["symbol"]))
            name = SHENWAN_2021.get(code[:2]) if len(code) == 6 and code.isdigit() else None
            if name is None:
                raise SourceError("akshare gave an industry code of no Shenwan level-1"
                                  " industry (2021) in %s, row %d: %r"
                                  % (what, k, row["industry_code"]))
            history.setdefault(symbol, []).append(
                (_date(row["start_date"], what, k, "start_date"), name))
        for changes in history.values():
            changes.sort()
        return history

    def official_weights(self, index_id):
        """{day: {order_book_id: weight as a fraction}}: the latest weights the index
        company publishes for the index (`index_id` '000300.XSHG' or '000905.XSHG')."""
        symbol = INDEX_SYMBOLS[index_id]
        what = "index_stock_cons_weight_csindex(symbol=%r)" % symbol
        frame = self.call(what, "index_stock_cons_weight_csindex", symbol=symbol)
        _columns(what, frame, ("日期", "成分券代码", "交易所", "权重"))
        weights = {}
        for k, (_, row) in enumerate(frame.iterrows(), 1):
            day = _date(row["日期"], what, k, "日期")
            code = str(row["成分券代码"]).strip()
            exchange = next((x for name, x in _EXCHANGES if name in str(row["交易所"])),
                            None)
            if exchange is None or not (len(code) == 6 and code.isdigit()):
                raise SourceError("akshare gave a member this store cannot name in %s, row"
                                  " %d: %r on %r" % (what, k, row["成分券代码"], row["交易所"]))
            weight = _number(row["权重"], what, k, "权重")
            if weight is None or weight < 0:
                raise SourceError("akshare gave no weight in %s, row %d (%s): %r"
                                  % (what, k, code, row["权重"]))
            oid = "%s.%s" % (code, exchange)
            if oid in weights.get(day, {}):
                raise SourceError("akshare gave %s twice in %s on %s" % (oid, what, day))
            weights.setdefault(day, {})[oid] = weight / 100
        return weights

    # ------------------------------------------------------------------ machinery

    def call(self, what, function, **kwargs):
        """The DataFrame one library function returns; SourceError when it fails or is
        empty."""
        method = getattr(self.ak, function, None)
        if method is None:
            raise SourceError("this akshare has no %s (a newer version may have renamed"
                              " it)" % function)
        for attempt in range(self.retries + 1):
            self._wait()
            self.requests += 1
            try:
                frame = method(**kwargs)
            except OSError as exc:   # the HTTP client's errors, a timeout, a reset
                if attempt == self.retries:
                    raise SourceError("cannot reach akshare's source (%s) after %d tries:"
                                      " %s" % (what, attempt + 1, _one_line(exc))) from None
                self._sleep(self.backoff * 2 ** attempt)
                continue
            except Exception as exc:  # a page the library could not read
                raise SourceError("akshare failed on %s: %s: %s" % (
                    what, type(exc).__name__, _one_line(exc))) from None
            if not hasattr(frame, "columns") or not hasattr(frame, "iterrows"):
                raise SourceError("akshare gave no table for %s (%s)"
                                  % (what, type(frame).__name__))
            if not len(frame):
                raise SourceError("akshare gave an empty reply to %s" % what)
            return frame
        raise AssertionError("unreachable")

    def _wait(self):
        if self.pace and self._last is not None:
            wait = self._last + self.pace - self._clock()
            if wait > 0:
                self._sleep(wait)
        self._last = self._clock()


def _columns(what, frame, needed):
    missing = [c for c in needed if c not in frame.columns]
    if missing:
        raise SourceError("akshare's reply to %s lacks the column%s %s (it has %s)" % (
            what, "s" if len(missing) > 1 else "", ", ".join(missing),
            ", ".join(map(str, frame.columns)) or "none"))


def _date(value, what, row, column):
    """An ISO date from a cell the library filled with a date (or text of one)."""
    if value is None or value != value:   # NaN, NaT: a date the library could not read
        raise SourceError("akshare gave %s, row %d, column %s without a date"
                          % (what, row, column))
    if isinstance(value, _dt.datetime):
        value = value.date()
    if isinstance(value, _dt.date):
        return value.isoformat()
    text = "" if value is None else str(value).strip()
    try:
        if len(text) == 8 and text.isdigit():
            return _dt.date(int(text[:4]), int(text[4:6]), int(text[6:])).isoformat()
        return _dt.date.fromisoformat(text[:10]).isoformat()
    except ValueError:
        raise SourceError("akshare gave %s, row %d, column %s as %r, which is no date"
                          % (what, row, column, value)) from None


def _number(value, what, row, column):
    """A finite number, or None for an empty cell (NaN, None, '', '-')."""
    if value is None or (isinstance(value, str) and value.strip() in ("", "-", "--")):
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise SourceError("akshare gave %s, row %d, column %s as %r, which is no number"
                          % (what, row, column, value)) from None
    if math.isnan(number):
        return None
    if math.isinf(number):
        raise SourceError("akshare gave %s, row %d, column %s as %r"
                          % (what, row, column, value))
    return number


def _one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__
