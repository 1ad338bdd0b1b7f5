// meridan.pcalc.portfolio: the book of one portfolio replayed day by day (cash,
// positions, dividend income).
//
// The book's arithmetic runs on the caller's own number objects, so results keep the
// types the caller's values produce (ints stay ints, a Decimal stays a Decimal; see
// amounts.hpp). Every operation is all-or-nothing: it works out the new state first
// and changes the book only when every step has succeeded; and it holds the book's
// lock throughout, since arithmetic on Fractions or Decimals runs Python code, where
// the interpreter may let another thread change the same book half-way.
#include <pybind11/pybind11.h>

#include <memory>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/object_lock.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"
#include "meridan/pcalc/amounts.hpp"
#include "meridan/pcalc/checks.hpp"
#include "meridan/pcalc/records.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;
namespace pc = meridan::pcalc;

namespace {

// The book's own mapping class, whose items are read like a dict's.
PyObject* g_positions_cls = nullptr;

// The (key, value) pairs of `mapping.items()`, each checked to be a pair.
std::vector<std::pair<py::object, py::object>> item_pairs(py::handle mapping) {
    std::vector<std::pair<py::object, py::object>> pairs;
    if (PyDict_CheckExact(mapping.ptr()) ||
        Py_TYPE(mapping.ptr()) == reinterpret_cast<PyTypeObject*>(g_positions_cls)) {
        // Copied out first: the values are used while other Python code runs.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(mapping.ptr())));
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value))
            pairs.emplace_back(py::reinterpret_borrow<py::object>(key),
                               py::reinterpret_borrow<py::object>(value));
        return pairs;
    }
    for (py::handle item : mb::getattr<"items">(mapping)()) {
        py::object seq = py::reinterpret_steal<py::object>(
            PySequence_Fast(item.ptr(), "cannot unpack non-iterable object"));
        if (!seq) throw py::error_already_set();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        if (n != 2) {
            throw py::value_error(
                "expected pairs (order_book_id, value) from items(), got " +
                py::repr(item).cast<std::string>());
        }
        pairs.emplace_back(
            py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(seq.ptr(), 0)),
            py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(seq.ptr(), 1)));
    }
    return pairs;
}

// The quantity and average price of a position, saved so that a failed update can
// put them back. Read from the slots of our own Position, by name from any other
// position object (which may lack them).
struct SavedPosition {
    py::object position;
    PyObject* quantity = nullptr;
    PyObject* avg_price = nullptr;

    SavedPosition(py::object pos, const meridan::pcalc::PositionFields& fields)
        : position(std::move(pos)) {
        quantity = fields.quantity.get_optional(position);
        avg_price = fields.avg_price.get_optional(position);
    }
    SavedPosition(const SavedPosition&) = delete;
    SavedPosition(SavedPosition&& other) noexcept
        : position(std::move(other.position)),
          quantity(other.quantity),
          avg_price(other.avg_price) {
        other.quantity = other.avg_price = nullptr;
    }
    ~SavedPosition() {
        Py_XDECREF(quantity);
        Py_XDECREF(avg_price);
    }
    void restore(const meridan::pcalc::PositionFields& fields) const {
        if (quantity) fields.quantity.set(position, quantity);
        if (avg_price) fields.avg_price.set(position, avg_price);
    }
};

// `value != 0` as Python evaluates it, without a call for exact ints and floats.
bool nonzero(py::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr()) != 0.0;
    if (PyLong_CheckExact(value.ptr())) return PyObject_IsTrue(value.ptr()) == 1;
    return mb::not_equal(value, py::int_(0));
}

constexpr const char* kPositionsDoc =
    "Positions of a book by order book id.\n\n"
    "A dict whose missing keys read as a new flat Position that is not stored, so\n"
    "looking up an instrument never adds it to the book.";

