"""The immutable instrument record handed out by `instruments`.

Records are shared between calls: being immutable, a caller cannot change what the next
caller sees, and handing out the same object keeps the look-up at dictionary speed.
"""

_FIELDS = (
    "order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date",
    "round_lot", "sector_code_name", "shenwan_industry_name", "shenwan_industry_code",
)


class Instrument:
    """One instrument: a stock ("CS"), an index ("INDX") or a fund ("ETF", "LOF").

    Attributes: order_book_id, symbol, type, exchange, listed_date and de_listed_date
    (pd.Timestamp; de_listed_date is None while listed), round_lot (shares per board lot),
    sector_code_name (MSCI sector) and shenwan_industry_name / shenwan_industry_code (the
    Shenwan level-1 industry and its index id); the three classifications are None for
    anything but a stock.
    """

    __slots__ = _FIELDS

    def __init__(self, **fields):
        missing = set(_FIELDS) - set(fields)
        extra = set(fields) - set(_FIELDS)
        if missing or extra:
            raise TypeError("Instrument fields: missing %s, unexpected %s"
                            % (sorted(missing), sorted(extra)))
        for name in _FIELDS:
            object.__setattr__(self, name, fields[name])

    def __setattr__(self, name, value):
        raise AttributeError("Instrument records are read-only")

    def __delattr__(self, name):
        raise AttributeError("Instrument records are read-only")

    def _values(self):
        return tuple(getattr(self, name) for name in _FIELDS)

    def __eq__(self, other):
        if not isinstance(other, Instrument):
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self):
        return hash(self.order_book_id)

    def __reduce__(self):
        return (_rebuild, (self._values(),))

    def __repr__(self):
        parts = []
        for name in _FIELDS:
            value = getattr(self, name)
            if hasattr(value, "strftime"):
                value = value.strftime("%Y-%m-%d")
            parts.append("%s=%r" % (name, value))
        return "Instrument(%s)" % ", ".join(parts)

    def _asdict(self):
        return dict(zip(_FIELDS, self._values()))


def _rebuild(values):
    return Instrument(**dict(zip(_FIELDS, values)))
