// meridan.pcalc.position: the position of one instrument in the portfolio book, the
// shares held and their average cost price. Booked once per trade, so the checks of
// exact int and float values and the arithmetic on them run without Python calls.
#include <pybind11/pybind11.h>

#include <cmath>
#include <string>

#include "common/named.hpp"
#include "common/numbers.hpp"
#include "common/object_lock.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/pcalc/amounts.hpp"
#include "meridan/pcalc/checks.hpp"
#include "meridan/pcalc/records.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;

namespace {

constexpr const char* kPositionDoc =
    "Shares held in one instrument and their average cost price.\n\n"
    "Attributes: ``order_book_id``; ``quantity``, the number of shares held, stored "
    "as\n"
    "given; ``avg_price``, the average price paid per share (a float, currency per\n"
    "share), 0.0 for a new position, since the cost of an opening holding is unknown.\n"
    "Positions compare equal on (order_book_id, quantity, avg_price); they change in\n"
    "place, so they are not hashable.";

constexpr const char* kApplyTradeDoc =
    "Book one trade of this instrument, reading ``trade.side``, ``trade.last_price``\n"
    "and ``trade.last_quantity`` (shares, never negative).\n\n"
    "A side of \"BUY\" adds the shares and moves ``avg_price`` to the\n"
    "quantity-weighted average of the old average and the trade price (fees are not\n"
    "part of the cost price); a side of \"SELL\" removes the shares and keeps\n"
    "``avg_price``. A position left with 0 shares has ``avg_price`` 0.0.\n\n"
    "Raises ValueError for a sale of more shares than are held, any other side, a\n"
    "quantity or price that is negative, NaN or infinite, and TypeError for a\n"
    "quantity or price that is not a number; the position is then left unchanged.";

using meridan::pcalc::repr_of;
namespace pc = meridan::pcalc;

// str() of an owned reference that may be null (an attribute that was missing).
std::string text_of(PyObject* value) {
    if (!value) return "?";
    return py::str(py::reinterpret_steal<py::object>(value)).cast<std::string>();
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// The new (quantity, avg_price) of a buy, in C++ when the values are exact ints and
// floats (Python's int/float arithmetic gives the same doubles for ints below 2**53),
// with Python's operators otherwise.
std::pair<py::object, py::object> bought(py::handle held, py::handle avg,
                                         py::handle quantity, py::handle price) {
    long long q0, q1;
    double a, p;
    constexpr long long exact = 1LL << 53;
    if (mb::exact_int(held, q0) && mb::exact_int(quantity, q1) &&
        mb::exact_float(avg, a) && mb::exact_float(price, p) && q0 > -exact &&
        q0 < exact && q1 < exact) {
        const long long q = q0 + q1;
        if (q == 0) return {py::int_(0), py::float_(0.0)};
        const double value =
            (static_cast<double>(q0) * a + static_cast<double>(q1) * p) /
            static_cast<double>(q);
        return {py::reinterpret_steal<py::object>(PyLong_FromLongLong(q)),
                py::float_(value)};
    }
    PyErr_Clear();
    const pc::Arithmetic ar{held, avg, quantity, price};
    py::object q = ar.add(held, quantity);
    if (mb::equal(q, py::int_(0))) return {q, py::float_(0.0)};
    py::object cost = ar.add(ar.mul(held, avg), ar.mul(quantity, price));
    return {q, mb::to_float(ar.div(cost, q))};
}

// Making a position and booking trades on it: __init__, apply_trade.
void register_trading(const py::object& cls, const py::object& trade_cls,
                      const std::shared_ptr<pc::PositionFields>& fields) {
    auto trades = std::make_shared<pc::TradeFields>(trade_cls);

    mb::def_method(
        cls, {"__init__", {"self", "order_book_id", "quantity"}, {py::int_(0)}},
        "A position of `quantity` shares at an unknown (0.0) cost price.",
        mb::named<3>([fields](const py::object& self, const py::object& order_book_id,
                              const py::object& quantity) {
            fields->order_book_id.set(self, order_book_id);
            fields->quantity.set(self, quantity);
            fields->avg_price.set(self, py::float_(0.0));
            return py::none();
        }));

    mb::def_method(
        cls, {"apply_trade", {"self", "trade"}, {}}, kApplyTradeDoc,
        mb::named<2>([fields, trades](const py::object& self, const py::object& trade) {
            mb::ObjectLock lock(self);
            py::object quantity = trades->last_quantity(trade);
            auto trade_of = [&] {
                return "trade of " + text_of(fields->order_book_id.get_optional(self));
            };
            pc::check_amount(quantity, "last_quantity", "number of shares",
                             pc::Bound::non_negative, trade_of);
            const bool buy = pc::check_side(trades->side(trade), trade_of);
            py::object price = trades->last_price(trade);
            // A NaN price (a missing close) would silently poison every later
            // average, so it is refused like a negative one, on both sides.
            pc::check_amount(
                price, "last_price", "price", pc::Bound::non_negative, [&] {
                    return std::string(buy ? "buy" : "sell") + " of " +
                           text_of(fields->order_book_id.get_optional(self));
                });
            py::object held = fields->quantity(self);
            py::object avg = fields->avg_price(self);
            py::object new_quantity, new_avg;
            if (buy) {
                std::tie(new_quantity, new_avg) = bought(held, avg, quantity, price);
            } else {
                const int more =
                    PyObject_RichCompareBool(quantity.ptr(), held.ptr(), Py_GT);
                if (more < 0) throw py::error_already_set();
                if (more) {
                    raise(PyExc_ValueError,
                          "cannot sell " + repr_of(quantity) + " shares of " +
                              py::str(fields->order_book_id(self)).cast<std::string>() +
                              ": only " + repr_of(held) + " held");
                }
                new_quantity = pc::Arithmetic{held, quantity}.sub(held, quantity);
                new_avg = mb::equal(new_quantity, py::int_(0))
                              ? py::object(py::float_(0.0))
                              : avg;
            }
            fields->quantity.set(self, new_quantity);
            fields->avg_price.set(self, new_avg);
            return py::none();
        }),
        {trade_cls});
}

// Comparing and showing positions: __eq__, __repr__.
void register_comparison(const py::object& cls,
                         const std::shared_ptr<pc::PositionFields>& fields) {
    mb::def_method(
        cls, {"__eq__", {"self", "other"}, {}},
        "Equal to another Position with the same id, quantity and avg_price.",
        mb::named<2>(
            [fields, cls = py::handle(cls)](const py::object& self,
                                            const py::object& other) -> py::object {
                if (!PyObject_TypeCheck(other.ptr(),
                                        reinterpret_cast<PyTypeObject*>(cls.ptr())))
                    return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                return py::bool_(mb::equal(
                    py::make_tuple(fields->order_book_id(self), fields->quantity(self),
                                   fields->avg_price(self)),
                    py::make_tuple(fields->order_book_id(other),
                                   fields->quantity(other), fields->avg_price(other))));
            }));
    cls.attr("__hash__") = py::none();

    mb::def_method(
        cls, {"__repr__", {"self"}, {}}, "Position(order_book_id=…, …).",
        mb::named<1>([fields](const py::object& self) {
            return py::str(
                "Position(order_book_id=" + repr_of(fields->order_book_id(self)) +
                ", quantity=" + repr_of(fields->quantity(self)) +
                ", avg_price=" + repr_of(fields->avg_price(self)) + ")");
        }));
}

}  // namespace

PYBIND11_MODULE(position, m) {
    m.doc() =
        "The position of one instrument in the portfolio book: shares held and "
        "the average cost price per share.";
    m.attr("__all__") = py::make_tuple("Position");
    py::object trade_cls = py::module_::import("meridan.pcalc.trade").attr("Trade");
    py::object cls = mb::make_class(m, "Position", py::tuple(), kPositionDoc,
                                    "Position(order_book_id, quantity=0)",
                                    {"order_book_id", "quantity", "avg_price"});
    auto fields = std::make_shared<pc::PositionFields>(cls);
    register_trading(cls, trade_cls, fields);
    register_comparison(cls, fields);
}