constexpr const char* kPortfolioDoc =
    "The book of one portfolio: cash, one Position per instrument and the dividend\n"
    "income received.\n\n"
    "Portfolio(cash=100000.0, positions=None) opens a book with `cash` (currency) and\n"
    "`positions`, a mapping from order book id to a number of shares. Trades, splits,\n"
    "dividends and cash movements are applied in the caller's order; each operation\n"
    "either applies completely or, when it raises, leaves the book exactly as it\n"
    "was. Cash must be a finite number and each quantity a finite number >= 0\n"
    "(TypeError for what is not a number, ValueError otherwise, naming the value).\n\n"
    "Amounts keep the caller's number types, with Python's arithmetic: ints stay\n"
    "ints, a Fraction stays a Fraction (a Fraction and a float give a float). A\n"
    "Decimal stays a Decimal: where an operation involves a Decimal, its float\n"
    "amounts are read as the Decimals of their shortest text (a price of 10.1 is\n"
    "Decimal('10.1')), so Portfolio(Decimal('1000')) can book trades priced in\n"
    "floats. Numbers that do not mix (a Decimal and a Fraction) raise TypeError\n"
    "naming both values. Average prices are floats.\n\n"
    "A book may be shared between threads: each operation holds the book's own lock\n"
    "while it reads and changes it, so concurrent trades never lose an update.";

// What the methods of Portfolio share: its class and the slots of a book, the
// classes they read (each method holds those it reads: the fields below borrow them).
struct Book {
    py::handle module;  // kept by the import system
    py::object cls;
    py::object positions_cls;
    py::object position_cls;
    py::object trade_cls;
    std::shared_ptr<pc::PositionFields> positions;
    std::shared_ptr<pc::TradeFields> trades;
    std::shared_ptr<mb::Slot> cash_slot;
    std::shared_ptr<mb::Slot> book_slot;
    std::shared_ptr<mb::Slot> dividends_slot;
};

// The book's mapping class, Positions; returns it.
py::object register_positions(py::module_& m) {
    py::object dict_type =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyDict_Type));
    py::object positions_cls =
        mb::make_class(m, "Positions", py::make_tuple(dict_type), kPositionsDoc);
    g_positions_cls = positions_cls.inc_ref().ptr();
    mb::def_method(
        positions_cls, {"__missing__", {"self", "key"}, {}},
        "A new flat Position(key) for an instrument not in the book; not stored.",
        mb::named<2>(
            [m = py::handle(m)](const py::object& /*self*/, const py::object& key) {
                return mb::global(m, "Position")(key);
            }),
        {m});
    return positions_cls;
}

// Opening a book and reading it: __init__, holdings, get_position.
void register_book(const Book& b) {
    const py::handle m = b.module;
    const py::object& portfolio_cls = b.cls;
    const py::object& positions_cls = b.positions_cls;
    const py::object& position_cls = b.position_cls;
    const auto& positions = b.positions;
    const auto& cash_slot = b.cash_slot;
    const auto& book_slot = b.book_slot;
    const auto& dividends_slot = b.dividends_slot;

    mb::def_method(
        portfolio_cls,
        {"__init__", {"self", "cash", "positions"}, {py::float_(100000.0), py::none()}},
        "Opens a book with `cash` and the share quantities of `positions`.",
        mb::named<3>([m = py::handle(m), positions_cls = py::handle(positions_cls),
                      cash_slot, book_slot,
                      dividends_slot](const py::object& self, const py::object& cash,
                                      const py::object& opening) {
            mb::ObjectLock lock(self);
            pc::check_amount(cash, "cash", "number", pc::Bound::any,
                             [] { return std::string("opening cash"); });
            py::object book = positions_cls();
            if (!opening.is_none()) {
                const auto pairs = item_pairs(opening);
                for (auto& [oid, quantity] : pairs) {
                    pc::check_amount(quantity, "quantity", "number of shares",
                                     pc::Bound::non_negative, [&] {
                                         return "opening position " + pc::repr_of(oid);
                                     });
                }
                py::object position_cls = mb::global(m, "Position");
                for (auto& [oid, quantity] : pairs) {
                    book[oid] = position_cls(oid, quantity);
                }
            }
            cash_slot->set(self, cash);
            book_slot->set(self, book);
            dividends_slot->set(self, py::int_(0));
            return py::none();
        }),
        {m, positions_cls});

    mb::def_method(
        portfolio_cls, {"holdings", {"self"}, {}},
        "Order book ids whose quantity is not 0, in the order they entered the book.",
        mb::named<1>([positions, book_slot](const py::object& self) {
            mb::ObjectLock lock(self);
            py::list held;
            for (auto& [oid, position] : item_pairs(book_slot->value(self))) {
                if (nonzero(positions->quantity(position))) held.append(oid);
            }
            return py::object(held);
        }),
        {position_cls});

    mb::def_method(
        portfolio_cls, {"get_position", {"self", "key"}, {}},
        "The Position of order book id `key`; a new flat Position, not stored, for an\n"
        "instrument that is not in the book.",
        mb::named<2>([book_slot](const py::object& self, const py::object& key) {
            mb::ObjectLock lock(self);
            return py::object(book_slot->value(self)[key]);
        }));

    // A shallow copy would share the Positions mapping and its Position objects: a
    // trade booked on the copy would move the original's shares but not its cash.
    mb::def_method(
        portfolio_cls, {"__copy__", {"self"}, {}},
        "A book of its own with the same cash, dividends and positions (copy.copy is\n"
        "copy.deepcopy: the two never share a position).",
        mb::named<1>([](const py::object& self) {
            return py::object(py::module_::import("copy").attr("deepcopy")(self));
        }));

    mb::def_method(
        portfolio_cls, {"__repr__", {"self"}, {}},
        "Portfolio(cash=..., dividends=..., positions={id: quantity}) of the\n"
        "instruments held.",
        mb::named<1>([positions, book_slot, cash_slot,
                      dividends_slot](const py::object& self) {
            mb::ObjectLock lock(self);
            py::dict held;
            for (auto& [oid, position] : item_pairs(book_slot->value(self))) {
                const py::object quantity = positions->quantity(position);
                if (nonzero(quantity)) held[oid] = quantity;
            }
            return py::object(
                py::str("Portfolio(cash={!r}, dividends={!r}, positions={!r})")
                    .format(cash_slot->value(self), dividends_slot->value(self), held));
        }),
        {position_cls});
}

// Booking an executed trade.
void register_trading(const Book& b) {
    const py::object& portfolio_cls = b.cls;
    const py::object& position_cls = b.position_cls;
    const py::object& trade_cls = b.trade_cls;
    const auto& positions = b.positions;
    const auto& trades = b.trades;
    const auto& cash_slot = b.cash_slot;
    const auto& book_slot = b.book_slot;

    mb::def_method(
        portfolio_cls, {"apply_trade", {"self", "trade"}, {}},
        "Books an executed trade: cash moves by price times quantity, plus the\n"
        "transaction cost on a buy or minus it on a sale (side \"BUY\" or \"SELL\"), "
        "and\n"
        "the instrument's position is updated and kept in the book. A side, price,\n"
        "quantity or cost that would corrupt the book (another side; a NaN, infinite "
        "or\n"
        "negative number; not a number) raises ValueError or TypeError and changes\n"
        "nothing.",
        mb::named<2>([positions, trades, cash_slot, book_slot](
                         const py::object& self, const py::object& trade) {
            mb::ObjectLock lock(self);
            py::object book = book_slot->value(self);
            py::object oid = trades->order_book_id(trade);
            // A position read from the book is already stored; one made for an
            // instrument not in the book is stored once the trade is booked.
            bool stored = false;
            py::object position;
            if (Py_TYPE(book.ptr()) ==
                reinterpret_cast<PyTypeObject*>(g_positions_cls)) {
                PyObject* found = PyDict_GetItemWithError(book.ptr(), oid.ptr());
                if (!found && PyErr_Occurred()) throw py::error_already_set();
                if (found) {
                    position = py::reinterpret_borrow<py::object>(found);
                    stored = true;
                }
            }
            if (!stored) position = book[oid];
            auto trade_of = [&] {
                return "trade of " + py::str(oid).cast<std::string>();
            };
            const bool buy = pc::check_side(trades->side(trade), trade_of);
            py::object price = trades->last_price(trade);
            py::object quantity = trades->last_quantity(trade);
            py::object cost = trades->transaction_cost(trade);
            pc::check_amount(price, "last_price", "price", pc::Bound::non_negative,
                             trade_of);
            pc::check_amount(quantity, "last_quantity", "number of shares",
                             pc::Bound::non_negative, trade_of);
            pc::check_amount(cost, "transaction_cost", "amount",
                             pc::Bound::non_negative, trade_of);
            py::object cash = cash_slot->value(self);
            const pc::Arithmetic ar{cash, price, quantity, cost};
            py::object gross = ar.mul(price, quantity);
            py::object new_cash = buy ? ar.sub(cash, ar.add(gross, cost))
                                      : ar.add(cash, ar.sub(gross, cost));
            pc::check_result(new_cash, "cash", trade_of);

            SavedPosition saved(position, *positions);
            try {
                mb::call_method<"apply_trade">(position, trade);
            } catch (py::error_already_set&) {
                saved.restore(*positions);
                throw;
            }
            cash_slot->set(self, new_cash);
            if (!stored) book[oid] = position;
            return py::none();
        }),
        {position_cls, trade_cls});
}

// Share splits.
void register_splits(const Book& b) {
    const py::object& portfolio_cls = b.cls;
    const py::object& position_cls = b.position_cls;
    const auto& positions = b.positions;
    const auto& book_slot = b.book_slot;

    mb::def_method(
        portfolio_cls, {"apply_split", {"self", "splits"}, {}},
        "Applies share splits: `splits` maps order book id to new shares per old "
        "share.\n"
        "Each held position's quantity is multiplied and its average price divided by\n"
        "the coefficient; instruments not in the book are skipped. A float quantity\n"
        "within 1e-6 of a whole number becomes that whole number. Every coefficient\n"
        "must be a finite number > 0, or nothing changes.",
        mb::named<2>(
            [positions, book_slot](const py::object& self, const py::object& splits) {
                mb::ObjectLock lock(self);
                py::object book = book_slot->value(self);
                // Work out every new (quantity, avg_price) first; a position split
                // twice in one call is split on top of its first result.
                struct Planned {
                    py::object position;
                    py::object quantity;
                    py::object avg_price;
                };
                std::vector<Planned> plan;
                const auto pairs = item_pairs(splits);
                for (auto& [oid, coefficient] : pairs) {
                    pc::check_amount(coefficient, "split coefficient", "number",
                                     pc::Bound::positive,
                                     [&] { return "split of " + pc::repr_of(oid); });
                }
                for (auto& [oid, coefficient] : pairs) {
                    if (!mb::contains(book, oid)) continue;
                    py::object position = book[oid];
                    Planned* current = nullptr;
                    for (auto& p : plan) {
                        if (p.position.is(position)) current = &p;
                    }
                    if (!current) {
                        plan.push_back({position, positions->quantity(position),
                                        positions->avg_price(position)});
                        current = &plan.back();
                    }
                    const pc::Arithmetic ar{current->quantity, current->avg_price,
                                            coefficient};
                    py::object quantity =
                        pc::whole_if_close(ar.mul(current->quantity, coefficient));
                    // Average prices are floats, also after a split by a Decimal.
                    py::object avg_price = ar.div(current->avg_price, coefficient);
                    if (pc::is_decimal(avg_price)) avg_price = mb::to_float(avg_price);
                    pc::check_result(quantity, "quantity",
                                     [&] { return "split of " + pc::repr_of(oid); });
                    current->quantity = quantity;
                    current->avg_price = avg_price;
                }
                std::vector<SavedPosition> saved;
                saved.reserve(plan.size());
                try {
                    for (auto& p : plan) {
                        saved.emplace_back(p.position, *positions);
                        positions->quantity.set(p.position, p.quantity);
                        positions->avg_price.set(p.position, p.avg_price);
                    }
                } catch (py::error_already_set&) {
                    for (auto& s : saved) s.restore(*positions);
                    throw;
                }
                return py::none();
            }),
        {position_cls});
}

// Income and cash: apply_dividend, apply_cash.
void register_income(const Book& b) {
    const py::object& portfolio_cls = b.cls;
    const py::object& position_cls = b.position_cls;
    const auto& positions = b.positions;
    const auto& cash_slot = b.cash_slot;
    const auto& dividends_slot = b.dividends_slot;
    const auto& book_slot = b.book_slot;

    mb::def_method(
        portfolio_cls, {"apply_dividend", {"self", "dividends"}, {}},
        "Books cash dividends: `dividends` maps order book id to cash per share. Each\n"
        "instrument in the book adds quantity times dividend to the dividend income\n"
        "(never to cash); instruments not in the book are skipped. Every amount must\n"
        "be a finite number >= 0, or nothing changes.",
        mb::named<2>([positions, book_slot, dividends_slot](
                         const py::object& self, const py::object& dividends) {
            mb::ObjectLock lock(self);
            py::object book = book_slot->value(self);
            py::object total = dividends_slot->value(self);
            const auto pairs = item_pairs(dividends);
            for (auto& [oid, per_share] : pairs) {
                pc::check_amount(per_share, "dividend per share", "amount",
                                 pc::Bound::non_negative,
                                 [&] { return "dividend of " + pc::repr_of(oid); });
            }
            for (auto& [oid, per_share] : pairs) {
                if (!mb::contains(book, oid)) continue;
                py::object quantity = positions->quantity(book[oid]);
                const pc::Arithmetic ar{total, quantity, per_share};
                total = ar.add(total, ar.mul(quantity, per_share));
                pc::check_result(total, "dividend income",
                                 [&] { return "dividend of " + pc::repr_of(oid); });
            }
            dividends_slot->set(self, total);
            return py::none();
        }),
        {position_cls});

    mb::def_method(
        portfolio_cls, {"apply_cash", {"self", "amount"}, {}},
        "Moves `amount` (currency) into the book's cash, or out of it when negative:\n"
        "deposits and withdrawals, income credited as cash, taxes and fees. The "
        "amount\n"
        "must be a finite number, or nothing changes; the book does not refuse cash\n"
        "that becomes negative (the caller decides whether an account may overdraw).",
        mb::named<2>([cash_slot](const py::object& self, const py::object& amount) {
            mb::ObjectLock lock(self);
            pc::check_amount(amount, "amount", "number", pc::Bound::any,
                             [] { return std::string("a cash movement"); });
            py::object cash = cash_slot->value(self);
            const pc::Arithmetic ar{cash, amount};
            py::object new_cash = ar.add(cash, amount);
            pc::check_result(new_cash, "cash", [&] {
                return "a cash movement of " + pc::repr_of(amount);
            });
            cash_slot->set(self, new_cash);
            return py::none();
        }));
}

}  // namespace

PYBIND11_MODULE(portfolio, m) {
    m.doc() = "The book of a portfolio replayed from its trades, splits and dividends.";
    Book b;
    b.module = m;
    b.position_cls = py::module_::import("meridan.pcalc.position").attr("Position");
    m.attr("Position") = b.position_cls;
    b.trade_cls = py::module_::import("meridan.pcalc.trade").attr("Trade");
    b.positions = std::make_shared<pc::PositionFields>(b.position_cls);
    b.trades = std::make_shared<pc::TradeFields>(b.trade_cls);
    b.positions_cls = register_positions(m);
    b.cls = mb::make_class(m, "Portfolio", py::tuple(), kPortfolioDoc,
                           "Portfolio(cash=100000.0, positions=None)",
                           {"_cash", "_positions", "_dividends"});
    b.cash_slot = std::make_shared<mb::Slot>(b.cls, "_cash");
    b.book_slot = std::make_shared<mb::Slot>(b.cls, "_positions");
    b.dividends_slot = std::make_shared<mb::Slot>(b.cls, "_dividends");
    register_book(b);
    register_trading(b);
    register_splits(b);
    register_income(b);
}
